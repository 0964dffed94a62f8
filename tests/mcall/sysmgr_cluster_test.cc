/*
 * The system manager stand-in in a simulated cluster, driven through
 * osk-cluster and management calls from outside the nodes: it serves from
 * the master, reboots a node it is asked to, follows the master across
 * that reboot while every export stays served, and can be left out.
 */
#include <string.h>

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "krn_util.h"
#include "mcall_client.h"
#include "osk_errcode.h"
#include "test_cluster.h"

using testing::HasSubstr;

namespace
{

struct SysmgrCluster : testing::Test {
    std::string dir = test_cluster_dir("smgr");
    void TearDown() override
    {
        test_cluster_down(dir);
    }
    std::string cli(const std::vector<std::string> &args)
    {
        return test_cluster_cli(dir, args).out;
    }
    std::string dev(int node)
    {
        return dir + "/osk" + std::to_string(node) + ".sock";
    }
};

/* Asks for a node's shutdown from outside the cluster, as node 1 would. */
std::string shutdown_node(uint32_t node)
{
    int rc = oskopen("test", 1);
    if (rc != 0)
        return "open " + std::to_string(rc);
    mcall_t *rec = mcall_alloc(MC_NODESHUTDOWN, sizeof(nodedown_t));
    nodedown_t *q = (nodedown_t *)rec;
    q->ndid = node;
    q->force = 1;
    q->type = 2;
    q->is_update = 1;
    rc = oskcall(&rec);
    std::string r = std::to_string(rc) + (rc ? std::string(" ") + rec->mc_ertxt : "");
    mcall_free(rec);
    return r;
}

} // namespace

TEST_F(SysmgrCluster, FollowsTheMasterAcrossItsRebootWhileExportsStayServed)
{
    ASSERT_EQ(test_cluster_up(dir, 2), 0);
    /* The manager serves from the master: the node that joined first. */
    std::string st;
    ASSERT_TRUE(wait_for_condition(300, 100, [&] {
        st = cli({"status"});
        return st.find("sysmgr=up node=") != std::string::npos;
    })) << st;
    const int master = st.find("sysmgr=up node=1\n") != std::string::npos ? 1 : 0;
    const int other = 1 - master;
    EXPECT_THAT(cli({"exports"}), HasSubstr("exports 12 served 12 unserved 0\n"));

    /* Refused: nothing reboots. */
    ASSERT_EQ(test_cluster_cli(dir, {"sysmgr", "set", "refuse_shutdown", "1"}).status, 0);
    EXPECT_EQ(run_as(dev(other), [=] { return shutdown_node(master); }),
              std::to_string(TE_INUSE) + " Shutdown refused by the system manager");
    ASSERT_EQ(test_cluster_cli(dir, {"sysmgr", "clear"}).status, 0);

    EXPECT_EQ(run_as(dev(other), [=] { return shutdown_node(master); }), "0");
    std::string moved = "sysmgr=up node=" + std::to_string(other) + "\n";
    std::string last;
    bool always_served = true;
    ASSERT_TRUE(wait_for_condition(600, 50, [&] {
        last = cli({"status"});
        always_served &= cli({"exports"}).find(" unserved 0\n") != std::string::npos;
        return last.find(moved) != std::string::npos;
    })) << last;
    ASSERT_TRUE(test_cluster_wait_up(dir, master, 30000));
    EXPECT_TRUE(always_served);
    /* Back up, the old master leaves the manager where it is. */
    EXPECT_THAT(cli({"status"}), HasSubstr(moved));
    EXPECT_EQ(cli({"sysmgr", "journal"}),
              "shutdown node " + std::to_string(master) + " toc=0 force=1 type=2 is_update=1\n");
}

TEST_F(SysmgrCluster, WithoutTheManagerCallsFindNoServer)
{
    ASSERT_EQ(test_cluster_cli(dir, {"up", "--nodes", "1", "--no-sysmgr"}).status, 0);
    EXPECT_THAT(cli({"status"}), HasSubstr("sysmgr=off\n"));
    EXPECT_EQ(run_as(dev(0), [] { return std::to_string(oskopen("kivosys", 1)); }),
              std::to_string(BRIPC_NOPHANDLE));
}
