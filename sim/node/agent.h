/*
 * The agent that runs commands for rsh and serves files for rcp, on a node
 * or on the package host. Sessions follow sim_wire.h; each is handled by
 * its own forked process, so a slow or hung command never holds up others.
 */
#ifndef AGENT_H
#define AGENT_H

/* Serves the listening socket LFD until the process is killed. With
 * get_only set (the package host) only file requests are answered. On
 * SIGTERM it takes no new session, waits until every running session has
 * ended (its command's status sent) and exits 0: a rebooting node goes down
 * once its callers have their answers. */
[[noreturn]] void agent_serve(int lfd, int get_only);

/* The environment of a fresh root login, installed with clearenv(). */
void agent_login_env(void);

#endif
