/*
 * The child engine as its callers meet it: what reaches the run log and the
 * capture buffers when children run, fail, die, flood both pipes or run side
 * by side.
 */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver_log.h"
#include "modes.h"
#include "test_cluster.h"
#include "ulog.h"

namespace
{

std::string slurp(const std::string &path, size_t from = 0)
{
    std::ifstream f(path, std::ios::binary);
    f.seekg((std::streamoff)from);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

/* Payloads of the records that start with prefix, in log order. */
std::vector<std::string> records(const std::string &log, const std::string &prefix)
{
    std::vector<std::string> out;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        size_t stamp_end = line.find("} ");
        if (line.rfind("{", 0) == 0 && stamp_end != std::string::npos &&
            line.compare(stamp_end + 2, prefix.size(), prefix) == 0)
            out.push_back(line.substr(stamp_end + 2 + prefix.size()));
    }
    return out;
}

std::string joined(const std::vector<std::string> &v)
{
    std::string s;
    for (const auto &e : v)
        s += e;
    return s;
}

/* seq's output as one text; a line cut across two reads joins up again. */
std::string seq_text(int from, int to, bool newlines)
{
    std::string s;
    for (int i = from; i <= to; i++)
        s += std::to_string(i) + (newlines ? "\n" : "");
    return s;
}

class Exec : public ::testing::Test
{
  protected:
    static std::string logpath;
    size_t start = 0;

