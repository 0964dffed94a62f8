/*
 * System-control layer against a scripted fake device: replay of
 * interrupted requests, the version check, and which failures stop the
 * process.
 */
#include <signal.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include <gtest/gtest.h>

#include "krn_util.h"
#include "osk_errcode.h"
#include "osk_runtime.h"
#include "sc_ioctl.h"

TEST(ScLayout, CommandNumbers)
{
    EXPECT_EQ((uint32_t)SCCMD_VERSION, 0xC0561234u);
    EXPECT_EQ((uint32_t)SCCMD_GETCINFO, 0xC0561234u + 16);
    EXPECT_EQ((uint32_t)SCCMD_NODEOP, 0xC0561234u + 47);
    EXPECT_EQ((uint32_t)SCCMD_GET_VARS, 0xC0561278u);
    EXPECT_EQ((uint32_t)SCCMD_QUERY_LOG, 0xC0561234u + 74);
    EXPECT_EQ((uint32_t)PRCMD_LOOKUP_TABLE, 0xC0561234u + 209);
    EXPECT_EQ((uint32_t)EMCMD_POST, 0xC0561234u + 236);
    EXPECT_EQ((uint32_t)SCCMD_GETDCINFO, 0xC0561234u + 256);
    EXPECT_EQ((uint32_t)OSKCMD_LAST, 0xC0561234u + 287);
}

/* Callers fill only the fields they use: the rest of a fresh record is zero. */
TEST(ScLayout, FreshRecordNamesItsCommandAndSize)
{
    cinfo_t *ci = (cinfo_t *)ioctl_alloc(SCCMD_GETCINFO, sizeof(cinfo_t));
    EXPECT_EQ(ci->ci_hdr.io_cmd, (uint32_t)SCCMD_GETCINFO);
    EXPECT_EQ(ci->ci_hdr.io_len, sizeof(cinfo_t));
    const uint8_t *b = (const uint8_t *)ci;
    for (size_t i = sizeof(iohdr_t); i < sizeof(cinfo_t); i++)
        ASSERT_EQ(b[i], 0) << "body byte " << i;
    ioctl_free(&ci);
    EXPECT_EQ(ci, nullptr);
}

TEST(ScLayoutDeathTest, RecordSizeOutOfBounds)
{
    EXPECT_DEATH(ioctl_alloc(SCCMD_GETCINFO, 291), "");
    EXPECT_DEATH(ioctl_alloc(SCCMD_GETCINFO, MAX_IOCTL_SIZE + 1), "");
}

TEST(ScErrtext, FiveIndentedLinesAndDefaultInfo)
{
    iohdr_t *h = ioctl_alloc(SCCMD_GETCINFO, sizeof(cinfo_t));
    h->io_status = TE_INVALID;
    h->io_node = 3;
    char text[IOCTL_ERRTEXT_LEN];
    errno = 0;
    ioctl_errtext(h, text, "    ");
    std::string t(text);
    EXPECT_NE(t.find("    Opcode         = SCCMD_GETCINFO  -- Get cluster info\n"),
              std::string::npos);
    EXPECT_NE(t.find("    Node           = 3\n"), std::string::npos);
    EXPECT_NE(t.find("    Osk error code = " + std::string(findtext(texlat, TE_INVALID)) + "\n"),
              std::string::npos);
    EXPECT_NE(t.find("    Osk error info = No additional information\n"), std::string::npos);
    EXPECT_NE(t.find("    Sys error code = "), std::string::npos);
    EXPECT_STREQ(ioctl_cmdtext(SCCMD_QUERY_LOG), "Unknown system call");

    /* A long prefix leaves room for only some lines: whole lines, never cut. */
    std::string prefix(200, ' ');
    ioctl_errtext(h, text, prefix.c_str());
    size_t lines = 0;
    for (const char *p = text; *p; p++)
        lines += *p == '\n';
    EXPECT_EQ(lines, 3u);
    EXPECT_EQ(text[strlen(text) - 1], '\n');
    ioctl_free(&h);
}

static void on_usr1(int) {}

/* Answers every request as a kernel would: status 0, version 266 unless
 * told otherwise, and the given status for GETCINFO. */
static bool answer(uint32_t req, std::vector<uint8_t> &rec, int *result, int *err, uint32_t ver,
                   int cinfo_status)
{
    iohdr_t *h = (iohdr_t *)rec.data();
    h->io_status = TE_PASS;
    *result = 0;
    if (req == SCCMD_VERSION)
        ((sccmd_version_t *)h)->vr_versn.vr_ioctl = ver;
    if (req == SCCMD_GETCINFO && cinfo_status != 0) {
        h->io_status = cinfo_status;
        if (cinfo_status == BR_NODE_DOWN) {
            *result = -1;
            *err = EIO;
        }
    }
    return true;
}

