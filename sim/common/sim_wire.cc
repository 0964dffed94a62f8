#include "sim_wire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "sim_util.h"
#include "osk_banned.h"

int sim_frame_send(int fd, int type, const void *data, size_t len)
{
    if (len > SIM_FRAME_MAX) {
        errno = EMSGSIZE;
        return -1;
    }
    char hdr[5];
    uint32_t n = htonl((uint32_t)len);
    hdr[0] = (char)type;
    memcpy(hdr + 1, &n, 4);
    /* MSG_NOSIGNAL: a peer that went away is an error to report, not a
     * reason to die of SIGPIPE. */
    struct iovec iov[2] = {{hdr, 5}, {(void *)data, len}};
    struct msghdr msg = {};
    msg.msg_iov = iov;
    msg.msg_iovlen = len ? 2 : 1;
    size_t want = 5 + len;
    ssize_t sent = sendmsg(fd, &msg, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR)
        sent = sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (sent < 0)
        return -1;
    while ((size_t)sent < want) {
        /* Rare short send: finish byte by byte through the same vectors. */
        size_t off = (size_t)sent;
        const char *p;
        size_t left;
        if (off < 5) {
            p = hdr + off;
            left = 5 - off;
        } else {
            p = (const char *)data + (off - 5);
            left = want - off;
        }
        ssize_t n2 = send(fd, p, left, MSG_NOSIGNAL);
        if (n2 < 0 && errno == EINTR)
            continue;
        if (n2 <= 0)
            return -1;
        sent += n2;
    }
    return 0;
}

int sim_frame_recv(int fd, int *type, char *buf, size_t size, size_t *len)
{
    char hdr[5];
    ssize_t n = sim_read_full(fd, hdr, 5);
    if (n == 0)
        return 0;
    if (n != 5)
        return -1;
    uint32_t l;
    memcpy(&l, hdr + 1, 4);
    l = ntohl(l);
    if (l > SIM_FRAME_MAX || l > size) {
        errno = EPROTO;
        return -1;
    }
    if (l > 0 && sim_read_full(fd, buf, l) != (ssize_t)l)
        return -1;
    *type = (unsigned char)hdr[0];
    *len = l;
    return 1;
}

