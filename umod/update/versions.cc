/*
 * Versions: what the node runs, what the release brings, and whether the
 * one may replace the other.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "versions.h"
#include "driver_log.h"
#include "modes.h"
#include "node_paths.h"
#include "package.h"
#include "nodes.h"
#include "ulog.h"

#include "osk_banned.h"

#define VERSION_TEXT_LEN 128
#define DPKG_INFO_LEN 32768

static const char getcurrentver_cmdline[] = "dpkg -s osk | awk '/^Version/ {printf \"%s\", $2}'";
static const char getpackver_cmdline[] =
    "find /altroot/tmp/oskpackage -name 'osk_*' | xargs dpkg --info | awk '/ Version/ {printf "
    "\"%s\", $2}'";
static const char altroot_newer_cmdline[] =
    "dpkg --compare-versions `dpkg -l osk|awk '/^ii/{print $3}'` lt `chroot /altroot dpkg -l "
    "osk|awk '/^ii/{print $3}'`";

void get_dpkg_info(const char *package, int is_file, int force_current_root, char *buffer,
                   int buffer_size)
{
    char *argv[] = {(char *)DPKG_PROGRAM, (char *)(is_file ? "--info" : "-s"), (char *)package,
                    NULL};
    ptr_func_t hook = !is_file && !force_current_root ? do_chroot : NULL;
    (void)ulog_exec_captured(argv, hook, buffer, (size_t)buffer_size, NULL, 0);
}

int parse_info_version(const char *type, const char *dpkg_info)
{
    const char *provides = strstr(dpkg_info, "Provides:");
    if (!provides)
        return 0;
    const char *found = strstr(provides, type);
    if (!found)
        return 0;
    const char *description = strstr(provides, "Description:");
    if (description && found >= description)
        return 0;
    return (int)strtoul(found + strlen(type), NULL, 0);
}

int parse_toc_version(const char *info)
{
    return parse_info_version(" osk-toc-", info);
}

int parse_handshake_version(const char *info)
{
    return parse_info_version(" osk-handshake-", info);
}

/* The text after key, to the line end, in buf; null when key is missing. */
static char *parse_field(const char *info, const char *key, char *buf, size_t len)
{
    const char *p = strstr(info, key);
    if (!p)
        return NULL;
    snprintf(buf, len, "%s", p + strlen(key));
    buf[strcspn(buf, "\n")] = '\0';
    return buf;
}

char *parse_osk_version(const char *dpkg_info)
{
    static char version[VERSION_TEXT_LEN];
    return parse_field(dpkg_info, "Version: ", version, sizeof(version));
}

char *parse_release_version(const char *dpkg_info)
{
    static char release[VERSION_TEXT_LEN];
    return parse_field(dpkg_info, "Release-Version:", release, sizeof(release));
}

char *get_currentver(void)
{
    static char buf[256];
    return get_cmdoutput(getcurrentver_cmdline, buf, sizeof(buf));
}

char *get_packver(void)
{
    static char buf[256];
    return get_cmdoutput(getpackver_cmdline, buf, sizeof(buf));
}

int check_if_version_in_file(const char *filename, const char *version)
{
    FILE *f = fopen(filename, "r");
    if (!f)
        return 0;
    char line[1024];
    int found = 0;
    while (!found && fgets(line, sizeof(line), f)) {
        size_t len = strcspn(line, "\n");
        /* The tail of an overlong line is not a line of its own: it must
         * never pass for a listed version. */
        if (line[len] != '\n' && len == sizeof(line) - 1) {
            int c;
            while ((c = getc(f)) != EOF && c != '\n')
                ;
        }
        line[len] = '\0';
        found = strncmp(line, version, 1024) == 0;
    }
    fclose(f);
    return found;
}

/* The running root's osk version without its Debian revision, or null. */
static char *installed_version_norev(void)
{
    static char info[DPKG_INFO_LEN];
    get_dpkg_info("osk", 0, 1, info, sizeof(info));
    char *version = parse_osk_version(info);
    if (version)
        version[strcspn(version, "-")] = '\0';
    return version;
}

int check_if_current_version_in_file(const char *filename)
{
    const char *version = installed_version_norev();
    return version ? check_if_version_in_file(filename, version) : 0;
}

int altroot_has_newer(void)
{
    return ulog_execl(SHELL_PROGRAM, "-c", altroot_newer_cmdline, nullptr);
}

void assert_newer_version(void)
{
    char first[UPDATE_PATH_LEN];
    filename_starting_with(SOURCES_LOCAL_DIR, "osk_", first, sizeof(first));
    if (!first[0])
        return;

    (void)ulog_execl_hook(do_chroot, NULL, APTGET_PROGRAM, "--fix-broken", "install", nullptr);
    if (ulog_execl_hook(do_chroot, NULL, APTGET_PROGRAM, "--dry-run", "-qq", "dist-upgrade",
                        nullptr) != 0) {
        ulog_message("Update was not done because the specified package\n"
                     "may be older than the currently installed package.\n"
                     "To override, specify the %s option.",
                     from_cli ? "-force" : "-d");
        update_fail(UPD_EXIT_VERSION);
    }
}

