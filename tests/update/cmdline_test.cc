/*
 * The update command line as an operator meets it: options, refusals, exit
 * statuses, console text and the run log, with the real program running in
 * a sandbox copy of this machine.
 */
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "build_release.h"
#include "sandbox_fixture.h"

namespace
{

const char BANNER[] = "Update failed.\nCheck /var/log/osk/update for details.\n\n";
const char PKG[] = "/var/tmp/pkg.tgz";

std::string golden_help()
{
    std::ifstream f(std::string(OSK_SOURCE_DIR) + "/tests/update/help.golden");
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

class Cmdline : public SandboxTest
{
  protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        sandbox_write(&sb, PKG, "not really a package");
        sandbox_mkdir(&sb, "/var/log/osk");
    }

    std::string runlog()
    {
        return sandbox_read(&sb, "/var/log/osk/update");
    }
};

struct option_case {
    const char *name;
    std::vector<std::string> args;
    std::vector<std::string> files; /* marker files present in the sandbox */
    int status;
    std::string console; /* exact standard output */
    bool trailer;        /* the run got past the consistency checks */
};

void PrintTo(const option_case &c, std::ostream *os)
{
    *os << c.name;
}

const std::string help = golden_help();

const option_case option_cases[] = {
    {"version_stops_parsing",
     {"--version", "--bogus"},
     {},
     0,
     "OSK version " OSK_RELEASE "\n",
     false},
    {"unknown_option_before_version",
     {"--bogus", "--version"},
     {},
     9,
     "Invalid parameter: --bogus\n\n" + help + BANNER,
     false},
    {"file_without_name", {"--file"}, {}, 6, "Error: --file requires a filename.\n", false},
    {"rcp_without_source", {"--rcp"}, {}, 6, "Error: --rcp requires a source.\n", false},
    {"second_source",
     {"--file", PKG, "--rcp", "pkghost:/r.tgz"},
     {},
     8,
     "Error: Only one update source may be specified.\n",
     false},
    {"second_source_before_its_argument_is_checked",
     {"--rcp", "pkghost:/r.tgz", "--file", "/nonexistent"},
     {},
     8,
     "Error: Only one update source may be specified.\n",
     false},
    {"missing_file",
     {"--file", "/nonexistent"},
     {},
     4,
     "Error: Cannot access file /nonexistent\n",
     false},
    {"mask_zero", {"--rolling", "0"}, {}, 7, "Error: Invalid nodemask 0.\n", false},
    {"mask_too_large", {"--rolling", "256"}, {}, 7, "Error: Invalid nodemask 256.\n", false},
    {"mask_octal_too_large",
     {"--rolling", "0400"},
     {},
     7,
     "Error: Invalid nodemask 0400.\n",
     false},
    {"mask_missing",
     {"--file", PKG, "--rolling"},
     {},
     7,
     "Error: Invalid nodemask (none).\n",
     false},
    {"no_source",
     {"--local"},
     {},
     7,
     std::string("Error: You must specify a source.\n") + BANNER,
     false},
    {"source_and_revert",
     {"--revert", "--file", PKG},
     {},
     7,
     std::string("Error: You cannot specify a source and --revert.\n") + BANNER,
     false},
    {"revert_rolling",
     {"--revert", "--rolling", "0x3"},
     {},
     7,
     std::string("Error: Revert not currently supported with rolling upgrades.\n\n") + BANNER,
     false},
    {"revert_rolling_developer",
     {"--revert", "--rolling", "0x3"},
     {"/etc/kivo/DEVELOPER"},
     25,
     std::string("Error: /altroot does not appear to be mounted.\n") + BANNER,
     true},
    {"simple_and_rolling",
     {"--simple", "--rolling", "3", "--file", PKG},
     {},
     7,
     std::string("Error: --simple and --rolling are mutually exclusive.\n") + BANNER,
     false},
    {"local_and_quick",
     {"--local", "-q", "--file", PKG},
     {},
     7,
     std::string("Error: --local and --quick are incompatible.\n\n") + BANNER,
     false},
    {"noupdate_marker",
     {"--file", PKG},
     {"/etc/noupdate"},
     7,
     std::string("Error: Cannot update when /etc/noupdate present.\n") + BANNER,
     false},
    {"noupdate_before_source_check",
     {},
     {"/etc/noupdate"},
     7,
     std::string("Error: Cannot update when /etc/noupdate present.\n") + BANNER,
     false},
    {"altroot_not_mounted",
     {"--local", "--file", PKG},
     {},
     25,
     std::string("Error: /altroot does not appear to be mounted.\n") + BANNER,
     true},
    {"retain_root_cannot_create_scratch",
     {"--local", "--retain-root", "--file", PKG},
     {},
     25,
     std::string("Error: Could not create /altroot/tmp; No such file or directory\n") + BANNER,
     true},
    {"help_ignores_what_follows", {"--help", "--bogus"}, {}, 0, help, false},
    {"short_help", {"-h"}, {}, 0, help, false},
};

class OptionRules : public Cmdline, public ::testing::WithParamInterface<option_case>
{
};

TEST_P(OptionRules, StatusConsoleAndTrailer)
{
    const option_case &c = GetParam();
    for (const std::string &f : c.files)
        sandbox_write(&sb, f, "");

    run_result r = update(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.console);
    EXPECT_EQ(r.err, "");
    bool has_trailer = runlog().find("= update ending pid:") != std::string::npos;
    EXPECT_EQ(has_trailer, c.trailer);
}

INSTANTIATE_TEST_SUITE_P(Update, OptionRules, ::testing::ValuesIn(option_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Cmdline, NotRootIsRefusedButVerifyStillRuns)
{
    sandbox_opts nobody;
    nobody.uid = 65534;
    run_result r = update({"--file", PKG}, nobody);
    EXPECT_EQ(r.status, 23);
    EXPECT_EQ(r.out, std::string("You must be root to run update.\n") + BANNER);

    /* --verify acts when reached: neither root nor the marker stops it. */
    sandbox_write(&sb, "/etc/noupdate", "");
    r = update({"--verify", "--bogus"}, nobody);
    EXPECT_NE(r.status, 23);
    EXPECT_NE(r.status, 7);
    EXPECT_NE(r.status, 9);
}

TEST_F(Cmdline, RelativeFileIsJoinedToTheWorkingDirectory)
{
    sandbox_opts in_tmp;
    in_tmp.cwd = "/var/tmp";
    run_result r = update({"--file", "../nothing.tgz"}, in_tmp);
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, "Error: Cannot access file /var/tmp/../nothing.tgz\n");

    sandbox_mkdir(&sb, "/altroot/tmp");
    r = update({"--local", "--file", "pkg.tgz"}, in_tmp);
    EXPECT_EQ(r.out.find("Cannot access file"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Extracting..."), std::string::npos) << r.out;
}

TEST_F(Cmdline, RunLogHasHeaderAndTimeStampedRecords)
{
    run_result r = update({"--local", "--file", PKG});
    ASSERT_EQ(r.status, 25);
    std::string log = runlog();

    std::string sep80(80, '=');
    const std::string release = std::regex_replace(OSK_RELEASE, std::regex("[.]"), "\\.");
    std::regex header("^\n\n\n\n\n" + sep80 + "\n= CMD: (.{61,}?) pid: ( *[0-9]+) =\n" + sep80 +
                      "\n\n\n" + release + "[^\n]*\n\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(log, m, header)) << log;
    EXPECT_EQ(m[1].str().substr(0, 20), build_program("update").substr(0, 20));
    EXPECT_GE(m[2].str().size(), 4u); /* pid padded to 4 columns */

    const std::string stamp = "\\{[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} "
                              "[A-Z]+ [0-9]{4}\\} ";
    EXPECT_TRUE(
        std::regex_search(log, std::regex(stamp + "Start: .*update --local --file " + PKG + "\n")))
        << log;
    EXPECT_TRUE(std::regex_search(
        log, std::regex(stamp + "Error: /altroot does not appear to be mounted\\.\n")));
    /* The banner is one record: only its first line carries a stamp. */
    EXPECT_TRUE(std::regex_search(
        log, std::regex(stamp + "Update failed\\.\nCheck /var/log/osk/update for details\\.\n\n")));
    EXPECT_TRUE(std::regex_search(
        log,
        std::regex(stamp + "= update ending pid: [ 0-9]{5}             =\n" + stamp + "={40}\n$")));
}

TEST_F(Cmdline, LongCommandLineIsNotCutInTheHeader)
{
    std::string longarg(100, 'x');
    run_result r = update({"--revert", "--file", PKG, longarg});
    ASSERT_EQ(r.status, 9);
    std::string log = runlog();
    EXPECT_NE(log.find("= CMD: " + build_program("update") + " --revert --file " + PKG + " " +
                       longarg + " pid: "),
              std::string::npos);
}

TEST_F(Cmdline, RunLogFallsBackToTmp)
{
    sandbox_remove(&sb, "/var/log/osk");
    sandbox_write(&sb, "/var/log/osk", "a file where the directory should be");
    run_result r = update({"--local"});
    EXPECT_EQ(r.status, 7);
    std::string log = sandbox_read(&sb, "/tmp/update.log");
    EXPECT_NE(log.find("Error: You must specify a source."), std::string::npos);
}

TEST_F(Cmdline, NoLogAtAllProceedsWithConsoleOnly)
{
    sandbox_remove(&sb, "/var/log/osk");
    sandbox_write(&sb, "/var/log/osk", "");
    sandbox_mkdir(&sb, "/tmp/update.log"); /* a directory cannot be appended to */
    run_result r = update({"--local"});
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.out, std::string("Error: You must specify a source.\n"
                                 "Unable to create log file (reason 21); proceeding without "
                                 "logging.\n") +
                         BANNER);
}

TEST_F(Cmdline, GetversionLeavesTheLogUntouched)
{
    run_result r = update({"--getversion", "--file", "/nonexistent"});
    EXPECT_EQ(r.status, 4);
    EXPECT_FALSE(sandbox_exists(&sb, "/var/log/osk/update"));
    EXPECT_FALSE(sandbox_exists(&sb, "/tmp/update.log"));
}

TEST_F(Cmdline, QuietFailureShowsOnlyTheBanner)
{
    run_result r = update({"--quiet", "--local"});
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.out, "Update failed.\nCheck /var/log/osk/update for details.\n");
    std::string log = runlog();
    EXPECT_NE(log.find("Error: You must specify a source."), std::string::npos);
    EXPECT_NE(log.find("Update failed."), std::string::npos);
}

TEST_F(Cmdline, FileThatIsNoArchiveIsRefused)
{
    sandbox_mkdir(&sb, "/altroot/tmp");
    run_result r = update({"--local", "--file", PKG});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, std::string("Verify finished\nExtracting...\nChecksums did not match - "
                                 "corrupted file.\n") +
                         BANNER);

    r = update({"--local", "--file", "/var/tmp"});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.out.find("\n/var/tmp is not a regular file.\n\n\n"), std::string::npos) << r.out;

    r = update({"--local", "--rcp", "nowhere"});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.out.find("\nnowhere does not appear to be a valid specification.\n\nOptions to "
                         "update:"),
              std::string::npos)
        << r.out;
}

TEST_F(Cmdline, RetainRootCreatesTheScratchDirectory)
{
    sandbox_mkdir(&sb, "/altroot");
    run_result r = update({"--local", "--retain-root", "--file", PKG});
    EXPECT_TRUE(sandbox_exists(&sb, "/altroot/tmp"));
    EXPECT_EQ(r.out.find("Could not create"), std::string::npos);
}

} // namespace
