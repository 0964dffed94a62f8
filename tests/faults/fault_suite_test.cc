/*
 * The fault suite: whole-cluster updates on simulated clusters of 4 and 8
 * nodes while `osk-cluster fault` breaks nodes, rsh, the scratch space,
 * dpkg and the release, and while `update` itself is killed. Each case is
 * judged as an operator would judge it: the exit status and message on the
 * console, the running root of every node byte for byte as before (the
 * target is the alternate root), the run log kept whole, and the next run
 * succeeding. The suite ends with one table of every fault.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cluster_fixture.h"

#include "osk_banned.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace
{

const char BANNER[] = "Update failed.\nCheck /var/log/osk/update for details.\n";

/* The remote shell of the cluster the rows are about. */
std::string row_shell = test_cluster_shell();

struct row {
    std::string fault, where;
    int status;
    bool roots_same, next_ok;
    std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::string shell = row_shell;
};
std::vector<row> table;

/* Each case runs in a process of its own under ctest, so each process
 * leaves its rows in tests/fault-summary.d/ and tools/test puts the table
 * together (the header is the folder's first file); run by hand, the
 * process also prints what it has. */
class FaultTable : public ::testing::Environment
{
    void TearDown() override
    {
        char head[256];
        snprintf(head, sizeof head, "\n%-50s | %-5s | %-28s | %4s | %-23s | %s\n", "fault", "shell",
                 "where it fired", "exit", "running roots unchanged", "next run");
        std::string h = head + std::string(136, '-') + "\n", rows;
        for (auto &r : table) {
            char line[512];
            snprintf(line, sizeof line, "%-50.50s | %-5s | %-28.28s | %4d | %-23s | %s\n",
                     r.fault.c_str(), r.shell.c_str(), r.where.c_str(), r.status,
                     r.roots_same ? "yes" : "NO", r.next_ok ? "succeeded" : "FAILED");
            rows += line;
        }
        printf("%s%s", h.c_str(), rows.c_str());
        if (table.empty())
            return;
        std::string d = std::string(OSK_BUILD_DIR) + "/tests/fault-summary.d";
        (void)mkdir(d.c_str(), 0755);
        std::ofstream(d + "/0-header") << h;
        std::ofstream(d + "/" + table.front().test + "-" + table.front().shell) << rows;
    }
};
[[maybe_unused]] const auto *env = ::testing::AddGlobalTestEnvironment(new FaultTable);

/* A cluster of its own per test, with the helpers the cases share. */
class Faults : public ClusterTest
{
  protected:
    std::vector<std::string> sums; /* running root of every node before a case */
    std::vector<char> running;

    /* Runs in flight beside the test; the cluster going down ends them, so
     * a test that stops early still joins them here, never in a destructor
     * that would end the whole suite. */
    std::vector<std::jthread> runs;

