/*
 * The simulated cluster's driver, osk-cluster, and its supervisor.
 *
 * A cluster lives in one folder DIR ($OSK_CLUSTER_DIR):
 *   .osk-cluster          the mark of a cluster's folder (sim_clusterdir.h)
 *   nodes                 the number of nodes
 *   supervisor.pid, .log  the supervisor (one per cluster, outside the nodes)
 *   ctl.sock, osk<N>.sock the module daemon's sockets, osk-simd.pid, .log
 *   run/                  node<N>.sock (agents), super.sock, presenting
 *                         (inventory.h); shown inside
 *                         every node at /run/osk-sim
 *   hub.pid               the holder of the cluster's hub network (network.h)
 *   pkghost/              the package host's "/": its files, for rcp
 *                         pkghost:PATH, beside the mount points of its system
 *   pkghost.sys/, .pid    its own /etc/hosts, inetd.conf and /root; its init
 *   node<N>/              A/ and B/ (root partitions, each with the
 *                         witnessed run logs' times in log-times/, witness.h),
 *                         mnt/, boot (the root lilo chose), pid (the node's
 *                         init), console.log
 *
 * The supervisor owns the daemon, the hub network, the package host and every
 * node's init; a node's reboot is its work, so it completes even when the process
 * that asked for it is ended by it. Its socket run/super.sock takes one line:
 *   status         "node N state=S root=R boot=B pid=P addr=A" per node,
 *                  "pkghost state=S addr=A", the rolling upgrade's phase
 *                  ("rolling upgrade: ...", move.h), then "end"
 *   sysmgr-listener ok, with the system manager's listening socket on this
 *                  machine's 127.0.0.1 passed along (SCM_RIGHTS)
 *   reboot N       ok: the node leaves, is restarted on its boot root, rejoins;
 *                  new sessions fail at once, running ones are seen out for
 *                  at most $OSK_SIM_REBOOT_GRACE_MS (default 10000) first
 *   lilo N A|B     ok: the node boots that root next
 *   quit           ends every process of the cluster, then ok
 * Node states: booting (until `osk-cluster exec` enters it and its remote
 * shell answers), up, stopping (reboot asked, processes still live),
 * rebooting (down, waiting to boot), down (died; `reboot` restarts it).
 */
#ifndef SIMCLUSTER_H
#define SIMCLUSTER_H

#include <string>

/* One node as the supervisor reports it. */
struct super_node_t {
    char state[16];  /* "down" when the supervisor says nothing of it */
    char root, boot; /* '-' then */
};

/* The supervisor's `status` of the cluster in DIR for nodes 0..nnodes-1, its
 * rolling-upgrade line ("rolling upgrade: ...") in *move and its package
 * host's line ("pkghost state=S addr=A") in *pkghost, each when not null.
 * -1 when the supervisor does not answer (every node then down). */
int super_status(const char *dir, struct super_node_t *v, int nnodes, std::string *move,
                 std::string *pkghost = nullptr);

/* Runs the supervisor of the cluster in DIR (prepared by `up`) in the
 * foreground until quit or SIGTERM; returns the process's exit status.
 * OWNER_FD, when not -1, is a pidfd of the process the cluster belongs to:
 * when that process ends, the supervisor ends the cluster and removes DIR. */
int supervisor_main(const char *dir, const char *bindir, int owner_fd);

/* Unmounts everything under DIR and removes it; 0, or -1 with the reason
 * on standard error. Only for a folder whose cluster has ended. */
int cluster_remove_dir(const char *dir, int quiet);

/* osk-cluster timeline [--svg FILE | --follow] (argv as main's); the exit
 * status. */
int cmd_timeline(int argc, char **argv);

#endif
