#include "child_run.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "child_io.h"

/* In a fresh child: a group of its own, and death with its parent. The
 * parent may already be gone by the time the signal is armed. */
static void become_child(pid_t parent)
{
    (void)setpgid(0, 0);
    (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(125);
}

static void reap(pid_t pid, run_result *r)
{
    r->status = child_reap(pid, &r->signal);
}

static std::string describe(const std::vector<std::string> &argv)
{
    std::string s;
    for (auto &a : argv)
        s += (s.empty() ? "" : " ") + shell_quote(a);
    return s.empty() ? "a function in a child" : s;
}

static run_result run_child(const std::vector<std::string> &argv, const std::function<int()> &fn,
                            const child_opts &opts)
{
    run_result r;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return r;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        return r;
    }
    if (pid == 0) {
        become_child(parent);
        int nul = open("/dev/null", O_RDONLY);
        dup2(nul, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (auto &e : opts.env)
            (void)putenv(strdup(e.c_str()));
        if (opts.setup)
            opts.setup();
        if (fn) {
            int status = fn();
            fflush(stdout);
            fflush(stderr);
            _exit(status);
        }
        std::vector<char *> av;
        for (auto &a : argv)
            av.push_back(const_cast<char *>(a.c_str()));
        av.push_back(nullptr);
        execv(av[0], av.data());
        dprintf(2, "cannot run %s: %s\n", av[0], strerror(errno));
        _exit(127);
    }
    /* Also set here, so that a kill right after fork reaches the group. */
    (void)setpgid(pid, pid);
    close(out[1]);
    close(err[1]);

    int fds[2] = {out[0], err[0]};
    child_sinks to = {.out = &r.out, .err = &r.err};
    if (child_drain(fds, to, child_now_ms() + opts.deadline_ms) == 0) {
        r.timed_out = true;
        (void)kill(-pid, SIGKILL);
        /* Bounded too: someone outside the group may hold the pipes. */
        (void)child_drain(fds, to, child_now_ms() + 5000);
    }
    child_drain_close(fds);
    reap(pid, &r);
    r.pid = pid;
    if (r.timed_out) {
        r.status = -1;
        ADD_FAILURE() << "no end after " << opts.deadline_ms / 1000.0
                      << " s, killed: " << describe(argv) << "\nstdout so far:\n"
                      << r.out << "\nstderr so far:\n"
                      << r.err;
    }
    return r;
}

run_result child_run(const std::vector<std::string> &argv, const child_opts &opts)
{
    return run_child(argv, nullptr, opts);
}

run_result child_call(const std::function<int()> &fn, const child_opts &opts)
{
    return run_child({}, fn, opts);
}

background_child::background_child(const std::function<void()> &fn)
{
    pid_t parent = getpid();
    fflush(stdout);
    fflush(stderr);
    pid_ = fork();
    if (pid_ == 0) {
        become_child(parent);
        int nul = open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3; fd++)
            dup2(nul, fd);
        fn();
        _exit(0);
    }
    if (pid_ < 0)
        ADD_FAILURE() << "fork: " << strerror(errno);
    else
        (void)setpgid(pid_, pid_);
}

background_child::~background_child()
{
    stop();
}

void background_child::stop()
{
    if (pid_ <= 0)
        return;
    (void)kill(-pid_, SIGKILL);
    run_result ignored;
    reap(pid_, &ignored);
    pid_ = -1;
}

std::string shell_quote(const std::string &text)
{
    std::string q = "'";
    for (char c : text) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}
