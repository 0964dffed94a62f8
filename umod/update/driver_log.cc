/*
 * The driver's side of the run log and the child engine: the log header's
 * texts, the failure exit, and the hook that confines a child to the target
 * root.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "driver_log.h"
#include "modes.h"
#include "release.h"
#include "ulog.h"

#include "osk_banned.h"

static_assert(ULOG_EXIT_FAILURE == UPD_EXIT_FAILURE, "the engine's own exits use the table");

void update_log_settings(void)
{
    ulog_settings.logfilename = LOGFILE_UPDATE;
    ulog_settings.fallbackname = LOGFILE_FALLBACK;
    ulog_settings.cmdline = args_passed;
    ulog_settings.ident = update_build_ident;
}

void update_failed(void)
{
    if (ulog_settings.quiet)
        printf("%s", UPDATE_FAILED_BANNER);
    ulog_message("%s", UPDATE_FAILED_BANNER);
}

void update_fail(int status)
{
    update_failed();
    exit(status);
}

void do_chroot(void *)
{
    if (!install_altroot)
        return;
    if (chroot("/altroot") != 0) {
        ulog_message("Could not chroot: %s.", strerror(errno));
        update_failed();
        ulog_exit(UPD_EXIT_FAILURE);
    }
    ulog_message_logonly("Subprocess did chroot\n");
}
