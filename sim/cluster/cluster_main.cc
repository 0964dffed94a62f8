/*
 * osk-cluster: starts, inspects, drives and removes a simulated cluster.
 * See usage() for the commands and simcluster.h for the cluster's folder.
 */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base.h"
#include "simcluster.h"
#include "fault.h"
#include "cluster_sysmgr.h"
#include "records.h"
#include "sim_fork.h"
#include "sim_clusterdir.h"
#include "remote_shell.h"
#include "sim_net.h"
#include "sim_util.h"
#include "sim_wire.h"
#include "osk_banned.h"

static void usage(FILE *f)
{
    fprintf(f,
            "usage: osk-cluster up [--nodes N | --nodes=N]\n"
            "                                       start N nodes (1 to 8, default 4)\n"
            "          [--no-sysmgr] [--sysmgr-conf FILE]\n"
            "                                       without the system manager, or with this\n"
            "                                       storage configuration\n"
            "          [--base RELEASE|none]        the release the nodes start with\n"
            "          [--remote-shell rsh|ssh]     what the nodes' rsh and rcp are (default rsh)\n"
            "          [--owner PID]                the cluster ends when process PID ends\n"
            "       osk-cluster base [--base RELEASE|none]\n"
            "                                       make the nodes' base once for this build\n"
            "                                       and print its layers\n"
            "       osk-cluster status              state, roots and osk packages per node\n"
            "       osk-cluster exec [-t] NODE -- CMD...\n"
            "                                       run CMD in node NODE as rsh would; -t: on a\n"
            "                                       terminal, as an operator's login\n"
            "       osk-cluster reboot NODE         reboot node NODE\n"
            "       osk-cluster fault ...           inject a fault (fault --help lists them)\n"
            "       osk-cluster exports             every export and whether it is served\n"
            "       osk-cluster sysmgr set KNOB VALUE | clear | journal\n"
            "                                       system manager test knobs and journal\n"
            "       osk-cluster env                 export lines for osk-mcall: the manager's\n"
            "                                       port and the cluster's certificate\n"
            "       osk-cluster events [--follow]   the cluster's event log\n"
            "       osk-cluster history             the update history\n"
            "       osk-cluster down                end and remove the cluster\n"
            "       osk-cluster timeline [--svg FILE | --follow]\n"
            "                                       each node's phases in the last update\n"
            "       osk-cluster --help              this text\n"
            "The cluster lives in $OSK_CLUSTER_DIR (default /var/tmp/osk-cluster).\n"
            "Every command but --help must be run as root.\n");
}

