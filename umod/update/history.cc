/*
 * The cluster's record of updates: the table "update_history" in the
 * persistent repository, one entry per release (or per package of a
 * partial release), and the events that announce an update or a revert.
 *
 * The entries of one run are written in one transaction. Every failure
 * rolls it back and the attempt starts over, re-reading "last_id", so a
 * failed attempt leaves neither entries nor a gap in the identifiers.
 */
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "em.h"
#include "pr_lib.h"
#include "history.h"
#include "driver_log.h"
#include "modes.h"
#include "node_paths.h"
#include "package.h"
#include "versions.h"
#include "ulog.h"

#include "osk_banned.h"

#define HISTORY_TABLE "update_history"
#define HISTORY_KEY_LEN 256
#define HISTORY_INFO_LEN 32768
#define HISTORY_PATH_LEN 1024

/* A key operation failed for good: the attempt ends here. Stale or
 * invalid identifiers are expected after a repository change and are not
 * worth a message. */
static int pr_give_up(int status, const char *what, pr_tableid tableid, pr_transid transid)
{
    switch (status) {
    case PR_INVAL_TABLEID:
    case PR_INVAL_TRANSID:
    case PR_STALE_TABLEID:
    case PR_STALE_TRANSID:
        break;
    default:
        ulog_message("PR error in %s: %d", what, status);
        break;
    }
    (void)pr_rollback_trans(transid);
    (void)pr_release_table(tableid);
    return 0;
}

static int write_key(pr_tableid tableid, pr_transid transid, const char *key, const void *val,
                     uint32_t size)
{
    for (;;) {
        int st = pr_set_entry(transid, tableid, key, (uint32_t)strlen(key), val, size);
        if (st == PR_SUCCESS)
            return 1;
        if (st == PR_EIO) {
            sleep(1);
            continue;
        }
        return pr_give_up(st, "pr_set_entry", tableid, transid);
    }
}

static int read_int_key(pr_tableid tableid, pr_transid transid, const char *key, int *val)
{
    for (;;) {
        char buf[PR_MAX_VALUE];
        uint32_t len = 0;
        int st = pr_read_value(transid, tableid, key, (uint32_t)strlen(key), buf, &len);
        if (st == PR_SUCCESS) {
            if (len != sizeof(int32_t)) {
                /* A damaged identifier does not heal by retrying at once. */
                sleep(1);
                return pr_give_up(PR_FAIL, "pr_read_value", tableid, transid);
            }
            int32_t v;
            memcpy(&v, buf, sizeof v);
            *val = v;
            return 1;
        }
        if (st == PR_EIO) {
            sleep(1);
            continue;
        }
        if (st == PR_INVAL_KEY) {
            *val = -1;
            return 1;
        }
        return pr_give_up(st, "pr_read_value", tableid, transid);
    }
}

static int write_text_key(pr_tableid tableid, pr_transid transid, const char *fmt, int id,
                          const char *text)
{
    char key[HISTORY_KEY_LEN];
    snprintf(key, sizeof key, fmt, id);
    return write_key(tableid, transid, key, text, (uint32_t)strlen(text) + 1);
}

static int write_int_key(pr_tableid tableid, pr_transid transid, const char *fmt, int id, int32_t v)
{
    char key[HISTORY_KEY_LEN];
    snprintf(key, sizeof key, fmt, id);
    return write_key(tableid, transid, key, &v, sizeof v);
}

static int add_update_history_entry(pr_tableid tableid, pr_transid transid, int32_t current_time,
                                    int *current_id, const char *pkgname, const char *version,
                                    const char *releaseversion, int did_pivot)
{
    int id = ++*current_id;
    return write_int_key(tableid, transid, "time_%d", id, current_time) &&
           write_text_key(tableid, transid, "package_%d", id, pkgname) &&
           write_text_key(tableid, transid, "version_%d", id, version) &&
           write_text_key(tableid, transid, "releaseversion_%d", id, releaseversion) &&
           write_int_key(tableid, transid, "did_pivot_%d", id, did_pivot ? 1 : 0);
}

/* Adds the entry of one package file; 0 when a write failed. */
static int add_package_entry(pr_tableid tableid, pr_transid transid, int32_t now, int *id,
                             const char *path, const char *pkgname)
{
    static char info[HISTORY_INFO_LEN];
    get_dpkg_info(path, 1, 0, info, sizeof info);
    const char *version = parse_osk_version(info);
    const char *release = parse_release_version(info);
    /* A package without a version is recorded, as without a release, by "-". */
    return add_update_history_entry(tableid, transid, now, id, pkgname, version ? version : "-",
                                    release ? release : "-", do_pivot);
}

