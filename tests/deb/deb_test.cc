/*
 * The build's own Debian package: what lintian says of it and what it
 * holds; then, on a simulated cluster of four nodes whose roots run the
 * update their base release installed, an update to a release carrying
 * the next package, and a revert. Judged by `update --version` on every
 * node, the run logs' headers and the packages dpkg lists.
 */
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "build_release.h"
#include "mkrelease.h"
#include "test_cluster.h"

#include "osk_banned.h"

using ::testing::HasSubstr;
using ::testing::Not;

static std::string sh(const std::string &cmd, int *status = nullptr)
{
    run_result r = child_run({"/bin/sh", "-c", cmd});
    if (status)
        *status = r.status;
    return r.out;
}

/* lintian has nothing to say, not even information (hardening flags lost, a
 * program's package not named); the package holds the build's programs
 * where a node runs them, and says what it needs. */
TEST(Package, LintianFindsNothingAndTheProgramsAreWhereNodesRunThem)
{
    const std::string deb = shell_quote(OSK_DEB);
    int st;
    std::string lint = sh("lintian -I --tag-display-limit 0 " + deb + " 2>&1", &st);
    EXPECT_THAT(lint, Not(::testing::ContainsRegex("(^|\n)[EWIXP]: "))) << lint;

    std::string version = sh("dpkg-deb --field " + deb + " Version");
    std::string release =
        sh(shell_quote(std::string(OSK_BUILD_DIR) + "/bin/update") + " --version");
    EXPECT_EQ("OSK version " + version.substr(0, version.rfind('-')) + "\n", release);
    EXPECT_THAT(sh("dpkg-deb --field " + deb + " Depends"), HasSubstr("libc6"));
    std::string files = sh("dpkg-deb --contents " + deb);
    for (const char *f :
         {"./usr/sbin/update", "./usr/bin/osk-mcall", "./usr/share/doc/osk-update/copyright",
          "./usr/share/doc/osk-update/changelog.Debian.gz"})
        EXPECT_THAT(files, HasSubstr(f));
}

/* Packaging one build twice, under umasks that would leak into modes, makes
 * the same bytes; every entry carries the last commit's time (the
 * changelog's out of a git tree) and root's name, so nothing of the moment
 * or the builder's account gets in. */
TEST(Package, TwoPackagingsOfOneBuildAreTheSameBytes)
{
    char tmpl[] = "/var/tmp/osk-deb-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const std::string bin = std::string(OSK_BUILD_DIR) + "/bin/";
    const std::string pack = shell_quote(std::string(OSK_SOURCE_DIR) + "/tools/deb/build-deb") +
                             " %s " OSK_RELEASE " " + shell_quote(bin + "update") + " " +
                             shell_quote(bin + "osk-mcall");
    std::string debs[2];
    const char *umasks[2] = {"022", "077"};
    for (int i = 0; i < 2; i++) {
        std::string out = dir + "/" + umasks[i];
        std::string cmd = pack;
        cmd.replace(cmd.find("%s"), 2, shell_quote(out));
        int st;
        std::string made =
            sh(std::string("umask ") + umasks[i] + "; unset SOURCE_DATE_EPOCH; " + cmd, &st);
        ASSERT_EQ(st, 0) << made;
        debs[i] = made.substr(0, made.find('\n'));
    }
    std::string a = sh("cat " + shell_quote(debs[0])), b = sh("cat " + shell_quote(debs[1]));
    EXPECT_FALSE(a.empty());
    EXPECT_TRUE(a == b) << debs[0] << " and " << debs[1] << " differ";

    const std::string src = shell_quote(OSK_SOURCE_DIR);
    std::string when = sh("t=$(git -C " + src + " log -1 --format=%ct 2>/dev/null) || t=$(" +
                          "dpkg-parsechangelog -l " + src + "/tools/deb/changelog -STimestamp); " +
                          "date -u -d @$t '+ %F %T '");
    when.pop_back();
    std::string listing =
        sh("dpkg-deb --fsys-tarfile " + shell_quote(debs[0]) + " | TZ=UTC tar -tv --full-time");
    std::istringstream lines(listing);
    int n = 0;
    for (std::string line; std::getline(lines, line); n++) {
        EXPECT_THAT(line, HasSubstr(" root/root ")) << line;
        EXPECT_THAT(line, HasSubstr(when)) << line;
    }
    EXPECT_GT(n, 5) << listing;
    sh("rm -rf " + shell_quote(dir));
}

