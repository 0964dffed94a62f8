/*
 * Restarts through the system manager on simulated clusters of four nodes,
 * run as an operator runs them: the export inventory, the rolling-type
 * question, the standard and the simple rolling upgrade, and the manager's
 * shutdown before a full restart. Judged by the console, the exit status,
 * the manager's journal, which nodes restarted into which root, and the
 * exports the hosts saw served while it ran.
 *
 * Every node starts on root A with release 2.2.2.164 (TOC 26, handshake 5).
 * The rolling restarts wait as the field does (5-second polls, 15 seconds
 * between the nodes of a simple rolling upgrade), so they are few.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stop_token>
#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mkrelease.h"
#include "test_cluster.h"

#include "osk_banned.h"

using ::testing::HasSubstr;
using ::testing::Not;

static const char new_release[] = "2.2.3.10";

class Rolling : public ::testing::Test
{
  protected:
    std::string dir;
    int nnodes = 4;

    void SetUp() override
    {
        dir = test_cluster_dir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override
    {
        stop_sampling();
        EXPECT_EQ(test_cluster_down(dir), 0);
    }

    /* Four nodes; the manager registered unless the cluster has none. */
    void up(bool sysmgr = true)
    {
        std::vector<std::string> args = {"up", "--nodes", std::to_string(nnodes)};
        if (!sysmgr)
            args.push_back("--no-sysmgr");
        run_result r = test_cluster_cli(dir, args);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        ASSERT_TRUE(cluster_back());
        if (sysmgr) {
            ASSERT_TRUE(wait_for_condition(200, 100, [&] { return sysmgr_up(); }));
        }
    }
    bool sysmgr_up()
    {
        run_result r = test_cluster_cli(dir, {"status"});
        return r.out.find("sysmgr=up") != std::string::npos;
    }
    void knob(const std::string &name, const std::string &value)
    {
        run_result r = test_cluster_cli(dir, {"sysmgr", "set", name, value});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    std::vector<std::string> journal()
    {
        std::vector<std::string> lines;
        std::istringstream in(test_cluster_cli(dir, {"sysmgr", "journal"}).out);
        for (std::string l; std::getline(in, l);)
            lines.push_back(l);
        return lines;
    }

    /* Release 2.2.3.10 (osk, osk-base, osk-tools) as pkghost:/NAME, with TOC
     * 27, handshake H and any further osk-mkrelease options. */
    void release(const std::string &name, int handshake = 5,
                 const std::vector<std::string> &more = {})
    {
        std::string v = new_release;
        std::vector<std::string> args = {"-o",          dir + "/pkghost/" + name,
                                         "--release",   v,
                                         "--package",   "osk=" + v + "-1",
                                         "--depends",   "osk-base (= " + v + "-1)",
                                         "--toc",       "27",
                                         "--handshake", std::to_string(handshake),
                                         "--package",   "osk-base=" + v + "-1",
                                         "--package",   "osk-tools=" + v + "-1"};
        args.insert(args.end(), more.begin(), more.end());
        std::string err;
        ASSERT_EQ(mkrel_make(args, &err), 0) << err;
    }

    std::string supervisor_log()
    {
        std::ifstream f(dir + "/supervisor.log");
        std::stringstream ss;
        ss << f.rdbuf();
        return "supervisor.log:\n" + ss.str();
    }
    std::string run(int node, const std::string &cmd, int want = 0)
    {
        return test_cluster_run(dir, node, cmd, want);
    }
    int update(int node, const std::string &args, std::string *console)
    {
        return test_cluster_update(dir, node, args, console);
    }

    /* An update that restarts the node it runs on may lose its session
     * with that node: then the console says so. */
    void update_restarting(int node, const std::string &args, std::string *console)
    {
        if (update(node, args, console) != 0) {
            EXPECT_THAT(*console, HasSubstr("Connection reset by peer")) << *console;
        }
    }

    void mark_boot()
    {
        test_cluster_mark_boot(dir, nnodes);
    }
    bool same_boot(int node)
    {
        return test_cluster_same_boot(dir, node);
    }
    bool cluster_back()
    {
        return test_cluster_all_up(dir, nnodes);
    }
    std::string roots()
    {
        return test_cluster_roots(dir);
    }

    /* What the hosts saw while a restart ran, sampled in the background:
     * the most exports unserved at one moment. */
    std::jthread sampler;
    std::atomic<int> samples{0}, most_unserved{0};

    void start_sampling()
    {
        sampler = std::jthread([this](std::stop_token stop) {
            std::mutex m;
            std::condition_variable_any pause;
            while (!stop.stop_requested()) {
                run_result r = test_cluster_cli(dir, {"exports"});
                int exports = 0, served = 0, unserved = -1;
                size_t last = r.out.rfind("exports ");
                if (last != std::string::npos &&
                    sscanf(r.out.c_str() + last, "exports %d served %d unserved %d", &exports,
                           &served, &unserved) == 3 &&
                    unserved > most_unserved)
                    most_unserved = unserved;
                samples++;
                /* Leave the machine to the restart being watched. */
                std::unique_lock<std::mutex> lock(m);
                pause.wait_for(lock, stop, std::chrono::milliseconds(200), [] { return false; });
            }
        });
    }
    void stop_sampling()
    {
        sampler.request_stop();
        if (sampler.joinable())
            sampler.join();
    }
};