typedef enum attempt { ATTEMPT_AGAIN, ATTEMPT_DONE } attempt_t;

/* The entries of a partial release: one per package file, in directory
 * order. 1 when all were written, 0 when one failed (transaction gone). */
static int add_partial_entries(pr_tableid tableid, pr_transid transid, int32_t now, int *id)
{
    DIR *dir = opendir(SOURCES_LOCAL_DIR);
    if (dir == nullptr) {
        ulog_message("Unable to open dir %s", SOURCES_LOCAL_DIR);
        update_fail(UPD_EXIT_FAILURE);
    }
    int ok = 1;
    for (struct dirent *de; ok && (de = readdir(dir)) != nullptr;) {
        const char *deb = strstr(de->d_name, ".deb");
        if (deb == nullptr || deb[4] != '\0')
            continue;
        const char *us = strchr(de->d_name, '_');
        if (us == nullptr)
            continue;
        char path[HISTORY_PATH_LEN];
        snprintf(path, sizeof path, "%s/%s", SOURCES_LOCAL_DIR, de->d_name);
        char pkgname[HISTORY_PATH_LEN];
        snprintf(pkgname, sizeof pkgname, "%.*s", (int)(us - de->d_name), de->d_name);
        ok = add_package_entry(tableid, transid, now, id, path, pkgname);
    }
    closedir(dir);
    return ok;
}

static attempt_t append_attempt(int32_t now)
{
    pr_tableid tableid;
    memset(&tableid, 0, sizeof tableid);
    for (;;) {
        int st = pr_lookup_table(HISTORY_TABLE, PR_LOOKUP_CREATE, &tableid);
        if (st == PR_SUCCESS)
            break;
        if (st == PR_CANTREPLICATE) {
            (void)pr_release_table(tableid);
            return ATTEMPT_DONE;
        }
        if (st != PR_EIO)
            ulog_message("PR error in pr_lookup_table: %d", st);
        sleep(1);
    }

    pr_transid transid;
    for (;;) {
        int st = pr_start_trans(&tableid, 1, PR_TRANS_RDWR, &transid);
        if (st == PR_SUCCESS)
            break;
        if (st == PR_TABLE_BUSY || st == PR_EIO) {
            sleep(1);
            continue;
        }
        if (st == PR_CANTREPLICATE) {
            (void)pr_release_table(tableid);
            return ATTEMPT_DONE;
        }
        if (st != PR_INVAL_TABLEID && st != PR_STALE_TABLEID)
            ulog_message("PR error in pr_start_trans: %d", st);
        (void)pr_release_table(tableid);
        return ATTEMPT_AGAIN;
    }

    int id;
    if (!read_int_key(tableid, transid, "last_id", &id))
        return ATTEMPT_AGAIN;

    if (!is_partial) {
        char path[HISTORY_PATH_LEN];
        filename_starting_with(SOURCES_LOCAL_DIR_ALTROOT, "osk_", path, sizeof path);
        if (path[0] == '\0') {
            (void)pr_rollback_trans(transid);
            (void)pr_release_table(tableid);
            return ATTEMPT_DONE;
        }
        if (!add_package_entry(tableid, transid, now, &id, path, "Complete"))
            return ATTEMPT_AGAIN;
    } else if (!add_partial_entries(tableid, transid, now, &id)) {
        return ATTEMPT_AGAIN;
    }

    int32_t last = id;
    if (!write_key(tableid, transid, "last_id", &last, sizeof last))
        return ATTEMPT_AGAIN;

    for (;;) {
        int st = pr_commit_trans(transid);
        if (st == PR_SUCCESS) {
            (void)pr_release_table(tableid);
            return ATTEMPT_DONE;
        }
        if (st != PR_EIO)
            break;
        sleep(1);
    }
    (void)pr_rollback_trans(transid);
    (void)pr_release_table(tableid);
    return ATTEMPT_AGAIN;
}

void append_pr_entry(void)
{
    int32_t now = (int32_t)time(nullptr);
    while (append_attempt(now) == ATTEMPT_AGAIN)
        ;
}

void post_update_event(const char *format, const char *version)
{
    em_init();
    (void)evt_comp_printf_options(EVT_SEV_INFO, EVT_NOTIFY_CLASS, EVT_SOFTWARE_UPDATE,
                                  COMP_SW_SYSMGR, 0, COMP_UNDEFINED, 0, 0, 0, format, version);
}
