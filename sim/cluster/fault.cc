#include "fault.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/magic.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "network.h"
#include "sim_fork.h"
#include "sim_net.h"
#include "simcluster.h"
#include "sim_util.h"
#include "sim_wire.h"
#include "osk_banned.h"

/* A slow link's bits per second unless --rate says otherwise. */
#define SLOW_RATE 1000000

/* The usage around the kinds' own lines, which their rows hold. */
static const char usage_head[] =
    "usage: osk-cluster fault KIND ARGS... [--at-log NODE TEXT | --after MS]\n"
    "       osk-cluster fault list | clear [ID...] | --help\n"
    "Kinds:\n";
static const char usage_tail[] =
    "Triggers (default: at once):\n"
    "  --at-log NODE TEXT         when TEXT first appears in /var/log/osk/update of NODE\n"
    "                             after the fault is armed\n"
    "  --after MS                 MS milliseconds after it is armed\n"
    "list shows every fault (ID F1, F2...) and whether and when it fired; clear\n"
    "removes the faults named (default: all) and undoes what can be undone;\n"
    "`osk-cluster down` removes them all.\n";

struct fault_kind;

struct fault_t {
    const fault_kind *kind = nullptr;
    int node = -1;
    std::string arg;        /* PACKAGE, PATH, PROGRAM or what to do to the inventory */
    std::vector<int> hosts; /* partition */
    long num = -1;          /* --size, --offset, --signal or --rate */
    long free_b = 0;        /* --free */
    int running_root = 0;
    int log_node = -1; /* --at-log */
    std::string text;
    long after_ms = -1; /* --after */
};

static const char *g_dir;
static int g_nnodes;
/* In a watcher: a pidfd of the cluster's supervisor, which it outlives by
 * no more than one poll. */
static int g_super_fd = -1;

static std::string fdir(void)
{
    return std::string(g_dir) + "/run/faults";
}

static std::string ffile(int id, const char *ext)
{
    return fdir() + "/F" + std::to_string(id) + "." + ext;
}

static int parse_num(const char *s, long *out)
{
    char *end;
    errno = 0;
    long v = strtol(s, &end, 0);
    if (!*s || *end || errno || v < 0)
        return -1;
    *out = v;
    return 0;
}

static int parse_node_arg(const char *s)
{
    if (strncmp(s, "node", 4) == 0)
        s += 4;
    long n;
    return parse_num(s, &n) == 0 && n < g_nnodes ? (int)n : -1;
}

