/*
 * The children of the tools and of the tests: reading a child's two output
 * streams, and a child alone in namespaces of its own.
 *
 * child_drain() reads both pipes in one loop, so that neither can fill and
 * stall a chatty child, until both have ended or a deadline passes. It
 * closes each pipe as it ends and marks it -1 in fds[]; at the deadline the
 * pipes still open stay open, for the caller to end the child and drain
 * again or close them.
 *
 * child_fork_isolated() forks a child in new mount and PID namespaces that
 * is killed when the caller ends: every mount it makes and every process it
 * leaves behind ends with it, whatever way it ends.
 */
#ifndef OSK_CHILD_IO_H
#define OSK_CHILD_IO_H

#include <string>

#include <sys/types.h>

/* Where a child's output goes; any of them may be null. */
struct child_sinks {
    std::string *out = nullptr;  /* standard output */
    std::string *err = nullptr;  /* standard error */
    std::string *both = nullptr; /* both streams, in the order they were read */
};

/* The monotonic clock in milliseconds, for deadlines. */
long long child_now_ms(void);

/* fds[0] is the child's standard output, fds[1] its error (-1: none).
 * deadline_ms is a child_now_ms() time, -1 for none. Returns 1 when both
 * ended, 0 at the deadline, -1 when poll failed. */
int child_drain(int fds[2], const child_sinks &to, long long deadline_ms);

/* Closes what child_drain() left open. */
void child_drain_close(int fds[2]);

/* Reaps pid; its exit status, or -1 when it was killed or could not be
 * waited for (*signal, when given, the signal that killed it). */
int child_reap(pid_t pid, int *signal = nullptr);

/* Like fork(), with the child in new mount (all mounts private) and PID
 * namespaces and standard input on /dev/null, killed when the caller ends. */
pid_t child_fork_isolated(void);

#endif
