/*
 * update: installs a release package on this node or on the whole cluster,
 * or reverts to the previous release.
 *
 * main() turns the command line into the mode flags, refuses contradictory
 * or unsafe requests, prepares the environment of the package tools, learns
 * the nodes, has every node verify its installation and hands over to the
 * update or the revert flow.
 */
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runlock.h"
#include "update.h"
#include "ulog.h"

#include "osk_banned.h"

static const char mount_cmdline[] =
    "mount -t proc proc /altroot/proc;mount -t devfs devfs /altroot/dev";

/* putenv() keeps the pointer: the entry must live as long as the process. */
static char update_version_env[64];

static char source_location[UPDATE_PATH_LEN];

static void build_args_passed(int argc, char **argv)
{
    size_t used = (size_t)snprintf(args_passed, sizeof(args_passed), "%s", argv[0]);
    for (int i = 1; i < argc && used < sizeof(args_passed) - 1; i++) {
        int n = snprintf(args_passed + used, sizeof(args_passed) - used, " %s", argv[i]);
        if (n < 0)
            break;
        used += (size_t)n;
    }
}

/* Unsigned with base detection: decimal, 0x hexadecimal, leading 0 octal. */
static unsigned parse_mask(const char *arg)
{
    return arg ? (unsigned)strtoul(arg, NULL, 0) : 0;
}

/* Options that only set mode flags. */
struct flag_assign {
    int *flag;
    int value;
};

struct flag_option {
    const char *name;
    flag_assign sets[4];
};

static const flag_option flag_options[] = {
    {"--revert", {{&do_revert, 1}, {&install_altroot, 1}, {&do_pivot, 1}}},
    {"--local", {{&local, 1}}},
    {"--noreboot", {{&rebootpermitted, 0}}},
    {"-d", {{&removefirst, 1}}},
    {"--initial", {{&initial_install, 1}, {&do_pivot, 0}, {&install_altroot, 0}}},
    {"--getversion", {{&onlyshowversion, 1}, {&use_log, 0}}},
    {"--nosysmgr", {{&nosysmgr, 1}}},
    {"--retain-root", {{&do_pivot, 0}, {&install_altroot, 0}}},
    {"--switch-root", {{&do_pivot, 1}, {&install_altroot, 1}}},
    {"--preload", {{&do_pivot, 0}, {&install_altroot, 1}, {&rebootpermitted, 0}}},
    {"--cli", {{&from_cli, 1}}},
    {"--simple", {{&simple_rolling, 1}, {&do_pivot, 1}}},
    {"--quick", {{&quick_update, 1}}},
    {"-q", {{&quick_update, 1}}},
    {"--quiet", {{&quiet, 1}}},
    {"--check-rolling-type", {{&use_log, 0}, {&check_rolling_type, 1}, {&is_rolling, 1}}},
    {"--verbose", {{&verbose, 1}}},
    {"--child", {{&is_child, 1}}},
};

static const flag_option *find_flag_option(const char *arg)
{
    for (const flag_option &opt : flag_options)
        if (strcmp(arg, opt.name) == 0)
            return &opt;
    return NULL;
}

static void set_source(source_t src, const char *arg)
{
    if (package_source != SOURCE_INVALID) {
        ulog_message("Error: Only one update source may be specified.");
        exit(UPD_EXIT_TWO_SOURCES);
    }
    package_source = src;
    if (src == SOURCE_FILE) {
        make_absolute(source_location, arg, sizeof(source_location));
        if (access(source_location, F_OK) != 0) {
            ulog_message("Error: Cannot access file %s", source_location);
            exit(UPD_EXIT_BAD_PACKAGE);
        }
    } else {
        snprintf(source_location, sizeof(source_location), "%s", arg);
    }
}

/*
 * Applies the options from left to right. Options that act at once (help,
 * version, verify, dumpvluns) and argument errors end the process here, so
 * options to their right are never looked at.
 */
static void parse_options(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        const char *next = i + 1 < argc ? argv[i + 1] : NULL;
        const flag_option *opt = find_flag_option(arg);

        if (opt) {
            for (const flag_assign &a : opt->sets)
                if (a.flag)
                    *a.flag = a.value;
            update_log_settings();
        } else if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            update_help();
            exit(UPD_EXIT_OK);
        } else if (strcmp(arg, "--version") == 0) {
            printf("OSK version %s\n", UPDATE_RELEASE);
            exit(UPD_EXIT_OK);
        } else if (strcmp(arg, "--verify") == 0) {
            exit(local_verify());
        } else if (strcmp(arg, "--file") == 0) {
            if (!next) {
                ulog_message("Error: --file requires a filename.");
                exit(UPD_EXIT_MISSING_ARG);
            }
            set_source(SOURCE_FILE, next);
            i++;
        } else if (strcmp(arg, "--rcp") == 0) {
            if (!next) {
                ulog_message("Error: --rcp requires a source.");
                exit(UPD_EXIT_MISSING_ARG);
            }
            set_source(SOURCE_RCP, next);
            i++;
        } else if (strcmp(arg, "--rolling") == 0) {
            is_rolling = 1;
            do_pivot = 1;
            install_altroot = 1;
            expeditionmask = parse_mask(next);
            /* A mask above 255 is judged as the signed value it was stored as. */
            if (expeditionmask == 0 || (int)expeditionmask > 255) {
                ulog_message("Error: Invalid nodemask %s.", next ? next : "(none)");
                exit(UPD_EXIT_REFUSED);
            }
            i++;
        } else if (strcmp(arg, "--dumpvluns") == 0) {
            use_log = 0;
            update_log_settings();
            if (!next) {
                ulog_message("Error: --dumpvluns requires a node mask.");
                exit(UPD_EXIT_MISSING_ARG);
            }
            unsigned mask = parse_mask(next);
            if (mask == 0 || (int)mask > 255) {
                ulog_message("Error: Invalid nodemask %s.", next);
                exit(UPD_EXIT_REFUSED);
            }
            dump_vluns(mask);
            exit(UPD_EXIT_OK);
        } else {
            ulog_message("Invalid parameter: %s\n\n%s", arg, update_help_text());
            update_fail(UPD_EXIT_UNKNOWN_OPTION);
        }
    }
}

