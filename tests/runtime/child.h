/*
 * Runs a piece of a test in a forked child with its standard output captured:
 * the runtime prints to stdout, panics abort the process, and asynchronous
 * printing cannot be switched off once on, so such cases must not run in the
 * test process itself.
 */
#ifndef RUNTIME_TEST_CHILD_H
#define RUNTIME_TEST_CHILD_H

#include <functional>
#include <string>
#include <sys/types.h>

struct child_result {
    pid_t pid;
    int status; /* as from waitpid */
    std::string out;
};

/* The child runs fn, flushes stdout and exits 0 unless fn ended it first. */
child_result run_in_child(const std::function<void()> &fn);

bool aborted(const child_result &r);
int exit_code(const child_result &r); /* -1 when the child did not exit */

/* printf-style %p text of an address, as the runtime prints it. */
std::string ptr_text(const void *p);

#endif
