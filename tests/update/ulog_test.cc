/*
 * Run-log details that are cheaper to check in-process: the spinner's trail
 * of time marks and the fresh-install marker.
 */
#include <stdio.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "sandbox_fixture.h"
#include "fresh.h"
#include "ulog.h"

namespace
{

/* Runs fn with standard error captured. */
template <typename F> std::string capture_stderr(F fn)
{
    fflush(stderr);
    FILE *tmp = tmpfile();
    int saved = dup(2);
    dup2(fileno(tmp), 2);
    fn();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string text;
    rewind(tmp);
    for (int c; (c = fgetc(tmp)) != EOF;)
        text += (char)c;
    fclose(tmp);
    return text;
}

/* The marks only, without the turning spinner and its backspaces. */
std::string marks(const std::string &s)
{
    std::string m;
    for (size_t i = 0; i < s.size(); i++) {
        if (i + 1 < s.size() && s[i + 1] == '\b') {
            i++;
            continue;
        }
        m += s[i];
    }
    return m;
}

TEST(Spinner, LeavesOneMarkPerPeriod)
{
    ulog_settings.propellerp = 0;
    std::string six_seconds = capture_stderr([] {
        for (int i = 0; i < 24; i++)
            do_dotty();
    });
    EXPECT_EQ(marks(six_seconds), ".");
    EXPECT_EQ(six_seconds.substr(0, 8), "-\b\\\b|\b/\b");

    ulog_settings.propellerp = 0;
    std::string five_minutes = capture_stderr([] {
        for (int i = 0; i < 1200; i++)
            do_dotty();
    });
    /* Every 6 s a dot, every 30 s a colon, every minute a bar, 5 minutes a line. */
    EXPECT_EQ(marks(five_minutes), "....:....|....:....|....:....|....:....|....:....|\n");
}

TEST(Spinner, ClearErasesWhatWasDrawn)
{
    ulog_settings.propellerp = 0;
    EXPECT_EQ(capture_stderr(clear_dotty), "");

    ulog_settings.propellerp = 9; /* 2 seconds and a bit: 3 columns */
    EXPECT_EQ(capture_stderr(clear_dotty), "\b\b\b   \b\b\b");
    EXPECT_EQ(ulog_settings.propellerp, 0);
}

using FreshInstallMarker = SandboxTest;

TEST_F(FreshInstallMarker, SetCreatesDirectoriesAndClearIsIdempotent)
{
    sandbox_remove(&sb, "/var/opt/osk");

    run_result r = sandbox_call(&sb, [] {
        fresh_flag_set();
        return 0;
    });
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(sandbox_exists(&sb, FRESH_INSTALL_FILE));

    r = sandbox_call(&sb, [] {
        fresh_flag_clear();
        fresh_flag_clear(); /* a missing marker is no error */
        return 0;
    });
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(sandbox_exists(&sb, FRESH_INSTALL_FILE));

    /* A directory in the marker's place cannot be removed: 25 with the reason. */
    sandbox_mkdir(&sb, std::string(FRESH_INSTALL_FILE) + "/x");
    r = sandbox_call(&sb, [] {
        ulog_settings.logfilename = "/tmp/update.log";
        fresh_flag_clear();
        return 0;
    });
    EXPECT_EQ(r.status, 25);
    EXPECT_NE(r.out.find("Unable to remove /var/opt/osk/FRESH_INSTALL: Is a directory."),
              std::string::npos)
        << r.out;
}

} // namespace
