#include "child.h"

#include "child_run.h"

#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

child_result run_in_child(const std::function<void()> &fn)
{
    child_opts opts;
    /* Expected aborts should not leave core files behind. */
    opts.setup = [] {
        struct rlimit none = {0, 0};
        (void)setrlimit(RLIMIT_CORE, &none);
    };
    run_result r = child_call(
        [&] {
            fn();
            return 0;
        },
        opts);
    fputs(r.err.c_str(), stderr);
    /* As waitpid reports it, for the W* macros. */
    int status = r.signal ? r.signal : (r.status & 0xff) << 8;
    return child_result{r.pid, status, r.out};
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
