/*
 * Updates and reverts of whole simulated clusters, run as an operator runs
 * them: `update` started on one node, judged by its console and exit status
 * and by what the cluster is afterwards (the root each node runs and boots,
 * whether it restarted, what dpkg holds in each of its two roots).
 *
 * Every node starts on root A with release 2.2.2.164. Each test brings up
 * its own cluster, so tests run in parallel; a test that chains several
 * updates does so only where each step builds on the one before.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cluster_fixture.h"

#include "osk_banned.h"

using ::testing::HasSubstr;
using ::testing::Not;

static const char banner[] = "Update failed.\nCheck /var/log/osk/update for details.\n";

static const std::string base = release_of("2.2.2.164");

class ClusterUpdate : public ClusterTest
{
  protected:
    /* An update that ends in reboots: the node it runs on goes down last
     * and may take the session with it. Waits until the cluster is back. */
    void update_rebooting(int node, const std::string &args, std::string *console)
    {
        mark_boot();
        int st = update(node, args, console);
        if (st != 0) {
            EXPECT_THAT(*console, HasSubstr("Connection reset by peer")) << *console;
        }
        ASSERT_TRUE(cluster_back()) << *console;
        for (int n = 0; n < nnodes; n++)
            EXPECT_FALSE(same_boot(n)) << "node " << n << " did not reboot";
    }

    /* An update that restarts nothing: it ends with WANT, says nothing of a
     * reboot, and every node is still in the boot it was in. */
    void update_staying_up(int node, const std::string &args, std::string *console, int want = 0)
    {
        mark_boot();
        EXPECT_EQ(update(node, args, console), want) << *console;
        EXPECT_THAT(*console, Not(HasSubstr("Rebooting.")));
        for (int n = 0; n < nnodes; n++)
            EXPECT_TRUE(same_boot(n)) << "node " << n << " restarted";
    }

    void expect_everywhere(const std::string &running, const std::string &alternate)
    {
        for (int n = 0; n < nnodes; n++) {
            EXPECT_EQ(installed(n, "/"), running) << "node " << n;
            EXPECT_EQ(installed(n, "/altroot"), alternate) << "node " << n;
        }
    }
};

/* The field update and its way back: new release into the alternate root,
 * every node reboots into it, the node running update last; --revert from
 * another node boots the previous root again everywhere. */
TEST_F(ClusterUpdate, SwitchRootUpdateAndRevertOnFourNodes)
{
    up(4);
    release("r.tgz", "2.2.3.10");
    run(0, "rcp pkghost:/r.tgz /var/tmp/r.tgz");

    std::string console;
    update_rebooting(0, "--file /var/tmp/r.tgz", &console);
    EXPECT_THAT(console, HasSubstr("Installing to partition: 2\n"));
    for (int n = 0; n < 4; n++)
        EXPECT_THAT(console, HasSubstr("IDE disk of node " + std::to_string(n) +
                                       " updated successfully.\n"));
    EXPECT_THAT(console, HasSubstr("Rebooting.\n"));
    EXPECT_THAT(console, Not(HasSubstr("Update failed.")));
    EXPECT_EQ(roots(), "BB BB BB BB");
    expect_everywhere(release_of("2.2.3.10"), base);
    /* The unpacked release is cleaned away (it was on the new root). */
    for (int n = 0; n < 4; n++)
        EXPECT_EQ(run(n, "ls /tmp/oskpackage/ 2>/dev/null | wc -l"), "0\n") << "node " << n;

    /* The run log, now on the old root, shows the order of the reboots. */
    std::string order = run(0, "grep -o -e 'rsh node. /sbin/reboot' -e '^{.*} reboot \\*  : "
                               "/sbin/reboot' /altroot/var/log/osk/update | sed 's/.*reboot \\*  "
                               ": .*/local/; s/rsh \\(node.\\) .*/\\1/' | tr '\\n' ' '");
    EXPECT_EQ(order, "node3 node2 node1 local ");

    update_rebooting(2, "--revert", &console);
    EXPECT_THAT(console, HasSubstr("Switching to previous version..."));
    EXPECT_THAT(console, Not(HasSubstr("Update failed.")));
    EXPECT_EQ(roots(), "AA AA AA AA");
    expect_everywhere(base, release_of("2.2.3.10"));
}

