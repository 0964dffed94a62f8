/*
 * Contact with the system manager at start-up: one management connection
 * for the whole run. When no process holds the manager's name, the manager
 * is not running and the update goes on without management calls.
 */
#include <stdlib.h>

#include "em.h"
#include "sysmgr_conn.h"
#include "driver_log.h"
#include "ulog.h"
#include "bripc.h"
#include "mcall_client.h"
#include "osk_errcode.h"

#include "osk_banned.h"

int mangler_isup = 0;

int connect_sysmgr(void)
{
    int rc = oskopen("kivosys", 1);
    if (rc == TE_PASS) {
        em_init();
        (void)get_ph();
        return 1;
    }
    if (rc == BRIPC_NOPHANDLE)
        return 0;
    ulog_message("Error contacing system manager: oskopen returned 0x%x.\nCheck that the correct "
                 "version of update is being used.\n",
                 rc);
    exit(UPD_EXIT_FAILURE);
}
