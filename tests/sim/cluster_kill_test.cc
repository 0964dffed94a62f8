/*
 * A killed run leaves nothing: a cluster whose owner, whose starting `up`
 * or whose supervisor is killed, by SIGINT, SIGTERM or SIGKILL, takes its
 * processes, namespaces, mounts, fault watchers and folder with it; so
 * does a test program whose runner is killed.
 */
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_cluster.h"

static const int kSignals[] = {SIGINT, SIGTERM, SIGKILL};

/* Starts a 1-node cluster in DIR owned by the caller and says on FD
 * (closed then) "up", or why not. */
static void up_and_say(const std::string &dir, int fd)
{
    std::string why;
    std::string word = test_cluster_up(dir, 1, &why) == 0 ? "up" : "failed: " + why;
    (void)!write(fd, word.data(), word.size());
    close(fd);
}

/* This program started with OSK_KILL_TEST_HOLD=DIR is a test program that
 * holds a cluster in DIR and nothing else: it says "up" (or why not) on
 * its standard output and waits to be ended. */
[[maybe_unused]] static const bool holding = [] {
    const char *dir = getenv("OSK_KILL_TEST_HOLD");
    if (dir == nullptr)
        return false;
    up_and_say(dir, 1);
    for (;;)
        pause();
}();

/* Running, not a zombie waiting to be reaped. */
static bool alive(int pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(f, line))
        return false;
    size_t paren = line.rfind(')');
    return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] != 'Z';
}

static bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

/* Sends SIG to CHILD (continued when stopped, so the signal is taken) and
 * reaps it, bounded; the signal it died of, 0 when it did not. */
static int end_with(background_child &child, int sig)
{
    (void)kill(child.pid(), sig);
    (void)kill(child.pid(), SIGCONT);
    int st = 0, got = 0;
    wait_for_condition(100, 100, [&] {
        got = waitpid(child.pid(), &st, WNOHANG);
        return got == child.pid();
    });
    return got == child.pid() && WIFSIGNALED(st) ? WTERMSIG(st) : 0;
}

/* Everything of the cluster in DIR, whose processes were PIDS, is gone:
 * asserted after a bounded wait, with what was left. */
static void expect_nothing_left(const std::string &dir, const std::vector<int> &pids)
{
    bool gone = wait_for_condition(150, 200, [&] {
        for (int p : pids)
            if (alive(p))
                return false;
        return !exists(dir) && test_cluster_host_mounts(dir).empty();
    });
    if (gone)
        return;
    std::string left;
    for (int p : pids)
        if (alive(p))
            left += " pid " + std::to_string(p);
    for (auto &m : test_cluster_host_mounts(dir))
        left += " mount " + m;
    if (exists(dir))
        left += " folder " + dir;
    ADD_FAILURE() << "left behind:" << left;
    /* Nothing may outlive the test, even when it fails. */
    test_cluster_down(dir);
}

/* Reads, bounded, the word a process holding a cluster in DIR says on FD
 * (closed then) into *word: true for "up". Otherwise the holder and what
 * it started are ended. */
static bool held_up(int fd, background_child &holder, const std::string &dir, std::string *word)
{
    struct pollfd pf = {fd, POLLIN, 0};
    char text[4096] = "";
    ssize_t n = poll(&pf, 1, 240000) == 1 ? read(fd, text, sizeof text - 1) : 0;
    close(fd);
    *word = std::string(text, n > 0 ? (size_t)n : 0);
    if (*word == "up")
        return true;
    holder.stop();
    test_cluster_down(dir);
    return false;
}

/* A test program holding a cluster is killed: the cluster's supervisor
 * sees its owner end and removes the cluster. */
TEST(ClusterKill, AKilledOwnerTakesItsCluster)
{
    for (int sig : kSignals) {
        SCOPED_TRACE(strsignal(sig));
        std::string dir = test_cluster_dir("kill-owner");
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        /* Stands for a test program: it owns the cluster it started, and
         * says so only once `up` returned. */
        background_child owner([&] {
            close(ready[0]);
            up_and_say(dir, ready[1]);
            pause();
        });
        close(ready[1]);
        std::string word;
        if (!held_up(ready[0], owner, dir, &word))
            FAIL() << "the owner's cluster did not come up: " << word;
        std::vector<int> pids = test_cluster_pids(dir);
        ASSERT_GE(pids.size(), 4u);
        EXPECT_EQ(end_with(owner, sig), sig);
        expect_nothing_left(dir, pids);
    }
}

