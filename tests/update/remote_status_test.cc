/*
 * The decisions update takes on a remote command's exit status, against a
 * remote shell of the test's own that carries one. Debian's rsh, which the
 * simulated cluster runs, ends with 0 whenever it reached the host, so on
 * the cluster these branches are met only through the failure banner; here
 * each one is taken for what a site whose remote shell does carry statuses
 * would see.
 *
 * The sandbox's "/usr/bin/rsh" logs its arguments to /tmp/rsh.log and ends
 * with the status in /tmp/rsh.status.HOST (0 without one); with
 * /tmp/rsh.banner.HOST it prints the failure banner first.
 */
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "boot.h"
#include "modes.h"
#include "nodes.h"
#include "sandbox.h"
#include "ulog.h"
#include "verify.h"

#include "osk_banned.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace
{

const char RSH[] = "#!/bin/sh\n"
                   "host=$1; shift\n"
                   "echo \"$host $*\" >> /tmp/rsh.log\n"
                   "[ -e /tmp/rsh.banner.$host ] && "
                   "printf 'Update failed.\\nCheck /var/log/osk/update for details.\\n'\n"
                   "exit $(cat /tmp/rsh.status.$host 2>/dev/null || echo 0)\n";

class RemoteStatus : public ::testing::Test
{
  protected:
    sandbox sb;

    void SetUp() override
    {
        sandbox_create(&sb);
        sandbox_write(&sb, "/usr/bin/rsh", RSH);
        ASSERT_EQ(sandbox_run(&sb, {"/bin/chmod", "755", "/usr/bin/rsh"}).status, 0);
        sandbox_mkdir(&sb, "/var/log/osk");
    }
    void TearDown() override
    {
        sandbox_destroy(&sb);
    }
    void remote_status(const char *host, int status)
    {
        sandbox_write(&sb, std::string("/tmp/rsh.status.") + host, std::to_string(status) + "\n");
    }
    /* FN in the sandbox as node 0 of nodes 0 to 2. */
    run_result as_node0(const std::function<int()> &fn)
    {
        return sandbox_call(&sb, [&] {
            thisnode = 0;
            nodes = node_mask(0x7);
            snprintf(update, sizeof(update), "/bin/true");
            return fn();
        });
    }
};

/* The boot loader on another node: a failing remote run ends the update
 * with 25 and both of its streams in the log; Debian's rsh would pass it. */
TEST_F(RemoteStatus, RemoteLiloFailureStopsTheUpdate)
{
    run_result r = as_node0([] {
        do_lilo_remote(1, 1);
        return 0;
    });
    EXPECT_EQ(r.status, 0) << r.out;
    remote_status("node2", 1);
    r = as_node0([] {
        do_lilo_remote(2, 1);
        return 0;
    });
    EXPECT_EQ(r.status, 25) << r.out;
    EXPECT_THAT(r.out, HasSubstr("lilo did not complete successfully!"));
    EXPECT_EQ(sandbox_read(&sb, "/tmp/rsh.log"),
              "node1 chroot /altroot /sbin/lilo\nnode2 chroot /altroot /sbin/lilo\n");
}

/* The no-start marker: a node whose remote command failed is named, and
 * the others are still done. */
TEST_F(RemoteStatus, NoStartMarkerFailureIsNamedAndTheRestGoOn)
{
    remote_status("node1", 1);
    run_result r = as_node0([] {
        do_pivot = 0;
        onallnodes_set_pmnostart(1);
        return 0;
    });
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_THAT(r.out, HasSubstr("Issues with /pm_nostart on node 1"));
    EXPECT_THAT(r.out, Not(HasSubstr("on node 0")));
    EXPECT_THAT(r.out, Not(HasSubstr("on node 2")));
    EXPECT_EQ(sandbox_read(&sb, "/tmp/rsh.log"),
              "node0 /usr/bin/touch /pm_nostart\nnode1 /usr/bin/touch /pm_nostart\n"
              "node2 /usr/bin/touch /pm_nostart\n");
}

/* The update of the other nodes counts a child by its status or its
 * banner; the verification of all nodes by its banner alone. */
TEST_F(RemoteStatus, ChildRunsAreJudgedByStatusAndVerificationsByBanner)
{
    remote_status("node1", 3);
    sandbox_write(&sb, "/tmp/rsh.banner.node2", "");
    run_result r = as_node0([] {
        package_source = SOURCE_RCP;
        install_altroot = 1;
        do_pivot = 1;
        return do_other_nodes("/var/tmp/r.tgz");
    });
    EXPECT_EQ(r.status, 28) << r.out;
    EXPECT_THAT(r.out, HasSubstr("Update of node 1 failed."));
    EXPECT_THAT(r.out, HasSubstr("Update of node 2 failed."));
    EXPECT_THAT(sandbox_read(&sb, "/tmp/rsh.log"),
                HasSubstr("node1 /bin/true --rcp node0:/var/tmp/r.tgz --switch-root --local "
                          "--noreboot --quiet --child\n"));

    r = as_node0([] {
        install_altroot = 1;
        do_pivot = 1;
        return run_verify();
    });
    EXPECT_EQ(r.status, 25) << r.out;
    EXPECT_THAT(r.out, HasSubstr("Node 2 validation failed."));
    EXPECT_THAT(r.out, Not(HasSubstr("Node 1 validation failed.")));
}

} // namespace
