/*
 * The boards of the simulated nodes: firmware node information (hook 51)
 * and interconnect ASIC registers (hook 11), from a small table of board
 * kinds. Every node has the first kind until `board N SERIES VARIANT`
 * gives it another.
 */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "osk_brant.h"
#include "osk_errcode.h"
#include "oskd.h"
#include "osk_banned.h"

typedef struct board_kind {
    uint32_t series;
    uint32_t variant;
    uint32_t seg_top[4]; /* tops of segments 1, 3, 5, 7 (64 MiB units) */
    uint32_t mm_ctrl;
} board_kind_t;

static const board_kind_t kinds[] = {
    /* Eight 1 GiB DIMMs: four pairs of 2 GiB each. */
    {1, 0, {0x10, 0x20, 0x30, 0x40}, 0x80000f01},
    /* Four 2 GiB DIMMs in pairs 0 and 1; the upper slots are empty. */
    {2, 1, {0x20, 0x40, 0x40, 0x40}, 0x80000301},
    /* A half-populated board of the first series: pair 1 empty. */
    {1, 1, {0x08, 0x08, 0x18, 0x20}, 0x80000d01},
};

#define NKINDS (sizeof(kinds) / sizeof(kinds[0]))

static int node_kind[OSK_MAX_NODES];

static const board_kind_t *kind_of(int node)
{
    return &kinds[node_kind[node]];
}

int oskd_hk_cbios_info(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    os_cbios_node_info_out_t ni;
    memset(&ni, 0, sizeof(ni));
    ni.ni_series = kind_of(ca->ca_node)->series;
    ni.ni_variant = kind_of(ca->ca_node)->variant;
    ni.ni_node = (uint32_t)ca->ca_node;
    if (hk->arg1 == 0)
        return 0;
    return oskd_mem_write(ca->ca_pid, hk->arg1, &ni, sizeof(ni)) < 0 ? OSKD_HK_FAULT : 0;
}

int oskd_hk_read_regs(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    const board_kind_t *k = kind_of(ca->ca_node);
    br_reg_t r;
    memset(&r, 0, sizeof(r));
    r.br_id = 0x0b7a0000u | k->series;
    r.br_rev = 3;
    r.pci_status = 0x02b00000;
    r.pci_ctrl = 0x00000147;
    cluster_t online = oskd_online_mask();
    for (int l = 0; l < BR_NLINKS; l++) {
        r.link_ctrl[l] = 0x00000011;
        r.link_status[l] = (online & (1u << l)) && l != ca->ca_node ? 0x80000003u : 0;
    }
    r.mm_ctrl = k->mm_ctrl;
    for (int s = 0; s < 4; s++) {
        r.mm_seg_top[2 * s] = k->seg_top[s];
        r.mm_seg_top[2 * s + 1] = k->seg_top[s];
    }
    r.mm_decode = 0x00000006;
    if (hk->arg1 == 0)
        return TE_INVALID;
    return oskd_mem_write(ca->ca_pid, hk->arg1, &r, sizeof(r)) < 0 ? OSKD_HK_FAULT : 0;
}

/*   board N SERIES VARIANT   node N has that kind of board from now on */
int oskd_board_control(char **args, int nargs, char *reply, size_t replylen)
{
    if (nargs == 3) {
        int n = atoi(args[0]);
        uint32_t s = (uint32_t)atoi(args[1]), v = (uint32_t)atoi(args[2]);
        for (size_t i = 0; i < NKINDS && n >= 0 && n < oskd.st_nnodes; i++) {
            if (kinds[i].series == s && kinds[i].variant == v) {
                node_kind[n] = (int)i;
                snprintf(reply, replylen, "ok\n");
                return 0;
            }
        }
    }
    snprintf(reply, replylen, "error usage: board N SERIES VARIANT (1 0, 2 1 or 1 1)\n");
    return -1;
}
