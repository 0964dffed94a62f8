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
#include <unistd.h>

#include <string>

#include "agent.h"
#include "node_host.h"
#include "sim_net.h"
#include "sim_util.h"
#include "osk_banned.h"

/* Where PATH of the node lives in an upper directory UP. The lower layer is
 * this machine's "/", so links there must be followed: with "/sbin" a link
 * to "usr/sbin", a file written to UP/sbin would hide the whole folder. */
static void upper_path(const char *up, const char *path, char *out, size_t size)
{
    char dir[PATH_MAX], real[PATH_MAX];
    snprintf(dir, sizeof dir, "%s", path);
    char *slash = strrchr(dir, '/');
    const char *base = slash + 1;
    *slash = '\0';
    /* Resolve the longest prefix that exists on the lower layer. */
    char rest[PATH_MAX] = "";
    for (;;) {
        if (dir[0] == '\0' || realpath(dir, real)) {
            if (dir[0] == '\0')
                real[0] = '\0';
            break;
        }
        char *s = strrchr(dir, '/');
        char tmp[PATH_MAX];
        snprintf(tmp, sizeof tmp, "%s%s", s, rest);
        snprintf(rest, sizeof rest, "%s", tmp);
        *s = '\0';
    }
    snprintf(out, size, "%s%s%s/%s", up, strcmp(real, "/") == 0 ? "" : real, rest, base);
}

static int put_file(const char *up, const char *path, const char *text, mode_t mode)
{
    char p[PATH_MAX];
    upper_path(up, path, p, sizeof p);
    char d[PATH_MAX];
    snprintf(d, sizeof d, "%s", p);
    *strrchr(d, '/') = '\0';
    if (sim_mkdir_p(d, 0755) < 0)
        return host_fail("mkdir", d);
    if (sim_write_file(p, text, mode) < 0)
        return host_fail("write", p);
    return 0;
}

static int put_tool(const char *up, const char *path, const char *bindir)
{
    char p[PATH_MAX], from[PATH_MAX], d[PATH_MAX];
    upper_path(up, path, p, sizeof p);
    snprintf(d, sizeof d, "%s", p);
    *strrchr(d, '/') = '\0';
    snprintf(from, sizeof from, "%s/osk-nodetool", bindir);
    if (sim_mkdir_p(d, 0755) < 0)
        return host_fail("mkdir", d);
    /* A copy per root, not a link: a test that damages a node's tool must
     * not damage the build or another node. */
    (void)unlink(p);
    if (sim_copy_file(from, p, 0755) < 0)
        return host_fail("copy to", p);
    return 0;
}

/* A folder of the node that starts empty instead of showing this machine's
 * content through the lower layer. */
static int put_opaque_dir(const char *up, const char *path, mode_t mode)
{
    char p[PATH_MAX];
    snprintf(p, sizeof p, "%s%s", up, path);
    if (sim_mkdir_opaque(p, mode) < 0)
        return host_fail("make opaque folder", p);
    return 0;
}

static int put_dir(const char *up, const char *path)
{
    char p[PATH_MAX];
    upper_path(up, path, p, sizeof p);
    if (sim_mkdir_p(p, 0755) < 0)
        return host_fail("mkdir", p);
    return 0;
}

/* This machine's file PATH with every line for which DROP is true left
 * out, and REPLACE appended; "" when it cannot be read. */
template <typename F>
static std::string filtered(const char *path, F drop, const std::string &replace)
{
    std::string out;
    FILE *f = fopen(path, "re");
    char line[1024];
    while (f && fgets(line, sizeof line, f))
        if (!drop(line))
            out += line;
    if (f)
        fclose(f);
    return out + replace;
}

/* A node's own name service and PAM session settings: the cluster's
 * network knows its hosts from /etc/hosts alone (there is no name server
 * on it), and a node runs no login manager for a session to register
 * with. Both spare each remote shell session work that can only fail. */
static int put_node_config(const char *up)
{
    std::string ns = filtered(
        "/etc/nsswitch.conf", [](const char *l) { return strncmp(l, "hosts:", 6) == 0; },
        "hosts: files\n");
    std::string session = filtered(
        "/etc/pam.d/common-session",
        [](const char *l) { return strstr(l, "pam_systemd") != nullptr; }, "");
    if (put_file(up, "/etc/nsswitch.conf", ns.c_str(), 0644) < 0)
        return -1;
    if (!session.empty() && put_file(up, "/etc/pam.d/common-session", session.c_str(), 0644) < 0)
        return -1;
    return 0;
}

static const char apt_conf[] =
    "// The release repository publishes only an i386 index; read it for every\n"
    "// architecture, and accept its unsigned Release file.\n"
    "Acquire::IndexTargets::deb::Packages::MetaKey \"$(COMPONENT)/binary-i386/Packages\";\n"
    "Acquire::AllowInsecureRepositories \"true\";\n"
    "APT::Get::AllowUnauthenticated \"true\";\n";

