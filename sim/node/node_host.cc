#include "node_host.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "sim_fork.h"
#include "sim_net.h"
#include "sim_util.h"
#include "osk_banned.h"

int host_up(int host, const char *no_rsh_flag)
{
    /* A Debian system's soft limit on open files, for everything the host
     * starts: the remote shell's server closes every possible descriptor
     * before it runs a command, which under this machine's limit of a
     * million costs each session 50 ms. */
    struct rlimit nofile;
    if (getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur > 1024) {
        nofile.rlim_cur = 1024;
        (void)setrlimit(RLIMIT_NOFILE, &nofile);
    }
    if (sim_net_configure(host, 20000) < 0)
        return -1;
    if (no_rsh_flag && access(no_rsh_flag, F_OK) == 0) {
        printf("%s: remote shell not started (a fault refuses it)\n", sim_net_name(host).c_str());
        return 0;
    }
    pid_t pid;
    int r = sim_fork(FORK_NULL_STDIN | FORK_RESET_SIGNALS | FORK_CLOSE_ALL_FDS, nullptr, 0, &pid);
    if (r == 0) {
        execl(SIM_NET_INETD_PATH, "inetd", "-R", SIM_NET_INETD_RATE, SIM_NET_INETD_CONF,
              (char *)nullptr);
        _exit(127);
    }
    if (r < 0) {
        fprintf(stderr, "osk-node: start inetd: %s\n", strerror(errno));
        return -1;
    }
    /* It forks into the background; the init reaps what is left. */
    uint64_t deadline = sim_now_ms() + 10000;
    while (!sim_net_listening(0, SIM_NET_RSH_PORT)) {
        if (sim_now_ms() > deadline) {
            fprintf(stderr, "osk-node: inetd does not listen on port %d\n", SIM_NET_RSH_PORT);
            return -1;
        }
        usleep(5000);
    }
    return 0;
}

/* Signals (with sig 0: counts) the processes of this PID namespace named
 * NAME. */
static int each_named(const char *name, int sig)
{
    int count = 0;
    DIR *d = opendir("/proc");
    for (struct dirent *e; d && (e = readdir(d));) {
        char p[300], comm[64];
        int pid = atoi(e->d_name);
        if (pid <= 1)
            continue;
        snprintf(p, sizeof p, "/proc/%d/comm", pid);
        if (sim_read_file(p, comm, sizeof comm) < 1)
            continue;
        comm[strcspn(comm, "\n")] = '\0';
        if (strcmp(comm, name) == 0 && (sig == 0 || kill(pid, sig) == 0))
            count++;
    }
    if (d)
        closedir(d);
    return count;
}

void host_stop_inetd(void)
{
    (void)each_named("inetd", SIGTERM);
}

int host_sessions(void)
{
    return each_named("in.rshd", 0);
}

int host_fail(const char *what, const char *path)
{
    fprintf(stderr, "osk-node: %s %s: %s\n", what, path, strerror(errno));
    return -1;
}

int host_bind(const char *from, const char *to, unsigned long flags)
{
    if (mount(from, to, nullptr, MS_BIND | (flags & MS_REC), nullptr) < 0)
        return host_fail("bind mount onto", to);
    if ((flags & MS_RDONLY) &&
        mount(nullptr, to, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) < 0)
        return host_fail("make read-only", to);
    return 0;
}

/* The package host's own files, kept beside its root so that its root
 * holds nothing but the release files and the mount points. */
static int pkghost_files(const char *sys)
{
    char p[PATH_MAX];
    snprintf(p, sizeof p, "%s/root", sys);
    if (sim_mkdir_p(p, 0700) < 0)
        return host_fail("mkdir", p);
    snprintf(p, sizeof p, "%s/root/.rhosts", sys);
    if (sim_write_file(p, sim_net_rhosts_file().c_str(), 0600) < 0)
        return host_fail("write", p);
    snprintf(p, sizeof p, "%s/hosts", sys);
    if (sim_write_file(p, sim_net_hosts_file().c_str(), 0644) < 0)
        return host_fail("write", p);
    snprintf(p, sizeof p, "%s/inetd.conf", sys);
    if (sim_write_file(p, sim_net_inetd_conf().c_str(), 0644) < 0)
        return host_fail("write", p);
    return 0;
}

