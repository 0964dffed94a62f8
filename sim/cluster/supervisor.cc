#include "simcluster.h"

#include <errno.h>
#include <limits.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "fault.h"
#include "move.h"
#include "network.h"
#include "sim_net.h"
#include "sim_fork.h"
#include "sim_util.h"
#include "sim_wire.h"
#include "witness.h"
#include "osk_banned.h"

enum { NS_DOWN, NS_BOOTING, NS_UP, NS_STOPPING, NS_REBOOTING };
static const char *const state_name[] = {"down", "booting", "up", "stopping", "rebooting"};

struct sup_node_t {
    int state;
    pid_t pid;         /* the node's init, 0 when none */
    int ready_fd;      /* read end of the boot pipe, -1 when none */
    char root;         /* root partition it runs (or last ran) */
    uint64_t deadline; /* when the current state's timer fires, 0 for none */
    long down_ms;      /* how long its current reboot keeps it down, 0: the default */
    pid_t probe;       /* the check that its way in answers (booting), 0 when none */
};

static const char *g_dir, *g_bindir;
static int g_nnodes;
static struct sup_node_t g_node[8];
static pid_t g_simd, g_pkghost, g_hub, g_witness;
/* The system manager's listener on this machine's loopback address, handed
 * to whichever node serves (the nodes have loopbacks of their own). */
static int g_sysmgr_lfd = -1;
/* A pidfd of the process the cluster belongs to, -1 when it has none. */
static int g_owner_fd = -1;

