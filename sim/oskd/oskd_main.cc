/*
 * osk-simd - the cluster kernel module of a simulated cluster.
 *
 * CONTRACT (kept in step with sim/README.md; the node sandboxes and the
 * osk-cluster command rely on it):
 *
 *   osk-simd DIR NNODES        run in the foreground, NNODES 1..8
 *   osk-simd ctl DIR CMD ARGS  send one control request, print the reply;
 *                              exit 0 on success, 1 otherwise
 *
 *   For every node N in 0..NNODES-1 the daemon creates the Unix stream
 *   socket DIR/osk<N>.sock. It is bind-mounted onto "/dev/osk" inside node N,
 *   so every connection on it comes from node N. It also creates the control
 *   socket DIR/ctl.sock, and then writes its pid to DIR/osk-simd.pid (when
 *   that file exists, every socket is ready). On SIGTERM, SIGINT or "quit" it
 *   removes its sockets and the pid file and exits 0.
 *
 *   Control protocol on DIR/ctl.sock: one text line per request; the reply
 *   is a single "ok" or "error <text>" line, or lines ending with "end".
 *     join N              node N booted: present, online and integrated
 *     leave N             node N went down: not online, not integrated; its
 *                         processes' IPC handles are dropped and requests
 *                         pending on them fail with BR_NODE_DOWN
 *     status              "node N present=0|1 online=0|1 integrated=0|1
 *                         master=0|1" per node, "upgrade active=0|1
 *                         group=0xM pending=0xM", then "end"
 *     integrate N 0|1     set or clear node N's fully-integrated flag
 *     setvar NAME VALUE   numlogfiles (answer of SCCMD_GET_VARS, default 5),
 *                         ioctlversion (answer of SCCMD_VERSION, default 266)
 *     ipc                 registered names and handles, then "end"
 *     quit                stop the daemon
 *   A node starts not present; nothing is online until its "join".
 *
 *   A client that sends a malformed frame (bad magic, a length above
 *   1363968 or not matching its record, a short frame) is disconnected;
 *   everyone else is served on.
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include "osk_devframe.h"
#include "oskd.h"
#include "sim_util.h"
#include "sim_wire.h"

#include "osk_banned.h"

#define CTL_LINE_MAX 512
#define CTL_REPLY_MAX 65536

static char dir_path[4096];
static int nnodes;

void oskd_log(const char *fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    fprintf(stderr, "osk-simd[%d]: %s\n", (int)getpid(), buf);
}

int oskd_mem_read(pid_t pid, uint64_t addr, void *buf, size_t len)
{
    if (len == 0)
        return 0;
    struct iovec local = {buf, len};
    struct iovec remote = {(void *)(uintptr_t)addr, len};
    ssize_t n = process_vm_readv(pid, &local, 1, &remote, 1, 0);
    if (n != (ssize_t)len) {
        if (n >= 0)
            errno = EFAULT;
        return -1;
    }
    return 0;
}

int oskd_mem_write(pid_t pid, uint64_t addr, const void *buf, size_t len)
{
    if (len == 0)
        return 0;
    struct iovec local = {(void *)buf, len};
    struct iovec remote = {(void *)(uintptr_t)addr, len};
    ssize_t n = process_vm_writev(pid, &local, 1, &remote, 1, 0);
    if (n != (ssize_t)len) {
        if (n >= 0)
            errno = EFAULT;
        return -1;
    }
    return 0;
}

static int path_in_dir(char *buf, size_t len, const char *name)
{
    int n = snprintf(buf, len, "%s/%s", dir_path, name);
    return (n < 0 || (size_t)n >= len) ? -1 : 0;
}

/* Root only: the daemon reads and writes the memory of whoever calls. */
static int listen_on(const char *path)
{
    int fd = sim_unix_listen(path);
    if (fd >= 0 && chmod(path, 0600) < 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

static int write_full(int fd, const void *buf, size_t len)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = send(fd, (const char *)buf + done, len - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        done += (size_t)n;
    }
    return 0;
}

/* Node connections */

typedef struct conn_arg {
    int fd;
    int node;
} conn_arg_t;

static int proc_alive(int slot)
{
    pthread_mutex_lock(&oskd_lock);
    int alive = oskd_proc_alive(slot);
    pthread_mutex_unlock(&oskd_lock);
    return alive;
}

/* The slot's pidfd stays open while this connection holds the slot. */
static int pidfd_of(int slot)
{
    pthread_mutex_lock(&oskd_lock);
    int fd = oskd.st_procs[slot].pr_pidfd;
    pthread_mutex_unlock(&oskd_lock);
    return fd;
}

/* Takes the peer of a new connection on as a process of node. 0 with ca
 * filled in, or -1 (logged) when it cannot be served. */
static int conn_attach(int fd, int node, oskd_caller_t *ca)
{
    struct ucred cred;
    socklen_t cl = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &cl) < 0) {
        oskd_log("node %d: no peer credentials: %s", node, strerror(errno));
        return -1;
    }
    /* Only a pid handed out again between the connect and here could
     * fool this; pids rise, so that takes a wrap of the pid space. */
    int pidfd = (int)syscall(SYS_pidfd_open, cred.pid, 0);
    if (pidfd < 0) {
        oskd_log("node %d: pid %d gone before it was served: %s", node, (int)cred.pid,
                 strerror(errno));
        return -1;
    }
    ca->ca_fd = fd;
    ca->ca_node = node;
    ca->ca_pid = cred.pid;
    pthread_mutex_lock(&oskd_lock);
    ca->ca_proc = oskd_proc_attach(node, cred.pid, pidfd);
    pthread_mutex_unlock(&oskd_lock);
    if (ca->ca_proc < 0) {
        oskd_log("node %d: too many processes, pid %d refused", node, (int)cred.pid);
        return -1;
    }
    return 0;
}

