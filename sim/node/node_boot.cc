#include "node_boot.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "agent.h"
#include "node_host.h"
#include "sim_fork.h"
#include "sim_net.h"
#include "sim_util.h"
#include "osk_banned.h"

/* Writes PATH of a root whose upper directory is UP. The base's folders
 * are real ones wherever a node's own files go (etc, root), so PATH is
 * the same in the upper directory. */
static int put_file(const char *up, const char *path, const char *text, mode_t mode)
{
    char p[PATH_MAX], d[PATH_MAX];
    snprintf(p, sizeof p, "%s%s", up, path);
    snprintf(d, sizeof d, "%s", p);
    *strrchr(d, '/') = '\0';
    if (sim_mkdir_p(d, 0755) < 0)
        return host_fail("mkdir", d);
    if (sim_write_file(p, text, mode) < 0)
        return host_fail("write", p);
    return 0;
}

static int put_dir(const char *up, const char *path)
{
    char p[PATH_MAX];
    snprintf(p, sizeof p, "%s%s", up, path);
    if (sim_mkdir_p(p, 0755) < 0)
        return host_fail("mkdir", p);
    return 0;
}

/* The base system's file PATH with every line for which DROP is true left
 * out, and REPLACE appended. */
template <typename F>
static std::string filtered(const struct node_boot_t *b, const char *path, F drop,
                            const std::string &replace)
{
    char p[PATH_MAX];
    snprintf(p, sizeof p, "%s/base/system%s", b->dir, path);
    std::string out;
    FILE *f = fopen(p, "re");
    char line[1024];
    while (f && fgets(line, sizeof line, f))
        if (!drop(line))
            out += line;
    if (f)
        fclose(f);
    return out + replace;
}

/* A node's own name service settings: the cluster's network knows its
 * hosts from /etc/hosts alone (there is no name server on it), which
 * spares each remote shell session a lookup that can only fail. */
static int put_node_config(const struct node_boot_t *b, const char *up)
{
    std::string ns = filtered(
        b, "/etc/nsswitch.conf", [](const char *l) { return strncmp(l, "hosts:", 6) == 0; },
        "hosts: files\n");
    return put_file(up, "/etc/nsswitch.conf", ns.c_str(), 0644);
}

int node_root_create(const struct node_boot_t *b, char x)
{
    char up[PATH_MAX], work[PATH_MAX], marker[PATH_MAX];
    snprintf(up, sizeof up, "%s/node%d/%c/upper", b->dir, b->node, x);
    snprintf(work, sizeof work, "%s/node%d/%c/work", b->dir, b->node, x);
    snprintf(marker, sizeof marker, "%s/.osk-root", up);
    if (access(marker, F_OK) == 0)
        return 0;
    if (sim_mkdir_p(up, 0755) < 0 || sim_mkdir_p(work, 0755) < 0)
        return host_fail("mkdir", up);

    /* Everything else of the root is the cluster's base (base.h): the
     * Debian system, the platform's package and the base release. */
    int part = x == 'A' ? 1 : 2;
    char lilo[256], host[64];
    snprintf(lilo, sizeof lilo,
             "boot=/dev/hda\nroot=/dev/hda%d\nread-only\nimage=/boot/vmlinuz\n\tlabel=osk\n", part);
    snprintf(host, sizeof host, "node%d\n", b->node);
    if (put_dir(up, "/run/osk-sim") < 0 || put_dir(up, "/altroot") < 0 ||
        put_dir(up, "/opt/osk-sim/bin") < 0 || put_dir(up, "/var/log/osk") < 0)
        return -1;
    /* update appends its repository's line to this file and takes it out
     * again; the node has no other source. */
    if (put_file(up, "/etc/apt/sources.list", "", 0644) < 0)
        return -1;
    /* Debian's remote shell, trusting root of the cluster's hosts only, or
     * OpenSSH trusting root's cluster key only; a session's PATH comes
     * from /etc/environment, through PAM. */
    char run[PATH_MAX], etc[PATH_MAX], dot[PATH_MAX];
    snprintf(run, sizeof run, "%s/run", b->dir);
    snprintf(etc, sizeof etc, "%s/etc/ssh", up);
    snprintf(dot, sizeof dot, "%s/root/.ssh", up);
    if (sim_net_ssh(run) ? host_ssh_files(b->dir, b->node, etc, dot) < 0
                         : put_file(up, "/root/.rhosts", sim_net_rhosts_file().c_str(), 0600) < 0)
        return -1;
    if (put_file(up, "/etc/hosts", sim_net_hosts_file().c_str(), 0644) < 0 ||
        put_file(up, "/etc/inetd.conf", sim_net_inetd_conf().c_str(), 0644) < 0 ||
        put_file(up, "/etc/environment", "PATH=\"" NODE_PATH "\"\n", 0644) < 0 ||
        put_node_config(b, up) < 0)
        return -1;
    if (put_file(up, "/etc/lilo.conf", lilo, 0644) < 0 ||
        put_file(up, "/etc/hostname", host, 0644) < 0)
        return -1;
    char id[4] = {x, '\n', '\0'};
    return put_file(up, "/.osk-root", id, 0644);
}

