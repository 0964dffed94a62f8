/*
 * What every host of the cluster's network does, node or package host: at
 * boot its cable is configured and Debian's superserver started with the
 * remote shell; on the way down no new session is taken and the running
 * ones are seen out. Also the package host's root: its files at "/", this
 * machine's programs around them.
 */
#ifndef NODE_HOST_H
#define NODE_HOST_H

/* Brings up HOST's network (sim_net.h) and starts inetd, unless the file
 * NO_RSH_FLAG exists (a fault: nothing listens then). Returns once the
 * remote shell's port listens; -1 after printing why. */
int host_up(int host, const char *no_rsh_flag);

/* Stops every inetd of this PID namespace: new sessions are refused. */
void host_stop_inetd(void);

/* How many remote shell sessions (in.rshd) run in this PID namespace. */
int host_sessions(void);

/* In a fresh mount namespace: makes DIR/pkghost the package host's "/",
 * with the Debian system of the nodes' base (DIR/base/system) shown read-only inside it and the
 * host's own /etc/hosts, /etc/inetd.conf and /root (from DIR/pkghost.sys)
 * over them. 0, or -1 after printing why. */
int pkghost_mount_and_pivot(const char *dir);

/* What a host's set-up failed at: "osk-node: WHAT PATH: <errno text>" on
 * standard error; returns -1. */
int host_fail(const char *what, const char *path);

/* Bind-mounts FROM onto TO; FLAGS may hold MS_REC and MS_RDONLY. 0, or -1
 * after printing why. */
int host_bind(const char *from, const char *to, unsigned long flags);

/* Makes ROOT (a mount point) this mount namespace's "/" and lets the old
 * root go. 0, or -1 after printing why. */
int host_pivot(const char *root);

#endif
