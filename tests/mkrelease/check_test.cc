/*
 * The release check on a whole Debian root, with real packages of the
 * archive fetched at test time into one kept download cache: releases
 * that would fail on a node are refused with the package and the reason,
 * and a release it accepts installs when the installer's steps run.
 */
#include <dirent.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child_run.h"
#include "debian.h"
#include "mkrelease.h"
#include "node_base.h"

#include "osk_banned.h"

namespace
{

class Check : public ::testing::Test
{
  protected:
    static std::string root, status, cache;
    std::string out_dir;

    static void SetUpTestSuite()
    {
        root = node_base_root();
        cache = test_cache_dir() + "/debs";
        std::string err;
        if (!root.empty() && mkrel_root_status(root, &status, &err) != 0)
            ADD_FAILURE() << err;
    }
    void SetUp() override
    {
        ASSERT_FALSE(status.empty()) << "no node root to check against";
        char tmpl[] = "/tmp/osk-check-test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        out_dir = tmpl;
    }
    void TearDown() override
    {
        (void)child_run({"/bin/rm", "-rf", out_dir});
    }

    /* Builds release NAME; returns mkrel_make's status, the reason in *err. */
    int make(const std::string &name, std::vector<std::string> args, std::string *err)
    {
        args.insert(args.end(), {"--release", "1.0", "--cache", cache, "-o", path(name)});
        return mkrel_make(args, err);
    }
    std::string path(const std::string &name)
    {
        return out_dir + "/" + name;
    }
    bool written(const std::string &name)
    {
        return access(path(name).c_str(), F_OK) == 0;
    }
    /* The cached .deb of package NAME. */
    std::string cached(const std::string &name)
    {
        std::string dir = cache + "/archives", found;
        DIR *d = opendir(dir.c_str());
        for (struct dirent *e; d && (e = readdir(d));)
            if (std::string(e->d_name).rfind(name + "_", 0) == 0)
                found = dir + "/" + e->d_name;
        if (d)
            closedir(d);
        return found;
    }
};

std::string Check::root, Check::status, Check::cache;

TEST_F(Check, RefusesPackagesThatPreDependOnEachOther)
{
    std::string err;
    /* The replay on the root, and what the status file alone tells. */
    EXPECT_EQ(make("py", {"--no-packages", "--debian", "python3-minimal", "--against", root}, &err),
              1);
    EXPECT_NE(err.find("\npython3-minimal: pre-depends on python3.11-minimal"), std::string::npos)
        << err;
    EXPECT_FALSE(written("py"));

    err.clear();
    EXPECT_EQ(make("py-status",
                   {"--no-packages", "--debian", "python3-minimal", "--against-status", status},
                   &err),
              1);
    EXPECT_NE(err.find("\npython3-minimal: pre-depends on python3.11-minimal"), std::string::npos)
        << err;
    EXPECT_FALSE(written("py-status"));

    /* Without the check the same release is written. */
    EXPECT_EQ(
        make("py-unchecked",
             {"--no-packages", "--debian", "python3-minimal", "--against", root, "--no-check"},
             &err),
        0)
        << err;
    EXPECT_TRUE(written("py-unchecked"));
}

TEST_F(Check, NamesAnUnmetDependencyAndAFailingMaintainerScript)
{
    std::string err;
    ASSERT_EQ(make("fetch",
                   {"--no-packages", "--debian", "toilet", "--against", root, "--no-check"}, &err),
              0)
        << err;
    std::string toilet = cached("toilet");
    ASSERT_FALSE(toilet.empty());

    /* toilet alone: the node lacks libcaca0 and toilet-fonts. */
    for (const char *how : {"--check", "--check-status"}) {
        err.clear();
        EXPECT_EQ(make("lone",
                       {"--no-packages", "--deb", toilet, how,
                        std::string(how) == "--check" ? root : status},
                       &err),
                  1)
            << how;
        EXPECT_NE(err.find("\ntoilet: unmet dependency libcaca0"), std::string::npos)
            << how << ": " << err;
        EXPECT_FALSE(written("lone"));
    }

    err.clear();
    EXPECT_EQ(make("fail", {"--package", "osk", "--postinst-fail", "--check", root}, &err), 1);
    EXPECT_NE(err.find("\nosk: postinst fails (exit status 1)"), std::string::npos) << err;
    EXPECT_FALSE(written("fail"));
}

TEST_F(Check, AcceptedReleaseInstallsOnTheNode)
{
    std::string err;
    ASSERT_EQ(make("toilet.tgz",
                   {"--no-packages", "--debian", "toilet", "--debian", "figlet", "--against", root},
                   &err),
              0)
        << err;
    ASSERT_TRUE(written("toilet.tgz"));

    /* The installer's steps, by hand, in a scratch copy of the node root;
     * paths go in as the script's arguments, whatever they hold. */
    std::string script =
        "set -e; mnt=$1; mkdir -p \"$mnt\" \"$2/upper\" \"$2/work\"; "
        "mount -t overlay overlay -o \"lowerdir=$3,upperdir=$2/upper,workdir=$2/work\" \"$mnt\"; "
        "mount -t proc proc \"$mnt/proc\"; mount --rbind /dev \"$mnt/dev\"; "
        "tar -xzf \"$4\" -C \"$mnt/tmp\"; "
        "echo 'deb file:/tmp/oskpackage Valtor-2-0 osk' >> \"$mnt/etc/apt/sources.list\"; "
        "chroot \"$mnt\" sh -c 'export DEBIAN_FRONTEND=noninteractive; apt-get update && dpkg "
        "--recursive --force-downgrade --install --force-confold --force-conflicts "
        "--force-overwrite /tmp/oskpackage/" MKREL_REPO_DIR " && apt-get --fix-broken -y "
        "-oDPkg::Options::=--force-confold install && toilet -f future ok && figlet ok && "
        "dpkg-query -W -f \"\\${db:Status-Abbrev}\\n\" toilet libcaca0 toilet-fonts figlet'";
    child_opts o;
    o.deadline_ms = 5 * 60 * 1000;
    run_result r = child_run({"/usr/bin/unshare", "--mount", "--pid", "--fork", "--propagation",
                              "private", "/bin/sh", "-c", script, "sh", out_dir + "/mnt", out_dir,
                              root, path("toilet.tgz")},
                             o);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("ii \nii \nii \nii \n"), std::string::npos) << r.out;
}

} // namespace
