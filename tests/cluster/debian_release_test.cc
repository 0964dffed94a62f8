/*
 * Releases of real Debian packages, made as a release engineer makes them:
 * apt's resolver, run on a node's package state, decides what the release
 * must carry besides the packages named, and the release builder's check
 * replays the install before any node sees the release. The packages come
 * from the Debian archive at test time, into a cache kept in the build
 * folder.
 *
 * What each release exercises on every node: a dependency chain (toilet,
 * libcaca0, libslang2, toilet-fonts), maintainer scripts that register an
 * alternative (figlet), debconf questions answered non-interactively
 * (tzdata), a system user and group (uuid-runtime), conffiles and a
 * service (at), and an upgrade to a newer Debian version of a package the
 * nodes already have (unzip).
 */
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cluster_fixture.h"
#include "node_base.h"

#include "osk_banned.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace
{

const char OLD_UNZIP[] = "6.0-28";

class DebianRelease : public ClusterTest
{
  protected:
    /* The layers of a fresh node's root, highest first. */
    std::string base_layers()
    {
        return dir + "/base/tree:" + dir + "/base/system";
    }

    /* Release V as pkghost:/NAME with the Debian packages named, resolved
     * against STATE (--against ROOT or --against-status FILE). */
    void debian_release(const std::string &name, const std::string &v,
                        const std::vector<std::string> &debian, const std::string &state_opt,
                        const std::string &state)
    {
        std::vector<std::string> args = release_args(name, v);
        for (const std::string &d : debian)
            args.insert(args.end(), {"--debian", d});
        args.insert(args.end(), {state_opt, state, "--cache", test_cache_dir() + "/debs"});
        make_release(args);
    }

    void update_rebooting(const std::string &args, std::string *console)
    {
        mark_boot();
        int st = update(0, args, console);
        if (st != 0) {
            EXPECT_THAT(*console, HasSubstr("Connection reset by peer")) << *console;
        }
        EXPECT_THAT(*console, Not(HasSubstr("Update failed."))) << *console;
        ASSERT_TRUE(cluster_back()) << *console;
        for (int n = 0; n < nnodes; n++)
            EXPECT_FALSE(same_boot(n)) << "node " << n << " did not reboot";
    }

    /* What a node that booted release 1 must be. */
    void expect_first_release(int n, const std::string &unzip)
    {
        SCOPED_TRACE("node " + std::to_string(n));
        EXPECT_EQ(run(n, "dpkg --audit"), "");
        EXPECT_EQ(run(n, "apt-get check -qq"), "");
        /* The chain and the alternative: the programs run from this root. */
        EXPECT_THAT(run(n, "toilet -f mono9 ok | wc -l"), Not("0\n"));
        EXPECT_EQ(run(n, "readlink -f /usr/bin/figlet"), "/usr/bin/figlet-figlet\n");
        EXPECT_EQ(run(n, "dpkg -S /usr/bin/toilet"), "toilet: /usr/bin/toilet\n");
        /* debconf's answers, non-interactive: a configured time zone. */
        EXPECT_EQ(run(n, "dpkg-query -W -f '${db:Status-Abbrev}' tzdata"), "ii ");
        EXPECT_EQ(run(n, "test -L /etc/localtime && echo zone"), "zone\n");
        /* The system user and group of the service's package. */
        EXPECT_THAT(run(n, "getent passwd uuidd"), HasSubstr(":/run/uuidd:"));
        EXPECT_EQ(run(n, "getent group uuidd | cut -d: -f1"), "uuidd\n");
        /* Conffiles registered as such. */
        EXPECT_THAT(run(n, "dpkg-query -W -f '${Conffiles}' at"), HasSubstr("/etc/at.deny"));
        EXPECT_EQ(run(n, "test -f /etc/at.deny && echo kept"), "kept\n");
        EXPECT_EQ(run(n, "dpkg-query -W -f '${Version}' unzip"), unzip);
        EXPECT_EQ(run(n, "unzip -v | head -c 9"), "UnZip 6.0");
    }
};

/* Two releases of real packages and the way back: the first resolved
 * against a fresh node's root (and checked by replaying the install into a
 * copy of it), the second against node 0's package database after the
 * first; every node boots each with a clean package state, and the revert
 * boots the first again. */
TEST_F(DebianRelease, RealPackagesInstallUpgradeAndRevertOnFourNodes)
{
    up(4);
    debian_release(
        "r1.tgz", "2.2.3.20",
        {"toilet", "figlet", "tzdata", "uuid-runtime", "at", std::string("unzip=") + OLD_UNZIP},
        "--against", base_layers());

    std::string console;
    update_rebooting("--rcp pkghost:/r1.tgz", &console);
    EXPECT_EQ(roots(), "BB BB BB BB");
    for (int n = 0; n < 4; n++)
        expect_first_release(n, OLD_UNZIP);
    /* The services' starts were asked for while the release went into a
     * root that was not running, and the node's policy refused them. */
    EXPECT_THAT(run(0, "cat /altroot/var/log/osk/update"),
                HasSubstr("policy-rc.d denied execution of start"));

    /* The second release carries what apt says node 0 lacks now: unzip's
     * newer version, and nothing of what the first one brought. */
    ASSERT_EQ(test_cluster_exec(dir, 0, "cat /var/lib/dpkg/status > /run/osk-sim/node0-status"), 0);
    debian_release("r2.tgz", "2.2.3.21", {"unzip"}, "--against-status", dir + "/run/node0-status");
    std::string listing = run(0, "rcp pkghost:/r2.tgz /tmp/r2.tgz && tar -tzf /tmp/r2.tgz");
    EXPECT_THAT(listing, HasSubstr("/unzip_"));
    EXPECT_THAT(listing, Not(HasSubstr("/toilet_")));

    update_rebooting("--rcp pkghost:/r2.tgz", &console);
    EXPECT_EQ(roots(), "AA AA AA AA");
    std::string newer = run(0, "dpkg-query -W -f '${Version}' unzip");
    EXPECT_NE(newer, OLD_UNZIP);
    for (int n = 0; n < 4; n++) {
        EXPECT_EQ(run(n, "dpkg --audit"), "") << "node " << n;
        EXPECT_EQ(run(n, "dpkg-query -W -f '${Version}' unzip"), newer) << "node " << n;
        EXPECT_EQ(run(n, "dpkg --compare-versions $(dpkg-query -W -f '${Version}' unzip) gt " +
                             std::string(OLD_UNZIP) + " && echo newer"),
                  "newer\n");
    }

    update_rebooting("--revert", &console);
    EXPECT_EQ(roots(), "BB BB BB BB");
    for (int n = 0; n < 4; n++)
        expect_first_release(n, OLD_UNZIP);
}

/* Some forty packages, what apt's resolver on a fresh node says twenty
 * everyday tools need, in one release that every node boots. */
TEST_F(DebianRelease, FortyPackagesResolvedOnANodeInstallEverywhere)
{
    up(4);
    std::vector<std::string> tools = {"tzdata",   "nano",  "vim-tiny", "procps", "iproute2",
                                      "rsync",    "jq",    "sqlite3",  "less",   "file",
                                      "xz-utils", "bzip2", "curl",     "wget",   "ca-certificates",
                                      "sudo",     "unzip", "zip",      "bc",     "ed"};
    ASSERT_NO_FATAL_FAILURE(debian_release("r.tgz", "2.2.3.30", tools, "--against", base_layers()));
    int debs = std::stoi(run(0, "rcp pkghost:/r.tgz /tmp/r.tgz && tar -tzf /tmp/r.tgz | "
                                "grep -c '[.]deb$'"));
    EXPECT_GE(debs, 40) << "the release holds the three osk packages and the tools' closure";

    std::string console;
    update_rebooting("--rcp pkghost:/r.tgz", &console);
    EXPECT_EQ(roots(), "BB BB BB BB");
    for (int n = 0; n < 4; n++) {
        SCOPED_TRACE("node " + std::to_string(n));
        EXPECT_EQ(run(n, "dpkg --audit"), "");
        EXPECT_EQ(run(n, "jq -n 1+1"), "2\n");
        EXPECT_EQ(run(n, "echo 'select 6*7;' | sqlite3"), "42\n");
        EXPECT_EQ(run(n, "dpkg -S /usr/bin/curl"), "curl: /usr/bin/curl\n");
    }
}

} // namespace
