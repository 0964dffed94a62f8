/*
 * The node's interconnect ASIC registers as hook 11 reads them (1,024
 * bytes): identity, PCI side, the eight links and the memory controller
 * with its segment decoders. Segment tops are in 64 MiB units in their low
 * byte; a memory error's status word has one bit per bank in bits 8-23.
 */
#ifndef OSK_BRANT_H
#define OSK_BRANT_H

#include <stddef.h>
#include <stdint.h>

#define BR_NLINKS 8
#define BR_NSEGS 8

typedef struct br_reg {
    uint32_t br_id;
    uint32_t br_rev;
    uint32_t pci_status;
    uint32_t pci_ctrl;
    uint32_t link_ctrl[BR_NLINKS];
    uint32_t link_status[BR_NLINKS];
    uint32_t mm_ctrl;
    uint32_t mm_status;
    uint32_t mm_err_addr_lo;
    uint32_t mm_err_addr_hi;
    uint32_t mm_seg_top[BR_NSEGS]; /* mm_seg0_top .. mm_seg7_top */
    uint32_t mm_decode;
    uint32_t br_spare[256 - 33];
} br_reg_t;

static_assert(sizeof(br_reg_t) == 1024);
static_assert(offsetof(br_reg_t, mm_seg_top) == 96);

/* Register types of the bit-name decoder. */
enum br_reg_type {
    BR_REG_PCI_STATUS = 0,
    BR_REG_PCI_CTRL = 1,
    BR_REG_LINK_CTRL = 2,
    BR_REG_LINK_STATUS = 3,
    BR_REG_MM_CTRL = 4,
    BR_REG_MM_STATUS = 5,
    BR_REG_MM_DECODE = 6,
    br_lst_index_decode = 7,
};

#endif
