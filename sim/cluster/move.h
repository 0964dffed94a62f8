/*
 * The rest of a standard rolling upgrade, as the new release does it.
 *
 * `update --rolling MASK` restarts only the expedition, into the root that
 * received the export inventory ("/altroot/present_vluns"), and tells the
 * cluster which nodes those are. The remaining nodes are the new release's
 * work, which the supervisor plays here:
 *   expedition  an expedition node that boots its new root serves at once
 *               exactly the exports its inventory "/present_vluns" lists for
 *               it, none when the inventory cannot be taken (inventory.h),
 *               and the file is consumed; it serves no more than that until
 *               the move is done;
 *   remaining   once every expedition node has rejoined on its new root, the
 *               other nodes are restarted one at a time into their
 *               alternate root, each only after the one before rejoined;
 *   stopped     a remaining node did not come back (it died, or its boot
 *               failed): the move waits there, the nodes already moved keep
 *               serving, and the node's next boot (`osk-cluster reboot N`)
 *               lets the move go on;
 *   done        every node runs its new root.
 * Each step is written to the supervisor's log.
 */
#ifndef MOVE_H
#define MOVE_H

#include <stddef.h>

/* What the move needs of the supervisor. */
struct move_ops_t {
    const char *dir; /* the cluster's folder */
    int nnodes;
    /* The node's running root ('A' or 'B'). */
    char (*root)(int n);
    /* 1 when the node is up and joined, 0 otherwise. */
    int (*is_up)(int n);
    /* 1 when the node died and waits for an operator's reboot. */
    int (*is_dead)(int n);
    /* The cluster's rolling upgrade: its expedition, 0 when none runs. */
    unsigned (*expedition)(void);
    /* Sets the node's boot root to R and reboots it. */
    void (*restart_into)(int n, char r);
    void (*log)(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
};

void move_init(const struct move_ops_t *ops);

/* Node n boots root r (of DIR/node<n>/<r>) after running root was: the
 * inventory in that root, if any, is taken and the file removed. */
void move_node_booting(int n, char was, char r);

/* Node n joined the cluster, or died. */
void move_node_up(int n);
void move_node_died(int n);

/* One line for `osk-cluster status`, without the line end:
 * "rolling upgrade: none", "... expedition 0x5 restarting",
 * "... remaining nodes restarting, node 1", "... stopped at node 3, ...",
 * "... done". */
void move_describe(char *buf, size_t size);

#endif
