/*
 * The simulated cluster's internal network: one network namespace per node
 * and one for the package host, each with a cable (a veth pair) whose far
 * end is a port of the bridge in the cluster's own hub namespace. Nothing
 * of it lives in this machine's network namespace, and all of it ends with
 * the processes that hold the namespaces.
 *
 * Hosts are numbered 0..7 for node0..node7 and SIM_NET_PKGHOST for the
 * package host. Each has a fixed address and a fixed hardware address, so
 * the other hosts' neighbour caches stay right across its reboots. Its
 * cable's port in the hub is named by sim_net_port().
 *
 * The remote shell is Debian's: every host runs openbsd-inetd with in.rshd
 * only (SIM_NET_INETD), trusts root of every cluster host through its
 * "/root/.rhosts" and names every host in "/etc/hosts". A cluster started
 * with `--remote-shell ssh` runs OpenSSH's server instead (the file
 * SIM_NET_SHELL_FILE of its run folder says "ssh"): keys, not host names,
 * are trusted, and the nodes' "/usr/bin/rsh" and "/usr/bin/rcp" are ssh and
 * scp through Debian's alternatives.
 */
#ifndef SIM_NET_H
#define SIM_NET_H

#include <stddef.h>
#include <sys/types.h>

#include <string>

#define SIM_NET_PKGHOST 8
#define SIM_NET_RSH_PORT 514
#define SIM_NET_HOSTS 9
/* The hub's bridges: every port on the first, the hosts cut off by a
 * partition on the second. */
#define SIM_NET_BRIDGE "br0"
#define SIM_NET_BRIDGE_CUT "br1"

/* How a host starts its superserver: daemonised, so that a restart from
 * outside leaves it to the host's init; a high rate limit, because the
 * cluster's tools open hundreds of sessions a minute. */
#define SIM_NET_INETD_PATH "/usr/sbin/inetd"
#define SIM_NET_INETD_RATE "100000"
#define SIM_NET_INETD_CONF "/etc/inetd.conf"
#define SIM_NET_INETD SIM_NET_INETD_PATH " -R " SIM_NET_INETD_RATE " " SIM_NET_INETD_CONF

/* OpenSSH's server, daemonised as inetd is, and how it is found to stop it:
 * by its pid file, since every session is an "sshd" too. */
#define SIM_NET_SSH_PORT 22
#define SIM_NET_SSHD_PATH "/usr/sbin/sshd"
#define SIM_NET_SSHD_PIDFILE "/run/sshd.pid"
#define SIM_NET_SHELL_FILE "remote-shell"
/* The keys `up` makes, in the cluster's folder: host-NAME and host-NAME.pub
 * per host, root and root.pub (root's cluster key pair), known_hosts and
 * authorized_keys. */
#define SIM_NET_SSH_DIR "ssh"
/* The clients' keep-alive: a peer that stops answering (crashed, hung, cut
 * off) ends the call with 255 after about INTERVAL * (COUNT + 1) seconds. */
#define SIM_NET_SSH_ALIVE_INTERVAL 5
#define SIM_NET_SSH_ALIVE_COUNT 3

/* 1 when the cluster whose run folder is RUN ("/run/osk-sim" in a node)
 * was started with ssh as its remote shell, else 0. */
int sim_net_ssh(const char *run);
/* The port the remote shell's server listens on. */
int sim_net_shell_port(int ssh);
/* Shell text, run in a host, that starts the remote shell's server unless
 * one runs. */
std::string sim_net_shell_restart(int ssh);
/* Settings of OpenSSH in every host: the server's (a node's drop-in, or
 * with WHOLE the package host's whole file, as its /etc/ssh is its own),
 * every client's, and root's own (connection sharing). */
std::string sim_net_sshd_conf(int whole);
std::string sim_net_ssh_conf(void);
std::string sim_net_root_ssh_conf(void);

/* "node3" -> 3, "pkghost" -> SIM_NET_PKGHOST, anything else -> -1 (a bare
 * node number is taken too). */
int sim_net_host(const char *name);
std::string sim_net_name(int host);
/* 10.77.0.10+N for node N, 10.77.0.2 for the package host. */
std::string sim_net_addr(int host);
std::string sim_net_mac(int host);
/* The hub's end of the host's cable, "vn3" or "vpk". */
std::string sim_net_port(int host);

/* The files every host carries: "/etc/hosts", "/root/.rhosts" (mode 600)
 * and the one-line "/etc/inetd.conf". */
std::string sim_net_hosts_file(void);
std::string sim_net_rhosts_file(void);
std::string sim_net_inetd_conf(void);

/*
 * Runs PROG ("ip" or "tc") with -batch over the lines of BATCH, in the
 * network namespace of process NS_PID (0: this process's own). With force
 * set a failing line does not stop the rest. Returns 0 when every line
 * worked; otherwise -1 with what the tool said in *err (when not null).
 */
int sim_net_run(const char *prog, pid_t ns_pid, const std::string &batch, int force,
                std::string *err);

/* In this process's own namespace: brings up lo and eth0 with HOST's
 * address once the cable's end has arrived, waiting at most timeout_ms for
 * it. 0, or -1 after printing why. */
int sim_net_configure(int host, int timeout_ms);

/* True when something in the network namespace of process PID (0: this
 * process's) listens on TCP port PORT. */
int sim_net_listening(pid_t pid, int port);

#endif
