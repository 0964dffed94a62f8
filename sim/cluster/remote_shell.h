/*
 * The cluster's remote shell, chosen at `osk-cluster up`: Debian's rsh
 * (the default) or OpenSSH, with a key for each host and one for root of
 * every node.
 *
 * Call order in `up`: remote_shell_up_option() for each argument it may
 * take, then, once the base is made, remote_shell_prepare() before any
 * host boots. The nodes' boots find the choice in DIR/run and the keys in
 * DIR/ssh (sim_net.h).
 */
#ifndef REMOTE_SHELL_H
#define REMOTE_SHELL_H

/* Takes "--remote-shell rsh|ssh" at argv[*i], moving *i past its value:
 * 1 when taken, 0 when argv[*i] is another option, -1 (after a line on
 * standard error) when its value is missing or unknown. */
int remote_shell_up_option(int argc, char **argv, int *i);

/* For ssh: records the choice in DIR/run, makes every host's key pair and
 * root's cluster key pair with the nodes' own ssh-keygen, and writes the
 * cluster's known_hosts and authorized_keys. For rsh: nothing. 0, or -1
 * after saying why. */
int remote_shell_prepare(const char *dir, int nnodes);

#endif
