/*
 * Steps whose machinery is not part of this build yet: events and the
 * update history.
 */
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "update.h"
#include "ulog.h"

#include "osk_banned.h"

void append_pr_entry(void)
{
    ulog_message_logonly("The update history is not recorded by this build.");
}

void post_update_event(const char *format, const char *version)
{
    (void)format;
    (void)version;
}
