/*
 * Helpers of the simulated cluster whose faults would hurt this machine or
 * hang a caller: the tree removal that must stop at mounts, the line
 * protocol's end of reply and time bound, the frame reader's limits.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "sim_util.h"
#include "sim_wire.h"
#include "test_cluster.h"

static bool exists(const std::string &p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

TEST(SimRmTree, RemovesATreeButNeverWhatIsMountedInIt)
{
    std::string top = test_cluster_dir("rmtree");
    pid_t pid = fork();
    if (pid == 0) {
        /* A private mount namespace keeps the tmpfs away from this machine. */
        if (unshare(CLONE_NEWNS) < 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
            _exit(10);
        if (sim_mkdir_p((top + "/a/b").c_str(), 0755) < 0 ||
            sim_write_file((top + "/a/b/f").c_str(), "x", 0644) < 0 ||
            symlink("/etc", (top + "/a/link").c_str()) < 0 ||
            sim_mkdir_p((top + "/m").c_str(), 0755) < 0 ||
            mount("tmpfs", (top + "/m").c_str(), "tmpfs", 0, nullptr) < 0 ||
            sim_write_file((top + "/m/keep").c_str(), "x", 0644) < 0)
            _exit(11);
        int rc = sim_rm_tree(top.c_str());
        int ok = rc < 0 && exists(top + "/m/keep") && !exists(top + "/a") && exists("/etc/passwd");
        (void)umount2((top + "/m").c_str(), MNT_DETACH);
        _exit(ok ? 0 : 12);
    }
    int st;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "status " << st;
    EXPECT_EQ(sim_rm_tree(top.c_str()), 0);
    EXPECT_FALSE(exists(top));
    EXPECT_EQ(sim_rm_tree(top.c_str()), 0) << "a missing tree is already removed";
}

/* A one-shot line service that answers with the given chunks. */
static std::thread serve_once(const std::string &sock, std::vector<std::string> chunks)
{
    int lfd = sim_unix_listen(sock.c_str());
    EXPECT_GE(lfd, 0);
    return std::thread([lfd, chunks] {
        int c = accept(lfd, nullptr, nullptr);
        char buf[256];
        (void)!read(c, buf, sizeof buf);
        for (auto &ch : chunks) {
            (void)!write(c, ch.data(), ch.size());
            usleep(20000);
        }
        /* Keep the connection open: the client must stop at the final line. */
        usleep(chunks.empty() ? 500000 : 100000);
        close(c);
        close(lfd);
    });
}

TEST(SimLineRequest, StopsAtTheFinalLineAndWithinItsBound)
{
    std::string dir = test_cluster_dir("line");
    ASSERT_EQ(sim_mkdir_p(dir.c_str(), 0755), 0);
    std::string sock = dir + "/s.sock";
    char reply[256];

    std::thread t = serve_once(sock, {"node 0 present=1\nno", "de 1 present=0\n", "end\n"});
    EXPECT_EQ(sim_line_request(sock.c_str(), "status", reply, sizeof reply, 5000), 0);
    EXPECT_STREQ(reply, "node 0 present=1\nnode 1 present=0\nend\n");
    t.join();

    t = serve_once(sock, {"error no such node\n"});
    EXPECT_EQ(sim_line_request(sock.c_str(), "join 9", reply, sizeof reply, 5000), 1);
    EXPECT_STREQ(reply, "error no such node\n");
    t.join();

    /* "ending" is not "end": the reply is not over yet. */
    t = serve_once(sock, {"ending\n"});
    uint64_t start = sim_now_ms();
    EXPECT_EQ(sim_line_request(sock.c_str(), "status", reply, sizeof reply, 200), -1);
    EXPECT_LT(sim_now_ms() - start, 2000u);
    t.join();

    EXPECT_EQ(sim_line_request((dir + "/none.sock").c_str(), "x", reply, sizeof reply, 200), -1);
    EXPECT_EQ(sim_rm_tree(dir.c_str()), 0);
}