static void slog(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void slog(const char *fmt, ...)
{
    /* Stamped as the nodes' run logs are (their zone is UTC), so that the
     * two can be read side by side, and to the millisecond, as the
     * witnessed run logs are. */
    char stamp[64];
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm tm;
    gmtime_r(&now.tv_sec, &tm);
    if (strftime(stamp, sizeof stamp, "{%a %b %d %H:%M:%S", &tm) > 0)
        printf("%s.%03ld UTC %d} ", stamp, now.tv_nsec / 1000000, tm.tm_year + 1900);
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    putchar('\n');
    fflush(stdout);
}

static void node_file(int n, const char *name, char *buf, size_t size)
{
    snprintf(buf, size, "%s/node%d/%s", g_dir, n, name);
}

static char boot_root(int n)
{
    char p[4096], b[8];
    node_file(n, "boot", p, sizeof p);
    if (sim_read_file(p, b, sizeof b) >= 1 && (b[0] == 'A' || b[0] == 'B'))
        return b[0];
    return 'A';
}

static void daemon_tell(const char *verb, int n)
{
    char sock[4096], line[32], reply[256];
    snprintf(sock, sizeof sock, "%s/ctl.sock", g_dir);
    snprintf(line, sizeof line, "%s %d", verb, n);
    if (sim_line_request(sock, line, reply, sizeof reply, 5000) != 0)
        slog("daemon did not accept \"%s\": %s", line, reply[0] ? reply : strerror(errno));
}

static void unlink_agent(int n)
{
    char p[4096];
    snprintf(p, sizeof p, "%s/run/node%d.sock", g_dir, n);
    (void)unlink(p);
}

/* Starts a child that execs ARGV with its output appended to LOG; EXTRA is
 * moved to descriptor 3 when not -1. */
static pid_t spawn(unsigned flags, const char *log, int extra, char *const argv[])
{
    int lfd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (lfd < 0)
        return -1;
    int keep[2] = {lfd, extra};
    pid_t pid;
    int r = sim_fork(flags | FORK_NULL_STDIN | FORK_RESET_SIGNALS | FORK_CLOSE_ALL_FDS, keep,
                     extra >= 0 ? 2 : 1, &pid);
    if (r == 0) {
        if (dup2(lfd, 1) < 0 || dup2(lfd, 2) < 0)
            _exit(127);
        if (extra == 3)
            (void)fcntl(3, F_SETFD, 0);
        else if (extra >= 0 && dup2(extra, 3) < 0)
            _exit(127);
        execv(argv[0], argv);
        dprintf(2, "exec %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    close(lfd);
    return r < 0 ? -1 : pid;
}

static void node_boot(int n)
{
    struct sup_node_t *s = &g_node[n];
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) < 0) {
        slog("node %d: pipe: %s", n, strerror(errno));
        s->state = NS_DOWN;
        return;
    }
    char was = s->root;
    s->root = boot_root(n);
    move_node_booting(n, was, s->root);
    char exe[4096], num[8], root[2] = {s->root, 0}, log[4096], pidf[4096];
    snprintf(exe, sizeof exe, "%s/osk-node", g_bindir);
    snprintf(num, sizeof num, "%d", n);
    node_file(n, "console.log", log, sizeof log);
    char *argv[] = {exe, (char *)"boot", (char *)g_dir, num, root, (char *)g_bindir, nullptr};
    s->pid = spawn(FORK_NEW_MOUNTNS | FORK_NEW_PIDNS | FORK_NEW_UTSNS | FORK_NEW_NETNS |
                       FORK_DEATHSIG_SIGKILL,
                   log, ready[1], argv);
    close(ready[1]);
    if (s->pid < 0) {
        slog("node %d: start: %s", n, strerror(errno));
        close(ready[0]);
        s->pid = 0;
        s->state = NS_DOWN;
        return;
    }
    /* Without its cable the node's boot times out waiting for it. */
    std::string err;
    if (net_plug(g_dir, n, s->pid, &err) < 0)
        slog("node %d: cannot plug its network cable in: %s", n, err.c_str());
    node_file(n, "pid", pidf, sizeof pidf);
    if (sim_pidfile_write(pidf, s->pid) < 0)
        slog("node %d: cannot record its pid: %s", n, strerror(errno));
    s->ready_fd = ready[0];
    s->state = NS_BOOTING;
    s->deadline = sim_now_ms() + 60000;
    slog("node %d: booting root %c (pid %d)", n, s->root, (int)s->pid);
}

/* At the cluster's start the nodes join in their order, whatever order
 * their boots end in, so node 0 is the first master on a loaded machine
 * too. A node that went down before its turn is passed over; n is -1 when
 * only that may have changed. */
static void join_in_order(int n)
{
    static bool ready[8];
    static int next;
    if (n >= 0 && n < next) {
        daemon_tell("join", n); /* its turn has passed */
        return;
    }
    if (n >= 0)
        ready[n] = true;
    for (; next < g_nnodes; next++) {
        struct sup_node_t *s = &g_node[next];
        if (ready[next] && s->state == NS_UP)
            daemon_tell("join", next);
        else if (s->state == NS_BOOTING || s->state == NS_UP)
            break;
    }
}

/* Whether node n's way in answers: a session through its agent, as
 * `osk-cluster exec` opens one, that reaches the node's own remote shell,
 * unless a fault keeps the remote shell from starting. OpenSSH's server
 * answers once it greets: a whole login would cost a key exchange per
 * boot, and leave a shared connection behind. */
static int way_in_answers(int n)
{
    char run[4096], host[16], flag[4096], cmd[160];
    snprintf(run, sizeof run, "%s/run", g_dir);
    snprintf(host, sizeof host, "node%d", n);
    snprintf(flag, sizeof flag, "%s/run/faults/rsh-node%d", g_dir, n);
    /* Each try is bounded. */
    if (access(flag, F_OK) == 0)
        snprintf(cmd, sizeof cmd, "true");
    else if (sim_net_ssh(run))
        snprintf(cmd, sizeof cmd,
                 "timeout 5 bash -c 'exec 3<>/dev/tcp/%s/%d && head -c 4 <&3' | grep -q SSH-", host,
                 sim_net_shell_port(1));
    else
        snprintf(cmd, sizeof cmd, "timeout 5 rsh %s true", host);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    int st = sim_agent_exec(run, host, cmd, -1, null, null);
    if (null >= 0)
        close(null);
    return st == 0;
}

/* A booted node counts as up only once what its users take into it
 * answers: a check of its own asks until it does (the boot's timer bounds
 * it) and ends with 0. */
static void start_probe(int n)
{
    pid_t pid;
    int r =
        sim_fork(FORK_NULL_STDIN | FORK_RESET_SIGNALS | FORK_CLOSE_ALL_FDS | FORK_DEATHSIG_SIGKILL,
                 nullptr, 0, &pid);
    if (r == 0) {
        while (!way_in_answers(n))
            usleep(20000);
        _exit(0);
    }
    g_node[n].probe = r < 0 ? 0 : pid;
    if (r < 0)
        slog("node %d: cannot check its way in: %s", n, strerror(errno));
}

static void stop_probe(int n)
{
    if (g_node[n].probe > 0)
        (void)kill(g_node[n].probe, SIGKILL);
}

static void node_up(int n)
{
    struct sup_node_t *s = &g_node[n];
    s->state = NS_UP;
    s->deadline = 0;
    slog("node %d: up", n);
    join_in_order(n);
    move_node_up(n);
}

static void node_ready(int n)
{
    struct sup_node_t *s = &g_node[n];
    char c = 0;
    ssize_t r = read(s->ready_fd, &c, 1);
    close(s->ready_fd);
    s->ready_fd = -1;
    if (r == 1 && c == 'R' && s->state == NS_BOOTING) {
        slog("node %d: booted, waiting for its way in to answer", n);
        start_probe(n);
        if (s->probe == 0)
            node_up(n);
    } else if (s->state == NS_BOOTING) {
        /* Its init reports why in the console log and is about to end. */
        slog("node %d: boot failed, see node%d/console.log", n, n);
    }
}

static void node_reboot(int n)
{
    struct sup_node_t *s = &g_node[n];
    if (s->state == NS_DOWN) {
        node_boot(n);
        return;
    }
    if (s->state != NS_UP && s->state != NS_BOOTING)
        return;
    /* New sessions fail at once; running ones are seen out by the node's
     * init, so that the reboot request itself can report success to its
     * caller even on a busy machine. A session that never ends is cut off
     * after the grace. */
    int booted = s->state == NS_UP; /* a booting node has no sessions yet */
    stop_probe(n);
    unlink_agent(n);
    daemon_tell("leave", n);
    s->state = NS_STOPPING;
    (void)kill(s->pid, SIGTERM);
    s->deadline = sim_now_ms() + (booted ? sim_env_long("OSK_SIM_REBOOT_GRACE_MS", 10000) : 150);
    slog("node %d: rebooting", n);
}

/* The pid file NAME in the cluster folder, once its process has ended. */
static void forget_pid(const char *name)
{
    char p[4096];
    snprintf(p, sizeof p, "%s/%s", g_dir, name);
    (void)unlink(p);
}

static void node_reaped(pid_t pid, int st)
{
    if (pid == g_simd) {
        slog("module daemon ended (status %d)", st);
        g_simd = 0;
        forget_pid("osk-simd.pid");
        return;
    }
    if (pid == g_witness) {
        slog("the run logs' witness ended (status %d)", st);
        g_witness = 0;
        return;
    }
    if (pid == g_pkghost || pid == g_hub) {
        slog("%s ended (status %d)", pid == g_hub ? "the hub network" : "the package host", st);
        (pid == g_hub ? g_hub : g_pkghost) = 0;
        forget_pid(pid == g_hub ? "hub.pid" : "pkghost.pid");
        return;
    }
    for (int n = 0; n < g_nnodes; n++) {
        struct sup_node_t *s = &g_node[n];
        if (s->probe == pid) {
            /* Ended by its own success only: a stopped check is of a
             * boot that is over. */
            s->probe = 0;
            if (s->state == NS_BOOTING && WIFEXITED(st) && WEXITSTATUS(st) == 0)
                node_up(n);
            return;
        }
        if (s->pid != pid)
            continue;
        stop_probe(n);
        s->pid = 0;
        char f[32];
        snprintf(f, sizeof f, "node%d/pid", n);
        forget_pid(f);
        if (s->ready_fd >= 0) {
            close(s->ready_fd);
            s->ready_fd = -1;
        }
        /* A node back within a second or two keeps its address and
         * hardware address: only one that stays away is forgotten. */
        char hold[PATH_MAX];
        node_file(n, "hold-boot", hold, sizeof hold);
        if (s->state != NS_STOPPING || access(hold, F_OK) == 0)
            net_forget(g_dir, n);
        if (s->state == NS_STOPPING) {
            s->state = NS_REBOOTING;
            s->deadline = sim_now_ms() +
                          (s->down_ms ? s->down_ms : sim_env_long("OSK_SIM_REBOOT_DELAY_MS", 1000));
            s->down_ms = 0;
            slog("node %d: down, booting again shortly", n);
            return;
        }
        if (s->state == NS_UP)
            daemon_tell("leave", n);
        unlink_agent(n);
        s->state = NS_DOWN;
        s->deadline = 0;
        slog("node %d: died (status %d)", n, st);
        join_in_order(-1);
        move_node_died(n);
    }
}

static void timers(void)
{
    uint64_t now = sim_now_ms();
    for (int n = 0; n < g_nnodes; n++) {
        struct sup_node_t *s = &g_node[n];
        if (!s->deadline || now < s->deadline)
            continue;
        s->deadline = 0;
        if (s->state == NS_STOPPING || s->state == NS_BOOTING) {
            if (s->state == NS_BOOTING)
                slog("node %d: boot timed out", n);
            /* Killing PID 1 ends every process of the node's namespace. */
            (void)kill(s->pid, SIGKILL);
        } else if (s->state == NS_REBOOTING) {
            /* A test holds the node down between its leaving and its
             * return; the hold is looked at again shortly. */
            char hold[PATH_MAX];
            node_file(n, "hold-boot", hold, sizeof hold);
            if (access(hold, F_OK) == 0)
                s->deadline = now + 50;
            else
                node_boot(n);
        }
    }
}

static int set_boot_root(int n, char r)
{
    char p[4096], t[4] = {r, '\n', 0};
    node_file(n, "boot", p, sizeof p);
    if (sim_write_file(p, t, 0644) < 0)
        return -1;
    slog("node %d: boots root %c next", n, r);
    return 0;
}

/* The supervisor's side of the rolling upgrade's move (move.h). */
static char move_root(int n)
{
    return g_node[n].root;
}

static int move_is_up(int n)
{
    return g_node[n].state == NS_UP;
}

static int move_is_dead(int n)
{
    return g_node[n].state == NS_DOWN;
}

static unsigned move_expedition(void)
{
    char sock[4096], reply[4096];
    snprintf(sock, sizeof sock, "%s/ctl.sock", g_dir);
    if (sim_line_request(sock, "status", reply, sizeof reply, 5000) != 0)
        return 0;
    const char *u = strstr(reply, "upgrade active=");
    int active = 0;
    unsigned group = 0;
    if (u == nullptr || sscanf(u, "upgrade active=%d group=0x%x", &active, &group) != 2)
        return 0;
    return active ? group : 0;
}

static void move_restart_into(int n, char r)
{
    if (set_boot_root(n, r) < 0)
        slog("node %d: cannot record the boot root: %s", n, strerror(errno));
    node_reboot(n);
}

static int next_timeout(void)
{
    uint64_t now = sim_now_ms(), first = 0;
    for (int n = 0; n < g_nnodes; n++)
        if (g_node[n].deadline && (!first || g_node[n].deadline < first))
            first = g_node[n].deadline;
    if (!first)
        return -1;
    return first <= now ? 0 : (int)(first - now);
}

static void wait_gone(pid_t pid, int ms)
{
    for (int i = 0; i < ms / 10; i++) {
        if (waitpid(pid, nullptr, WNOHANG) != 0)
            return;
        usleep(10000);
    }
    (void)kill(pid, SIGKILL);
    (void)waitpid(pid, nullptr, 0);
}

static void teardown(void)
{
    for (int n = 0; n < g_nnodes; n++)
        if (g_node[n].pid > 0)
            (void)kill(g_node[n].pid, SIGKILL);
    if (g_pkghost > 0)
        (void)kill(g_pkghost, SIGKILL);
    if (g_hub > 0)
        (void)kill(g_hub, SIGKILL);
    if (g_simd > 0)
        (void)kill(g_simd, SIGTERM);
    if (g_witness > 0)
        (void)kill(g_witness, SIGKILL);
    for (int n = 0; n < g_nnodes; n++)
        if (g_node[n].pid > 0)
            wait_gone(g_node[n].pid, 10000);
    if (g_pkghost > 0)
        wait_gone(g_pkghost, 5000);
    if (g_hub > 0)
        wait_gone(g_hub, 5000);
    if (g_simd > 0)
        wait_gone(g_simd, 3000);
    if (g_witness > 0)
        wait_gone(g_witness, 3000);
    for (int n = 0; n < g_nnodes; n++) {
        char f[32];
        snprintf(f, sizeof f, "node%d/pid", n);
        forget_pid(f);
        unlink_agent(n);
    }
    for (const char *f : {"hub.pid", "pkghost.pid", "osk-simd.pid", "supervisor.pid"})
        forget_pid(f);
    slog("cluster stopped");
}

/* Answers one request line; returns 1 after "quit". */
static int answer(int c)
{
    struct timeval tv = {2, 0};
    (void)setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char req[256];
    ssize_t got = 0;
    while (got < (ssize_t)sizeof req - 1) {
        ssize_t r = read(c, req + got, sizeof req - 1 - got);
        if (r <= 0)
            break;
        got += r;
        if (memchr(req, '\n', got))
            break;
    }
    req[got] = '\0';
    req[strcspn(req, "\n")] = '\0';

    char out[2048];
    int n = -1, quit = 0;
    char x = 0;
    snprintf(out, sizeof out, "ok\n");
    if (strcmp(req, "status") == 0) {
        size_t len = 0;
        for (int i = 0; i < g_nnodes; i++)
            len += snprintf(out + len, sizeof out - len,
                            "node %d state=%s root=%c boot=%c pid=%d addr=%s\n", i,
                            state_name[g_node[i].state], g_node[i].root, boot_root(i),
                            (int)g_node[i].pid, sim_net_addr(i).c_str());
        len += snprintf(out + len, sizeof out - len, "pkghost state=%s addr=%s\n",
                        g_pkghost > 0 ? "up" : "down", sim_net_addr(SIM_NET_PKGHOST).c_str());
        char move[256];
        move_describe(move, sizeof move);
        snprintf(out + len, sizeof out - len, "%s\nend\n", move);
    } else if (sscanf(req, "reboot %d", &n) == 1 && n >= 0 && n < g_nnodes) {
        /* A node the system manager shuts down stays down as a controller's
         * restart does, longer than one poll of those who wait for it to
         * go (update polls every 5 s). */
        if (strstr(req, " shutdown"))
            g_node[n].down_ms = sim_env_long("OSK_SIM_SHUTDOWN_DOWN_MS", 8000);
        node_reboot(n);
    } else if (sscanf(req, "lilo %d %c", &n, &x) == 2 && n >= 0 && n < g_nnodes &&
               (x == 'A' || x == 'B')) {
        if (set_boot_root(n, x) < 0)
            snprintf(out, sizeof out, "error cannot record the boot root: %s\n", strerror(errno));
    } else if (strcmp(req, "sysmgr-listener") == 0 && g_sysmgr_lfd >= 0) {
        (void)sim_send_fd(c, "ok\n", g_sysmgr_lfd);
        return 0;
    } else if (strcmp(req, "started") == 0) {
        /* `up` returned: from now on the cluster outlives it. */
        (void)prctl(PR_SET_PDEATHSIG, 0);
    } else if (strcmp(req, "quit") == 0) {
        teardown();
        quit = 1;
    } else {
        snprintf(out, sizeof out, "error bad request: %s\n", req);
    }
    (void)sim_write_full(c, out, strlen(out));
    return quit;
}

static int start_daemon(void)
{
    char exe[4096], nn[8], log[4096];
    const char *over = getenv("OSK_SIMD");
    if (over && *over)
        snprintf(exe, sizeof exe, "%s", over);
    else
        snprintf(exe, sizeof exe, "%s/osk-simd", g_bindir);
    snprintf(nn, sizeof nn, "%d", g_nnodes);
    snprintf(log, sizeof log, "%s/osk-simd.log", g_dir);
    char *argv[] = {exe, (char *)g_dir, nn, nullptr};
    g_simd = spawn(FORK_DEATHSIG_SIGTERM, log, -1, argv);
    if (g_simd < 0) {
        slog("cannot start %s: %s", exe, strerror(errno));
        return -1;
    }
    /* Nodes bind its sockets onto their /dev/osk, so they must exist first;
     * its pid file is written once every socket is ready. */
    uint64_t deadline = sim_now_ms() + 10000;
    for (;;) {
        char p[4096];
        snprintf(p, sizeof p, "%s/osk-simd.pid", g_dir);
        if (access(p, F_OK) == 0)
            return 0;
        if (waitpid(g_simd, nullptr, WNOHANG) != 0) {
            slog("module daemon %s ended at start, see osk-simd.log", exe);
            g_simd = 0;
            return -1;
        }
        if (sim_now_ms() > deadline) {
            slog("module daemon %s did not create its sockets", exe);
            return -1;
        }
        usleep(10000);
    }
}

int super_status(const char *dir, struct super_node_t *v, int nnodes, std::string *move,
                 std::string *pkghost)
{
    for (int n = 0; n < nnodes; n++)
        v[n] = {"down", '-', '-'};
    char sock[4096], reply[4096];
    snprintf(sock, sizeof sock, "%s/run/super.sock", dir);
    if (sim_line_request(sock, "status", reply, sizeof reply, 5000) != 0)
        return -1;
    char *save = nullptr;
    for (char *l = strtok_r(reply, "\n", &save); l; l = strtok_r(nullptr, "\n", &save)) {
        int n;
        char st[16], r, b;
        if (sscanf(l, "node %d state=%15s root=%c boot=%c", &n, st, &r, &b) == 4 && n >= 0 &&
            n < nnodes) {
            snprintf(v[n].state, sizeof v[n].state, "%s", st);
            v[n].root = r;
            v[n].boot = b;
        } else if (move != nullptr && strncmp(l, "rolling upgrade: ", 17) == 0) {
            *move = l;
        } else if (pkghost != nullptr && strncmp(l, "pkghost ", 8) == 0) {
            *pkghost = l;
        }
    }
    return 0;
}

/* The cluster's size from DIR/nodes, and this process named in
 * DIR/supervisor.pid; -1 when DIR holds no prepared cluster. */
static int claim_cluster(const char *dir)
{
    char p[4096], txt[32];
    snprintf(p, sizeof p, "%s/nodes", dir);
    if (sim_read_file(p, txt, sizeof txt) < 1 || atoi(txt) < 1 || atoi(txt) > 8) {
        slog("no cluster prepared in %s", dir);
        return -1;
    }
    int nnodes = atoi(txt);
    snprintf(p, sizeof p, "%s/supervisor.pid", dir);
    if (sim_pidfile_write(p, getpid()) < 0) {
        slog("cannot write %s: %s", p, strerror(errno));
        return -1;
    }
    return nnodes;
}

/* Children's ends and the stop signals as a descriptor the loop polls. */
static int block_signals(void)
{
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGCHLD);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGHUP);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return signalfd(-1, &mask, SFD_CLOEXEC);
}

