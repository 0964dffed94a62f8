/*
 * Junk command lines: random mixes of real options and garbage, huge
 * arguments, node masks out of range. The real program runs in a sandbox
 * copy of this machine as an unprivileged user, so no run gets further
 * than the root check; every run must end with a status of the exit table
 * and say why, never die of a signal.
 */
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sandbox_fixture.h"

#include "osk_banned.h"

using ::testing::HasSubstr;

namespace
{

class CmdlineJunk : public SandboxTest
{
  protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        sandbox_mkdir(&sb, "/var/log/osk");
        sandbox_write(&sb, "/var/tmp/pkg.tgz", "x");
    }
    /* As nobody: no run gets past the root check. */
    run_result update(std::vector<std::string> args)
    {
        sandbox_opts o;
        o.uid = 65534;
        return SandboxTest::update(args, o);
    }
};

TEST_F(CmdlineJunk, RandomOptionMixesEndWithATableStatus)
{
    static const char *const pool[] = {"--file",
                                       "--rcp",
                                       "--revert",
                                       "--local",
                                       "--noreboot",
                                       "-d",
                                       "--initial",
                                       "--nosysmgr",
                                       "--retain-root",
                                       "--switch-root",
                                       "--preload",
                                       "--cli",
                                       "--rolling",
                                       "--simple",
                                       "--quick",
                                       "-q",
                                       "--quiet",
                                       "--check-rolling-type",
                                       "--verbose",
                                       "--child",
                                       "--getversion",
                                       "/var/tmp/pkg.tgz",
                                       "pkghost:/r.tgz",
                                       "0x3",
                                       "-",
                                       "--",
                                       "",
                                       "--FILE",
                                       "-dd",
                                       "--file=x",
                                       "\n",
                                       "a b",
                                       "%s%n%s",
                                       "-1",
                                       "--help"};
    std::set<int> table = {0, 4, 6, 7, 8, 9, 23};
    std::mt19937 rng(1919);
    for (int i = 0; i < 40; i++) {
        std::vector<std::string> args;
        for (int n = 1 + (int)(rng() % 6); n > 0; n--)
            args.push_back(pool[rng() % (sizeof pool / sizeof *pool)]);
        run_result r = update(args);
        std::string shown;
        for (auto &a : args)
            shown += "[" + a + "] ";
        EXPECT_EQ(r.signal, 0) << shown;
        EXPECT_TRUE(table.count(r.status)) << shown << "-> " << r.status << "\n" << r.out;
        EXPECT_FALSE(r.out.empty() && r.err.empty()) << shown;
    }
}

TEST_F(CmdlineJunk, HugeArgumentsAndMasksOutOfRange)
{
    /* Just under the kernel's limit of one argument (128 KiB). */
    std::string huge(120 * 1024, 'a');
    run_result r = update({"--file", "/var/tmp/" + huge});
    EXPECT_EQ(r.status, 4);
    EXPECT_THAT(r.out, HasSubstr("Error: Cannot access file /var/tmp/aaaa"));
    r = update({"--" + huge});
    EXPECT_EQ(r.status, 9);
    EXPECT_THAT(r.out, HasSubstr("Invalid parameter: --aaaa"));
    r = update({"--rcp", "pkghost:/" + huge, "--local"});
    EXPECT_EQ(r.status, 23) << r.out;

    for (const char *mask : {"0", "256", "0x100", "0x100000000", "abc", "", "0x"}) {
        r = update({"--rolling", mask, "--file", "/var/tmp/pkg.tgz"});
        EXPECT_EQ(r.status, 7) << mask;
        EXPECT_EQ(r.out, std::string("Error: Invalid nodemask ") + mask + ".\n") << mask;
    }
    r = update({"--rolling", "0xff", "--file", "/var/tmp/pkg.tgz"});
    EXPECT_EQ(r.status, 23) << "a valid mask passes to the root check";
}

} // namespace