/* --quick updates the node it runs on through its own child, beside the
 * others; run from a node other than 0 on the largest cluster. */
TEST_F(ClusterUpdate, QuickUpdateFromNodeFiveOnEightNodes)
{
    up(8);
    release("r.tgz", "2.2.3.10");

    std::string console;
    update_rebooting(5, "--quick --rcp pkghost:/r.tgz", &console);
    for (int n = 0; n < 8; n++)
        EXPECT_THAT(console, HasSubstr("Waiting for node " + std::to_string(n) + " to complete"));
    EXPECT_THAT(console, Not(HasSubstr("Installing new version to node disk")));
    EXPECT_THAT(console, HasSubstr("Rebooting.\n"));
    EXPECT_EQ(roots(), "BB BB BB BB BB BB BB BB");
    expect_everywhere(release_of("2.2.3.10"), base);
}

/* The three ways of not switching roots: --noreboot prepares the switch
 * but restarts nothing, --retain-root installs into the running root and
 * restarts on it, --preload fills the alternate root and leaves it there.
 * The packages come from another node and from the package host. */
TEST_F(ClusterUpdate, NoRebootRetainRootAndPreloadOnTwoNodes)
{
    up(2);
    release("r10.tgz", "2.2.3.10");
    release("r11.tgz", "2.2.3.11");
    release("r12.tgz", "2.2.3.12");
    run(1, "rcp pkghost:/r10.tgz /var/tmp/r10.tgz");

    std::string console;
    update_staying_up(0, "--noreboot --rcp node1:/var/tmp/r10.tgz", &console);
    EXPECT_THAT(console, HasSubstr("Installing to partition: 2\n"));
    EXPECT_EQ(roots(), "AB AB");
    expect_everywhere(base, release_of("2.2.3.10"));
    /* The copy fetched from node1 is gone from node0, node1 keeps its own. */
    EXPECT_EQ(run(0, "ls /altroot/tmp | wc -l; ls /var/tmp/r10.tgz 2>/dev/null | wc -l"), "0\n0\n");
    EXPECT_EQ(run(1, "ls /var/tmp/r10.tgz"), "/var/tmp/r10.tgz\n");

    run(0, "rcp pkghost:/r11.tgz /var/tmp/r11.tgz");
    update_rebooting(0, "--retain-root --file /var/tmp/r11.tgz", &console);
    EXPECT_THAT(console, HasSubstr("Retaining prior root partition.\n"));
    EXPECT_THAT(console, HasSubstr("Stopping the PM on all nodes.\n"));
    EXPECT_THAT(console, HasSubstr("Rebooting.\n"));
    /* lilo ran in the running root: the switch prepared above is undone. */
    EXPECT_EQ(roots(), "AA AA");
    expect_everywhere(release_of("2.2.3.11"), release_of("2.2.3.10"));
    EXPECT_EQ(run(0, "ls /pm_nostart 2>/dev/null | wc -l; rsh node1 ls /pm_nostart | wc -l"),
              "0\n0\n");

    update_staying_up(1, "--preload --rcp pkghost:/r12.tgz", &console);
    EXPECT_THAT(console, HasSubstr("Retaining prior root partition.\n"));
    EXPECT_EQ(roots(), "AA AA");
    expect_everywhere(release_of("2.2.3.11"), release_of("2.2.3.12"));
}

/* Releases that choose the mode themselves. noreboot: the switch is
 * prepared, nothing restarts. partial: before the release goes into the
 * alternate root, that root gets the running release's packages, so what
 * the release lacks comes from the release running now, not from whatever
 * the partition held. nopivot: into the running root, although the
 * operator asked for a switch. */
