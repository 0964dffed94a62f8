/*
 * Interconnect hardware helpers: the node's ASIC registers (hook 11), the
 * DIMM map that names the DIMM holding a memory address (built with the
 * firmware node information of cluster.h), and console dumps of the
 * registers.
 *
 * brant_init_dimm_decode() builds the map once per process from the
 * firmware information and the memory-decode segment tops; the lookups
 * then read it without a lock. br_init_dimm_decode() builds it from given
 * registers (the board table stays as the firmware left it).
 *
 * DIMM numbers: slots 0-7, pair i being slots i and i + 4; a lookup that
 * finds no populated slot answers -1.
 */
#ifndef BRANTCOMM_H
#define BRANTCOMM_H

#include <stddef.h>
#include <stdint.h>

#include "osk_brant.h"
#include "osk_hook.h"

#define BR_DIMM_SLOTS 8
#define BR_DIMM_ENTRIES 12
#define BR_BANK_ENTRIES 16

typedef struct br_dimm_info {
    uint32_t dimm_size;  /* MiB */
    uint64_t dimm_base;  /* byte address */
    uint64_t dimm_bound; /* exclusive */
} __attribute__((packed, aligned(4))) br_dimm_info_t;

static_assert(sizeof(br_dimm_info_t) == 20);

extern br_dimm_info_t br_dimm_map[BR_DIMM_ENTRIES];
extern uint32_t dimm_mask;                 /* populated slots, 255 by default */
extern int br_bank_table[BR_BANK_ENTRIES]; /* bank status bit -> DIMM */

int br_read_regs(br_reg_t *regs); /* the hook's result, 0 success */
void brant_init_dimm_decode(void);
void br_init_dimm_decode(const br_reg_t *regs);
const br_dimm_info_t *brant_dimm_info(int dimm); /* 0-7, else null */
int brant_seg2dimm(int seg);
int brant_cmpa2dimm(uint64_t cm_addr, uint32_t reg_status);

/* Appends the names of reg's set bits (bit 31 first), breaking the line
 * with a newline and indent spaces before a name would pass column col
 * (counting from pos), writing at most lim characters. Returns the count
 * written without the trailing separator. */
int brant_decode_reg(uint32_t reg, int type, char *str, int pos, int lim, int col, int indent);

void br_print_regs(const br_reg_t *regs);
void br_print_pci_regs(const br_reg_t *regs);
void br_print_link_regs(const br_reg_t *regs);
void br_print_mm_ctrl(const br_reg_t *regs);
void br_print_mm_decode(const br_reg_t *regs);

#endif
