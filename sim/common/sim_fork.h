/*
 * The one way the simulated cluster starts a process: a fork, optionally
 * into new namespaces, with the child's set-up done before sim_fork()
 * returns in it.
 *
 * Call order: sim_fork(flags, keep, nkeep, &pid). In the parent it returns
 * 1 and stores the child's pid (as the parent sees it); in the child it
 * returns 0 with every flag applied; on failure it returns -1 with errno
 * set and no child exists. A child whose set-up fails writes one line to
 * standard error and ends with status 127, so the parent sees an ordinary
 * exit.
 *
 * With FORK_NEW_PIDNS the child is PID 1 of its namespace: every process it
 * starts dies with it, and when it is killed the whole namespace ends.
 */
#ifndef SIM_FORK_H
#define SIM_FORK_H

#include <stddef.h>
#include <sys/types.h>

enum {
    FORK_NEW_MOUNTNS = 1 << 0,      /* own mount namespace, all mounts made private */
    FORK_NEW_PIDNS = 1 << 1,        /* child is PID 1 of a new PID namespace */
    FORK_NEW_UTSNS = 1 << 2,        /* own host name */
    FORK_DEATHSIG_SIGKILL = 1 << 3, /* killed when the parent ends */
    FORK_DEATHSIG_SIGTERM = 1 << 4, /* told to stop when the parent ends */
    FORK_NEW_SESSION = 1 << 5,      /* setsid(): no controlling terminal */
    FORK_NULL_STDIN = 1 << 6,       /* standard input from /dev/null */
    FORK_CLOSE_ALL_FDS = 1 << 7,    /* close every descriptor but 0, 1, 2 and keep[] */
    FORK_RESET_SIGNALS = 1 << 8,    /* default dispositions, empty signal mask */
    FORK_NEW_NETNS = 1 << 9,        /* own network namespace: nothing but lo, down */
};

int sim_fork(unsigned flags, const int *keep, size_t nkeep, pid_t *pid);

#endif