/* A connection's requests as they arrive: the frame in hand, and the bytes
 * received (its header and record first, then any of the next frame's) in a
 * buffer that grows to the largest frame seen. */
typedef struct conn_req {
    int pidfd; /* the caller's process, open while the connection holds its slot */
    oskdev_frame_t fr;
    uint8_t *buf;
    size_t have;
    size_t cap;
} conn_req_t;

#define CONN_BUF_FIRST 4096 /* holds every request but the largest records */

static uint8_t *req_record(const conn_req_t *rq)
{
    return rq->buf + sizeof(oskdev_frame_t); /* 8-aligned: the header is 24 bytes */
}

/* Receives until want bytes are in hand, taking whatever else has come.
 * 1; 0 when the connection ended before any byte; -1 with *why. */
static int fill(int fd, conn_req_t *rq, size_t want, const char **why)
{
    if (want > rq->cap) {
        size_t cap = want > CONN_BUF_FIRST ? want : CONN_BUF_FIRST;
        uint8_t *n = (uint8_t *)realloc(rq->buf, cap);
        if (n == nullptr) {
            *why = "out of memory";
            return -1;
        }
        rq->buf = n;
        rq->cap = cap;
    }
    while (rq->have < want) {
        ssize_t n = recv(fd, rq->buf + rq->have, rq->cap - rq->have, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 && rq->have == 0)
            return 0;
        if (n <= 0) {
            *why = want == sizeof(oskdev_frame_t) ? "short frame header" : "short frame";
            return -1;
        }
        rq->have += (size_t)n;
    }
    return 1;
}

/* Waits for the next request and reads it. 1 with a request in rq; 0 when
 * the connection ended cleanly; -1 with the reason in *why. */
