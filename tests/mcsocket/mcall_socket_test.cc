/*
 * Management calls over the system manager stand-in's socket, as an
 * engineer makes them with osk-mcall from outside the cluster: plain and
 * TLS give the answers the kernel IPC gives inside a node, a certificate
 * that is not the cluster's is refused, and clients that break the
 * protocol cost only their own connection.
 */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sysmgr_listen.h"
#include "test_cluster.h"

using testing::HasSubstr;

namespace
{

/* The caller id is the one field a socket does not carry. */
std::string without_callerid(const std::string &s)
{
    return std::regex_replace(s, std::regex("\n *mc_callerid: \"[^\"]*\""), "");
}

/* Reaches the manager as the engineer does: `eval "$(osk-cluster env)"`,
 * then osk-mcall with no option naming the port or the certificate. */
struct SocketCluster : testing::Test {
    std::string dir = test_cluster_dir("mcso");
    std::string env, port;
    void SetUp() override
    {
        std::string why;
        ASSERT_EQ(test_cluster_up(dir, 1, &why), 0) << why;
        ASSERT_TRUE(wait_for_condition(100, 100, [&] {
            run_result r = test_cluster_cli(dir, {"env"});
            env = r.out;
            return r.status == 0;
        })) << "the manager never listened";
        std::smatch m;
        ASSERT_TRUE(std::regex_match(env, m,
                                     std::regex("export OSK_MCALL_PORT=([0-9]+)\n"
                                                "export OSK_MCALL_CAFILE='([^']*)'\n")))
            << env;
        port = m[1];
        EXPECT_EQ(m[2], dir + "/run/sysmgr.crt");
    }
    void TearDown() override
    {
        test_cluster_down(dir);
    }
    run_result mcall(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {"/bin/sh", "-c", env + "exec \"$@\"", "sh",
                                         build_program("osk-mcall")};
        argv.insert(argv.end(), args.begin(), args.end());
        return child_run(argv);
    }
    int raw_connect()
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)atoi(port.c_str()));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd, (struct sockaddr *)&a, sizeof a), 0);
        struct timeval tv = {20, 0}; /* a bound, not a pace: the server answers at once */
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        return fd;
    }
    /* Sends bytes and reads until the server closes; true when it did. */
    bool closed_after(const std::vector<unsigned char> &bytes)
    {
        int fd = raw_connect();
        (void)!write(fd, bytes.data(), bytes.size());
        char buf[256];
        ssize_t r;
        while ((r = read(fd, buf, sizeof buf)) > 0) {
        }
        close(fd);
        return r == 0;
    }
};

TEST_F(SocketCluster, PlainAndTlsAnswerAsTheKernelIpc)
{
    for (const char *call : {"ping", "showvlun"}) {
        std::string local, err;
        /* Inside a node the build's programs are in "/opt/osk-sim/bin". */
        ASSERT_EQ(test_cluster_exec(dir, 0,
                                    std::string("/opt/osk-sim/bin/osk-mcall --local ") + call,
                                    &local, &err),
                  0)
            << err;
        for (bool tls : {false, true}) {
            run_result r = tls ? mcall({"--tls", call}) : mcall({call});
            ASSERT_EQ(r.status, 0) << call << (tls ? " tls: " : " plain: ") << r.err;
            EXPECT_EQ(without_callerid(r.out), without_callerid(local)) << call;
        }
    }
    run_result r = mcall({"--tls", "ping"});
    EXPECT_THAT(r.out, HasSubstr("mp_version: 403\n"));
    EXPECT_THAT(mcall({"showvlun"}).out, HasSubstr("[0] vluninfo\n"));
}

TEST_F(SocketCluster, ForeignCertificateAndBrokenClientsAreRefused)
{
    std::string other = dir + "/other";
    ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
    ASSERT_EQ(sysmgr_make_cert(other.c_str()), 0);
    std::vector<std::string> args = {
        build_program("osk-mcall"), "--tls", "--port", port, "--cafile",
        other + "/sysmgr.crt",      "ping"};
    run_result r = child_run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("certificate not accepted"));
    EXPECT_EQ(r.out, "");

    /* version 1.68 then 3.115 (the handshake), then a type name of 4 GiB */
    std::vector<unsigned char> hello = {0, 1, 0, 68,  0, 0, 0, 0, 0, 0,
                                        0, 3, 0, 115, 0, 0, 0, 0, 0, 0};
    std::vector<unsigned char> huge = hello;
    huge.insert(huge.end(), {0xFF, 0xFF, 0xFF, 0xFF, 'm'});
    EXPECT_TRUE(closed_after(huge));
    /* a catalogued name, then a record that stops half way */
    std::vector<unsigned char> cut = hello;
    cut.insert(cut.end(), {0, 0, 0, 6, 'm', 'c', 'p', 'i', 'n', 'g', 0, 0, 0, 3, 0});
    int fd = raw_connect();
    ASSERT_EQ(write(fd, cut.data(), cut.size()), (ssize_t)cut.size());
    shutdown(fd, SHUT_WR);
    char buf[64];
    ssize_t n, got = 0;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        got += n;
    EXPECT_EQ(n, 0);
    EXPECT_EQ(got, 8) << "two verdicts, no reply";
    close(fd);
    /* something that claims to be TLS and is not */
    EXPECT_TRUE(closed_after({0x16, 0x03, 0x01, 0x00, 0x05, 'h', 'e', 'l', 'l', 'o'}));
    /* a record-definition version of another build */
    std::vector<unsigned char> old = {0, 1, 0, 60,  0, 0, 0, 0, 0, 0,
                                      0, 3, 0, 115, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(closed_after(old));

    r = mcall({"--tls", "ping"});
    EXPECT_EQ(r.status, 0) << "the manager serves on: " << r.err;
    EXPECT_THAT(r.out, HasSubstr("mp_version: 403\n"));
}

TEST(SocketClusterEnv, NoListeningManagerPrintsNothingToEval)
{
    std::string dir = test_cluster_dir("mcen");
    run_result r = test_cluster_cli(dir, {"env"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, HasSubstr("does not listen"));
}

} // namespace
