/*
 * Cluster membership, processes and their IPC handles, and the control
 * requests that drive them.
 */
#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "osk_errcode.h"
#include "oskd.h"
#include "osk_banned.h"

oskd_state_t oskd;
pthread_mutex_t oskd_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t oskd_cv;

/* Message waiters wait on their process's own condition, so that a
 * message wakes only the process it is for. */
static pthread_cond_t proc_cv[OSKD_MAX_PROCS];

static void cond_init(pthread_cond_t *cv)
{
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(cv, &ca);
    pthread_condattr_destroy(&ca);
}

void oskd_state_init(int nnodes)
{
    cond_init(&oskd_cv);
    for (pthread_cond_t &cv : proc_cv)
        cond_init(&cv);

    memset(&oskd, 0, sizeof(oskd));
    oskd.st_nnodes = nnodes;
    oskd.st_master = -1;
    oskd.st_prev_master = -1;
    oskd.st_start_time = time(nullptr);
    oskd.st_numlogfiles = 5;
    oskd.st_ioctl_version = OSK_IOCTL_VERSION;
    oskd.st_next_id = 1;
    oskd.st_next_ph = 0x100;
    for (int i = 0; i < OSKD_MAX_SERVICES; i++)
        oskd.st_services[i].sv_primary = -1;
}

void oskd_changed(void)
{
    pthread_cond_broadcast(&oskd_cv);
    for (int s = 0; s < OSKD_MAX_PROCS; s++)
        if (oskd.st_procs[s].pr_used)
            pthread_cond_broadcast(&proc_cv[s]);
}

void oskd_wake(int slot)
{
    if (slot >= 0)
        pthread_cond_broadcast(&proc_cv[slot]);
}

static uint64_t now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000 + (uint64_t)ts.tv_nsec / 1000000;
}

/* Each connection has its own thread, so its waits share this. */
static thread_local uint64_t hangup_checked_ms;

static int wait_on(pthread_cond_t *cv, const oskd_caller_t *ca, int ms)
{
    if (oskd.st_quitting)
        return -1;
    if (ms < 0 || ms > OSKD_SLICE_MS)
        ms = OSKD_SLICE_MS;
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_nsec += (long)ms * 1000000L;
    ts.tv_sec += ts.tv_nsec / 1000000000L;
    ts.tv_nsec %= 1000000000L;
    int rc = pthread_cond_timedwait(cv, &oskd_lock, &ts);
    if (oskd.st_quitting)
        return -1;
    /* A hang-up wakes nobody, so it is looked for once a slice, not on
     * every wake-up. */
    uint64_t now = now_ms();
    if (rc != ETIMEDOUT && now < hangup_checked_ms + OSKD_SLICE_MS)
        return 0;
    hangup_checked_ms = now;
    /* The caller sends nothing while it waits for this answer, so any
     * readiness on its connection means it hung up. */
    struct pollfd pfd = {ca->ca_fd, POLLIN | POLLRDHUP, 0};
    if (poll(&pfd, 1, 0) > 0 || !oskd_proc_alive(ca->ca_proc))
        return -1;
    return 0;
}

int oskd_wait(const oskd_caller_t *ca, int ms)
{
    return wait_on(&oskd_cv, ca, ms);
}

int oskd_wait_msg(const oskd_caller_t *ca, int ms)
{
    return wait_on(&proc_cv[ca->ca_proc], ca, ms);
}

cluster_t oskd_online_mask(void)
{
    cluster_t m = 0;
    for (int n = 0; n < oskd.st_nnodes; n++)
        if (oskd.st_nodes[n].nd_online)
            m |= (cluster_t)(1u << n);
    return m;
}

cluster_t oskd_present_mask(void)
{
    cluster_t m = 0;
    for (int n = 0; n < oskd.st_nnodes; n++)
        if (oskd.st_nodes[n].nd_present)
            m |= (cluster_t)(1u << n);
    return m;
}

static void promote_backup(oskd_service_t *sv);

static int lowest_online(void)
{
    for (int n = 0; n < oskd.st_nnodes; n++)
        if (oskd.st_nodes[n].nd_online)
            return n;
    return -1;
}