static int read_request(const oskd_caller_t *ca, conn_req_t *rq, const char **why)
{
    if (rq->have == 0) {
        /* Between requests, watch the process as well as its connection:
         * a child that inherited the connection must not keep the
         * process's names alive after it ended. A request written just
         * before the process ended is seen here with the end, and never
         * acted on: the pid may be someone else's by now. */
        struct pollfd w[2] = {{ca->ca_fd, POLLIN, 0}, {rq->pidfd, POLLIN, 0}};
        while (poll(w, 2, -1) < 0 && errno == EINTR)
            ;
        if (w[1].revents != 0 && !proc_alive(ca->ca_proc)) {
            *why = "its process ended";
            return -1;
        }
    }
    int rc = fill(ca->ca_fd, rq, sizeof(oskdev_frame_t), why);
    if (rc <= 0)
        return rc;
    oskdev_frame_t *fr = &rq->fr;
    memcpy(fr, rq->buf, sizeof(*fr));
    if (fr->fr_magic != OSKDEV_MAGIC_REQ)
        *why = "bad magic";
    else if (fr->fr_len > MAX_IOCTL_SIZE)
        *why = "length above the largest record";
    else if (fr->fr_request == OSK_HOOK_IOCTL ? fr->fr_len != sizeof(osk_krn_hook_t)
                                              : fr->fr_len < sizeof(iohdr_t))
        *why = "length does not fit the request";
    if (*why != nullptr)
        return -1;
    return fill(ca->ca_fd, rq, sizeof(*fr) + fr->fr_len, why) == 1 ? 1 : -1;
}

/* Sends the answer (header and the updated record in one send, so that
 * the caller wakes once) and drops the request from the buffer. */
static int answer(int fd, conn_req_t *rq, int result, int err)
{
    oskdev_frame_t rep;
    memset(&rep, 0, sizeof(rep));
    rep.fr_magic = OSKDEV_MAGIC_REP;
    rep.fr_request = rq->fr.fr_request;
    rep.fr_len = rq->fr.fr_len;
    rep.fr_result = result;
    rep.fr_errno = result < 0 ? err : 0;
    memcpy(rq->buf, &rep, sizeof(rep));
    size_t len = sizeof(rep) + rq->fr.fr_len;
    if (write_full(fd, rq->buf, len) < 0)
        return -1;
    rq->have -= len;
    memmove(rq->buf, rq->buf + len, rq->have);
    return 0;
}

/* Answers one request in place: the result, with errno in *err when it is
 * negative; OSKD_HANGUP when the caller went away, or -1 with *why set
 * when the record does not match its frame. */
static int dispatch(const oskd_caller_t *ca, conn_req_t *rq, int *err, const char **why)
{
    const oskdev_frame_t *fr = &rq->fr;
    if (fr->fr_request == OSK_HOOK_IOCTL)
        return oskd_hook_request(ca, (osk_krn_hook_t *)req_record(rq), err);
    if (!OSK_IOCTL_IS_CMD(fr->fr_request)) {
        *err = ENOTTY;
        return -1;
    }
    iohdr_t *h = (iohdr_t *)req_record(rq);
    if (h->io_total != fr->fr_len || h->io_cmd != fr->fr_request) {
        *why = "record does not match its frame";
        return -1;
    }
    return oskd_sc_request(ca, h, err);
}

/* Serves one client connection until it closes, breaks the framing or its
 * process ends. */
static void serve_node_conn(int fd, int node)
{
    oskd_caller_t ca;
    if (conn_attach(fd, node, &ca) < 0)
        return;
    conn_req_t rq;
    memset(&rq, 0, sizeof(rq));
    rq.pidfd = pidfd_of(ca.ca_proc);
    const char *why = nullptr;
    while (read_request(&ca, &rq, &why) > 0) {
        int err = 0;
        int result = dispatch(&ca, &rq, &err, &why);
        if (why != nullptr || result == OSKD_HANGUP || answer(fd, &rq, result, err) < 0)
            break;
    }
    if (why != nullptr)
        oskd_log("node %d: dropped the connection of pid %d: %s", node, (int)ca.ca_pid, why);
    free(rq.buf);
    pthread_mutex_lock(&oskd_lock);
    oskd_proc_detach(ca.ca_proc);
    pthread_mutex_unlock(&oskd_lock);
}

