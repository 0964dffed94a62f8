/*
 * Rolling the run log over before it grows past its limit.
 */
#include "update.h"
#include "logmgr.h"

#include "osk_banned.h"

int rollover_run_log(const char *path)
{
    return logmgr_check_logrollover(path, 0, LOG_ROLLOVER_SIZE);
}
