/* The buffered socket stream, reply buffer and socket call: see mcsocket.h. */
#include "mcsocket.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include "osk_runtime.h"
#include "osk_banned.h"

int show;

static per_thread_buffer_t *record(int fd)
{
    per_thread_buffer_t *p = get_thread_specific_buffer();
    OSK_ASSERT(p != NULL);
    OSK_ASSERT(fd == p->fd);
    return p;
}

int mc_open(int fd, void *ssl)
{
    per_thread_buffer_t *p = get_thread_specific_buffer();
    OSK_ASSERT(p != NULL);
    OSK_ASSERT((fd != -1) != (ssl != NULL));
    OSK_ASSERT(p->fd == -1 && p->vssl == NULL);
    p->fd = fd;
    p->vssl = ssl;
    /* A record's header and body in one read, not two: nothing here polls
     * the descriptor, so data the library holds ahead is never missed. */
    if (ssl != NULL)
        SSL_set_read_ahead((SSL *)ssl, 1);
    if (p->wbuf == NULL)
        p->wbuf = (char *)malloc_or_die(MC_SOCK_BUFSIZE);
    if (p->rbuf == NULL)
        p->rbuf = (char *)malloc_or_die(MC_SOCK_BUFSIZE);
    p->wsize = p->rsize = MC_SOCK_BUFSIZE;
    p->woff = p->roff = p->rend = 0;
    return 0;
}

/* A plain descriptor may be a socket or (in tests) a pipe: send() keeps a
 * vanished peer from raising SIGPIPE where it can. */
static ssize_t plain_write(int fd, const char *data, size_t n)
{
    ssize_t w = send(fd, data, n, MSG_NOSIGNAL);
    if (w < 0 && errno == ENOTSOCK)
        w = write(fd, data, n);
    return w;
}

int mc_flush(int fd)
{
    per_thread_buffer_t *p = record(fd);
    int n = p->woff, done = 0;
    p->woff = 0;
    while (done < n) {
        int w;
        if (p->vssl != NULL) {
            SSL *ssl = (SSL *)p->vssl;
            do {
                w = SSL_write(ssl, p->wbuf + done, n - done);
            } while (w == -1 && SSL_get_error(ssl, w) == SSL_ERROR_WANT_WRITE);
            if (w <= 0)
                w = -1;
        } else {
            w = (int)plain_write(p->fd, p->wbuf + done, (size_t)(n - done));
            if (w < 0 && errno == EINTR)
                continue;
        }
        if (w == -1) {
            fprintf(stderr, "mc_flush(): Write error: %s\n", strerror(errno));
            return 0;
        }
        done += w;
    }
    return 1;
}

int mc_write(int fd, const void *data, int n)
{
    per_thread_buffer_t *p = record(fd);
    const char *src = (const char *)data;
    int left = n;
    while (left > 0) {
        int room = p->wsize - p->woff;
        int k = left < room ? left : room;
        memcpy(p->wbuf + p->woff, src, (size_t)k);
        p->woff += k;
        src += k;
        left -= k;
        if (p->woff == p->wsize && mc_flush(fd) != 1)
            return 0;
    }
    return n;
}

static int refill(per_thread_buffer_t *p)
{
    int r;
    if (p->vssl != NULL) {
        SSL *ssl = (SSL *)p->vssl;
        for (;;) {
            r = SSL_read(ssl, p->rbuf, p->rsize);
            if (r != -1 || SSL_get_error(ssl, r) != SSL_ERROR_WANT_READ)
                break;
            (void)SSL_write(ssl, "\n", 1);
        }
    } else {
        do {
            r = (int)read(p->fd, p->rbuf, (size_t)p->rsize);
        } while (r < 0 && errno == EINTR);
    }
    if (r > 0) {
        p->roff = 0;
        p->rend = r;
    }
    return r;
}

int mc_read(int fd, void *data, int n)
{
    per_thread_buffer_t *p = record(fd);
    char *dst = (char *)data;
    int left = n;
    while (left > 0) {
        if (p->roff == p->rend) {
            int r = refill(p);
            if (r <= 0)
                return r;
        }
        int avail = p->rend - p->roff;
        int k = left < avail ? left : avail;
        memcpy(dst, p->rbuf + p->roff, (size_t)k);
        p->roff += k;
        dst += k;
        left -= k;
    }
    return n;
}

static void grow(per_thread_buffer_t *p, size_t n)
{
    size_t size = (n + MCALL_ALIGN - 1) & ~(size_t)(MCALL_ALIGN - 1);
    void *b = realloc(p->buffer, size);
    if (b == NULL)
        osk_death("cannot grow the reply buffer to %zu bytes", size);
    p->buffer = (mcall_t *)b;
    p->bufsize = (unsigned)size;
}

void *mc_malloc(size_t n)
{
    per_thread_buffer_t *p = get_thread_specific_buffer();
    OSK_ASSERT(p != NULL);
    if (p->malloc_called)
        osk_death("mc_malloc called more than once in receive process");
    if (p->buffer == NULL || n > p->bufsize)
        grow(p, n);
    p->size = (unsigned)n;
    p->malloc_called = 1;
    return p->buffer;
}

void *mc_realloc(void *ptr, size_t n)
{
    per_thread_buffer_t *p = get_thread_specific_buffer();
    OSK_ASSERT(p != NULL);
    if (!p->malloc_called)
        osk_death("mc_realloc called without initial mc_malloc call");
    if (ptr != (void *)p->buffer)
        osk_death("mc_realloc called with address %p, should be %p", ptr, (void *)p->buffer);
    if (n > p->bufsize)
        grow(p, n);
    p->size = (unsigned)n;
    return p->buffer;
}

void mc_free(void *) {}

void *mc_reply_buffer(void)
{
    per_thread_buffer_t *p = get_thread_specific_buffer();
    OSK_ASSERT(p != NULL);
    return p->buffer;
}

void close_given_socket(int *cell)
{
    if (*cell >= 0)
        close(*cell);
    *cell = -1;
}

void close_socket(void)
{
    per_thread_buffer_t *p = get_thread_specific_buffer();
    if (p != NULL) {
        /* The session goes with its descriptor; the stream starts empty when
         * the caller connects again. */
        if (p->vssl != NULL && p->ssl_err_func != NULL)
            p->ssl_err_func(p->vssl, p->ci, p->logged);
        p->vssl = NULL;
        p->fd = -1;
        p->woff = p->roff = p->rend = 0;
    }
    close_given_socket(get_thread_socket());
}
