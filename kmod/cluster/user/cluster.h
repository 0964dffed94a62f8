/*
 * The cluster user API: this node's number, the master, the masks of live
 * nodes, incarnations and the rolling-upgrade controls. Each call is one
 * kernel hook (krn_hook.h) unless noted; masks are cluster_t with bit n for
 * node n.
 */
#ifndef CLUSTER_H
#define CLUSTER_H

#include <stdint.h>

#include "osk_hook.h"
#include "osk_ioctl.h"
#include "osk_types.h"

node_t cluster_my_node_id(void);
uint32_t cluster_my_incn(void);
int cluster_master_node(void);      /* -1 when there is none */
int cluster_prev_master_node(void); /* -1 when there was none */
int cluster_start_time(uint64_t *when);
int cluster_read_node_cstate(cstate_t *cs);
cluster_t cluster_hw_nodes_up(void);
cluster_t cluster_num_nodes_alive(int *num);
cluster_t cluster_nodes_alive(void);
int cluster_node_up(node_t node);
cluster_t cluster_inner_num_nodes_alive(int *num);
cluster_t cluster_inner_nodes_alive(void);
int cluster_inner_node_up(node_t node);
int cluster_get_state(void);
int cluster_get_incn(osk_clus_t *target, int channel);
int cluster_get_recn(node_t node);
int clus_hw_manufacturing(void);
cluster_t cluster_hw_nodes_pon(void);
cluster_t cluster_get_recn_mask(void);
int cluster_wait_upgrade_done(void);
int cluster_in_upgrade_mode(void);
int cluster_start_upgrade(cluster_t exp_msk); /* 0, or a status when refused */
int cluster_abort_upgrade(void);
void cluster_block_until_be_master(void); /* returns once this node is master */
int cluster_wait_for_lckstep(int lockstep, int nodeup);
int cluster_hw_node_up(node_t node);
int get_cbios_node_info(os_cbios_node_info_out_t *out);

#endif
