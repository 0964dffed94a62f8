/*
 * Table and transaction requests: one frame per operation, sent on the
 * system-control device and answered in place. See pr_lib.h.
 */
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "osk_runtime.h"
#include "pr_lib.h"
#include "sc_ioctl.h"

#include "osk_banned.h"

const textxlat_t pr_errors[PR_LAST_ERR] = {
    {PR_SUCCESS, "Success"},
    {PR_FAIL, "Fail"},
    {PR_TABLE_EXISTS, "Table exists"},
    {PR_TABLE_BUSY, "Table busy"},
    {PR_READONLY_TRANS, "Transaction is readonly"},
    {PR_NOMEM, "Could not allocate memory"},
    {PR_INVAL_NAME, "Invalid name"},
    {PR_INVAL_TABLEID, "Invalid table id"},
    {PR_INVAL_TRANSID, "Invalid transaction id"},
    {PR_INVAL_KEY, "Invalid key"},
    {PR_BLOCKED, "Request blocked"},
    {PR_EIO, "IO error"},
    {PR_NO_MORE_KEYS, "No more keys"},
    {PR_INVAL_VERSION, "Invalid version"},
    {PR_STALE_TABLEID, "Stale table id"},
    {PR_STALE_TRANSID, "Stale transaction id"},
    {PR_CRC_MISMATCH, "CRC mismatch"},
    {PR_NO_SVR, "No PR server process"},
    {PR_CANTREPLICATE, "Can't replicate table file"},
    {PR_STATECHANGE, "PR state has changed"},
};

const char *pr_err_to_string(int err)
{
    if (err < 0 || err >= PR_LAST_ERR)
        return "Unknown error";
    return pr_errors[err].tx_text;
}

#define START_TRIES 6
#define START_BUSY_SLEEP_MS 200

static void check_lengths(uint32_t keylen, uint32_t valuelen)
{
    if (keylen > PR_MAX_KEY)
        osk_panic("key length too long");
    if (valuelen > PR_MAX_VALUE)
        osk_panic("value length too long");
}

/* Sends the frame; a refused request leaves status 1 and a text. */
static void pr_ioctl_check(iohdr_t *rec)
{
    int rc = sc_open_try() ? sc_ioctl(rec) : -1;
    while (rc < 0 && errno == EINTR) {
        sleep(1);
        osk_print("Replaying ioctl %d because of interrupt\n", (int)rec->io_cmd);
        rc = sc_ioctl(rec);
    }
    if (rc < 0) {
        rec->io_status = 1;
        snprintf(rec->io_ertxt, IO_ERTXT_LEN, "ioctl call failed with %d", rc);
    }
}

/* The reply's err, PR_EIO when the request itself failed. */
static int pr_send(iohdr_t *rec)
{
    pr_ioctl_check(rec);
    if (rec->io_status != 0)
        return PR_EIO;
    int32_t err;
    memcpy(&err, (char *)rec + sizeof(iohdr_t), sizeof err);
    return err;
}

static int pr_done(void *recp, int err)
{
    ioctl_free(recp);
    return err == PR_NO_SVR ? PR_EIO : err;
}

static int lookup(ioctl_enum_t cmd, const char *name, int flags, uint32_t *keys_cnt,
                  pr_tableid *tableid)
{
    pr_lookup_table_frame_t *f = (pr_lookup_table_frame_t *)ioctl_alloc(cmd, PR_LOOKUP_SIZE);
    f->req.flags = flags;
    osk_strncpy(f->req.table_name, name, PR_TABLE_NAME_LEN);
    f->req.table_name[PR_TABLE_NAME_LEN - 1] = '\0';
    int err = pr_send(&f->hdr);
    if (err == PR_SUCCESS) {
        *tableid = f->rep.tableid;
        if (keys_cnt != nullptr)
            *keys_cnt = f->rep.keys_cnt;
    }
    return pr_done(&f, err);
}

int pr_lookup_table_keyscnt(const char *name, int flags, uint32_t *keys_cnt, pr_tableid *tableid)
{
    return lookup(PRCMD_LOOKUP_TABLE, name, flags, keys_cnt, tableid);
}

int pr_lookup_table(const char *name, int flags, pr_tableid *tableid)
{
    return lookup(PRCMD_LOOKUP_TABLE, name, flags, nullptr, tableid);
}

int pr_create_table(const char *name, int flags, pr_tableid *tableid)
{
    if (strlen(name) >= PR_TABLE_NAME_LEN)
        osk_panic("Table name too long");
    return lookup(PRCMD_CREATE_TABLE, name, flags, nullptr, tableid);
}

static int table_op(ioctl_enum_t cmd, pr_tableid tableid)
{
    pr_tableid_frame_t *f = (pr_tableid_frame_t *)ioctl_alloc(cmd, PR_TABLEID_SIZE);
    f->req.tableid = tableid;
    return pr_done(&f, pr_send(&f->hdr));
}

int pr_remove_table(pr_tableid tableid)
{
    return table_op(PRCMD_REMOVE_TABLE, tableid);
}