int oskd_join(int node, char *err, size_t errlen)
{
    if (node < 0 || node >= oskd.st_nnodes) {
        snprintf(err, errlen, "no node %d", node);
        return -1;
    }
    oskd_node_t *nd = &oskd.st_nodes[node];
    if (!nd->nd_online) {
        nd->nd_incn++;
        nd->nd_recn++;
    }
    nd->nd_present = 1;
    nd->nd_online = 1;
    nd->nd_integrated = 1;
    if (oskd.st_master < 0)
        oskd.st_master = node;
    if (oskd.st_upgrade) {
        oskd.st_upgr_pending &= (cluster_t) ~(1u << node);
        if (oskd.st_upgr_pending == 0) {
            oskd.st_upgrade = 0;
            oskd.st_upgr_group = 0;
        }
    }
    /* A backup that registered while its node was still joining is
     * promoted once it has joined. */
    for (int i = 0; i < OSKD_MAX_SERVICES; i++)
        if (oskd.st_services[i].sv_used && oskd.st_services[i].sv_primary < 0)
            promote_backup(&oskd.st_services[i]);
    oskd_pr_node_joined(node);
    oskd_log("node %d joined", node);
    oskd_changed();
    return 0;
}

int oskd_leave(int node, char *err, size_t errlen)
{
    if (node < 0 || node >= oskd.st_nnodes) {
        snprintf(err, errlen, "no node %d", node);
        return -1;
    }
    oskd_node_t *nd = &oskd.st_nodes[node];
    nd->nd_online = 0;
    nd->nd_integrated = 0;
    for (int s = 0; s < OSKD_MAX_PROCS; s++) {
        oskd_proc_t *p = &oskd.st_procs[s];
        if (p->pr_used && p->pr_node == node && !p->pr_dead) {
            oskd_proc_drop(s, BR_NODE_DOWN);
            p->pr_dead = 1;
        }
    }
    if (oskd.st_master == node) {
        oskd.st_prev_master = node;
        oskd.st_master = lowest_online();
    }
    oskd_log("node %d left", node);
    oskd_changed();
    return 0;
}

int oskd_proc_alive(int slot)
{
    oskd_proc_t *p = &oskd.st_procs[slot];
    if (p->pr_ended)
        return 0;
    struct pollfd pfd = {p->pr_pidfd, POLLIN, 0};
    if (poll(&pfd, 1, 0) == 0)
        return 1;
    p->pr_ended = 1;
    oskd_log("node %d: pid %d ended", p->pr_node, (int)p->pr_pid);
    oskd_proc_drop(slot, BRIPC_PH_GONE);
    return 0;
}

int oskd_proc_attach(int node, pid_t pid, int pidfd)
{
    int free_slot = -1;
    for (int s = 0; s < OSKD_MAX_PROCS; s++) {
        oskd_proc_t *p = &oskd.st_procs[s];
        /* A live process keeps its pid, so a match that is still alive is
         * the same process; one that ended is another's former pid. */
        if (p->pr_used && p->pr_pid == pid && p->pr_node == node && oskd_proc_alive(s)) {
            p->pr_conns++;
            close(pidfd);
            return s;
        }
        if (!p->pr_used && free_slot < 0)
            free_slot = s;
    }
    if (free_slot < 0) {
        close(pidfd);
        return -1;
    }
    oskd_proc_t *p = &oskd.st_procs[free_slot];
    uint32_t gen = p->pr_gen + 1;
    memset(p, 0, sizeof(*p));
    p->pr_used = 1;
    p->pr_gen = gen;
    p->pr_node = node;
    p->pr_pid = pid;
    p->pr_pidfd = pidfd;
    p->pr_conns = 1;
    return free_slot;
}

void oskd_proc_detach(int slot)
{
    oskd_proc_t *p = &oskd.st_procs[slot];
    if (--p->pr_conns > 0)
        return;
    if (!p->pr_ended)
        oskd_proc_drop(slot, BRIPC_PH_GONE);
    close(p->pr_pidfd);
    p->pr_used = 0;
    oskd_changed();
}

static int proc_is(int slot, uint32_t gen, int want)
{
    return slot == want && slot >= 0 && oskd.st_procs[slot].pr_gen == gen;
}

static void txn_free(oskd_txn_t **link)
{
    oskd_txn_t *t = *link;
    *link = t->tx_next;
    free(t->tx_req);
    free(t->tx_rep);
    free(t);
}