/* The starts of the four dot-separated parts; 0 when there are fewer. */
static int split_release(const char *release, const char *part[4])
{
    part[0] = release;
    for (int i = 1; i < 4; i++) {
        const char *dot = strchr(part[i - 1], '.');
        if (!dot)
            return 0;
        part[i] = dot + 1;
    }
    return 1;
}

/*
 * Compares two four-part releases. Returns <0 when cur is older than new,
 * 0 when equal, >0 when cur is newer; -2 when either has fewer parts.
 */
int compare_release(const char *cur, const char *new_)
{
    const char *a[4], *b[4];
    if (!split_release(cur, a) || !split_release(new_, b))
        return -2;
    for (int part = 0; part < 4; part++) {
        long x = strtol(a[part], NULL, 10), y = strtol(b[part], NULL, 10);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

/* The release a package declares; packages without the field carry it in their version. */
static const char *release_text(const char *info)
{
    const char *r = parse_release_version(info);
    return r ? r : parse_osk_version(info);
}

static int patch_applies(void)
{
    const char *patchagainst = UPDATEPACKDIR "/patchagainst";
    FILE *f = fopen(patchagainst, "r");
    if (!f)
        return access(patchagainst, F_OK) != 0; /* exists but unreadable: refuse */
    fclose(f);
    if (check_if_current_version_in_file(patchagainst))
        return 1;

    ulog_message("This patch can only be applied against the following versions:\n");
    if ((f = fopen(patchagainst, "r"))) {
        char line[1024];
        while (fgets(line, sizeof(line), f))
            ulog_message("%s", line);
        fclose(f);
    }
    return 0;
}

int acceptable_version(void)
{
    if (!patch_applies())
        return 0;
    if (!check_rolling_type && (!is_rolling || local))
        return 1;

    static char cur_info[DPKG_INFO_LEN], new_info[DPKG_INFO_LEN];
    char cur_release[64] = "", new_release[VERSION_TEXT_LEN] = "";

    get_dpkg_info("osk", 0, 1, cur_info, sizeof(cur_info));
    if (const char *r = release_text(cur_info))
        snprintf(cur_release, sizeof(cur_release), "%s", r);
    int cur_handshake = parse_handshake_version(cur_info);

    char first[UPDATE_PATH_LEN];
    filename_starting_with(SOURCES_LOCAL_DIR_ALTROOT, "osk_", first, sizeof(first));
    if (!first[0])
        return 1;
    get_dpkg_info(first, 1, 0, new_info, sizeof(new_info));
    if (const char *r = release_text(new_info))
        snprintf(new_release, sizeof(new_release), "%s", r);
    int new_handshake = parse_handshake_version(new_info);

    if (check_if_current_version_in_file(UPDATEPACKDIR "/distant_list"))
        return 1;

    int cmp = compare_release(cur_release, new_release);
    if (cmp == -2) {
        ulog_message("The package version (%s) or the current version (%s) is not a four-part "
                     "release.  A rolling upgrade can not be performed.\n",
                     new_release, cur_release);
        return 0;
    }
    if (cmp > 0) {
        ulog_message("The package version (%s) is not greater than the current\nversion (%s).  "
                     "A rolling upgrade can not be performed.\n",
                     new_release, cur_release);
        return 0;
    }
    int d = cur_handshake - new_handshake;
    if (d < -1 || d > 1) {
        ulog_message("The difference in the handshake versions is too great.  A rolling upgrade "
                     "from\n%s to %s can not be performed.\n",
                     cur_release, new_release);
        return 0;
    }
    return 1;
}

void check_killfile(void)
{
    FILE *f = fopen(UPDATEPACKDIR "/kill", "r");
    if (!f)
        return;

    static char names[61][256];
    char *argv[2 + 1 + 61 + 1];
    int count = 0;
    while (count < 61 && fgets(names[count], sizeof(names[count]), f)) {
        names[count][strcspn(names[count], "\n")] = '\0';
        count++;
    }
    fclose(f);

    for (int n = 0; n < OSK_MAX_NODES; n++) {
        if (!nodes.has(n))
            continue;
        int argc = 0;
        argv[argc++] = (char *)RSH_PROGRAM;
        argv[argc++] = (char *)nodehostnames_brnet[n];
        argv[argc++] = (char *)"/usr/bin/killall";
        for (int i = 0; i < count; i++)
            argv[argc++] = names[i];
        argv[argc] = NULL;
        if (ulog_execv(argv, NULL, NULL) != 0)
            ulog_message("Issues resetting processes on node %d", n);
    }
}
