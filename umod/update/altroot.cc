/*
 * The two root partitions: which one is the alternate, the in-place revert
 * store, and matching a partial release's target to the running root.
 */
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <glob.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "altroot.h"
#include "driver_log.h"
#include "modes.h"
#include "node_paths.h"
#include "install.h"
#include "ulog.h"
#include "osk_runtime.h"

#include "osk_banned.h"

#define CURRENT_PACKAGES_DIR "/var/opt/osk/packages"
#define MATCH_DIR "/altroot/tmp/match_packages"

int get_altroot_number(void)
{
    FILE *f = fopen("/proc/mounts", "r");
    if (!f) {
        ulog_message("Could not open /proc/mounts\n");
        exit(UPD_EXIT_FAILURE);
    }
    char device[4096], mountpoint[4096];
    int found = 0;
    while (!found && fscanf(f, "%4095s %4095s %*s %*s %*d %*d", device, mountpoint) == 2)
        found = strncmp(mountpoint, "/altroot", 256) == 0;
    fclose(f);
    if (!found)
        return 0;

    const char *p = device;
    while (*p && !isdigit((unsigned char)*p))
        p++;
    return atoi(p);
}

/* Moves the package file name from one folder to the other, saying so when
 * it cannot; 0 on success. */
static int move_package(const char *from_dir, const char *to_dir, const char *name)
{
    char from[1024], to[1024];
    snprintf(from, sizeof(from), "%s/%s", from_dir, name);
    snprintf(to, sizeof(to), "%s/%s", to_dir, name);
    if (rename(from, to) == 0)
        return 0;
    ulog_message("Could not move %s to %s: %s", from, to, strerror(errno));
    return -1;
}

/* Moves every file of the revert store back where it came from; 0 when all
 * went back. */
static int put_back_localrevert(void)
{
    DIR *store = opendir(LOCALREVERT_PACKAGES_DIR);
    if (!store)
        return -1;
    int result = 0;
    for (struct dirent *de; (de = readdir(store));) {
        if (de->d_name[0] != '.' &&
            move_package(LOCALREVERT_PACKAGES_DIR, CURRENT_PACKAGES_DIR, de->d_name) != 0)
            result = -1;
    }
    closedir(store);
    return result;
}

/* A store missing one of the replaced packages would make a later in-place
 * revert go back only part of the way, so a failed move stops the update
 * with the running root's package files as they were. */
[[noreturn]] static void localrevert_failed(void)
{
    if (put_back_localrevert() == 0)
        (void)rm_rf(LOCALREVERT_PACKAGES_DIR);
    update_fail(UPD_EXIT_FAILURE);
}

void move_localrevert_packages(void)
{
    (void)rm_rf(LOCALREVERT_PACKAGES_DIR);
    if (mkdir(LOCALREVERT_PACKAGES_DIR, 0755) != 0) {
        ulog_message("Could not create %s: %s", LOCALREVERT_PACKAGES_DIR, strerror(errno));
        update_fail(UPD_EXIT_FAILURE);
    }

    DIR *release = opendir(SOURCES_LOCAL_DIR);
    if (!release) {
        ulog_message("Could not open %s", SOURCES_LOCAL_DIR);
        return;
    }
    for (struct dirent *de; (de = readdir(release));) {
        size_t len = strlen(de->d_name);
        const char *underscore = strchr(de->d_name, '_');
        if (len < 4 || strcmp(de->d_name + len - 4, ".deb") != 0 || !underscore)
            continue;
        size_t plen = (size_t)(underscore - de->d_name) + 1; /* prefix up to and with "_" */

        DIR *store = opendir(CURRENT_PACKAGES_DIR);
        if (!store) {
            ulog_message("Could not open %s", CURRENT_PACKAGES_DIR);
            continue;
        }
        int moved = 1;
        for (struct dirent *old; (old = readdir(store));) {
            if (strncmp(old->d_name, de->d_name, plen) != 0)
                continue;
            moved = move_package(CURRENT_PACKAGES_DIR, LOCALREVERT_PACKAGES_DIR, old->d_name) == 0;
            break;
        }
        closedir(store);
        if (!moved) {
            closedir(release);
            localrevert_failed();
        }
    }
    closedir(release);
}

void make_altroot_match(void)
{
    OSK_ASSERT(install_altroot);
    (void)rm_rf(MATCH_DIR);
    (void)mkdir(MATCH_DIR, 0755);

    glob_t g;
    memset(&g, 0, sizeof(g));
    (void)glob(CURRENT_PACKAGES_DIR "/*", 0, NULL, &g);

    char **argv = (char **)malloc_or_die((g.gl_pathc + 3) * sizeof(char *));
    size_t argc = 0;
    argv[argc++] = (char *)"/bin/cp";
    for (size_t i = 0; i < g.gl_pathc; i++)
        argv[argc++] = g.gl_pathv[i];
    argv[argc++] = (char *)MATCH_DIR;
    argv[argc] = NULL;

    int result = ulog_execv(argv, NULL, NULL);
    free(argv);
    globfree(&g);
    if (result != 0) {
        ulog_message("Error in copying files to %s", MATCH_DIR);
        update_fail(UPD_EXIT_FAILURE);
    }
    dpkg_upgrade_osk("/tmp/match_packages");
}
