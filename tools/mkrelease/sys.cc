/*
 * Children and files of the release builder.
 */
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "child_io.h"
#include "sys.h"

#include "osk_banned.h"

extern char **environ;

/* In the parent after fork: the pipes' write ends are the child's alone;
 * both streams are read to their end, then the child is reaped. */
static int collect(pid_t pid, int po[2], int pe[2], std::string *out, std::string *diag)
{
    close(po[1]);
    close(pe[1]);
    int fds[2] = {po[0], pe[0]};
    if (pid > 0)
        (void)child_drain(fds, {.out = out, .both = diag}, -1);
    child_drain_close(fds);
    return pid > 0 ? child_reap(pid) : -1;
}

static int make_pipes(int po[2], int pe[2])
{
    if (pipe2(po, O_CLOEXEC) != 0)
        return -1;
    if (pipe2(pe, O_CLOEXEC) != 0) {
        close(po[0]);
        close(po[1]);
        return -1;
    }
    return 0;
}

int mkrel_run(const std::vector<std::string> &argv, std::string *out, std::string *diag,
              const mkrel_child *how)
{
    int po[2], pe[2];
    if (make_pipes(po, pe) != 0)
        return -1;
    /* Everything the child needs is built before fork. */
    std::vector<char *> av;
    for (const std::string &a : argv)
        av.push_back(const_cast<char *>(a.c_str()));
    av.push_back(nullptr);
    /* The added variables come first: getenv() takes the first match. */
    std::vector<char *> ev;
    if (how)
        for (const std::string &e : how->env)
            ev.push_back(const_cast<char *>(e.c_str()));
    for (char **e = environ; *e; e++)
        ev.push_back(*e);
    ev.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDONLY);
        if (null < 0 || dup2(null, 0) < 0 || dup2(po[1], 1) < 0 || dup2(pe[1], 2) < 0)
            _exit(127);
        if (how && how->setup && how->setup() != 0) {
            dprintf(2, "cannot prepare %s: %s\n", av[0], strerror(errno));
            _exit(127);
        }
        execvpe(av[0], av.data(), ev.data());
        dprintf(2, "cannot run %s: %s\n", av[0], strerror(errno));
        _exit(127);
    }
    return collect(pid, po, pe, out, diag);
}

int mkrel_run_checked(const std::vector<std::string> &argv, std::string *out, std::string *err)
{
    std::string diag;
    if (mkrel_run(argv, out, &diag) == 0)
        return 0;
    while (!diag.empty() && diag.back() == '\n')
        diag.pop_back();
    return mkrel_fail(err, argv[0] + " failed" + (diag.empty() ? "" : ": " + diag));
}

int mkrel_run_isolated(const std::function<int()> &fn, std::string *out, std::string *diag)
{
    int po[2], pe[2];
    if (make_pipes(po, pe) != 0)
        return -1;
    fflush(nullptr);
    pid_t pid = child_fork_isolated();
    if (pid == 0) {
        if (dup2(po[1], 1) < 0 || dup2(pe[1], 2) < 0)
            _exit(127);
        int status = fn();
        fflush(nullptr);
        _exit(status);
    }
    return collect(pid, po, pe, out, diag);
}

int mkrel_fail(std::string *err, const std::string &msg)
{
    *err = msg;
    return 1;
}

int mkrel_fail_errno(std::string *err, const std::string &what)
{
    return mkrel_fail(err, what + ": " + strerror(errno));
}

int mkrel_mkdirs(const std::string &path)
{
    for (size_t p = path.find('/', 1);; p = path.find('/', p + 1)) {
        std::string part = path.substr(0, p);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return -1;
        if (p == std::string::npos)
            return 0;
    }
}

int mkrel_write_file(const std::string &path, const std::string &text, unsigned mode,
                     std::string *err)
{
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && mkrel_mkdirs(path.substr(0, slash)) != 0)
        return mkrel_fail_errno(err, "cannot make the folder of " + path);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return mkrel_fail_errno(err, "cannot create " + path);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int e = errno;
            close(fd);
            errno = e;
            return mkrel_fail_errno(err, "cannot write " + path);
        }
        done += (size_t)n;
    }
    /* The umask must not decide whether a script is executable. */
    if (fchmod(fd, mode) != 0 || close(fd) != 0)
        return mkrel_fail_errno(err, "cannot finish " + path);
    return 0;
}

int mkrel_read_file(const std::string &path, std::string *text, std::string *err)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return mkrel_fail(err, "cannot read " + path);
    std::stringstream ss;
    ss << f.rdbuf();
    *text = ss.str();
    return 0;
}

static int rm_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path) != 0 ? -1 : 0;
}

void mkrel_rm_tree(const std::string &path)
{
    (void)nftw(path.c_str(), rm_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

int mkrel_tempdir(const std::string &prefix, std::string *dir, std::string *err)
{
    const char *tmpdir = getenv("TMPDIR");
    std::string tmpl = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/" + prefix + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        return mkrel_fail_errno(err, "cannot make a folder in " + tmpl);
    *dir = buf.data();
    return 0;
}
