/*
 * Rolling the run log over before it grows past its limit.
 */
#include <errno.h>
#include <sys/stat.h>

#include "logroll.h"
#include "logmgr.h"

#include "osk_banned.h"

int rollover_run_log(const char *path)
{
    /* A log not written yet (a fresh node, or a run without logging) has
     * nothing to roll over; the log manager would call it a failure. */
    struct stat st;
    if (stat(path, &st) != 0 && errno == ENOENT)
        return 0;
    return logmgr_check_logrollover(path, 0, LOG_ROLLOVER_SIZE);
}
