/*
 * osk_mutex_enter/osk_mutex_exit against a bare pthread mutex, uncontended,
 * one thread: what the runtime's holder bookkeeping costs per pair.
 *
 *   lock_bench --benchmark_format=json
 */
#include <pthread.h>

#include <benchmark/benchmark.h>

#include "osk_lock.h"

#include "osk_banned.h"

namespace
{

void BM_PthreadMutex(benchmark::State &state)
{
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    for (auto _ : state) {
        pthread_mutex_lock(&m);
        benchmark::ClobberMemory();
        pthread_mutex_unlock(&m);
    }
}

void BM_OskMutex(benchmark::State &state)
{
    osk_mutex_t m;
    osk_mutex_init(&m);
    for (auto _ : state) {
        osk_mutex_enter(&m);
        benchmark::ClobberMemory();
        osk_mutex_exit(&m);
    }
}

BENCHMARK(BM_PthreadMutex)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_OskMutex)->Repetitions(5)->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
