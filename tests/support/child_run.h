/*
 * Children of tests, every one of them bounded.
 *
 * child_run() and child_call() fork a child that leads a process group of
 * its own and dies with the thread that started it (PR_SET_PDEATHSIG), run
 * the caller's setup in it (entering a sandbox, changing user...), then a
 * program or a function with standard input on /dev/null. Both of the
 * child's streams are read to their end in one loop, so neither pipe can
 * fill and stall it. When the deadline passes first, the child's whole
 * group is killed, the result says so and the test fails with the command
 * and what it printed until then; the call still returns, so the test can
 * clean up.
 *
 * A background_child runs beside the test (a CPU burner, a load) until it
 * is stopped or goes out of scope; either way its whole group is killed and
 * reaped, so nothing a test starts outlives it, even when an ASSERT ends
 * the test early.
 */
#ifndef OSK_TEST_CHILD_RUN_H
#define OSK_TEST_CHILD_RUN_H

#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

struct run_result {
    pid_t pid = -1;  /* the child, once reaped */
    int status = -1; /* exit status, or -1 when killed */
    int signal = 0;  /* signal that killed it, or 0 */
    bool timed_out = false;
    std::string out;
    std::string err;
};

struct child_opts {
    /* How long the child may take; a test waits on nothing unbounded. */
    int deadline_ms = 10 * 60 * 1000;
    /* Runs in the child before the body, standard streams already set;
     * it reports its own failures and _exits. */
    std::function<void()> setup;
    /* Variables added to the child's environment ("NAME=VALUE"). */
    std::vector<std::string> env;
};

/* Runs argv[0] (a path) with argv. */
run_result child_run(const std::vector<std::string> &argv, const child_opts &opts = child_opts());

/* Runs fn in the child; its return is the exit status. */
run_result child_call(const std::function<int()> &fn, const child_opts &opts = child_opts());

class background_child
{
  public:
    /* Starts fn in a forked child whose streams go to /dev/null. */
    explicit background_child(const std::function<void()> &fn);
    ~background_child();
    background_child(const background_child &) = delete;
    background_child &operator=(const background_child &) = delete;

    /* Kills the child's group and reaps the child; idempotent. */
    void stop();
    pid_t pid() const
    {
        return pid_;
    }

  private:
    pid_t pid_ = -1;
};

/* A shell word for text, quoted so that blanks and quotes survive sh. */
std::string shell_quote(const std::string &text);

#endif