/* A one-way notice from the daemon itself, e.g. "you are primary now". */
static void post_notice(int to, bripc_ph_t ph, int sys_reason)
{
    oskd_txn_t *t = (oskd_txn_t *)calloc(1, sizeof(*t));
    if (t == nullptr)
        return;
    t->tx_id = oskd.st_next_id++;
    t->tx_state = TXN_QUEUED;
    t->tx_noreply = 1;
    t->tx_from = -1;
    t->tx_to = to;
    t->tx_to_gen = oskd.st_procs[to].pr_gen;
    t->tx_dst_ph = ph;
    t->tx_sys_reason = sys_reason;
    t->tx_dst_addr = BRIPC_ADDR(oskd.st_procs[to].pr_node, oskd.st_procs[to].pr_pid);
    oskd_txn_t **link = &oskd.st_txns;
    while (*link != nullptr)
        link = &(*link)->tx_next;
    *link = t;
}

static void backup_remove(oskd_service_t *sv, int k)
{
    memmove(&sv->sv_backup[k], &sv->sv_backup[k + 1],
            sizeof(sv->sv_backup[0]) * (size_t)(sv->sv_nbackups - k - 1));
    memmove(&sv->sv_backup_gen[k], &sv->sv_backup_gen[k + 1],
            sizeof(sv->sv_backup_gen[0]) * (size_t)(sv->sv_nbackups - k - 1));
    sv->sv_nbackups--;
    sv->sv_seq++;
}

/* The oldest backup that can serve becomes primary and is told so. One on
 * a node that is leaving stays queued only until its own drop. */
static void promote_backup(oskd_service_t *sv)
{
    for (int k = 0; k < sv->sv_nbackups; k++) {
        const oskd_proc_t *b = &oskd.st_procs[sv->sv_backup[k]];
        if (b->pr_dead || !oskd.st_nodes[b->pr_node].nd_online)
            continue;
        sv->sv_primary = sv->sv_backup[k];
        sv->sv_primary_gen = sv->sv_backup_gen[k];
        backup_remove(sv, k);
        post_notice(sv->sv_primary, sv->sv_ph, BRIPC_PRIMARY);
        oskd_log("%s: backup on node %d is primary now", sv->sv_name, b->pr_node);
        return;
    }
}

/* A request queued for a primary that went, not yet delivered, goes to the
 * name's new primary; 0, or -1 when the name has none. */
static int reroute(oskd_txn_t *t)
{
    oskd_service_t *sv = nullptr;
    for (int i = 0; i < OSKD_MAX_SERVICES && sv == nullptr; i++)
        if (oskd.st_services[i].sv_used && oskd.st_services[i].sv_ph == t->tx_dst_ph)
            sv = &oskd.st_services[i];
    if (sv == nullptr || sv->sv_primary < 0)
        return -1;
    t->tx_to = sv->sv_primary;
    t->tx_to_gen = sv->sv_primary_gen;
    t->tx_dst_addr = BRIPC_ADDR(oskd.st_procs[t->tx_to].pr_node, oskd.st_procs[t->tx_to].pr_pid);
    return 0;
}

void oskd_proc_drop(int slot, int reason)
{
    oskd_proc_t *p = &oskd.st_procs[slot];
    p->pr_ph = 0;
    p->pr_name[0] = '\0';
    oskd_pr_proc_gone(slot);

    for (int i = 0; i < OSKD_MAX_SERVICES; i++) {
        oskd_service_t *sv = &oskd.st_services[i];
        if (!sv->sv_used)
            continue;
        for (int k = sv->sv_nbackups - 1; k >= 0; k--)
            if (proc_is(sv->sv_backup[k], sv->sv_backup_gen[k], slot))
                backup_remove(sv, k);
        if (proc_is(sv->sv_primary, sv->sv_primary_gen, slot)) {
            sv->sv_primary = -1;
            sv->sv_seq++;
            promote_backup(sv);
        }
        if (sv->sv_primary < 0 && sv->sv_nbackups == 0) {
            oskd_log("%s: no process left, name dropped", sv->sv_name);
            memset(sv, 0, sizeof(*sv));
            sv->sv_primary = -1;
        }
    }

    /* Its own messages go; requests waiting on it go to the name's new
     * primary if they were not delivered yet, else fail back to their
     * senders. */
    oskd_txn_t **link = &oskd.st_txns;
    while (*link != nullptr) {
        oskd_txn_t *t = *link;
        int from_me = proc_is(t->tx_from, t->tx_from_gen, slot);
        int to_me = proc_is(t->tx_to, t->tx_to_gen, slot);
        /* A reply that came before its caller's node left is still read
         * by the caller; it goes when the caller ends. */
        int replied = t->tx_state == TXN_REPLIED || t->tx_state == TXN_REPLY_DELIVERED;
        if ((from_me && !(reason == BR_NODE_DOWN && replied)) || (to_me && t->tx_noreply)) {
            txn_free(link);
            continue;
        }
        if (to_me && t->tx_state == TXN_QUEUED && reroute(t) == 0) {
            link = &t->tx_next;
            continue;
        }
        if (to_me && (t->tx_state == TXN_QUEUED || t->tx_state == TXN_DELIVERED)) {
            t->tx_state = TXN_REPLIED;
            t->tx_sys_reason = reason;
            t->tx_usr_reason = 0;
            t->tx_to = -1;
        }
        link = &t->tx_next;
    }
    oskd_changed();
}