/* A mistake on the command line: one line naming it and the way out. */
static int misuse(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static int misuse(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fputs("osk-cluster: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    return 2;
}

static const char *g_dir;

static void path(char *buf, size_t size, const char *name)
{
    snprintf(buf, size, "%s/%s", g_dir, name);
}

static int cluster_nodes(void)
{
    char p[PATH_MAX], t[16];
    path(p, sizeof p, "nodes");
    if (sim_read_file(p, t, sizeof t) < 1)
        return 0;
    int n = atoi(t);
    return n >= 1 && n <= 8 ? n : 0;
}

static pid_t supervisor_pid(void)
{
    char p[PATH_MAX];
    path(p, sizeof p, "supervisor.pid");
    return sim_pidfile_read(p, "osk-cluster");
}

/* The number of nodes of the cluster, once it is known to be running;
 * otherwise 0, after one line saying what is wrong and what to do. */
static int running_nodes(void)
{
    int nnodes = cluster_nodes();
    if (!nnodes) {
        fprintf(stderr, "osk-cluster: no cluster in %s; start one with osk-cluster up\n", g_dir);
        return 0;
    }
    if (!supervisor_pid()) {
        fprintf(stderr,
                "osk-cluster: the cluster in %s is not running (its supervisor is gone); "
                "osk-cluster down clears it away, osk-cluster up starts a new one\n",
                g_dir);
        return 0;
    }
    return nnodes;
}

static int super_request(const char *line, char *reply, size_t size, int timeout_ms)
{
    char sock[PATH_MAX];
    path(sock, sizeof sock, "run/super.sock");
    return sim_line_request(sock, line, reply, size, timeout_ms);
}

/* Per node, from the supervisor and the module daemon. */
struct node_view_t {
    char state[16];
    char root, boot;
    int online, integrated;
};

/* The nodes as the supervisor and the module daemon see them; MOVE, when
 * given, receives the supervisor's line on the rolling upgrade. */
static int gather(struct node_view_t *v, int nnodes, std::string *move = nullptr,
                  std::string *pkghost = nullptr)
{
    struct super_node_t sv[8];
    int known = super_status(g_dir, sv, nnodes, move, pkghost);
    for (int n = 0; n < nnodes; n++) {
        snprintf(v[n].state, sizeof v[n].state, "%s", sv[n].state);
        v[n].root = sv[n].root;
        v[n].boot = sv[n].boot;
        v[n].online = v[n].integrated = 0;
    }
    if (known < 0)
        return -1;
    char reply[4096], sock[PATH_MAX];
    path(sock, sizeof sock, "ctl.sock");
    if (sim_line_request(sock, "status", reply, sizeof reply, 5000) != 0)
        return 0;
    for (char *l = strtok(reply, "\n"); l; l = strtok(nullptr, "\n")) {
        int n, pr, on, in, ma;
        if (sscanf(l, "node %d present=%d online=%d integrated=%d master=%d", &n, &pr, &on, &in,
                   &ma) == 5 &&
            n >= 0 && n < nnodes) {
            v[n].online = on;
            v[n].integrated = in;
        }
    }
    return 0;
}

/* "name_version,..." of the osk packages dpkg knows in root R of node N,
 * as `dpkg-query -W 'osk*'` lists them, read from the root's status file
 * itself: status is polled often, and a query costs a process per node. */
static std::string node_packages(int n, char r)
{
    /* The root's own layer, else the base's layers it stands on. */
    char layer[3][PATH_MAX];
    snprintf(layer[0], sizeof layer[0], "%s/node%d/%c/upper", g_dir, n, r);
    snprintf(layer[1], sizeof layer[1], "%s/base/tree", g_dir);
    snprintf(layer[2], sizeof layer[2], "%s/base/system", g_dir);
    FILE *f = nullptr;
    for (int i = 0; i < 3 && !f; i++) {
        char status[PATH_MAX + 32];
        snprintf(status, sizeof status, "%s/var/lib/dpkg/status", layer[i]);
        f = fopen(status, "re");
    }
    if (!f)
        return "";
    std::vector<std::pair<std::string, std::string>> found;
    std::string name, version;
    char line[4096];
    auto stanza_end = [&] {
        /* Names known to dpkg but not installed come with no version. */
        if (name.compare(0, 3, "osk") == 0 && !version.empty())
            found.emplace_back(name, version);
        name.clear();
        version.clear();
    };
    while (fgets(line, sizeof line, f)) {
        line[strcspn(line, "\n")] = '\0';
        if (line[0] == '\0')
            stanza_end();
        else if (strncmp(line, "Package: ", 9) == 0)
            name = line + 9;
        else if (strncmp(line, "Version: ", 9) == 0)
            version = line + 9;
    }
    stanza_end();
    fclose(f);
    std::sort(found.begin(), found.end());
    std::string pk;
    for (auto &[pkg, ver] : found)
        pk += (pk.empty() ? "" : ",") + pkg + "_" + ver;
    return pk;
}

static int cmd_status(void)
{
    int nnodes = running_nodes();
    if (!nnodes)
        return 1;
    struct node_view_t v[8];
    std::string move, pkghost;
    if (gather(v, nnodes, &move, &pkghost) < 0) {
        fprintf(stderr,
                "osk-cluster: the supervisor of %s does not answer; osk-cluster down and up "
                "start the cluster afresh\n",
                g_dir);
        return 1;
    }
    for (int n = 0; n < nnodes; n++) {
        std::string pk;
        if (strcmp(v[n].state, "up") == 0)
            pk = node_packages(n, v[n].root);
        printf("node%d state=%s online=%d integrated=%d root=%c boot=%c packages=%s addr=%s\n", n,
               v[n].state, v[n].online, v[n].integrated, v[n].root, v[n].boot,
               pk.empty() ? "-" : pk.c_str(), sim_net_addr(n).c_str());
    }
    printf("%s\n", pkghost.empty()
                       ? ("pkghost state=down addr=" + sim_net_addr(SIM_NET_PKGHOST)).c_str()
                       : pkghost.c_str());
    if (!move.empty())
        printf("%s\n", move.c_str());
    sysmgr_status(g_dir);
    return 0;
}

/* A whole number from lo to hi, or -1. */
static long parse_number(const char *s, long lo, long hi)
{
    char *end;
    errno = 0;
    long n = strtol(s, &end, 10);
    if (*s < '0' || *s > '9' || *end || errno || n < lo || n > hi)
        return -1;
    return n;
}

/* Node S ("3" or "node3") of the running cluster of nnodes, or -1 after
 * saying which nodes there are. */
static int parse_node(const char *s, int nnodes)
{
    long n = parse_number(strncmp(s, "node", 4) == 0 ? s + 4 : s, 0, nnodes - 1);
    if (n < 0)
        fprintf(stderr, "osk-cluster: no node %s in the cluster of %d node%s (0 to %d)\n", s,
                nnodes, nnodes > 1 ? "s" : "", nnodes - 1);
    return (int)n;
}

static int cmd_exec(int argc, char **argv)
{
    int i = 2, tty = 0;
    if (i < argc && strcmp(argv[i], "-t") == 0) {
        tty = 1;
        i++;
    }
    if (i >= argc)
        return misuse("exec needs a node and a command: osk-cluster exec NODE -- CMD");
    int nnodes = running_nodes();
    if (!nnodes)
        return 1;
    int n = parse_node(argv[i++], nnodes);
    if (n < 0)
        return 2;
    if (i < argc && strcmp(argv[i], "--") == 0)
        i++;
    if (i >= argc)
        return misuse("exec needs a command after the node: osk-cluster exec NODE -- CMD");
    std::string cmd;
    for (; i < argc; i++)
        cmd += (cmd.empty() ? "" : " ") + std::string(argv[i]);
    char run[PATH_MAX], host[16];
    path(run, sizeof run, "run");
    snprintf(host, sizeof host, "node%d", n);
    if (tty)
        return sim_agent_exec_tty(run, host, cmd.c_str(), 1, 2);
    return sim_agent_exec(run, host, cmd.c_str(), 0, 1, 2);
}

static int cmd_reboot(int argc, char **argv)
{
    if (argc != 3)
        return misuse("reboot takes one node: osk-cluster reboot NODE");
    int nnodes = running_nodes();
    if (!nnodes)
        return 1;
    int n = parse_node(argv[2], nnodes);
    if (n < 0)
        return 2;
    char req[32], reply[256];
    snprintf(req, sizeof req, "reboot %d", n);
    int rc = super_request(req, reply, sizeof reply, 10000);
    if (rc != 0) {
        fprintf(stderr, "osk-cluster: reboot of node %d failed: %s\n", n,
                rc < 0 ? "the supervisor does not answer" : reply);
        return 1;
    }
    return 0;
}

/* Ends the process the pid file NAME records, if it is still the program
 * PROG it was: SIG first, SIGKILL after 2 s, giving up after 5 s. */
static void kill_and_wait(const char *name, const char *prog, int sig)
{
    char p[PATH_MAX];
    path(p, sizeof p, name);
    int fd = sim_pidfile_pidfd(p, prog);
    if (fd < 0)
        return;
    (void)sim_pidfd_signal(fd, sig);
    if (!sim_pidfd_wait(fd, 2000)) {
        (void)sim_pidfd_signal(fd, SIGKILL);
        (void)sim_pidfd_wait(fd, 3000);
    }
    close(fd);
}

/* Ends what is left of the cluster in g_dir and removes its folder; safe
 * to repeat, and works whatever state a crash left behind. */
static int cleanup(int quiet)
{
    if (sim_clusterdir_check(g_dir) < 0)
        return 1;
    struct stat st;
    if (stat(g_dir, &st) < 0)
        return 0;
    fault_clear_all(g_dir);
    char reply[256];
    if (supervisor_pid())
        (void)super_request("quit", reply, sizeof reply, 20000);
    kill_and_wait("supervisor.pid", "osk-cluster", SIGKILL);
    /* Without their supervisor the nodes' inits die of their death signal;
     * make sure, then the daemon. */
    for (int n = 0; n < 8; n++) {
        char f[32];
        snprintf(f, sizeof f, "node%d/pid", n);
        kill_and_wait(f, "osk-node", SIGKILL);
    }
    /* The network's holders: their namespaces, links and bridges go with
     * them. */
    kill_and_wait("pkghost.pid", "osk-node", SIGKILL);
    kill_and_wait("hub.pid", "osk-node", SIGKILL);
    kill_and_wait("osk-simd.pid", "osk-simd", SIGTERM);
    return cluster_remove_dir(g_dir, quiet) < 0 ? 1 : 0;
}

int cluster_remove_dir(const char *dir, int quiet)
{
    char mounts[64][512];
    int nm = sim_mounts_under(dir, mounts, 64);
    for (int i = 0; i < nm; i++)
        if (umount2(mounts[i], MNT_DETACH) < 0 && !quiet)
            fprintf(stderr, "osk-cluster: umount %s: %s\n", mounts[i], strerror(errno));
    if (sim_rm_tree(dir) < 0) {
        fprintf(stderr, "osk-cluster: cannot remove %s: %s\n", dir, strerror(errno));
        return -1;
    }
    return 0;
}

static int prepare(int nnodes)
{
    char p[PATH_MAX], t[16];
    if (sim_clusterdir_mark(g_dir) < 0)
        return -1;
    /* The agents' sockets: shown inside every node, so closed on their own. */
    snprintf(p, sizeof p, "%s/run", g_dir);
    if (sim_mkdir_p(p, 0700) < 0)
        return -1;
    snprintf(p, sizeof p, "%s/pkghost", g_dir);
    if (sim_mkdir_p(p, 0755) < 0)
        return -1;
    for (int n = 0; n < nnodes; n++) {
        snprintf(p, sizeof p, "%s/node%d", g_dir, n);
        if (sim_mkdir_p(p, 0755) < 0)
            return -1;
        snprintf(p, sizeof p, "%s/node%d/boot", g_dir, n);
        if (sim_write_file(p, "A\n", 0644) < 0)
            return -1;
    }
    path(p, sizeof p, "nodes");
    snprintf(t, sizeof t, "%d\n", nnodes);
    return sim_write_file(p, t, 0644);
}

static void show_log(const char *name)
{
    char p[PATH_MAX], buf[8192];
    path(p, sizeof p, name);
    if (sim_read_file(p, buf, sizeof buf) > 0)
        fprintf(stderr, "--- %s\n%s", name, buf);
}

/* Until `up` returns, a guard of its own takes the half-started cluster down
 * when `up` is killed, whatever the signal: it waits on a pipe that `up`
 * writes 'R' to once the cluster is its caller's or cleaned up, and reads
 * an end of file when `up` died first. Returns the pipe's write end, -1
 * when no guard could start. */
static int start_guard(void)
{
    int p[2];
    pid_t pid;
    if (pipe2(p, O_CLOEXEC) < 0)
        return -1;
    int r = sim_fork(FORK_NEW_SESSION | FORK_NULL_STDIN | FORK_CLOSE_ALL_FDS, &p[0], 1, &pid);
    if (r == 0) {
        /* Its caller's streams may be pipes it reads to their end. */
        int nul = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (nul >= 0) {
            dup2(nul, 1);
            dup2(nul, 2);
        }
        char c = 0;
        ssize_t n;
        while ((n = read(p[0], &c, 1)) < 0 && errno == EINTR)
            ;
        if (n == 1 && c == 'R')
            _exit(0);
        _exit(cleanup(1));
    }
    close(p[0]);
    if (r < 0) {
        close(p[1]);
        return -1;
    }
    return p[1];
}

static void release_guard(int fd)
{
    (void)!write(fd, "R", 1);
    close(fd);
}

/* The signal that interrupted `up` (Ctrl-C), 0 while none did. */
static volatile sig_atomic_t g_interrupted;

static void on_interrupt(int sig)
{
    g_interrupted = sig;
}

/* A pidfd of the process that --owner names, -1 when there is none. */
static int owner_pidfd(const char *owner)
{
    long op = parse_number(owner, 1, INT_MAX);
    return op > 0 ? (int)syscall(SYS_pidfd_open, (pid_t)op, 0) : -1;
}

/* Waits, bounded, for every node to be up and integrated; -1 with the logs
 * shown when the supervisor sup ended or the time ran out first, -1 alone
 * when `up` was interrupted. */
static int wait_until_up(pid_t sup, int nnodes)
{
    uint64_t deadline = sim_now_ms() + sim_env_long("OSK_SIM_UP_TIMEOUT_MS", 60000);
    for (;;) {
        struct node_view_t v[8];
        int ready = gather(v, nnodes) == 0;
        for (int n = 0; ready && n < nnodes; n++)
            ready = strcmp(v[n].state, "up") == 0 && v[n].integrated;
        if (ready)
            return 0;
        if (g_interrupted)
            return -1;
        int dead = waitpid(sup, nullptr, WNOHANG) != 0;
        if (dead || sim_now_ms() > deadline) {
            fprintf(stderr, "osk-cluster: the cluster in %s did not come up\n", g_dir);
            show_log("supervisor.log");
            show_log("osk-simd.log");
            for (int n = 0; n < nnodes; n++) {
                char f[32];
                snprintf(f, sizeof f, "node%d/console.log", n);
                show_log(f);
            }
            return -1;
        }
        usleep(20000);
    }
}

struct up_options {
    int nnodes = 4;
    const char *base = BASE_RELEASE_DEFAULT;
    const char *owner = nullptr;
};

/* The options of `up` into *o; 0, or misuse()'s status. */
static int parse_up(int argc, char **argv, up_options *o)
{
    for (int i = 2; i < argc; i++) {
        const char *a = argv[i], *count = nullptr;
        bool valued = strcmp(a, "--base") == 0 || strcmp(a, "--owner") == 0 ||
                      strcmp(a, "--nodes") == 0 || strcmp(a, "--sysmgr-conf") == 0;
        if (valued && i + 1 >= argc)
            return misuse("%s needs a value (osk-cluster --help shows it)", a);
        if (strcmp(a, "--base") == 0)
            o->base = argv[++i];
        else if (strcmp(a, "--owner") == 0)
            o->owner = argv[++i];
        else if (strcmp(a, "--nodes") == 0)
            count = argv[++i];
        else if (strncmp(a, "--nodes=", 8) == 0)
            count = a + 8;
        else if (sysmgr_up_option(argc, argv, &i))
            continue;
        else if (int r = remote_shell_up_option(argc, argv, &i); r < 0)
            return 2;
        else if (r == 0)
            return misuse("up does not take %s (osk-cluster --help lists its options)", a);
        if (count && (o->nnodes = (int)parse_number(count, 1, 8)) < 0)
            return misuse("--nodes takes a number from 1 to 8, not \"%s\"", count);
    }
    return 0;
}

/* Starts the supervisor of the cluster, which dies with `up` until told
 * "started", its output in supervisor.log; its pid in *sup. 0, or -1 with
 * a message. */
static int start_supervisor(const char *self, const char *bindir, int owner_fd, pid_t *sup)
{
    char log[PATH_MAX];
    path(log, sizeof log, "supervisor.log");
    int lfd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
    int keep[2] = {lfd, owner_fd};
    int r = lfd < 0 ? -1
                    : sim_fork(FORK_NEW_SESSION | FORK_NULL_STDIN | FORK_CLOSE_ALL_FDS |
                                   FORK_DEATHSIG_SIGKILL,
                               keep, owner_fd >= 0 ? 2 : 1, sup);
    if (r == 0) {
        dup2(lfd, 1);
        dup2(lfd, 2);
        char ofd[16];
        snprintf(ofd, sizeof ofd, "%d", owner_fd);
        if (owner_fd >= 0)
            (void)fcntl(owner_fd, F_SETFD, 0);
        execl(self, "osk-cluster", "supervise", g_dir, bindir, ofd, (char *)nullptr);
        _exit(127);
    }
    if (r < 0)
        fprintf(stderr, "osk-cluster: cannot start the supervisor: %s\n", strerror(errno));
    if (lfd >= 0)
        close(lfd);
    return r < 0 ? -1 : 0;
}

static int cmd_up(int argc, char **argv, const char *self)
{
    up_options opt;
    if (int st = parse_up(argc, argv, &opt))
        return st;
    const int nnodes = opt.nnodes;
    const char *owner = opt.owner;
    if (supervisor_pid()) {
        fprintf(stderr, "osk-cluster: a cluster is already up in %s\n", g_dir);
        return 1;
    }
    /* Taken before anything is made: a pid that is gone by now may name
     * another process later. */
    int owner_fd = owner ? owner_pidfd(owner) : -1;
    if (owner && owner_fd < 0) {
        fprintf(stderr, "osk-cluster: no process %s to own the cluster\n", owner);
        return 2;
    }
    if (cleanup(1) != 0)
        return 1;
    int guard = start_guard();
    if (guard < 0) {
        fprintf(stderr, "osk-cluster: cannot start: %s\n", strerror(errno));
        return 1;
    }
    /* Every failure below cleans up itself, then lets the guard go. An
     * interrupted `up` does the same at once: what it started would
     * otherwise go on starting with no one waiting for it. */
    pid_t sup = 0;
    auto fail = [&] {
        int sig = g_interrupted;
        if (sig) {
            fprintf(stderr, "osk-cluster: interrupted; taking down what up started in %s\n", g_dir);
            /* Everything it started dies with it, at once: asked to quit, a
             * supervisor still starting would keep the caller waiting. */
            if (sup > 0 && kill(sup, SIGKILL) == 0)
                (void)waitpid(sup, nullptr, 0);
        }
        (void)cleanup(1);
        release_guard(guard);
        if (sig) {
            /* Ended by the signal, as its caller expects of an interrupted
             * program. */
            signal(sig, SIG_DFL);
            raise(sig);
        }
        return 1;
    };
    struct sigaction sa = {};
    sa.sa_handler = on_interrupt;
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
    if (prepare(nnodes) < 0) {
        fprintf(stderr, "osk-cluster: cannot prepare %s: %s\n", g_dir, strerror(errno));
        return fail();
    }
    char bindir[PATH_MAX];
    snprintf(bindir, sizeof bindir, "%s", self);
    *strrchr(bindir, '/') = '\0';
    if (base_release_make(g_dir, opt.base, bindir) < 0 || g_interrupted)
        return fail();
    if (sysmgr_prepare(g_dir, bindir, nnodes) < 0 || remote_shell_prepare(g_dir, nnodes) < 0 ||
        g_interrupted)
        return fail();
    int started = start_supervisor(self, bindir, owner_fd, &sup);
    if (owner_fd >= 0)
        close(owner_fd);
    if (started < 0)
        return fail();
    if (wait_until_up(sup, nnodes) < 0)
        return fail();
    char reply[256];
    if (g_interrupted)
        return fail();
    if (super_request("started", reply, sizeof reply, 10000) != 0) {
        fprintf(stderr, "osk-cluster: the supervisor of %s does not answer\n", g_dir);
        return fail();
    }
    release_guard(guard);
    printf("cluster of %d node%s up in %s\n", nnodes, nnodes > 1 ? "s" : "", g_dir);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return misuse("no command given; osk-cluster --help lists them");
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0 ||
        strcmp(argv[1], "help") == 0) {
        usage(stdout);
        return 0;
    }
    if (strcmp(argv[1], "supervise") == 0 && argc == 5)
        return supervisor_main(argv[2], argv[3], atoi(argv[4]));
    if (geteuid() != 0) {
        fprintf(stderr, "osk-cluster: %s must be run as root (sudo osk-cluster %s)\n", argv[1],
                argv[1]);
        return 1;
    }
    g_dir = sim_cluster_dir();
    if (g_dir[0] != '/' || strlen(g_dir) > 80) {
        /* Its sockets' paths must fit a Unix socket address. */
        fprintf(stderr, "osk-cluster: OSK_CLUSTER_DIR must be an absolute path of at most 80 "
                        "characters\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    if (strcmp(argv[1], "up") == 0 || strcmp(argv[1], "base") == 0) {
        char self[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n < 0) {
            perror("osk-cluster: /proc/self/exe");
            return 1;
        }
        self[n] = '\0';
        if (argv[1][0] == 'u')
            return cmd_up(argc, argv, self);
        *strrchr(self, '/') = '\0';
        return base_cmd(self, argc, argv);
    }
    if (strcmp(argv[1], "status") == 0)
        return argc == 2 ? cmd_status() : misuse("status takes no arguments");
    if (strcmp(argv[1], "exec") == 0)
        return cmd_exec(argc, argv);
    if (strcmp(argv[1], "reboot") == 0)
        return cmd_reboot(argc, argv);
    if (strcmp(argv[1], "fault") == 0)
        return fault_main(g_dir, cluster_nodes(), argc - 1, argv + 1);
    /* These read the running cluster's daemons; say at once when there are none. */
    for (const char *c : {"exports", "sysmgr", "events", "history"})
        if (strcmp(argv[1], c) == 0 && !running_nodes())
            return 1;
    if (strcmp(argv[1], "exports") == 0)
        return cmd_exports(g_dir, argc, argv);
    if (strcmp(argv[1], "sysmgr") == 0)
        return cmd_sysmgr(g_dir, argc, argv);
    if (strcmp(argv[1], "env") == 0)
        return cmd_env(g_dir, argc, argv);
    if (strcmp(argv[1], "down") == 0)
        return argc == 2 ? cleanup(0) : misuse("down takes no arguments");
    if (strcmp(argv[1], "events") == 0 || strcmp(argv[1], "history") == 0)
        return (argv[1][0] == 'e' ? cluster_cmd_events : cluster_cmd_history)(g_dir, argc, argv);
    if (strcmp(argv[1], "timeline") == 0)
        return cmd_timeline(argc, argv);
    return misuse("unknown command %s; osk-cluster --help lists them", argv[1]);
}
