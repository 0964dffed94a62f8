/*
 * The soak: one long-lived simulated cluster taken through update after
 * revert after update, with a fault of `osk-cluster fault` landing at a
 * random point of most runs, recovered from as an operator would: reboot
 * what hangs or crashed, clear the fault, run the same command again.
 *
 * Every cycle is drawn from one seed, printed first, so a run can be
 * repeated exactly. After each cycle the cluster is judged from outside
 * `update`: the nodes and their roots, dpkg on each root, the update
 * history and the event log, the system manager, what was left running or
 * mounted. The first violation stops the soak with the command that
 * reproduces it; the cluster is then left up for a look (unless
 * --down-on-violation), otherwise it is taken down at the end.
 *
 *   soak_test [--cycles N] [--seed S] [--nodes N] [--report FILE]
 *             [--down-on-violation]
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mkrelease.h"
#include "test_cluster.h"

#include "osk_banned.h"

namespace
{

struct soak_options {
    int cycles = 5;
    unsigned long long seed = 0;
    int nodes = 4;
    std::string report = "soak-report.txt";
    bool down_on_violation = false;
} opt;

using clock_type = std::chrono::steady_clock;

long ms_since(clock_type::time_point t)
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t)
        .count();
}

bool has(const std::string &text, const std::string &what)
{
    return text.find(what) != std::string::npos;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

enum op_kind { OP_FULL, OP_QUICK, OP_ROLLING, OP_SIMPLE, OP_REVERT, OP_VERIFY };
const char *const op_names[] = {"update",         "update --quick", "rolling upgrade",
                                "simple rolling", "revert",         "verify"};

/* What one cycle does, all of it drawn before it starts. */
struct plan {
    op_kind op = OP_FULL;
    int node = 0;                   /* where the operator runs update */
    unsigned mask = 0;              /* expedition of a rolling upgrade */
    std::string version, package;   /* the release an update installs */
    std::vector<std::string> fault; /* words after "fault"; empty: none */
    std::string fault_kind;
    int fault_node = -1;

    std::string args() const
    {
        switch (op) {
        case OP_FULL:
            return "--rcp pkghost:/" + package;
        case OP_QUICK:
            return "--quick --rcp pkghost:/" + package;
        case OP_ROLLING:
        case OP_SIMPLE: {
            char m[16];
            snprintf(m, sizeof m, "0x%x", mask);
            return std::string("--rolling ") + m + " --rcp pkghost:/" + package;
        }
        case OP_REVERT:
            return "--revert";
        case OP_VERIFY:
            return "--verify";
        }
        return "";
    }
};

/* One run of the cycle's command and what the console says it reached. */
struct attempt {
    int status = -1;
    std::string console;
    bool ok = false;
    bool lost = false;       /* the console ended without a verdict */
    bool may_record = false; /* may have reached the history and the event */
    bool recorded = false;   /* surely did */
    bool fault_fired = false;
};

/* One row of the report. */
struct cycle_row {
    int n;
    std::string op, fault, where, recovery;
    int attempts;
    long ms;
};

class Soak
{
  public:
    std::string dir;
    int nnodes;
    std::mt19937_64 rng;
    std::vector<cycle_row> rows;
    std::map<std::string, int> faults_by_kind;
    int faults_drawn = 0, faults_fired = 0;
    /* How long each kind of operation took here, its first try, last seen:
     * a fault's moment is drawn within it, so that it lands in the run. */
    std::map<int, long> op_ms;
    std::vector<std::string> violations;
    long longest_unserved_ms = 0;
    int recoveries = 0;

    Soak() : dir(test_cluster_dir("soak")), nnodes(opt.nodes), rng(opt.seed) {}

    int pick(int n)
    {
        return (int)(rng() % (unsigned long long)n);
    }

    /* What the soak knows the cluster runs: the release of the running
     * roots and the one the alternate roots hold ("" before any update). */
    std::string running = "2.2.2.164", other;
    int next_version = 10;

    /* --- The cluster ---------------------------------------------------- */

