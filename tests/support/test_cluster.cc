#include "test_cluster.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "osk_banned.h"

bool wait_for_condition(int maxtries, int delay_ms, const std::function<bool()> &cond)
{
    for (int i = 0; i < maxtries; i++) {
        if (cond())
            return true;
        usleep(delay_ms * 1000);
    }
    return cond();
}

std::string test_cluster_dir(const char *tag)
{
    static int seq;
    char d[96];
    snprintf(d, sizeof d, "/var/tmp/osk-t-%.24s-%d-%d", tag, (int)getpid(), seq++);
    return d;
}

run_result test_cluster_cli(const std::string &dir, const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {build_program("osk-cluster")};
    argv.insert(argv.end(), args.begin(), args.end());
    child_opts opts;
    opts.env = {"OSK_CLUSTER_DIR=" + dir};
    if (!getenv("OSK_SIM_REBOOT_DELAY_MS"))
        opts.env.push_back("OSK_SIM_REBOOT_DELAY_MS=200");
    return child_run(argv, opts);
}

std::string test_cluster_shell(void)
{
    const char *s = getenv("OSK_TEST_REMOTE_SHELL");
    return s && strcmp(s, "ssh") == 0 ? "ssh" : "rsh";
}

std::string test_cluster_busy(const std::string &names)
{
    /* ssh's shared connections outlive their calls on purpose, under the
     * name of the program that opened them (rsh); they are not work. */
    return "ps -eo comm=,args= | awk '$1 ~ /^(" + names + ")$/ && !/ \\[mux\\]$/'";
}

int test_cluster_up(const std::string &dir, int nodes, std::string *why, const char *shell)
{
    /* A test killed before its teardown takes its cluster with it; and a
     * test whose runner (ctest, tools/test) is killed, by anything, ends
     * with it instead of keeping its cluster until it finishes alone. */
    (void)prctl(PR_SET_PDEATHSIG, SIGTERM);
    run_result r = test_cluster_cli(dir, {"up", "--nodes", std::to_string(nodes), "--owner",
                                          std::to_string(getpid()), "--remote-shell",
                                          shell ? std::string(shell) : test_cluster_shell()});
    if (why)
        *why = r.status == 0 ? "" : r.err;
    return r.status;
}

int test_cluster_down(const std::string &dir)
{
    return test_cluster_cli(dir, {"down"}).status;
}

int test_cluster_exec(const std::string &dir, int node, const std::string &cmd, std::string *out,
                      std::string *err)
{
    run_result r = test_cluster_cli(dir, {"exec", std::to_string(node), "--", cmd});
    if (out)
        *out = r.out;
    if (err)
        *err = r.err;
    return r.status;
}

int test_cluster_reboot(const std::string &dir, int node)
{
    return test_cluster_cli(dir, {"reboot", std::to_string(node)}).status;
}

bool test_cluster_status(const std::string &dir, std::vector<test_node_status> *nodes)
{
    run_result r = test_cluster_cli(dir, {"status"});
    nodes->clear();
    if (r.status != 0 || !r.err.empty())
        return false;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 4, "node") != 0)
            continue; /* the system manager's lines follow the nodes */
        test_node_status s;
        char state[32], pk[4096];
        int n;
        if (sscanf(line.c_str(),
                   "node%d state=%31s online=%d integrated=%d root=%c boot=%c packages=%4095s", &n,
                   state, &s.online, &s.integrated, &s.root, &s.boot, pk) != 7 ||
            n != (int)nodes->size())
            return false;
        s.state = state;
        s.packages = pk;
        size_t at = line.find(" addr=");
        if (at != std::string::npos)
            s.addr = line.substr(at + 6);
        nodes->push_back(s);
    }
    return !nodes->empty();
}

bool test_cluster_all_up(const std::string &dir, int nnodes, int timeout_ms)
{
    return wait_for_condition(timeout_ms / 250, 250, [&] {
        std::vector<test_node_status> s;
        if (!test_cluster_status(dir, &s) || (int)s.size() != nnodes)
            return false;
        for (auto &n : s)
            if (n.state != "up" || !n.integrated)
                return false;
        return true;
    });
}