TEST_F(ClusterUpdate, ReleaseFlagsChooseTheModeOnTwoNodes)
{
    up(2);
    release("noreboot.tgz", "2.2.3.10", {"--flag", "noreboot"});
    release("partial.tgz", "2.2.3.11",
            {"--package", "osk=2.2.3.11-1", "--depends", "osk-base (>= 2.2.2.164-1)", "--package",
             "osk-tools=2.2.3.11-1", "--flag", "partial"},
            false);
    release("nopivot.tgz", "2.2.3.12", {"--flag", "nopivot"});

    std::string console;
    update_staying_up(0, "--rcp pkghost:/noreboot.tgz", &console);
    EXPECT_THAT(console, HasSubstr("Installing to partition: 2\n"));
    EXPECT_EQ(roots(), "AB AB");
    expect_everywhere(base, release_of("2.2.3.10"));

    update_rebooting(1, "--rcp pkghost:/partial.tgz", &console);
    EXPECT_EQ(roots(), "BB BB");
    expect_everywhere("osk=2.2.3.11-1 osk-base=2.2.2.164-1 osk-tools=2.2.3.11-1", base);

    update_rebooting(0, "--rcp pkghost:/nopivot.tgz", &console);
    EXPECT_THAT(console, HasSubstr("Retaining prior root partition.\n"));
    EXPECT_EQ(roots(), "BB BB");
    expect_everywhere(release_of("2.2.3.12"), base);
}

/* A release that asks for the in-place revert store, applied to the
 * running root, is taken back by --revert on the running root of every
 * node, without a restart. */
TEST_F(ClusterUpdate, InPlaceRevertOnTwoNodes)
{
    up(2);
    release("r.tgz", "2.2.3.10",
            {"--flag", "setup_localrevert", "--postinst",
             "echo ${PATCH_RETAINROOT:-unset} > /var/opt/osk/retainroot"});

    std::string console;
    update_rebooting(1, "--retain-root --rcp pkghost:/r.tgz", &console);
    EXPECT_EQ(roots(), "AA AA");
    expect_everywhere(release_of("2.2.3.10"), base);
    for (int n = 0; n < 2; n++)
        EXPECT_EQ(run(n, "cat /var/opt/osk/retainroot"), "1\n") << "node " << n;

    update_staying_up(0, "--revert", &console);
    EXPECT_THAT(console, HasSubstr("Applying in-place revert...\n"));
    EXPECT_THAT(console, HasSubstr("Successful.\n"));
    EXPECT_EQ(roots(), "AA AA");
    expect_everywhere(base, base);
    /* The store is used up: the next revert would switch roots. */
    EXPECT_EQ(run(0, "ls -d /var/opt/osk/packages_localrevert /pm_nostart 2>/dev/null | wc -l; "
                     "rsh node1 ls -d /var/opt/osk/packages_localrevert /pm_nostart | wc -l"),
              "0\n0\n");
}

/* A cluster that is not ready stops the update before anything is
 * installed; a node whose install fails is named, and nothing restarts. */
