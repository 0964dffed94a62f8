/*
 * The command line of `update`: options into the mode flags, from left to
 * right, and the checks that refuse contradictory or unsafe requests.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "cmdline.h"
#include "driver_log.h"
#include "modes.h"
#include "node_paths.h"
#include "release.h"
#include "help.h"
#include "package.h"
#include "verify.h"
#include "vluns.h"
#include "ulog.h"

#include "osk_banned.h"

/* Markers that refuse an update, or allow a revert of a rolling one. */
#define NOUPDATE_FILE "/etc/noupdate"
#define DEVELOPER_FILE "/etc/kivo/DEVELOPER"

char source_location[UPDATE_PATH_LEN];

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
    {"--getversion", {{&onlyshowversion, 1}, {&ulog_settings.use_log, 0}}},
    {"--nosysmgr", {{&nosysmgr, 1}}},
    {"--retain-root", {{&do_pivot, 0}, {&install_altroot, 0}}},
    {"--switch-root", {{&do_pivot, 1}, {&install_altroot, 1}}},
    {"--preload", {{&do_pivot, 0}, {&install_altroot, 1}, {&rebootpermitted, 0}}},
    {"--cli", {{&from_cli, 1}}},
    {"--simple", {{&simple_rolling, 1}, {&do_pivot, 1}}},
    {"--quick", {{&quick_update, 1}}},
    {"-q", {{&quick_update, 1}}},
    {"--quiet", {{&ulog_settings.quiet, 1}}},
    {"--check-rolling-type",
     {{&ulog_settings.use_log, 0}, {&check_rolling_type, 1}, {&is_rolling, 1}}},
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

/* The source named by --file or --rcp; without one, missing says so. */
static void set_source(source_t src, const char *arg, const char *missing)
{
    if (!arg) {
        ulog_message("%s", missing);
        exit(UPD_EXIT_MISSING_ARG);
    }
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
        } else if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            update_help();
            exit(UPD_EXIT_OK);
        } else if (strcmp(arg, "--version") == 0) {
            printf("OSK version %s\n", update_release);
            exit(UPD_EXIT_OK);
        } else if (strcmp(arg, "--verify") == 0) {
            exit(local_verify());
        } else if (strcmp(arg, "--file") == 0) {
            set_source(SOURCE_FILE, next, "Error: --file requires a filename.");
            i++;
        } else if (strcmp(arg, "--rcp") == 0) {
            set_source(SOURCE_RCP, next, "Error: --rcp requires a source.");
            i++;
        } else if (strcmp(arg, "--rolling") == 0) {
            is_rolling = 1;
            do_pivot = 1;
            install_altroot = 1;
            unsigned mask = parse_mask(next);
            /* A mask above 255 is judged as the signed value it was stored as. */
            if (mask == 0 || (int)mask > 255) {
                ulog_message("Error: Invalid nodemask %s.", next ? next : "(none)");
                exit(UPD_EXIT_REFUSED);
            }
            expeditionmask = node_mask(mask);
            i++;
        } else if (strcmp(arg, "--dumpvluns") == 0) {
            ulog_settings.use_log = 0;
            if (!next) {
                ulog_message("Error: --dumpvluns requires a node mask.");
                exit(UPD_EXIT_MISSING_ARG);
            }
            unsigned mask = parse_mask(next);
            if (mask == 0 || (int)mask > 255) {
                ulog_message("Error: Invalid nodemask %s.", next);
                exit(UPD_EXIT_REFUSED);
            }
            expeditionmask = node_mask(mask);
            dump_vluns();
            exit(UPD_EXIT_OK);
        } else {
            ulog_message("Invalid parameter: %s\n\n%s", arg, update_help_text());
            update_fail(UPD_EXIT_UNKNOWN_OPTION);
        }
    }
}

void update_check_request(void)
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

void update_parse_command_line(int argc, char **argv)
{
    build_args_passed(argc, argv);
    parse_options(argc, argv);
}