    /* The log is opened once per process: every test reads what it added. */
    static void SetUpTestSuite()
    {
        const char *env = getenv("EXEC_TEST_LOG");
        if (env == nullptr) {
            logpath = "/tmp/exec_test." + std::to_string(getpid()) + ".log";
            setenv("EXEC_TEST_LOG", logpath.c_str(), 1); /* death-test children share it */
        } else {
            logpath = env;
        }
        ulog_settings.logfilename = logpath.c_str();
    }
    static void TearDownTestSuite()
    {
        unlink(logpath.c_str());
    }
    void SetUp() override
    {
        install_altroot = 0;
        ulog_settings.do_dots = 0;
        struct stat sb;
        start = stat(logpath.c_str(), &sb) == 0 ? (size_t)sb.st_size : 0;
    }
    std::string log()
    {
        return slurp(logpath, start);
    }
};

std::string Exec::logpath;

TEST_F(Exec, RecordsAnnouncementNonEmptyLinesAndResult)
{
    EXPECT_EQ(0, ulog_execl("/bin/sh", "-c", "printf 'one\\n\\ntwo'; echo err >&2", nullptr));
    std::string l = log();
    EXPECT_EQ(std::vector<std::string>{"/bin/sh -c printf 'one\\n\\ntwo'; echo err >&2 "},
              records(l, "sh *  : "));
    EXPECT_EQ((std::vector<std::string>{"one", "two"}), records(l, "sh *o : "));
    EXPECT_EQ(std::vector<std::string>{"err"}, records(l, "sh *e : "));
    EXPECT_EQ(std::vector<std::string>{"Succeeded with status: 0"}, records(l, "sh ***: "));
}

TEST_F(Exec, FailureSignalAndMissingProgramGiveTheirResults)
{
    EXPECT_EQ(3, ulog_execl("/bin/sh", "-c", "exit 3", nullptr));
    EXPECT_EQ(9, ulog_execl("/bin/sh", "-c", "kill -9 $$", nullptr));
    EXPECT_EQ(1, ulog_execl("/nonexistent/prog", "arg", nullptr));
    std::string l = log();
    EXPECT_EQ((std::vector<std::string>{"Failed    with status: 3", "Died      with signal: 9"}),
              records(l, "sh ***: "));
    EXPECT_EQ(
        std::vector<std::string>{"Could not start command: prog error: No such file or directory"},
        records(l, "prog *o : "));
    EXPECT_EQ(std::vector<std::string>{"Failed    with status: 1"}, records(l, "prog ***: "));
}

/*
 * One process alternating writes on both streams: an engine that reads one
 * pipe to its end while the other fills up would hang here.
 */
TEST_F(Exec, FloodOnBothStreamsIsLoggedWithoutLoss)
{
    const int n = 120000;
    std::string prog = "BEGIN { for (i = 1; i <= " + std::to_string(n) +
                       "; i++) { print i; print i > \"/dev/stderr\" } }";
    EXPECT_EQ(0, ulog_execl("/usr/bin/awk", prog.c_str(), nullptr));
    std::string l = log();
    std::string expect = seq_text(1, n, false);
    EXPECT_TRUE(joined(records(l, "awk *o : ")) == expect);
    EXPECT_TRUE(joined(records(l, "awk *e : ")) == expect);
    EXPECT_EQ(std::vector<std::string>{"Succeeded with status: 0"}, records(l, "awk ***: "));
}

/*
 * The relay keeps nothing back: a driver killed while its child is still
 * talking has logged every line it read, each as a whole record.
 */
TEST_F(Exec, KilledWhileRelayingHasLoggedEveryLineItRead)
{
    auto relay = [](const std::vector<const char *> &argv) {
        pid_t pid = fork();
        if (pid == 0) {
            std::vector<const char *> v = argv;
            v.push_back(nullptr);
            _exit(ulog_execv((char **)v.data(), nullptr, nullptr));
        }
        return pid;
    };
    auto kill_relay = [](pid_t pid) {
        kill(pid, SIGKILL);
        int status;
        waitpid(pid, &status, 0);
        return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    };
    auto wait_for = [](const std::function<bool()> &cond) {
        return wait_for_condition(2000, 10, cond);
    };

    /* A child that pauses after 5000 lines: the relay has read them all. */
    std::string flag = logpath + ".paused";
    std::string script =
        "seq 1 5000; echo $$ > " + flag + ".t && mv " + flag + ".t " + flag + "; exec sleep 120";
    pid_t pid = relay({"/bin/sh", "-c", script.c_str()});
    EXPECT_TRUE(wait_for([&] {
        return !records(log(), "sh *o : 5000").empty() || records(log(), "sh *o : ").size() >= 5000;
    })) << "lines read stay out of the log while the child talks on";
    EXPECT_TRUE(kill_relay(pid));
    pid_t sleeper = (pid_t)atol(slurp(flag).c_str());
    if (sleeper > 0)
        kill(sleeper, SIGKILL);
    unlink(flag.c_str());
    EXPECT_TRUE(joined(records(log(), "sh *o : ")) == seq_text(1, 5000, false));

    /* Killed in full flow: whole records of 1, 2, ... without a gap. */
    struct stat sb;
    size_t from = stat(logpath.c_str(), &sb) == 0 ? (size_t)sb.st_size : 0;
    script = "echo $$ > " + flag + "; seq 1 2000000; exec sleep 120";
    pid = relay({"/bin/sh", "-c", script.c_str()});
    EXPECT_TRUE(wait_for(
        [&] { return stat(logpath.c_str(), &sb) == 0 && (size_t)sb.st_size > from + (1 << 20); }));
    EXPECT_TRUE(kill_relay(pid));
    sleeper = (pid_t)atol(slurp(flag).c_str());
    if (sleeper > 0)
        kill(sleeper, SIGKILL);
    unlink(flag.c_str());
    std::string l = slurp(logpath, from);
    /* The kernel may cut a large write short when a fatal signal arrives in
     * the middle of it: only the record being written then can be partial. */
    l.erase(l.rfind('\n') + 1);
    ASSERT_FALSE(l.empty());
    /* A line cut across two reads is two records: compare the joined text. */
    std::string got = joined(records(l, "sh *o : "));
    EXPECT_FALSE(got.empty());
    EXPECT_TRUE(seq_text(1, 2000000, false).compare(0, got.size(), got) == 0);
}

TEST_F(Exec, CaptureIsCutAtItsRoomWhileEverythingIsLogged)
{
    std::string out = seq_text(1, 1000, true).substr(0, 1000);
    char buf[256];
    memset(buf, 'x', sizeof(buf));
    ASSERT_EQ(buf, get_cmdoutput("seq 1 1000 | head -c 1000", buf, sizeof(buf)));
    EXPECT_EQ(out.substr(0, 255), std::string(buf));
    std::string flat = out;
    flat.erase(std::remove(flat.begin(), flat.end(), '\n'), flat.end());
    EXPECT_EQ(flat, joined(records(log(), "sh *o : ")));

    EXPECT_EQ(nullptr, get_cmdoutput("echo partial; exit 2", buf, sizeof(buf)));

    /* Captures filled over many reads, each stream into its own buffer. */
    static char obuf[32768], ebuf[100];
    memset(obuf, 0, sizeof(obuf));
    memset(ebuf, 0, sizeof(ebuf));
    ulog_exec_opts_t ops = {};
    ops.ulog_buf_stdout = obuf;
    ops.ulog_buf_stdout_len = sizeof(obuf);
    ops.ulog_buf_stderr = ebuf;
    ops.ulog_buf_stderr_len = sizeof(ebuf);
    EXPECT_EQ(0, ulog_exec_ops(&ops, "/bin/sh", "-c", "seq 1 30000; seq 1 100 >&2", nullptr));
    EXPECT_EQ(seq_text(1, 30000, true).substr(0, sizeof(obuf)), std::string(obuf, sizeof(obuf)));
    EXPECT_EQ(seq_text(1, 100, true).substr(0, sizeof(ebuf)), std::string(ebuf, sizeof(ebuf)));
}

/*
 * Started together, collected in order: a waits until c has run, and b
 * writes more than a pipe holds before anyone reads it.
 */
TEST_F(Exec, NurseryChildrenRunTogetherAndAreCollectedInOrder)
{
    char dir[] = "/tmp/exec_test.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    std::string mark = std::string(dir) + "/c-ran";
    std::string a_cmd = "for i in $(seq 200); do [ -e " + mark + " ] && break; sleep 0.05; done;" +
                        "[ -e " + mark + " ] && echo a-saw-c; echo a-err >&2";
    std::string c_cmd = "echo c-out; touch " + mark;
    const char *cmds[3] = {a_cmd.c_str(), "seq 1 50000; echo b-err >&2; exit 4", c_cmd.c_str()};
    static char out[3][32768], err[3][32768];
    ulog_exec_state_t *st[3];
    for (int i = 0; i < 3; i++) {
        const char *argv[] = {"/bin/sh", "-c", cmds[i], nullptr};
        ulog_exec_opts_t ops = {};
        ops.ulog_exec_vec = (char **)argv;
        ops.ulog_buf_stdout = out[i];
        ops.ulog_buf_stdout_len = sizeof(out[i]) - 1;
        ops.ulog_buf_stderr = err[i];
        ops.ulog_buf_stderr_len = sizeof(err[i]) - 1;
        memset(out[i], 0, sizeof(out[i]));
        memset(err[i], 0, sizeof(err[i]));
        st[i] = ulog_exec_nursery(&ops);
        ASSERT_GT(st[i]->ulog_st_pid, 0);
    }
    EXPECT_EQ(0, ulog_exec_wait(st[0]));
    EXPECT_EQ(4, ulog_exec_wait(st[1]));
    EXPECT_EQ(0, ulog_exec_wait(st[2]));
    unlink(mark.c_str());
    rmdir(dir);

    EXPECT_STREQ("a-saw-c\n", out[0]);
    EXPECT_STREQ("a-err\n", err[0]);
    EXPECT_EQ(seq_text(1, 50000, true).substr(0, sizeof(out[1]) - 1), std::string(out[1]));
    EXPECT_STREQ("b-err\n", err[1]);
    EXPECT_STREQ("c-out\n", out[2]);
    EXPECT_STREQ("", err[2]);

    std::string l = log();
    EXPECT_EQ((std::vector<std::string>{"Succeeded with status: 0", "Failed    with status: 4",
                                        "Succeeded with status: 0"}),
              records(l, "sh ***: "));
    std::string outs = joined(records(l, "sh *o : "));
    EXPECT_TRUE(outs == "a-saw-c" + seq_text(1, 50000, false) + "c-out");
}

void hook_chdir(void *dir)
{
    if (chdir((const char *)dir) != 0)
        _exit(99);
}

/* Hooks run in the child: they neither move nor end the parent. */
TEST_F(Exec, HooksRunInTheChildOnly)
{
    char dir[] = "/tmp/exec_test.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    char here[4096], now[4096];
    ASSERT_NE(nullptr, getcwd(here, sizeof(here)));
    EXPECT_EQ(0, ulog_execl_hook(hook_chdir, dir, "/bin/pwd", nullptr));
    EXPECT_EQ(std::vector<std::string>{dir}, records(log(), "pwd *o : "));
    EXPECT_STREQ(here, getcwd(now, sizeof(now)));
    rmdir(dir);

    struct stat sb;
    if (stat("/altroot", &sb) == 0)
        GTEST_SKIP() << "/altroot exists here";
    install_altroot = 1;
    EXPECT_EQ(25, ulog_execl_hook(do_chroot, nullptr, "/bin/true", nullptr));
    install_altroot = 0;
    std::string l = log();
    EXPECT_NE(std::string::npos, l.find("Could not chroot: No such file or directory."));
    EXPECT_EQ(std::vector<std::string>{"Failed    with status: 25"}, records(l, "true ***: "));
}

TEST_F(Exec, ExeclTakesNineteenArgumentsAndNoMore)
{
    EXPECT_EQ(0, ulog_execl("/bin/echo", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11",
                            "12", "13", "14", "15", "16", "17", "18", "19", nullptr));
    EXPECT_EQ(std::vector<std::string>{"1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19"},
              records(log(), "echo *o : "));

    EXPECT_EXIT(ulog_execl("/bin/echo", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11",
                           "12", "13", "14", "15", "16", "17", "18", "19", "20", nullptr),
                ::testing::ExitedWithCode(25), "");
    std::string l = log();
    EXPECT_NE(std::string::npos, l.find("Too many arguements passed for command: /bin/echo"));
    EXPECT_TRUE(records(l, "echo *  : ").size() == 1); /* the 20-argument child never started */
}

/*
 * Children get SIGPIPE back, so a pipeline whose reader is done ends
 * quietly, but keep ignoring the terminal's interrupt meant for the driver.
 */
TEST_F(Exec, ChildPipelinesEndQuietlyAndInterruptsDoNotStopChildren)
{
    /* As the driver runs: SIGPIPE ignored, so each child must undo that. */
    sighandler_t old = signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(0, ulog_execl("/bin/sh", "-c", "yes | head -1", nullptr));
    signal(SIGPIPE, old);
    std::string l = log();
    EXPECT_EQ(std::vector<std::string>{"y"}, records(l, "sh *o : "));
    EXPECT_TRUE(records(l, "sh *e : ").empty()) << l;

    EXPECT_EQ(0, ulog_execl("/bin/sh", "-c",
                            "kill -INT $$; kill -TERM $$; kill -HUP $$; echo alive", nullptr));
    EXPECT_EQ((std::vector<std::string>{"y", "alive"}), records(log(), "sh *o : "));
}

/*
 * A process the child leaves behind holding its pipes (a daemon started by
 * a package script) does not hold the wait: what the child wrote is kept.
 */
TEST_F(Exec, LeftoverProcessHoldingThePipesDoesNotHoldTheWait)
{
    char buf[64];
    ASSERT_NE(nullptr, get_cmdoutput("echo before; sleep 120 & echo $!", buf, sizeof(buf)));
    long pid = 0;
    ASSERT_EQ(1, sscanf(buf, "before\n%ld", &pid)) << buf;
    kill((pid_t)pid, SIGKILL);
    std::string l = log();
    EXPECT_EQ((std::vector<std::string>{"before", std::to_string(pid)}), records(l, "sh *o : "));
    EXPECT_NE(std::string::npos, l.find("sh: output still held open by another process"));
    EXPECT_EQ(std::vector<std::string>{"Succeeded with status: 0"}, records(l, "sh ***: "));
}

/* A parent whose standard streams are closed gets its pipes on 0..2. */
TEST_F(Exec, ChildGetsItsStreamsWhenTheParentHasNone)
{
    EXPECT_EXIT(
        {
            close(0);
            close(1);
            close(2);
            int r = ulog_execl("/bin/sh", "-c", "echo out; echo err >&2; read x; echo \"in=$x\"",
                               nullptr);
            _exit(r);
        },
        ::testing::ExitedWithCode(0), "");
    std::string l = log();
    EXPECT_EQ((std::vector<std::string>{"out", "in="}), records(l, "sh *o : "));
    EXPECT_EQ(std::vector<std::string>{"err"}, records(l, "sh *e : "));
}

} // namespace
