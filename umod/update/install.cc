/*
 * Installing the release into the target root with the node's own dpkg
 * and apt-get: the package scripts, the temporary source-list line, the
 * install itself and the removal of obsolete packages.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "install.h"
#include "driver_log.h"
#include "modes.h"
#include "node_paths.h"
#include "package.h"
#include "versions.h"
#include "ulog.h"

#include "osk_banned.h"

static const char update_line[] = "# Lines below for use by update only\n";
static const char sources_local[] = "deb file:/tmp/oskpackage Valtor-2-0 osk\n";
static const char obsoletefile[] = UPDATEPACKDIR "/obsolete";
static const char woody_revert[] = "/opt/osk/bin/woody_revert";

/* Releases before 2.2.0.11 split the system manager differently: remove its
 * old packages before they are upgraded. */
static const char fix_pre_220[] =
    "NV=`echo /tmp/oskpackage/dists/Valtor-2-0/osk/binary-i386/osk_* | sed 's/.*osk_//g'`; if [ "
    "\"$NV\" != \"*\" ] && (dpkg -l | grep -q '^ii.*osk-sysmgr') && dpkg --compare-versions `echo "
    "$NV | sed 's/_i386.*//g'` lt 2.2.0.11;then apt-get --fix-broken -y remove osk-sysmgr "
    "osk-guisrv osk-cli osk-utils osk-api; fi";

void do_prescript(const char *script, const char *failmsg)
{
    if (access(script, X_OK) != 0) {
        ulog_message_logonly("%s not found, so we are not running it.\n", script);
        return;
    }
    ulog_message_logonly("Running %s\n", script);

    char current[256], packaged[256];
    const char *v = get_currentver();
    snprintf(current, sizeof(current), "%s", v ? v : "");
    v = get_packver();
    snprintf(packaged, sizeof(packaged), "%s", v ? v : "");

    if (ulog_execl(script, current, packaged, nullptr) != 0) {
        ulog_message("%s", failmsg);
        exit(UPD_EXIT_FAILURE);
    }
}

/* The source list of the target root and its temporary names. */
struct sources_names {
    const char *list;
    char tmp[UPDATE_PATH_LEN];
    char orig[UPDATE_PATH_LEN];
};

static void sources_names_init(sources_names *sn)
{
    sn->list = install_altroot ? SOURCES_LIST_ALT : SOURCES_LIST_CURRENT;
    snprintf(sn->tmp, sizeof(sn->tmp), "%s.tmp.%d", sn->list, (int)getpid());
    snprintf(sn->orig, sizeof(sn->orig), "%s.orig.%d", sn->list, (int)getpid());
}

static void move_failed(const char *from, const char *to)
{
    ulog_message("Unable to move %s over %s: %s", from, to, strerror(errno));
}

/* Keeps the first write error: later calls on a failed stream say less. */
static void write_ok(int ok, int *err)
{
    if (!ok && *err == 0)
        *err = errno ? errno : EIO;
}

void sources_list_localfile(const char *source)
{
    sources_names sn;
    sources_names_init(&sn);

    if (access(sn.list, F_OK) != 0) {
        FILE *created = fopen(sn.list, "w");
        if (!created || fclose(created) != 0) {
            ulog_message("Error: %s does not exist and could not be created.", sn.list);
            update_fail(UPD_EXIT_FAILURE);
        }
    }
    FILE *in = fopen(sn.list, "r");
    if (!in) {
        ulog_message("Error: Unable to open %s for reading.", sn.list);
        update_fail(UPD_EXIT_FAILURE);
    }
    FILE *out = fopen(sn.tmp, "w");
    if (!out) {
        fclose(in);
        ulog_message("Error: Unable to open %s for writing.", sn.tmp);
        update_fail(UPD_EXIT_FAILURE);
    }

    /* Everything after the marker belongs to update and is replaced. */
    char line[1024];
    int marked = 0;
    int err = 0;
    while (!marked && fgets(line, sizeof(line), in)) {
        write_ok(fputs(line, out) != EOF, &err);
        marked = strncmp(line, update_line, sizeof(update_line) - 1) == 0;
    }
    int read_failed = ferror(in);
    if (!marked)
        write_ok(fputs(update_line, out) != EOF, &err);
    if (source)
        write_ok(fprintf(out, "deb %s\n", source) >= 0, &err);
    else
        write_ok(fputs(sources_local, out) != EOF, &err);
    (void)fclose(in);
    /* The new list replaces the old one only once it is whole on disk: a
     * full disk must not leave a cut list in its place. */
    write_ok(fflush(out) == 0, &err);
    write_ok(fsync(fileno(out)) == 0, &err);
    write_ok(fclose(out) == 0, &err);
    if (read_failed || err) {
        if (read_failed)
            ulog_message("Error: Unable to read %s.", sn.list);
        else
            ulog_message("Error: Unable to write %s: %s", sn.tmp, strerror(err));
        (void)unlink(sn.tmp);
        update_fail(UPD_EXIT_FAILURE);
    }

    if (rename(sn.list, sn.orig) != 0) {
        move_failed(sn.list, sn.orig);
        update_fail(UPD_EXIT_FAILURE);
    }
    if (rename(sn.tmp, sn.list) != 0) {
        move_failed(sn.tmp, sn.list);
        if (rename(sn.orig, sn.list) != 0)
            move_failed(sn.orig, sn.list);
        update_fail(UPD_EXIT_FAILURE);
    }
}

