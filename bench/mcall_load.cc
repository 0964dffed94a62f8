/*
 * Management calls under load: CLIENTS threads, each with its own
 * connection to a system manager's socket (every other one over TLS), call
 * showvlun back to back for SECONDS, all starting together. Prints one line:
 *
 *   clients N tls T seconds S calls C failed F per_second R p50_us P p99_us Q
 *
 *   mcall_load PORT CAFILE CLIENTS SECONDS
 *
 * A failed call is counted, and its thread connects again before the next;
 * so is every attempt to connect that fails.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include <openssl/ssl.h>

#include "mcall_client.h"
#include "mcsocket.h"
#include "strcnv.h"

namespace
{

int g_port;
const char *g_cafile;
double g_seconds;
pthread_barrier_t g_start;
SSL_CTX *g_tls;

struct client {
    pthread_t th;
    bool tls;
    long failed = 0;
    std::vector<uint32_t> us; /* each successful call's latency */
};

double now_s()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

void dispose_ssl(void *ssl, struct sockaddr_in *, int)
{
    SSL_free((SSL *)ssl);
}

/* Connects the thread and makes the version handshake; false on failure. */
bool connect_thread(bool tls)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)g_port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        if (fd >= 0)
            close(fd);
        return false;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    per_thread_buffer_t *p = get_thread_specific_buffer();
    *get_thread_socket() = fd;
    if (tls) {
        SSL *ssl = SSL_new(g_tls);
        SSL_set_fd(ssl, fd);
        if (SSL_connect(ssl) != 1) {
            SSL_free(ssl);
            close(fd);
            *get_thread_socket() = -1;
            return false;
        }
        p->ssl_err_func = dispose_ssl;
        mc_open(-1, ssl);
    } else {
        mc_open(fd, nullptr);
    }
    return strcnv_client_handshake(p->fd) == 0;
}

void *client_main(void *arg)
{
    client *c = (client *)arg;
    init_thread_buffer(nullptr, 0);
    int *type;
    init_thread_conntype(&type);
    *type = MCALL_SOCKET;
    bool up = connect_thread(c->tls);
    pthread_barrier_wait(&g_start);
    double end = now_s() + g_seconds;
    while (now_s() < end) {
        if (!up) {
            if (*get_thread_socket() >= 0)
                close_socket();
            up = connect_thread(c->tls);
            if (!up) {
                c->failed++; /* a call that could not be made */
                usleep(10000);
            }
            continue;
        }
        mcall_t *rec = mcall_alloc(MCVL_SHOW, sizeof(showvlun_t));
        showvlun_t *q = (showvlun_t *)rec;
        q->showvlun_lun = 0xFFFFFFFF;
        q->showvlun_nmap = q->showvlun_smap = q->showvlun_pmap = 0xFF;
        double t0 = now_s();
        int rc = oskcall(&rec);
        double t1 = now_s();
        if (rc == 0 && ((showvlun_t *)rec)->showvlun_count > 0) {
            c->us.push_back((uint32_t)((t1 - t0) * 1e6));
        } else {
            c->failed++;
            up = false;
        }
        mcall_free(rec);
    }
    if (*get_thread_socket() >= 0)
        close_socket();
    return nullptr;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: mcall_load PORT CAFILE CLIENTS SECONDS\n");
        return 2;
    }
    g_port = atoi(argv[1]);
    g_cafile = argv[2];
    int n = atoi(argv[3]);
    g_seconds = atof(argv[4]);
    if (g_port <= 0 || n <= 0 || g_seconds <= 0) {
        fprintf(stderr, "mcall_load: bad arguments\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    strcnv_initialize();
    mcsocket_install();
    (void)get_op_id(MCVL_SHOW); /* its table is built without a lock */
    show = 0;
    g_tls = SSL_CTX_new(TLS_client_method());
    if (g_tls == nullptr || SSL_CTX_load_verify_locations(g_tls, g_cafile, nullptr) != 1) {
        fprintf(stderr, "mcall_load: %s: not a certificate\n", g_cafile);
        return 1;
    }
    SSL_CTX_set_verify(g_tls, SSL_VERIFY_PEER, nullptr);

    std::vector<client> cs((size_t)n);
    pthread_barrier_init(&g_start, nullptr, (unsigned)n + 1);
    for (int i = 0; i < n; i++) {
        cs[(size_t)i].tls = i % 2 == 1;
        if (pthread_create(&cs[(size_t)i].th, nullptr, client_main, &cs[(size_t)i]) != 0) {
            fprintf(stderr, "mcall_load: cannot start client %d\n", i);
            return 1;
        }
    }
    pthread_barrier_wait(&g_start);
    double t0 = now_s();
    std::vector<uint32_t> all;
    long failed = 0;
    for (client &c : cs) {
        pthread_join(c.th, nullptr);
        all.insert(all.end(), c.us.begin(), c.us.end());
        failed += c.failed;
    }
    double spent = now_s() - t0;
    std::sort(all.begin(), all.end());
    auto pct = [&](double p) {
        return all.empty() ? 0u : all[std::min(all.size() - 1, (size_t)(p * (double)all.size()))];
    };
    printf("clients %d tls %d seconds %.1f calls %zu failed %ld per_second %.0f p50_us %u p99_us "
           "%u\n",
           n, n / 2, spent, all.size(), failed, (double)all.size() / spent, pct(0.50), pct(0.99));
    SSL_CTX_free(g_tls);
    return failed == 0 ? 0 : 1;
}
