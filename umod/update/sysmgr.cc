/*
 * Contact with the system manager at start-up. The manager's request
 * handler registers under its kernel IPC name; when no process holds the
 * name, the manager is not running and the update goes on without it.
 */
#include <stdlib.h>

#include "update.h"
#include "ulog.h"
#include "bripc.h"
#include "osk_errcode.h"

#include "osk_banned.h"

#define SYSMGR_IPC_NAME "OSKMCAL"

int connect_sysmgr(void)
{
    bripc_ph_t ph;
    int rc = bripc_get_phandle(NULL, &ph); /* registers this process */
    if (rc == 0 || rc == BRIPC_DUP || rc == BRIPC_ASSIGNED)
        rc = bripc_find_phandle(SYSMGR_IPC_NAME, &ph);
    if (rc == BRIPC_NOPHANDLE)
        return 0;
    if (rc == 0) {
        ulog_message("Error: The system manager is running, but management calls are not "
                     "available in this build.\nRe-run update with --nosysmgr or --noreboot.");
        update_fail(UPD_EXIT_FAILURE);
    }
    ulog_message("Error contacing system manager: oskopen returned 0x%x.\nCheck that the correct "
                 "version of update is being used.\n",
                 rc);
    exit(UPD_EXIT_FAILURE);
}
