/*
 * The release package: fetching it, unpacking it by its magic, checking
 * every package file against the index's MD5 sums, and looking into it.
 */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pkgindex.h"
#include "package.h"
#include "driver_log.h"
#include "node_paths.h"
#include "ulog.h"

#include "osk_banned.h"

/* Host name of the manufacturing install server: a list still naming it
 * means the node was never properly installed. */
#define MFG_INSTALL_SERVER "mfginstall"

void make_absolute(char *dest, const char *src, int n)
{
    if (src[0] == '/') {
        snprintf(dest, (size_t)n, "%s", src);
        return;
    }
    char cwd[1024];
    if (!getcwd(cwd, sizeof(cwd)))
        cwd[0] = '\0';
    snprintf(dest, (size_t)n, "%s/%s", cwd, src);
}

void filename_starting_with(const char *dirname, const char *file_prefix, char *buffer,
                            int buffer_size)
{
    buffer[0] = '\0';
    DIR *dir = opendir(dirname);
    if (!dir)
        return;
    size_t plen = strlen(file_prefix);
    for (struct dirent *de; (de = readdir(dir));) {
        if (strncmp(de->d_name, file_prefix, plen) == 0) {
            snprintf(buffer, (size_t)buffer_size, "%s/%s", dirname, de->d_name);
            break;
        }
    }
    closedir(dir);
}

int retrieve_rcp(const char *source, const char *filename)
{
    char dest[UPDATE_PATH_LEN];
    snprintf(dest, sizeof(dest), "%s/%s", ALTROOT_TMP, filename);
    if (ulog_execl(RCP_PROGRAM, source, dest, nullptr) != 0) {
        ulog_message("Could not retrieve package file via: %s %s", RCP_PROGRAM, source);
        return 1;
    }
    return 0;
}

int extract(const char *file)
{
    ulog_message("Extracting...");

    int fd = open(file, O_RDONLY);
    if (fd < 0) {
        ulog_message("Error: Unable to open %s for reading: %s.", file, strerror(errno));
        update_fail(UPD_EXIT_BAD_PACKAGE);
    }
    unsigned char head[512];
    memset(head, 0, sizeof(head));
    ssize_t n = read(fd, head, sizeof(head));
    close(fd);
    if (n < 0)
        n = 0;

    int r;
    if (n >= 262 && memcmp(head + 257, "ustar", 5) == 0)
        r = ulog_execl(TAR_PROGRAM, "-xf", file, "--directory", ALTROOT_TMP, nullptr);
    else if (n >= 2 && head[0] == 0x1f && head[1] == 0x8b)
        r = ulog_execl(TAR_PROGRAM, "-zxf", file, "--directory", ALTROOT_TMP, nullptr);
    else if (n >= 3 && memcmp(head, "BZh", 3) == 0)
        r = ulog_execl(TAR_PROGRAM, "--bzip", "-xf", file, "--directory", ALTROOT_TMP, nullptr);
    else
        return 1;
    /* An archive that makes the package folder a link would have every
     * later step read, run and install from wherever it points. */
    struct stat st;
    if (r == 0 && (lstat(UPDATEPACKDIR, &st) != 0 || !S_ISDIR(st.st_mode))) {
        ulog_message("Error: The package holds no folder %s.", UPDATEPACKDIR);
        return 1;
    }
    return r;
}

/* One index entry: the file's MD5 sum, computed through the shell, must be
 * the one the index gives. */
static int check_sum(const char *file, const char *expected, void *)
{
    char cmd[1024], out[1024];
    if (snprintf(cmd, sizeof(cmd), "%s %s/%s", MD5SUM_PROGRAM, SOURCES_LOCAL_DIR_ALTROOT, file) >=
        (int)sizeof(cmd)) {
        ulog_message("File name too long.");
        exit(UPD_EXIT_FAILURE);
    }
    if (!get_cmdoutput(cmd, out, sizeof(out))) {
        ulog_message("Could not compute checksum.");
        update_fail(UPD_EXIT_CHECKSUM);
    }
    out[strcspn(out, " ")] = '\0';
    if (strcmp(expected, out) != 0) {
        ulog_message("Checksums %s-%s did not match.", expected, out);
        update_fail(UPD_EXIT_CHECKSUM);
    }
    return 0;
}

void tarball_package_checksum(void)
{
    char index[1024], bad[256];

    if (snprintf(index, sizeof(index), "%s/Packages", SOURCES_LOCAL_DIR_ALTROOT) >=
        (int)sizeof(index)) {
        ulog_message("Directory name too long.");
        update_fail(UPD_EXIT_FAILURE);
    }
    FILE *f = fopen(index, "r");
    if (!f) {
        ulog_message("Error: Unable to open %s for reading.", index);
        ulog_message("Checksums missing - corrupted file.");
        update_fail(UPD_EXIT_CHECKSUM);
    }
    /* The whole index is judged before the first checksum runs: a file name
     * the shell would read as a command must never reach it. */
    int r = pkgindex_scan(f, NULL, NULL, bad, sizeof(bad));
    if (r == PKGINDEX_BAD_NAME)
        ulog_message("Error: %s names a file that is not a plain package file name: %s", index,
                     bad);
    if (r != PKGINDEX_OK) {
        fclose(f);
        ulog_message("Checksums did not match - corrupted file.");
        update_fail(UPD_EXIT_CHECKSUM);
    }
    rewind(f);
    (void)pkgindex_scan(f, check_sum, NULL, bad, sizeof(bad));
    fclose(f);
}

int package_has_debs(void)
{
    static int known = -1;
    if (known < 0) {
        char cmd[512];
        snprintf(cmd, sizeof(cmd), "find %s -name '*.deb' | grep -q .", SOURCES_LOCAL_DIR);
        known = ulog_execl_hook(do_chroot, NULL, SHELL_PROGRAM, "-c", cmd, nullptr) == 0;
    }
    return known;
}

int sources_list_valid(void)
{
    if (ulog_execl("/bin/grep", "-q", "dns", "/etc/nsswitch.conf", nullptr) == 0)
        return 1;
    if (ulog_execl("/bin/grep", "-q", "^[^#].*" MFG_INSTALL_SERVER, SOURCES_LIST_CURRENT,
                   nullptr) != 0)
        return 1;
    ulog_message("%s found in sources.list; there was a manufacturing failure.\n"
                 "Recommended action is IDE rescue / net install.\n",
                 MFG_INSTALL_SERVER);
    return 0;
}
