/*
 * Simulated clusters for end-to-end tests, driven through `osk-cluster` as a
 * user would drive it.
 *
 * Every test makes its own cluster folder with test_cluster_dir(), so tests
 * run in parallel, and must end with test_cluster_down() even when it fails
 * (call it from TearDown or a scope guard): a cluster left up keeps its
 * processes and files. Nothing here sleeps a fixed time; waits poll a
 * condition up to a bound and report whether it came true. Polls come a
 * few times a second, not more: every one runs osk-cluster, and many tests
 * poll at once on a machine of two cores.

 *
 * Environment of the clusters started here: OSK_SIM_REBOOT_DELAY_MS is 200
 * unless the test's environment sets it.
 */
#ifndef OSK_TEST_CLUSTER_H
#define OSK_TEST_CLUSTER_H

#include <functional>
#include <string>
#include <vector>

#include "sandbox.h"

/* Polls cond every delay_ms, at most maxtries times; true once it holds. */
bool wait_for_condition(int maxtries, int delay_ms, const std::function<bool()> &cond);

/* A fresh, unused cluster folder named after TAG and this process, short
 * enough for the cluster's socket paths: /var/tmp/osk-t-TAG-PID-SEQ, which
 * tools/test sweeps once process PID is gone. */
std::string test_cluster_dir(const char *tag);

/* osk-cluster ARGS... with OSK_CLUSTER_DIR=dir; stdin is /dev/null; bounded
 * as child_run() is. */
run_result test_cluster_cli(const std::string &dir, const std::vector<std::string> &args);

/* The remote shell clusters are started with: "ssh" when the environment's
 * OSK_TEST_REMOTE_SHELL says so, else "rsh". */
std::string test_cluster_shell(void);

/* Shell text for a node that prints the processes named NAMES (an
 * extended regular expression, "update|dpkg") still working there: ssh's
 * shared connections, which outlive their calls, are left out. */
std::string test_cluster_busy(const std::string &names);

/* `osk-cluster up --nodes N --owner <this process> --remote-shell SHELL`
 * (default test_cluster_shell()): the cluster ends when this process does,
 * even killed. 0 when every node is up and integrated. On failure the
 * returned text says why (empty on success). */
int test_cluster_up(const std::string &dir, int nodes, std::string *why = nullptr,
                    const char *shell = nullptr);
/* `osk-cluster down`; its exit status. */
int test_cluster_down(const std::string &dir);

/* Runs CMD (shell text) in NODE as rsh would; returns its exit status (1
 * when the node can't be reached), its two streams in out and err (either
 * may be null). */
int test_cluster_exec(const std::string &dir, int node, const std::string &cmd,
                      std::string *out = nullptr, std::string *err = nullptr);
/* CMD in NODE; its standard output. Fails the test, and goes on, when the
 * status is not WANT. */
std::string test_cluster_run(const std::string &dir, int node, const std::string &cmd,
                             int want = 0);
/* `update ARGS` on NODE as the operator runs it: its status, and its console
 * (both streams) in *console. */
int test_cluster_update(const std::string &dir, int node, const std::string &args,
                        std::string *console);
/* `osk-cluster reboot NODE`; its exit status. */
int test_cluster_reboot(const std::string &dir, int node);

/* One line of `osk-cluster status`. */
struct test_node_status {
    std::string state; /* up, booting, stopping, rebooting, down */
    int online = 0;
    int integrated = 0;
    char root = '-';      /* running root partition, A or B */
    char boot = '-';      /* partition booted next */
    std::string packages; /* "name_version,..." or "-" */
    std::string addr;     /* its address on the cluster's network */
};
/* Reads every node's status; false when the cluster does not answer. */
bool test_cluster_status(const std::string &dir, std::vector<test_node_status> *nodes);
/* Waits until all nnodes nodes are up and integrated (true) or timeout_ms
 * passes. */
bool test_cluster_all_up(const std::string &dir, int nnodes, int timeout_ms = 60000);
/* Waits until NODE is up and integrated (true) or timeout_ms passes. */
bool test_cluster_wait_up(const std::string &dir, int node, int timeout_ms = 20000);

/* Restarts as the operator sees them. mark_boot leaves a file in every
 * node's /run, which lives as long as the node's current boot; same_boot
 * tells whether NODE has not restarted since. roots gives every node's
 * running and boot root, e.g. "AB AB". */
void test_cluster_mark_boot(const std::string &dir, int nodes);
bool test_cluster_same_boot(const std::string &dir, int node);
std::string test_cluster_roots(const std::string &dir);

/* While held, NODE stays down once it went down for a reboot, so a test
 * sees it gone for as long as it needs; release lets it boot. */
void test_cluster_hold_boot(const std::string &dir, int node, bool hold);

/* Processes of this machine that belong to the cluster: its supervisor,
 * module daemon, hub network, package host and every node's init (last, in
 * node order), by the pids they recorded. */
std::vector<int> test_cluster_pids(const std::string &dir);
/* Mount points of this machine's mount table under dir. */
std::vector<std::string> test_cluster_host_mounts(const std::string &dir);

/* A digest of what NODE changed in its root partition ROOT (A or B), seen
 * from this machine: every file of the partition's upper layer but the
 * scratch, log, run and home folders, by name, mode, size, link and
 * content. Equal digests mean the partition was not touched. */
std::string test_cluster_root_sum(const std::string &dir, int node, char root);

/* The cluster's view of a standard rolling upgrade: what `osk-cluster
 * status` prints after "rolling upgrade: " ("none", "done", "stopped at
 * node N, ..."), or "" when the cluster does not answer. */
std::string test_cluster_move(const std::string &dir);

#endif
