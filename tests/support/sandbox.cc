#include "sandbox.h"

#include <errno.h>
#include <fcntl.h>
#include <pty.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "child_run.h"

static std::string upper(sandbox *sb, const std::string &path)
{
    return sb->dir + "/upper" + path;
}

static void mkdirs(const std::string &path)
{
    for (size_t p = path.find('/', 1); p != std::string::npos; p = path.find('/', p + 1))
        (void)mkdir(path.substr(0, p).c_str(), 0755);
    (void)mkdir(path.c_str(), 0755);
}

void sandbox_create(sandbox *sb)
{
    char tmpl[] = "/var/tmp/osk-sandbox.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr) << strerror(errno);
    sb->dir = tmpl;
    for (const char *d : {"/upper", "/work", "/mnt"})
        ASSERT_EQ(mkdir((sb->dir + d).c_str(), 0755), 0) << strerror(errno);
}

void sandbox_destroy(sandbox *sb)
{
    if (sb->dir.empty())
        return;
    (void)child_run({"/bin/rm", "-rf", sb->dir});
    sb->dir.clear();
}

void sandbox_write(sandbox *sb, const std::string &path, const std::string &text)
{
    std::string full = upper(sb, path);
    mkdirs(full.substr(0, full.rfind('/')));
    std::ofstream f(full, std::ios::binary | std::ios::trunc);
    f << text;
}

void sandbox_mkdir(sandbox *sb, const std::string &path)
{
    mkdirs(upper(sb, path));
}

bool sandbox_exists(sandbox *sb, const std::string &path)
{
    struct stat st;
    return lstat(upper(sb, path).c_str(), &st) == 0;
}

std::string sandbox_read(sandbox *sb, const std::string &path)
{
    std::ifstream f(upper(sb, path), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void sandbox_remove(sandbox *sb, const std::string &path)
{
    (void)child_run({"/bin/rm", "-rf", upper(sb, path)});
}

std::string build_program(const char *name)
{
    return std::string(OSK_BUILD_DIR) + "/bin/" + name;
}

/* In the forked child: private namespace, overlay of "/", chroot. */
static void enter_sandbox(sandbox *sb, const sandbox_opts &opts)
{
    std::string mnt = sb->dir + "/mnt";
    std::string data = "lowerdir=/,upperdir=" + sb->dir + "/upper,workdir=" + sb->dir + "/work";

    if (unshare(CLONE_NEWNS) != 0 || mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0 ||
        mount("overlay", mnt.c_str(), "overlay", 0, data.c_str()) != 0) {
        dprintf(2, "sandbox: cannot mount the overlay: %s\n", strerror(errno));
        _exit(125);
    }
    /* Mounts below "/" are not part of the lower layer: bring in what programs need. */
    for (const char *m : {"/proc", "/dev", "/sys", OSK_SOURCE_DIR, OSK_BUILD_DIR}) {
        std::string target = mnt + m;
        mkdirs(target);
        if (mount(m, target.c_str(), NULL, MS_BIND | MS_REC, NULL) != 0) {
            dprintf(2, "sandbox: cannot bind %s: %s\n", m, strerror(errno));
            _exit(125);
        }
    }
    /* A checkout under a folder only root may enter ("/root") must still
     * let another user run the build's programs: in the copy, its parents
     * are made passable. */
    for (std::string dir : {std::string(OSK_SOURCE_DIR), std::string(OSK_BUILD_DIR)}) {
        for (size_t at = dir.find('/', 1); at != std::string::npos; at = dir.find('/', at + 1)) {
            std::string parent = mnt + dir.substr(0, at);
            struct stat st;
            if (stat(parent.c_str(), &st) == 0 && (st.st_mode & 0111) != 0111)
                (void)chmod(parent.c_str(), (st.st_mode & 07777) | 0111);
        }
    }
    if (chroot(mnt.c_str()) != 0 || chdir(opts.cwd.c_str()) != 0) {
        dprintf(2, "sandbox: cannot enter: %s\n", strerror(errno));
        _exit(125);
    }
}

static void drop_privileges(const sandbox_opts &opts)
{
    if (opts.uid != 0 && (setgid(opts.uid) != 0 || setuid(opts.uid) != 0)) {
        dprintf(2, "sandbox: cannot become uid %d\n", (int)opts.uid);
        _exit(125);
    }
}

static void set_stdin(const sandbox_opts &opts)
{
    int fd;
    if (opts.tty_stdin) {
        int master;
        fd = -1;
        if (openpty(&master, &fd, NULL, NULL, NULL) != 0)
            _exit(125);
    } else {
        fd = open("/dev/null", O_RDONLY);
    }
    dup2(fd, 0);
}

static child_opts in_sandbox(sandbox *sb, const sandbox_opts &opts)
{
    child_opts c;
    c.setup = [sb, opts] {
        enter_sandbox(sb, opts);
        set_stdin(opts);
        drop_privileges(opts);
    };
    return c;
}

run_result sandbox_run(sandbox *sb, const std::vector<std::string> &argv, const sandbox_opts &opts)
{
    return child_run(argv, in_sandbox(sb, opts));
}

run_result sandbox_call(sandbox *sb, const std::function<int()> &fn, const sandbox_opts &opts)
{
    return child_call(fn, in_sandbox(sb, opts));
}
