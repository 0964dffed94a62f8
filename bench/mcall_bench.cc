/*
 * The cost of a management call: MC_PING round trips through oskcall on
 * the simulated kernel IPC, to the system manager stand-in on another
 * node, against a raw request and reply of the same size over a Unix
 * socket pair between two processes. Prints the ratio at the end.
 *
 *   build/bin/mcall_bench [--benchmark_min_time=...]     (as root)
 */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>

#include <benchmark/benchmark.h>

#include "cluster.h"
#include "mcall_client.h"
#include "sim_util.h"
#include "sim_wire.h"

namespace
{

std::string g_dir;
pid_t g_simd = -1, g_sysmgr = -1;

bool ctl(const std::string &req)
{
    char reply[4096];
    return sim_line_request((g_dir + "/ctl.sock").c_str(), req.c_str(), reply, sizeof reply,
                            5000) == 0;
}

pid_t spawn(const char *dev, const std::string &exe, const char *a1, const char *a2)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (dev)
            setenv("OSK_DEVICE_PATH", dev, 1);
        execl(exe.c_str(), exe.c_str(), a1, a2, (char *)nullptr);
        _exit(127);
    }
    return pid;
}

/* A two-node module daemon with the manager on node 0; this process is on
 * node 1. */
bool setup(const std::string &bindir)
{
    char tmpl[] = "/tmp/mcall-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        return false;
    g_dir = tmpl;
    g_simd = spawn(nullptr, bindir + "/osk-simd", g_dir.c_str(), "2");
    for (int i = 0; i < 500 && access((g_dir + "/osk-simd.pid").c_str(), F_OK) != 0; i++)
        usleep(10000);
    if (!ctl("join 0") || !ctl("join 1"))
        return false;
    std::string run = g_dir + "/run";
    std::string cmd = "mkdir -p " + run + " && { echo nodes 2; cat " + bindir +
                      "/osk-sysmgr.conf; } > " + run + "/sysmgr.conf";
    if (system(cmd.c_str()) != 0)
        return false;
    g_sysmgr = spawn((g_dir + "/osk0.sock").c_str(), bindir + "/osk-sysmgr", run.c_str(), nullptr);
    char reply[16384];
    for (int i = 0; i < 500; i++) {
        if (sim_line_request((g_dir + "/ctl.sock").c_str(), "ipc", reply, sizeof reply, 5000) ==
                0 &&
            strstr(reply, "name OSKMCAL "))
            break;
        usleep(10000);
    }
    setenv("OSK_DEVICE_PATH", (g_dir + "/osk1.sock").c_str(), 1);
    return oskopen("kivosys", 1) == 0;
}

void teardown()
{
    for (pid_t p : {g_sysmgr, g_simd})
        if (p > 0) {
            kill(p, SIGTERM);
            waitpid(p, nullptr, 0);
        }
    if (!g_dir.empty())
        (void)sim_rm_tree(g_dir.c_str());
}

void BM_McallPing(benchmark::State &state)
{
    for (auto _ : state) {
        mcall_t *rec = mcall_alloc(MC_PING, sizeof(mcping_t));
        if (oskcall(&rec) != 0 || ((mcping_t *)rec)->mp_version != MCALL_VERSION) {
            state.SkipWithError("MC_PING failed");
            mcall_free(rec);
            break;
        }
        mcall_free(rec);
    }
}

/* One kernel hook round trip: the floor under every IPC operation. */
void BM_KernelHook(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(cluster_my_node_id());
}

/* The same 640 bytes there and back between two processes. */
void BM_RawSocketPair(benchmark::State &state)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    const size_t len = 640;
    pid_t echo = fork();
    if (echo == 0) {
        close(sv[0]);
        char buf[640];
        while (sim_read_full(sv[1], buf, len) == (ssize_t)len)
            if (sim_write_full(sv[1], buf, len) != 0)
                break;
        _exit(0);
    }
    close(sv[1]);
    char buf[640] = {};
    for (auto _ : state) {
        if (sim_write_full(sv[0], buf, len) != 0 ||
            sim_read_full(sv[0], buf, len) != (ssize_t)len) {
            state.SkipWithError("echo failed");
            break;
        }
    }
    close(sv[0]);
    waitpid(echo, nullptr, 0);
}

BENCHMARK(BM_McallPing)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_KernelHook)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_RawSocketPair)->Unit(benchmark::kMicrosecond)->UseRealTime();

class RatioReporter : public benchmark::ConsoleReporter
{
  public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs)
            times_[r.benchmark_name()] = r.GetAdjustedRealTime();
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        double m = times_["BM_McallPing/real_time"], raw = times_["BM_RawSocketPair/real_time"];
        if (m > 0 && raw > 0)
            printf("MC_PING through oskcall: %.1f us, raw round trip: %.1f us, ratio %.2f (goal <= "
                   "3)\n",
                   m, raw, m / raw);
    }

  private:
    std::map<std::string, double> times_;
};

} // namespace

int main(int argc, char **argv)
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return 1;
    self[n] = '\0';
    *strrchr(self, '/') = '\0';
    if (!setup(self)) {
        fprintf(stderr, "mcall_bench: could not start the module daemon and the manager\n");
        teardown();
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    teardown();
    return 0;
}
