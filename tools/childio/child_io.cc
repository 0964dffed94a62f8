/*
 * The children of the tools and of the tests.
 */
#include "child_io.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "osk_banned.h"

long long child_now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int child_drain(int fds[2], const child_sinks &to, long long deadline_ms)
{
    std::string *dst[2] = {to.out, to.err};
    while (fds[0] >= 0 || fds[1] >= 0) {
        int wait_ms = -1;
        if (deadline_ms >= 0) {
            long long left = deadline_ms - child_now_ms();
            if (left <= 0)
                return 0;
            wait_ms = (int)std::min(left, 1000LL);
        }
        struct pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        int n = poll(p, 2, wait_ms);
        if (n < 0 && errno != EINTR)
            return -1;
        for (int i = 0; n > 0 && i < 2; i++) {
            if (fds[i] < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[65536];
            ssize_t got = read(fds[i], buf, sizeof buf);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                close(fds[i]);
                fds[i] = -1;
                continue;
            }
            if (dst[i])
                dst[i]->append(buf, (size_t)got);
            if (to.both)
                to.both->append(buf, (size_t)got);
        }
    }
    return 1;
}

void child_drain_close(int fds[2])
{
    for (int i = 0; i < 2; i++)
        if (fds[i] >= 0) {
            close(fds[i]);
            fds[i] = -1;
        }
}

int child_reap(pid_t pid, int *signal)
{
    int st;
    if (signal)
        *signal = 0;
    while (waitpid(pid, &st, 0) < 0)
        if (errno != EINTR)
            return -1;
    if (signal && WIFSIGNALED(st))
        *signal = WTERMSIG(st);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

pid_t child_fork_isolated(void)
{
    pid_t child = (pid_t)syscall(SYS_clone, CLONE_NEWNS | CLONE_NEWPID | SIGCHLD, 0, 0, 0, 0);
    if (child != 0)
        return child;
    /* In a new PID namespace the parent is outside it: getppid() says 0,
     * so a parent gone before the signal was armed cannot be told. */
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) < 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0 || null < 0 ||
        dup2(null, 0) < 0)
        _exit(127);
    if (null != 0)
        close(null);
    return 0;
}
