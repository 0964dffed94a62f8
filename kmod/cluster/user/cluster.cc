/*
 * Cluster user API over the kernel hook. See cluster.h.
 */
#include "cluster.h"
#include "krn_hook.h"
#include "osk_banned.h"

static int hook0(int hook)
{
    return osk_krn_hook(hook, 0, 0, 0, 0);
}

node_t cluster_my_node_id(void)
{
    return (node_t)hook0(HOOK_CL_MY_NODE);
}

uint32_t cluster_my_incn(void)
{
    return (uint32_t)hook0(HOOK_CL_MY_INCN);
}

int cluster_master_node(void)
{
    return hook0(HOOK_CL_MASTER);
}

int cluster_prev_master_node(void)
{
    return hook0(HOOK_CL_PREV_MASTER);
}

int cluster_start_time(uint64_t *when)
{
    return osk_krn_hook(HOOK_CL_START_TIME, HK_ARG(when), sizeof(*when), 0, 0);
}

int cluster_read_node_cstate(cstate_t *cs)
{
    return osk_krn_hook(HOOK_CL_READ_CSTATE, HK_ARG(cs), 0, 0, 0);
}

cluster_t cluster_hw_nodes_up(void)
{
    return (cluster_t)hook0(HOOK_CL_HW_NODES_UP);
}

cluster_t cluster_num_nodes_alive(int *num)
{
    return (cluster_t)osk_krn_hook(HOOK_CL_NODES_ALIVE, HK_ARG(num), 0, 0, 0);
}

cluster_t cluster_nodes_alive(void)
{
    int num = 0;
    return cluster_num_nodes_alive(&num);
}

int cluster_node_up(node_t node)
{
    return (cluster_nodes_alive() >> node) & 1;
}

cluster_t cluster_inner_num_nodes_alive(int *num)
{
    return (cluster_t)osk_krn_hook(HOOK_CL_INNER_ALIVE, HK_ARG(num), 0, 0, 0);
}

cluster_t cluster_inner_nodes_alive(void)
{
    int num = 0;
    return cluster_inner_num_nodes_alive(&num);
}

int cluster_inner_node_up(node_t node)
{
    return (cluster_inner_nodes_alive() >> node) & 1;
}

int cluster_get_state(void)
{
    return hook0(HOOK_CL_STATE);
}

int cluster_get_incn(osk_clus_t *target, int channel)
{
    return osk_krn_hook(HOOK_CL_INCN, HK_ARG(target), HK_ARG(channel), 0, 0);
}

int cluster_get_recn(node_t node)
{
    return osk_krn_hook(HOOK_CL_RECN, node, 0, 0, 0);
}

int clus_hw_manufacturing(void)
{
    return hook0(HOOK_CL_MANUFACTURING);
}

cluster_t cluster_hw_nodes_pon(void)
{
    return (cluster_t)hook0(HOOK_CL_HW_NODES_PON);
}

cluster_t cluster_get_recn_mask(void)
{
    return (cluster_t)hook0(HOOK_CL_RECN_MASK);
}

int cluster_wait_upgrade_done(void)
{
    return hook0(HOOK_CL_WAIT_UPGRADE);
}

int cluster_in_upgrade_mode(void)
{
    return hook0(HOOK_CL_IN_UPGRADE);
}

int cluster_start_upgrade(cluster_t exp_msk)
{
    return osk_krn_hook(HOOK_CL_START_UPGRADE, exp_msk, 0, 0, 0);
}

int cluster_abort_upgrade(void)
{
    return hook0(HOOK_CL_ABORT_UPGRADE);
}

void cluster_block_until_be_master(void)
{
    while (cluster_master_node() != (int)cluster_my_node_id())
        (void)hook0(HOOK_CL_WAIT_MASTER);
}

int cluster_wait_for_lckstep(int lockstep, int nodeup)
{
    return osk_krn_hook(HOOK_CL_WAIT_LCKSTEP, HK_ARG(lockstep), HK_ARG(nodeup), 0, 0);
}

int cluster_hw_node_up(node_t node)
{
    return (cluster_hw_nodes_up() >> node) & 1;
}

int get_cbios_node_info(os_cbios_node_info_out_t *out)
{
    return osk_krn_hook(HOOK_CL_CBIOS_INFO, HK_ARG(out), 0, 0, 0);
}