/* Starts `osk-node WHAT` (with DIR for the package host) in the namespaces
 * FLAGS, plugs its cable in when it is a host, and waits for it to say it
 * is ready; its pid, recorded in DIR/PIDFILE, or -1. */
static pid_t start_ready(const char *bindir, const char *what, unsigned flags, int host,
                         const char *pidfile)
{
    char exe[4096], log[4096], p[4096];
    snprintf(exe, sizeof exe, "%s/osk-node", bindir);
    snprintf(log, sizeof log, "%s/%s.log", g_dir, what);
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) < 0)
        return -1;
    char *argv[] = {exe, (char *)what, host >= 0 ? (char *)g_dir : nullptr, nullptr};
    pid_t pid = spawn(flags | FORK_NEW_NETNS | FORK_DEATHSIG_SIGKILL, log, ready[1], argv);
    close(ready[1]);
    std::string err;
    if (pid > 0 && host >= 0 && net_plug(g_dir, host, pid, &err) < 0)
        slog("%s: cannot plug its network cable in: %s", what, err.c_str());
    struct pollfd pf = {ready[0], POLLIN, 0};
    char c = 0;
    int ok = pid > 0 && poll(&pf, 1, 30000) == 1 && read(ready[0], &c, 1) == 1 && c == 'R';
    close(ready[0]);
    if (!ok) {
        slog("%s did not start, see %s.log", what, what);
        if (pid > 0)
            (void)kill(pid, SIGKILL);
        return -1;
    }
    snprintf(p, sizeof p, "%s/%s", g_dir, pidfile);
    if (sim_pidfile_write(p, pid) < 0)
        slog("%s: cannot record its pid: %s", what, strerror(errno));
    return pid;
}

