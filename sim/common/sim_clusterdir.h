/*
 * Which folder may hold a simulated cluster. `osk-cluster up` and `down`
 * unmount everything under the cluster folder and remove it, so they only
 * ever do that to a folder a cluster made.
 *
 * A folder may hold a cluster when it does not exist yet, is empty, or
 * carries the mark that sim_clusterdir_mark() leaves in it; "/", every
 * folder directly under it and the system's well-known folders never may,
 * mark or not. The cluster folder and its run/ folder are reachable by
 * root only: the module daemon runs as root and writes into the memory of
 * whoever talks to its sockets. So a folder that exists must also be root's
 * own and of mode 0700 (and a link naming it root's): anyone else who can
 * write there could plant links and pid files for root to follow.
 */
#ifndef SIM_CLUSTERDIR_H
#define SIM_CLUSTERDIR_H

/* Name of the mark inside a cluster folder. */
#define SIM_CLUSTER_MARK ".osk-cluster"

/* 0 when dir may hold a cluster; otherwise prints why on standard error
 * (prefixed with "osk-cluster: ") and returns -1. */
int sim_clusterdir_check(const char *dir);

/* Makes dir (and its parents) if needed, restricts it to root (0700) and
 * marks it as a cluster's; 0 on success, -1 with errno set (EPERM when dir
 * turns out to be another user's). */
int sim_clusterdir_mark(const char *dir);

#endif
