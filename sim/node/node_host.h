/*
 * What every host of the cluster's network does, node or package host: at
 * boot its cable is configured and Debian's superserver started with the
 * remote shell; on the way down no new session is taken and the running
 * ones are seen out. Also the package host's root: its files at "/", this
 * machine's programs around them.
 */
#ifndef NODE_HOST_H
#define NODE_HOST_H

/* Brings up HOST's network (sim_net.h) and starts the remote shell's
 * server (inetd, or sshd when SSH is set), unless the file NO_RSH_FLAG
 * exists (a fault: nothing listens then). Returns once the remote shell's
 * port listens; -1 after printing why. */
int host_up(int host, const char *no_rsh_flag, int ssh);

/* Stops the remote shell's server of this PID namespace (every inetd, or
 * the sshd listener): new sessions are refused, running ones go on. */
void host_stop_shell(int ssh);

/* How many remote shell sessions run in this PID namespace: in.rshd
 * processes, or commands whose parent is an sshd. */
int host_sessions(int ssh);

/* OpenSSH's files of HOST, from the keys `up` made in DIR/ssh: its host key
 * pair and the server's settings into ETC (its /etc/ssh), root's
 * authorized_keys into DOT (its /root/.ssh, made mode 0700) and, for a
 * node, which calls the others, root's cluster key pair, the cluster's host
 * keys, the clients' and root's own settings. 0, or -1 after printing why. */
int host_ssh_files(const char *dir, int host, const char *etc, const char *dot);

/* In a fresh mount namespace: makes DIR/pkghost the package host's "/",
 * with the Debian system of the nodes' base (DIR/base/system) shown read-only inside it and the
 * host's own /etc/hosts, /etc/inetd.conf and /root (from DIR/pkghost.sys)
 * over them, and with SSH set its own /etc/ssh. 0, or -1 after printing
 * why. */
int pkghost_mount_and_pivot(const char *dir, int ssh);

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