/* The system manager's listener: on this machine's loopback address, so
 * that management calls reach it from here whichever node serves. */
static void sysmgr_listener(void)
{
    g_sysmgr_lfd = sim_loopback_listen(64);
    if (g_sysmgr_lfd < 0)
        slog("no listener for the system manager: %s", strerror(errno));
}

/* The run logs' witness (witness.h), started before the nodes so that it
 * sees their first lines. */
static void start_witness(void)
{
    int r =
        sim_fork(FORK_NULL_STDIN | FORK_RESET_SIGNALS | FORK_CLOSE_ALL_FDS | FORK_DEATHSIG_SIGKILL,
                 nullptr, 0, &g_witness);
    if (r == 0)
        _exit(witness_run(g_dir, g_nnodes));
    if (r < 0) {
        g_witness = 0;
        slog("cannot start the run logs' witness: %s", strerror(errno));
    }
}

/* The hub network, the PR server and the package host, then every node's
 * boot. -1 when the cluster cannot start. */
static int start_cluster(const char *dir, const char *bindir)
{
    char exe[4096], log[4096];
    g_hub = start_ready(bindir, "hub", 0, -1, "hub.pid");
    if (g_hub < 0)
        return -1;
    sysmgr_listener();
    /* The PR server finds its node itself; it ends with the supervisor. */
    snprintf(exe, sizeof exe, "%s/osk-prsvr", bindir);
    snprintf(log, sizeof log, "%s/osk-prsvr.log", dir);
    char *pr_argv[] = {exe, (char *)dir, nullptr};
    if (spawn(FORK_DEATHSIG_SIGTERM, log, -1, pr_argv) < 0)
        slog("cannot start %s: %s", exe, strerror(errno));
    /* The cluster counts as up only when every host answers, this one too. */
    g_pkghost = start_ready(bindir, "pkghost", FORK_NEW_PIDNS | FORK_NEW_MOUNTNS | FORK_NEW_UTSNS,
                            SIM_NET_PKGHOST, "pkghost.pid");
    start_witness();
    for (int n = 0; n < g_nnodes; n++)
        node_boot(n);
    return 0;
}

