#include "sim_fork.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

#include "osk_banned.h"

[[noreturn]] static void child_fail(const char *what)
{
    /* Only async-signal-safe work from here: a short message and _exit. */
    char msg[256];
    int n = snprintf(msg, sizeof msg, "sim_fork: %s: %s\n", what, strerror(errno));
    if (n > 0)
        (void)!write(2, msg, std::min((size_t)n, sizeof msg - 1));
    _exit(127);
}

static void close_all_but(const int *keep, size_t nkeep)
{
    int sorted[64];
    size_t n = std::min(nkeep, sizeof sorted / sizeof sorted[0]);
    std::copy(keep, keep + n, sorted);
    std::sort(sorted, sorted + n);
    unsigned from = 3;
    for (size_t i = 0; i < n; i++) {
        if (sorted[i] < (int)from)
            continue;
        if ((unsigned)sorted[i] > from)
            (void)close_range(from, sorted[i] - 1, 0);
        from = sorted[i] + 1;
    }
    (void)close_range(from, ~0U, 0);
}

int sim_fork(unsigned flags, const int *keep, size_t nkeep, pid_t *pid)
{
    unsigned long cl = SIGCHLD;
    if (flags & FORK_NEW_MOUNTNS)
        cl |= CLONE_NEWNS;
    if (flags & FORK_NEW_PIDNS)
        cl |= CLONE_NEWPID;
    if (flags & FORK_NEW_UTSNS)
        cl |= CLONE_NEWUTS;
    if (flags & FORK_NEW_NETNS)
        cl |= CLONE_NEWNET;

    pid_t parent = getpid();
    pid_t child;
    if (cl == SIGCHLD)
        child = fork();
    else
        /* Like fork(), but the child starts in the new namespaces. */
        child = (pid_t)syscall(SYS_clone, cl, 0, 0, 0, 0);
    if (child < 0)
        return -1;
    if (child > 0) {
        *pid = child;
        return 1;
    }

    if (flags & (FORK_DEATHSIG_SIGKILL | FORK_DEATHSIG_SIGTERM)) {
        int sig = (flags & FORK_DEATHSIG_SIGKILL) ? SIGKILL : SIGTERM;
        if (prctl(PR_SET_PDEATHSIG, sig) < 0)
            child_fail("PR_SET_PDEATHSIG");
        /* The parent may have died before the death signal was armed. In a
         * new PID namespace the parent is outside it and getppid() says 0. */
        if (!(flags & FORK_NEW_PIDNS) && getppid() != parent)
            _exit(127);
    }
    if (flags & FORK_NEW_MOUNTNS) {
        /* Nothing this child mounts may leak back into the parent's view. */
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
            child_fail("make mounts private");
    }
    if ((flags & FORK_NEW_SESSION) && setsid() < 0)
        child_fail("setsid");
    if (flags & FORK_RESET_SIGNALS) {
        sigset_t all;
        sigemptyset(&all);
        sigprocmask(SIG_SETMASK, &all, nullptr);
        for (int s = 1; s < NSIG; s++)
            if (s != SIGKILL && s != SIGSTOP)
                signal(s, SIG_DFL);
    }
    if (flags & FORK_NULL_STDIN) {
        int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0 || dup2(fd, 0) < 0)
            child_fail("stdin from /dev/null");
        if (fd != 0)
            close(fd);
    }
    if (flags & FORK_CLOSE_ALL_FDS)
        close_all_but(keep, nkeep);
    return 0;
}