bool test_cluster_wait_up(const std::string &dir, int node, int timeout_ms)
{
    return wait_for_condition(timeout_ms / 200, 200, [&] {
        std::vector<test_node_status> s;
        return test_cluster_status(dir, &s) && node < (int)s.size() && s[node].state == "up" &&
               s[node].integrated;
    });
}

static int pid_in(const std::string &file)
{
    std::ifstream f(file);
    int pid = 0;
    f >> pid;
    return pid;
}

std::vector<int> test_cluster_pids(const std::string &dir)
{
    std::vector<int> pids;
    for (const char *f : {"supervisor.pid", "osk-simd.pid", "hub.pid", "pkghost.pid"})
        if (int p = pid_in(dir + "/" + f))
            pids.push_back(p);
    for (int n = 0; n < 8; n++)
        if (int p = pid_in(dir + "/node" + std::to_string(n) + "/pid"))
            pids.push_back(p);
    return pids;
}

std::vector<std::string> test_cluster_host_mounts(const std::string &dir)
{
    std::vector<std::string> found;
    std::ifstream f("/proc/self/mountinfo");
    std::string line;
    while (std::getline(f, line)) {
        std::istringstream w(line);
        std::string id, parent, dev, root, mp;
        w >> id >> parent >> dev >> root >> mp;
        if (mp == dir || mp.compare(0, dir.size() + 1, dir + "/") == 0)
            found.push_back(mp);
    }
    return found;
}

void test_cluster_mark_boot(const std::string &dir, int nodes)
{
    for (int n = 0; n < nodes; n++)
        EXPECT_EQ(test_cluster_exec(dir, n, "touch /run/test-boot"), 0) << "node " << n;
}

bool test_cluster_same_boot(const std::string &dir, int node)
{
    return test_cluster_exec(dir, node, "test -e /run/test-boot") == 0;
}

std::string test_cluster_roots(const std::string &dir)
{
    std::vector<test_node_status> s;
    EXPECT_TRUE(test_cluster_status(dir, &s));
    std::string r;
    for (auto &n : s)
        r += std::string(r.empty() ? "" : " ") + n.root + n.boot;
    return r;
}

void test_cluster_hold_boot(const std::string &dir, int node, bool hold)
{
    std::string f = dir + "/node" + std::to_string(node) + "/hold-boot";
    if (hold)
        std::ofstream(f) << "held by a test\n";
    else
        (void)unlink(f.c_str());
}

std::string test_cluster_run(const std::string &dir, int node, const std::string &cmd, int want)
{
    std::string out, err;
    int st = test_cluster_exec(dir, node, cmd, &out, &err);
    EXPECT_EQ(st, want) << cmd << "\nstdout: " << out << "\nstderr: " << err;
    return out;
}

int test_cluster_update(const std::string &dir, int node, const std::string &args,
                        std::string *console)
{
    std::string out, err;
    int st = test_cluster_exec(dir, node, "update " + args, &out, &err);
    *console = out + err;
    return st;
}

std::string test_cluster_root_sum(const std::string &dir, int node, char root)
{
    std::string up = dir + "/node" + std::to_string(node) + "/" + root + "/upper";
    run_result r = child_run(
        {"/bin/sh", "-c",
         "cd \"$1\" && find . \\( -path ./tmp -o -path ./var/tmp -o -path ./var/log -o "
         "-path ./run -o -path ./root \\) -prune -o -printf '%p %m %s %l\\n' -type f -exec "
         "md5sum {} + 2>/dev/null | sort | md5sum",
         "sh", up},
        child_opts());
    return r.out;
}

std::string test_cluster_move(const std::string &dir)
{
    std::istringstream in(test_cluster_cli(dir, {"status"}).out);
    for (std::string l; std::getline(in, l);)
        if (l.rfind("rolling upgrade: ", 0) == 0)
            return l.substr(17);
    return "";
}
