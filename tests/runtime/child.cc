#include "child.h"

#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

child_result run_in_child(const std::function<void()> &fn)
{
    child_result r{-1, -1, {}};
    int p[2];
    if (pipe(p) != 0) {
        ADD_FAILURE() << "pipe failed";
        return r;
    }
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork failed";
        return r;
    }
    if (pid == 0) {
        /* Expected aborts should not leave core files behind. */
        struct rlimit none = {0, 0};
        (void)setrlimit(RLIMIT_CORE, &none);
        close(p[0]);
        dup2(p[1], STDOUT_FILENO);
        close(p[1]);
        fn();
        fflush(stdout);
        _exit(0);
    }
    close(p[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof(buf))) > 0)
        r.out.append(buf, (size_t)n);
    close(p[0]);
    r.pid = pid;
    if (waitpid(pid, &r.status, 0) != pid)
        ADD_FAILURE() << "waitpid failed";
    return r;
}

bool aborted(const child_result &r)
{
    return WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGABRT;
}

int exit_code(const child_result &r)
{
    return WIFEXITED(r.status) ? WEXITSTATUS(r.status) : -1;
}

std::string ptr_text(const void *p)
{
    char buf[32];
    snprintf(buf, sizeof(buf), "%p", p);
    return buf;
}