/* Control requests */

static void reply_ok(char *reply, size_t len)
{
    snprintf(reply, len, "ok\n");
}

static void reply_error(char *reply, size_t len, const char *why)
{
    snprintf(reply, len, "error %s\n", why);
}

static int parse_int(const char *s, long lo, long hi, long *out)
{
    if (s == nullptr)
        return -1;
    char *end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 0);
    if (end == s || *end != '\0' || errno != 0 || v < lo || v > hi)
        return -1;
    *out = v;
    return 0;
}

static void ctl_status(char *reply, size_t len)
{
    size_t used = 0;
    for (int n = 0; n < oskd.st_nnodes; n++) {
        const oskd_node_t *nd = &oskd.st_nodes[n];
        int w = snprintf(reply + used, len - used,
                         "node %d present=%d online=%d integrated=%d master=%d\n", n,
                         nd->nd_present, nd->nd_online, nd->nd_integrated, oskd.st_master == n);
        if (w < 0 || (size_t)w >= len - used)
            break;
        used += (size_t)w;
    }
    snprintf(reply + used, len - used, "upgrade active=%d group=0x%x pending=0x%x\nend\n",
             oskd.st_upgrade, (unsigned)oskd.st_upgr_group, (unsigned)oskd.st_upgr_pending);
}

static void ctl_ipc(char *reply, size_t len)
{
    size_t used = 0;
    for (int i = 0; i < OSKD_MAX_SERVICES; i++) {
        const oskd_service_t *sv = &oskd.st_services[i];
        if (!sv->sv_used)
            continue;
        /* Every backup, oldest first: the first is the one promoted. */
        char line[128 + OSKD_MAX_BACKUPS * 24];
        size_t l = 0;
        oskd_reply_append(line, sizeof line, &l, "name %s handle 0x%x primary %d:%d backup",
                          sv->sv_name, sv->sv_ph,
                          sv->sv_primary >= 0 ? oskd.st_procs[sv->sv_primary].pr_node : -1,
                          sv->sv_primary >= 0 ? (int)oskd.st_procs[sv->sv_primary].pr_pid : 0);
        for (int k = 0; k < sv->sv_nbackups; k++)
            oskd_reply_append(line, sizeof line, &l, "%s%d:%d", k ? "," : " ",
                              oskd.st_procs[sv->sv_backup[k]].pr_node,
                              (int)oskd.st_procs[sv->sv_backup[k]].pr_pid);
        int w =
            snprintf(reply + used, len - used, "%s%s\n", line, sv->sv_nbackups == 0 ? " -1:0" : "");
        if (w < 0 || (size_t)w >= len - used)
            break;
        used += (size_t)w;
    }
    for (int s = 0; s < OSKD_MAX_PROCS; s++) {
        const oskd_proc_t *p = &oskd.st_procs[s];
        if (!p->pr_used || p->pr_ph == 0)
            continue;
        int w = snprintf(reply + used, len - used, "process %d:%d handle 0x%x name %s\n",
                         p->pr_node, (int)p->pr_pid, p->pr_ph, p->pr_name[0] ? p->pr_name : "-");
        if (w < 0 || (size_t)w >= len - used)
            break;
        used += (size_t)w;
    }
    snprintf(reply + used, len - used, "end\n");
}