    run_result cli(const std::vector<std::string> &args)
    {
        return test_cluster_cli(dir, args);
    }
    std::vector<test_node_status> status()
    {
        std::vector<test_node_status> s;
        (void)test_cluster_status(dir, &s);
        return s;
    }
    /* The cluster answers at all (its supervisor is there). */
    bool answers()
    {
        return wait_for_condition(20, 250, [&] { return !status().empty(); });
    }
    std::string status_text()
    {
        return cli({"status"}).out;
    }
    std::string move()
    {
        return test_cluster_move(dir);
    }
    bool sysmgr_up()
    {
        return has(status_text(), "sysmgr=up");
    }
    std::string exec_out(int node, const std::string &cmd)
    {
        std::string out;
        (void)test_cluster_exec(dir, node, cmd, &out);
        return out;
    }

    void make_release(plan &p)
    {
        p.version = "2.2.3." + std::to_string(next_version++);
        p.package = "r" + p.version + ".tgz";
        const std::string &v = p.version;
        std::vector<std::string> args = {"-o",          dir + "/pkghost/" + p.package,
                                         "--release",   v,
                                         "--package",   "osk=" + v + "-1",
                                         "--depends",   "osk-base (= " + v + "-1)",
                                         "--toc",       "27",
                                         "--handshake", "5",
                                         "--package",   "osk-base=" + v + "-1",
                                         "--package",   "osk-tools=" + v + "-1"};
        if (p.op == OP_SIMPLE)
            args.insert(args.end(), {"--simple-list", running});
        std::string err;
        if (mkrel_make(args, &err) != 0)
            violation("osk-mkrelease failed: " + err);
    }

    /* --- Drawing a cycle ------------------------------------------------ */

    plan draw()
    {
        plan p;
        static const struct {
            op_kind op;
            int weight;
        } ops[] = {{OP_FULL, 30},  {OP_QUICK, 14},  {OP_ROLLING, 14},
                   {OP_SIMPLE, 3}, {OP_REVERT, 20}, {OP_VERIFY, 19}};
        int total = 0, r;
        for (auto &o : ops)
            total += o.weight;
        r = pick(total);
        for (auto &o : ops)
            if ((r -= o.weight) < 0) {
                p.op = o.op;
                break;
            }
        if (p.op == OP_REVERT && other.empty())
            p.op = OP_FULL; /* nothing to go back to yet */
        p.node = pick(nnodes);
        if (p.op == OP_ROLLING || p.op == OP_SIMPLE) {
            p.node = 0;
            /* A well-formed expedition: at most one node of each pair, so
             * the partner serves the pair's exports while it restarts. */
            while (p.mask == 0)
                for (int pair = 0; pair < nnodes / 2; pair++)
                    if (int c = pick(3))
                        p.mask |= 1u << (2 * pair + c - 1);
        }
        if (p.op != OP_REVERT && p.op != OP_VERIFY)
            make_release(p);
        if (pick(4) != 0)
            draw_fault(p);
        return p;
    }

    /* Texts of a run log that a fault may wait for. */
    /* Texts the run log of node AT is sure to hold during operation P: the
     * node that runs it writes its whole course; the others run a child
     * (--local --noreboot), which writes the install steps alone. */
    std::vector<std::string> log_points(const plan &p, int at)
    {
        if (at != p.node)
            return p.op == OP_REVERT
                       ? std::vector<std::string>{"Start: "}
                       : std::vector<std::string>{"Start: ", "Extracting...",
                                                  "Installing to partition:", "dpkg --recursive"};
        if (p.op == OP_REVERT)
            return {"Start: ",
                    "Verify finished",
                    "Switching to previous version",
                    "Updating other nodes",
                    "Finished handling other nodes",
                    "lilo",
                    "Rebooting."};
        /* The restart's own words: a rolling run says no "Rebooting.". */
        const char *restart = p.op == OP_ROLLING  ? "Starting to reboot expedition"
                              : p.op == OP_SIMPLE ? "Rebooting final node."
                                                  : "Rebooting.";
        return {"Start: ",
                "Verify finished",
                "Extracting...",
                "Installing to partition:",
                "apt-get update",
                "Installing new version to node disk...",
                "dpkg --recursive",
                "Updating other nodes",
                "Finished handling other nodes",
                "lilo",
                restart};
    }

