/*
 * The update history and the update events as an operator reads them after
 * real updates and a revert on a simulated cluster of two nodes
 * (`osk-cluster history`, `osk-cluster events`), with the repository made
 * busy, failing and unable to replicate through the module daemon's
 * control socket.
 */
#include <stdio.h>
#include <algorithm>
#include <stdlib.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mkrelease.h"
#include "test_cluster.h"

#include "osk_banned.h"

using ::testing::HasSubstr;
using ::testing::Not;

class History : public ::testing::Test
{
  protected:
    std::string dir;

    void SetUp() override
    {
        dir = test_cluster_dir("history");
        std::string why;
        ASSERT_EQ(test_cluster_up(dir, 2, &why), 0) << why;
    }
    void TearDown() override
    {
        EXPECT_EQ(test_cluster_down(dir), 0);
    }

    /* A release on the package host with the given packages at version V. */
    void release(const std::string &name, const std::string &v,
                 const std::vector<std::string> &pkgs, const std::vector<std::string> &more = {})
    {
        std::vector<std::string> args = {"-o", dir + "/pkghost/" + name, "--release", v};
        for (const std::string &p : pkgs)
            args.insert(args.end(), {"--package", p + "=" + v + "-1"});
        args.insert(args.end(), more.begin(), more.end());
        std::string err;
        ASSERT_EQ(mkrel_make(args, &err), 0) << err;
    }
    int update(const std::string &args, std::string *console)
    {
        return test_cluster_update(dir, 0, args, console);
    }
    std::string cli(const std::vector<std::string> &args)
    {
        run_result r = test_cluster_cli(dir, args);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }
    void daemon(const std::string &req)
    {
        std::string cmd =
            shell_quote(build_program("osk-simd")) + " ctl " + dir + " " + req + " >/dev/null";
        ASSERT_EQ(system(cmd.c_str()), 0) << req;
    }
    /* The system manager holds its name, within a bound. */
    bool manager_up()
    {
        std::string ctl = shell_quote(build_program("osk-simd")) + " ctl " + dir + " ipc";
        return wait_for_condition(300, 200, [&] {
            std::string names;
            FILE *p = popen(ctl.c_str(), "r");
            char buf[256];
            while (p != nullptr && fgets(buf, sizeof buf, p) != nullptr)
                names += buf;
            if (p != nullptr)
                pclose(p);
            return names.find("name OSKMCAL ") != std::string::npos;
        });
    }
    /* History rows without their time column: "ID PACKAGE VERSION RELEASE PIVOT". */
    std::vector<std::string> rows()
    {
        std::vector<std::string> r;
        std::string out = cli({"history"});
        for (size_t at = out.find('\n'); at != std::string::npos && at + 1 < out.size();) {
            size_t nl = out.find('\n', at + 1);
            char id[16], date[16], tm[16], pkg[64], ver[64], rel[64], piv[8];
            std::string line = out.substr(at + 1, nl - at - 1);
            if (sscanf(line.c_str(), "%15s %15s %15s %63s %63s %63s %7s", id, date, tm, pkg, ver,
                       rel, piv) == 7)
                r.push_back(std::string(id) + " " + pkg + " " + ver + " " + rel + " " + piv);
            at = nl;
        }
        return r;
    }
};

TEST_F(History, UpdatesAreRecordedOnceWhateverTheRepositorySays)
{
    release("r10.tgz", "2.2.3.10", {"osk", "osk-base"});
    release("p11.tgz", "2.2.3.11", {"osk", "osk-base", "osk-tools"}, {"--flag", "partial"});
    release("r12.tgz", "2.2.3.12", {"osk", "osk-base"});
    release("r13.tgz", "2.2.3.13", {"osk", "osk-base"});
    EXPECT_EQ(cli({"history"}), "no updates recorded\n");

    std::string console;
    ASSERT_EQ(update("--noreboot --rcp pkghost:/r10.tgz", &console), 0) << console;
    EXPECT_THAT(rows(), testing::ElementsAre("0 Complete 2.2.3.10-1 2.2.3.10 yes"));

    /* Busy for a while, a stale transaction in the middle of the third
     * entry, and a commit that fails twice: each entry still lands once. */
    daemon("pr fault start 3 8");
    daemon("pr fault set 15 1 11");
    daemon("pr fault commit 11 2");
    ASSERT_EQ(update("--noreboot --rcp pkghost:/p11.tgz", &console), 0) << console;
    EXPECT_THAT(console, Not(HasSubstr("PR error")));
    std::vector<std::string> r = rows();
    ASSERT_EQ(r.size(), 4u) << cli({"history"});
    std::vector<std::string> partial(r.begin() + 1, r.end());
    std::sort(partial.begin(), partial.end());
    EXPECT_THAT(partial, testing::ElementsAre(testing::StartsWith("1 "), testing::StartsWith("2 "),
                                              testing::StartsWith("3 ")));
    for (const char *p : {"osk ", "osk-base ", "osk-tools "})
        EXPECT_EQ(std::count_if(r.begin(), r.end(),
                                [&](const std::string &x) {
                                    return x.find(std::string(" ") + p +
                                                  "2.2.3.11-1 2.2.3.11 yes") != std::string::npos;
                                }),
                  1)
            << p;

    /* A repository that cannot replicate: the update goes on, unrecorded,
     * and so does a local one. */
    daemon("pr fault lookup 18 1");
    ASSERT_EQ(update("--noreboot --rcp pkghost:/r12.tgz", &console), 0) << console;
    EXPECT_EQ(test_cluster_exec(dir, 0, "update --local --noreboot --rcp pkghost:/r12.tgz"), 0);
    EXPECT_EQ(rows().size(), 4u);

    /* Without reboots the system manager is never contacted: nothing was
     * announced. */
    EXPECT_EQ(cli({"events"}), "no events\n");

    /* A restarting update with the manager up announces itself, is
     * recorded, and the history survives the restart of every node. */
    std::vector<std::string> before = rows();
    ASSERT_TRUE(manager_up());
    (void)update("--rcp pkghost:/r13.tgz", &console);
    ASSERT_TRUE(test_cluster_wait_up(dir, 0, 90000) && test_cluster_wait_up(dir, 1, 90000))
        << console;
    r = rows();
    before.push_back("4 Complete 2.2.3.13-1 2.2.3.13 yes");
    EXPECT_EQ(r, before) << console;
    std::string ev = cli({"events"});
    EXPECT_THAT(ev, testing::MatchesRegex("ID .*\n1 +[-0-9]+ [:0-9]+ 0 +info +Notification +"
                                          "evt_software_update +system_manager +Applying OSK "
                                          "software version 2.2.3.13-1\n"));

    ASSERT_TRUE(manager_up());
    (void)update("--revert", &console);
    ASSERT_TRUE(test_cluster_wait_up(dir, 0, 90000) && test_cluster_wait_up(dir, 1, 90000))
        << console;
    EXPECT_THAT(cli({"events"}), testing::ContainsRegex("\n2 .* info +Notification +"
                                                        "evt_software_update +system_manager +"
                                                        "Reverting to OSK software version "));
    EXPECT_EQ(rows(), before);
}