class Handover : public ::testing::Test
{
  protected:
    std::string dir;
    const int nnodes = 4;

    void SetUp() override
    {
        dir = test_cluster_dir("handover");
    }
    void TearDown() override
    {
        EXPECT_EQ(test_cluster_down(dir), 0);
    }
    std::string run(int node, const std::string &cmd, int want = 0)
    {
        return test_cluster_run(dir, node, cmd, want);
    }
    /* The update whose run restarts every node, until they are all back. */
    void update_and_restart(const std::string &args)
    {
        test_cluster_mark_boot(dir, nnodes);
        std::string console;
        int st = test_cluster_update(dir, 0, args, &console);
        if (st != 0) {
            /* Its session with node 0 may end with node 0's reboot. */
            EXPECT_THAT(console, HasSubstr("Connection reset by peer")) << console;
        }
        ASSERT_TRUE(wait_for_condition(240, 250, [&] { return !test_cluster_same_boot(dir, 0); }))
            << console;
        ASSERT_TRUE(test_cluster_all_up(dir, nnodes)) << console;
    }
    /* The release the run log's last header names. */
    std::string last_header_release(int node, const std::string &log)
    {
        std::string text = run(node, "cat " + log);
        size_t built = text.rfind(" (built ");
        if (built == std::string::npos)
            return "";
        size_t start = text.rfind('\n', built);
        return text.substr(start + 1, built - start - 1);
    }
};

/* Release 2.2.3.10 carries the next update. Every node ends up running
 * it; the children that installed it on nodes 1 to 3 were the old one; a
 * revert brings the old one back everywhere. */
TEST_F(Handover, OneUpdateHandsOverToTheNextAndARevertBringsItBack)
{
    std::string why;
    ASSERT_EQ(test_cluster_up(dir, nnodes, &why), 0) << why;
    for (int n = 0; n < nnodes; n++)
        ASSERT_EQ(run(n, "update --version"), "OSK version " OSK_RELEASE "\n") << "node " << n;

    const std::string v = "2.2.3.10";
    std::string err;
    ASSERT_EQ(
        mkrel_make({"-o", dir + "/pkghost/r.tgz", "--release", v, "--package", "osk=" + v + "-1",
                    "--depends", "osk-base (= " + v + "-1)", "--package", "osk-base=" + v + "-1",
                    "--package", "osk-tools=" + v + "-1", "--deb", OSK_NEXT_DEB},
                   &err),
        0)
        << err;
    update_and_restart("--rcp pkghost:/r.tgz");

    std::vector<test_node_status> s;
    ASSERT_TRUE(test_cluster_status(dir, &s));
    for (int n = 0; n < nnodes; n++) {
        EXPECT_EQ(s[n].root, 'B') << "node " << n;
        EXPECT_THAT(s[n].packages, HasSubstr("osk-update_2.2.3.10-1")) << "node " << n;
        EXPECT_EQ(run(n, "update --version"), "OSK version 2.2.3.10\n") << "node " << n;
        /* The run that installed the new update on this node, now in the
         * root it left. */
        EXPECT_EQ(last_header_release(n, "/altroot/var/log/osk/update"), OSK_RELEASE)
            << "node " << n;
    }

    update_and_restart("--revert");
    ASSERT_TRUE(test_cluster_status(dir, &s));
    for (int n = 0; n < nnodes; n++) {
        EXPECT_EQ(s[n].root, 'A') << "node " << n;
        EXPECT_EQ(run(n, "update --version"), "OSK version " OSK_RELEASE "\n") << "node " << n;
    }
    /* The revert was run by the new update. */
    EXPECT_EQ(last_header_release(0, "/altroot/var/log/osk/update"), "2.2.3.10");
}
