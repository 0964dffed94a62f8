/*
 * The agent of a node: the way into it from this machine that
 * `osk-cluster exec` takes, as a root login on the node's console would,
 * with the command's exit status (which the remote shell does not carry).
 * Sessions follow sim_wire.h; each is handled by its own forked process, so
 * a slow or hung command never holds up others.
 */
#ifndef AGENT_H
#define AGENT_H

/* Serves the listening socket LFD until the process is killed. On
 * SIGTERM it takes no new session, waits until every running session has
 * ended (its command's status sent) and exits 0: a rebooting node goes down
 * once its callers have their answers. */
[[noreturn]] void agent_serve(int lfd);

/* A root login's PATH on a node, for the agent's sessions and, through
 * the node's /etc/environment, for its remote shell's. */
#define NODE_PATH "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

/* The environment of a fresh root login, installed with clearenv(). */
void agent_login_env(void);

#endif
