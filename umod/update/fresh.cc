/*
 * The fresh-install marker: present after a first installation on this
 * node, removed by every later update.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fresh.h"
#include "driver_log.h"
#include "node_paths.h"
#include "ulog.h"

#include "osk_banned.h"

static void fresh_flag_mkdirs(const char *path)
{
    char dir[UPDATE_PATH_LEN];
    for (const char *p = strchr(path + 1, '/'); p; p = strchr(p + 1, '/')) {
        snprintf(dir, sizeof(dir), "%.*s", (int)(p - path), path);
        (void)mkdir(dir, 0755); /* existing directories are fine */
    }
}

void fresh_flag_set(void)
{
    fresh_flag_mkdirs(FRESH_INSTALL_FILE);
    int fd = open(FRESH_INSTALL_FILE, O_WRONLY | O_CREAT, 0644);
    if (fd < 0) {
        ulog_message("Unable to touch %s: %s,", FRESH_INSTALL_FILE, strerror(errno));
        update_fail(UPD_EXIT_FAILURE);
    }
    close(fd);
}

void fresh_flag_clear(void)
{
    if (unlink(FRESH_INSTALL_FILE) != 0 && errno != ENOENT) {
        ulog_message("Unable to remove %s: %s.", FRESH_INSTALL_FILE, strerror(errno));
        update_fail(UPD_EXIT_FAILURE);
    }
}
