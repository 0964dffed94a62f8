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

#include "cmdline.h"
#include "runlock.h"
#include "driver_log.h"
#include "modes.h"
#include "node_paths.h"
#include "release.h"
#include "fresh.h"
#include "logroll.h"
#include "verify.h"
#include "flow_update.h"
#include "flow_revert.h"
#include "nodes.h"
#include "sysmgr_conn.h"
#include "ulog.h"

#include "osk_banned.h"

static const char mount_cmdline[] =
    "mount -t proc proc /altroot/proc;mount -t devfs devfs /altroot/dev";

/* putenv() keeps the pointer: the entry must live as long as the process. */
static char update_version_env[64];

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
        (void)ulog_execl("/bin/sh", "-c", mount_cmdline, nullptr);
    }

    update_parse_command_line(argc, argv);
    update_check_request();
    runlock_take(is_child);

    atexit(goodbye);
    ulog_message_logonly("Start: %s", args_passed);
    locate_self(argv[0]);
    prepare_scratch();

    if (!local || is_rolling || simple_rolling)
        learn_cluster();

    ulog_settings.do_dots = isatty(STDIN_FILENO) && !ulog_settings.quiet;

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