    void up(int n, const char *shell = nullptr)
    {
        row_shell = shell ? shell : test_cluster_shell();
        ClusterTest::up(n, shell);
    }
    void TearDown() override
    {
        ClusterTest::TearDown();
        runs.clear();
        EXPECT_TRUE(test_cluster_host_mounts(dir).empty());
        EXPECT_NE(access(dir.c_str(), F_OK), 0) << "left behind: " << dir;
    }
    /* A release whose install holds on NODE until the test lets it go:
     * once held() says so, a fault meant for the install step lands there.
     * It holds once: the repair of a later verify runs the script again. */
    void held_release(const std::string &name, int node)
    {
        std::string n = std::to_string(node), mark = "/var/tmp/held-" + name;
        release(name, "2.2.3.10",
                {"--postinst", "[ \"$(hostname)\" != node" + n + " ] || [ -e " + mark +
                                   " ] || { touch " + mark + "; i=0; while [ ! -e /var/tmp/go-" +
                                   name +
                                   " ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done; }"});
    }
    bool held(int node, const std::string &name)
    {
        return wait_for_condition(480, 250, [&] {
            return test_cluster_exec(dir, node, "test -e /altroot/var/tmp/held-" + name) == 0;
        });
    }
    void let_go(int node, const std::string &name)
    {
        EXPECT_EQ(test_cluster_exec(dir, node, "touch /altroot/var/tmp/go-" + name), 0);
    }
    run_result cli(const std::vector<std::string> &args)
    {
        return test_cluster_cli(dir, args);
    }
    /* Arms a fault (its words after "fault"); returns its id, "F<n>". */
    std::string fault(const std::vector<std::string> &words)
    {
        std::vector<std::string> a = {"fault"};
        a.insert(a.end(), words.begin(), words.end());
        run_result r = cli(a);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        return r.out.substr(0, r.out.find_first_of(" :"));
    }
    /* When the armed faults fired ("+<ms>" each, from `fault list`). */
    std::string fired()
    {
        std::string out = cli({"fault", "list"}).out, where;
        for (size_t at = 0; (at = out.find(": fired +", at)) != std::string::npos; at++) {
            size_t end = out.find("ms", at);
            where += (where.empty() ? "+" : ",+") + out.substr(at + 9, end - at - 9) + "ms";
        }
        return where.empty() ? "not fired" : where;
    }
    std::string fired_and_clear()
    {
        std::string where = fired();
        EXPECT_EQ(cli({"fault", "clear"}).status, 0);
        return where;
    }
    void remember_roots()
    {
        sums.clear();
        running.clear();
        for (auto &s : status())
            running.push_back(s.root);
        for (int n = 0; n < nnodes; n++)
            sums.push_back(test_cluster_root_sum(dir, n, running[n]));
    }
    bool roots_unchanged()
    {
        bool same = true;
        for (int n = 0; n < nnodes; n++)
            if (test_cluster_root_sum(dir, n, running[n]) != sums[n]) {
                ADD_FAILURE() << "running root " << running[n] << " of node " << n << " changed";
                same = false;
            }
        return same;
    }
    /* No update, dpkg or apt left working on any node that is up (a killed
     * run's children finish on their own). */
    bool quiet()
    {
        return wait_for_condition(240, 250, [&] {
            for (int n = 0; n < nnodes; n++) {
                if (!peek(n, test_cluster_busy("update|dpkg|apt-get|rsh")).empty())
                    return false;
            }
            return true;
        });
    }
    /* A run that ends in the restart of every node: the session may be
     * reset by the reboot of the node it runs on. */
    bool full_update(int node, const std::string &args, std::string *console)
    {
        int st = update(node, args, console);
        bool ok = (st == 0 || console->find("Connection reset by peer") != std::string::npos) &&
                  console->find("Rebooting.") != std::string::npos &&
                  console->find("Update failed.") == std::string::npos;
        return cluster_back() && ok;
    }
    /* One failing case: fault words, the expected exit status and console
     * text; checks the roots and records the row. */
    void failing_case(const std::string &name, const std::vector<std::vector<std::string>> &faults,
                      const std::string &args, int want, const std::string &text, int node = 0)
    {
        remember_roots();
        for (auto &f : faults)
            fault(f);
        std::string console;
        int st = update(node, args, &console);
        std::string where = fired_and_clear();
        EXPECT_EQ(st, want) << name << "\n" << console;
        EXPECT_THAT(console, HasSubstr(text)) << name;
        EXPECT_THAT(console, HasSubstr(BANNER)) << name;
        EXPECT_TRUE(quiet());
        table.push_back({name, where, st, roots_unchanged(), false});
    }
    /* A run whose child on NODE was lost mid-install: over Debian's rsh
     * it passes for done and the run stops at that node's boot loader;
     * over ssh the child's run failed. */
    void expect_lost_child(int status, const std::string &console, int node)
    {
        if (test_cluster_shell() == "ssh") {
            EXPECT_EQ(status, 28) << console;
            EXPECT_THAT(console, HasSubstr("Update of node " + std::to_string(node) + " failed."));
        } else {
            EXPECT_EQ(status, 25) << console;
            EXPECT_THAT(console, HasSubstr("lilo did not complete successfully!"));
        }
    }
    /* A run from node 0 held in NODE's install while the fault WORDS
     * strikes there; once it ended, NODE is let go and the row recorded.
     * The run's status. */
    int held_case(const std::string &name, const std::vector<std::string> &words, int node,
                  std::string *console)
    {
        std::string rel = "held" + std::to_string(table.size()) + ".tgz";
        held_release(rel, node);
        remember_roots();
        int st = -1;
        runs.emplace_back([&] { st = update(0, "--rcp pkghost:/" + rel, console); });
        EXPECT_TRUE(held(node, rel));
        fault(words);
        runs.back().join();
        std::string where = fired_and_clear();
        let_go(node, rel);
        EXPECT_TRUE(quiet());
        table.push_back({name, where, st, roots_unchanged(), false});
        return st;
    }
    /* The run after failing cases: it must succeed for all of them. */
    void next_run_succeeds(size_t first_row, int node, const std::string &args)
    {
        std::string before = run_log(node), console;
        bool ok = full_update(node, args, &console);
        EXPECT_TRUE(ok) << console;
        /* The run log is whole: the failed runs' records are still there. */
        std::string after = peek(node, "cat /altroot/var/log/osk/update");
        EXPECT_EQ(after.compare(0, before.size(), before), 0) << "run log lost records";
        for (size_t i = first_row; i < table.size(); i++)
            table[i].next_ok = ok;
    }
};

