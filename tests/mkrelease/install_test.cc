/*
 * Releases from the builder installed for real: unpacked to /tmp/oskpackage
 * in a sandbox copy of this machine, announced to apt with the local source
 * line, and installed with dpkg, as a node does it.
 */
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mkrelease.h"
#include "sandbox_fixture.h"

#include "osk_banned.h"

namespace
{

const char REPO[] = "/tmp/oskpackage/" MKREL_REPO_DIR;

/* The node's own apt configuration for an unsigned local i386 repository. */
const char APT_CONF[] =
    "Acquire::IndexTargets::deb::Packages::MetaKey \"$(COMPONENT)/binary-i386/Packages\";\n"
    "Acquire::AllowInsecureRepositories \"true\";\n"
    "APT::Get::AllowUnauthenticated \"true\";\n";

class Install : public SandboxTest
{
  protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        sandbox_write(&sb, "/etc/apt/apt.conf.d/90osk-local", APT_CONF);
        sandbox_write(&sb, "/etc/apt/sources.list", "deb file:/tmp/oskpackage Valtor-2-0 osk\n");
        sandbox_mkdir(&sb, "/var/tmp");
        /* Only the release's repository: no network source may be asked. */
        ASSERT_EQ(sh("rm -f /etc/apt/sources.list.d/*").status, 0);
    }
    /* Builds a release into the sandbox's /var/tmp/NAME. */
    void make(const std::string &name, std::vector<std::string> args)
    {
        std::string err;
        args.insert(args.end(), {"-o", sb.dir + "/upper/var/tmp/" + name});
        ASSERT_EQ(mkrel_make(args, &err), 0) << err;
    }

    /* Replaces /tmp/oskpackage with the release and refreshes apt's lists. */
    run_result unpack_and_update(const std::string &name)
    {
        return sh("set -e; rm -rf /tmp/oskpackage; tar -xf /var/tmp/" + name +
                  " -C /tmp; apt-get update");
    }

    run_result dpkg_install()
    {
        return sh(std::string("dpkg --recursive --install ") + REPO);
    }

    std::string status_of(const std::string &pkg)
    {
        return sh("dpkg-query -W -f '${Status} ${Version}' " + pkg).out;
    }
};

TEST_F(Install, AptAcceptsTheRepositoryAndDpkgInstallsAndUpgrades)
{
    make("r1", {"--release", "2.2.3.10", "--package", "osk=2.2.3.10-1", "--depends",
                "osk-base (= 2.2.3.10-1)", "--toc", "12", "--handshake", "5", "--postinst-marker",
                "/var/opt/osk/postinst.log", "--package", "osk-base=2.2.3.10-1", "--package",
                "osk-tools"});
    run_result r = unpack_and_update("r1");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = dpkg_install();
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(status_of("osk"), "install ok installed 2.2.3.10-1");
    EXPECT_EQ(status_of("osk-tools"), "install ok installed 2.2.3.10");
    EXPECT_EQ(sandbox_read(&sb, "/opt/osk/share/osk-base.version"), "2.2.3.10-1\n");
    EXPECT_EQ(sandbox_read(&sb, "/var/opt/osk/postinst.log"), "osk 2.2.3.10-1 configure \n");
    r = sh("apt-get --fix-broken -y install && apt-get --dry-run -qq dist-upgrade");
    EXPECT_EQ(r.status, 0) << r.out << r.err;

    /* The next release, bzip2 this time, replaces it through the same steps. */
    make("r2", {"--release", "2.2.3.11", "--format", "bzip2", "--package", "osk", "--depends",
                "osk-base (= 2.2.3.11)", "--package", "osk-base", "--package", "osk-tools"});
    r = unpack_and_update("r2");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = dpkg_install();
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(status_of("osk"), "install ok installed 2.2.3.11");
    EXPECT_EQ(sandbox_read(&sb, "/opt/osk/share/osk.version"), "2.2.3.11\n");
    EXPECT_EQ(sh("dpkg-query -W -f '${Release-Version}' osk").out, "2.2.3.11");

    /* This machine's own package database never saw any of it. */
    EXPECT_NE(system("dpkg-query -W osk >/dev/null 2>&1"), 0);
}

TEST_F(Install, FailingPostinstAndDamagedDebStopDpkg)
{
    make("fail", {"--release", "2.2.3.10", "--package", "osk", "--postinst-marker",
                  "/var/opt/osk/ran", "--postinst-fail"});
    ASSERT_EQ(unpack_and_update("fail").status, 0);
    run_result r = dpkg_install();
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(status_of("osk"), "install ok half-configured 2.2.3.10");
    EXPECT_EQ(sandbox_read(&sb, "/var/opt/osk/ran"), "osk 2.2.3.10 configure \n");

    make("corrupt",
         {"--release", "2.2.3.10", "--package", "osk-base", "--fault", "corrupt-deb=osk-base"});
    ASSERT_EQ(sh("rm -rf /tmp/oskpackage && tar -xf /var/tmp/corrupt -C /tmp").status, 0);
    r = dpkg_install();
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(status_of("osk-base"), "");
}

} // namespace