TEST(SimFrame, ReadsWholeFramesAndRejectsBrokenOnes)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    static char buf[SIM_FRAME_MAX];
    int type;
    size_t len;

    ASSERT_EQ(sim_frame_send(sv[0], SIM_FR_STDOUT, "hello", 5), 0);
    ASSERT_EQ(sim_frame_send(sv[0], SIM_FR_STDIN, "", 0), 0);
    ASSERT_EQ(sim_frame_recv(sv[1], &type, buf, sizeof buf, &len), 1);
    EXPECT_EQ(type, SIM_FR_STDOUT);
    EXPECT_EQ(std::string(buf, len), "hello");
    ASSERT_EQ(sim_frame_recv(sv[1], &type, buf, sizeof buf, &len), 1);
    EXPECT_EQ(type, SIM_FR_STDIN);
    EXPECT_EQ(len, 0u);

    /* A length above the limit is refused before anything is read into buf. */
    char hdr[5] = {SIM_FR_STDOUT};
    uint32_t big = htonl(SIM_FRAME_MAX + 1);
    memcpy(hdr + 1, &big, 4);
    ASSERT_EQ(write(sv[0], hdr, 5), 5);
    EXPECT_EQ(sim_frame_recv(sv[1], &type, buf, sizeof buf, &len), -1);

    /* A frame cut short by the peer's end is an error, a clean end is 0. */
    uint32_t ten = htonl(10);
    memcpy(hdr + 1, &ten, 4);
    ASSERT_EQ(write(sv[0], hdr, 5), 5);
    ASSERT_EQ(write(sv[0], "abc", 3), 3);
    close(sv[0]);
    EXPECT_EQ(sim_frame_recv(sv[1], &type, buf, sizeof buf, &len), -1);
    EXPECT_EQ(sim_frame_recv(sv[1], &type, buf, sizeof buf, &len), 0);
    close(sv[1]);

    EXPECT_EQ(sim_frame_send(-1, SIM_FR_STDOUT, buf, SIM_FRAME_MAX + 1), -1);
}

static std::string slurp(const std::string &p)
{
    char buf[256] = "";
    return sim_read_file(p.c_str(), buf, sizeof buf) < 0 ? "(none)" : buf;
}

/* A pid file is trusted only for the process it was written for: another
 * program, another start of the id, or a file without a start is nobody. */
TEST(SimPidFile, NamesOnlyTheProcessItWasWrittenFor)
{
    std::string top = test_cluster_dir("pidfile");
    ASSERT_EQ(sim_mkdir_p(top.c_str(), 0700), 0);
    std::string f = top + "/x.pid";
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sleep", "osk-node", "1000", (char *)nullptr);
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    unsigned long long start = 0;
    ASSERT_TRUE(wait_for_condition(
        250, 20, [&] { return sim_pid_is(pid, "osk-node") && sim_proc_start(pid, &start) == 0; }));
    ASSERT_EQ(sim_pidfile_write(f.c_str(), pid), 0);
    EXPECT_EQ(slurp(f), std::to_string(pid) + " " + std::to_string(start) + "\n");
    EXPECT_EQ(sim_pidfile_read(f.c_str(), "osk-node"), pid);
    EXPECT_EQ(sim_pidfile_read(f.c_str(), "osk-simd"), 0) << "another program";

    for (std::string text : {std::to_string(pid) + " " + std::to_string(start + 1) + "\n",
                             std::to_string(pid) + "\n", std::string("")}) {
        ASSERT_EQ(sim_write_file(f.c_str(), text.c_str(), 0644), 0);
        EXPECT_EQ(sim_pidfile_read(f.c_str(), "osk-node"), 0) << text;
        EXPECT_EQ(sim_pidfile_pidfd(f.c_str(), "osk-node"), -1) << text;
    }

    ASSERT_EQ(sim_pidfile_write(f.c_str(), pid), 0);
    int fd = sim_pidfile_pidfd(f.c_str(), "osk-node");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(sim_pidfd_wait(fd, 0), 0);
    EXPECT_EQ(sim_pidfd_signal(fd, SIGKILL), 0);
    EXPECT_EQ(sim_pidfd_wait(fd, 10000), 1);
    close(fd);
    int st;
    EXPECT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_EQ(sim_pidfile_read(f.c_str(), "osk-node"), 0) << "a process that ended";
    EXPECT_EQ(sim_rm_tree(top.c_str()), 0);
}

/* Root writes into folders others may have planted links in: a link where
 * a file goes is refused or replaced, its target never written. */
TEST(SimWriteFile, NeverWritesThroughALink)
{
    std::string top = test_cluster_dir("links");
    ASSERT_EQ(sim_mkdir_p(top.c_str(), 0700), 0);
    std::string victim = top + "/victim", link = top + "/link", src = top + "/src";
    ASSERT_EQ(sim_write_file(victim.c_str(), "precious\n", 0644), 0);
    ASSERT_EQ(sim_write_file(src.c_str(), "copied\n", 0644), 0);
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);

    errno = 0;
    EXPECT_EQ(sim_write_file(link.c_str(), "owned\n", 0644), -1);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(sim_create_file(link.c_str(), "owned\n", 0644), -1);
    EXPECT_EQ(sim_copy_file(src.c_str(), link.c_str(), 0644), -1);
    EXPECT_EQ(slurp(victim), "precious\n");

    /* A pid file replaces the link itself; so does its scratch name. */
    ASSERT_EQ(symlink(victim.c_str(), (link + ".new").c_str()), 0);
    EXPECT_EQ(sim_pidfile_write(link.c_str(), getpid()), 0);
    EXPECT_EQ(slurp(victim), "precious\n");
    EXPECT_EQ(sim_pidfile_read(link.c_str(), "sim_util_test"), getpid());
    EXPECT_EQ(sim_rm_tree(top.c_str()), 0);
}