/* The most nodes away at one moment, from the supervisor's own record of
 * every node leaving and coming back: a sample could miss a short reboot. */
static int most_nodes_out(const std::string &dir)
{
    std::ifstream log(dir + "/supervisor.log");
    std::set<int> out;
    size_t most = 0;
    for (std::string l; std::getline(log, l);) {
        size_t at = l.find("node ");
        int n;
        char what[32];
        if (at == std::string::npos || sscanf(l.c_str() + at, "node %d: %31s", &n, what) != 2)
            continue;
        if (strcmp(what, "rebooting") == 0 || strcmp(what, "died") == 0)
            out.insert(n);
        else if (strcmp(what, "up") == 0)
            out.erase(n);
        most = std::max(most, out.size());
    }
    return (int)most;
}

/* Position of the first line of text holding what, or npos. */
static size_t at(const std::string &text, const std::string &what)
{
    return text.find(what);
}

static std::string golden(const char *name)
{
    std::ifstream f(std::string(OSK_SOURCE_DIR) + "/tests/cluster/" + name);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

/* Neither question installs anything: the inventory for a node mask, and
 * which rolling upgrade a release allows from what the nodes run. */
TEST_F(Rolling, InventoryAndRollingTypeOfThreeReleases)
{
    up();
    std::string console;
    ASSERT_EQ(update(0, "--dumpvluns 0x5", &console), 0) << console;
    const std::string want = golden("dumpvluns_0x5.golden");
    EXPECT_EQ(run(0, "cat /tmp/present_vluns"), want);
    for (int n = 0; n < nnodes; n++) {
        if (n == 0 || n == 2)
            EXPECT_EQ(run(n, "cat /altroot/present_vluns"), want) << "node " << n;
        else
            run(n, "test -e /altroot/present_vluns", 1);
    }

    release("std.tgz");
    release("simple.tgz", 5, {"--simple-list", "2.2.2.164"});
    release("far.tgz", 7);
    EXPECT_EQ(update(1, "--check-rolling-type --rcp pkghost:/std.tgz", &console), 0);
    EXPECT_THAT(console, HasSubstr("Upgrades from 2.2.2.164-1 to 2.2.3.10-1 will perform a "
                                   "standard rolling upgrade.\n"));
    EXPECT_EQ(update(1, "--check-rolling-type --rcp pkghost:/simple.tgz", &console), 0);
    EXPECT_THAT(console, HasSubstr("Upgrades from 2.2.2.164-1 to 2.2.3.10-1 will perform a "
                                   "simple rolling upgrade.\n"));
    EXPECT_EQ(update(1, "--check-rolling-type --rcp pkghost:/far.tgz", &console), 0);
    EXPECT_THAT(console, HasSubstr("The difference in the handshake versions is too great.  A "
                                   "rolling upgrade from\n 2.2.2.164 to  2.2.3.10 can not be "
                                   "performed.\n"));
    EXPECT_THAT(console, Not(HasSubstr("Upgrades from")));
    /* Nothing went to the nodes or to the manager. */
    EXPECT_EQ(roots(), "AA AA AA AA");
    for (auto &l : journal())
        EXPECT_THAT(l, Not(HasSubstr("shutdown")));
}

/* Nodes 0 and 2 restart into the new root, node 0 (running update) last;
 * their partners 1 and 3 keep the old one and serve every export meanwhile. */
TEST_F(Rolling, StandardRollingRestartsTheExpeditionWhileThePartnersServe)
{
    up();
    release("r.tgz");
    mark_boot();
    start_sampling();
    std::string console;
    update_restarting(0, "--rolling 0x5 --rcp pkghost:/r.tgz", &console);
    EXPECT_THAT(console, HasSubstr("The following nodes will be updated first: 0 2\n"));
    EXPECT_THAT(console, HasSubstr("Preparing system inventory for upgrade\n"));
    EXPECT_LT(at(console, "Requesting reboot of node 2"),
              at(console, "Requesting reboot of node 0"))
        << console;
    EXPECT_THAT(console, Not(HasSubstr("Update failed")));

    ASSERT_TRUE(wait_for_condition(240, 250, [&] { return !same_boot(0) && !same_boot(2); }))
        << console << "\n"
        << supervisor_log();
    ASSERT_TRUE(cluster_back());
    stop_sampling();
    EXPECT_EQ(roots(), "BB AA BB AA");
    EXPECT_TRUE(same_boot(1));
    EXPECT_TRUE(same_boot(3));
    EXPECT_GT(samples, 3);
    EXPECT_EQ(most_unserved, 0);

    std::vector<std::string> requests;
    for (auto &l : journal())
        if (l != "ping")
            requests.push_back(l);
    EXPECT_THAT(requests, ::testing::ElementsAre(
                              "prep_update", "shutdown node 2 toc=0 force=1 type=2 is_update=1",
                              "shutdown node 0 toc=0 force=1 type=2 is_update=1"));
    /* The new root of each expedition node holds the inventory. */
    const std::string inventory = run(0, "cat /present_vluns");
    EXPECT_THAT(inventory, HasSubstr("VERSION 4\n"));
    EXPECT_EQ(run(2, "cat /present_vluns"), inventory);
    run(1, "test -e /present_vluns || test -e /altroot/present_vluns", 1);
}

/* From node 0: 3, 1, 2, then 0 itself, each only once the one before has
 * rejoined with its exports, so no more than one node is ever away. */
TEST_F(Rolling, SimpleRollingRestartsOneNodeAtATimeInOrder)
{
    up();
    release("r.tgz");
    mark_boot();
    start_sampling();
    std::string console;
    update_restarting(0, "--simple --rcp pkghost:/r.tgz", &console);
    ASSERT_TRUE(wait_for_condition(240, 250, [&] { return !same_boot(0); })) << console;
    ASSERT_TRUE(cluster_back());
    stop_sampling();

    EXPECT_EQ(roots(), "BB BB BB BB");
    size_t pos = 0;
    for (int n : {3, 1, 2}) {
        std::string node = std::to_string(n);
        for (const std::string &step :
             std::vector<std::string>{"Requesting node shutdown. Node: " + node,
                                      "Waiting for node " + node + " to rejoin cluster...",
                                      "Done locating vluns: ", "Done waiting for node to reboot"}) {
            size_t p = console.find(step, pos);
            ASSERT_NE(p, std::string::npos) << step << "\n" << console;
            pos = p;
        }
    }
    EXPECT_NE(console.find("Rebooting final node.\nRequesting node shutdown. Node: 0", pos),
              std::string::npos)
        << console;
    EXPECT_THAT(console, Not(HasSubstr("timed out")));
    EXPECT_EQ(most_nodes_out(dir), 1);
    EXPECT_EQ(most_unserved, 0);
}

/* Every node restarts only after the manager agreed to shut the system
 * down. A refusal ends the run with 32 and nothing restarted, also for a
 * revert whose options name the running root; a manager still starting
 * refuses too, and the operator's re-run once it is up goes through,
 * converting to the release's TOC version. */
TEST_F(Rolling, FullRestartWaitsForTheSystemManagerShutdown)
{
    up();
    release("r.tgz");
    mark_boot();
    std::string console;

    knob("refuse_shutdown", "1");
    EXPECT_EQ(update(1, "--revert --retain-root", &console), 32) << console;
    EXPECT_THAT(console, HasSubstr("Requesting system shutdown. TOC Version set to: 26\n"));
    EXPECT_THAT(console, HasSubstr("There was an error in trying to get the system manager to "
                                   "reboot the system.\nStatus: 0x"));
    EXPECT_THAT(console, HasSubstr("Update failed.\n"));
    knob("refuse_shutdown", "0");

    knob("slow_start", "100000");
    EXPECT_EQ(update(0, "--rcp pkghost:/r.tgz", &console), 32) << console;
    EXPECT_THAT(console, HasSubstr("The system manager refused to shut down the system due to it "
                                   "not having fully\nstarted.  Verify this with 'showsysmgr', "
                                   "then re-run update with\nthe --nosysmgr option."));
    for (int n = 0; n < nnodes; n++)
        EXPECT_TRUE(same_boot(n)) << "node " << n;
    EXPECT_EQ(roots(), "AA AA AA AA");

    knob("slow_start", "0");
    update_restarting(0, "--rcp pkghost:/r.tgz", &console);
    EXPECT_THAT(console, HasSubstr("System manager toc conversion requested from current version "
                                   "0 to version 27\n"));
    size_t shutdown = at(console, "Requesting system shutdown. TOC Version set to: 27\n");
    ASSERT_NE(shutdown, std::string::npos) << console;
    EXPECT_LT(shutdown, at(console, "Finished shutting down sysmgr."));
    EXPECT_LT(at(console, "Finished shutting down sysmgr."), at(console, "Rebooting."));
    ASSERT_TRUE(wait_for_condition(240, 250, [&] { return !same_boot(0); })) << console;
    ASSERT_TRUE(cluster_back());
    EXPECT_EQ(roots(), "BB BB BB BB");
    EXPECT_THAT(journal(),
                ::testing::Contains("shutdown system toc=27 force=1 type=2 is_update=1"));
}

/* No manager registered (129 at connection): the full update goes on
 * without a single management call. */
TEST_F(Rolling, WithoutSystemManagerAFullUpdateGoesOn)
{
    up(false);
    release("r.tgz");
    mark_boot();
    std::string console;
    update_restarting(0, "--rcp pkghost:/r.tgz", &console);
    EXPECT_THAT(console, HasSubstr("Rebooting."));
    EXPECT_THAT(console, Not(HasSubstr("sysmgr")));
    EXPECT_THAT(console, Not(HasSubstr("system manager")));
    ASSERT_TRUE(wait_for_condition(240, 250, [&] { return !same_boot(0); })) << console;
    ASSERT_TRUE(cluster_back());
    EXPECT_EQ(roots(), "BB BB BB BB");
}