/* A signal other than SIGCHLD tears the cluster down: 1 then; otherwise
 * reaps every child that ended. */
static int take_signal(int sfd)
{
    struct signalfd_siginfo si;
    if (read(sfd, &si, sizeof si) == sizeof si && si.ssi_signo != SIGCHLD) {
        slog("signal %d", (int)si.ssi_signo);
        teardown();
        return 1;
    }
    int st;
    pid_t pid;
    while ((pid = waitpid(-1, &st, WNOHANG)) > 0)
        node_reaped(pid, st);
    return 0;
}

/* Serves requests, signals, nodes' readiness and timers until asked to
 * stop or torn down by a signal (0), or until the cluster's owner ended
 * (1, nothing torn down yet). */
static int supervise(int lfd, int sfd)
{
    for (;;) {
        struct pollfd pf[3 + 8];
        int np = 0;
        pf[np++] = {lfd, POLLIN, 0};
        pf[np++] = {sfd, POLLIN, 0};
        /* Without an owner the slot is ignored by poll (fd -1). */
        pf[np++] = {g_owner_fd, POLLIN, 0};
        int who[8];
        for (int n = 0; n < g_nnodes; n++)
            if (g_node[n].ready_fd >= 0) {
                who[np - 3] = n;
                pf[np++] = {g_node[n].ready_fd, POLLIN, 0};
            }
        int rc = poll(pf, np, next_timeout());
        if (rc < 0 && errno != EINTR)
            return 0;
        if (rc > 0 && (pf[1].revents & POLLIN) && take_signal(sfd))
            return 0;
        if (rc > 0 && (pf[2].revents & POLLIN))
            return 1;
        for (int i = 3; rc > 0 && i < np; i++)
            if (pf[i].revents & (POLLIN | POLLHUP | POLLERR))
                node_ready(who[i - 3]);
        timers();
        if (rc > 0 && (pf[0].revents & POLLIN)) {
            int c = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                int quit = answer(c);
                close(c);
                if (quit)
                    return 0;
            }
        }
    }
}

