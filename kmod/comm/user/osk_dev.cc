/*
 * "/dev/osk" as a character device (ioctl) or as a Unix stream socket
 * (framed requests). See osk_dev.h.
 */
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include "osk_dev.h"
#include "osk_devframe.h"
#include "osk_hook.h"
#include "osk_ioctl.h"
#include "osk_runtime.h"
#include "osk_banned.h"

enum dev_kind { DEV_UNKNOWN, DEV_CHAR, DEV_SOCKET };

/* Every open of the device names the same node, so one kind serves all. */
static enum dev_kind dev_kind = DEV_UNKNOWN;

typedef struct dev_conn {
    int dc_fd;
    unsigned dc_forks; /* forks_seen when it connected; a forked child reconnects */
} dev_conn_t;

static pthread_key_t conn_key;
static pthread_once_t conn_once = PTHREAD_ONCE_INIT;

/* Counts forks in the child, so that a connection inherited across fork is
 * told without asking the kernel for the pid on every request. */
static unsigned forks_seen;

static void after_fork_in_child(void)
{
    forks_seen++;
}

const char *osk_dev_path(void)
{
    const char *p = getenv(OSK_DEVICE_ENV);
    return (p != nullptr && p[0] != '\0') ? p : OSK_DEVICE_DEFAULT;
}

