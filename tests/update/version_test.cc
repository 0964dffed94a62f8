/*
 * Reading versions out of dpkg's control texts and comparing releases, and
 * the temporary package line in a root's apt source list.
 */
#include <stdio.h>

#include <string>

#include <gtest/gtest.h>

#include "sandbox_fixture.h"
#include "modes.h"
#include "versions.h"
#include "install.h"
#include "ulog.h"

namespace
{

const char INFO[] = "Package: osk\n"
                    "Version: 2.2.2.164-1\n"
                    "Release-Version: 2.2.2.164\n"
                    "Provides: osk-base, osk-toc-27, osk-handshake-0x5\n"
                    "Description: node software\n"
                    " mentions osk-toc-99 after the description\n";

TEST(ControlFields, ProvidesNumbersAndVersions)
{
    EXPECT_EQ(parse_toc_version(INFO), 27);
    EXPECT_EQ(parse_handshake_version(INFO), 5); /* base detection: hexadecimal */
    EXPECT_EQ(parse_info_version(" osk-handshake-", "Provides: osk-handshake-010\n"), 8);

    /* No entry, no Provides line, or the entry only in the description. */
    EXPECT_EQ(parse_handshake_version("Provides: osk-base\nDescription: x\n"), 0);
    EXPECT_EQ(parse_toc_version("Version: 1\n"), 0);
    EXPECT_EQ(parse_toc_version("Provides: a\nDescription: has osk-toc-4 in it\n"), 0);

    EXPECT_STREQ(parse_osk_version(INFO), "2.2.2.164-1");
    EXPECT_STREQ(parse_release_version(INFO), " 2.2.2.164"); /* the blank stays */
    EXPECT_EQ(parse_release_version("Version: 1\n"), nullptr);
    EXPECT_EQ(parse_osk_version("Package: osk\n"), nullptr);

    std::string long_version = "Version: " + std::string(300, '9') + "\n";
    EXPECT_EQ(strlen(parse_osk_version(long_version.c_str())), 127u);
}

struct release_case {
    const char *cur, *new_;
    int sign; /* of compare_release(cur, new) */
};

TEST(ReleaseComparison, PartByPartAsNumbers)
{
    const release_case cases[] = {
        {"2.2.2.160-1", "2.2.2.164-1", -1}, /* decided at the fourth part */
        {"2.3.0.1", "2.2.9.9", 1},          /* decided at the second part */
        {"2.2.2.164", "2.2.2.164-3", 0},    /* the revision is not a part */
        {" 2.2.2.164", "2.2.2.164", 0},     /* the leading blank of Release-Version */
        {"2.2.10.0", "2.2.9.0", 1},         /* numbers, not texts */
        {"3.0.0.0", "2.9.9.9", 1},
        {"2.2.2", "2.2.2.1", -2}, /* too few parts */
        {"", "2.2.2.1", -2},
    };
    for (const release_case &c : cases) {
        int r = compare_release(c.cur, c.new_);
        if (c.sign == -2)
            EXPECT_EQ(r, -2) << c.cur << " vs " << c.new_;
        else
            EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.cur << " vs " << c.new_;
    }
}

TEST(VersionLists, WholeLinesOnly)
{
    char path[] = "/tmp/osk-list.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    FILE *f = fdopen(fd, "w");
    fputs("2.2.2.160\n2.2.2.16\n2.2.1.5", f); /* last line without a line end */
    fclose(f);

    EXPECT_EQ(check_if_version_in_file(path, "2.2.2.16"), 1);
    EXPECT_EQ(check_if_version_in_file(path, "2.2.1.5"), 1);
    EXPECT_EQ(check_if_version_in_file(path, "2.2.2.1"), 0);
    EXPECT_EQ(check_if_version_in_file(path, "2.2.2.160-1"), 0);
    EXPECT_EQ(check_if_version_in_file("/nonexistent/list", "2.2.2.16"), 0);
    unlink(path);
}

class SourcesList : public SandboxTest
{
  protected:
    /* Adds the package line and, when asked, takes it out again, in one process. */
    run_result edit(bool revert)
    {
        return sandbox_call(&sb, [revert] {
            ulog_settings.logfilename = "/tmp/update.log";
            install_altroot = 0;
            sources_list_localfile(NULL);
            if (revert)
                sources_list_revert();
            return 0;
        });
    }
    std::string list()
    {
        return sandbox_read(&sb, "/etc/apt/sources.list");
    }
};

const char MARK[] = "# Lines below for use by update only\n";
const char LOCAL[] = "deb file:/tmp/oskpackage Valtor-2-0 osk\n";

TEST_F(SourcesList, AppendsMarkerOnceAndRestores)
{
    const std::string before = "deb http://example.invalid/debian bookworm main\n# a comment\n";
    sandbox_write(&sb, "/etc/apt/sources.list", before);

    ASSERT_EQ(edit(false).status, 0);
    EXPECT_EQ(list(), before + MARK + LOCAL);

    /* An interrupted earlier run left its line: still exactly one after the marker. */
    ASSERT_EQ(edit(false).status, 0);
    EXPECT_EQ(list(), before + MARK + LOCAL);

    sandbox_write(&sb, "/etc/apt/sources.list", before);
    ASSERT_EQ(edit(true).status, 0);
    EXPECT_EQ(list(), before);
}

TEST_F(SourcesList, MissingListIsCreatedAndComesBackEmpty)
{
    sandbox_write(&sb, "/etc/apt/sources.list", "");
    sandbox_remove(&sb, "/etc/apt/sources.list");
    /* The lower layer may have a list: hide it by a whiteout-free route. */
    run_result r = sandbox_call(&sb, [] {
        unlink("/etc/apt/sources.list");
        ulog_settings.logfilename = "/tmp/update.log";
        install_altroot = 0;
        sources_list_localfile(NULL);
        FILE *f = fopen("/etc/apt/sources.list", "r");
        char line[256] = "";
        int lines = 0;
        while (f && fgets(line, sizeof(line), f))
            lines++;
        if (f)
            fclose(f);
        sources_list_revert();
        struct stat st;
        if (stat("/etc/apt/sources.list", &st) != 0 || st.st_size != 0)
            return 2;
        return lines == 2 ? 0 : 1;
    });
    EXPECT_EQ(r.status, 0) << r.out;
}

} // namespace
