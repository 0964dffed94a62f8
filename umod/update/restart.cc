/*
 * The restart that ends an update or a switch-root revert.
 */
#include "restart.h"
#include "driver_log.h"
#include "modes.h"
#include "boot.h"
#include "rolling.h"

#include "osk_banned.h"

enum restart_way requested_restart_way(void)
{
    if (is_rolling)
        return RESTART_ROLLING;
    if (simple_rolling)
        return RESTART_SIMPLE_ROLLING;
    return RESTART_ALL;
}

void restart_cluster(enum restart_way way, int toc_version, int shutdown_first, int switch_root)
{
    switch (way) {
    case RESTART_ROLLING:
        if (!is_child) {
            do_lilo(expeditionmask, 1);
            do_lilo(~expeditionmask, 0);
        }
        mangler_reboot_expedition();
        return;
    case RESTART_SIMPLE_ROLLING:
        if (!is_child)
            do_lilo(node_mask::all(), switch_root);
        simple_rolling_reboot();
        return;
    case RESTART_ALL:
        if (shutdown_first && mangler_shutdown(toc_version) != 0)
            update_fail(UPD_EXIT_SYSMGR_SHUTDOWN);
        if (!is_child)
            do_lilo(node_mask::all(), switch_root);
        do_reboot();
        return;
    }
}