static int sock_connect(const char *path)
{
    struct sockaddr_un sa;
    memset(&sa, 0, sizeof(sa));
    sa.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof(sa.sun_path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    osk_strncpy(sa.sun_path, path, sizeof(sa.sun_path));
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int rc;
    do {
        rc = connect(fd, (struct sockaddr *)&sa, sizeof(sa));
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

int osk_dev_open(void)
{
    const char *path = osk_dev_path();
    struct stat st;
    if (stat(path, &st) == 0 && S_ISSOCK(st.st_mode)) {
        int fd = sock_connect(path);
        if (fd >= 0)
            dev_kind = DEV_SOCKET;
        return fd;
    }
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd >= 0)
        dev_kind = DEV_CHAR;
    return fd;
}

static void conn_destroy(void *p)
{
    dev_conn_t *c = (dev_conn_t *)p;
    if (c->dc_fd >= 0)
        close(c->dc_fd);
    free(c);
}

static void conn_key_create(void)
{
    int rc = pthread_key_create(&conn_key, conn_destroy);
    OSK_ASSERT(rc == 0);
    rc = pthread_atfork(nullptr, nullptr, after_fork_in_child);
    OSK_ASSERT(rc == 0);
}

static void conn_drop(dev_conn_t *c)
{
    if (c->dc_fd >= 0)
        close(c->dc_fd);
    c->dc_fd = -1;
}

/* The calling thread's connection, opened on first use. */
static dev_conn_t *conn_get(void)
{
    pthread_once(&conn_once, conn_key_create);
    dev_conn_t *c = (dev_conn_t *)pthread_getspecific(conn_key);
    if (c == nullptr) {
        c = (dev_conn_t *)malloc(sizeof(*c));
        if (c == nullptr) {
            errno = ENOMEM;
            return nullptr;
        }
        c->dc_fd = -1;
        c->dc_forks = 0;
        pthread_setspecific(conn_key, c);
    }
    if (c->dc_fd >= 0 && c->dc_forks != forks_seen)
        conn_drop(c); /* inherited across fork: the peer knows us by the parent's pid */
    if (c->dc_fd < 0) {
        c->dc_fd = sock_connect(osk_dev_path());
        if (c->dc_fd < 0)
            return nullptr;
        c->dc_forks = forks_seen;
    }
    return c;
}

/* Bytes of the record behind arg, or 0 when the request is not one of ours. */
static size_t record_len(unsigned long request, const void *arg)
{
    if (request == OSK_HOOK_IOCTL)
        return sizeof(osk_krn_hook_t);
    if (OSK_IOCTL_IS_CMD(request)) {
        uint32_t total = ((const iohdr_t *)arg)->io_total;
        if (total >= sizeof(iohdr_t) && total <= MAX_IOCTL_SIZE)
            return total;
    }
    return 0;
}

static int send_all(int fd, struct iovec *iov, int cnt)
{
    while (cnt > 0) {
        struct msghdr mh;
        memset(&mh, 0, sizeof(mh));
        mh.msg_iov = iov;
        mh.msg_iovlen = (size_t)cnt;
        ssize_t n = sendmsg(fd, &mh, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        while (cnt > 0 && (size_t)n >= iov->iov_len) {
            n -= (ssize_t)iov->iov_len;
            iov++;
            cnt--;
        }
        if (cnt > 0) {
            iov->iov_base = (char *)iov->iov_base + n;
            iov->iov_len -= (size_t)n;
        }
    }
    return 0;
}

/* Receives the answer, its header into rep and its record over arg (len
 * bytes), with as few calls as it arrives in: usually one. An interrupt
 * before the first byte fails with EINTR; once an answer has started it is
 * read to its end. */
static int recv_answer(int fd, oskdev_frame_t *rep, void *arg, size_t len)
{
    struct iovec iov[2] = {{rep, sizeof(*rep)}, {arg, len}};
    struct iovec *v = iov;
    int cnt = 2;
    size_t got = 0;
    while (cnt > 0) {
        struct msghdr mh;
        memset(&mh, 0, sizeof(mh));
        mh.msg_iov = v;
        mh.msg_iovlen = (size_t)cnt;
        ssize_t n = recvmsg(fd, &mh, 0);
        if (n < 0) {
            if (errno == EINTR && got > 0)
                continue;
            return -1;
        }
        if (n == 0) {
            errno = EIO;
            return -1;
        }
        got += (size_t)n;
        if (got >= sizeof(*rep) && (rep->fr_magic != OSKDEV_MAGIC_REP || rep->fr_len != len)) {
            errno = EPROTO; /* checked before more of it lands on the caller's record */
            return -1;
        }
        while (cnt > 0 && (size_t)n >= v->iov_len) {
            n -= (ssize_t)v->iov_len;
            v++;
            cnt--;
        }
        if (cnt > 0) {
            v->iov_base = (char *)v->iov_base + n;
            v->iov_len -= (size_t)n;
        }
    }
    return 0;
}

static int sock_ioctl(unsigned long request, void *arg)
{
    size_t len = record_len(request, arg);
    if (len == 0) {
        errno = (request == OSK_HOOK_IOCTL || OSK_IOCTL_IS_CMD(request)) ? EINVAL : ENOTTY;
        return -1;
    }
    dev_conn_t *c = conn_get();
    if (c == nullptr)
        return -1;

    oskdev_frame_t fr;
    memset(&fr, 0, sizeof(fr));
    fr.fr_magic = OSKDEV_MAGIC_REQ;
    fr.fr_request = (uint32_t)request;
    fr.fr_len = (uint32_t)len;
    struct iovec iov[2] = {{&fr, sizeof(fr)}, {arg, len}};
    if (send_all(c->dc_fd, iov, 2) < 0) {
        int e = errno;
        conn_drop(c);
        errno = (e == EPIPE || e == ECONNRESET) ? EIO : e;
        return -1;
    }

    oskdev_frame_t rep;
    if (recv_answer(c->dc_fd, &rep, arg, len) < 0) {
        /* Interrupted, lost or garbled: the peer sees the close and drops
         * the request. */
        int e = errno;
        conn_drop(c);
        errno = e;
        return -1;
    }
    if (rep.fr_result < 0)
        errno = rep.fr_errno;
    return rep.fr_result;
}

int osk_dev_ioctl(int fd, unsigned long request, void *arg)
{
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    if (dev_kind == DEV_SOCKET)
        return sock_ioctl(request, arg);
    return ioctl(fd, request, arg);
}