void oskd_control(const char *line, char *reply, size_t replylen, int *quit)
{
    char buf[512];
    snprintf(buf, sizeof(buf), "%s", line);
    char *save = nullptr;
    char *cmd = strtok_r(buf, " \t", &save);
    char *a1 = strtok_r(nullptr, " \t", &save);
    char *a2 = strtok_r(nullptr, " \t", &save);
    char err[128];
    long n = 0;
    long v = 0;

    if (cmd == nullptr) {
        reply_error(reply, replylen, "empty request");
        return;
    }
    pthread_mutex_lock(&oskd_lock);
    if (oskd_ext_control(line, reply, replylen)) {
        pthread_mutex_unlock(&oskd_lock);
        return;
    }
    if (strcmp(cmd, "join") == 0 || strcmp(cmd, "leave") == 0) {
        if (parse_int(a1, 0, oskd.st_nnodes - 1, &n) < 0) {
            reply_error(reply, replylen, "node number expected");
        } else if ((cmd[0] == 'j' ? oskd_join((int)n, err, sizeof(err))
                                  : oskd_leave((int)n, err, sizeof(err))) < 0) {
            reply_error(reply, replylen, err);
        } else {
            reply_ok(reply, replylen);
        }
    } else if (strcmp(cmd, "integrate") == 0) {
        if (parse_int(a1, 0, oskd.st_nnodes - 1, &n) < 0 || parse_int(a2, 0, 1, &v) < 0) {
            reply_error(reply, replylen, "usage: integrate N 0|1");
        } else if (v && !oskd.st_nodes[n].nd_online) {
            reply_error(reply, replylen, "node is not online");
        } else {
            oskd.st_nodes[n].nd_integrated = (int)v;
            oskd_changed();
            reply_ok(reply, replylen);
        }
    } else if (strcmp(cmd, "status") == 0) {
        ctl_status(reply, replylen);
    } else if (strcmp(cmd, "ipc") == 0) {
        ctl_ipc(reply, replylen);
    } else if (strcmp(cmd, "setvar") == 0) {
        if (a1 != nullptr && strcmp(a1, "numlogfiles") == 0 &&
            parse_int(a2, -1000000, 1000000, &v) == 0) {
            oskd.st_numlogfiles = (int)v;
            reply_ok(reply, replylen);
        } else if (a1 != nullptr && strcmp(a1, "ioctlversion") == 0 &&
                   parse_int(a2, 0, 0x7fffffff, &v) == 0) {
            oskd.st_ioctl_version = (uint32_t)v;
            reply_ok(reply, replylen);
        } else {
            reply_error(reply, replylen, "usage: setvar numlogfiles|ioctlversion VALUE");
        }
    } else if (strcmp(cmd, "quit") == 0) {
        *quit = 1;
        reply_ok(reply, replylen);
    } else {
        snprintf(err, sizeof(err), "unknown request %.64s", cmd);
        reply_error(reply, replylen, err);
    }
    pthread_mutex_unlock(&oskd_lock);
}

void oskd_reply_append(char *reply, size_t len, size_t *used, const char *fmt, ...)
{
    if (*used >= len)
        return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(reply + *used, len - *used, fmt, ap);
    va_end(ap);
    if (n > 0)
        *used += (size_t)n < len - *used ? (size_t)n : len - *used - 1;
}

int oskd_ext_control(const char *line, char *reply, size_t replylen)
{
    char buf[512];
    snprintf(buf, sizeof buf, "%s", line);
    char *args[16];
    int n = 0;
    char *save = nullptr;
    for (char *t = strtok_r(buf, " \t", &save); t != nullptr && n < 16;
         t = strtok_r(nullptr, " \t", &save))
        args[n++] = t;
    if (n == 0)
        return 0;
    if (strcmp(args[0], "pr") == 0)
        (void)oskd_pr_control(args + 1, n - 1, reply, replylen);
    else if (strcmp(args[0], "evt") == 0)
        (void)oskd_evt_control(args + 1, n - 1, reply, replylen);
    else if (strcmp(args[0], "board") == 0)
        (void)oskd_board_control(args + 1, n - 1, reply, replylen);
    else
        return 0;
    return 1;
}
