/*
 * A throw-away copy of this machine for tests that run the real programs
 * against their fixed paths ("/etc/noupdate", "/var/log/osk/update", ...).
 *
 * A sandbox is a directory holding the upper layer of an overlay whose lower
 * layer is "/". Each run forks, enters a private mount namespace, mounts the
 * overlay, chroots into it and runs the command (or a function) there; the
 * namespace and its mounts end with the process, while the files it wrote
 * stay in the upper layer for the test to inspect and for the next run.
 * Needs root.
 */
#ifndef OSK_TEST_SANDBOX_H
#define OSK_TEST_SANDBOX_H

#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "child_run.h"

struct sandbox {
    std::string dir; /* holds upper/, work/ and mnt/ */
};

struct sandbox_opts {
    uid_t uid = 0;         /* run as this user (files are set up as root first) */
    std::string cwd = "/"; /* working directory inside the sandbox */
    bool tty_stdin = false;
};

/* Makes a fresh sandbox; the test fails (ASSERT) when that is impossible. */
void sandbox_create(sandbox *sb);
void sandbox_destroy(sandbox *sb);

/* Files of the sandbox, addressed by their path inside it. */
void sandbox_write(sandbox *sb, const std::string &path, const std::string &text);
void sandbox_mkdir(sandbox *sb, const std::string &path);
bool sandbox_exists(sandbox *sb, const std::string &path);
std::string sandbox_read(sandbox *sb, const std::string &path);
void sandbox_remove(sandbox *sb, const std::string &path);

/* Runs argv (argv[0] a path inside the sandbox) with stdin on /dev/null,
 * bounded as child_run() is. */
run_result sandbox_run(sandbox *sb, const std::vector<std::string> &argv,
                       const sandbox_opts &opts = sandbox_opts());

/* Runs fn in a forked process inside the sandbox; its return is the exit status. */
run_result sandbox_call(sandbox *sb, const std::function<int()> &fn,
                        const sandbox_opts &opts = sandbox_opts());

/* Path of a program of this build, e.g. build_program("update"). */
std::string build_program(const char *name);

#endif