/* The links of the system's "/" into /usr (bin, sbin, lib...), the same
 * inside the package host's root. */
static int usr_links(const char *system, const char *root)
{
    DIR *d = opendir(system);
    for (struct dirent *e; d && (e = readdir(d));) {
        char from[PATH_MAX], to[PATH_MAX], target[PATH_MAX];
        snprintf(from, sizeof from, "%s/%s", system, e->d_name);
        ssize_t n = readlink(from, target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        if (strncmp(target, "usr/", 4) != 0)
            continue;
        snprintf(to, sizeof to, "%s/%s", root, e->d_name);
        if (symlink(target, to) < 0 && errno != EEXIST) {
            closedir(d);
            return host_fail("symlink", to);
        }
    }
    if (d)
        closedir(d);
    return 0;
}

int pkghost_mount_and_pivot(const char *dir)
{
    char root[PATH_MAX], sys[PATH_MAX], p[PATH_MAX], f[PATH_MAX], system[PATH_MAX];
    snprintf(root, sizeof root, "%s/pkghost", dir);
    snprintf(system, sizeof system, "%s/base/system", dir);
    snprintf(sys, sizeof sys, "%s/pkghost.sys", dir);
    if (sethostname("pkghost", 7) < 0)
        return host_fail("sethostname", "pkghost");
    if (sim_mkdir_p(sys, 0700) < 0 || pkghost_files(sys) < 0)
        return -1;
    if (mount(root, root, nullptr, MS_BIND, nullptr) < 0)
        return host_fail("bind mount onto", root);
    for (const char *d : {"usr", "etc", "var", "dev", "proc", "tmp", "run", "root"}) {
        snprintf(p, sizeof p, "%s/%s", root, d);
        if (mkdir(p, 0755) < 0 && errno != EEXIST)
            return host_fail("mkdir", p);
    }
    if (usr_links(system, root) < 0)
        return -1;
    for (const char *s : {"usr", "etc", "var"}) {
        snprintf(f, sizeof f, "%s/%s", system, s);
        snprintf(p, sizeof p, "%s/%s", root, s);
        if (host_bind(f, p, MS_RDONLY) < 0)
            return -1;
    }
    snprintf(p, sizeof p, "%s/dev", root);
    if (host_bind("/dev", p, MS_REC | MS_RDONLY) < 0)
        return -1;
    snprintf(p, sizeof p, "%s/proc", root);
    if (mount("proc", p, "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) < 0)
        return host_fail("mount proc at", p);
    for (const char *t : {"tmp", "run"}) {
        snprintf(p, sizeof p, "%s/%s", root, t);
        if (mount("tmpfs", p, "tmpfs", MS_NOSUID | MS_NODEV,
                  t[0] == 't' ? "mode=1777" : "mode=755") < 0)
            return host_fail("mount tmpfs at", p);
    }
    static const char *const own[][2] = {
        {"root", "root"}, {"hosts", "etc/hosts"}, {"inetd.conf", "etc/inetd.conf"}};
    for (auto &o : own) {
        snprintf(f, sizeof f, "%s/%s", sys, o[0]);
        snprintf(p, sizeof p, "%s/%s", root, o[1]);
        if (host_bind(f, p, 0) < 0)
            return -1;
    }
    return host_pivot(root);
}

int host_pivot(const char *root)
{
    if (chdir(root) < 0)
        return host_fail("chdir", root);
    /* Stack the new root over the old one, then let the old one go. */
    if (syscall(SYS_pivot_root, ".", ".") < 0)
        return host_fail("pivot_root", root);
    if (umount2(".", MNT_DETACH) < 0)
        return host_fail("detach old root", "/");
    if (chdir("/") < 0)
        return host_fail("chdir", "/");
    return 0;
}