/* "2,3,pkghost": hosts of the cluster, each once; -1 for anything else. */
static int parse_hosts(const std::string &list, std::vector<int> *hosts)
{
    size_t at = 0;
    while (at <= list.size()) {
        size_t end = list.find(',', at);
        std::string one = list.substr(at, end == std::string::npos ? end : end - at);
        int h = sim_net_host(one.c_str());
        if (h < 0 || (h != SIM_NET_PKGHOST && h >= g_nnodes) ||
            std::find(hosts->begin(), hosts->end(), h) != hosts->end())
            return -1;
        hosts->push_back(h);
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return hosts->empty() ? -1 : 0;
}

static pid_t node_init(int n)
{
    return net_init(g_dir, n);
}

/* The PID namespace of pid, as its link reads; "" when it is gone. */
static std::string pidns_of(pid_t pid)
{
    char p[64], ns[64];
    snprintf(p, sizeof p, "/proc/%d/ns/pid", (int)pid);
    ssize_t n = readlink(p, ns, sizeof ns - 1);
    return n > 0 ? std::string(ns, (size_t)n) : "";
}

/* Every process of this machine in the PID namespace of NODE's init. */
static std::vector<pid_t> node_pids(pid_t init)
{
    std::vector<pid_t> pids;
    std::string want = pidns_of(init);
    if (want.empty())
        return pids;
    DIR *d = opendir("/proc");
    for (struct dirent *de; d && (de = readdir(d));) {
        long pid;
        if (parse_num(de->d_name, &pid) == 0 && pidns_of((pid_t)pid) == want)
            pids.push_back((pid_t)pid);
    }
    if (d)
        closedir(d);
    return pids;
}

static std::string comm_of(pid_t pid)
{
    char p[64], c[64];
    snprintf(p, sizeof p, "/proc/%d/comm", (int)pid);
    if (sim_read_file(p, c, sizeof c) < 1)
        return "";
    c[strcspn(c, "\n")] = '\0';
    return c;
}

/* Signals the node's processes (those named NAME when given); returns how
 * many. Stopping repeats the sweep so that a fork in between is caught.
 * Each is signalled through a pidfd taken after the listing and checked
 * again, so an id given to another process since is never signalled. */
static int signal_node(int n, int sig, const char *name)
{
    pid_t init = node_init(n);
    std::string want = init ? pidns_of(init) : "";
    if (want.empty())
        return -1;
    int count = 0;
    for (int pass = 0; pass < (sig == SIGSTOP ? 3 : 1); pass++)
        for (pid_t p : node_pids(init)) {
            int fd = (int)syscall(SYS_pidfd_open, p, 0);
            if (fd < 0)
                continue;
            if (pidns_of(p) == want && (!name || comm_of(p) == name) &&
                sim_pidfd_signal(fd, sig) == 0 && pass == 0)
                count++;
            close(fd);
        }
    return count;
}

/* Runs fn in NODE's mount namespace (a forked process); its result, or -1. */
template <typename F> static int in_node(int n, F fn)
{
    pid_t init = node_init(n);
    if (!init) {
        errno = ESRCH;
        return -1;
    }
    char p[64];
    snprintf(p, sizeof p, "/proc/%d/ns/mnt", (int)init);
    int fd = open(p, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    pid_t pid;
    int r = sim_fork(0, nullptr, 0, &pid);
    if (r == 0) {
        if (setns(fd, CLONE_NEWNS) < 0 || chdir("/") < 0)
            _exit(120);
        _exit(fn() == 0 ? 0 : (errno ? errno : 1) & 0x7f);
    }
    close(fd);
    int st;
    if (r < 0 || waitpid(pid, &st, 0) < 0)
        return -1;
    if (WIFEXITED(st) && WEXITSTATUS(st) == 0)
        return 0;
    errno = WIFEXITED(st) ? WEXITSTATUS(st) : EINTR;
    return -1;
}

static std::string rsh_flag(int n)
{
    return fdir() + "/rsh-node" + std::to_string(n);
}

static std::string pkghost_path(const fault_t &f)
{
    return std::string(g_dir) + "/pkghost/" + f.arg;
}

static std::string prerm_path(const fault_t &f)
{
    return std::string(f.running_root ? "" : "/altroot") + "/var/lib/dpkg/info/" + f.arg + ".prerm";
}

/* The root partition NODE runs ('A' or 'B'), 0 when it runs none. */
static char running_root(int n)
{
    struct super_node_t v[8];
    if (n < 0 || n >= 8 || super_status(g_dir, v, n + 1, nullptr) < 0 ||
        strcmp(v[n].state, "up") != 0)
        return 0;
    return v[n].root;
}

/* Cuts the file at PATH in the middle of a line, as a copy that broke off. */
static int cut_mid_line(const char *path)
{
    int fd = open(path, O_RDWR | O_CLOEXEC);
    struct stat st;
    if (fd < 0)
        return -1;
    off_t at = fstat(fd, &st) == 0 ? st.st_size / 2 : 0;
    char c;
    /* Ending on a line end would leave a shorter inventory, not a broken one. */
    while (at > 0 && pread(fd, &c, 1, at - 1) == 1 && c == '\n')
        at--;
    int rc = at > 0 ? ftruncate(fd, at) : (errno = EINVAL, -1);
    close(fd);
    return rc;
}

/* The inventory the node takes at its next boot: through the node while it
 * runs (its alternate root), else in the upper layer of the root it boots. */
static int hit_inventory(const fault_t &f, std::string *what)
{
    struct super_node_t v[8];
    if (super_status(g_dir, v, f.node + 1, nullptr) < 0) {
        *what = "the supervisor does not answer";
        return -1;
    }
    auto act = [&f](const char *path) {
        return f.arg == "remove" ? unlink(path) : cut_mid_line(path);
    };
    std::string where;
    int rc;
    if (strcmp(v[f.node].state, "up") == 0) {
        where = "the alternate root";
        rc = in_node(f.node, [&] { return act("/altroot/present_vluns"); });
    } else {
        where = std::string("root ") + v[f.node].boot;
        std::string path = std::string(g_dir) + "/node" + std::to_string(f.node) + "/" +
                           v[f.node].boot + "/upper/present_vluns";
        rc = act(path.c_str());
    }
    std::string node = "node" + std::to_string(f.node);
    if (rc < 0) {
        *what = errno == ENOENT ? node + " holds no inventory in " + where
                                : "inventory of " + node + ": " + strerror(errno);
        return -1;
    }
    *what = "inventory of " + node + " in " + where + (f.arg == "remove" ? " removed" : " cut");
    return 0;
}

static long slow_rate(const fault_t &f)
{
    return f.num > 0 ? f.num : SLOW_RATE;
}

/* The wire's part of each fault that acts on it (network.h): puts it in
 * place or, with undo, takes it away. */
static int wire_stall(const fault_t &f, bool undo, std::string *err)
{
    return net_stall(g_dir, f.node, undo, err);
}

static int wire_slow(const fault_t &f, bool undo, std::string *err)
{
    return net_slow(g_dir, f.node, slow_rate(f), undo, err);
}

static int wire_partition(const fault_t &f, bool undo, std::string *err)
{
    return net_partition(g_dir, f.hosts, undo, err);
}

#define SCRATCH "/altroot/tmp"
#define FILLER SCRATCH "/.osk-fault-filler"
#define PRERM_MARK "# osk-cluster fault"

static int arm_scratch_full(const fault_t &f, int id, std::string *why)
{
    long size = f.num > 0 ? f.num : 16L << 20;
    char opts[64];
    snprintf(opts, sizeof opts, "size=%ld,mode=1777", size);
    if (in_node(f.node, [&] { return mount("tmpfs", SCRATCH, "tmpfs", MS_NOSUID, opts); }) < 0) {
        *why = std::string("cannot mount the scratch file system: ") + strerror(errno);
        return -1;
    }
    (void)sim_write_file(ffile(id, "mounted").c_str(), "1\n", 0644);
    return 0;
}

/* Fills the fault's own file system only: a node that restarted since the
 * fault was armed has lost it, and its real scratch folder is left alone. */
static int fill_scratch(long keep)
{
    struct statfs fs;
    if (statfs(SCRATCH, &fs) < 0)
        return -1;
    if (fs.f_type != TMPFS_MAGIC) {
        errno = ENOENT;
        return -1;
    }
    struct statvfs vs;
    if (statvfs(SCRATCH, &vs) < 0)
        return -1;
    long long room = (long long)vs.f_bavail * (long long)vs.f_bsize - keep;
    int fd = open(FILLER, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    static char zero[65536];
    while (room > 0) {
        ssize_t w = write(fd, zero, room < (long long)sizeof zero ? (size_t)room : sizeof zero);
        if (w <= 0)
            break;
        room -= w;
    }
    close(fd);
    return 0;
}

static int backup(const std::string &path, int id)
{
    struct stat st;
    if (stat(path.c_str(), &st) < 0 || !S_ISREG(st.st_mode))
        return -1;
    std::string orig = ffile(id, "orig");
    if (access(orig.c_str(), F_OK) == 0)
        return 0;
    return sim_copy_file(path.c_str(), orig.c_str(), st.st_mode & 07777);
}

static std::string node_name(int n)
{
    return "node" + std::to_string(n);
}

/* The fire functions: each does its fault and says in *what what was done
 * (or why it could not be). */
static int fire_crash(const fault_t &f, int, std::string *what)
{
    std::string pidf = std::string(g_dir) + "/" + node_name(f.node) + "/pid";
    int init = sim_pidfile_pidfd(pidf.c_str(), "osk-node");
    int rc = init < 0 ? -1 : sim_pidfd_signal(init, SIGKILL);
    if (init >= 0)
        close(init);
    *what = node_name(f.node) + (rc < 0 ? " is not running" : " crashed");
    return rc < 0 ? -1 : 0;
}

/* Sends sig to the node's processes named name (all when null). */
static int signal_told(const fault_t &f, int sig, const char *name, const char *done,
                       std::string *what)
{
    int n = signal_node(f.node, sig, name);
    if (n <= 0) {
        *what = n < 0 ? node_name(f.node) + " is not running"
                      : "no process named " + f.arg + " on " + node_name(f.node);
        return -1;
    }
    char t[256];
    snprintf(t, sizeof t, "%s %d process%s of node%d", done, n, n == 1 ? "" : "es", f.node);
    *what = t;
    return 0;
}

static int fire_hang(const fault_t &f, int, std::string *what)
{
    return signal_told(f, SIGSTOP, nullptr, "stopped", what);
}

static int fire_kill(const fault_t &f, int, std::string *what)
{
    return signal_told(f, f.num > 0 ? (int)f.num : SIGKILL, f.arg.c_str(), "signalled", what);
}

static int fire_rsh_fail(const fault_t &f, int, std::string *what)
{
    pid_t init = node_init(f.node);
    if (!init) {
        *what = node_name(f.node) + " is not running";
        return -1;
    }
    /* The flag keeps the node's boot from starting it again. */
    if (sim_write_file(rsh_flag(f.node).c_str(), "fail\n", 0644) < 0) {
        *what = strerror(errno);
        return -1;
    }
    /* Over ssh its connections end too: a shared one would carry calls on
     * without the server. */
    int ssh = sim_net_ssh((std::string(g_dir) + "/run").c_str());
    (void)signal_node(f.node, SIGTERM, ssh ? "sshd" : "inetd");
    for (int i = 0; i < 500 && sim_net_listening(init, sim_net_shell_port(ssh)); i++)
        usleep(10000);
    *what = "nothing listens for rsh on " + node_name(f.node);
    return 0;
}

/* Puts the fault on the wire; the names of the hosts it acts on, or -1
 * with *what saying why not. */
static int put_on_wire(const fault_t &f, std::string *names, std::string *what);

static int fire_stall(const fault_t &f, int, std::string *what)
{
    std::string names;
    if (put_on_wire(f, &names, what) < 0)
        return -1;
    *what = "every packet to and from " + names + " dropped";
    return 0;
}

static int fire_slow(const fault_t &f, int, std::string *what)
{
    std::string names;
    if (put_on_wire(f, &names, what) < 0)
        return -1;
    *what = "link of " + names + " at " + std::to_string(slow_rate(f)) + " bit/s";
    return 0;
}

static int fire_partition(const fault_t &f, int, std::string *what)
{
    std::string names;
    if (put_on_wire(f, &names, what) < 0)
        return -1;
    *what = names + " cut off from the other hosts";
    return 0;
}

static int fire_scratch_full(const fault_t &f, int, std::string *what)
{
    if (in_node(f.node, [&] { return fill_scratch(f.free_b); }) < 0) {
        *what = errno == ENOENT ? std::string("the node restarted since the fault was armed")
                                : std::string("cannot fill the scratch space: ") + strerror(errno);
        return -1;
    }
    *what = "scratch space of " + node_name(f.node) + " full";
    return 0;
}

static int fire_dpkg_fail(const fault_t &f, int id, std::string *what)
{
    std::string prerm = prerm_path(f), list = prerm.substr(0, prerm.size() - 6) + ".list";
    int rc = in_node(f.node, [&] {
        if (access(list.c_str(), F_OK) < 0)
            return -1;
        if (access(prerm.c_str(), F_OK) == 0 &&
            rename(prerm.c_str(), (prerm + ".osk-fault-orig").c_str()) < 0)
            return -1;
        std::string s = "#!/bin/sh\n" PRERM_MARK "\necho \"dpkg-fail: " + f.arg +
                        " may not be touched\" >&2\nexit 1\n";
        return sim_write_file(prerm.c_str(), s.c_str(), 0755);
    });
    if (rc < 0) {
        *what = f.arg + " is not installed in " + (f.running_root ? "/" : "/altroot") + " of " +
                node_name(f.node);
        return -1;
    }
    /* Undone in that partition, whichever root the node runs by then. */
    char now = running_root(f.node), hit = f.running_root ? now : (now == 'A' ? 'B' : 'A');
    char t2[4] = {hit, '\n', 0};
    (void)sim_write_file(ffile(id, "root").c_str(), t2, 0644);
    *what = "dpkg fails on " + f.arg + " in " + node_name(f.node);
    return 0;
}

static int fire_inventory(const fault_t &f, int, std::string *what)
{
    return hit_inventory(f, what);
}

/* The file on the package host that the fault damages, kept for clear. */
static int pkghost_file(const fault_t &f, int id, struct stat *st, std::string *what)
{
    std::string path = pkghost_path(f);
    if (backup(path, id) < 0 || stat(path.c_str(), st) < 0) {
        *what = path + ": " + strerror(errno);
        return -1;
    }
    return 0;
}

static int fire_truncate(const fault_t &f, int id, std::string *what)
{
    struct stat st;
    if (pkghost_file(f, id, &st, what) < 0)
        return -1;
    std::string path = pkghost_path(f);
    long size = f.num >= 0 ? f.num : (long)st.st_size / 2;
    if (truncate(path.c_str(), size) < 0) {
        *what = path + ": " + strerror(errno);
        return -1;
    }
    char t[256];
    snprintf(t, sizeof t, "%s cut to %ld of %lld bytes", f.arg.c_str(), size,
             (long long)st.st_size);
    *what = t;
    return 0;
}

static int fire_corrupt(const fault_t &f, int id, std::string *what)
{
    struct stat st;
    if (pkghost_file(f, id, &st, what) < 0)
        return -1;
    std::string path = pkghost_path(f);
    long off = f.num >= 0 ? f.num : (long)st.st_size / 2;
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    unsigned char c;
    if (off >= st.st_size || fd < 0 || pread(fd, &c, 1, off) != 1 ||
        (c ^= 0x10, pwrite(fd, &c, 1, off) != 1)) {
        *what = path + ": cannot flip a bit at offset " + std::to_string(off);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    close(fd);
    *what = f.arg + ": bit 4 of byte " + std::to_string(off) + " flipped";
    return 0;
}

/* Puts back the pre-removal script at PRERM that the fault replaced. */
static int restore_prerm(const std::string &prerm)
{
    std::string orig = prerm + ".osk-fault-orig";
    char buf[512];
    if (sim_read_file(prerm.c_str(), buf, sizeof buf) < 0 || !strstr(buf, PRERM_MARK))
        return 0;
    if (access(orig.c_str(), F_OK) == 0)
        return rename(orig.c_str(), prerm.c_str());
    return unlink(prerm.c_str());
}

/* In the partition the fault damaged: through the node where it has that
 * partition mounted now, or in the partition's own layer when it is down. */
static void undo_dpkg_fail(const fault_t &f, int id)
{
    char hit[8] = "";
    std::string rel = "/var/lib/dpkg/info/" + f.arg + ".prerm";
    if (sim_read_file(ffile(id, "root").c_str(), hit, sizeof hit) < 1 ||
        (hit[0] != 'A' && hit[0] != 'B')) {
        (void)in_node(f.node, [&] { return restore_prerm(prerm_path(f)); });
        return;
    }
    char now = running_root(f.node);
    if (now != 0) {
        std::string at = (hit[0] == now ? "" : "/altroot") + rel;
        (void)in_node(f.node, [&] { return restore_prerm(at); });
    } else {
        (void)restore_prerm(std::string(g_dir) + "/" + node_name(f.node) + "/" + hit[0] + "/upper" +
                            rel);
    }
}

static void undo_hang(const fault_t &f, int)
{
    (void)signal_node(f.node, SIGCONT, nullptr);
}

/* Lets the node's remote shell listen again (it may have rebooted and be
 * listening already). */
static void undo_rsh_fail(const fault_t &f, int)
{
    (void)unlink(rsh_flag(f.node).c_str());
    if (!node_init(f.node))
        return;
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    std::string run = std::string(g_dir) + "/run";
    (void)sim_agent_exec(run.c_str(), node_name(f.node).c_str(),
                         sim_net_shell_restart(sim_net_ssh(run.c_str())).c_str(), -1, null, null);
    if (null >= 0)
        close(null);
}

static void undo_wire(const fault_t &f, int);

static void undo_scratch_full(const fault_t &f, int id)
{
    if (access(ffile(id, "mounted").c_str(), F_OK) == 0)
        (void)in_node(f.node, [] { return umount2(SCRATCH, MNT_DETACH); });
}

static void undo_pkghost_file(const fault_t &f, int id)
{
    if (access(ffile(id, "orig").c_str(), F_OK) == 0)
        (void)rename(ffile(id, "orig").c_str(), pkghost_path(f).c_str());
}

/* What a kind's first argument names. */
enum fault_target {
    TARGET_NODE,  /* a node of the cluster */
    TARGET_HOSTS, /* hosts of the cluster, such as 2,3,pkghost */
    TARGET_HOST,  /* one host: a node or pkghost */
    TARGET_PATH,  /* a path on the package host (the word below) */
};

/* An option of a kind besides the triggers: a number within [min, max]
 * into field, or a switch (field null) that sets running_root. */
struct fault_option {
    const char *name = nullptr;
    long min = 0, max = 0;
    long fault_t::*field = nullptr;
};

/* One row for each kind: what its command line holds, and the functions
 * that arm it (before any trigger), fire it and undo it at clear; null
 * when the kind has nothing to do there. wire is set for the kinds that
 * act on the cluster's network itself, and is their part on it. */
struct fault_kind {
    const char *name;
    fault_target target;
    const char *word = nullptr;        /* what the word after the target is */
    const char *const choices[3] = {}; /* the words it may be, when it is a choice */
    fault_option options[2] = {};
    int (*arm)(const fault_t &f, int id, std::string *why) = nullptr;
    int (*fire)(const fault_t &f, int id, std::string *what) = nullptr;
    void (*undo)(const fault_t &f, int id) = nullptr;
    int (*wire)(const fault_t &f, bool undo, std::string *err) = nullptr;
    const char *usage = nullptr; /* its lines of the usage */
};

static const fault_kind fault_kinds[] = {
    {.name = "crash",
     .target = TARGET_NODE,
     .fire = fire_crash,
     .usage = "  crash NODE                 the node's processes end at once and it leaves the\n"
              "                             cluster; `osk-cluster reboot NODE` brings it back\n"},
    {.name = "hang",
     .target = TARGET_NODE,
     .fire = fire_hang,
     .undo = undo_hang,
     .usage =
         "  hang NODE                  every process of the node stops (SIGSTOP) until clear\n"},
    {.name = "rsh-fail",
     .target = TARGET_NODE,
     .fire = fire_rsh_fail,
     .undo = undo_rsh_fail,
     .usage = "  rsh-fail NODE              nothing listens for rsh on the node (connection\n"
              "                             refused), its reboots included, until clear\n"},
    {.name = "rsh-stall",
     .target = TARGET_NODE,
     .fire = fire_stall,
     .undo = undo_wire,
     .wire = wire_stall,
     .usage = "  rsh-stall NODE             every packet to and from the node is dropped: rsh to\n"
              "                             it hangs until clear (or the node's reboot)\n"},
    {.name = "partition",
     .target = TARGET_HOSTS,
     .fire = fire_partition,
     .undo = undo_wire,
     .wire = wire_partition,
     .usage = "  partition HOST[,HOST...]   the hosts named (nodes, pkghost) are cut off from the\n"
              "                             others until clear\n"},
    {.name = "slow",
     .target = TARGET_HOST,
     .options = {{"--rate", 8000, LONG_MAX, &fault_t::num}},
     .fire = fire_slow,
     .undo = undo_wire,
     .wire = wire_slow,
     .usage = "  slow HOST [--rate BITS]    the host's link carries BITS per second (default\n"
              "                             1000000) both ways until clear (or its reboot)\n"},
    {.name = "scratch-full",
     .target = TARGET_NODE,
     .options = {{"--size", 0, LONG_MAX, &fault_t::num}, {"--free", 0, LONG_MAX, &fault_t::free_b}},
     .arm = arm_scratch_full,
     .fire = fire_scratch_full,
     .undo = undo_scratch_full,
     .usage = "  scratch-full NODE [--size BYTES] [--free BYTES]\n"
              "                             mounts a file system of BYTES (default 16 MiB) on the\n"
              "                             node's /altroot/tmp when armed; firing fills it until\n"
              "                             --free BYTES (default 0) are left\n"},
    {.name = "dpkg-fail",
     .target = TARGET_NODE,
     .word = "a package name",
     .options = {{"--running-root", 0, 0, nullptr}},
     .fire = fire_dpkg_fail,
     .undo = undo_dpkg_fail,
     .usage =
         "  dpkg-fail NODE PACKAGE [--running-root]\n"
         "                             dpkg fails on PACKAGE in the node's alternate root (or\n"
         "                             its running root): its installed pre-removal script "
         "fails\n"},
    {.name = "corrupt",
     .target = TARGET_PATH,
     .word = "a path on the package host",
     .options = {{"--offset", 0, LONG_MAX, &fault_t::num}},
     .fire = fire_corrupt,
     .undo = undo_pkghost_file,
     .usage =
         "  corrupt PATH [--offset N]  flips one bit of PATH on the package host (default: in\n"
         "                             the middle of the file)\n"},
    {.name = "truncate",
     .target = TARGET_PATH,
     .word = "a path on the package host",
     .options = {{"--size", 0, LONG_MAX, &fault_t::num}},
     .fire = fire_truncate,
     .undo = undo_pkghost_file,
     .usage =
         "  truncate PATH [--size N]   cuts PATH on the package host to N bytes (default half)\n"},
    {.name = "kill",
     .target = TARGET_NODE,
     .word = "a program name",
     .options = {{"--signal", 1, 64, &fault_t::num}},
     .fire = fire_kill,
     .usage =
         "  kill NODE PROGRAM [--signal N]\n"
         "                             sends signal N (default 9) to every process of the node\n"
         "                             named PROGRAM\n"},
    {.name = "inventory",
     .target = TARGET_NODE,
     .word = "remove or damage",
     .choices = {"remove", "damage"},
     .fire = fire_inventory,
     .usage =
         "  inventory NODE remove|damage\n"
         "                             the rolling upgrade's export inventory in the node's\n"
         "                             alternate root (or, while the node is down, in the root\n"
         "                             it boots next) is removed, or cut in the middle of a "
         "line\n"},
};

static int put_on_wire(const fault_t &f, std::string *names, std::string *what)
{
    std::string err;
    if (f.kind->wire(f, false, &err) < 0) {
        *what = err;
        return -1;
    }
    for (int h : f.hosts.empty() ? std::vector<int>{f.node} : f.hosts)
        *names += (names->empty() ? "" : ",") + sim_net_name(h);
    return 0;
}

static void undo_wire(const fault_t &f, int)
{
    std::string err;
    (void)f.kind->wire(f, true, &err);
}

static std::string fault_usage(void)
{
    std::string u = usage_head;
    for (const fault_kind &k : fault_kinds)
        u += k.usage;
    return u + usage_tail;
}

static const fault_kind *find_kind(const std::string &name)
{
    for (const fault_kind &k : fault_kinds)
        if (name == k.name)
            return &k;
    return nullptr;
}

/* The kind's first argument, and the word after it, from w at *i. */
static int parse_target(const std::vector<std::string> &w, size_t *i, fault_t *f, std::string *why)
{
    const fault_kind &k = *f->kind;
    const std::string name = k.name;
    if (k.target == TARGET_HOSTS || k.target == TARGET_HOST) {
        if (*i >= w.size() || parse_hosts(w[*i], &f->hosts) < 0 ||
            (k.target == TARGET_HOST && f->hosts.size() != 1)) {
            *why = name + (k.target == TARGET_HOST
                               ? " needs a host of the cluster (a node or pkghost)"
                               : " needs hosts of the cluster, such as 2,3,pkghost");
            return -1;
        }
        f->node = f->hosts[0];
        ++*i;
    }
    if (k.target == TARGET_NODE) {
        if (*i >= w.size() || (f->node = parse_node_arg(w[*i].c_str())) < 0) {
            *why = name + " needs a node of the cluster";
            return -1;
        }
        ++*i;
    }
    if (!k.word)
        return 0;
    bool ok = *i < w.size() && !w[*i].empty();
    if (ok && k.choices[0])
        ok = std::find_if(std::begin(k.choices), std::end(k.choices),
                          [&](const char *c) { return c && w[*i] == c; }) != std::end(k.choices);
    else if (ok)
        ok = w[*i][0] != '-';
    if (!ok) {
        *why = name + " needs " + k.word;
        return -1;
    }
    f->arg = w[(*i)++];
    if (k.target == TARGET_PATH && f->arg.find("..") != std::string::npos) {
        *why = "the path must stay on the package host";
        return -1;
    }
    return 0;
}

static const fault_option *find_option(const fault_kind &k, const std::string &name)
{
    for (const fault_option &o : k.options)
        if (o.name && name == o.name)
            return &o;
    return nullptr;
}

/* Fills f from the words of a fault; on error returns -1 with *why set. */
static int parse_fault(const std::vector<std::string> &w, fault_t *f, std::string *why)
{
    if (w.empty()) {
        *why = "no fault kind given";
        return -1;
    }
    if (!(f->kind = find_kind(w[0]))) {
        *why = "unknown fault kind " + w[0];
        return -1;
    }
    size_t i = 1;
    if (parse_target(w, &i, f, why) < 0)
        return -1;
    for (; i < w.size(); i++) {
        const std::string &o = w[i];
        const char *next = i + 1 < w.size() ? w[i + 1].c_str() : nullptr;
        const fault_option *opt = find_option(*f->kind, o);
        long v;
        if (opt && !opt->field) {
            f->running_root = 1;
        } else if (o == "--at-log" && i + 2 < w.size()) {
            if ((f->log_node = parse_node_arg(next)) < 0 || w[i + 2].empty()) {
                *why = "--at-log needs a node of the cluster and a text";
                return -1;
            }
            f->text = w[i + 2];
            i += 2;
        } else if (next && parse_num(next, &v) == 0 &&
                   (o == "--after" || (opt && v >= opt->min && v <= opt->max))) {
            (o == "--after" ? f->after_ms : f->*opt->field) = v;
            i++;
        } else {
            *why = "bad option " + o + " for " + f->kind->name;
            return -1;
        }
    }
    if (f->log_node >= 0 && f->after_ms >= 0) {
        *why = "--at-log and --after exclude each other";
        return -1;
    }
    return 0;
}

static std::vector<std::string> read_words(int id)
{
    std::vector<std::string> w;
    FILE *fp = fopen(ffile(id, "args").c_str(), "r");
    char line[4096];
    while (fp && fgets(line, sizeof line, fp)) {
        line[strcspn(line, "\n")] = '\0';
        w.push_back(line);
    }
    if (fp)
        fclose(fp);
    return w;
}

static std::vector<int> fault_ids(void)
{
    std::vector<int> ids;
    DIR *d = opendir(fdir().c_str());
    for (struct dirent *de; d && (de = readdir(d));) {
        int id;
        char ext[8];
        if (sscanf(de->d_name, "F%d.%7s", &id, ext) == 2 && strcmp(ext, "args") == 0)
            ids.push_back(id);
    }
    if (d)
        closedir(d);
    std::sort(ids.begin(), ids.end());
    return ids;
}

/* Written whole and renamed into place: a reader never sees it empty. */
static void set_state(int id, const std::string &s)
{
    std::string path = ffile(id, "state"), tmp = path + ".new";
    if (sim_write_file(tmp.c_str(), (s + "\n").c_str(), 0644) == 0)
        (void)rename(tmp.c_str(), path.c_str());
}

/* The node's run log as this machine sees it. */
static std::string run_log_path(int n)
{
    pid_t init = node_init(n);
    return init ? "/proc/" + std::to_string(init) + "/root/var/log/osk/update" : "";
}

static long file_size(const std::string &path)
{
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 ? (long)st.st_size : 0;
}

/* Waits for the trigger; returns 0 when it came, -1 when the fault or the
 * cluster went away first. */
static int wait_trigger(const fault_t &f, int id, uint64_t armed, long offset)
{
    std::string tail;
    for (;;) {
        if (access(ffile(id, "args").c_str(), F_OK) != 0)
            return -1;
        if (f.after_ms >= 0 && sim_now_ms() >= armed + (uint64_t)f.after_ms)
            return 0;
        if (f.log_node >= 0) {
            std::string path = run_log_path(f.log_node);
            int fd = path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                struct stat st;
                if (fstat(fd, &st) == 0 && st.st_size < offset)
                    offset = 0, tail.clear(); /* rolled over */
                char buf[65536];
                ssize_t r;
                while ((r = pread(fd, buf, sizeof buf, offset)) > 0) {
                    offset += r;
                    tail.append(buf, (size_t)r);
                    if (tail.find(f.text) != std::string::npos) {
                        close(fd);
                        return 0;
                    }
                    if (tail.size() > f.text.size())
                        tail.erase(0, tail.size() - f.text.size());
                }
                close(fd);
            }
        }
        struct pollfd pf = {g_super_fd, POLLIN, 0};
        if (poll(&pf, 1, 2) > 0)
            return -1; /* the cluster is gone */
    }
}

/* Fires fault ID, AT ms after it was armed, and records it. That it fires
 * is recorded first: what the fault does (a kill, a crash) may end what a
 * test waits on, which then asks `list` at once, and `list` waits for the
 * outcome of a fault it finds firing. */
static int fire_recorded(const fault_t &f, int id, uint64_t at, std::string *what)
{
    set_state(id, "firing +" + std::to_string(at) + "ms");
    int rc = f.kind->fire(f, id, what);
    set_state(id, (rc == 0 ? "fired +" + std::to_string(at) + "ms " : "failed ") + *what);
    return rc;
}

static void watch(const fault_t &f, int id, uint64_t armed, long offset)
{
    int lfd = open(ffile(id, "log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC,
                   0644);
    if (lfd >= 0) {
        dup2(lfd, 1);
        dup2(lfd, 2);
    }
    if (wait_trigger(f, id, armed, offset) < 0)
        _exit(0);
    std::string what;
    (void)fire_recorded(f, id, sim_now_ms() - armed, &what);
    (void)unlink(ffile(id, "pid").c_str());
    _exit(0);
}

static std::string join(const std::vector<std::string> &w)
{
    std::string s;
    for (auto &x : w)
        s += (s.empty() ? "" : " ") + (x.find(' ') != std::string::npos ? "\"" + x + "\"" : x);
    return s;
}

/* g_super_fd for a watcher about to start; -1 when there is no supervisor. */
static int watch_supervisor(void)
{
    char p[PATH_MAX];
    snprintf(p, sizeof p, "%s/supervisor.pid", g_dir);
    g_super_fd = sim_pidfile_pidfd(p, "osk-cluster");
    return g_super_fd;
}

static int add_fault(const std::vector<std::string> &w)
{
    fault_t f;
    std::string why;
    for (auto &x : w)
        if (x.find('\n') != std::string::npos) {
            fprintf(stderr, "osk-cluster fault: a word may not hold a line end\n");
            return 2;
        }
    if (parse_fault(w, &f, &why) < 0) {
        fprintf(stderr, "osk-cluster fault: %s\n%s", why.c_str(), fault_usage().c_str());
        return 2;
    }
    if (sim_mkdir_p(fdir().c_str(), 0755) < 0) {
        fprintf(stderr, "osk-cluster fault: %s: %s\n", fdir().c_str(), strerror(errno));
        return 1;
    }
    int id = 1, fd;
    while ((fd = open(ffile(id, "args").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644)) <
               0 &&
           errno == EEXIST)
        id++;
    if (fd < 0) {
        fprintf(stderr, "osk-cluster fault: %s\n", strerror(errno));
        return 1;
    }
    std::string args_text;
    for (auto &x : w)
        args_text += x + "\n";
    (void)sim_write_full(fd, args_text.data(), args_text.size());
    close(fd);

    uint64_t armed = sim_now_ms();
    long offset = f.log_node >= 0 ? file_size(run_log_path(f.log_node)) : 0;
    if (f.kind->arm && f.kind->arm(f, id, &why) < 0) {
        set_state(id, "failed " + why);
        fprintf(stderr, "osk-cluster fault: %s\n", why.c_str());
        return 1;
    }
    if (f.log_node < 0 && f.after_ms < 0) {
        std::string what;
        if (fire_recorded(f, id, 0, &what) != 0) {
            fprintf(stderr, "osk-cluster fault: %s\n", what.c_str());
            return 1;
        }
        printf("F%d %s\n", id, what.c_str());
        return 0;
    }
    set_state(id, "armed");
    if (watch_supervisor() < 0) {
        set_state(id, "failed the cluster's supervisor is not running");
        fprintf(stderr, "osk-cluster fault: the supervisor of %s is not running\n", g_dir);
        return 1;
    }
    pid_t pid;
    int r = sim_fork(FORK_NEW_SESSION | FORK_NULL_STDIN | FORK_CLOSE_ALL_FDS, &g_super_fd, 1, &pid);
    if (r == 0)
        watch(f, id, armed, offset);
    close(g_super_fd);
    if (r < 0) {
        fprintf(stderr, "osk-cluster fault: cannot start the watcher: %s\n", strerror(errno));
        return 1;
    }
    (void)sim_pidfile_write(ffile(id, "pid").c_str(), pid);
    printf("F%d armed: %s\n", id, join(w).c_str());
    return 0;
}

/* Clears the faults numbered in only (all of them when it is empty). */
static void clear_all(int quiet, const std::vector<int> &only = {})
{
    for (int id : fault_ids()) {
        if (!only.empty() && std::find(only.begin(), only.end(), id) == only.end())
            continue;
        /* The watcher ends first, so nothing fires after it is undone. */
        std::string args_file = ffile(id, "args");
        std::vector<std::string> w = read_words(id);
        (void)unlink(args_file.c_str());
        int pfd = sim_pidfile_pidfd(ffile(id, "pid").c_str(), "osk-cluster");
        if (pfd >= 0) {
            (void)sim_pidfd_signal(pfd, SIGKILL);
            close(pfd);
        }
        fault_t f;
        std::string why;
        if (parse_fault(w, &f, &why) == 0 && f.kind->undo)
            f.kind->undo(f, id);
        static const char *const exts[] = {"state", "state.new", "pid", "pid.new",
                                           "log",   "mounted",   "orig"};
        for (const char *e : exts)
            (void)unlink(ffile(id, e).c_str());
        if (!quiet)
            printf("F%d cleared: %s\n", id, join(w).c_str());
    }
}

static int list(void)
{
    for (int id : fault_ids()) {
        char st[512] = "";
        /* A fault caught while it acts is shown once it is done (bounded):
         * whoever asks has usually just seen what it did. */
        uint64_t deadline = sim_now_ms() + 5000;
        while (sim_read_file(ffile(id, "state").c_str(), st, sizeof st) > 0 &&
               strncmp(st, "firing ", 7) == 0 && sim_now_ms() < deadline)
            usleep(5000);
        st[strcspn(st, "\n")] = '\0';
        printf("F%d %s: %s\n", id, join(read_words(id)).c_str(), st);
    }
    return 0;
}

int fault_main(const char *dir, int nnodes, int argc, char **argv)
{
    g_dir = dir;
    g_nnodes = nnodes;
    if (argc >= 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        fputs(fault_usage().c_str(), stdout);
        return 0;
    }
    if (!nnodes) {
        fprintf(stderr, "osk-cluster: no cluster in %s\n", dir);
        return 1;
    }
    if (argc == 2 && strcmp(argv[1], "list") == 0)
        return list();
    if (argc >= 2 && strcmp(argv[1], "clear") == 0) {
        std::vector<int> only;
        for (int i = 2; i < argc; i++) {
            int id;
            if (sscanf(argv[i], "F%d", &id) != 1 && sscanf(argv[i], "%d", &id) != 1) {
                fprintf(stderr, "osk-cluster fault: no fault %s\n", argv[i]);
                return 2;
            }
            only.push_back(id);
        }
        clear_all(0, only);
        return 0;
    }
    return add_fault(std::vector<std::string>(argv + 1, argv + argc));
}

void fault_clear_all(const char *dir)
{
    g_dir = dir;
    g_nnodes = 8;
    clear_all(1);
}