static int unix_addr(const char *path, struct sockaddr_un *sa)
{
    memset(sa, 0, sizeof *sa);
    sa->sun_family = AF_UNIX;
    if (strlen(path) >= sizeof sa->sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(sa->sun_path, path, strlen(path) + 1);
    return 0;
}

/* A stream socket and the address of PATH for it; -1 with errno on failure. */
static int unix_socket(const char *path, struct sockaddr_un *sa)
{
    if (unix_addr(path, sa) < 0)
        return -1;
    return socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

int sim_unix_connect(const char *path)
{
    struct sockaddr_un sa;
    int fd = unix_socket(path, &sa);
    if (fd < 0)
        return -1;
    int rc;
    do
        rc = connect(fd, (struct sockaddr *)&sa, sizeof sa);
    while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

int sim_unix_listen(const char *path)
{
    struct sockaddr_un sa;
    int fd = unix_socket(path, &sa);
    if (fd < 0)
        return -1;
    (void)unlink(path);
    if (bind(fd, (struct sockaddr *)&sa, sizeof sa) < 0 || listen(fd, 64) < 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

int sim_agent_path(const char *rundir, const char *host, char *buf, size_t size)
{
    int known = strncmp(host, "node", 4) == 0 && host[4] >= '0' && host[4] <= '7' && !host[5];
    if (!known)
        return -1;
    snprintf(buf, size, "%s/%s.sock", rundir, host);
    return 0;
}

static void say(int fd, const char *host, const char *reason)
{
    char msg[256];
    int n = snprintf(msg, sizeof msg, "%s: %s\n", host, reason);
    if (n > (int)sizeof msg - 1)
        n = sizeof msg - 1;
    (void)sim_write_full(fd, msg, n);
}

/* Connects and waits for the agent's greeting, so a node that is frozen or
 * stuck fails within a bound instead of hanging its caller. */
static int agent_open(const char *rundir, const char *host, int err_fd)
{
    char path[512];
    if (sim_agent_path(rundir, host, path, sizeof path) < 0) {
        say(err_fd, host, "Unknown host");
        return -1;
    }
    int fd = sim_unix_connect(path);
    if (fd < 0) {
        say(err_fd, host, "No route to host");
        return -1;
    }
    struct pollfd p = {fd, POLLIN, 0};
    int rc;
    do
        rc = poll(&p, 1, (int)sim_env_long("OSK_SIM_CONNECT_TIMEOUT_MS", 5000));
    while (rc < 0 && errno == EINTR);
    char buf[16];
    int type;
    size_t len;
    if (rc <= 0) {
        say(err_fd, host, "Connection timed out");
        close(fd);
        return -1;
    }
    if (sim_frame_recv(fd, &type, buf, sizeof buf, &len) != 1 || type != SIM_FR_HELLO) {
        say(err_fd, host, "No route to host");
        close(fd);
        return -1;
    }
    return fd;
}

/* Pumps the session until EXIT: output frames to their descriptors, in_fd
 * to STDIN frames. Returns the exit status or -1 when the agent was lost. */
static int agent_pump(int fd, int in_fd, int out_fd, int err_fd)
{
    static char buf[SIM_FRAME_MAX];
    int in_open = in_fd >= 0;
    for (;;) {
        struct pollfd p[2] = {{fd, POLLIN, 0}, {in_fd, POLLIN, 0}};
        int rc = poll(p, in_open ? 2 : 1, -1);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0)
            return -1;
        if (in_open && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t n = read(in_fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                in_open = 0;
            /* The agent may be gone already; its EXIT or EOF tells. */
            (void)sim_frame_send(fd, SIM_FR_STDIN, buf, n > 0 ? n : 0);
        }
        if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        int type;
        size_t len;
        if (sim_frame_recv(fd, &type, buf, sizeof buf, &len) != 1)
            return -1;
        switch (type) {
        case SIM_FR_STDOUT:
            (void)sim_write_full(out_fd, buf, len);
            break;
        case SIM_FR_STDERR:
            (void)sim_write_full(err_fd, buf, len);
            break;
        case SIM_FR_EXIT: {
            uint32_t st = 1;
            if (len == 4)
                memcpy(&st, buf, 4);
            return (int)ntohl(st);
        }
        default:
            return -1;
        }
    }
}

static int agent_session(const char *rundir, const char *host, int req, const char *text, int in_fd,
                         int out_fd, int err_fd)
{
    int fd = agent_open(rundir, host, err_fd);
    if (fd < 0)
        return 1;
    int st = -1;
    if (sim_frame_send(fd, req, text, strlen(text)) == 0) {
        /* A session that ends quickly may be gone before this is sent; what
         * it sent back still tells how it ended. */
        if (req == SIM_FR_EXEC && in_fd < 0)
            (void)sim_frame_send(fd, SIM_FR_STDIN, "", 0);
        st = agent_pump(fd, in_fd, out_fd, err_fd);
    }
    close(fd);
    if (st < 0) {
        say(err_fd, host, "Connection reset by peer");
        return 1;
    }
    return st;
}

int sim_agent_exec(const char *rundir, const char *host, const char *cmd, int in_fd, int out_fd,
                   int err_fd)
{
    if (strlen(cmd) > SIM_FRAME_MAX) {
        say(err_fd, host, "Argument list too long");
        return 1;
    }
    return agent_session(rundir, host, SIM_FR_EXEC, cmd, in_fd, out_fd, err_fd);
}

int sim_agent_exec_tty(const char *rundir, const char *host, const char *cmd, int out_fd,
                       int err_fd)
{
    if (strlen(cmd) > SIM_FRAME_MAX) {
        say(err_fd, host, "Argument list too long");
        return 1;
    }
    return agent_session(rundir, host, SIM_FR_EXEC_TTY, cmd, -1, out_fd, err_fd);
}

static int last_line_is_final(const char *reply, size_t len, int *is_error)
{
    if (len == 0 || reply[len - 1] != '\n')
        return 0;
    const char *start = reply + len - 1;
    while (start > reply && start[-1] != '\n')
        start--;
    size_t l = reply + len - 1 - start;
    *is_error = l >= 5 && strncmp(start, "error", 5) == 0;
    return *is_error || (l == 2 && strncmp(start, "ok", 2) == 0) ||
           (l == 3 && strncmp(start, "end", 3) == 0);
}

int sim_line_request(const char *sock, const char *line, char *reply, size_t size, int timeout_ms)
{
    reply[0] = '\0';
    int fd = sim_unix_connect(sock);
    if (fd < 0)
        return -1;
    char req[1024];
    int n = snprintf(req, sizeof req, "%s\n", line);
    if (n >= (int)sizeof req || send(fd, req, n, MSG_NOSIGNAL) != n) {
        close(fd);
        return -1;
    }
    /* Collect the whole reply even when it does not fit, so the final line
     * is always recognised; only what fits is kept. */
    char all[65536];
    size_t len = 0;
    int is_error = 0, done = 0;
    uint64_t deadline = sim_now_ms() + timeout_ms;
    while (!done) {
        uint64_t now = sim_now_ms();
        if (now >= deadline)
            break;
        struct pollfd p = {fd, POLLIN, 0};
        int rc = poll(&p, 1, (int)(deadline - now));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            break;
        if (len == sizeof all - 1)
            len = 0;
        ssize_t got = read(fd, all + len, sizeof all - 1 - len);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        len += got;
        done = last_line_is_final(all, len, &is_error);
    }
    close(fd);
    all[len] = '\0';
    snprintf(reply, size, "%s", all);
    if (!done)
        return -1;
    return is_error ? 1 : 0;
}

int sim_send_fd(int sock, const char *text, int fd)
{
    char cbuf[CMSG_SPACE(sizeof(int))] = {};
    struct iovec iov = {(void *)text, strlen(text)};
    struct msghdr m = {};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = cbuf;
    m.msg_controllen = sizeof cbuf;
    struct cmsghdr *c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &fd, sizeof(int));
    return sendmsg(sock, &m, MSG_NOSIGNAL) == (ssize_t)iov.iov_len ? 0 : -1;
}

int sim_fd_request(const char *sock, const char *line, int timeout_ms)
{
    int s = sim_unix_connect(sock);
    if (s < 0)
        return -1;
    struct timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    (void)setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char req[256], text[256];
    int n = snprintf(req, sizeof req, "%s\n", line);
    char cbuf[CMSG_SPACE(sizeof(int))];
    struct iovec iov = {text, sizeof text - 1};
    struct msghdr m = {};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = cbuf;
    m.msg_controllen = sizeof cbuf;
    int fd = -1;
    if (n < (int)sizeof req && send(s, req, n, MSG_NOSIGNAL) == n &&
        recvmsg(s, &m, MSG_CMSG_CLOEXEC) > 0) {
        struct cmsghdr *c = CMSG_FIRSTHDR(&m);
        if (c && c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
            memcpy(&fd, CMSG_DATA(c), sizeof(int));
    }
    close(s);
    if (fd < 0)
        errno = ENOENT;
    return fd;
}

int sim_loopback_listen(int backlog)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && bind(fd, (struct sockaddr *)&a, sizeof a) == 0 && listen(fd, backlog) == 0)
        return fd;
    int e = errno;
    if (fd >= 0)
        close(fd);
    errno = e;
    return -1;
}