int node_ssh_alternatives(void)
{
    /* As a site's administrator points them, in both roots, so that the
     * root an update switches to keeps them. */
    static const char script[] =
        "for r in / /altroot; do chroot \"$r\" /bin/sh -ec '\n"
        "  link() {\n"
        "    update-alternatives --query $1 | grep -qx \"Alternative: $3\" ||\n"
        "      update-alternatives --quiet --install $2 $1 $3 20\n"
        "    update-alternatives --quiet --set $1 $3\n"
        "  }\n"
        "  link rsh /usr/bin/rsh /usr/bin/ssh\n"
        "  link rcp /usr/bin/rcp /usr/bin/scp' || exit 1\n"
        "done\n";
    auto points = [](const char *link, const char *want) {
        char target[PATH_MAX];
        ssize_t n = readlink(link, target, sizeof target - 1);
        return n > 0 && (size_t)n == strlen(want) && memcmp(target, want, (size_t)n) == 0;
    };
    if (points("/etc/alternatives/rcp", "/usr/bin/scp") &&
        points("/altroot/etc/alternatives/rcp", "/usr/bin/scp"))
        return 0;
    pid_t pid;
    int r = sim_fork(FORK_NULL_STDIN | FORK_RESET_SIGNALS | FORK_CLOSE_ALL_FDS, nullptr, 0, &pid);
    if (r == 0) {
        execl("/bin/sh", "sh", "-c", script, (char *)nullptr);
        _exit(127);
    }
    int st = 0;
    if (r < 0 || waitpid(pid, &st, 0) != pid || !WIFEXITED(st) || WEXITSTATUS(st) != 0) {
        fprintf(stderr, "osk-node: cannot point rsh and rcp at ssh and scp\n");
        return -1;
    }
    return 0;
}

static int mount_root(const struct node_boot_t *b, char x, const char *at)
{
    char opts[3 * PATH_MAX], dev[32];
    snprintf(opts, sizeof opts,
             "lowerdir=%s/base/tree:%s/base/system,upperdir=%s/node%d/%c/upper,"
             "workdir=%s/node%d/%c/work",
             b->dir, b->dir, b->dir, b->node, x, b->dir, b->node, x);
    snprintf(dev, sizeof dev, "/dev/hda%d", x == 'A' ? 1 : 2);
    /* The previous boot's namespace may still be letting go of the same
     * upper directory; give it a moment. */
    for (int tries = 0;; tries++) {
        if (mount(dev, at, "overlay", 0, opts) == 0)
            return 0;
        if (errno != EBUSY || tries == 50)
            return host_fail("mount root at", at);
        usleep(20000);
    }
}

static int touch(const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return host_fail("create", path);
    close(fd);
    return 0;
}

/* A small /dev: the host's own /dev would let a node create files on this
 * machine (its /dev/osk). */
