/*
 * The release builder's children and files, shared by its families
 * (mkrelease.cc, debian.cc, check.cc, privapt.cc). Not part of the public
 * interface in mkrelease.h.
 *
 * Children: mkrel_run() starts a program with standard input on /dev/null,
 * reads both of its streams to their end in one loop and reaps it; the
 * optional setup (a chroot, say) runs in the child just before exec.
 * mkrel_run_isolated() runs a function instead, in a child of its own mount
 * and PID namespaces that dies with the caller: every mount it makes and
 * every process it leaves behind ends with it, whatever way it ends.
 * Both return the exit status, or -1 when the child could not run or was
 * killed.
 *
 * Files: every call returns 0, or 1 with a one-line reason in *err.
 */
#ifndef OSK_MKREL_SYS_H
#define OSK_MKREL_SYS_H

#include <functional>
#include <string>
#include <vector>

struct mkrel_child {
    std::vector<std::string> env; /* "NAME=VALUE", added to the environment */
    /* In the child before exec; a nonzero return makes the child exit 127.
     * Only system calls here: the child of a threaded process may not
     * allocate. */
    std::function<int()> setup;
};

/* Runs argv (argv[0] searched in PATH); stdout to *out, both streams in
 * order to *diag; either may be null. */
int mkrel_run(const std::vector<std::string> &argv, std::string *out, std::string *diag,
              const mkrel_child *how = nullptr);

/* mkrel_run that turns a failure into "argv[0] failed: what it printed". */
int mkrel_run_checked(const std::vector<std::string> &argv, std::string *out, std::string *err);

/* Runs fn in a child alone in new mount and PID namespaces; fn's return is
 * the exit status. Its standard output goes to *out, both streams to *diag. */
int mkrel_run_isolated(const std::function<int()> &fn, std::string *out, std::string *diag);

int mkrel_fail(std::string *err, const std::string &msg);
int mkrel_fail_errno(std::string *err, const std::string &what);

/* mkdir -p; -1 with errno on failure. */
int mkrel_mkdirs(const std::string &path);
/* Writes text to path (its folder made first) with mode, whatever the umask. */
int mkrel_write_file(const std::string &path, const std::string &text, unsigned mode,
                     std::string *err);
/* The whole file; 1 when it cannot be read. */
int mkrel_read_file(const std::string &path, std::string *text, std::string *err);
/* rm -rf that never follows a symbolic link or crosses into a mount. */
void mkrel_rm_tree(const std::string &path);
/* A fresh private folder under $TMPDIR (default /tmp), named PREFIX.XXXXXX. */
int mkrel_tempdir(const std::string &prefix, std::string *dir, std::string *err);

#endif
