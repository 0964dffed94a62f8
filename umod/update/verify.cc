/*
 * Verification of a node's package state before every update: each node
 * repairs what an interrupted dpkg or update left behind, and the node
 * running the update collects the verdicts.
 */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "runlock.h"
#include "verify.h"
#include "driver_log.h"
#include "modes.h"
#include "node_paths.h"
#include "logroll.h"
#include "package.h"
#include "nodes.h"
#include "ulog.h"

#include "osk_banned.h"

/* An interrupted update leaves its package line in the list: drop it. */
static const char fix_sources_list[] =
    "grep -v '/tmp/oskpackage' /etc/apt/sources.list > /etc/apt/sources.list.tmp; mv "
    "/etc/apt/sources.list.tmp /etc/apt/sources.list";

static int repair_pass(void)
{
    int dpkg = ulog_execl(DPKG_PROGRAM, "--configure", "-a", nullptr);
    int apt = ulog_execl(APTGET_PROGRAM, "-f", "-y", "install", nullptr);
    return dpkg != 0 ? dpkg : apt;
}

int local_verify(void)
{
    ulog_settings.logfilename = LOGFILE_VERIFY;
    if (rollover_run_log(LOGFILE_VERIFY) < 0)
        ulog_message("LOGFILEMGR: Unable to rollover log file");
    log_init();

    /* Repairing the package state under a running update would break it. */
    int busy = runlock_busy();
    if (busy) {
        ulog_message("Error: Another update (pid %d) is running on this node.", busy);
        update_failed();
        return UPD_EXIT_FAILURE;
    }

    /* From here on every child works on the target root. */
    do_chroot();

    int ok = sources_list_valid();
    if (ok) {
        (void)repair_pass();
        ok = repair_pass() == 0;
    }
    if (ok)
        ok = ulog_execl(SHELL_PROGRAM, "-c", fix_sources_list, nullptr) == 0 &&
             ulog_execl(APTGET_PROGRAM, "update", nullptr) == 0;
    if (!ok) {
        update_failed();
        return UPD_EXIT_FAILURE;
    }
    sync();
    return 0;
}

static const char *verify_mode_option(void)
{
    if (install_altroot && do_pivot)
        return "--switch-root";
    if (install_altroot)
        return "--preload";
    return "--retain-root";
}

int run_verify(void)
{
    if (check_rolling_type || local)
        return 0;

    static char *cmd[OSK_MAX_NODES][8];
    char **argv[OSK_MAX_NODES] = {};
    const char *mode = verify_mode_option();

    for (int n = 0; n < OSK_MAX_NODES; n++) {
        if (!nodes.has(n))
            continue;
        int argc = 0;
        if (n != thisnode) {
            cmd[n][argc++] = (char *)RSH_PROGRAM;
            cmd[n][argc++] = (char *)nodehostnames_brnet[n];
        }
        cmd[n][argc++] = update;
        cmd[n][argc++] = (char *)mode;
        cmd[n][argc++] = (char *)"--verify";
        cmd[n][argc] = NULL;
        argv[n] = cmd[n];
    }

    /* A node's verification fails by its banner only: a child whose
     * remote shell or run ended badly without one is not counted. */
    node_mask failed = run_on_nodes(
        argv, NULL, "Node %d validation failed.\nCheck /var/log/osk/update_verify on that node.\n",
        BY_BANNER);
    return failed.empty() ? 0 : UPD_EXIT_FAILURE;
}