/* Faults of nodes, rsh, dpkg, the scratch space and the release, one after
 * another on four nodes; none may touch a running root, and the run after
 * them all succeeds. */
TEST_F(Faults, NodeNetworkDpkgScratchAndReleaseFaultsOnFourNodes)
{
    up(4);
    release("r.tgz", "2.2.3.10");
    size_t first = table.size();

    held_release("held2.tgz", 2);
    remember_roots();
    std::string console;
    runs.emplace_back([&] {
        table.push_back({"node 2 crashes during the install", "",
                         update(0, "--rcp pkghost:/held2.tgz", &console), false, false});
    });
    ASSERT_TRUE(held(2, "held2.tgz"));
    fault({"crash", "2"});
    runs.back().join();
    table.back().where = "while node 2 installs";
    /* Debian's rsh carries no exit status: node 2's run seems to have
     * ended well, and the run stops where it next needs node 2. Over ssh
     * the lost child is a failed one. */
    expect_lost_child(table.back().status, console, 2);
    EXPECT_THAT(console, HasSubstr(BANNER));
    EXPECT_EQ(cli({"fault", "clear"}).status, 0);
    ASSERT_EQ(test_cluster_reboot(dir, 2), 0);
    ASSERT_TRUE(cluster_back());
    EXPECT_TRUE(quiet());
    table.back().roots_same = roots_unchanged();

    failing_case("rsh to node 3 fails", {{"rsh-fail", "3", "--at-log", "0", "Verify finished"}},
                 "--rcp pkghost:/r.tgz", 28, "Update of node 3 failed.");
    failing_case("rsh to node 1 fails at start", {{"rsh-fail", "1"}}, "--rcp pkghost:/r.tgz", 1,
                 "Not all nodes are currently accessible.");
    failing_case("nodes 2, 3 cut off from 0, 1 and the package host", {{"partition", "2,3"}},
                 "--rcp pkghost:/r.tgz", 1, "Not all nodes are currently accessible.");
    failing_case("dpkg fails on osk-tools of node 2", {{"dpkg-fail", "2", "osk-tools"}},
                 "--rcp pkghost:/r.tgz", 28, "Update of node 2 failed.");
    failing_case("scratch space of node 0 full",
                 {{"scratch-full", "0", "--size", "65536", "--free", "4096"}},
                 "--rcp pkghost:/r.tgz", 4, "Checksums did not match - corrupted file.");
    failing_case("release truncated on the package host", {{"truncate", "r.tgz"}},
                 "--rcp pkghost:/r.tgz", 4, "Checksums did not match - corrupted file.");
    remember_roots();
    fault({"corrupt", "r.tgz"});
    int st = update(1, "--rcp pkghost:/r.tgz", &console);
    std::string where = fired_and_clear();
    EXPECT_TRUE(st == 3 || st == 4) << console;
    EXPECT_THAT(console, HasSubstr("corrupted file.")) << console;
    table.push_back(
        {"release bit-flipped on the package host", where, st, roots_unchanged(), false});

    /* A stalled rsh holds the run (no time limit applies to a node's run);
     * once it answers, the run goes on to its end. Node 3 crashes while
     * the nodes restart and comes back on its own reboot. */
    remember_roots();
    std::string stall = fault({"rsh-stall", "3", "--at-log", "0", "Finished handling other nodes"});
    fault({"crash", "2", "--at-log", "0", "Rebooting."});
    std::string before = run_log(0);
    runs.emplace_back([&] { (void)update(0, "--rcp pkghost:/r.tgz", &console); });
    bool stalled = wait_for_condition(600, 100, [&] {
        return run_log(0).find("rsh *  : /usr/bin/rsh node3 chroot /altroot /sbin/lilo") !=
               std::string::npos;
    });
    EXPECT_TRUE(stalled);
    EXPECT_THAT(run_log(0), Not(HasSubstr("Rebooting.")));
    /* Only the stall is cleared: the crash is still armed. */
    EXPECT_EQ(cli({"fault", "clear", stall}).status, 0);
    runs.back().join();
    /* Crashed before or after its reboot request reached it. */
    EXPECT_TRUE(wait_for_condition(300, 100, [&] {
        std::string s = status()[2].state;
        return s == "down" || s == "up";
    }));
    where = fired_and_clear();
    if (status()[2].state == "down") {
        EXPECT_EQ(test_cluster_reboot(dir, 2), 0);
    }
    EXPECT_TRUE(cluster_back()) << console;
    EXPECT_THAT(console, HasSubstr("Rebooting.")) << console;
    table.push_back({"rsh to node 3 stalls at lilo", "log 'Finished handling...'", 0, true, true});
    bool ok = true;
    for (int n = 0; n < 4; n++) {
        ok &= status()[n].root == 'B';
        EXPECT_EQ(test_cluster_root_sum(dir, n, 'A'), sums[n]) << "old root of node " << n;
        ok &= test_cluster_root_sum(dir, n, 'A') == sums[n];
    }
    table.push_back({"node 2 crashes during the reboot", where, 0, ok, ok});
    for (size_t i = first; i < table.size(); i++)
        table[i].next_ok = ok;

    /* A slow link to node 1 makes a run slower, nothing else. */
    release("r2.tgz", "2.2.3.11");
    remember_roots();
    fault({"slow", "1", "--rate", "200000"});
    bool slow_ok = full_update(0, "--rcp pkghost:/r2.tgz", &console);
    where = fired_and_clear();
    EXPECT_TRUE(slow_ok) << console;
    bool slow_same = true;
    for (int n = 0; n < 4; n++) {
        EXPECT_EQ(status()[n].root, 'A') << "node " << n;
        slow_same &= test_cluster_root_sum(dir, n, 'B') == sums[n];
    }
    EXPECT_TRUE(slow_same) << "a running root changed";
    table.push_back(
        {"node 1's link slowed to 200 kbit/s", where, slow_ok ? 0 : 1, slow_same, slow_ok});
}

