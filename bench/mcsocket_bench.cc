/*
 * Management calls over a socket, each against its baseline in the same
 * run: the codecs of the update driver's records against memcpy of the same
 * bytes, the hash table against std::unordered_map on a million string
 * keys, and MC_PING through oskcall (plain and TLS, served in-process by
 * the stand-in's listener) against a raw loopback TCP round trip.
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

#include <string>
#include <unordered_map>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/ssl.h>

#include "hashtable.h"
#include "mcsocket.h"
#include "strcnv.h"
#include "sysmgr_listen.h"

namespace
{

const int kVluns = 16;

std::vector<unsigned char> showvlun_reply()
{
    size_t n = sizeof(showvlun_t) + kVluns * sizeof(vluninfo_t);
    std::vector<unsigned char> b((n + 63) & ~(size_t)63);
    showvlun_t *r = (showvlun_t *)b.data();
    r->showvlun_hdr.mc_opcode = MCVL_SHOW;
    r->showvlun_hdr.mc_size = (uint32_t)n;
    r->showvlun_hdr.mc_bufsize = (uint32_t)b.size();
    r->showvlun_count = kVluns;
    for (int i = 0; i < kVluns; i++) {
        vluninfo_t *v = &r->showvlun_vluns[i];
        snprintf(v->vli_vname, sizeof v->vli_vname, "volume%02d", i);
        snprintf(v->vli_hname, sizeof v->vli_hname, "host%02d", i);
        snprintf(v->vli_hiscsi_name.name, sizeof v->vli_hiscsi_name.name, "iqn.host%02d", i);
        v->vli_vwwn = 0x50002AC000000000ull + i;
        v->vli_lun = i;
        v->vli_lpid = (lpid_t)i;
    }
    return b;
}

per_thread_buffer_t *record()
{
    strcnv_initialize();
    per_thread_buffer_t *p = get_thread_specific_buffer();
    return p ? p : init_thread_buffer(nullptr, 0);
}

void BM_ShowvlunMemcpy(benchmark::State &state)
{
    std::vector<unsigned char> src = showvlun_reply(), dst(src.size());
    for (auto _ : state) {
        memcpy(dst.data(), src.data(), src.size());
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)src.size());
}

void BM_ShowvlunEncode(benchmark::State &state)
{
    std::vector<unsigned char> src = showvlun_reply();
    per_thread_buffer_t *p = record();
    int fd = open("/dev/null", O_WRONLY);
    mc_open(fd, nullptr);
    for (auto _ : state) {
        send_showvlun(fd, src.data());
        mc_flush(fd);
    }
    p->fd = -1;
    close(fd);
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)src.size());
}

void BM_ShowvlunDecode(benchmark::State &state)
{
    std::vector<unsigned char> src = showvlun_reply();
    per_thread_buffer_t *p = record();
    /* The encoded reply in a file: each round reads it again from the start. */
    char path[] = "/tmp/mcsocket_bench.XXXXXX";
    int fd = mkstemp(path);
    unlink(path);
    mc_open(fd, nullptr);
    send_showvlun(fd, src.data());
    mc_flush(fd);
    char name[STRCNV_MAX_NAME + 1];
    for (auto _ : state) {
        lseek(fd, 0, SEEK_SET);
        p->roff = p->rend = 0;
        p->malloc_called = 0;
        size_t total;
        strcnv_read_name(fd, name);
        benchmark::DoNotOptimize(receive_showvlun(fd, &total));
    }
    p->fd = -1;
    close(fd);
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)src.size());
}

const int kKeys = 1000000;

const std::vector<std::string> &keys()
{
    static std::vector<std::string> k;
    if (k.empty()) {
        for (int i = 0; i < kKeys; i++)
            k.push_back("volume-" + std::to_string((long)i * 7919));
    }
    return k;
}

void BM_HashtableInsert(benchmark::State &state)
{
    const auto &k = keys();
    for (auto _ : state) {
        hashtable *t = create_string_hashtable(next_prime(436), 0.75f);
        for (int i = 0; i < kKeys; i++)
            hashtable_put(t, k[i].c_str(), (void *)(intptr_t)i);
        state.PauseTiming();
        delete_hashtable(t);
        state.ResumeTiming();
    }
}

void BM_UnorderedMapInsert(benchmark::State &state)
{
    const auto &k = keys();
    for (auto _ : state) {
        std::unordered_map<std::string, intptr_t> m;
        for (int i = 0; i < kKeys; i++)
            m.emplace(k[i], i);
        state.PauseTiming();
        m.clear();
        state.ResumeTiming();
    }
}

void BM_HashtableLookup(benchmark::State &state)
{
    const auto &k = keys();
    hashtable *t = create_string_hashtable(next_prime(436), 0.75f);
    for (int i = 0; i < kKeys; i++)
        hashtable_put(t, k[i].c_str(), (void *)(intptr_t)i);
    for (auto _ : state) {
        intptr_t sum = 0;
        for (int i = 0; i < kKeys; i++)
            sum += (intptr_t)hashtable_get(t, k[i].c_str());
        benchmark::DoNotOptimize(sum);
    }
    delete_hashtable(t);
}

void BM_UnorderedMapLookup(benchmark::State &state)
{
    const auto &k = keys();
    std::unordered_map<std::string, intptr_t> m;
    for (int i = 0; i < kKeys; i++)
        m.emplace(k[i], i);
    for (auto _ : state) {
        intptr_t sum = 0;
        for (int i = 0; i < kKeys; i++)
            sum += m.find(k[i])->second;
        benchmark::DoNotOptimize(sum);
    }
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

BENCHMARK(BM_ShowvlunMemcpy);
BENCHMARK(BM_ShowvlunEncode);
BENCHMARK(BM_ShowvlunDecode);
BENCHMARK(BM_HashtableInsert)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_UnorderedMapInsert)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_HashtableLookup)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_UnorderedMapLookup)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_RawTcpRoundTrip)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PingPlain)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PingTls)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