int pr_release_table(pr_tableid tableid)
{
    return table_op(PRCMD_RELEASE_TABLE, tableid);
}

int pr_start_trans(const pr_tableid *tableids, int num, int mode, pr_transid *transid)
{
    if (num > PR_MAX_TABLES_IN_TRANS)
        osk_panic("Too many tables in transaction");
    pr_start_trans_frame_t *f =
        (pr_start_trans_frame_t *)ioctl_alloc(PRCMD_START_TRANS, PR_START_SIZE);
    f->req.mode = mode;
    f->req.num_tableids = num;
    for (int i = 0; i < num; i++)
        f->req.tableids[i] = tableids[i];
    /* The reply overwrites the request: keep it to resend the same frame. */
    pr_start_trans_frame_t req = *f;
    int err = PR_TABLE_BUSY;
    for (int i = 0; i < START_TRIES; i++) {
        *f = req;
        f->rep.err = 0;
        pr_ioctl_check(&f->hdr);
        if (f->hdr.io_status != 0)
            return pr_done(&f, PR_EIO);
        err = f->rep.err;
        if (err != PR_TABLE_BUSY)
            break;
        osk_milli_sleep(START_BUSY_SLEEP_MS);
    }
    if (err == PR_SUCCESS)
        *transid = f->rep.transid;
    return pr_done(&f, err);
}

static int trans_op(ioctl_enum_t cmd, pr_transid transid)
{
    pr_transid_frame_t *f = (pr_transid_frame_t *)ioctl_alloc(cmd, PR_TRANSID_SIZE);
    f->req.transid = transid;
    return pr_done(&f, pr_send(&f->hdr));
}

int pr_commit_trans(pr_transid transid)
{
    return trans_op(PRCMD_COMMIT_TRANS, transid);
}

int pr_rollback_trans(pr_transid transid)
{
    return trans_op(PRCMD_ROLLBACK_TRANS, transid);
}

static pr_key_frame_t *key_frame(ioctl_enum_t cmd, size_t size, pr_transid transid,
                                 pr_tableid tableid, const void *key, uint32_t keylen)
{
    check_lengths(keylen, 0);
    pr_key_frame_t *f = (pr_key_frame_t *)ioctl_alloc(cmd, size);
    f->req.transid = transid;
    f->req.tableid = tableid;
    f->req.keylen = keylen;
    memcpy(f->req.key, key, keylen);
    return f;
}

/* Copies a reply's value out with the length the reply gives (bounded by
 * the frame, whatever the kernel says). */
static void copy_value(void *dst, uint32_t *dstlen, const void *src, uint32_t len)
{
    if (len > PR_MAX_VALUE)
        len = PR_MAX_VALUE;
    memcpy(dst, src, len);
    *dstlen = len;
}

int pr_read_value(pr_transid transid, pr_tableid tableid, const void *key, uint32_t keylen,
                  void *value, uint32_t *valuelen)
{
    pr_key_frame_t *f =
        key_frame(PRCMD_READ_VALUE, PR_READ_VALUE_SIZE, transid, tableid, key, keylen);
    int err = pr_send(&f->hdr);
    if (err == PR_SUCCESS)
        copy_value(value, valuelen, f->rep.value, f->rep.valuelen);
    return pr_done(&f, err);
}

int pr_key_exists(pr_transid transid, pr_tableid tableid, const void *key, uint32_t keylen,
                  int *exists)
{
    char value[PR_MAX_VALUE];
    uint32_t len;
    int err = pr_read_value(transid, tableid, key, keylen, value, &len);
    *exists = err == PR_SUCCESS;
    return err == PR_INVAL_KEY ? PR_SUCCESS : err;
}

int pr_set_entry(pr_transid transid, pr_tableid tableid, const void *key, uint32_t keylen,
                 const void *value, uint32_t valuelen)
{
    check_lengths(keylen, valuelen);
    pr_set_entry_frame_t *f =
        (pr_set_entry_frame_t *)ioctl_alloc(PRCMD_SET_ENTRY, PR_SET_ENTRY_SIZE);
    f->req.transid = transid;
    f->req.tableid = tableid;
    f->req.keylen = keylen;
    memcpy(f->req.key, key, keylen);
    f->req.valuelen = valuelen;
    memcpy(f->req.value, value, valuelen);
    return pr_done(&f, pr_send(&f->hdr));
}

int pr_remove_entry(pr_transid transid, pr_tableid tableid, const void *key, uint32_t keylen)
{
    pr_key_frame_t *f =
        key_frame(PRCMD_REMOVE_ENTRY, PR_REMOVE_ENTRY_SIZE, transid, tableid, key, keylen);
    return pr_done(&f, pr_send(&f->hdr));
}

int pr_reset_key_ctr(pr_transid transid, pr_tableid tableid)
{
    pr_keyctr_frame_t *f = (pr_keyctr_frame_t *)ioctl_alloc(PRCMD_RESET_KEY_CTR, PR_RESET_KEY_SIZE);
    f->req.transid = transid;
    f->req.tableid = tableid;
    return pr_done(&f, pr_send(&f->hdr));
}