static int mount_dev(const struct node_boot_t *b, const char *m)
{
    char d[PATH_MAX], p[PATH_MAX];
    snprintf(d, sizeof d, "%s/dev", m);
    if (mount("tmpfs", d, "tmpfs", MS_NOSUID, "mode=755,size=1m") < 0)
        return host_fail("mount tmpfs at", d);
    static const char *const devs[] = {"null", "zero", "full", "random", "urandom", "tty"};
    for (const char *n : devs) {
        char host[64];
        snprintf(host, sizeof host, "/dev/%s", n);
        snprintf(p, sizeof p, "%s/%s", d, n);
        if (touch(p) < 0 || host_bind(host, p, 0) < 0)
            return -1;
    }
    /* Terminals come from the pts instance bound below. */
    static const char *const links[][2] = {{"ptmx", "pts/ptmx"},
                                           {"fd", "/proc/self/fd"},
                                           {"stdin", "/proc/self/fd/0"},
                                           {"stdout", "/proc/self/fd/1"},
                                           {"stderr", "/proc/self/fd/2"}};
    for (auto &l : links) {
        snprintf(p, sizeof p, "%s/%s", d, l[0]);
        if (symlink(l[1], p) < 0)
            return host_fail("symlink", p);
    }
    snprintf(p, sizeof p, "%s/pts", d);
    if (mkdir(p, 0755) < 0 || host_bind("/dev/pts", p, 0) < 0)
        return -1;
    snprintf(p, sizeof p, "%s/shm", d);
    if (mkdir(p, 01777) < 0 || mount("tmpfs", p, "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") < 0)
        return host_fail("mount tmpfs at", p);

    char sock[PATH_MAX];
    snprintf(sock, sizeof sock, "%s/osk%d.sock", b->dir, b->node);
    snprintf(p, sizeof p, "%s/osk", d);
    if (touch(p) < 0)
        return -1;
    if (access(sock, F_OK) == 0)
        return host_bind(sock, p, 0);
    fprintf(stderr, "osk-node: %s missing, /dev/osk left unconnected\n", sock);
    return 0;
}

/* The booting root's /tmp starts empty, as Debian's boot empties it: what
 * a process killed by the reboot left there goes (/var/tmp stays). */
static void empty_tmp(const char *root)
{
    char tmp[PATH_MAX];
    snprintf(tmp, sizeof tmp, "%s/tmp", root);
    DIR *d = opendir(tmp);
    if (!d)
        return;
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        char p[PATH_MAX];
        snprintf(p, sizeof p, "%s/%s", tmp, e->d_name);
        (void)sim_rm_tree(p);
    }
    closedir(d);
}

int node_mount_and_pivot(const struct node_boot_t *b)
{
    char host[16];
    snprintf(host, sizeof host, "node%d", b->node);
    if (sethostname(host, strlen(host)) < 0)
        return host_fail("sethostname", host);

    char m[PATH_MAX], alt[PATH_MAX], p[PATH_MAX], run[PATH_MAX];
    snprintf(m, sizeof m, "%s/node%d/mnt", b->dir, b->node);
    snprintf(alt, sizeof alt, "%s/altroot", m);
    snprintf(run, sizeof run, "%s/run", b->dir);
    char other = b->root == 'A' ? 'B' : 'A';
    if (sim_mkdir_p(m, 0755) < 0)
        return host_fail("mkdir", m);
    if (mount_root(b, b->root, m) < 0 || mount_root(b, other, alt) < 0)
        return -1;
    empty_tmp(m);

    const char *roots[2] = {m, alt};
    for (const char *r : roots) {
        snprintf(p, sizeof p, "%s/proc", r);
        if (mount("proc", p, "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) < 0)
            return host_fail("mount proc at", p);
        snprintf(p, sizeof p, "%s/opt/osk-sim/bin", r);
        if (host_bind(b->bindir, p, MS_RDONLY) < 0)
            return -1;
    }
    if (mount_dev(b, m) < 0)
        return -1;
    snprintf(p, sizeof p, "%s/dev", alt);
    char d[PATH_MAX];
    snprintf(d, sizeof d, "%s/dev", m);
    if (host_bind(d, p, MS_REC) < 0)
        return -1;

    /* /run starts empty at every boot, as a tmpfs would on a real node. */
    snprintf(p, sizeof p, "%s/run", m);
    if (mount("tmpfs", p, "tmpfs", MS_NOSUID | MS_NODEV, "mode=755") < 0)
        return host_fail("mount tmpfs at", p);
    snprintf(p, sizeof p, "%s/run/lock", m);
    (void)mkdir(p, 01777);
    snprintf(p, sizeof p, "%s/run/osk-sim", m);
    if (mkdir(p, 0755) < 0 || host_bind(run, p, 0) < 0)
        return -1;
    snprintf(p, sizeof p, "%s/run/osk-sim", alt);
    if (host_bind(run, p, 0) < 0)
        return -1;

    return host_pivot(m);
}