/* `osk-cluster up` killed while its supervisor starts the cluster takes
 * the half-started cluster with it. The moment is the test's: the module
 * daemon it is given says when it starts and then never gets ready, and
 * `up` is held stopped from then until its signal, so it cannot return or
 * give up first. */
TEST(ClusterKill, UpKilledWhileItStartsLeavesNothing)
{
    for (int sig : kSignals) {
        SCOPED_TRACE(strsignal(sig));
        std::string dir = test_cluster_dir("kill-up"), simd = dir + ".simd";
        std::ofstream(simd) << "#!/bin/sh\ntouch \"$1/held\"\nexec sleep 600\n";
        ASSERT_EQ(chmod(simd.c_str(), 0755), 0);
        background_child up([&] {
            setenv("OSK_CLUSTER_DIR", dir.c_str(), 1);
            setenv("OSK_SIMD", simd.c_str(), 1);
            execl(OSK_BUILD_DIR "/bin/osk-cluster", "osk-cluster", "up", "--nodes", "2",
                  (char *)nullptr);
            _exit(127);
        });
        bool held =
            wait_for_condition(600, 200, [&] { return exists(dir + "/held") || !alive(up.pid()); });
        (void)kill(up.pid(), SIGSTOP);
        if (!held || !alive(up.pid())) {
            up.stop();
            test_cluster_down(dir);
            unlink(simd.c_str());
            FAIL() << "up ended or never started its supervisor";
        }
        std::vector<int> pids = test_cluster_pids(dir);
        EXPECT_FALSE(pids.empty());
        EXPECT_EQ(end_with(up, sig), sig);
        expect_nothing_left(dir, pids);
        unlink(simd.c_str());
    }
}

/* A fault watcher waiting for its trigger ends once the supervisor of its
 * cluster is gone, however that ended. */
TEST(ClusterKill, FaultWatchersEndWithTheirSupervisor)
{
    for (int sig : kSignals) {
        SCOPED_TRACE(strsignal(sig));
        std::string dir = test_cluster_dir("kill-watcher"), why;
        if (test_cluster_up(dir, 1, &why) != 0) {
            test_cluster_down(dir);
            FAIL() << why;
        }
        run_result armed =
            test_cluster_cli(dir, {"fault", "kill", "0", "none", "--after", "600000"});
        EXPECT_EQ(armed.status, 0) << armed.err;
        std::ifstream f(dir + "/run/faults/F1.pid");
        int watcher = 0, super = test_cluster_pids(dir).at(0);
        f >> watcher;
        ASSERT_GT(watcher, 0);
        ASSERT_TRUE(alive(watcher));
        ASSERT_EQ(kill(super, sig), 0);
        EXPECT_TRUE(wait_for_condition(100, 100, [&] { return !alive(watcher); }))
            << "the watcher outlived its supervisor";
        EXPECT_EQ(test_cluster_down(dir), 0);
        EXPECT_FALSE(exists(dir));
    }
}

/* The runner of a test program (ctest under tools/test) is killed, by a
 * signal it cannot catch: the test program it ran ends, and with it the
 * cluster the test held. */
TEST(ClusterKill, ATestProgramGoesWithItsKilledRunner)
{
    std::string dir = test_cluster_dir("kill-runner");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    background_child runner([&] {
        close(ready[0]);
        if (fork() == 0) {
            dup2(ready[1], 1);
            setenv("OSK_KILL_TEST_HOLD", dir.c_str(), 1);
            execl("/proc/self/exe", "cluster_kill_test", (char *)nullptr);
            _exit(127);
        }
        close(ready[1]);
        for (;;)
            pause();
    });
    close(ready[1]);
    std::string word;
    if (!held_up(ready[0], runner, dir, &word))
        FAIL() << "the test program's cluster did not come up: " << word;
    std::vector<int> pids = test_cluster_pids(dir);
    ASSERT_GE(pids.size(), 4u);
    EXPECT_EQ(end_with(runner, SIGKILL), SIGKILL);
    expect_nothing_left(dir, pids);
}