/* `update` killed with SIGKILL at ten points from the start to the boot
 * loader, each run going one point further than the last; every kill
 * leaves the running roots alone and the next run repairs what it left. */
TEST_F(Faults, UpdateKilledAtTenPointsThenRunAgainOnFourNodes)
{
    up(4);
    release("r.tgz", "2.2.3.10");
    static const char *const points[] = {
        "Start: ",
        "Verify finished",
        "Extracting...",
        "Installing to partition:",
        "apt-get *  : /usr/bin/apt-get update",
        "Installing new version to node disk...",
        "dpkg *  : /usr/bin/dpkg --recursive",
        "Updating other nodes",
        "Waiting for node 2 to complete...",
        "rsh *  : /usr/bin/rsh node1 chroot /altroot /sbin/lilo",
    };
    size_t first = table.size();
    for (const char *p : points) {
        remember_roots();
        fault({"kill", "0", "update", "--at-log", "0", p});
        std::string console;
        int st = update(0, "--rcp pkghost:/r.tgz", &console);
        std::string where = fired_and_clear();
        EXPECT_NE(where, "not fired") << p << "\n" << console;
        EXPECT_THAT(console, Not(HasSubstr("Rebooting."))) << p;
        EXPECT_TRUE(quiet()) << p;
        table.push_back({std::string("update killed at '") + p + "'", where + " after start", st,
                         roots_unchanged(), false});
    }
    /* The run that succeeds takes the release from a path with a blank,
     * which the other nodes' runs get through their remote shells. */
    ASSERT_EQ(test_cluster_exec(dir, 0, "rcp pkghost:/r.tgz '/var/tmp/my release.tgz'"), 0);
    next_run_succeeds(first, 0, "--file '/var/tmp/my release.tgz'");
    for (int n = 0; n < 4; n++)
        EXPECT_EQ(status()[n].root, 'B') << "node " << n;
}

