/*
 * Bad releases and a hostile scratch space, met by `update --local` on a
 * one-node simulated cluster with the node's real tar, md5sum and shell:
 * random bytes, archives whose members climb out of "/altroot/tmp", an
 * index naming a file the shell would run, and a "/tmp/oskpackage" that an
 * earlier hand left as a file, a folder or a link elsewhere.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <random>
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

/* One member of a POSIX tar archive, written by hand so that names and
 * links can be anything. */
struct member {
    std::string name;
    char type; /* '0' file, '2' symbolic link, '1' hard link, '5' folder */
    std::string data_or_link;
};

std::string ustar(const std::vector<member> &members)
{
    std::string out;
    for (const member &m : members) {
        char h[512] = {};
        snprintf(h, 100, "%s", m.name.c_str());
        snprintf(h + 100, 8, "%07o", m.type == '5' ? 0755 : 0644);
        snprintf(h + 108, 8, "%07o", 0);
        snprintf(h + 116, 8, "%07o", 0);
        size_t size = m.type == '0' ? m.data_or_link.size() : 0;
        snprintf(h + 124, 12, "%011zo", size);
        snprintf(h + 136, 12, "%011o", 0);
        h[156] = m.type;
        if (m.type == '1' || m.type == '2')
            snprintf(h + 157, 100, "%s", m.data_or_link.c_str());
        memcpy(h + 257, "ustar", 6);
        memcpy(h + 263, "00", 2);
        memset(h + 148, ' ', 8);
        unsigned sum = 0;
        for (unsigned char c : h)
            sum += c;
        snprintf(h + 148, 8, "%06o", sum);
        out.append(h, sizeof h);
        if (size) {
            out += m.data_or_link;
            out.append((512 - size % 512) % 512, '\0');
        }
    }
    out.append(1024, '\0');
    return out;
}

class ReleaseInput : public ::testing::Test
{
  protected:
    static std::string dir, why;