void sources_list_revert(void)
{
    sources_names sn;
    sources_names_init(&sn);

    if (rename(sn.list, sn.tmp) != 0) {
        move_failed(sn.list, sn.tmp);
        return;
    }
    if (rename(sn.orig, sn.list) == 0) {
        if (unlink(sn.tmp) != 0)
            ulog_message("Warning: Unable to remove %s: %s", sn.tmp, strerror(errno));
        return;
    }
    if (errno == ENOENT) {
        ulog_message("Warning: Original sources.list disappeared.\nWill use update's version.");
        if (rename(sn.tmp, sn.list) != 0)
            move_failed(sn.tmp, sn.list);
    } else {
        move_failed(sn.orig, sn.list);
    }
}

void apt_update(void)
{
    static char err[32768];
    /* apt-get refuses --fix-broken together with update since apt 1.x; the
     * repair it asked for is done by the install steps that follow. */
    char *argv[] = {(char *)APTGET_PROGRAM, (char *)"update", NULL};
    if (ulog_exec_captured(argv, do_chroot, NULL, 0, err, sizeof(err)) != 0) {
        ulog_message("Unable to retrieve package list using apt-get:\n\t%s", err);
        update_fail(UPD_EXIT_APT_UPDATE);
    }
    if (verbose)
        ulog_message("Retrieved package list successfully.");
}

void install_woody_if_needed(void)
{
    if (!package_has_debs())
        return;
    const char *packver = get_packver();
    if (ulog_execl(DPKG_PROGRAM, "--compare-versions", packver ? packver : "", "lt", "2.2.2.0",
                   nullptr) != 0)
        return;
    ulog_message_logonly("We need to install Woody.\n");
    if (ulog_execl(woody_revert, nullptr) != 0) {
        ulog_message("Package required a revert from Sarge to Woody, which was not possible "
                     "under current circumstances.  Aborting.");
        exit(UPD_EXIT_FAILURE);
    }
}

void dpkg_install_dir(const char *dirname)
{
    static char dir[UPDATE_PATH_LEN];
    snprintf(dir, sizeof(dir), "%s", dirname);
    static char *fix_argv[] = {(char *)SHELL_PROGRAM, (char *)"-c", (char *)fix_pre_220, NULL};
    static char *dpkg_argv[] = {(char *)DPKG_PROGRAM,
                                (char *)"--recursive",
                                (char *)"--force-downgrade",
                                (char *)"--install",
                                (char *)"--force-confold",
                                (char *)"--force-conflicts",
                                (char *)"--force-overwrite",
                                dir,
                                NULL};
    static char *apt_argv[] = {(char *)APTGET_PROGRAM, (char *)"--fix-broken",
                               (char *)"-y",           (char *)"-oDPkg::Options::=--force-confold",
                               (char *)"install",      NULL};

    char **steps[] = {fix_argv, dpkg_argv, apt_argv};
    for (char **argv : steps)
        if (ulog_execv(argv, do_chroot, NULL) != 0)
            update_fail(UPD_EXIT_DPKG);
}

void dpkg_upgrade_osk(const char *dirname)
{
    if (package_has_debs())
        dpkg_install_dir(dirname);
}

void remove_obsoleted(void)
{
    FILE *f = fopen(obsoletefile, "r");
    if (!f)
        return;

    enum { MAX_OBSOLETE = 253 };
    static char names[MAX_OBSOLETE][1024];
    char *argv[2 + MAX_OBSOLETE + 1];
    int count = 0;
    char line[1024];
    while (fgets(line, sizeof(line), f)) {
        line[strcspn(line, "\n")] = '\0';
        if (count == MAX_OBSOLETE)
            continue;
        static char status[4096];
        char *query[] = {(char *)DPKG_PROGRAM, (char *)"-s", line, NULL};
        if (ulog_exec_captured(query, do_chroot, status, sizeof(status), NULL, 0) == 0 &&
            strstr(status, "Status: install ok installed"))
            snprintf(names[count++], sizeof(names[0]), "%s", line);
    }
    fclose(f);
    if (count == 0)
        return;

    ulog_message("Removing %d obsolete package%s.", count, count == 1 ? "" : "s");
    argv[0] = (char *)DPKG_PROGRAM;
    argv[1] = (char *)"-r";
    for (int i = 0; i < count; i++)
        argv[2 + i] = names[i];
    argv[2 + count] = NULL;
    if (ulog_execv(argv, do_chroot, NULL) != 0) {
        ulog_message("Could not run dpkg -r");
        update_fail(UPD_EXIT_DPKG);
    }
}