    void draw_fault(plan &p)
    {
        static const char *const kinds[] = {"crash",     "hang",         "rsh-fail",
                                            "rsh-stall", "scratch-full", "dpkg-fail",
                                            "corrupt",   "truncate",     "kill"};
        int nkinds = p.package.empty() ? 7 : 9; /* no release to damage */
        int k = pick(nkinds);
        std::string kind = kinds[k < 6 ? k : (p.package.empty() ? 8 : k)];
        int node = pick(nnodes);
        std::string n = std::to_string(node);
        p.fault_kind = kind;
        p.fault_node = node;
        if (kind == "scratch-full")
            p.fault = {kind, n, "--size", "65536", "--free", "4096"};
        else if (kind == "dpkg-fail") {
            static const char *const pkgs[] = {"osk", "osk-base", "osk-tools"};
            p.fault = {kind, n, pkgs[pick(3)]};
        } else if (kind == "corrupt" || kind == "truncate") {
            p.fault = {kind, p.package};
            p.fault_node = -1;
        } else if (kind == "kill") {
            static const char *const progs[] = {"update", "update", "dpkg", "apt-get"};
            p.fault = {kind, n, progs[pick(4)]};
        } else
            p.fault = {kind, n};
        /* When: a text of a node's run log, or a time after the start.
         * `update --verify` writes no run log; a process is killed when its
         * own node's log says where it is. */
        if (pick(2) == 0 && p.op != OP_VERIFY) {
            int at = kind == "kill" ? node : pick(3) == 0 ? pick(nnodes) : p.node;
            auto points = log_points(p, at);
            p.fault.insert(p.fault.end(), {"--at-log", std::to_string(at),
                                           points[(size_t)pick((int)points.size())]});
        } else {
            /* A share of what the operation takes on this machine (a guess
             * until one has run): the same draw whatever the machine. */
            long span = op_ms.count(p.op) ? op_ms[p.op] : p.op == OP_VERIFY ? 500 : 1500;
            long ms = span * 6 / 10 * pick(1000) / 1000;
            p.fault.insert(p.fault.end(), {"--after", std::to_string(ms)});
        }
    }

    /* --- Running a cycle ------------------------------------------------ */

    /* Exports sampled while a run goes on: how long one was unserved. */
    std::jthread sampler;
    std::atomic<long> unserved_ms{0};

