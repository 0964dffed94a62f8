/*
 * The release's own texts read by the driver, fed with junk: the "Packages"
 * index of the checksum step and the version lists. Nothing may crash, a
 * cut line must never pass for a line of its own, and a file name the
 * checksum step would hand to the shell must be refused.
 */
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pkgindex.h"
#include "versions.h"

#include "osk_banned.h"

namespace
{

struct pair_list {
    std::vector<std::string> files, sums;
};

int collect(const char *file, const char *sum, void *arg)
{
    auto *p = (pair_list *)arg;
    p->files.push_back(file);
    p->sums.push_back(sum);
    return 0;
}

/* Scans TEXT as an index; the pairs found, the result and the bad text. */
int scan(const std::string &text, pair_list *pairs, std::string *bad = nullptr)
{
    FILE *f = fmemopen((void *)text.data(), text.size(), "r");
    char b[256];
    int r = pkgindex_scan(f, collect, pairs, b, sizeof b);
    fclose(f);
    if (bad)
        *bad = b;
    return r;
}

std::string stanza(const std::string &file, const std::string &sum)
{
    return "Package: p\nVersion: 1\nFilename: dists/Valtor-2-0/osk/binary-i386/" + file +
           "\nSize: 1\nMD5sum: " + sum + "\nDescription: d\n\n";
}

TEST(PackagesIndex, LargeEmptyAndOverlongIndexes)
{
    pair_list p;
    EXPECT_EQ(scan("", &p), PKGINDEX_OK);
    EXPECT_TRUE(p.files.empty());

    std::string big;
    for (int i = 0; i < 10000; i++)
        big += stanza("osk-" + std::to_string(i) + "_1.0-1_i386.deb", std::to_string(i));
    EXPECT_EQ(scan(big, &p), PKGINDEX_OK);
    ASSERT_EQ(p.files.size(), 10000u);
    EXPECT_EQ(p.files[9999], "osk-9999_1.0-1_i386.deb");
    EXPECT_EQ(p.sums[9999], "9999");

    /* A 100 KB description whose cut falls right before "MD5sum: " and
     * "Filename: ": the tails are part of that line, not index lines. */
    std::string desc = "Description: " + std::string(1023 - 13, 'x') + "MD5sum: 0\n";
    desc += std::string(1023, 'y') + "Filename: evil\n";
    desc += " " + std::string(100 * 1024, 'z') + "\n";
    p = {};
    EXPECT_EQ(scan(stanza("a_1_i386.deb", "s1") + desc + stanza("b_1_i386.deb", "s2"), &p),
              PKGINDEX_OK);
    EXPECT_EQ(p.files, (std::vector<std::string>{"a_1_i386.deb", "b_1_i386.deb"}));
    /* The last line may lack its line end. */
    p = {};
    EXPECT_EQ(scan("Filename: x/y_1.deb\nMD5sum: abc", &p), PKGINDEX_OK);
    EXPECT_EQ(p.sums, std::vector<std::string>{"abc"});
}

TEST(PackagesIndex, ShellCharactersAndMisplacedSumsAreCorruption)
{
    /* Refused wherever it stands, before any pair is handed on. */
    static const char *const names[] = {"x;reboot.deb", "$(reboot).deb", "a`id`.deb", "a b.deb",
                                        "a|b.deb",      "a&b.deb",       "a>b.deb",   "a'b.deb",
                                        "a\"b.deb",     "a\\b.deb",      "a*.deb",    "a\tb.deb",
                                        "\xc3\xa9.deb"};
    for (const char *n : names) {
        pair_list p;
        std::string bad;
        std::string text;
        for (int i = 0; i < 3; i++)
            text += stanza("ok" + std::to_string(i) + "_1_i386.deb", "s");
        text += stanza(n, "s");
        EXPECT_EQ(scan(text, &p, &bad), PKGINDEX_BAD_NAME) << n;
        EXPECT_EQ(bad, n);
        /* Whole index first: a caller that validates before visiting. */
        FILE *f = fmemopen((void *)text.data(), text.size(), "r");
        EXPECT_EQ(pkgindex_scan(f, nullptr, nullptr, nullptr, 0), PKGINDEX_BAD_NAME) << n;
        fclose(f);
    }
    for (const char *n : {"osk_2.2.3.10-1_i386.deb", "lib+x_1:2.0~rc1%3a-1_all.deb"})
        EXPECT_TRUE(pkgindex_name_ok(n)) << n;

    pair_list p;
    EXPECT_EQ(scan("MD5sum: 0\n" + stanza("a_1.deb", "s"), &p), PKGINDEX_SUM_FIRST);
    EXPECT_EQ(scan(stanza("a_1.deb", "s") + "MD5sum: again\n", &p), PKGINDEX_SUM_FIRST);
    EXPECT_EQ(scan("Filename: dists/x/\nMD5sum: 0\n", &p), PKGINDEX_SUM_FIRST);
}

TEST(VersionLists, JunkLinesNeverMatch)
{
    char path[] = "/tmp/osk-junk.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string junk = std::string("\x01\xff\x00garbage\n", 12) + "\n\n2.2.2.1\r\n" +
                       std::string(1023, 'x') + "2.2.2.9\n" + std::string(5000, '9') + "\n" +
                       "2.2.2.7\n";
    ASSERT_EQ(write(fd, junk.data(), junk.size()), (ssize_t)junk.size());
    close(fd);
    /* The tail of an overlong line is not a listed version. */
    EXPECT_EQ(check_if_version_in_file(path, "2.2.2.9"), 0);
    /* A CR is part of the line. */
    EXPECT_EQ(check_if_version_in_file(path, "2.2.2.1"), 0);
    EXPECT_EQ(check_if_version_in_file(path, ""), 1);
    EXPECT_EQ(check_if_version_in_file(path, "2.2.2.7"), 1);
    unlink(path);
}

} // namespace
