/*
 * The export inventory as the expedition reads it: the file `update
 * --dumpvluns 0x5` wrote on a simulated cluster yields each node's own
 * export paths, and an inventory that is missing, empty, of another
 * version or damaged anywhere yields nothing at all.
 */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "inventory.h"

#include "osk_banned.h"

static std::string golden(void)
{
    std::ifstream f(std::string(OSK_SOURCE_DIR) + "/tests/cluster/dumpvluns_0x5.golden");
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

class Inventory : public ::testing::Test
{
  protected:
    std::string dir, path;
    void SetUp() override
    {
        char t[] = "/tmp/osk inventory.XXXXXX";
        ASSERT_NE(mkdtemp(t), nullptr);
        dir = t;
        path = dir + "/present_vluns";
        ASSERT_FALSE(golden().empty());
    }
    void TearDown() override
    {
        (void)unlink(path.c_str());
        (void)rmdir(dir.c_str());
    }
    void write(const std::string &text)
    {
        std::ofstream(path) << text;
    }
    /* Node n's paths, or the reason it gets none. */
    std::string read(int n, std::set<std::string> *paths)
    {
        std::string why;
        return inventory_read(path.c_str(), n, paths, &why) == 0 ? "ok" : why;
    }
};

TEST_F(Inventory, EachNodeTakesTheExportPathsOnItsOwnPorts)
{
    write(golden());
    std::set<std::string> n0, n1, n2;
    EXPECT_EQ(read(0, &n0), "ok");
    EXPECT_EQ(read(1, &n1), "ok");
    EXPECT_EQ(read(2, &n2), "ok");
    EXPECT_EQ(n0.size(), 12u);
    EXPECT_TRUE(n1.empty());
    EXPECT_EQ(n2.size(), 8u);
    /* Keyed as the export check keys the configuration's paths. */
    EXPECT_TRUE(n0.count(inventory_path_key("vol00", "esx01", 0, 0, 2, 1)));
    EXPECT_TRUE(n0.count(inventory_path_key("vol04", "db02", 0, 0, 1, 1)));
    EXPECT_TRUE(n2.count(inventory_path_key("vol19", "db02", 3, 2, 1, 1)));
    EXPECT_FALSE(n2.count(inventory_path_key("vol19", "db02", 3, 3, 1, 1)));
}

TEST_F(Inventory, AnythingButTheWholeFileOfItsVersionYieldsNoExport)
{
    const std::string g = golden();
    auto replaced = [&](const std::string &from, const std::string &to) {
        std::string t = g;
        size_t at = t.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? t : t.replace(at, from.size(), to);
    };
    const std::string last_line_cut = g.substr(0, g.size() - 40);
    const struct {
        const char *name;
        std::string text;
        const char *why;
    } cases[] = {
        {"empty", "", "empty"},
        {"another version", replaced("VERSION 4\n", "VERSION 3\n"), "of version 3"},
        {"no version line", g.substr(g.find('\n') + 1), "damaged at line 1"},
        {"cut in its last line", last_line_cut, "damaged at line 36"},
        {"a line of another kind", replaced("DISK PD=6 ", "DISC PD=6 "), "damaged at line 7"},
        {"a short volume WWN", replaced("VWWN=50002ac000010000", "VWWN=50002ac00001000"),
         "damaged at line 17"},
        {"a quote lost", replaced("VV=\"vol02\"", "VV=\"vol02"), "damaged at line 19"},
        {"a CHAP secret cut",
         replaced("CHAPSECRET=\"6573783031736563726574313233343500\" TA",
                  "CHAPSECRET=\"65737830317365637265743132333435\" TA"),
         "damaged at line 17"},
        {"an address of five bytes", replaced("IPADDR=192.168.10.12 ", "IPADDR=192.168.10.12.1 "),
         "damaged at line 18"},
    };
    for (const auto &c : cases) {
        write(c.text);
        std::set<std::string> paths = {"kept"};
        EXPECT_EQ(read(0, &paths), c.why) << c.name;
        EXPECT_EQ(paths, std::set<std::string>{"kept"}) << c.name;
    }
    (void)unlink(path.c_str());
    std::set<std::string> paths;
    EXPECT_EQ(read(0, &paths), "missing");
    EXPECT_TRUE(paths.empty());
}