TEST_F(ClusterUpdate, NotReadyOrFailingNodeStopsTheUpdateOnFourNodes)
{
    up(4);
    release("r.tgz", "2.2.3.10");
    release("bad.tgz", "2.2.3.10", {"--postinst", "[ \"$(hostname)\" != node2 ] || exit 1"});
    std::string console;
    auto nothing_installed = [&] {
        expect_everywhere(base, base);
        EXPECT_EQ(roots(), "AA AA AA AA");
    };

    std::string simd = shell_quote(build_program("osk-simd"));
    std::string ctl = simd + " ctl " + dir + " integrate 3 ";
    ASSERT_EQ(system((ctl + "0 >/dev/null").c_str()), 0);
    EXPECT_EQ(update(0, "--rcp pkghost:/r.tgz", &console), 1);
    EXPECT_THAT(console, HasSubstr("Node 3 not fully integrated and not ready to be updated\n"));
    EXPECT_THAT(console, HasSubstr(banner));
    EXPECT_THAT(console, Not(HasSubstr("Node 2 not")));
    ASSERT_EQ(system((ctl + "1 >/dev/null").c_str()), 0);
    nothing_installed();

    /* A node whose remote shell does not answer: nothing listens there. */
    ASSERT_EQ(test_cluster_cli(dir, {"fault", "rsh-fail", "2"}).status, 0);
    int st = update(1, "--rcp pkghost:/r.tgz", &console);
    ASSERT_EQ(test_cluster_cli(dir, {"fault", "clear"}).status, 0);
    EXPECT_EQ(st, 1);
    EXPECT_THAT(console, HasSubstr("Not all nodes are currently accessible.\n"));
    EXPECT_THAT(console, HasSubstr(banner));
    nothing_installed();

    update_staying_up(0, "--rcp pkghost:/bad.tgz", &console, 28);
    EXPECT_THAT(console, HasSubstr("Update of node 2 failed.\n"));
    for (int n : {1, 3})
        EXPECT_THAT(console, Not(HasSubstr("Update of node " + std::to_string(n) + " failed")));
    EXPECT_THAT(console, HasSubstr("Update failed on one or more other nodes."));
    EXPECT_THAT(console, HasSubstr(banner));
    EXPECT_EQ(roots(), "AA AA AA AA");
    for (int n = 0; n < 4; n++)
        EXPECT_EQ(installed(n, "/"), base);
    EXPECT_THAT(installed(2, "/altroot"), HasSubstr("osk-tools=2.2.3.10-1(iF)"));
    EXPECT_EQ(installed(3, "/altroot"), release_of("2.2.3.10"));

    /* Node 2 cannot repair that package: its verification's failure notice,
     * in the output node 0 reads over rsh, stops the run. */
    update_staying_up(0, "--rcp pkghost:/r.tgz", &console, 25);
    EXPECT_THAT(console, HasSubstr("Node 2 validation failed.\n"));
    for (int n : {0, 1, 3})
        EXPECT_THAT(console, Not(HasSubstr("Node " + std::to_string(n) + " validation")));
    EXPECT_THAT(console, Not(HasSubstr("Installing new version")));
}

/* lilo failing: status 25, both of its streams in the run log, and no
 * restart. Over the remote shell the same failure goes unseen, because rsh
 * carries no exit status: that node boots its old root again. */
TEST_F(ClusterUpdate, LiloFailureStopsTheRunUnlessItIsRemote)
{
    up(2);
    release("r.tgz", "2.2.3.10");
    run(1, "rm /altroot/etc/lilo.conf");

    std::string console;
    update_staying_up(1, "--local --rcp pkghost:/r.tgz", &console, 25);
    EXPECT_THAT(console, HasSubstr("lilo did not complete successfully!"));
    EXPECT_THAT(console, HasSubstr(banner));
    std::string log = run_log(1);
    EXPECT_THAT(log, HasSubstr("Output of lilo to stdout:\n"));
    /* What lilo said about its missing configuration, under its heading. */
    size_t err_at = log.find("Output of lilo to stderr:\n");
    ASSERT_NE(err_at, std::string::npos);
    EXPECT_NE(log.find("/etc/lilo.conf", err_at), std::string::npos) << log.substr(err_at);
    EXPECT_EQ(status()[1].boot, 'A');
    EXPECT_EQ(installed(1, "/altroot"), release_of("2.2.3.10"));

    update_rebooting(0, "--rcp pkghost:/r.tgz", &console);
    EXPECT_THAT(console, Not(HasSubstr("lilo did not complete successfully!")));
    EXPECT_EQ(roots(), "BB AA");
    /* What lilo said is in the run log, which node 0 wrote on its old root. */
    EXPECT_THAT(run(0, "cat /altroot/var/log/osk/update"), HasSubstr("/etc/lilo.conf"));
}