int supervisor_main(const char *dir, const char *bindir, int owner_fd)
{
    g_dir = dir;
    g_bindir = bindir;
    g_owner_fd = owner_fd;
    g_nnodes = claim_cluster(dir);
    if (g_nnodes < 0)
        return 1;

    char p[4096];
    int sfd = block_signals();
    snprintf(p, sizeof p, "%s/run/super.sock", dir);
    int lfd = sim_unix_listen(p);
    if (sfd < 0 || lfd < 0) {
        slog("cannot listen on %s: %s", p, strerror(errno));
        return 1;
    }
    for (int n = 0; n < 8; n++)
        g_node[n] = {NS_DOWN, 0, -1, 'A', 0, 0, 0};
    struct move_ops_t ops = {g_dir,        g_nnodes,        move_root,         move_is_up,
                             move_is_dead, move_expedition, move_restart_into, slog};
    move_init(&ops);
    if (start_daemon() < 0) {
        teardown();
        return 1;
    }
    if (start_cluster(dir, bindir) < 0) {
        teardown();
        return 1;
    }
    if (supervise(lfd, sfd) == 1) {
        /* Nobody is left to take the cluster down: a test, the bench or the
         * demo that was killed. The watchers go first, so no fault fires
         * into the teardown. */
        slog("the cluster's owner ended; removing the cluster");
        fault_clear_all(dir);
        teardown();
        return cluster_remove_dir(dir, 1) < 0 ? 1 : 0;
    }

    snprintf(p, sizeof p, "%s/run/super.sock", dir);
    (void)unlink(p);
    snprintf(p, sizeof p, "%s/supervisor.pid", dir);
    (void)unlink(p);
    return 0;
}
