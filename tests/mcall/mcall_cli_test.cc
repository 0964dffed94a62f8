/*
 * osk-mcall's answers to what it cannot use: each mistake one line naming
 * it, with status 2, before anything is sent; and a manager that takes a
 * connection but never answers ends the call within its timeout.
 */
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "child_run.h"
#include "sandbox.h"

#include "osk_banned.h"

using ::testing::HasSubstr;

namespace
{

struct cli_case {
    std::vector<std::string> args;
    int status;
    std::string err; /* exact standard error */
};

run_result mcall(const std::vector<std::string> &args, int deadline_ms = 10000)
{
    std::vector<std::string> argv = {build_program("osk-mcall")};
    argv.insert(argv.end(), args.begin(), args.end());
    child_opts o;
    o.deadline_ms = deadline_ms;
    /* A port nothing listens on: no case may get as far as a connection. */
    o.env = {"OSK_MCALL_PORT=1"};
    return child_run(argv, o);
}

const std::string name32(32, 'v');

TEST(McallCli, MistakesAreRefusedInOneLine)
{
    const cli_case cases[] = {
        {{"--port"}, 2, "osk-mcall: --port needs a value: the manager's port\n"},
        {{"--port", "--tls", "ping"}, 2, "osk-mcall: --port needs a value: the manager's port\n"},
        {{"ping", "--host"}, 2, "osk-mcall: ping takes no arguments, not \"--host\"\n"},
        {{"--host"}, 2, "osk-mcall: --host needs a value: the manager's host name or address\n"},
        {{"--tls", "--cafile"},
         2,
         "osk-mcall: --cafile needs a value: the certificate file of the cluster\n"},
        {{"--timeout"}, 2, "osk-mcall: --timeout needs a value: a number of seconds\n"},
        {{"--timeout", "0", "ping"},
         2,
         "osk-mcall: --timeout takes a number of seconds from 1 to 86400, not \"0\"\n"},
        {{"--timeout", "5s", "ping"},
         2,
         "osk-mcall: --timeout takes a number of seconds from 1 to 86400, not \"5s\"\n"},
        {{"--verbose", "ping"},
         2,
         "osk-mcall: unknown option --verbose; osk-mcall --help lists them\n"},
        {{}, 2, "osk-mcall: no call given; osk-mcall --help lists them\n"},
        {{"--tls"}, 2, "osk-mcall: no call given; osk-mcall --help lists them\n"},
        {{"showlvun"}, 2, "osk-mcall: unknown call showlvun; osk-mcall --help lists them\n"},
        {{"ping", "now"}, 2, "osk-mcall: ping takes no arguments, not \"now\"\n"},
        {{"showhost", "h1", "h2"},
         2,
         "osk-mcall: showhost takes at most 1 argument ([HOST]), not \"h2\"\n"},
        {{"showvlun", "vv", "h", "7"},
         2,
         "osk-mcall: showvlun takes at most 2 arguments ([VV [HOST]]), not \"7\"\n"},
        {{"showvv", name32},
         2,
         "osk-mcall: the volume name \"" + name32 + "\" is longer than 31 characters\n"},
        {{"showvlun", "vv", name32},
         2,
         "osk-mcall: the host name \"" + name32 + "\" is longer than 31 characters\n"},
    };
    for (const cli_case &c : cases) {
        run_result r = mcall(c.args);
        std::string cmd = "osk-mcall";
        for (const std::string &a : c.args)
            cmd += " " + a;
        EXPECT_EQ(r.status, c.status) << cmd << "\n" << r.err;
        EXPECT_EQ(r.err, c.err) << cmd;
        EXPECT_EQ(r.out, "") << cmd;
    }
}

TEST(McallCli, HelpListsTheTimeoutAndTheLongestName)
{
    run_result r = mcall({"--help"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("--timeout SECONDS"));
    EXPECT_THAT(r.out, HasSubstr("at most 31 characters"));
}

/* A listener on the loopback address that takes connections and never
 * answers, as a hung manager would. */
TEST(McallCli, AManagerThatNeverAnswersEndsTheCallAtTheTimeout)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(fd, (struct sockaddr *)&a, sizeof a), 0);
    ASSERT_EQ(listen(fd, 8), 0);
    ASSERT_EQ(getsockname(fd, (struct sockaddr *)&a, &len), 0);
    std::string port = std::to_string(ntohs(a.sin_port));
    for (const char *tls : {"", "--tls"}) {
        std::vector<std::string> args = {"--port", port, "--timeout", "1", "ping"};
        if (*tls)
            args.insert(args.begin(), {tls, "--cafile", "/etc/ssl/certs/ca-certificates.crt"});
        /* Bounded far above the timeout, so a wait for ever fails here. */
        run_result r = mcall(args, 60000);
        EXPECT_FALSE(r.timed_out) << tls;
        EXPECT_EQ(r.status, 1) << tls << r.err;
        EXPECT_EQ(r.err, "osk-mcall: no answer from the manager at 127.0.0.1:" + port +
                             " within 1 s; is it up? (--timeout sets the wait)\n")
            << tls;
    }
    close(fd);
}

} // namespace
