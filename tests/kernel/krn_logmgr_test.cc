/*
 * Log rollover: the generations kept, the size rule, and where standard
 * output goes afterwards.
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "krn_util.h"
#include "logmgr.h"

namespace
{

struct LogDir : testing::Test {
    std::string dir;
    std::string log;
    void SetUp() override
    {
        char tmpl[] = "/tmp/krn-log-XXXXXX";
        dir = mkdtemp(tmpl);
        log = dir + "/app.log";
        /* No kernel: the number of generations is the default. */
        setenv("OSK_DEVICE_PATH", (dir + "/no-device").c_str(), 1);
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf " + dir;
        (void)!system(cmd.c_str());
    }
    void write_file(const std::string &path, const std::string &text)
    {
        std::ofstream(path) << text;
    }
    std::string read_file(const std::string &path)
    {
        std::ifstream in(path);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    bool exists(const std::string &path)
    {
        return access(path.c_str(), F_OK) == 0;
    }
    std::string gen(int i)
    {
        return log + "." + std::to_string(i);
    }
};

} // namespace

TEST_F(LogDir, RegfileKeepsExactlyDefaultGenerations)
{
    write_file(log, "live");
    for (int i = 0; i < 5; i++)
        write_file(gen(i), "gen" + std::to_string(i));
    write_file(gen(7), "stray"); /* beyond N: neither moved nor counted */

    ASSERT_EQ(logmgr_rollover_regfile(log.c_str(), -1, 0644), 1);
    EXPECT_EQ(read_file(log), "");
    EXPECT_EQ(read_file(gen(0)), "live");
    EXPECT_EQ(read_file(gen(1)), "gen0");
    EXPECT_EQ(read_file(gen(4)), "gen3"); /* the old .4 is gone */
    EXPECT_FALSE(exists(gen(5)));
    struct stat st;
    ASSERT_EQ(stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(LogDir, MissingMiddleGenerationsAreSkipped)
{
    write_file(log, "live");
    write_file(gen(0), "gen0");
    write_file(gen(3), "gen3");
    ASSERT_EQ(logmgr_rollover_regfile(log.c_str(), 5, 0644), 1);
    EXPECT_EQ(read_file(gen(0)), "live");
    EXPECT_EQ(read_file(gen(1)), "gen0");
    EXPECT_FALSE(exists(gen(2)));
    EXPECT_FALSE(exists(gen(3)));
    EXPECT_EQ(read_file(gen(4)), "gen3");
}

TEST_F(LogDir, CheckRollsOverOnlyAboveTheLimitAndMovesStdout)
{
    write_file(log, std::string(100, 'x'));
    EXPECT_EQ(logmgr_check_logrollover(log.c_str(), 0, 100), 0);
    EXPECT_FALSE(exists(gen(0)));
    EXPECT_EQ(logmgr_check_logrollover((dir + "/absent").c_str(), 0, 100), -1);

    write_file(log, std::string(101, 'x'));
    std::string out = run_as(dir + "/no-device", [&] {
        int rc = logmgr_check_logrollover(log.c_str(), 0, 100);
        printf("to stdout\n");
        fflush(stdout);
        fprintf(stderr, "to stderr\n");
        return std::to_string(rc);
    });
    EXPECT_EQ(out, "1");
    EXPECT_EQ(read_file(gen(0)), std::string(101, 'x'));
    EXPECT_EQ(read_file(log), "to stdout\nto stderr\n");
    EXPECT_FALSE(exists(log + ".rollover"));
}

TEST_F(LogDir, UnwritableRolloverFileMovesNothing)
{
    std::string sub = dir + "/ro";
    mkdir(sub.c_str(), 0755);
    std::string l = sub + "/app.log";
    write_file(l, "live");
    /* A directory where the rollover file would go makes its creation fail,
     * even for root. */
    mkdir((l + ".rollover").c_str(), 0755);
    std::string out = run_as(dir + "/no-device", [&] {
        struct stat before, after;
        fstat(1, &before);
        int rc = logmgr_rollover_logfile(l.c_str(), 5, 0);
        fstat(1, &after);
        return std::to_string(rc) + (before.st_ino == after.st_ino ? " same" : " moved");
    });
    EXPECT_EQ(out, "0 same");
    EXPECT_EQ(read_file(l), "live");
    EXPECT_FALSE(exists(l + ".0"));
}

TEST(EnvArray, InitenvAppendsNameAndSize)
{
    char **env = osk_envarray_mirror(nullptr, 2);
    char tmpl[] = "/tmp/krn-env-XXXXXX";
    std::string d = mkdtemp(tmpl);
    std::string l = d + "/svc.log";
    int next = logmgr_initenv_rolloverlogfile(env, l.c_str(), "svc", 1000000, 0);
    EXPECT_EQ(next, 2);
    EXPECT_STREQ(env[0], ("OSK_LOGFNAME_ENV=" + l).c_str());
    EXPECT_STREQ(env[1], "OSK_LOGFSIZE_ENV=1000000");
    EXPECT_EQ(osk_envarray_count(env), 2);
    std::ifstream in(l);
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_NE(ss.str().find("= LOGFILEMGR: svc" + std::string(51, ' ') + "\n"), std::string::npos);
    osk_envarray_free(env);
    (void)!system(("rm -rf " + d).c_str());
}