static void *node_conn_main(void *p)
{
    conn_arg_t a = *(conn_arg_t *)p;
    free(p);
    serve_node_conn(a.fd, a.node);
    close(a.fd);
    return nullptr;
}

/* Control connections */

static void *ctl_conn_main(void *p)
{
    conn_arg_t a = *(conn_arg_t *)p;
    free(p);
    FILE *in = fdopen(dup(a.fd), "r");
    char line[CTL_LINE_MAX];
    char *reply = (char *)malloc(CTL_REPLY_MAX);
    int quit = 0;
    while (in != nullptr && reply != nullptr && !quit && fgets(line, sizeof(line), in) != nullptr) {
        line[strcspn(line, "\r\n")] = '\0';
        oskd_control(line, reply, CTL_REPLY_MAX, &quit);
        if (write_full(a.fd, reply, strlen(reply)) < 0)
            break;
    }
    if (in != nullptr)
        fclose(in);
    free(reply);
    close(a.fd);
    if (quit)
        kill(getpid(), SIGTERM);
    return nullptr;
}

typedef struct listener {
    int fd;
    int node; /* -1: the control socket */
} listener_t;

static void *accept_main(void *p)
{
    listener_t *l = (listener_t *)p;
    for (;;) {
        int fd = accept4(l->fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE) {
                if (errno == EMFILE || errno == ENFILE)
                    usleep(100000);
                continue;
            }
            oskd_log("accept: %s", strerror(errno));
            return nullptr;
        }
        conn_arg_t *a = (conn_arg_t *)malloc(sizeof(*a));
        pthread_t th;
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        if (a == nullptr) {
            close(fd);
            continue;
        }
        a->fd = fd;
        a->node = l->node;
        if (pthread_create(&th, &attr, l->node < 0 ? ctl_conn_main : node_conn_main, a) != 0) {
            oskd_log("cannot start a connection thread");
            close(fd);
            free(a);
        }
        pthread_attr_destroy(&attr);
    }
}

static void remove_files(void)
{
    char path[4200];
    for (int n = 0; n < nnodes; n++) {
        char name[32];
        snprintf(name, sizeof(name), "osk%d.sock", n);
        if (path_in_dir(path, sizeof(path), name) == 0)
            (void)unlink(path);
    }
    if (path_in_dir(path, sizeof(path), "ctl.sock") == 0)
        (void)unlink(path);
    if (path_in_dir(path, sizeof(path), "osk-simd.pid") == 0)
        (void)unlink(path);
}

static int run_daemon(void)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr); /* threads inherit: only sigwait sees them */
    signal(SIGPIPE, SIG_IGN);

    oskd_state_init(nnodes);
    oskd_pr_init(dir_path);
    oskd_evt_init(dir_path);
    static listener_t listeners[OSK_MAX_NODES + 1];
    char path[4200];
    for (int n = 0; n <= nnodes; n++) {
        char name[32];
        if (n < nnodes)
            snprintf(name, sizeof(name), "osk%d.sock", n);
        else
            snprintf(name, sizeof(name), "ctl.sock");
        if (path_in_dir(path, sizeof(path), name) < 0) {
            fprintf(stderr, "osk-simd: %s: path too long\n", dir_path);
            remove_files();
            return 1;
        }
        listeners[n].fd = listen_on(path);
        listeners[n].node = n < nnodes ? n : -1;
        if (listeners[n].fd < 0) {
            fprintf(stderr, "osk-simd: cannot listen on %s: %s\n", path, strerror(errno));
            remove_files();
            return 1;
        }
    }
    for (int n = 0; n <= nnodes; n++) {
        pthread_t th;
        if (pthread_create(&th, nullptr, accept_main, &listeners[n]) != 0) {
            fprintf(stderr, "osk-simd: cannot start threads\n");
            remove_files();
            return 1;
        }
        pthread_detach(th);
    }

    /* Written whole and renamed into place: its appearance says ready. */
    if (path_in_dir(path, sizeof(path), "osk-simd.pid") < 0 ||
        sim_pidfile_write(path, getpid()) < 0) {
        fprintf(stderr, "osk-simd: cannot write %s: %s\n", path, strerror(errno));
        remove_files();
        return 1;
    }
    oskd_log("serving %d nodes in %s", nnodes, dir_path);

    int sig = 0;
    while (sigwait(&set, &sig) != 0 || sig == SIGHUP)
        ;
    pthread_mutex_lock(&oskd_lock);
    oskd.st_quitting = 1;
    oskd_changed();
    pthread_mutex_unlock(&oskd_lock);
    remove_files();
    oskd_log("stopped by signal %d", sig);
    return 0;
}