int pr_read_next_key(pr_transid transid, pr_tableid tableid, void *key, uint32_t *keylen)
{
    pr_keyctr_frame_t *f =
        (pr_keyctr_frame_t *)ioctl_alloc(PRCMD_READ_NEXT_KEY, PR_READ_NEXT_KEY_SIZE);
    f->req.transid = transid;
    f->req.tableid = tableid;
    int err = pr_send(&f->hdr);
    if (err == PR_SUCCESS) {
        uint32_t len = f->rep.keylen > PR_MAX_KEY ? PR_MAX_KEY : f->rep.keylen;
        memcpy(key, f->rep.key, len);
        *keylen = len;
    }
    return pr_done(&f, err);
}

int pr_read_value_table(const char *name, int flags, const void *key, uint32_t keylen, void *value,
                        uint32_t *valuelen)
{
    check_lengths(keylen, 0);
    pr_named_frame_t *f =
        (pr_named_frame_t *)ioctl_alloc(PRCMD_READ_VALUE_TABLE, PR_READ_VALUE_TABLE_SIZE);
    osk_strncpy(f->req.table_name, name, PR_TABLE_NAME_LEN);
    f->req.table_name[PR_TABLE_NAME_LEN - 1] = '\0';
    f->req.flags = flags;
    f->req.keylen = keylen;
    memcpy(f->req.key, key, keylen);
    int err = pr_send(&f->hdr);
    if (err == PR_SUCCESS)
        copy_value(value, valuelen, f->rep.value, f->rep.valuelen);
    return pr_done(&f, err);
}

int pr_set_entry_table(const char *name, int flags, const void *key, uint32_t keylen,
                       const void *value, uint32_t valuelen)
{
    check_lengths(keylen, valuelen);
    pr_named_frame_t *f =
        (pr_named_frame_t *)ioctl_alloc(PRCMD_SET_ENTRY_TABLE, PR_SET_ENTRY_TABLE_SIZE);
    osk_strncpy(f->req.table_name, name, PR_TABLE_NAME_LEN);
    f->req.table_name[PR_TABLE_NAME_LEN - 1] = '\0';
    f->req.flags = flags;
    f->req.keylen = keylen;
    memcpy(f->req.key, key, keylen);
    f->req.valuelen = valuelen;
    memcpy(f->req.value, value, valuelen);
    return pr_done(&f, pr_send(&f->hdr));
}

int pr_remove_entry_table(const char *name, const void *key, uint32_t keylen)
{
    check_lengths(keylen, 0);
    pr_remove_entry_table_frame_t *f = (pr_remove_entry_table_frame_t *)ioctl_alloc(
        PRCMD_REMOVE_ENTRY_TABLE, PR_REMOVE_ENTRY_TABLE_SIZE);
    osk_strncpy(f->req.table_name, name, PR_TABLE_NAME_LEN);
    f->req.table_name[PR_TABLE_NAME_LEN - 1] = '\0';
    f->req.keylen = keylen;
    memcpy(f->req.key, key, keylen);
    return pr_done(&f, pr_send(&f->hdr));
}

int pr_iterate_open_table(pr_tableid tableid, pr_transid transid, pr_iter_fn_t fn, void *arg)
{
    int err = pr_reset_key_ctr(transid, tableid);
    if (err != PR_SUCCESS)
        return err;
    char key[PR_MAX_KEY];
    char value[PR_MAX_VALUE];
    for (;;) {
        uint32_t keylen, valuelen;
        err = pr_read_next_key(transid, tableid, key, &keylen);
        if (err == PR_NO_MORE_KEYS)
            return PR_SUCCESS;
        if (err != PR_SUCCESS) {
            osk_print("read_next_key failed with %s\n", pr_err_to_string(err));
            return err;
        }
        err = pr_read_value(transid, tableid, key, keylen, value, &valuelen);
        if (err != PR_SUCCESS) {
            osk_print("read_value failed with %s\n", pr_err_to_string(err));
            return err;
        }
        pr_keyvalue_t kv = {&tableid, &transid, keylen, valuelen, key, value};
        if (fn(&kv, arg) != 0)
            return PR_SUCCESS;
    }
}

int pr_iterate_table(const char *name, int mode, pr_iter_fn_t fn, void *arg)
{
    if (mode != PR_TRANS_READ && mode != PR_TRANS_RDWR)
        return PR_FAIL;
    pr_tableid t;
    int err =
        pr_lookup_table(name, mode == PR_TRANS_READ ? PR_LOOKUP_EXISTING : PR_LOOKUP_CREATE, &t);
    if (err != PR_SUCCESS)
        return mode == PR_TRANS_READ && err == PR_INVAL_NAME ? PR_SUCCESS : err;
    pr_transid x;
    err = pr_start_trans(&t, 1, mode, &x);
    if (err != PR_SUCCESS) {
        (void)pr_release_table(t);
        return err;
    }
    err = pr_iterate_open_table(t, x, fn, arg);
    int cerr = pr_commit_trans(x);
    if (err == PR_SUCCESS)
        err = cerr;
    (void)pr_release_table(t);
    return err;
}
