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

#include <string>

#include "sim_fork.h"
#include "sim_net.h"
#include "sim_util.h"
#include "osk_banned.h"

int host_up(int host, const char *no_rsh_flag, int ssh)
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
    if (ssh && mkdir("/run/sshd", 0755) < 0 && errno != EEXIST)
        return host_fail("mkdir", "/run/sshd");
    pid_t pid;
    int r = sim_fork(FORK_NULL_STDIN | FORK_RESET_SIGNALS | FORK_CLOSE_ALL_FDS, nullptr, 0, &pid);
    if (r == 0) {
        if (ssh)
            execl(SIM_NET_SSHD_PATH, SIM_NET_SSHD_PATH, (char *)nullptr);
        else
            execl(SIM_NET_INETD_PATH, "inetd", "-R", SIM_NET_INETD_RATE, SIM_NET_INETD_CONF,
                  (char *)nullptr);
        _exit(127);
    }
    const char *server = ssh ? "sshd" : "inetd";
    if (r < 0) {
        fprintf(stderr, "osk-node: start %s: %s\n", server, strerror(errno));
        return -1;
    }
    /* It forks into the background; the init reaps what is left. */
    int port = sim_net_shell_port(ssh);
    uint64_t deadline = sim_now_ms() + 10000;
    while (!sim_net_listening(0, port)) {
        if (sim_now_ms() > deadline) {
            fprintf(stderr, "osk-node: %s does not listen on port %d\n", server, port);
            return -1;
        }
        usleep(5000);
    }
    return 0;
}

/* The name of process PID (its comm), or "" when it is gone. */
static std::string comm_of(int pid)
{
    char p[64], comm[64];
    snprintf(p, sizeof p, "/proc/%d/comm", pid);
    if (sim_read_file(p, comm, sizeof comm) < 1)
        return "";
    comm[strcspn(comm, "\n")] = '\0';
    return comm;
}

static int parent_of(int pid)
{
    char p[64], stat[512];
    snprintf(p, sizeof p, "/proc/%d/stat", pid);
    if (sim_read_file(p, stat, sizeof stat) < 1)
        return 0;
    const char *end = strrchr(stat, ')');
    int ppid = 0;
    return end && sscanf(end, ") %*c %d", &ppid) == 1 ? ppid : 0;
}

/* Signals (with sig 0: counts) the processes of this PID namespace that
 * MATCH (given a pid and its name). */
template <typename F> static int each_process(int sig, F match)
{
    int count = 0;
    DIR *d = opendir("/proc");
    for (struct dirent *e; d && (e = readdir(d));) {
        int pid = atoi(e->d_name);
        if (pid <= 1)
            continue;
        std::string comm = comm_of(pid);
        if (!comm.empty() && match(pid, comm) && (sig == 0 || kill(pid, sig) == 0))
            count++;
    }
    if (d)
        closedir(d);
    return count;
}

static int each_named(const char *name, int sig)
{
    return each_process(sig, [name](int, const std::string &comm) { return comm == name; });
}

void host_stop_shell(int ssh)
{
    if (!ssh) {
        (void)each_named("inetd", SIGTERM);
        return;
    }
    /* The listener alone: the sessions are "sshd" too, and run on. */
    char text[32];
    int pid = sim_read_file(SIM_NET_SSHD_PIDFILE, text, sizeof text) > 0 ? atoi(text) : 0;
    if (pid > 1)
        (void)kill(pid, SIGTERM);
}

