/*
 * The management-call client's codecs and hash table, each against its
 * baseline in the same run: encoding and decoding a showvlun reply against
 * memcpy of the same bytes, and the string table against
 * std::unordered_map on a million keys.
 *
 * The codecs run on the thread's stream buffers made large enough for the
 * whole reply, so neither side of the comparison makes a system call: what
 * is timed is the conversion, as memcpy's time is the copy.
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <unordered_map>
#include <vector>

#include <benchmark/benchmark.h>

#include "hashtable.h"
#include "mcsocket.h"
#include "strcnv.h"

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

const int kStream = 1 << 16; /* holds the whole encoded reply */

/* The thread's record on a descriptor that is never written or read. */
per_thread_buffer_t *stream()
{
    static per_thread_buffer_t *p;
    if (p == nullptr) {
        strcnv_initialize();
        p = init_thread_buffer(nullptr, 1);
        mc_open(open("/dev/null", O_RDWR), nullptr);
        p->wbuf = (char *)realloc(p->wbuf, kStream);
        p->rbuf = (char *)realloc(p->rbuf, kStream);
        p->wsize = p->rsize = kStream;
    }
    return p;
}

void BM_ShowvlunMemcpy(benchmark::State &state)
{
    std::vector<unsigned char> src = showvlun_reply(), dst(src.size());
    for (auto _ : state) {
        memcpy(dst.data(), src.data(), src.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)src.size());
}

void BM_ShowvlunEncode(benchmark::State &state)
{
    std::vector<unsigned char> src = showvlun_reply();
    per_thread_buffer_t *p = stream();
    for (auto _ : state) {
        p->woff = 0;
        send_showvlun(p->fd, src.data());
        benchmark::DoNotOptimize(p->wbuf);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)src.size());
}

void BM_ShowvlunDecode(benchmark::State &state)
{
    std::vector<unsigned char> src = showvlun_reply();
    per_thread_buffer_t *p = stream();
    p->woff = 0;
    send_showvlun(p->fd, src.data());
    memcpy(p->rbuf, p->wbuf, (size_t)p->woff);
    int len = p->woff;
    p->woff = 0;
    char name[STRCNV_MAX_NAME + 1];
    for (auto _ : state) {
        p->roff = 0;
        p->rend = len;
        p->malloc_called = 0;
        size_t total;
        strcnv_read_name(p->fd, name);
        benchmark::DoNotOptimize(receive_showvlun(p->fd, &total));
        benchmark::ClobberMemory();
    }
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

} // namespace

BENCHMARK(BM_ShowvlunMemcpy);
BENCHMARK(BM_ShowvlunEncode);
BENCHMARK(BM_ShowvlunDecode);
BENCHMARK(BM_HashtableInsert)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_UnorderedMapInsert)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_HashtableLookup)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_UnorderedMapLookup)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK_MAIN();
