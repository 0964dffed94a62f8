/*
 * Release packages end to end: `update --local --noreboot` run by an
 * operator on node 0 of a simulated cluster, with releases made by the
 * release builder. Each case looks at what the operator sees (console,
 * exit status) and at what the node then is: the packages of its two
 * roots and their apt source lists.
 *
 * One cluster serves the whole suite; every case starts from node 0's
 * alternate root set back to the base release, and must leave the running
 * root's package database exactly as the cluster made it.
 */
#include <regex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mkrelease.h"
#include "test_cluster.h"

#include "osk_banned.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace
{

const char BANNER[] = "Update failed.\nCheck /var/log/osk/update for details.\n";
const char BASE[] = "2.2.2.164-1";
const char MARKER[] = "# Lines below for use by update only\n";
const char PKG_LINE[] = "deb file:/tmp/oskpackage Valtor-2-0 osk\n";

/* apt treats an older release as a downgrade (which `-qq` refuses) only
 * when the release's repository ranks above the installed packages; the
 * simulated node's apt configuration does not say so yet. */
const char PIN[] = "Package: *\nPin: origin \"\"\nPin-Priority: 1001\n";

/* Node 0's alternate root back to the base release: whatever a case
 * installed, half-installed or removed, and its source list. */
const char RESET[] =
    "set -e; chroot /altroot sh -c '"
    "extra=$(dpkg-query -W -f \"\\${db:Status-Abbrev} \\${Package}\\n\" \"osk*\" | "
    "awk \"\\$1 != \\\"un\\\" && \\$2 !~ /^osk(-base|-tools)?\\$/ {print \\$2}\"); "
    "[ -z \"$extra\" ] || dpkg --purge --force-all $extra; "
    "dpkg --force-downgrade --force-depends -i /var/opt/osk/packages/*.deb' >/dev/null; "
    ": > /altroot/etc/apt/sources.list; rm -f /altroot/etc/apt/sources.list.orig.* "
    "/altroot/etc/apt/sources.list.tmp.* "
    "/altroot/var/tmp/postinst-failed";

class Package : public ::testing::Test
{
  protected:
    static std::string dir;
    static std::string why;      /* why the cluster is not usable; empty when it is */
    static std::string dpkg_sum; /* the running root's /var/lib/dpkg/status */

    static void SetUpTestSuite()
    {
        dir = test_cluster_dir("pkg");
        if (test_cluster_up(dir, 2, &why) != 0) {
            why = "cluster did not start: " + why;
            return;
        }
        std::string out;
        if (test_cluster_exec(dir, 0, "md5sum < /var/lib/dpkg/status", &out) != 0)
            why = "cannot read the running root's status";
        dpkg_sum = out;
        std::string pin = std::string("printf '") + PIN + "' > /altroot/etc/apt/preferences.d/osk";
        if (test_cluster_exec(dir, 0, pin) != 0)
            why = "cannot write the apt preference";
    }
    static void TearDownTestSuite()
    {
        EXPECT_EQ(test_cluster_down(dir), 0);
    }

    void SetUp() override
    {
        ASSERT_EQ(why, "");
        std::string out, err;
        ASSERT_EQ(test_cluster_exec(dir, 0, RESET, &out, &err), 0) << out << err;
        ASSERT_EQ(versions("/altroot"), "osk 2.2.2.164-1 ii\nosk-base 2.2.2.164-1 ii\n"
                                        "osk-tools 2.2.2.164-1 ii\n");
    }
    void TearDown() override
    {
        if (!why.empty())
            return;
        /* Whatever a case did to the target root, the running root stays. */
        EXPECT_EQ(sh("md5sum < /var/lib/dpkg/status"), dpkg_sum);
        EXPECT_EQ(versions("/"), "osk 2.2.2.164-1 ii\nosk-base 2.2.2.164-1 ii\n"
                                 "osk-tools 2.2.2.164-1 ii\n");
        EXPECT_EQ(sh("cat /etc/apt/sources.list"), "");
    }

    /* Builds a release into the package host as NAME. */
    void make(const std::string &name, std::vector<std::string> args)
    {
        std::string err;
        args.insert(args.end(), {"-o", dir + "/pkghost/" + name});
        ASSERT_EQ(mkrel_make(args, &err), 0) << err;
    }

    /* `update ARGS` on node 0; its console (both streams) in *console. */
    int update(const std::string &args, std::string *console)
    {
        return test_cluster_update(dir, 0, args, console);
    }

    /* Standard output of CMD on node 0. */
    std::string sh(const std::string &cmd)
    {
        std::string out;
        (void)test_cluster_exec(dir, 0, cmd, &out);
        return out;
    }

    /* "NAME VERSION STATUS" lines of the osk packages dpkg knows in ROOT
     * (virtual ones, which have no version, left out). */
    /* The node software of ROOT, as the releases here install it: every osk
     * package but the updater's own, which no release here carries. */
    std::string versions(const std::string &root)
    {
        std::string chroot = root == "/" ? "" : "chroot " + root + " ";
        return sh(chroot + "dpkg-query -W -f '${Package} ${Version} ${db:Status-Abbrev}\\n' "
                           "'osk*' | awk 'NF == 3 && $1 != \"osk-update\" {print $1, $2, $3}'");
    }
    std::string altroot_osk()
    {
        return sh("chroot /altroot dpkg-query -W -f '${Version} ${db:Status-Abbrev}' osk | sed 's/ "
                  "*$//'");
    }
    /* Records of node 0's run log holding TEXT (the log may not exist yet). */
    int log_count(const std::string &text)
    {
        return std::stoi("0" +
                         sh("cat /var/log/osk/update 2>/dev/null | grep -c -F '" + text + "'"));
    }
    std::string altroot_sources()
    {
        return sh("cat /altroot/etc/apt/sources.list");
    }
};

std::string Package::dir, Package::why, Package::dpkg_sum;

const char R10[] = "2.2.3.10-1";
const std::vector<std::string> RELEASE_10 = {"--release",   "2.2.3.10",
                                             "--package",   "osk=2.2.3.10-1",
                                             "--depends",   "osk-base (= 2.2.3.10-1)",
                                             "--toc",       "27",
                                             "--handshake", "5",
                                             "--package",   "osk-base=2.2.3.10-1"};

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string> &more)
{
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

TEST_F(Package, GoodReleaseInstallsIntoTheAlternateRootOnly)
{
    make("good.tgz", RELEASE_10);
    std::string console;
    ASSERT_EQ(update("--local --noreboot --rcp pkghost:/good.tgz", &console), 0) << console;
    EXPECT_THAT(console, HasSubstr("Extracting...\n"));
    EXPECT_THAT(console, HasSubstr("Installing new version to node disk...\n"
                                   "Done installing new version.\n"));
    EXPECT_THAT(console, Not(HasSubstr("Update failed.")));

    EXPECT_EQ(versions("/altroot"), "osk 2.2.3.10-1 ii\nosk-base 2.2.3.10-1 ii\n"
                                    "osk-tools 2.2.2.164-1 ii\n");
    /* The package line is gone again and nothing of the edit is left; the
     * unpacked release and the copy fetched with rcp are cleaned up. */
    EXPECT_EQ(altroot_sources(), "");
    EXPECT_EQ(sh("ls /altroot/etc/apt | grep 'sources.list.\\(orig\\|tmp\\)'"), "");
    EXPECT_EQ(sh("ls /altroot/tmp"), "");
}

/* Every damaged release stops before anything is installed, with its
 * status and message. */
TEST_F(Package, DamagedReleasesAreRefusedAndInstallNothing)
{
    const std::string mismatch = "Checksums [0-9a-f]{32}-[0-9a-f]{32} did not match\\.\n";
    struct damage {
        const char *name;
        std::vector<std::string> args;
        int status;
        std::string message; /* a regular expression */
    } cases[] = {
        {"corrupt.tgz", {"--fault", "corrupt-deb=osk-base"}, 3, mismatch},
        {"badmd5.tgz", {"--fault", "bad-md5=osk"}, 3, mismatch},
        {"missing.tgz", {"--fault", "missing-deb=osk"}, 3, "Could not compute checksum\\.\n"},
        {"md5first.tgz",
         {"--fault", "md5-first=osk"},
         3,
         "Checksums did not match - corrupted file\\.\n"},
        {"noindex.tgz",
         {"--fault", "no-index"},
         3,
         "Error: Unable to open /altroot/tmp/oskpackage/dists/Valtor-2-0/osk/binary-i386/"
         "Packages for reading\\.\nChecksums missing - corrupted file\\.\n"},
        {"truncated.tgz",
         {"--fault", "truncate"},
         4,
         "Extracting\\.\\.\\.\nChecksums did not match - corrupted file\\.\n"},
        /* Not a POSIX tar and not compressed: refused without running tar. */
        {"v7.tar",
         {"--format", "v7tar"},
         4,
         "Extracting\\.\\.\\.\nChecksums did not match - corrupted file\\.\n"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        make(c.name, with(RELEASE_10, c.args));
        int tar_runs = log_count(" /bin/tar ");
        std::string console;
        EXPECT_EQ(update(std::string("--local --noreboot --rcp pkghost:/") + c.name, &console),
                  c.status)
            << console;
        EXPECT_TRUE(std::regex_search(console, std::regex(c.message))) << console;
        EXPECT_THAT(console, HasSubstr(BANNER));
        if (c.args[1] == "v7tar") {
            EXPECT_EQ(log_count(" /bin/tar "), tar_runs);
        }
        EXPECT_EQ(altroot_osk(), "2.2.2.164-1 ii");
        EXPECT_EQ(altroot_sources(), "");
    }
    EXPECT_EQ(versions("/altroot"), "osk 2.2.2.164-1 ii\nosk-base 2.2.2.164-1 ii\n"
                                    "osk-tools 2.2.2.164-1 ii\n");
}

/* --getversion unpacks and checks the release, prints its version and
 * stops: no install, no source-list edit, no log record. */
TEST_F(Package, GetversionPrintsTheVersionAndTouchesNothing)
{
    make("good.tgz", RELEASE_10);
    /* Only the sums the index lists are checked: an index without any
     * passes. */
    make("nosums.tgz", with(RELEASE_10, {"--fault", "no-md5=osk", "--fault", "no-md5=osk-base"}));
    ASSERT_EQ(sh("rcp pkghost:/good.tgz /var/tmp/good.tgz && echo ok"), "ok\n");
    const std::string log_before = sh("cat /var/log/osk/update 2>/dev/null | md5sum");

    for (const char *how : {"--file /var/tmp/good.tgz", "--rcp pkghost:/nosums.tgz"}) {
        SCOPED_TRACE(how);
        std::string console;
        EXPECT_EQ(update(std::string("--getversion --local ") + how, &console), 0) << console;
        EXPECT_THAT(console, HasSubstr(std::string("Extracting...\n") + R10 + "\n"));
        EXPECT_THAT(console, Not(HasSubstr("Installing")));
    }
    EXPECT_EQ(sh("cat /var/log/osk/update 2>/dev/null | md5sum"), log_before);
    EXPECT_EQ(altroot_osk(), "2.2.2.164-1 ii");
    EXPECT_EQ(altroot_sources(), "");
}

TEST_F(Package, OlderReleaseIsRefusedUnlessForced)
{
    make("old.tgz", {"--release", "2.2.2.100", "--package", "osk=2.2.2.100-1"});
    const std::string refusal = "Update was not done because the specified package\n"
                                "may be older than the currently installed package.\n"
                                "To override, specify the ";
    std::string console;
    EXPECT_EQ(update("--local --noreboot --rcp pkghost:/old.tgz", &console), 16);
    EXPECT_THAT(console, HasSubstr(refusal + "-d option.\n" + BANNER));
    EXPECT_EQ(altroot_osk(), "2.2.2.164-1 ii");

    /* The management command line names its own override. */
    EXPECT_EQ(update("--local --noreboot --cli --rcp pkghost:/old.tgz", &console), 16);
    EXPECT_THAT(console, HasSubstr(refusal + "-force option.\n"));
    EXPECT_EQ(altroot_osk(), "2.2.2.164-1 ii");

    EXPECT_EQ(update("--local --noreboot -d --rcp pkghost:/old.tgz", &console), 0) << console;
    EXPECT_EQ(altroot_osk(), "2.2.2.100-1 ii");
    /* The refused runs stopped after adding the package line; this run puts
     * back the list it found, line included, for the next verification. */
    EXPECT_EQ(altroot_sources(), std::string(MARKER) + PKG_LINE);
}

TEST_F(Package, PatchAppliesOnlyToTheVersionsItLists)
{
    make("patch.tgz", with(RELEASE_10, {"--patchagainst", "2.2.2.100,2.2.2.150"}));
    std::string console;
    EXPECT_EQ(update("--local --noreboot --rcp pkghost:/patch.tgz", &console), 16);
    /* Each listed line keeps its own line end: the list prints double-spaced. */
    EXPECT_THAT(console, HasSubstr("This patch can only be applied against the following "
                                   "versions:\n\n2.2.2.100\n\n2.2.2.150\n\n" +
                                   std::string(BANNER)));
    EXPECT_EQ(altroot_osk(), "2.2.2.164-1 ii");
    EXPECT_EQ(altroot_sources(), "");

    /* Listed without its Debian revision, as installed versions are compared. */
    make("patch.tgz", with(RELEASE_10, {"--patchagainst", "2.2.2.100,2.2.2.164"}));
    EXPECT_EQ(update("--local --noreboot --rcp pkghost:/patch.tgz", &console), 0) << console;
    EXPECT_EQ(altroot_osk(), "2.2.3.10-1 ii");
}

/* --check-rolling-type answers with exit 0 whatever the verdict, and
 * leaves the node alone. */
TEST_F(Package, CheckRollingTypeReportsTheKindOfUpgrade)
{
    auto release = [](const char *version, const char *handshake) {
        std::string v(version);
        return std::vector<std::string>{"--release",   v,        "--package", "osk=" + v + "-1",
                                        "--handshake", handshake};
    };
    const std::string standard =
        "Upgrades from 2.2.2.164-1 to 2.2.3.10-1 will perform a standard rolling upgrade.\n";
    struct verdict {
        const char *name;
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {"simple.tgz", with(release("2.2.3.10", "5"), {"--simple-list", "2.2.2.100,2.2.2.164"}),
         "Upgrades from 2.2.2.164-1 to 2.2.3.10-1 will perform a simple rolling upgrade.\n"},
        {"hs6.tgz", release("2.2.3.10", "6"), standard},
        /* Release texts keep the blank after "Release-Version:". */
        {"hs7.tgz", release("2.2.3.10", "7"),
         "The difference in the handshake versions is too great.  A rolling upgrade from\n"
         " 2.2.2.164 to  2.2.3.10 can not be performed.\n"},
        {"distant.tgz", with(release("2.2.3.10", "9"), {"--distant-list", "2.2.2.164"}), standard},
        {"older.tgz", release("2.2.2.100", "5"),
         "The package version ( 2.2.2.100) is not greater than the current\n"
         "version ( 2.2.2.164).  A rolling upgrade can not be performed.\n"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        make(c.name, c.args);
        std::string console;
        EXPECT_EQ(update(std::string("--check-rolling-type --rcp pkghost:/") + c.name, &console),
                  0);
        EXPECT_THAT(console, HasSubstr(c.message));
        EXPECT_THAT(console, Not(HasSubstr("Update failed.")));
    }
    EXPECT_EQ(altroot_osk(), "2.2.2.164-1 ii");
    EXPECT_EQ(altroot_sources(), "");
}

/* Runs CMD on node 0 now and UNDO when the scope ends, failed or not. */
struct node_change {
    std::string dir, undo;
    ~node_change()
    {
        (void)test_cluster_exec(dir, 0, undo);
    }
};

/* Writes that fail on the way to the install stop the update with status
 * 25 and leave the running root's files as they were: a full disk under the
 * running root's source list, a package file that cannot be moved into the
 * revert store, a scratch link that cannot be made. */
TEST_F(Package, FailedWritesStopTheUpdateAndLeaveTheRunningRootWhole)
{
    make("good.tgz", RELEASE_10);
    make("lrev.tgz", with(RELEASE_10, {"--flag", "setup_localrevert"}));
    std::string console;
    {
        node_change full{dir, "umount /etc/apt"};
        ASSERT_EQ(test_cluster_exec(dir, 0,
                                    "mount -t tmpfs -o size=8k tmpfs /etc/apt && yes '# keep' | "
                                    "head -c 3000 > /etc/apt/sources.list && "
                                    "head -c 4096 /dev/zero > /etc/apt/filler"),
                  0);
        std::string before = sh("md5sum < /etc/apt/sources.list; ls /etc/apt");
        EXPECT_EQ(update("--local --noreboot --retain-root --rcp pkghost:/good.tgz", &console), 25);
        EXPECT_THAT(console, HasSubstr("Error: Unable to write /etc/apt/sources.list.tmp."));
        EXPECT_THAT(console, HasSubstr(": No space left on device\n" + std::string(BANNER)));
        EXPECT_EQ(sh("md5sum < /etc/apt/sources.list; ls /etc/apt"), before);
    }
    {
        const std::string store = "/var/opt/osk/packages";
        const std::string busy = store + "/osk-base_2.2.2.164-1_i386.deb";
        node_change mounted{dir, "umount " + busy};
        ASSERT_EQ(test_cluster_exec(dir, 0, "mount --bind " + busy + " " + busy), 0);
        std::string before = sh("ls " + store);
        EXPECT_EQ(update("--local --noreboot --rcp pkghost:/lrev.tgz", &console), 25);
        EXPECT_THAT(console,
                    HasSubstr("Could not move " + busy + " to /var/opt/osk/packages_localrevert/"));
        EXPECT_THAT(console, HasSubstr(BANNER));
        EXPECT_THAT(console, Not(HasSubstr("Installing new version")));
        EXPECT_EQ(sh("ls " + store), before);
        EXPECT_EQ(sh("ls -d /var/opt/osk/packages_localrevert 2>/dev/null"), "");
    }
    {
        node_change readonly{dir, "umount /tmp"};
        ASSERT_EQ(test_cluster_exec(dir, 0,
                                    "rm -rf /tmp/oskpackage && mount --bind /tmp /tmp && "
                                    "mount -o remount,bind,ro /tmp"),
                  0);
        EXPECT_EQ(update("--local --noreboot --rcp pkghost:/good.tgz", &console), 25);
        EXPECT_THAT(console, HasSubstr("Error: Cannot link /tmp/oskpackage to "
                                       "/altroot/tmp/oskpackage: Read-only file system\n" +
                                       std::string(BANNER)));
    }
    EXPECT_EQ(altroot_osk(), "2.2.2.164-1 ii");
    EXPECT_EQ(altroot_sources(), "");
}

/* A postinst that keeps failing: the package line stays in the target
 * root's list (only a good install takes it out) and the verification
 * cannot repair the package, so it says so. */
TEST_F(Package, FailingPostinstStopsTheUpdateAndTheVerification)
{
    make("pfail.tgz", {"--release", "2.2.4.1", "--package", "osk=2.2.4.1-1", "--postinst-fail"});
    std::string console;
    EXPECT_EQ(update("--local --noreboot --rcp pkghost:/pfail.tgz", &console), 30);
    EXPECT_THAT(console,
                HasSubstr("Installing new version to node disk...\n" + std::string(BANNER)));
    EXPECT_THAT(console, Not(HasSubstr("Done installing")));
    EXPECT_EQ(altroot_osk(), "2.2.4.1-1 iF");
    EXPECT_EQ(altroot_sources(), std::string(MARKER) + PKG_LINE);

    EXPECT_EQ(update("--verify", &console), 25);
    EXPECT_THAT(console, HasSubstr(BANNER));
    EXPECT_EQ(altroot_osk(), "2.2.4.1-1 iF");
}

/* A postinst that fails once: the next verification configures the
 * package and drops the line the stopped update left behind. */
TEST_F(Package, VerifyRepairsWhatAFailedInstallLeft)
{
    make("ponce.tgz", {"--release", "2.2.4.1", "--package", "osk=2.2.4.1-1", "--postinst",
                       "if [ ! -e /var/tmp/postinst-failed ]; then touch "
                       "/var/tmp/postinst-failed; exit 1; fi"});
    std::string console;
    EXPECT_EQ(update("--local --noreboot --rcp pkghost:/ponce.tgz", &console), 30);
    EXPECT_EQ(altroot_sources(), std::string(MARKER) + PKG_LINE);

    EXPECT_EQ(update("--verify", &console), 0) << console;
    EXPECT_THAT(console, Not(HasSubstr("Update failed.")));
    EXPECT_EQ(altroot_osk(), "2.2.4.1-1 ii");
    EXPECT_EQ(altroot_sources(), MARKER);
}

TEST_F(Package, VerifyConfiguresAnUnpackedPackage)
{
    ASSERT_EQ(
        sh("chroot /altroot dpkg --unpack /var/opt/osk/packages/osk-tools_2.2.2.164-1_i386.deb"
           " >/dev/null && chroot /altroot dpkg-query -W -f '${db:Status-Abbrev}' osk-tools | sed "
           "'s/ *$//'"),
        "iU");
    std::string console;
    EXPECT_EQ(update("--verify", &console), 0) << console;
    EXPECT_EQ(
        sh("chroot /altroot dpkg-query -W -f '${db:Status-Abbrev}' osk-tools | sed 's/ *$//'"),
        "ii");
}

TEST_F(Package, ObsoletePackagesAreRemovedFromTheTargetRoot)
{
    /* One installed, one the node never had. */
    make("obs.tgz", with(RELEASE_10, {"--obsolete", "osk-tools,osk-gone"}));
    std::string console;
    EXPECT_EQ(update("--local --noreboot --rcp pkghost:/obs.tgz", &console), 0) << console;
    EXPECT_THAT(console, HasSubstr("Done installing new version.\nRemoving 1 obsolete package.\n"));
    EXPECT_EQ(versions("/altroot"), "osk 2.2.3.10-1 ii\nosk-base 2.2.3.10-1 ii\n");
}

/* A postinst that leaves a process running, as a daemon would: the update
 * goes on once the package is installed, with the leftover noted in the
 * log, instead of waiting for that process to end. */
TEST_F(Package, ProcessLeftRunningByAPostinstDoesNotHoldTheUpdate)
{
    make("linger.tgz", {"--release", "2.2.3.10", "--package", "osk=2.2.3.10-1", "--postinst",
                        "sleep 900 & echo $! > /var/tmp/lingering"});
    std::string console;
    EXPECT_EQ(update("--local --noreboot --rcp pkghost:/linger.tgz", &console), 0) << console;
    EXPECT_EQ(altroot_osk(), "2.2.3.10-1 ii");
    EXPECT_GE(log_count("output still held open by another process"), 1);
    (void)sh("kill $(cat /altroot/var/tmp/lingering); rm -f /altroot/var/tmp/lingering");
}

} // namespace
