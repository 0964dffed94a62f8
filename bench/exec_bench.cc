/*
 * The cost of running a command through the logged child engine against
 * the bare minimum a caller could do: fork, exec and read both pipes.
 * Every output line of a logged child becomes a time-stamped record in the
 * run log, so the engine is expected to cost more per line; this shows by
 * how much. The ratios to the bare run are printed at the end.
 *
 *   build/bin/exec_bench [--benchmark_min_time=...]
 */
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>

#include <benchmark/benchmark.h>

#include "ulog.h"
#include "update.h"

#include "osk_banned.h"

namespace
{

/* What the child prints: LINES lines of 80 characters on standard output. */
std::string command(int64_t lines)
{
    return "yes 'abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvw' | "
           "head -n " +
           std::to_string(lines);
}

/* fork, exec /bin/sh -c, read both pipes to their end, wait. */
size_t bare_run(const std::string &cmd)
{
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        abort();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        execl("/bin/sh", "sh", "-c", cmd.c_str(), (char *)NULL);
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    struct pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    size_t total = 0;
    for (int open_fds = 2; open_fds > 0;) {
        if (poll(p, 2, -1) < 0)
            continue;
        for (auto &f : p) {
            if (f.fd < 0 || !f.revents)
                continue;
            char buf[16384];
            ssize_t n = read(f.fd, buf, sizeof(buf));
            if (n > 0) {
                total += (size_t)n;
            } else {
                close(f.fd);
                f.fd = -1;
                open_fds--;
            }
        }
    }
    int st;
    waitpid(pid, &st, 0);
    return total;
}

void BM_Bare(benchmark::State &state)
{
    std::string cmd = command(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(bare_run(cmd));
}

void BM_Logged(benchmark::State &state)
{
    std::string cmd = command(state.range(0));
    char *argv[] = {(char *)SHELL_PROGRAM, (char *)"-c", (char *)cmd.c_str(), NULL};
    for (auto _ : state)
        benchmark::DoNotOptimize(ulog_execv(argv, NULL, NULL));
}

BENCHMARK(BM_Bare)->Arg(1)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Logged)->Arg(1)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

/* Prints each logged run's time as a multiple of the bare run with the same output. */
class RatioReporter : public benchmark::ConsoleReporter
{
  public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            std::string name = r.benchmark_name();
            times_[name] = r.GetAdjustedRealTime();
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        for (const char *arg : {"1", "10000"}) {
            std::string suffix = std::string("/") + arg + "/real_time";
            double bare = times_["BM_Bare" + suffix], logged = times_["BM_Logged" + suffix];
            if (bare > 0)
                printf("logged/bare with %s line%s of output: %.2f\n", arg, arg[1] ? "s" : "",
                       logged / bare);
        }
    }

  private:
    std::map<std::string, double> times_;
};

} // namespace

int main(int argc, char **argv)
{
    char log[] = "/tmp/exec-bench-log.XXXXXX";
    int fd = mkstemp(log);
    if (fd < 0)
        return 1;
    close(fd);
    logfilename = log;

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    unlink(log);
    return 0;
}