/* Client mode: one request, the reply on standard output. */
static int run_ctl(int argc, char **argv)
{
    char line[CTL_LINE_MAX];
    size_t used = 0;
    line[0] = '\0';
    for (int i = 0; i < argc; i++) {
        int n = snprintf(line + used, sizeof(line) - used, "%s%s", i ? " " : "", argv[i]);
        if (n < 0 || (size_t)n >= sizeof(line) - used) {
            fprintf(stderr, "osk-simd ctl: request too long\n");
            return 1;
        }
        used += (size_t)n;
    }
    char path[4200];
    struct sockaddr_un sa;
    memset(&sa, 0, sizeof(sa));
    sa.sun_family = AF_UNIX;
    if (path_in_dir(path, sizeof(path), "ctl.sock") < 0 || strlen(path) >= sizeof(sa.sun_path)) {
        fprintf(stderr, "osk-simd ctl: %s: path too long\n", dir_path);
        return 1;
    }
    memcpy(sa.sun_path, path, strlen(path) + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, (struct sockaddr *)&sa, sizeof(sa)) < 0) {
        fprintf(stderr, "osk-simd ctl: cannot reach %s: %s\n", path, strerror(errno));
        return 1;
    }
    if (write_full(fd, line, strlen(line)) < 0 || write_full(fd, "\n", 1) < 0) {
        fprintf(stderr, "osk-simd ctl: cannot send: %s\n", strerror(errno));
        return 1;
    }
    FILE *in = fdopen(fd, "r");
    char rl[CTL_LINE_MAX];
    int status = 1;
    while (in != nullptr && fgets(rl, sizeof(rl), in) != nullptr) {
        fputs(rl, stdout);
        rl[strcspn(rl, "\n")] = '\0';
        if (strcmp(rl, "ok") == 0 || strcmp(rl, "end") == 0) {
            status = 0;
            break;
        }
        if (strncmp(rl, "error", 5) == 0)
            break;
    }
    if (in != nullptr)
        fclose(in);
    return status;
}

static int usage(void)
{
    fprintf(stderr, "usage: osk-simd DIR NNODES\n       osk-simd ctl DIR CMD [ARGS...]\n");
    return 2;
}

static int set_dir(const char *d)
{
    int n = snprintf(dir_path, sizeof(dir_path), "%s", d);
    return (n < 0 || (size_t)n >= sizeof(dir_path)) ? -1 : 0;
}

int main(int argc, char **argv)
{
    if (argc >= 4 && strcmp(argv[1], "ctl") == 0) {
        if (set_dir(argv[2]) < 0)
            return usage();
        return run_ctl(argc - 3, argv + 3);
    }
    if (argc != 3 || set_dir(argv[1]) < 0)
        return usage();
    char *end = nullptr;
    long n = strtol(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || n < 1 || n > OSK_MAX_NODES) {
        fprintf(stderr, "osk-simd: NNODES must be 1 to %d\n", OSK_MAX_NODES);
        return 2;
    }
    nnodes = (int)n;
    return run_daemon();
}
