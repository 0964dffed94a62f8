/*
 * osk-cluster's answers to mistakes: each a line naming the problem and the
 * way out, with a non-zero status; its help for anyone; and an interrupted
 * `up` that takes down what it started.
 */
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_cluster.h"

#include "osk_banned.h"

using ::testing::HasSubstr;

namespace
{

struct cli_case {
    std::vector<std::string> args;
    int status;
    std::string err; /* exact standard error; DIR stands for the cluster folder */
};

std::string with_dir(std::string text, const std::string &dir)
{
    for (size_t at; (at = text.find("DIR")) != std::string::npos;)
        text.replace(at, 3, dir);
    return text;
}

std::string joined(const std::vector<std::string> &args)
{
    std::string s;
    for (const std::string &a : args)
        s += " " + a;
    return s;
}

void check_cases(const std::string &dir, const std::vector<cli_case> &cases)
{
    for (const cli_case &c : cases) {
        run_result r = test_cluster_cli(dir, c.args);
        EXPECT_EQ(r.status, c.status) << "osk-cluster" << joined(c.args) << "\n" << r.err;
        EXPECT_EQ(r.err, with_dir(c.err, dir)) << "osk-cluster" << joined(c.args);
    }
}

/* Running, or stopped: not gone, and not a zombie no one reaped yet. */
bool alive(int pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t paren = line.rfind(')');
    return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] != 'Z';
}

const char NO_CLUSTER[] = "osk-cluster: no cluster in DIR; start one with osk-cluster up\n";

TEST(ClusterCli, MistakesWithoutAClusterAreAnsweredInOneLine)
{
    std::string dir = test_cluster_dir("cli");
    check_cases(
        dir,
        {
            {{}, 2, "osk-cluster: no command given; osk-cluster --help lists them\n"},
            {{"stauts"}, 2, "osk-cluster: unknown command stauts; osk-cluster --help lists them\n"},
            {{"exec", "0", "--", "true"}, 1, NO_CLUSTER},
            {{"reboot", "1"}, 1, NO_CLUSTER},
            {{"status"}, 1, NO_CLUSTER},
            {{"timeline"}, 1, NO_CLUSTER},
            {{"exports"}, 1, NO_CLUSTER},
            {{"sysmgr", "journal"}, 1, NO_CLUSTER},
            {{"events"}, 1, NO_CLUSTER},
            {{"exec"},
             2,
             "osk-cluster: exec needs a node and a command: osk-cluster exec NODE -- CMD\n"},
            {{"reboot"}, 2, "osk-cluster: reboot takes one node: osk-cluster reboot NODE\n"},
            {{"reboot", "1", "2"},
             2,
             "osk-cluster: reboot takes one node: osk-cluster reboot NODE\n"},
            {{"status", "-v"}, 2, "osk-cluster: status takes no arguments\n"},
            {{"down", "now"}, 2, "osk-cluster: down takes no arguments\n"},
            {{"timeline", "--svg"}, 2, "osk-cluster: timeline takes --svg FILE or --follow\n"},
            {{"up", "--nodes", "3x"},
             2,
             "osk-cluster: --nodes takes a number from 1 to 8, not \"3x\"\n"},
            {{"up", "--nodes=9"},
             2,
             "osk-cluster: --nodes takes a number from 1 to 8, not \"9\"\n"},
            {{"up", "--nodes="}, 2, "osk-cluster: --nodes takes a number from 1 to 8, not \"\"\n"},
            {{"up", "--nodes"},
             2,
             "osk-cluster: --nodes needs a value (osk-cluster --help shows it)\n"},
            {{"up", "--base"},
             2,
             "osk-cluster: --base needs a value (osk-cluster --help shows it)\n"},
            {{"up", "--nodes", "2", "--verbose"},
             2,
             "osk-cluster: up does not take --verbose (osk-cluster --help lists its options)\n"},
            {{"up", "--owner", "12x"}, 2, "osk-cluster: no process 12x to own the cluster\n"},
        });
    struct stat st;
    EXPECT_NE(stat(dir.c_str(), &st), 0) << "a refused command made " << dir;
}

