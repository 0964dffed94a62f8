/*
 * Reading a child's two streams: what every tool's and test's child runner
 * rests on.
 */
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "child_io.h"

/* A child that writes its error stream before its output: a reader that
 * waits for the output's end first would leave it blocked on a full pipe. */
TEST(ChildIo, BothStreamsAreReadTogetherAndKeptApart)
{
    int po[2], pe[2];
    ASSERT_EQ(pipe2(po, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(pe, O_CLOEXEC), 0);
    const std::string err(300000, 'e'), out = "done\n";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        (void)!write(pe[1], err.data(), err.size());
        (void)!write(po[1], out.data(), out.size());
        _exit(3);
    }
    close(po[1]);
    close(pe[1]);
    int fds[2] = {po[0], pe[0]};
    std::string got_out, got_err, both;
    EXPECT_EQ(child_drain(fds, {&got_out, &got_err, &both}, child_now_ms() + 60000), 1);
    child_drain_close(fds);
    int sig = -1;
    EXPECT_EQ(child_reap(pid, &sig), 3);
    EXPECT_EQ(sig, 0);
    EXPECT_EQ(got_out, out);
    EXPECT_TRUE(got_err == err) << got_err.size() << " bytes of " << err.size();
    /* Both streams whole in the one text, whatever the chunks' order. */
    EXPECT_EQ(both.size(), err.size() + out.size());
    EXPECT_NE(both.find(out), std::string::npos);
}

/* At the deadline the pipes stay open: the caller ends the child and reads
 * what is left, and a killed child is told apart from an exit. */
TEST(ChildIo, DeadlineLeavesThePipesForTheCallerToFinish)
{
    int po[2], hold[2];
    ASSERT_EQ(pipe2(po, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(hold, O_CLOEXEC), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        (void)!write(po[1], "partial", 7);
        char c;
        (void)!read(hold[0], &c, 1); /* until the parent ends it */
        _exit(0);
    }
    close(po[1]);
    int fds[2] = {po[0], -1};
    std::string out;
    EXPECT_EQ(child_drain(fds, {.out = &out}, child_now_ms() + 200), 0);
    EXPECT_GE(fds[0], 0);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    EXPECT_EQ(child_drain(fds, {.out = &out}, child_now_ms() + 60000), 1);
    EXPECT_EQ(out, "partial");
    int sig = 0;
    EXPECT_EQ(child_reap(pid, &sig), -1);
    EXPECT_EQ(sig, SIGKILL);
    close(hold[0]);
    close(hold[1]);
}
