/* The stand-in's TCP listener: see sysmgr_listen.h. */
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "mcsocket.h"
#include "osk_errcode.h"
#include "sim_util.h"
#include "sim_wire.h"
#include "strcnv.h"
#include "sysmgr_listen.h"
#include "osk_banned.h"

static const sysmgr_ctx_t *g_ctx;
static const sysmgr_reboot_t *g_reboot;
static SSL_CTX *g_tls;
static int g_lfd = -1;

static void dispose_ssl(void *ssl, struct sockaddr_in *, int)
{
    SSL_free((SSL *)ssl);
}

/* Replies to one decoded request; false when the stream broke. */
static bool answer(int fd, int id, mcall_t *req, size_t len)
{
    sysmgr_reply_t r;
    sysmgr_handle(g_ctx, MCALL_VERSION, req, len, &r);
    mcall_t *rec = r.rec;
    if (r.refused) {
        /* The kernel IPC says this with usr_reason alone; here the request
         * goes back with the status. */
        rec = req;
        rec->mc_status = r.reason;
        snprintf(rec->mc_ertxt, sizeof rec->mc_ertxt,
                 "Request refused: another management-call version");
    }
    bool rb = r.reboot_node >= 0 && g_reboot != nullptr;
    if (rb)
        g_reboot->before(r.reboot_node);
    bool ok = js_send[id](fd, rec) == 0 && mc_flush(fd) == 1;
    if (rb)
        g_reboot->after(r.reboot_node, ok);
    sysmgr_reply_free(&r);
    return ok;
}

static void *serve_connection(void *arg)
{
    int sock = (int)(intptr_t)arg;
    per_thread_buffer_t *p = init_thread_buffer(nullptr, 1);
    *get_thread_socket() = sock;
    p->ssl_err_func = dispose_ssl;
    unsigned char first;
    ssize_t n;
    do {
        n = recv(sock, &first, 1, MSG_PEEK);
    } while (n < 0 && errno == EINTR);
    if (n != 1) {
        close_socket();
        return nullptr;
    }
    if (first == 0x16) { /* a TLS handshake record */
        SSL *ssl = g_tls ? SSL_new(g_tls) : nullptr;
        if (ssl == nullptr || !SSL_set_fd(ssl, sock) || SSL_accept(ssl) != 1) {
            fprintf(stderr, "osk-sysmgr: TLS connection refused: ");
            ERR_print_errors_fp(stderr);
            fprintf(stderr, "\n");
            ERR_clear_error();
            if (ssl != nullptr)
                SSL_free(ssl);
            close_socket();
            return nullptr;
        }
        mc_open(-1, ssl);
    } else {
        mc_open(sock, nullptr);
    }
    int fd = p->fd;
    strcnv_handshake(fd); /* ends this thread on a version mismatch */
    for (;;) {
        char name[STRCNV_MAX_NAME + 1];
        if (strcnv_read_name(fd, name) != 1)
            break; /* the client hung up, or sent nonsense */
        int id = strcnv_find_id(name);
        if (id < 0) {
            fprintf(stderr, "osk-sysmgr: unknown record type \"%s\" on a socket\n", name);
            break;
        }
        size_t total = 0;
        p->malloc_called = 0;
        mcall_t *req = (mcall_t *)js_receive[id](fd, &total);
        if (req == nullptr)
            break;
        if (total < sizeof(mcall_t)) {
            fprintf(stderr, "osk-sysmgr: a %s is not a management call\n", name);
            break;
        }
        req->mc_size = (uint32_t)total;
        req->mc_bufsize = p->bufsize;
        if (!answer(fd, id, req, total))
            break;
    }
    close_socket();
    return nullptr;
}

static void *accept_loop(void *)
{
    for (;;) {
        int c = accept4(g_lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE)
                continue;
            fprintf(stderr, "osk-sysmgr: accept: %s\n", strerror(errno));
            return nullptr;
        }
        /* A reply longer than the stream's buffer goes out in several
         * writes; the last must not wait for the client's delayed ACK. */
        int one = 1;
        (void)setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        pthread_t th;
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        if (pthread_create(&th, &attr, serve_connection, (void *)(intptr_t)c) != 0)
            close(c);
        pthread_attr_destroy(&attr);
    }
}

static SSL_CTX *tls_context(const char *dir)
{
    char crt[1024], key[1024];
    snprintf(crt, sizeof crt, "%s/sysmgr.crt", dir);
    snprintf(key, sizeof key, "%s/sysmgr.key", dir);
    SSL_CTX *t = SSL_CTX_new(TLS_server_method());
    if (t != nullptr && SSL_CTX_use_certificate_file(t, crt, SSL_FILETYPE_PEM) == 1 &&
        SSL_CTX_use_PrivateKey_file(t, key, SSL_FILETYPE_PEM) == 1)
        return t;
    fprintf(stderr, "osk-sysmgr: no TLS on the socket (certificate %s): ", crt);
    ERR_print_errors_fp(stderr);
    fprintf(stderr, "\n");
    SSL_CTX_free(t);
    return nullptr;
}

int sysmgr_listen_start(const sysmgr_ctx_t *ctx, const char *dir, const sysmgr_reboot_t *reboot)
{
    g_ctx = ctx;
    g_reboot = reboot;
    /* A client that hangs up must cost its connection, not the manager. */
    signal(SIGPIPE, SIG_IGN);
    strcnv_initialize();
    g_tls = tls_context(dir);
    /* In a cluster the supervisor holds the listener, on this machine's
     * loopback address (a node's own is its alone); a manager run by
     * itself listens on its own. */
    char super[1024];
    snprintf(super, sizeof super, "%s/super.sock", dir);
    g_lfd = sim_fd_request(super, "sysmgr-listener", 5000);
    if (g_lfd < 0)
        g_lfd = sim_loopback_listen(16);
    struct sockaddr_in a = {};
    socklen_t alen = sizeof a;
    if (g_lfd < 0 || getsockname(g_lfd, (struct sockaddr *)&a, &alen) != 0) {
        fprintf(stderr, "osk-sysmgr: socket listener: %s\n", strerror(errno));
        return -1;
    }
    /* Written once listening, and whole (rename), so a reader never sees a
     * port nobody answers on. */
    char port[1024], tmp[1100], text[16];
    snprintf(port, sizeof port, "%s/sysmgr.port", dir);
    snprintf(tmp, sizeof tmp, "%s.tmp", port);
    snprintf(text, sizeof text, "%u\n", (unsigned)ntohs(a.sin_port));
    if (sim_write_file(tmp, text, 0644) != 0 || rename(tmp, port) != 0) {
        fprintf(stderr, "osk-sysmgr: %s: %s\n", port, strerror(errno));
        return -1;
    }
    pthread_t th;
    if (pthread_create(&th, nullptr, accept_loop, nullptr) != 0)
        return -1;
    pthread_detach(th);
    printf("osk-sysmgr: management calls on 127.0.0.1:%u%s\n", (unsigned)ntohs(a.sin_port),
           g_tls ? " (plain and TLS)" : " (plain)");
    return 0;
}