/* Eight nodes: a node that hangs during the install holds the run until
 * the operator reboots it, and a second update started while one runs is
 * refused on the node running it and on a node it is updating. */
TEST_F(Faults, HungNodeAndSecondUpdateOnEightNodes)
{
    up(8);
    release("r.tgz", "2.2.3.10");
    /* Node 5 hangs while it installs; node 6 installs only once the test
     * lets it: a run held in flight. */
    held_release("held5.tgz", 5);
    held_release("slow.tgz", 6);
    size_t first = table.size();

    remember_roots();
    std::string console;
    runs.emplace_back([&] {
        table.push_back({"", "", update(0, "--rcp pkghost:/held5.tgz", &console), false, false});
    });
    ASSERT_TRUE(held(5, "held5.tgz"));
    fault({"hang", "5"});
    EXPECT_TRUE(wait_for_condition(600, 100, [&] {
        return run_log(0).find("Waiting for node 5 to complete...") != std::string::npos;
    }));
    EXPECT_EQ(cli({"fault", "clear"}).status, 0);
    /* Held down until the run has ended: Debian's rsh carries no exit
     * status, so the run learns that node 5's install never finished only
     * where it next needs node 5, at its boot loader. Back in time for
     * that, node 5 would be made to boot its half-installed root. */
    test_cluster_hold_boot(dir, 5, true);
    ASSERT_EQ(test_cluster_reboot(dir, 5), 0);
    runs.back().join();
    test_cluster_hold_boot(dir, 5, false);
    row &hung = table.back();
    hung.fault = "node 5 hangs, operator reboots it";
    hung.where = "while node 5 installs";
    expect_lost_child(hung.status, console, 5);
    EXPECT_TRUE(cluster_back());
    EXPECT_TRUE(quiet());
    hung.roots_same = roots_unchanged();

    remember_roots();
    std::string first_console;
    int first_status = -1;
    runs.emplace_back(
        [&] { first_status = update(0, "--noreboot --rcp pkghost:/slow.tgz", &first_console); });
    ASSERT_TRUE(held(6, "slow.tgz"));
    std::string c0, c6;
    int s0 = update(0, "--noreboot --rcp pkghost:/r.tgz", &c0);
    EXPECT_EQ(s0, 7) << c0;
    EXPECT_THAT(c0, HasSubstr("Error: Another update (pid "));
    table.push_back({"second update on the same node", "while node 6 installs", s0, true, false});
    int s6 = update(6, "--noreboot --rcp pkghost:/r.tgz", &c6);
    EXPECT_EQ(s6, 7) << c6;
    EXPECT_THAT(c6, HasSubstr("Error: Another update (pid "));
    table.push_back(
        {"second update on a node being updated", "while node 6 installs", s6, true, false});
    let_go(6, "slow.tgz");
    runs.back().join();
    EXPECT_EQ(first_status, 0) << first_console;
    bool same = roots_unchanged();
    table[table.size() - 1].roots_same = table[table.size() - 2].roots_same = same;

    std::string console2;
    bool ok = full_update(3, "--rcp pkghost:/r.tgz", &console2);
    EXPECT_TRUE(ok) << console2;
    for (size_t i = first; i < table.size(); i++)
        table[i].next_ok = ok;
}