static void check_request(void)
{
    if (getuid() != 0) {
        ulog_message("You must be root to run update.");
        update_fail(UPD_EXIT_NOT_ROOT);
    }
    if (access(NOUPDATE_FILE, F_OK) == 0) {
        ulog_message("Error: Cannot update when %s present.", NOUPDATE_FILE);
        update_fail(UPD_EXIT_REFUSED);
    }
    if (package_source == SOURCE_INVALID && !do_revert) {
        ulog_message("Error: You must specify a source.");
        update_fail(UPD_EXIT_REFUSED);
    }
    if (package_source != SOURCE_INVALID && do_revert) {
        ulog_message("Error: You cannot specify a source and --revert.");
        update_fail(UPD_EXIT_REFUSED);
    }
    if (do_revert && is_rolling && access(DEVELOPER_FILE, F_OK) != 0) {
        ulog_message("Error: Revert not currently supported with rolling upgrades.\n");
        update_fail(UPD_EXIT_REFUSED);
    }
    if (simple_rolling && is_rolling) {
        ulog_message("Error: --simple and --rolling are mutually exclusive.");
        update_fail(UPD_EXIT_REFUSED);
    }
    if (local && quick_update) {
        ulog_message("Error: --local and --quick are incompatible.\n");
        update_fail(UPD_EXIT_REFUSED);
    }
}

static void locate_self(const char *progname)
{
    ssize_t n = readlink("/proc/self/exe", update, sizeof(update) - 1);
    if (n > 0) {
        update[n] = '\0';
        return;
    }
    snprintf(update, sizeof(update), "%s", progname);
    ulog_message("Warning: Unable to locate update's binary via /proc.  Trying %s.\n", update);
}

static void prepare_scratch(void)
{
    struct stat st;
    if (stat(ALTROOT_TMP, &st) == 0)
        return;
    if (install_altroot) {
        ulog_message("Error: /altroot does not appear to be mounted.");
        update_fail(UPD_EXIT_FAILURE);
    }
    if (mkdir(ALTROOT_TMP, 0755) != 0 && errno != EEXIST) {
        ulog_message("Error: Could not create %s; %s", ALTROOT_TMP, strerror(errno));
        update_fail(UPD_EXIT_FAILURE);
    }
}

static void learn_cluster(void)
{
    learn_nodes();
    if (rebootpermitted && !nosysmgr)
        mangler_isup = connect_sysmgr();
}

int main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);
    update_log_settings();
    setvbuf(stdout, NULL, _IONBF, 0);
    setvbuf(stderr, NULL, _IONBF, 0);

    if (setenv("DEBIAN_FRONTEND", "noninteractive", 1) != 0) {
        ulog_message("Error in setting DEBIAN_FRONTEND: %s", strerror(errno));
        update_fail(UPD_EXIT_FAILURE);
    }
    snprintf(update_version_env, sizeof(update_version_env), "OSK_UPDATE_VERSION=%d.%d.%d",
             UPDATE_TOOL_MAJOR, UPDATE_TOOL_MINOR, UPDATE_TOOL_PATCH);
    if (putenv(update_version_env) != 0) {
        ulog_message("Error in setting OSK_UPDATE_VERSION: %s.", strerror(errno));
        update_fail(UPD_EXIT_FAILURE);
    }

    struct stat st;
    if (stat("/altroot/proc", &st) == 0 && stat("/altroot/proc/self", &st) != 0) {
        ulog_message_logonly(
            "/altroot/proc/self not found; mounting /altroot/dev and /altroot/proc.\n");
        (void)ulog_execl("/bin/sh", "-c", mount_cmdline, NULL, NULL);
    }

    do_pivot = 1;
    install_altroot = 1;
    build_args_passed(argc, argv);
    parse_options(argc, argv);
    check_request();
    runlock_take(is_child);

    atexit(goodbye);
    ulog_message_logonly("Start: %s", args_passed);
    locate_self(argv[0]);
    prepare_scratch();

    if (!local || is_rolling || simple_rolling)
        learn_cluster();

    do_dots = isatty(STDIN_FILENO) && !quiet;
    update_log_settings();

    if (!check_rolling_type) {
        int status = run_verify();
        if (status != 0)
            exit(status);
        ulog_message("Verify finished");
    }

    if (rollover_run_log(LOGFILE_UPDATE) < 0)
        ulog_message("LOGFILEMGR: Unable to rollover log file");

    if (initial_install)
        fresh_flag_set();
    else
        fresh_flag_clear();

    if (do_revert)
        return doupdate_revert();

    if (package_source != SOURCE_FILE && package_source != SOURCE_RCP) {
        ulog_message("Unrecognized source?");
        update_fail(UPD_EXIT_FAILURE);
    }
    return doupdate_tarball(source_location);
}
