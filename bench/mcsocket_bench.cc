/*
 * Management calls over a socket against their baseline in the same run:
 * MC_PING through oskcall (plain and TLS, served in-process by the
 * stand-in's listener) against a raw loopback TCP round trip. The codecs
 * and the hash table are strcnv_bench's.
 */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <openssl/ssl.h>

#include "mcsocket.h"
#include "strcnv.h"
#include "sysmgr_listen.h"

namespace
{

per_thread_buffer_t *record()
{
    strcnv_initialize();
    per_thread_buffer_t *p = get_thread_specific_buffer();
    return p ? p : init_thread_buffer(nullptr, 0);
}

/* The stand-in's listener, in this process. */
int listener_port()
{
    static int port;
    static sysmgr_conf_t conf;
    static sysmgr_ctx_t ctx;
    if (port == 0) {
        char dir[] = "/tmp/mcsocket_bench.XXXXXX";
        if (mkdtemp(dir) == nullptr || sysmgr_make_cert(dir) != 0)
            abort();
        ctx.conf = &conf;
        ctx.online = [] { return (cluster_t)1; };
        if (sysmgr_listen_start(&ctx, dir, nullptr) != 0)
            abort();
        char path[128], text[16] = {};
        snprintf(path, sizeof path, "%s/sysmgr.port", dir);
        FILE *f = fopen(path, "r");
        if (f == nullptr || fgets(text, sizeof text, f) == nullptr)
            abort();
        fclose(f);
        port = atoi(text);
    }
    return port;
}

int tcp_connect(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr *)&a, sizeof a) != 0)
        abort();
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void dispose_ssl(void *ssl, struct sockaddr_in *, int)
{
    SSL_free((SSL *)ssl);
}

void ping_over_socket(benchmark::State &state, bool tls)
{
    int fd = tcp_connect(listener_port());
    mcsocket_install();
    per_thread_buffer_t *p = record();
    int *type;
    init_thread_conntype(&type);
    *type = MCALL_SOCKET;
    *get_thread_socket() = fd;
    if (tls) {
        SSL_CTX *c = SSL_CTX_new(TLS_client_method());
        SSL *ssl = SSL_new(c);
        SSL_CTX_free(c);
        SSL_set_fd(ssl, fd);
        if (SSL_connect(ssl) != 1)
            abort();
        p->ssl_err_func = dispose_ssl;
        mc_open(-1, ssl);
    } else {
        mc_open(fd, nullptr);
    }
    if (strcnv_client_handshake(p->fd) != 0)
        abort();
    mcall_t *rec = mcall_alloc(MC_PING, sizeof(mcping_t));
    for (auto _ : state) {
        if (oskcall(&rec) != 0 || ((mcping_t *)rec)->mp_version != MCALL_VERSION)
            state.SkipWithError("ping failed");
    }
    mcall_free(rec);
    close_socket();
    *type = MCALL_LOCAL;
}

void BM_PingPlain(benchmark::State &state)
{
    ping_over_socket(state, false);
}

void BM_PingTls(benchmark::State &state)
{
    ping_over_socket(state, true);
}

void *echo(void *arg)
{
    int fd = (int)(intptr_t)arg;
    char b[4];
    while (read(fd, b, 4) == 4 && write(fd, b, 4) == 4) {
    }
    close(fd);
    return nullptr;
}

void BM_RawTcpRoundTrip(benchmark::State &state)
{
    int l = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(l, (struct sockaddr *)&a, sizeof a) != 0 || listen(l, 1) != 0 ||
        getsockname(l, (struct sockaddr *)&a, &len) != 0)
        abort();
    int c = tcp_connect(ntohs(a.sin_port));
    int s = accept(l, nullptr, nullptr);
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    pthread_t th;
    pthread_create(&th, nullptr, echo, (void *)(intptr_t)s);
    char b[4] = {1, 2, 3, 4};
    for (auto _ : state) {
        if (write(c, b, 4) != 4 || read(c, b, 4) != 4)
            state.SkipWithError("echo failed");
    }
    close(c);
    pthread_join(th, nullptr);
    close(l);
}

} // namespace

BENCHMARK(BM_RawTcpRoundTrip)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PingPlain)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PingTls)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