/* Over ssh, what Debian's rsh hides: the remote status. A child killed
 * before its banner, a node cut off while its child runs (the keep-alive
 * ends the wait) and a boot loader failing on another node each stop the
 * run with their own status, and the next run goes through. */
TEST_F(Faults, RemoteStatusCarriedOverSshOnFourNodes)
{
    up(4, "ssh");
    /* OpenSSH's client behind rsh and rcp in both roots; it carries the
     * status and refuses a host whose key is not the one it knows. */
    EXPECT_EQ(run(0, "dpkg -S $(readlink -f /usr/bin/rsh) $(readlink -f /usr/bin/rcp)"),
              "openssh-client: /usr/bin/ssh\nopenssh-client: /usr/bin/scp\n");
    EXPECT_EQ(run(1, "chroot /altroot readlink -f /usr/bin/rsh"), "/usr/bin/ssh\n");
    EXPECT_EQ(test_cluster_exec(dir, 0, "rsh node1 'exit 7'"), 7);
    std::string err;
    EXPECT_EQ(test_cluster_exec(dir, 0,
                                "sed -n 's/^node3,[^ ]* /node2 /p' /root/.ssh/known_hosts >/tmp/kh "
                                "&& rsh -o ControlPath=none -o UserKnownHostsFile=/tmp/kh node2 "
                                "true",
                                nullptr, &err),
              255);
    EXPECT_THAT(err, HasSubstr("Host key verification failed."));
    /* Root gets in by the cluster key alone: no password is asked for. */
    EXPECT_EQ(
        test_cluster_exec(dir, 1, "rsh -o PubkeyAuthentication=no pkghost true", nullptr, &err),
        255);
    EXPECT_THAT(err, HasSubstr("Permission denied (publickey)."));

    release("r.tgz", "2.2.3.10");
    size_t first = table.size();
    std::string console;
    int st =
        held_case("node 1's update killed before its banner", {"kill", "1", "update"}, 1, &console);
    EXPECT_EQ(st, 28) << console;
    EXPECT_THAT(console, HasSubstr("Update of node 1 failed."));

    st = held_case("node 3 cut off while it installs", {"rsh-stall", "3"}, 3, &console);
    EXPECT_EQ(st, 28) << console;
    EXPECT_THAT(console, HasSubstr("Update of node 3 failed."));

    /* Node 1's new root loses its boot loader's configuration on the way. */
    release("nolilo.tgz", "2.2.3.10",
            {"--postinst", "[ \"$(hostname)\" != node1 ] || mv /etc/lilo.conf /etc/lilo.away"});
    failing_case("LILO fails on node 1", {}, "--rcp pkghost:/nolilo.tgz", 25,
                 "lilo did not complete successfully!");
    table.back().where = "node 1's install";
    run(1, "chroot /altroot mv /etc/lilo.away /etc/lilo.conf");
    next_run_succeeds(first, 0, "--rcp pkghost:/r.tgz");
    for (int n = 0; n < 4; n++)
        EXPECT_EQ(status()[n].root, 'B') << "node " << n;
}

} // namespace
