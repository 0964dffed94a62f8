/*
 * The cluster-test base: what every end-to-end test of a whole simulated
 * cluster does the same way (test_cluster.h underneath). Each test gets a
 * cluster folder of its own, named after it, so tests run in parallel; the
 * cluster is taken down when the test ends however it ends (a fixture with
 * more to undo calls ClusterTest::TearDown() from its own).
 *
 * The steps: up() the cluster, release() a package onto the package host,
 * update() as the operator runs it on a node, then read what the cluster
 * is: roots(), status(), installed(), the run log.
 *
 * Tests using release() link oskmkrelease.
 */
#ifndef OSK_TEST_CLUSTER_FIXTURE_H
#define OSK_TEST_CLUSTER_FIXTURE_H

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mkrelease.h"
#include "test_cluster.h"

/* What dpkg holds of the three packages of release V, as installed() reads it. */
inline std::string release_of(const std::string &v)
{
    return "osk=" + v + "-1 osk-base=" + v + "-1 osk-tools=" + v + "-1";
}

class ClusterTest : public ::testing::Test
{
  protected:
    std::string dir;
    int nnodes = 0;

    void SetUp() override
    {
        dir = test_cluster_dir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override
    {
        EXPECT_EQ(test_cluster_down(dir), 0);
    }
    void up(int n, const char *shell = nullptr)
    {
        std::string why;
        nnodes = n;
        ASSERT_EQ(test_cluster_up(dir, n, &why, shell), 0) << why;
    }

    /* osk-mkrelease arguments of release V as pkghost:/NAME: osk (then
     * osk_opts, which apply to it), osk-base and osk-tools, all at V-1, osk
     * depending on its osk-base. Without full, no package at all. */
    std::vector<std::string> release_args(const std::string &name, const std::string &v,
                                          const std::vector<std::string> &osk_opts = {},
                                          bool full = true)
    {
        std::vector<std::string> args = {"-o", dir + "/pkghost/" + name, "--release", v};
        if (!full)
            return args;
        args.insert(args.end(),
                    {"--package", "osk=" + v + "-1", "--depends", "osk-base (= " + v + "-1)"});
        args.insert(args.end(), osk_opts.begin(), osk_opts.end());
        args.insert(args.end(),
                    {"--package", "osk-base=" + v + "-1", "--package", "osk-tools=" + v + "-1"});
        return args;
    }
    void make_release(const std::vector<std::string> &args)
    {
        std::string err;
        ASSERT_EQ(mkrel_make(args, &err), 0) << err;
    }
    /* Release V as pkghost:/NAME (release_args), then any further
     * osk-mkrelease options. */
    void release(const std::string &name, const std::string &v,
                 const std::vector<std::string> &more = {}, bool full = true)
    {
        std::vector<std::string> args = release_args(name, v, {}, full);
        args.insert(args.end(), more.begin(), more.end());
        make_release(args);
    }

    /* CMD in NODE; its standard output. Fails the test, and goes on, when
     * the status is not WANT. */
    std::string run(int node, const std::string &cmd, int want = 0)
    {
        return test_cluster_run(dir, node, cmd, want);
    }
    /* CMD in NODE; its standard output whatever its status: for what is
     * polled while the node changes. */
    std::string peek(int node, const std::string &cmd)
    {
        std::string out;
        (void)test_cluster_exec(dir, node, cmd, &out, nullptr);
        return out;
    }
    /* `update ARGS` on NODE as the operator runs it; its console (both
     * streams) goes to *console. */
    int update(int node, const std::string &args, std::string *console)
    {
        return test_cluster_update(dir, node, args, console);
    }
    /* NODE's run log, "" when it has none. */
    std::string run_log(int node)
    {
        return peek(node, "cat /var/log/osk/update");
    }

    void mark_boot()
    {
        test_cluster_mark_boot(dir, nnodes);
    }
    bool same_boot(int node)
    {
        return test_cluster_same_boot(dir, node);
    }
    /* `osk-cluster reboot NODE`, then waits until the node is back in a
     * new boot: a poll for the moment it was down could miss it. */
    bool reboot_and_wait(int node)
    {
        if (test_cluster_exec(dir, node, "touch /run/before-reboot") != 0 ||
            test_cluster_reboot(dir, node) != 0)
            return false;
        return wait_for_condition(240, 250, [&] {
            test_node_status s = node_status(node);
            return s.state == "up" && s.integrated &&
                   test_cluster_exec(dir, node, "test -e /run/before-reboot") != 0;
        });
    }
    bool cluster_back()
    {
        return test_cluster_all_up(dir, nnodes);
    }
    std::vector<test_node_status> status()
    {
        std::vector<test_node_status> s;
        EXPECT_TRUE(test_cluster_status(dir, &s));
        return s;
    }
    /* NODE's line of the status; an empty one when the cluster has no
     * such node. */
    test_node_status node_status(int node)
    {
        std::vector<test_node_status> s = status();
        return node < (int)s.size() ? s[node] : test_node_status();
    }
    /* Every node's running and boot root, e.g. "AB AB". */
    std::string roots()
    {
        return test_cluster_roots(dir);
    }
    /* The packages in ROOT ("/" or "/altroot") of NODE; see release_of. A
     * package not fully installed is marked with its state. */
    std::string installed(int node, const char *root)
    {
        std::string cmd = std::string(strcmp(root, "/") ? "chroot /altroot " : "") +
                          "dpkg-query -W -f '${Package} ${Version} ${db:Status-Abbrev}\\n' osk "
                          "osk-base osk-tools | awk '{ printf \"%s%s=%s%s\", s, $1, $2, "
                          "($3 == \"ii\" ? \"\" : \"(\" $3 \")\"); s = \" \" }'";
        return run(node, cmd);
    }
};

#endif