TEST(ClusterCli, HelpIsForAnyoneTheRestForRoot)
{
    std::string dir = test_cluster_dir("clihelp");
    child_opts nobody;
    nobody.env = {"OSK_CLUSTER_DIR=" + dir};
    nobody.setup = [] {
        if (setgid(65534) < 0 || setuid(65534) < 0)
            _exit(126);
    };
    run_result help = child_run({build_program("osk-cluster"), "--help"}, nobody);
    EXPECT_EQ(help.status, 0) << help.err;
    EXPECT_EQ(help.err, "");
    for (const char *o : {"--nodes=N", "--base", "--owner", "--follow", "exec", "timeline"})
        EXPECT_THAT(help.out, HasSubstr(o));
    run_result status = child_run({build_program("osk-cluster"), "status"}, nobody);
    EXPECT_EQ(status.status, 1);
    EXPECT_EQ(status.err, "osk-cluster: status must be run as root (sudo osk-cluster status)\n");
}

TEST(ClusterCli, MistakesOnARunningClusterAndOneWhoseSupervisorDied)
{
    std::string dir = test_cluster_dir("clirun"), why;
    ASSERT_EQ(test_cluster_up(dir, 2, &why), 0) << why;
    const char no_node[] = "osk-cluster: no node %s in the cluster of 2 nodes (0 to 1)\n";
    auto bad_node = [&](const char *n) {
        char t[128];
        snprintf(t, sizeof t, no_node, n);
        return std::string(t);
    };
    check_cases(dir, {
                         {{"reboot", "2"}, 2, bad_node("2")},
                         {{"reboot", "node9"}, 2, bad_node("node9")},
                         {{"reboot", "-1"}, 2, bad_node("-1")},
                         {{"exec", "1x", "--", "true"}, 2, bad_node("1x")},
                         {{"exec", "0"},
                          2,
                          "osk-cluster: exec needs a command after the node: osk-cluster exec "
                          "NODE -- CMD\n"},
                         {{"exec", "node1", "--", "exit 3"}, 3, ""},
                     });

    /* Every process of the cluster dies with its supervisor. */
    std::vector<int> pids = test_cluster_pids(dir);
    ASSERT_FALSE(pids.empty());
    ASSERT_EQ(kill(pids[0], SIGKILL), 0);
    ASSERT_TRUE(wait_for_condition(200, 100, [&] { return !alive(pids[0]); }));
    const std::string gone = "osk-cluster: the cluster in DIR is not running (its supervisor is "
                             "gone); osk-cluster down clears it away, osk-cluster up starts a new "
                             "one\n";
    check_cases(dir, {
                         {{"status"}, 1, gone},
                         {{"exec", "0", "--", "true"}, 1, gone},
                         {{"reboot", "0"}, 1, gone},
                     });
    EXPECT_EQ(test_cluster_down(dir), 0);
}

/* Ctrl-C reaches the whole foreground group of `up`, as a terminal sends it. */
TEST(ClusterCli, InterruptedUpTakesDownWhatItStarted)
{
    std::string dir = test_cluster_dir("cliint");
    std::future<run_result> up = std::async(std::launch::async, [&] {
        return test_cluster_cli(dir, {"up", "--nodes", "2", "--owner", std::to_string(getpid())});
    });
    std::vector<int> pids;
    bool started = wait_for_condition(600, 50, [&] {
        pids = test_cluster_pids(dir);
        return !pids.empty() || up.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    });
    ASSERT_TRUE(started && !pids.empty()) << "up ended before its supervisor started";
    /* The supervisor's parent is `up`, which leads its own process group. */
    int up_pid = 0;
    {
        std::ifstream stat("/proc/" + std::to_string(pids[0]) + "/stat");
        std::string line;
        std::getline(stat, line);
        size_t paren = line.rfind(')');
        ASSERT_NE(paren, std::string::npos);
        ASSERT_EQ(sscanf(line.c_str() + paren + 2, "%*c %d", &up_pid), 1) << line;
    }
    ASSERT_GT(up_pid, 1);
    (void)kill(-up_pid, SIGINT);
    run_result r = up.get();
    if (r.status == 0) {
        /* It was up already: the signal came too late to test anything. */
        EXPECT_EQ(test_cluster_down(dir), 0);
        GTEST_SKIP() << "the cluster was up before the interrupt";
    }
    EXPECT_EQ(r.signal, SIGINT) << r.status << "\n" << r.err;
    EXPECT_THAT(r.err,
                HasSubstr("osk-cluster: interrupted; taking down what up started in " + dir));
    struct stat st;
    EXPECT_NE(stat(dir.c_str(), &st), 0) << dir << " is still there";
    for (int p : test_cluster_pids(dir))
        ADD_FAILURE() << "process " << p << " of the cluster is left";
    EXPECT_FALSE(alive(pids[0])) << "the supervisor is left";
}

} // namespace