    void start_sampling()
    {
        unserved_ms = 0;
        sampler = std::jthread([this](std::stop_token stop) {
            clock_type::time_point since{};
            bool out = false;
            while (!stop.stop_requested()) {
                run_result r = cli({"exports"});
                int exports = 0, served = 0, unserved = 0;
                size_t last = r.out.rfind("exports ");
                if (last != std::string::npos &&
                    sscanf(r.out.c_str() + last, "exports %d served %d unserved %d", &exports,
                           &served, &unserved) == 3) {
                    if (unserved > 0 && !out)
                        since = clock_type::now(), out = true;
                    else if (unserved == 0)
                        out = false;
                    if (out && ms_since(since) > unserved_ms)
                        unserved_ms = ms_since(since);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
        });
    }
    long stop_sampling()
    {
        if (sampler.joinable()) {
            sampler.request_stop();
            sampler.join();
        }
        return unserved_ms;
    }

    /* Does the cluster's state after a run, or a recovery, show success? */
    bool finished(const plan &p, attempt &a)
    {
        const std::string &c = a.console;
        if (p.op == OP_VERIFY)
            return a.status == 0;
        bool restarted = has(c, "Rebooting.") || has(c, "Requesting reboot of node") ||
                         has(c, "Rebooting final node.");
        return (a.status == 0 || (a.lost && restarted)) && !has(c, "Update failed.") &&
               !has(c, "failed on one or more other nodes");
    }

    /* What the console says the run reached: the history and event are
     * written between choosing the partition and installing. */
    void reached(const plan &p, attempt &a)
    {
        const std::string &c = a.console;
        if (p.op == OP_VERIFY)
            return;
        if (p.op == OP_REVERT) {
            a.may_record = has(c, "Verify finished") || a.lost;
            a.recorded = has(c, "Switching to previous version");
            return;
        }
        a.may_record = has(c, "Installing to partition:") || a.lost;
        a.recorded =
            has(c, "Installing new version to node disk...") || has(c, "Updating other nodes");
    }

    /* Runs the cycle's command once on its node, with the fault armed
     * first when there is one, and recovers as an operator would while and
     * after it runs. */
    attempt run_once(const plan &p, bool with_fault, std::string *where, std::string *recovery)
    {
        attempt a;
        std::string fid;
        if (with_fault && !p.fault.empty()) {
            std::vector<std::string> w = {"fault"};
            w.insert(w.end(), p.fault.begin(), p.fault.end());
            run_result r = cli(w);
            if (r.status != 0)
                violation("fault not armed: " + r.out + r.err);
            fid = r.out.substr(0, r.out.find_first_of(" :"));
        }
        std::atomic<bool> done{false};
        std::jthread run([&] {
            a.status = test_cluster_update(dir, p.node, p.args(), &a.console);
            done = true;
        });
        /* A hung node or a stalled rsh holds the run for as long as it
         * lasts: the operator notices after a while and steps in. */
        clock_type::time_point fired_at{};
        bool fired = false, stepped_in = false;
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            if (fid.empty() || stepped_in ||
                (p.fault_kind != "hang" && p.fault_kind != "rsh-stall"))
                continue;
            if (!fired && has(cli({"fault", "list"}).out, ": fired +"))
                fired = true, fired_at = clock_type::now();
            if (fired && ms_since(fired_at) > 15000) {
                stepped_in = true;
                if (p.fault_kind == "hang") {
                    *recovery += "reboot hung node " + std::to_string(p.fault_node) + "; ";
                    (void)test_cluster_reboot(dir, p.fault_node);
                } else {
                    *recovery += "clear while held; ";
                    (void)cli({"fault", "clear"});
                }
                recoveries++;
            }
        }
        run.join();
        a.lost = a.status != 0 && !has(a.console, "Update failed.") && !has(a.console, "Error") &&
                 p.op != OP_VERIFY;
        if (!fid.empty()) {
            /* "F1 WORDS: armed", ": fired +Nms WHAT" or ": failed WHY" (it
             * fired with nothing to act on, as a kill with no process). */
            std::string list = cli({"fault", "list"}).out;
            size_t at = list.find(": fired +");
            a.fault_fired = at != std::string::npos || stepped_in;
            if (at != std::string::npos)
                *where = list.substr(at + 8, list.find("ms", at) - at - 6);
            else
                *where = stepped_in ? "held" : has(list, ": failed") ? "missed" : "not fired";
            (void)cli({"fault", "clear"});
        }
        recover(a.console, recovery);
        reached(p, a);
        a.ok = finished(p, a);
        return a;
    }

    /* Brings every node back as an operator would: a node that is down
     * (crashed, or where a rolling upgrade stopped) is rebooted, and the
     * soak waits until no node is on its way up or down, no move is in
     * progress and, after a run that restarted the cluster, every node
     * runs the root it boots. */
    void recover(const std::string &console, std::string *recovery)
    {
        bool restarting = has(console, "Rebooting.");
        if (!answers())
            return; /* no cluster left to recover: the checks say so */
        /* A rolling upgrade whose request to restart an expedition node
         * failed (the manager was moving with its master) says which node
         * to restart by hand. */
        auto st0 = status();
        for (size_t at = 0; (at = console.find("failed to reboot node ", at)) != std::string::npos;
             at++) {
            int n = atoi(console.c_str() + at + 22);
            if (n >= 0 && n < (int)st0.size() && st0[n].root != st0[n].boot) {
                *recovery += "reboot node " + std::to_string(n) + " (its restart failed); ";
                recoveries++;
                (void)test_cluster_reboot(dir, n);
            }
        }
        for (int round = 0; round < 4; round++) {
            /* A restart takes seconds; a node not back on its new root
             * well after that hung or lost its reboot on the way. */
            (void)wait_for_condition(360, 250, [&] {
                auto st = status();
                if ((int)st.size() != nnodes)
                    return false;
                for (auto &s : st)
                    if ((s.state != "up" && s.state != "down") ||
                        (restarting && s.state == "up" && s.root != s.boot))
                        return false;
                std::string m = move();
                return m == "none" || m == "done" || m.rfind("stopped", 0) == 0;
            });
            bool acted = false;
            auto st = status();
            for (int n = 0; n < (int)st.size(); n++)
                if (st[n].state == "down" ||
                    (restarting && st[n].state == "up" && st[n].root != st[n].boot)) {
                    *recovery += "reboot node " + std::to_string(n) +
                                 (st[n].state == "up" ? " (did not restart)" : "") + "; ";
                    (void)test_cluster_reboot(dir, n);
                    acted = true;
                }
            std::string m = move();
            if (m.rfind("stopped at node ", 0) == 0 && !acted) {
                int n = atoi(m.c_str() + 16);
                *recovery += "reboot node " + std::to_string(n) + " (move stopped); ";
                (void)test_cluster_reboot(dir, n);
                acted = true;
            }
            if (!acted)
                break;
            recoveries++;
            (void)test_cluster_all_up(dir, nnodes, 120000);
        }
        if (answers()) {
            (void)wait_for_condition(240, 250, [&] { return sysmgr_up(); });
            (void)quiet();
        }
    }

    /* No update, dpkg, apt-get or rsh still working on any node. */
    bool quiet()
    {
        return wait_for_condition(240, 250, [&] {
            for (int n = 0; n < nnodes; n++)
                if (!exec_out(n, test_cluster_busy("update|dpkg|apt-get|rsh|rcp")).empty())
                    return false;
            return true;
        });
    }

    /* --- Invariants ----------------------------------------------------- */

    void violation(const std::string &what)
    {
        violations.push_back(what);
        ADD_FAILURE() << what;
    }

    struct node_before {
        char root;
        std::string sum, packages;
    };
    std::vector<node_before> before;
    std::vector<std::string> history_before;
    int events_before = 0;
    std::set<std::string> host_mounts;
    std::vector<std::string> node_temp;

    std::vector<std::string> history()
    {
        auto l = lines_of(cli({"history"}).out);
        if (!l.empty())
            l.erase(l.begin()); /* the heading, or "no updates recorded" */
        return l;
    }
    std::vector<std::string> events()
    {
        auto l = lines_of(cli({"events"}).out);
        if (!l.empty())
            l.erase(l.begin());
        return l;
    }
    /* Connections of the cluster's process PID on this machine whose other
     * end no process holds any more: a descriptor kept for nothing. */
    static int orphan_connections(int pid)
    {
        run_result r = child_run({"/usr/bin/ss", "-xpn"});
        std::set<std::string> held; /* socket inodes some process holds */
        std::vector<std::string> peers;
        std::string mark = "pid=" + std::to_string(pid) + ",";
        for (auto &l : lines_of(r.out)) {
            std::istringstream w(l);
            std::string netid, state, rq, sq, local, inode, peer, peer_inode;
            if (!(w >> netid >> state >> rq >> sq >> local >> inode >> peer >> peer_inode))
                continue;
            if (has(l, "users:"))
                held.insert(inode);
            if (has(l, mark))
                peers.push_back(peer_inode);
        }
        int orphans = 0;
        for (auto &p : peers)
            orphans += !held.count(p);
        return orphans;
    }
    /* The names in the scratch folders of both roots, sorted: a reboot
     * into the other root swaps the folders, not what is in them. Two stay
     * by design: the link "/tmp/oskpackage" until the next run (what it
     * points to must go) and the rolling upgrade's export inventory on
     * the node that ran it. */
    std::string temp_files(int node)
    {
        return exec_out(node, "cd / && find tmp altroot/tmp var/tmp altroot/var/tmp -mindepth 1 "
                              "-maxdepth 1 ! \\( -name oskpackage -type l \\) ! -name "
                              "present_vluns -printf '%f\\n' 2>&1 | sort");
    }
    static std::string osk_packages(const std::string &packages)
    {
        std::string out;
        std::istringstream in(packages);
        for (std::string p; std::getline(in, p, ',');)
            if (p.rfind("osk-update_", 0) != 0)
                out += p + ",";
        return out;
    }

    /* The state that a cycle must not lose, taken before it. */
    void remember()
    {
        before.clear();
        for (auto &s : status()) {
            int n = (int)before.size();
            before.push_back({s.root, test_cluster_root_sum(dir, n, s.root), s.packages});
        }
        history_before = history();
        events_before = (int)events().size();
    }

    /* After a failed run and the recovery: a node the boot loader was not
     * pointed away on runs exactly what it ran before. */
    void check_untouched(const std::string &what)
    {
        auto st = status();
        for (int n = 0; n < (int)st.size() && n < (int)before.size(); n++) {
            if (st[n].boot != before[n].root)
                continue; /* the run got as far as the boot loader here */
            if (st[n].root != before[n].root ||
                test_cluster_root_sum(dir, n, st[n].root) != before[n].sum ||
                st[n].packages != before[n].packages)
                violation(what + ": node " + std::to_string(n) +
                          " failed before the boot loader but no longer runs what it ran (root " +
                          before[n].root + " -> " + st[n].root + ", " + before[n].packages +
                          " -> " + st[n].packages + ")");
        }
    }

    /* The invariants after every cycle. */
    void check_cycle(const plan &p, const std::vector<attempt> &tries, bool succeeded)
    {
        std::string c = "cycle " + std::to_string(rows.size() + 1) + " (" + op_names[p.op] + ")";
        auto st = status();
        if ((int)st.size() != nnodes)
            return violation(c + ": the cluster does not answer");
        std::string release = osk_packages(st[0].packages);
        for (int n = 0; n < nnodes; n++) {
            if (st[n].state != "up" || !st[n].integrated)
                violation(c + ": node " + std::to_string(n) + " is " + st[n].state +
                          (st[n].integrated ? "" : ", not integrated"));
            if (osk_packages(st[n].packages) != release)
                violation(c + ": node " + std::to_string(n) + " runs " + st[n].packages +
                          ", node 0 " + st[0].packages);
            if (st[n].root != st[0].root || st[n].boot != st[n].root)
                violation(c + ": node " + std::to_string(n) + " runs root " + st[n].root +
                          " and boots " + st[n].boot + ", node 0 runs " + st[0].root);
            std::string audit = exec_out(n, "dpkg --audit 2>&1");
            if (!audit.empty())
                violation(c + ": dpkg --audit on node " + std::to_string(n) + ": " + audit);
        }
        if (!succeeded)
            violation(c + ": `update " + p.args() + "` did not succeed in " +
                      std::to_string(tries.size()) + " attempts; last console:\n" +
                      tries.back().console);
        std::string want = running;
        if (succeeded && p.op == OP_REVERT)
            want = other;
        else if (succeeded && p.op != OP_VERIFY)
            want = p.version;
        if (!has(release, "osk_" + want + "-1,"))
            violation(c + ": the cluster runs " + release + ", not " + want);

        check_records(c, p, tries);
        if (!sysmgr_up())
            violation(c + ": the system manager does not answer");
        check_leftovers(c);
    }

    /* The history gains an entry for each run that reached the recording
     * step and keeps every older one; the event log gains one event per
     * such run and nothing else. */
    void check_records(const std::string &c, const plan &p, const std::vector<attempt> &tries)
    {
        auto h = history();
        if (h.size() < history_before.size() ||
            !std::equal(history_before.begin(), history_before.end(), h.begin()))
            violation(c + ": the update history lost or changed entries");
        int least = 0, most = 0;
        for (auto &a : tries) {
            least += a.recorded && !a.fault_fired;
            most += a.may_record || a.recorded;
        }
        int added = (int)(h.size() - std::min(h.size(), history_before.size()));
        int want_least = p.op == OP_REVERT || p.op == OP_VERIFY ? 0 : least;
        int want_most = p.op == OP_REVERT || p.op == OP_VERIFY ? 0 : most;
        if (added < want_least || added > want_most)
            violation(c + ": the update history gained " + std::to_string(added) +
                      " entries, expected " + std::to_string(want_least) + " to " +
                      std::to_string(want_most));
        for (size_t i = history_before.size(); i < h.size(); i++) {
            int id = -1;
            char pkg[64] = "", ver[64] = "";
            if (sscanf(h[i].c_str(), "%d %*s %*s %63s %63s", &id, pkg, ver) != 3 || id != (int)i ||
                strcmp(pkg, "Complete") != 0 || ver != p.version + "-1")
                violation(c + ": history entry " + std::to_string(i) + " reads '" + h[i] + "'");
        }
        auto e = events();
        int posted = (int)e.size() - events_before;
        const char *text = p.op == OP_REVERT ? "Reverting to OSK software version "
                                             : "Applying OSK software version ";
        if (posted < least || posted > most)
            violation(c + ": " + std::to_string(posted) + " events posted, expected " +
                      std::to_string(least) + " to " + std::to_string(most));
        for (size_t i = (size_t)std::max(events_before, 0); i < e.size(); i++)
            if (!has(e[i], text) || p.op == OP_VERIFY)
                violation(c + ": unexpected event '" + e[i] + "'");
    }

    /* Nothing a cycle started is left: processes (the fault watchers on
     * this machine, update and the package tools on the nodes), mounts of
     * this machine, and temporary files on the nodes. */
    void check_leftovers(const std::string &c)
    {
        if (!quiet())
            violation(c + ": update, dpkg, apt-get or rsh still running on a node");
        std::string faults = dir + "/run/faults";
        bool watcher = wait_for_condition(40, 250, [&] {
            run_result r = child_run({"/bin/sh", "-c",
                                      "for f in \"$1\"/*.pid; do [ -e \"$f\" ] && kill -0 "
                                      "\"$(cat \"$f\")\" 2>/dev/null && echo \"$f\"; done; :",
                                      "sh", faults});
            return r.out.empty();
        });
        if (!watcher)
            violation(c + ": a fault's watcher outlived `fault clear`");
        for (int pid : test_cluster_pids(dir)) {
            int orphans = 0;
            if (!wait_for_condition(40, 250,
                                    [&] { return (orphans = orphan_connections(pid)) == 0; }))
                violation(c + ": process " + std::to_string(pid) + " of this machine keeps " +
                          std::to_string(orphans) + " connections of processes that are gone");
        }
        auto m = test_cluster_host_mounts(dir);
        std::set<std::string> now(m.begin(), m.end());
        if (now != host_mounts)
            violation(c + ": this machine's mounts under the cluster changed");
        for (int n = 0; n < nnodes; n++) {
            std::string t = temp_files(n);
            if (t != node_temp[(size_t)n])
                violation(c + ": temporary files left on node " + std::to_string(n) + ":\n" + t +
                          "\nwere:\n" + node_temp[(size_t)n]);
        }
    }

    /* --- The soak ------------------------------------------------------- */

    bool cycle(int number)
    {
        if (!answers()) {
            violation("cycle " + std::to_string(number) + ": the cluster does not answer");
            return false;
        }
        auto start = clock_type::now();
        plan p = draw();
        if (!violations.empty())
            return false;
        remember();
        std::string where = "-", recovery;
        std::vector<attempt> tries;
        bool rolling = p.op == OP_ROLLING || p.op == OP_SIMPLE;
        if (rolling)
            start_sampling();
        for (int i = 0; i < 3; i++) {
            auto try_start = clock_type::now();
            tries.push_back(run_once(p, i == 0, &where, &recovery));
            /* A run the fault held up says nothing of the operation. */
            if (i == 0 && tries.back().ok && !tries.back().fault_fired)
                op_ms[p.op] = ms_since(try_start);
            if (tries.back().ok)
                break;
            check_untouched("cycle " + std::to_string(number) + ", attempt " +
                            std::to_string(i + 1));
            if (i == 0)
                recovery += "run again; ";
        }
        long unserved = rolling ? stop_sampling() : 0;
        longest_unserved_ms = std::max(longest_unserved_ms, unserved);
        if (rolling && unserved > 0 && !tries.front().fault_fired)
            violation("cycle " + std::to_string(number) + ": an export went unserved for " +
                      std::to_string(unserved) + " ms during a rolling upgrade without faults");
        bool ok = tries.back().ok;
        check_cycle(p, tries, ok);
        if (ok && p.op == OP_REVERT)
            std::swap(running, other);
        else if (ok && p.op != OP_VERIFY)
            other = running, running = p.version;
        std::string fault_words;
        for (auto &w : p.fault)
            fault_words += (fault_words.empty() ? "" : " ") + w;
        if (!p.fault.empty()) {
            bool missed = where == "not fired" || where == "missed";
            faults_by_kind[p.fault_kind + (missed ? " (" + where + ")" : "")]++;
            faults_drawn++;
            faults_fired += !missed;
        }
        char mask[16] = "";
        if (p.mask)
            snprintf(mask, sizeof mask, " 0x%x", p.mask);
        rows.push_back({number,
                        op_names[p.op] + std::string(mask) + " on node " + std::to_string(p.node),
                        fault_words.empty() ? "-" : fault_words, where,
                        recovery.empty() ? "-" : recovery, (int)tries.size(), ms_since(start)});
        printf("cycle %d: %s; fault: %s (%s); %d attempt(s); %s; %ld ms\n", number,
               rows.back().op.c_str(), rows.back().fault.c_str(), where.c_str(), (int)tries.size(),
               rows.back().recovery.c_str(), rows.back().ms);
        fflush(stdout);
        return violations.empty();
    }

    std::string report(bool stopped)
    {
        std::ostringstream r;
        char line[512];
        r << "soak: seed " << opt.seed << ", " << rows.size() << " of " << opt.cycles
          << " cycles on " << nnodes << " nodes over " << test_cluster_shell()
          << (stopped ? " (stopped at a violation)" : "") << "\n\n";
        snprintf(line, sizeof line, "%-5s | %-30s | %-44s | %-10s | %-3s | %-36s | %s\n", "cycle",
                 "operation", "fault", "fired", "try", "recovery", "ms");
        r << line << std::string(156, '-') << "\n";
        for (auto &row : rows) {
            snprintf(line, sizeof line,
                     "%-5d | %-30.30s | %-44.44s | %-10.10s | %-3d | %-36.36s | %ld\n", row.n,
                     row.op.c_str(), row.fault.c_str(), row.where.c_str(), row.attempts,
                     row.recovery.c_str(), row.ms);
            r << line;
        }
        r << "\nfaults by kind:";
        for (auto &[k, n] : faults_by_kind)
            r << " " << k << "=" << n;
        r << "\nfaults that fired: " << faults_fired << " of " << faults_drawn << " drawn"
          << "\nrecoveries needed: " << recoveries
          << "\nlongest time an export was unserved: " << longest_unserved_ms << " ms"
          << "\ninvariant violations: " << violations.size() << "\n";
        for (auto &v : violations)
            r << "  " << v << "\n";
        return r.str();
    }
};

TEST(Soak, UpdatesRevertsAndVerifiesUnderRandomFaults)
{
    printf("soak: seed %llu, %d cycles on %d nodes over %s\n", opt.seed, opt.cycles, opt.nodes,
           test_cluster_shell().c_str());
    Soak s;
    std::string why;
    ASSERT_EQ(test_cluster_up(s.dir, s.nnodes, &why), 0) << why;
    ASSERT_TRUE(wait_for_condition(240, 250, [&] { return s.sysmgr_up(); }));
    auto m = test_cluster_host_mounts(s.dir);
    s.host_mounts = std::set<std::string>(m.begin(), m.end());
    for (int n = 0; n < s.nnodes; n++)
        s.node_temp.push_back(s.temp_files(n));

    bool clean = true;
    for (int i = 1; i <= opt.cycles && clean; i++)
        clean = s.cycle(i);

    std::string report = s.report(!clean);
    printf("\n%s", report.c_str());
    std::ofstream(opt.report) << report;
    if (!clean) {
        printf("\nreproduce with: tests/faults/soak --seed %llu --cycles %d --nodes %d "
               "--remote-shell %s\n",
               opt.seed, opt.cycles, opt.nodes, test_cluster_shell().c_str());
        if (!opt.down_on_violation) {
            printf("the cluster is left up in %s: OSK_CLUSTER_DIR=%s build/bin/osk-cluster "
                   "status; take it down with osk-cluster down\n",
                   s.dir.c_str(), s.dir.c_str());
            return;
        }
    }
    EXPECT_EQ(test_cluster_down(s.dir), 0);
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    opt.seed = (unsigned long long)time(nullptr);
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--cycles" && v)
            opt.cycles = atoi(v), i++;
        else if (a == "--seed" && v)
            opt.seed = strtoull(v, nullptr, 0), i++;
        else if (a == "--nodes" && v)
            opt.nodes = atoi(v), i++;
        else if (a == "--report" && v)
            opt.report = v, i++;
        else if (a == "--remote-shell" && v && (strcmp(v, "rsh") == 0 || strcmp(v, "ssh") == 0))
            setenv("OSK_TEST_REMOTE_SHELL", v, 1), i++;
        else if (a == "--down-on-violation")
            opt.down_on_violation = true;
        else {
            fprintf(stderr, "usage: soak_test [--cycles N] [--seed S] [--nodes N] [--report FILE] "
                            "[--remote-shell rsh|ssh] [--down-on-violation]\n");
            return 2;
        }
    }
    if (opt.cycles < 1 || opt.nodes < 2 || opt.nodes > 8) {
        fprintf(stderr, "soak_test: --cycles must be at least 1, --nodes 2 to 8\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