/* A release's repository outranks what is installed, as on a node: apt
 * then sees an older release as a downgrade, which a dry-run dist-upgrade
 * refuses, and the installer asks for -d. */
static const char apt_prefs[] = "Package: *\n"
                                "Pin: origin \"\"\n"
                                "Pin-Priority: 1001\n";

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

    /* Start from the cluster's base release, installed once for all roots. */
    char base[PATH_MAX];
    snprintf(base, sizeof base, "%s/base/upper", b->dir);
    if (access(base, F_OK) == 0 && sim_copy_tree(base, up) < 0)
        return host_fail("copy the base release into", up);

    int part = x == 'A' ? 1 : 2;
    char lilo[256], host[64];
    snprintf(lilo, sizeof lilo,
             "boot=/dev/hda\nroot=/dev/hda%d\nread-only\nimage=/boot/vmlinuz\n\tlabel=osk\n", part);
    snprintf(host, sizeof host, "node%d\n", b->node);

    static const char *const tools[] = {"/sbin/lilo", "/sbin/reboot", "/sbin/umount",
                                        "/opt/osk/bin/pm"};
    for (const char *t : tools)
        if (put_tool(up, t, b->bindir) < 0)
            return -1;

    /* A node runs the update its root holds, which the base release
     * installed; a root without one (no base release) runs the build's. */
    char upd[PATH_MAX];
    upper_path(up, "/usr/sbin/update", upd, sizeof upd);
    if (access(upd, F_OK) != 0 && symlink("/opt/osk-sim/bin/update", upd) < 0)
        return host_fail("symlink", upd);

    /* root's home is the node's own: none of this machine's shell start-up
     * files runs in a node's remote shell sessions. */
    if (put_opaque_dir(up, "/tmp", 01777) < 0 || put_opaque_dir(up, "/var/tmp", 01777) < 0 ||
        put_opaque_dir(up, "/run", 0755) < 0 || put_dir(up, "/run/osk-sim/.") < 0 ||
        put_dir(up, "/altroot/.") < 0 || put_dir(up, "/opt/osk-sim/bin/.") < 0 ||
        put_dir(up, "/var/log/osk/.") < 0 || put_opaque_dir(up, "/root", 0700) < 0)
        return -1;
    /* A node reaches no network repository: it knows only the sources an
     * update adds, and none of this machine's package lists. */
    /* Nor does it run this machine's apt hooks: one of them deletes apt's
     * cache after every dpkg run, so each apt-get would rebuild it. */
    if (put_opaque_dir(up, "/etc/apt/sources.list.d", 0755) < 0 ||
        put_opaque_dir(up, "/etc/apt/apt.conf.d", 0755) < 0 ||
        put_file(up, "/etc/apt/sources.list", "", 0644) < 0 ||
        put_opaque_dir(up, "/var/lib/apt/lists", 0755) < 0 ||
        put_dir(up, "/var/lib/apt/lists/partial/.") < 0)
        return -1;
    /* Debian's remote shell, trusting root of the cluster's hosts only; a
     * session's PATH comes from /etc/environment, through PAM. */
    if (put_file(up, "/etc/hosts", sim_net_hosts_file().c_str(), 0644) < 0 ||
        put_file(up, "/root/.rhosts", sim_net_rhosts_file().c_str(), 0600) < 0 ||
        put_file(up, "/etc/inetd.conf", sim_net_inetd_conf().c_str(), 0644) < 0 ||
        put_file(up, "/etc/environment", "PATH=\"" NODE_PATH "\"\n", 0644) < 0 ||
        put_node_config(up) < 0)
        return -1;
    if (put_file(up, "/etc/lilo.conf", lilo, 0644) < 0 ||
        put_file(up, "/etc/hostname", host, 0644) < 0 ||
        put_file(up, "/etc/apt/apt.conf.d/99osk-node", apt_conf, 0644) < 0 ||
        put_file(up, "/etc/apt/preferences.d/99osk-node", apt_prefs, 0644) < 0 ||
        put_file(up, "/etc/osk/pm.conf",
                 "# NAME COMMAND...: services the PM starts at boot\n"
                 "sysmgr /opt/osk-sim/bin/osk-sysmgr\n",
                 0644) < 0)
        return -1;
    char id[4] = {x, '\n', '\0'};
    return put_file(up, "/.osk-root", id, 0644);
}

static int mount_root(const struct node_boot_t *b, char x, const char *at)
{
    char opts[3 * PATH_MAX], dev[32];
    snprintf(opts, sizeof opts, "lowerdir=/,upperdir=%s/node%d/%c/upper,workdir=%s/node%d/%c/work",
             b->dir, b->node, x, b->dir, b->node, x);
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
