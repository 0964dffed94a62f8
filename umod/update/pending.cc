/*
 * Steps whose machinery is not part of this build yet: the management
 * calls to the system manager, the export inventory, events and the update
 * history. Each does what the update needs when no system manager is up
 * and refuses, with a message, anything that would need one.
 */
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "update.h"
#include "ulog.h"

#include "osk_banned.h"

[[noreturn]] static void not_available(const char *what)
{
    ulog_message("Error: %s is not available in this build.", what);
    update_fail(UPD_EXIT_FAILURE);
}

void dump_vluns(unsigned mask)
{
    (void)mask;
    not_available("The export inventory");
}

int mangler_shutdown(int toc_version)
{
    (void)toc_version;
    if (!rebootpermitted || !mangler_isup || is_rolling || simple_rolling)
        return 0;
    not_available("The system-manager shutdown");
}

void setup_rolling_upgrade(void)
{
    if (!is_rolling) {
        (void)unlink("/altroot/present_vluns");
        return;
    }
    if (!local)
        not_available("The rolling upgrade");
}

void mangler_reboot_expedition(void)
{
    if (rebootpermitted)
        not_available("The rolling restart");
}

void simple_rolling_reboot(void)
{
    if (rebootpermitted)
        not_available("The simple rolling restart");
}
