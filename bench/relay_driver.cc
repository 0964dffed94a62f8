/*
 * Runs one shell command through the logged child engine, its output going
 * line by line into the run log LOG, as update runs dpkg:
 *
 *   relay_driver LOG COMMAND
 *
 * Exits with the command's result.
 */
#include "ulog.h"

#include "osk_banned.h"

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    ulog_settings.logfilename = argv[1];
    ulog_settings.quiet = 1;
    return ulog_execl("/bin/sh", "-c", argv[2], (char *)0);
}
