/*
 * Steps whose machinery is not part of this build yet. Each says so and
 * stops the run: an update must never look successful when it did nothing.
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

int local_verify(void)
{
    not_available("Package verification");
}

int run_verify(void)
{
    not_available("Package verification");
}

int getthisnode(void)
{
    not_available("Node discovery");
}

int getnodesonline(void)
{
    not_available("Node discovery");
}

int connect_sysmgr(void)
{
    not_available("The system manager connection");
}

void dump_vluns(unsigned mask)
{
    (void)mask;
    not_available("The export inventory");
}

int rollover_run_log(const char *path)
{
    (void)path;
    return 0;
}

int doupdate_tarball(char *source)
{
    (void)source;
    not_available("The update flow");
}

int doupdate_revert(void)
{
    not_available("The revert flow");
}