    static void SetUpTestSuite()
    {
        dir = test_cluster_dir("badrel");
        if (test_cluster_up(dir, 1, &why) != 0)
            why = "cluster did not start: " + why;
    }
    static void TearDownTestSuite()
    {
        EXPECT_EQ(test_cluster_down(dir), 0);
    }
    void SetUp() override
    {
        ASSERT_EQ(why, "");
    }
    std::string sh(const std::string &cmd)
    {
        std::string out;
        (void)test_cluster_exec(dir, 0, cmd, &out);
        return out;
    }
    void host_file(const std::string &name, const std::string &bytes)
    {
        std::ofstream(dir + "/pkghost/" + name, std::ios::binary) << bytes;
    }
    int update(const std::string &args, std::string *console)
    {
        std::string out, err;
        int st = test_cluster_exec(dir, 0, "update --local --noreboot " + args, &out, &err);
        *console = out + err;
        return st;
    }
    /* A good release unpacked on this machine as DIR/pkghost/NAME.d, for
     * a case to change before packing it with pack(). */
    std::string unpacked(const std::string &name)
    {
        std::string d = dir + "/pkghost/" + name + ".d", err;
        EXPECT_EQ(mkrel_make({"--release", "2.2.3.10", "--package", "osk=2.2.3.10-1", "--format",
                              "dir", "-o", d},
                             &err),
                  0)
            << err;
        return d + "/oskpackage/dists/Valtor-2-0/osk/binary-i386/";
    }
    void pack(const std::string &name)
    {
        std::string cmd = "tar -C " + dir + "/pkghost/" + name + ".d -czf " + dir + "/pkghost/" +
                          name + " oskpackage";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
};
std::string ReleaseInput::dir, ReleaseInput::why;

TEST_F(ReleaseInput, RandomBytesAreNoPackage)
{
    std::mt19937 rng(19);
    for (int i = 0; i < 3; i++) {
        std::string bytes(1000 + i * 5000, '\0');
        for (char &c : bytes)
            c = (char)rng();
        if (i == 1)
            bytes.replace(0, 3, "BZh"); /* claims bzip2, is not */
        host_file("junk.bin", bytes);
        std::string console;
        EXPECT_EQ(update("--rcp pkghost:/junk.bin", &console), 4) << console;
        EXPECT_THAT(console, HasSubstr("Checksums did not match - corrupted file."));
    }
}

/* Whatever the archive says, nothing lands outside "/altroot/tmp": not
 * through "../", not through an absolute name, not through a link made by
 * an earlier member. */
TEST_F(ReleaseInput, ArchiveMembersNeverLandOutsideTheScratchSpace)
{
    ASSERT_EQ(sh("mkdir -p /var/tmp/victim && echo mine > /var/tmp/victim/keep && echo ok"),
              "ok\n");
    std::vector<std::vector<member>> archives = {
        {{"oskpackage/", '5', ""}, {"../escape-dotdot", '0', "x"}},
        {{"oskpackage/", '5', ""}, {"oskpackage/../../escape-up", '0', "x"}},
        {{"/var/tmp/escape-abs", '0', "x"}, {"oskpackage/", '5', ""}},
        {{"oskpackage", '2', "/var/tmp/victim"}, {"oskpackage/keep", '0', "overwritten"}},
        {{"lnk", '2', "/var/tmp"}, {"lnk/escape-link", '0', "x"}},
        {{"up", '2', "../.."}, {"up/escape-rel", '0', "x"}},
        {{"dot", '2', "."}, {"dot/../escape-dot", '0', "x"}},
        {{"hard", '1', "/var/tmp/victim/keep"}, {"hard", '0', "overwritten"}},
        /* A whole release elsewhere on the node, linked in. */
        {{"oskpackage", '2', "/var/tmp/rel/oskpackage"}},
    };
    unpacked("whole.tgz");
    pack("whole.tgz");
    ASSERT_EQ(sh("rcp pkghost:/whole.tgz /var/tmp/w.tgz && mkdir -p /var/tmp/rel && tar -C "
                 "/var/tmp/rel -xzf /var/tmp/w.tgz && echo ok"),
              "ok\n");
    for (size_t i = 0; i < archives.size(); i++) {
        host_file("evil.tar", ustar(archives[i]));
        std::string console;
        int st = update("--rcp pkghost:/evil.tar", &console);
        EXPECT_TRUE(st == 3 || st == 4) << "archive " << i << ": " << st << "\n" << console;
        EXPECT_EQ(sh("cat /var/tmp/victim/keep; ls /var/tmp /altroot /altroot/var/tmp / | "
                     "grep -c escape"),
                  "mine\n0\n")
            << "archive " << i;
    }
    /* What tar refused is in the run log, named. */
    EXPECT_THAT(sh("cat /var/log/osk/update"), HasSubstr("tar *e : "));
}

/* A file name the shell would run is refused as a corrupted index before
 * any checksum is computed; a large, empty or overlong index is read. */
TEST_F(ReleaseInput, IndexIsJudgedWholeBeforeAnyChecksumRuns)
{
    std::string repo = unpacked("shell.tgz");
    {
        std::ofstream idx(repo + "Packages", std::ios::app);
        for (int i = 0; i < 10000; i++)
            idx << "Package: p" << i << "\nFilename: x/p" << i << "_1_i386.deb\nMD5sum: 0\n\n";
        idx << "Package: evil\nFilename: x/$(touch${IFS}pwned).deb\nMD5sum: 0\n";
    }
    pack("shell.tgz");
    std::string console;
    int before = atoi(sh("grep -c /usr/bin/md5sum /var/log/osk/update").c_str());
    EXPECT_EQ(update("--rcp pkghost:/shell.tgz", &console), 3) << console;
    EXPECT_THAT(console, HasSubstr("$(touch${IFS}pwned).deb"));
    EXPECT_THAT(console, HasSubstr("Checksums did not match - corrupted file."));
    EXPECT_EQ(atoi(sh("grep -c /usr/bin/md5sum /var/log/osk/update").c_str()), before);
    EXPECT_EQ(sh("ls / /altroot/tmp | grep -c pwned"), "0\n");

    /* Ten thousand stanzas without sums, and a 100 KB line cut where a
     * checksum line would begin: read, and the release's version shown. */
    repo = unpacked("big.tgz");
    {
        std::ofstream idx(repo + "Packages", std::ios::app);
        idx << "Description: " << std::string(1010, 'x') << "MD5sum: 0 "
            << std::string(100 * 1024, 'y') << "\n\n";
        for (int i = 0; i < 10000; i++)
            idx << "Package: p" << i << "\nVersion: 1\nDescription: d\n\n";
    }
    pack("big.tgz");
    EXPECT_EQ(update("--getversion --rcp pkghost:/big.tgz", &console), 0) << console;
    EXPECT_THAT(console, HasSubstr("2.2.3.10-1"));

    repo = unpacked("empty.tgz");
    std::ofstream(repo + "Packages", std::ios::trunc).flush();
    pack("empty.tgz");
    EXPECT_EQ(update("--getversion --rcp pkghost:/empty.tgz", &console), 0) << console;
}

/* "/tmp/oskpackage" left as a file, a folder or a link elsewhere is
 * replaced by the link to the scratch space, never followed. */
TEST_F(ReleaseInput, LeftoverOskpackageIsReplacedNeverFollowed)
{
    unpacked("good.tgz");
    pack("good.tgz");
    static const char *const leftovers[] = {
        "echo junk > /tmp/oskpackage",
        "mkdir -p /tmp/oskpackage/dists && echo junk > /tmp/oskpackage/dists/x",
        "ln -s /var/tmp/victim /tmp/oskpackage",
        "ln -s /var/tmp/victim /altroot/tmp/oskpackage",
    };
    ASSERT_EQ(sh("mkdir -p /var/tmp/victim && echo mine > /var/tmp/victim/keep && echo ok"),
              "ok\n");
    for (const char *make : leftovers) {
        sh(std::string("rm -rf /tmp/oskpackage /altroot/tmp/oskpackage; ") + make);
        std::string console;
        EXPECT_EQ(update("--getversion --rcp pkghost:/good.tgz", &console), 0) << make << "\n"
                                                                               << console;
        EXPECT_THAT(console, HasSubstr("2.2.3.10-1")) << make;
        EXPECT_EQ(sh("readlink /tmp/oskpackage; test -d /altroot/tmp/oskpackage/dists && "
                     "! test -L /altroot/tmp/oskpackage && echo dir; ls /var/tmp/victim; cat "
                     "/var/tmp/victim/keep"),
                  "/altroot/tmp/oskpackage\ndir\nkeep\nmine\n")
            << make;
    }
}

/* A release path holding blanks and a line end works like any other. */
TEST_F(ReleaseInput, PackagePathWithBlanksAndNewline)
{
    unpacked("blank.tgz");
    pack("blank.tgz");
    ASSERT_EQ(sh("rcp pkghost:/blank.tgz \"/var/tmp/my release\n.tgz\" && echo ok"), "ok\n");
    std::string console;
    EXPECT_EQ(update("--getversion --file \"/var/tmp/my release\n.tgz\"", &console), 0) << console;
    EXPECT_THAT(console, HasSubstr("2.2.3.10-1"));
    EXPECT_EQ(update("--getversion --file \"/var/tmp/my release\n.tg\"", &console), 4);
    EXPECT_THAT(console, HasSubstr("Error: Cannot access file /var/tmp/my release\n.tg"));
}

} // namespace