TEST(ScCheck, InterruptedRequestIsReplayed)
{
    std::atomic<int> hung{0};
    fakedev *f =
        fakedev_start([&](int, uint32_t req, std::vector<uint8_t> &rec, int *result, int *err) {
            if (req == SCCMD_GETCINFO && hung < 2) {
                hung++;
                return false; /* stays unanswered until the client gives up */
            }
            return answer(req, rec, result, err, 266, 0);
        });
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = on_usr1; /* no SA_RESTART: the wait is interrupted */
    sigaction(SIGUSR1, &sa, nullptr);
    fakedev_interrupt(f, pthread_self());

    /* In this process: the signals must reach the thread that waits. */
    setenv("OSK_DEVICE_PATH", fakedev_path(f).c_str(), 1);
    sc_open();
    cinfo_t *ci = (cinfo_t *)ioctl_alloc(SCCMD_GETCINFO, sizeof(cinfo_t));
    testing::internal::CaptureStdout();
    time_t t0 = time(nullptr);
    int rc = ioctl_check(&ci->ci_hdr);
    time_t spent = time(nullptr) - t0;
    std::string printed = testing::internal::GetCapturedStdout();
    ioctl_free(&ci);
    size_t replays = 0;
    for (size_t p = 0; (p = printed.find("Replaying ioctl", p)) != std::string::npos; p++)
        replays++;
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(replays, 2u) << printed;
    EXPECT_GE(spent, 2);
    EXPECT_NE(printed.find("Replaying ioctl " + std::to_string((int)SCCMD_GETCINFO) +
                           " because of interrupt\n"),
              std::string::npos);
    fakedev_stop(f);
    signal(SIGUSR1, SIG_DFL);
}

TEST(ScCheck, NodeDownIsReturnedNotFatal)
{
    fakedev *f = fakedev_start([](int, uint32_t req, std::vector<uint8_t> &rec, int *result,
                                  int *err) { return answer(req, rec, result, err, 266, 37); });
    std::string out = run_as(fakedev_path(f), [] {
        sc_open();
        cinfo_t *ci = (cinfo_t *)ioctl_alloc(SCCMD_GETCINFO, sizeof(cinfo_t));
        int rc = ioctl_check(&ci->ci_hdr);
        ioctl_free(&ci);
        return std::string(rc < 0 ? "negative" : "non-negative");
    });
    fakedev_stop(f);
    EXPECT_EQ(out, "negative");
}

/* The fatal stops print on standard output; death tests watch stderr. */
static void stdout_to_stderr()
{
    fflush(stdout);
    dup2(2, 1);
}

TEST(ScCheckDeathTest, OtherKernelFailureStopsWithRenderedError)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            stdout_to_stderr();
            fakedev *f = fakedev_start(
                [](int, uint32_t req, std::vector<uint8_t> &rec, int *result, int *err) {
                    return answer(req, rec, result, err, 266, TE_INVALID);
                });
            setenv("OSK_DEVICE_PATH", fakedev_path(f).c_str(), 1);
            sc_open();
            cinfo_t *ci = (cinfo_t *)ioctl_alloc(SCCMD_GETCINFO, sizeof(cinfo_t));
            (void)ioctl_check(&ci->ci_hdr);
        },
        testing::ExitedWithCode(255),
        "Ioctl error:\n    Opcode         = SCCMD_GETCINFO  -- Get cluster info\n    Node    "
        "       = 253\n    Osk error code = [^\n]*\n    Osk error info = No additional "
        "information\n    Sys error code = ");
}

TEST(ScCheckDeathTest, VersionMismatchStops)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            stdout_to_stderr();
            fakedev *f =
                fakedev_start([](int, uint32_t req, std::vector<uint8_t> &rec, int *result,
                                 int *err) { return answer(req, rec, result, err, 265, 0); });
            setenv("OSK_DEVICE_PATH", fakedev_path(f).c_str(), 1);
            sc_open();
        },
        testing::ExitedWithCode(255),
        "Kernel reports ioctl interfaction version 265\n\tBut I was compiled with version 266");
}

TEST(ScOpen, MissingDeviceIsReportedNotFatal)
{
    std::string out = run_as("/nonexistent/osk", [] {
        /* An earlier test of this process may have opened the device. */
        if (sys_handle >= 0) {
            close(sys_handle);
            sys_handle = -1;
        }
        int a = sc_open_try();
        return std::to_string(a) + std::to_string(sys_handle);
    });
    EXPECT_EQ(out, "0-1");
}
