/*
 * Releases made by the release builder, checked with the same tools the
 * installer uses (tar, md5sum, dpkg-deb): layout, index, formats, faults,
 * and the option and manifest language.
 */
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mkrelease.h"
#include "sandbox.h"

#include "osk_banned.h"

namespace
{

std::string sh(const std::string &cmd, int *status = nullptr)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    char buf[4096];
    size_t n;
    while (p && (n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    int st = p ? pclose(p) : -1;
    if (status)
        *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

/* One index stanza: its field lines in order, and the fields by name. */
struct stanza {
    std::vector<std::string> order;
    std::map<std::string, std::string> f;
};

std::vector<stanza> parse_index(const std::string &text)
{
    std::vector<stanza> v;
    std::istringstream in(text);
    std::string line;
    bool fresh = true;
    while (std::getline(in, line)) {
        if (line.empty()) {
            fresh = true;
            continue;
        }
        if (fresh)
            v.emplace_back();
        fresh = false;
        size_t colon = line.find(": ");
        if (colon == std::string::npos)
            continue;
        v.back().order.push_back(line.substr(0, colon));
        v.back().f[line.substr(0, colon)] = line.substr(colon + 2);
    }
    return v;
}

std::string md5_of(const std::string &path)
{
    std::string out = sh("md5sum '" + path + "'");
    return out.substr(0, out.find(' '));
}

class Release : public ::testing::Test
{
  protected:
    std::string dir;

    void SetUp() override
    {
        char tmpl[] = "/tmp/osk-mkrel-test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        (void)system(("rm -rf '" + dir + "'").c_str());
    }

    /* Builds into dir/NAME and returns "" or the builder's reason. */
    std::string make(const std::string &name, std::vector<std::string> args)
    {
        std::string err;
        args.insert(args.end(), {"-o", dir + "/" + name});
        return mkrel_make(args, &err) == 0 ? "" : (err.empty() ? "failed" : err);
    }

    /* Builds a release as a directory and returns its oskpackage path. */
    std::string make_dir(const std::string &name, std::vector<std::string> args)
    {
        args.insert(args.end(), {"--format", "dir"});
        std::string err = make(name, args);
        EXPECT_EQ(err, "");
        return dir + "/" + name + "/oskpackage";
    }

    std::vector<stanza> index_of(const std::string &pkgdir)
    {
        return parse_index(slurp(pkgdir + "/" MKREL_REPO_DIR "/Packages"));
    }
};

const std::vector<std::string> two_packages = {
    "--release",   "2.2.3.10", "--package", "osk=2.2.3.10-1",
    "--depends",   "osk-base", "--toc",     "12",
    "--handshake", "5",        "--package", "osk-base=2.2.3.10-1"};

TEST_F(Release, IndexNamesEveryDebWithItsSumSizeAndControlFields)
{
    std::string pkg = make_dir("r", two_packages);
    std::vector<stanza> idx = index_of(pkg);
    ASSERT_EQ(idx.size(), 2u);

    for (const stanza &s : idx) {
        std::string deb = pkg + "/" + s.f.at("Filename");
        ASSERT_TRUE(exists(deb)) << deb;
        EXPECT_EQ(s.f.at("MD5sum"), md5_of(deb));
        EXPECT_EQ(std::stol(s.f.at("Size")), (long)slurp(deb).size());
        EXPECT_EQ(sh("dpkg-deb --field '" + deb + "' Package"), s.f.at("Package") + "\n");
        EXPECT_EQ(s.order.back(), "Description");
    }
    /* The installer finds the main package by this file name pattern. */
    EXPECT_EQ(idx[0].f.at("Filename"), MKREL_REPO_DIR "/osk_2.2.3.10-1_i386.deb");

    std::string osk = pkg + "/" + idx[0].f.at("Filename");
    std::string info = sh("dpkg --info '" + osk + "'");
    EXPECT_NE(info.find(" Provides: osk-toc-12, osk-handshake-5\n"), std::string::npos) << info;
    EXPECT_NE(info.find(" Release-Version: 2.2.3.10\n"), std::string::npos);
    EXPECT_NE(info.find(" Depends: osk-base\n"), std::string::npos);
    EXPECT_LT(info.find("Provides:"), info.find("Description:"));
    EXPECT_EQ(sh("dpkg-deb --fsys-tarfile '" + osk + "' | tar -xOf - ./opt/osk/share/osk.version"),
              "2.2.3.10-1\n");
}

TEST_F(Release, ReleaseFilesHoldWhatWasAsked)
{
    std::string pkg = make_dir(
        "r", {"--release", "2.2.3.10", "--flag", "nopivot", "--flag", "doreset", "--patchagainst",
              "2.2.3.9, 2.2.3.8", "--simple-list", "", "--kill", "sysmgr,guisrv", "--obsolete",
              "osk-old", "--preupdate", "echo \"$1 -> $2\"", "--add-file", "notes/x=hello"});
    EXPECT_EQ(slurp(pkg + "/nopivot"), "");
    EXPECT_EQ(slurp(pkg + "/doreset"), "");
    EXPECT_FALSE(exists(pkg + "/noreboot"));
    EXPECT_EQ(slurp(pkg + "/patchagainst"), "2.2.3.9\n2.2.3.8\n");
    EXPECT_TRUE(exists(pkg + "/simple_list"));
    EXPECT_EQ(slurp(pkg + "/simple_list"), "");
    EXPECT_FALSE(exists(pkg + "/distant_list"));
    EXPECT_EQ(slurp(pkg + "/kill"), "sysmgr\nguisrv\n");
    EXPECT_EQ(slurp(pkg + "/obsolete"), "osk-old\n");
    EXPECT_EQ(slurp(pkg + "/notes/x"), "hello\n");
    EXPECT_EQ(sh("'" + pkg + "/preupdate' 2.2.3.9 2.2.3.10"), "2.2.3.9 -> 2.2.3.10\n");
    /* No --package: the main package alone, at the release version. */
    std::vector<stanza> idx = index_of(pkg);
    ASSERT_EQ(idx.size(), 1u);
    EXPECT_EQ(idx[0].f.at("Version"), "2.2.3.10");
}

TEST_F(Release, FormatsCarryTheMagicTheInstallerDetects)
{
    struct {
        const char *format;
        size_t offset;
        std::string magic;
    } cases[] = {{"tar", 257, "ustar"}, {"gzip", 0, "\x1f\x8b"}, {"bzip2", 0, "BZh"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.format);
        ASSERT_EQ(make(c.format, {"--release", "2.2.3.10", "--format", c.format}), "");
        std::string a = slurp(dir + "/" + c.format);
        ASSERT_GT(a.size(), 512u);
        EXPECT_EQ(a.substr(c.offset, c.magic.size()), c.magic);
        int st;
        std::string list = sh("tar -tf '" + dir + "/" + c.format + "'", &st);
        EXPECT_EQ(st, 0);
        EXPECT_NE(list.find("oskpackage/" MKREL_REPO_DIR "/Packages"), std::string::npos);
    }
    /* An old-style tar is still a tar, but without the magic. */
    ASSERT_EQ(make("v7", {"--release", "2.2.3.10", "--format", "v7tar"}), "");
    std::string v7 = slurp(dir + "/v7");
    EXPECT_NE(v7.substr(257, 5), "ustar");
    EXPECT_NE(sh("tar -tf '" + dir + "/v7'").find("oskpackage/"), std::string::npos);
}

TEST_F(Release, IndexFaultsBreakOnlyTheirPackage)
{
    std::vector<std::string> args = two_packages;
    args.insert(args.end(), {"--fault", "bad-md5=osk-base", "--fault", "no-md5=osk"});
    std::vector<stanza> idx = index_of(make_dir("bad", args));
    ASSERT_EQ(idx.size(), 2u);
    EXPECT_EQ(idx[0].f.count("MD5sum"), 0u);
    EXPECT_EQ(idx[0].f.count("SHA256"), 1u);
    std::string deb = dir + "/bad/oskpackage/" + idx[1].f.at("Filename");
    EXPECT_NE(idx[1].f.at("MD5sum"), md5_of(deb));
    EXPECT_EQ(idx[1].f.at("MD5sum").size(), 32u);

    args = two_packages;
    args.insert(args.end(), {"--fault", "md5-first=osk"});
    idx = index_of(make_dir("first", args));
    auto pos = [&](const stanza &s, const char *f) {
        return std::find(s.order.begin(), s.order.end(), f) - s.order.begin();
    };
    EXPECT_LT(pos(idx[0], "MD5sum"), pos(idx[0], "Filename"));
    EXPECT_GT(pos(idx[1], "MD5sum"), pos(idx[1], "Filename"));

    std::string pkg = make_dir("noindex", {"--release", "2.2.3.10", "--fault", "no-index"});
    EXPECT_FALSE(exists(pkg + "/" MKREL_REPO_DIR "/Packages"));
    EXPECT_TRUE(exists(pkg + "/" MKREL_REPO_DIR "/osk_2.2.3.10_i386.deb"));
}

TEST_F(Release, DebFaultsBreakTheFileTheIndexStillVouchesFor)
{
    std::vector<std::string> args = two_packages;
    args.insert(args.end(), {"--fault", "corrupt-deb=osk", "--fault", "missing-deb=osk-base"});
    std::string pkg = make_dir("r", args);
    std::vector<stanza> idx = index_of(pkg);
    ASSERT_EQ(idx.size(), 2u);

    std::string osk = pkg + "/" + idx[0].f.at("Filename");
    EXPECT_NE(idx[0].f.at("MD5sum"), md5_of(osk));
    EXPECT_EQ(std::stol(idx[0].f.at("Size")), (long)slurp(osk).size());
    int st;
    sh("dpkg-deb --fsys-tarfile '" + osk + "' 2>/dev/null | tar -tf - >/dev/null 2>&1", &st);
    EXPECT_NE(st, 0) << "a damaged package still unpacks";

    EXPECT_FALSE(exists(pkg + "/" + idx[1].f.at("Filename")));
    EXPECT_EQ(idx[1].f.count("MD5sum"), 1u);
}

TEST_F(Release, TruncatedArchiveNoLongerUnpacks)
{
    ASSERT_EQ(make("whole", {"--release", "2.2.3.10"}), "");
    ASSERT_EQ(make("half", {"--release", "2.2.3.10", "--fault", "truncate"}), "");
    ASSERT_EQ(make("cut", {"--release", "2.2.3.10", "--fault", "truncate=100"}), "");
    size_t whole = slurp(dir + "/whole").size();
    EXPECT_NEAR((double)slurp(dir + "/half").size(), whole / 2.0, whole * 0.1);
    EXPECT_EQ(slurp(dir + "/cut").size(), 100u);
    for (const char *name : {"half", "cut"}) {
        int st;
        sh("mkdir '" + dir + "/x" + name + "' && tar -xzf '" + dir + "/" + name + "' -C '" + dir +
               "/x" + name + "' 2>/dev/null",
           &st);
        EXPECT_NE(st, 0) << name;
    }
}

TEST_F(Release, ExistingDebIsShippedUnchanged)
{
    std::string first =
        make_dir("first", {"--package", "osk-hello=1.0", "--field", "Section: misc"});
    std::string deb = first + "/" MKREL_REPO_DIR "/osk-hello_1.0_i386.deb";
    std::vector<stanza> idx =
        index_of(make_dir("second", {"--release", "2.2.3.10", "--package", "osk", "--deb", deb}));
    ASSERT_EQ(idx.size(), 2u);
    EXPECT_EQ(idx[1].f.at("Package"), "osk-hello");
    EXPECT_EQ(idx[1].f.at("Section"), "misc");
    EXPECT_EQ(idx[1].f.at("MD5sum"), md5_of(deb));
    EXPECT_EQ(idx[1].f.at("Filename"), MKREL_REPO_DIR "/osk-hello_1.0_i386.deb");
}

TEST_F(Release, ManifestLinesAreOptionsWithoutDashes)
{
    std::ofstream(dir + "/manifest") << "# a patch release\n"
                                        "release 2.2.3.11\n"
                                        "format bzip2\n"
                                        "package osk=2.2.3.11-1\n"
                                        "  provides osk-toc-13, osk-handshake-6\n"
                                        "  postinst echo configured\n"
                                        "package osk-tools\n"
                                        "flag partial\n"
                                        "patchagainst 2.2.3.10\n"
                                        "preupdate-file pre.sh\n"
                                        "\n"
                                        "fault no-md5=osk-tools\n";
    std::ofstream(dir + "/pre.sh") << "#!/bin/sh\nexit 3\n";
    mkrel_release rel;
    std::string err;
    ASSERT_EQ(mkrel_parse_args(&rel, {"--manifest", dir + "/manifest", "-o", dir + "/r"}, &err), 0)
        << err;
    EXPECT_EQ(rel.version, "2.2.3.11");
    EXPECT_EQ(rel.format, MKREL_BZIP2);
    ASSERT_EQ(rel.packages.size(), 2u);
    EXPECT_EQ(rel.packages[0].version, "2.2.3.11-1");
    EXPECT_EQ(rel.packages[0].provides,
              (std::vector<std::string>{"osk-toc-13", "osk-handshake-6"}));
    EXPECT_EQ(rel.packages[0].postinst, (std::vector<std::string>{"echo configured"}));
    EXPECT_EQ(rel.flags, (std::vector<std::string>{"partial"}));
    EXPECT_EQ(rel.preupdate, "#!/bin/sh\nexit 3\n") << "not read beside the manifest";
    ASSERT_EQ(rel.faults.size(), 1u);
    EXPECT_EQ(rel.faults[0].kind, MKREL_NO_MD5);
    ASSERT_EQ(mkrel_build(&rel, &err), 0) << err;
    EXPECT_EQ(slurp(dir + "/r").substr(0, 3), "BZh");

    std::ofstream(dir + "/bad") << "release 1\nflag sideways\n";
    mkrel_release rel2;
    EXPECT_EQ(mkrel_read_manifest(&rel2, dir + "/bad", &err), 1);
    EXPECT_NE(err.find("bad:2:"), std::string::npos) << err;
}

TEST_F(Release, BadRequestsFailWithoutOutput)
{
    struct {
        std::vector<std::string> args;
        const char *reason;
    } cases[] = {
        {{"--release", "1.0", "--bogus"}, "unknown option"},
        {{"--depends", "x", "--package", "osk"}, "must follow a --package"},
        {{"--release", "1.0", "--flag", "sideways"}, "unknown flag"},
        {{"--release", "1.0", "--fault", "bad-md5=osk-nothere"}, "not in the release"},
        {{"--release", "1.0", "--fault", "truncate=x"}, "byte count"},
        {{"--package", "osk"}, "no version"},
        {{"--release", "1.0", "--package", "Osk"}, "bad package name"},
        {{"--release", "1.0", "--package", "osk", "--package", "osk"}, "twice"},
        {{"--release", "1.0", "--add-file", "../x=y"}, "outside"},
        {{"--release", "not a version"}, "dpkg-deb"},
    };
    /* A private staging area, so builds of parallel tests do not count. */
    std::string staging = dir + "/staging";
    ASSERT_EQ(mkdir(staging.c_str(), 0700), 0);
    ASSERT_EQ(setenv("TMPDIR", staging.c_str(), 1), 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reason);
        std::string err = make("out", c.args);
        EXPECT_NE(err.find(c.reason), std::string::npos) << err;
        EXPECT_FALSE(exists(dir + "/out"));
    }
    EXPECT_EQ(sh("ls -A '" + staging + "'"), "") << "staging left behind";
    (void)unsetenv("TMPDIR");
}

TEST_F(Release, ProgramReportsUsageErrorsAndBuilds)
{
    std::string prog = shell_quote(build_program("osk-mkrelease"));
    int st;
    EXPECT_NE(sh(prog + " --help", &st).find("--fault truncate"), std::string::npos);
    EXPECT_EQ(st, 0);
    EXPECT_NE(sh(prog + " --nonsense 2>&1", &st).find("unknown option: --nonsense"),
              std::string::npos);
    EXPECT_EQ(st, 2);
    sh(prog + " --package osk -o '" + dir + "/r' 2>/dev/null", &st);
    EXPECT_EQ(st, 1);
    sh(prog + " --release=2.2.3.10 -o '" + dir + "/r'", &st);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(slurp(dir + "/r").substr(0, 2), "\x1f\x8b");
}

} // namespace