int host_sessions(int ssh)
{
    /* An idle shared connection from another node is no session to wait
     * for: only the commands sshd runs count. */
    if (!ssh)
        return each_named("in.rshd", 0);
    return each_process(0, [](int pid, const std::string &comm) {
        return comm != "sshd" && comm_of(parent_of(pid)) == "sshd";
    });
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

int host_ssh_files(const char *dir, int host, const char *etc, const char *dot)
{
    std::string keys = std::string(dir) + "/" SIM_NET_SSH_DIR "/", e = etc, d = dot;
    std::string own = keys + "host-" + sim_net_name(host);
    bool node = host != SIM_NET_PKGHOST;
    struct {
        std::string from, to;
        mode_t mode;
    } copies[] = {{own, e + "/ssh_host_ed25519_key", 0600},
                  {own + ".pub", e + "/ssh_host_ed25519_key.pub", 0644},
                  {keys + "authorized_keys", d + "/authorized_keys", 0600},
                  {keys + "root", node ? d + "/id_ed25519" : "", 0600},
                  {keys + "root.pub", node ? d + "/id_ed25519.pub" : "", 0644},
                  {keys + "known_hosts", node ? d + "/known_hosts" : "", 0644}};
    if (sim_mkdir_p(etc, 0755) < 0 || sim_mkdir_p(dot, 0700) < 0 || chmod(dot, 0700) < 0)
        return host_fail("mkdir", dot);
    for (auto &c : copies)
        if (!c.to.empty() && sim_copy_file(c.from.c_str(), c.to.c_str(), c.mode) < 0)
            return host_fail("copy", c.to.c_str());
    struct {
        std::string path, text;
        mode_t mode;
    } writes[] = {{node ? e + "/sshd_config.d/osk-cluster.conf" : e + "/sshd_config",
                   sim_net_sshd_conf(!node), 0644},
                  {node ? e + "/ssh_config.d/osk-cluster.conf" : "", sim_net_ssh_conf(), 0644},
                  {node ? d + "/config" : "", sim_net_root_ssh_conf(), 0600}};
    for (auto &w : writes) {
        if (w.path.empty())
            continue;
        std::string parent = w.path.substr(0, w.path.rfind('/'));
        if (sim_mkdir_p(parent.c_str(), 0755) < 0 ||
            sim_write_file(w.path.c_str(), w.text.c_str(), w.mode) < 0)
            return host_fail("write", w.path.c_str());
    }
    return 0;
}

/* The package host's own files, kept beside its root so that its root
 * holds nothing but the release files and the mount points. */
static int pkghost_files(const char *dir, const char *sys, int ssh)
{
    char p[PATH_MAX], dot[PATH_MAX];
    snprintf(p, sizeof p, "%s/root", sys);
    if (sim_mkdir_p(p, 0700) < 0)
        return host_fail("mkdir", p);
    if (ssh) {
        snprintf(p, sizeof p, "%s/ssh", sys);
        snprintf(dot, sizeof dot, "%s/root/.ssh", sys);
        if (host_ssh_files(dir, SIM_NET_PKGHOST, p, dot) < 0)
            return -1;
    }
    snprintf(p, sizeof p, "%s/root/.rhosts", sys);
    if (!ssh && sim_write_file(p, sim_net_rhosts_file().c_str(), 0600) < 0)
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

int pkghost_mount_and_pivot(const char *dir, int ssh)
{
    char root[PATH_MAX], sys[PATH_MAX], p[PATH_MAX], f[PATH_MAX], system[PATH_MAX];
    snprintf(root, sizeof root, "%s/pkghost", dir);
    snprintf(system, sizeof system, "%s/base/system", dir);
    snprintf(sys, sizeof sys, "%s/pkghost.sys", dir);
    if (sethostname("pkghost", 7) < 0)
        return host_fail("sethostname", "pkghost");
    if (sim_mkdir_p(sys, 0700) < 0 || pkghost_files(dir, sys, ssh) < 0)
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
    static const char *const own[][2] = {{"root", "root"},
                                         {"hosts", "etc/hosts"},
                                         {"inetd.conf", "etc/inetd.conf"},
                                         {"ssh", "etc/ssh"}};
    for (auto &o : own) {
        if (!ssh && strcmp(o[0], "ssh") == 0)
            continue;
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
