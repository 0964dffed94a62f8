/*
 * The kernel hook: the cluster API (membership, master, incarnations and
 * the rolling upgrade).
 */
#include <string.h>

#include "osk_errcode.h"
#include "oskd_hook.h"
#include "osk_banned.h"

static int hk_my_node(const oskd_caller_t *ca, const osk_krn_hook_t *)
{
    return ca->ca_node;
}

static int hk_my_incn(const oskd_caller_t *ca, const osk_krn_hook_t *)
{
    return (int)oskd.st_nodes[ca->ca_node].nd_incn;
}

static int hk_master(const oskd_caller_t *, const osk_krn_hook_t *)
{
    return oskd.st_master;
}

static int hk_prev_master(const oskd_caller_t *, const osk_krn_hook_t *)
{
    return oskd.st_prev_master;
}

static int hk_start_time(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    uint64_t t = (uint64_t)oskd.st_start_time;
    size_t n = hk->arg2 < sizeof(t) ? (size_t)hk->arg2 : sizeof(t);
    return oskd_hk_put(ca, hk->arg1, &t, n) < 0 ? HK_FAULT : 0;
}

static int hk_read_cstate(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    cstate_t cs;
    memset(&cs, 0, sizeof(cs));
    cs.cs_mynode = (node_t)ca->ca_node;
    cs.cs_master = oskd.st_master < 0 ? 0xFF : (node_t)oskd.st_master;
    cs.cs_online = oskd_online_mask();
    cs.cs_state = oskd.st_nodes[ca->ca_node].nd_online ? 1 : 0;
    for (int n = 0; n < oskd.st_nnodes; n++) {
        cs.cs_node_incns[n] = oskd.st_nodes[n].nd_incn;
        cs.cs_node_recn[n] = oskd.st_nodes[n].nd_recn;
        cs.cs_recn_mask[n] = cs.cs_online;
    }
    cs.cs_start_time = (uint64_t)oskd.st_start_time;
    cs.cs_upgr_state = (uint32_t)oskd.st_upgrade;
    cs.cs_upgr_group = oskd.st_upgr_group;
    return oskd_hk_put(ca, hk->arg1, &cs, sizeof(cs)) < 0 ? HK_FAULT : 0;
}

static int hk_hw_up(const oskd_caller_t *, const osk_krn_hook_t *)
{
    return oskd_present_mask();
}

static int hk_alive(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    cluster_t m = oskd_online_mask();
    int cnt = __builtin_popcount(m);
    return oskd_hk_put(ca, hk->arg1, &cnt, sizeof(cnt)) < 0 ? HK_FAULT : (int)m;
}

static int hk_state(const oskd_caller_t *ca, const osk_krn_hook_t *)
{
    return oskd.st_nodes[ca->ca_node].nd_online ? 1 : 0;
}

static int hk_incn(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    osk_clus_t cl;
    memset(&cl, 0, sizeof(cl));
    cl.cl_incn = oskd.st_nodes[ca->ca_node].nd_incn;
    cl.cl_recn = oskd.st_nodes[ca->ca_node].nd_recn;
    cl.cl_online = oskd_online_mask();
    cl.cl_master = oskd.st_master < 0 ? 0xFF : (node_t)oskd.st_master;
    return oskd_hk_put(ca, hk->arg1, &cl, sizeof(cl)) < 0 ? HK_FAULT : 0;
}

static int hk_recn(const oskd_caller_t *, const osk_krn_hook_t *hk)
{
    if (hk->arg1 >= (uint64_t)oskd.st_nnodes)
        return -1;
    return (int)oskd.st_nodes[hk->arg1].nd_recn;
}

static int hk_zero(const oskd_caller_t *, const osk_krn_hook_t *)
{
    return 0;
}

static int hk_recn_mask(const oskd_caller_t *, const osk_krn_hook_t *)
{
    return oskd_online_mask();
}

static int hk_wait_upgrade(const oskd_caller_t *ca, const osk_krn_hook_t *)
{
    while (oskd.st_upgrade)
        if (oskd_wait(ca, OSKD_SLICE_MS) < 0)
            return OSKD_HANGUP;
    return 0;
}

static int hk_in_upgrade(const oskd_caller_t *, const osk_krn_hook_t *)
{
    return oskd.st_upgrade;
}

/* The upgrade ends when every node online at its start has left and
 * rejoined, or when it is aborted. */
static int hk_start_upgrade(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    cluster_t exp = (cluster_t)hk->arg1;
    cluster_t online = oskd_online_mask();
    if (oskd.st_upgrade)
        return TE_INUSE;
    if (exp == 0 || (exp & ~online) != 0)
        return TE_INVALID;
    oskd.st_upgrade = 1;
    oskd.st_upgr_group = exp;
    oskd.st_upgr_pending = online;
    oskd_log("rolling upgrade started from node %d, expedition 0x%x", ca->ca_node, exp);
    oskd_changed();
    return 0;
}

static int hk_abort_upgrade(const oskd_caller_t *, const osk_krn_hook_t *)
{
    if (!oskd.st_upgrade)
        return TE_INVALID;
    oskd.st_upgrade = 0;
    oskd.st_upgr_group = 0;
    oskd.st_upgr_pending = 0;
    oskd_changed();
    return 0;
}

static int hk_wait_master(const oskd_caller_t *ca, const osk_krn_hook_t *)
{
    if (oskd.st_master != ca->ca_node && oskd_wait(ca, OSKD_SLICE_MS) < 0)
        return OSKD_HANGUP;
    return 0;
}

void oskd_hook_cluster_init(hook_handler_t table[HOOK_TABLE_SIZE])
{
    table[HOOK_CL_MY_NODE] = hk_my_node;
    table[HOOK_CL_MY_INCN] = hk_my_incn;
    table[HOOK_CL_MASTER] = hk_master;
    table[HOOK_CL_PREV_MASTER] = hk_prev_master;
    table[HOOK_CL_START_TIME] = hk_start_time;
    table[HOOK_CL_READ_CSTATE] = hk_read_cstate;
    table[HOOK_CL_HW_NODES_UP] = hk_hw_up;
    table[HOOK_CL_NODES_ALIVE] = hk_alive;
    table[HOOK_CL_INNER_ALIVE] = hk_alive;
    table[HOOK_CL_STATE] = hk_state;
    table[HOOK_CL_INCN] = hk_incn;
    table[HOOK_CL_RECN] = hk_recn;
    table[HOOK_CL_MANUFACTURING] = hk_zero;
    table[HOOK_CL_HW_NODES_PON] = hk_hw_up;
    table[HOOK_CL_RECN_MASK] = hk_recn_mask;
    table[HOOK_CL_WAIT_UPGRADE] = hk_wait_upgrade;
    table[HOOK_CL_IN_UPGRADE] = hk_in_upgrade;
    table[HOOK_CL_START_UPGRADE] = hk_start_upgrade;
    table[HOOK_CL_ABORT_UPGRADE] = hk_abort_upgrade;
    table[HOOK_CL_WAIT_MASTER] = hk_wait_master;
    table[HOOK_CL_WAIT_LCKSTEP] = hk_zero;
}
