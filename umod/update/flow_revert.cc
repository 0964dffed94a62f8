/*
 * The revert flow: back to the previous release, in place from the revert
 * store when the last update kept one, else by booting the other root.
 */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "flow_revert.h"
#include "driver_log.h"
#include "modes.h"
#include "node_paths.h"
#include "versions.h"
#include "install.h"
#include "nodes.h"
#include "sysmgr_conn.h"
#include "rolling.h"
#include "restart.h"
#include "history.h"
#include "ulog.h"

#include "osk_banned.h"

#define PREREVERT "/opt/osk/bin/prerevert"
#define DPKG_INFO_LEN 32768

static int doupdate_revert_local(void)
{
    putenv((char *)"DORESET=1");
    ulog_message("Applying in-place revert...");
    do_pivot = 0;
    install_altroot = 0;
    onallnodes_set_pmnostart(1);
    /* No release is unpacked: install the stored files themselves. */
    dpkg_install_dir(LOCALREVERT_PACKAGES_DIR);
    (void)rm_rf(LOCALREVERT_PACKAGES_DIR);
    (void)do_other_nodes(NULL);
    onallnodes_set_pmnostart(0);
    ulog_message("Successful.");
    return 0;
}

static int doupdate_revert_switchroot(void)
{
    static char info[DPKG_INFO_LEN];
    get_dpkg_info("osk-sysmgr", 0, 0, info, sizeof(info));
    int toc_version = parse_toc_version(info);
    if (toc_version == 0) {
        get_dpkg_info("osk", 0, 0, info, sizeof(info));
        toc_version = parse_toc_version(info);
    }
    if (mangler_isup) {
        const char *v = parse_osk_version(info);
        post_update_event("Reverting to OSK software version %s\n", v ? v : "");
    }
    (void)ulog_execl(SHELL_PROGRAM, "-c", SYNC_PR_IDE, nullptr);

    do_pivot = 1;
    ulog_message("\nSwitching to previous version...\n");

    int result = do_other_nodes(NULL);
    if (result != 0) {
        ulog_message("Although update was completed successfully on the node it was run on, "
                     "it\nfailed on one or more other nodes.  Please examine the output above "
                     "carefully.\n");
        update_fail(result);
    }
    setup_rolling_upgrade();
    fflush(stdout);
    fflush(stderr);

    /* Boots the other root (do_pivot is set); the manager goes down first
     * whichever root the options named. */
    restart_cluster(requested_restart_way(), toc_version, 1, do_pivot);
    return 0;
}

int doupdate_revert(void)
{
    do_prescript(PREREVERT, "Prerevert script failed - cancelling revert.");
    if (access(LOCALREVERT_PACKAGES_DIR, R_OK) == 0)
        return doupdate_revert_local();
    return doupdate_revert_switchroot();
}
