/*
 * Persistent repository client: the cluster's replicated store of named
 * tables of key/value entries, changed inside transactions.
 *
 * Tables and transactions (synchronous requests on "/dev/osk"):
 *
 *   pr_tableid t; pr_transid x;
 *   if (pr_lookup_table("name", PR_LOOKUP_CREATE, &t) != PR_SUCCESS) ...
 *   if (pr_start_trans(&t, 1, PR_TRANS_RDWR, &x) == PR_SUCCESS) {
 *       ... pr_read_value / pr_set_entry ...
 *       pr_commit_trans(x);            or pr_rollback_trans(x) on an error
 *   }
 *   pr_release_table(t);               always
 *
 * Every operation returns a pr_error_t. A request the device refuses, and
 * PR_NO_SVR, come back as PR_EIO; retrying is the caller's choice, except
 * that pr_start_trans retries a busy table itself (six tries, 200 ms
 * apart). Keys longer than PR_MAX_KEY, values longer than PR_MAX_VALUE, more
 * than 8 tables in a transaction and a created table's name of 64
 * characters or more are programming errors: they panic. The device must be
 * open (sc_open) before threads issue requests concurrently.
 *
 * The cache keeps a table's entries in process memory (one allocation per
 * entry: key padded to 8 bytes, then value); it is not locked.
 *
 * The file service (pr_init first, once) sends file operations to the PR
 * server process by its kernel IPC name through one client thread; callers
 * block until their answer. The wrappers read, write or remove one
 * string-keyed entry and post an event when that fails (1 success, 0 not).
 */
#ifndef PR_LIB_H
#define PR_LIB_H

#include <stddef.h>
#include <stdint.h>

#include "osk_pr.h"
#include "osk_types.h"

extern const textxlat_t pr_errors[PR_LAST_ERR];
const char *pr_err_to_string(int err);

/* Tables and transactions */

int pr_lookup_table_keyscnt(const char *name, int flags, uint32_t *keys_cnt, pr_tableid *tableid);
int pr_lookup_table(const char *name, int flags, pr_tableid *tableid);
int pr_create_table(const char *name, int flags, pr_tableid *tableid);
int pr_remove_table(pr_tableid tableid);
int pr_release_table(pr_tableid tableid);
int pr_start_trans(const pr_tableid *tableids, int num, int mode, pr_transid *transid);
int pr_commit_trans(pr_transid transid);
int pr_rollback_trans(pr_transid transid);
int pr_read_value(pr_transid transid, pr_tableid tableid, const void *key, uint32_t keylen,
                  void *value, uint32_t *valuelen); /* value: PR_MAX_VALUE bytes of room */
int pr_key_exists(pr_transid transid, pr_tableid tableid, const void *key, uint32_t keylen,
                  int *exists);
int pr_set_entry(pr_transid transid, pr_tableid tableid, const void *key, uint32_t keylen,
                 const void *value, uint32_t valuelen);
int pr_remove_entry(pr_transid transid, pr_tableid tableid, const void *key, uint32_t keylen);
int pr_reset_key_ctr(pr_transid transid, pr_tableid tableid);
int pr_read_next_key(pr_transid transid, pr_tableid tableid, void *key,
                     uint32_t *keylen); /* key: PR_MAX_KEY bytes of room */
int pr_read_value_table(const char *name, int flags, const void *key, uint32_t keylen, void *value,
                        uint32_t *valuelen);
int pr_set_entry_table(const char *name, int flags, const void *key, uint32_t keylen,
                       const void *value, uint32_t valuelen);
int pr_remove_entry_table(const char *name, const void *key, uint32_t keylen);

/* What iteration and the cache hand to callbacks. */
typedef struct pr_keyvalue {
    pr_tableid *tableid;
    pr_transid *transid;
    uint32_t keylen;
    uint32_t valuelen;
    void *key;
    void *value;
} pr_keyvalue_t;

/* A callback's non-zero result ends the walk (with PR_SUCCESS). */
typedef int (*pr_iter_fn_t)(pr_keyvalue_t *kv, void *arg);
int pr_iterate_open_table(pr_tableid tableid, pr_transid transid, pr_iter_fn_t fn, void *arg);
int pr_iterate_table(const char *name, int mode, pr_iter_fn_t fn, void *arg);

/* Entry cache */

typedef struct pr_cached_entry {
    struct pr_cached_entry *next; /* hash chain */
    struct pr_cached_table *table;
    uint32_t keylen;
    uint32_t valuelen;
    /* key, padded to a multiple of 8 bytes, then value */
} pr_cached_entry_t;

typedef int (*pr_valid_entry_fn_t)(pr_keyvalue_t *kv);
typedef uint32_t (*pr_hash_fn_t)(pr_keyvalue_t *kv);
typedef int (*pr_hash_cmp_fn_t)(pr_keyvalue_t *a, pr_keyvalue_t *b); /* 0: equal */

typedef struct pr_cached_table {
    pr_valid_entry_fn_t valid_entry;
    pr_hash_fn_t hash_func;
    pr_hash_cmp_fn_t hash_cmp;
    int pr_state;
    node_t pr_node; /* 253 until populated */
    uint32_t nbuckets;
    uint32_t nentries;
    pr_cached_entry_t **pr_entries;
} pr_cached_table_t;

pr_cached_table_t *pr_create_cached_table(uint32_t num_buckets, pr_valid_entry_fn_t valid_entry,
                                          pr_hash_fn_t hash_func, pr_hash_cmp_fn_t hash_cmp);
int pr_populate_cache(pr_cached_table_t *t, pr_tableid tableid, pr_transid transid,
                      uint32_t max_cache_entries, uint32_t *over_limit);
int pr_add_cached_entry(pr_cached_table_t *t, pr_keyvalue_t *kv);
int pr_find_cached_entry(pr_cached_table_t *t, pr_keyvalue_t *key, pr_keyvalue_t *out);
int pr_delete_cached_entry(pr_cached_table_t *t, pr_keyvalue_t *key);
int pr_cached_walk(pr_cached_table_t *t, int (*fn)(pr_keyvalue_t *kv, void *arg), void *arg);
void pr_delete_all_entries(pr_cached_table_t *t);
void pr_delete_cached_table(pr_cached_table_t *t);

/* File service */

void pr_init(void);
int pr_read_file(const char *filename, void *buf, uint32_t *count, uint32_t pos, int *pr_state,
                 node_t *nid);
int pr_write_file(const char *filename, const void *buf, uint32_t *count, uint32_t pos,
                  int sync_when_done);
int pr_append_file(const char *filename, const void *buf, uint32_t *count, uint32_t *len,
                   int sync_when_done);
int pr_fsync_file(const char *filename);
int pr_remove_file(const char *filename);
int pr_copy_file(const char *from, const char *to);
int pr_rename_file(const char *from, const char *to);
int pr_roll_file(const char *filename, int num_files);
int pr_get_length(const char *filename, uint32_t *length);
int pr_get_state(void);
int pr_get_state_node(node_t *nid); /* PR_STATE_UNREACHABLE when the server cannot be reached */
int pr_wait_ready(int *state);      /* 1 when ready (state 2 or 3) */
int pr_transition_to_admin_vol(void);
int pr_transition_to_ide(void);
int pr_sync_ide(void);
int pr_stop(void);
int pr_stop_on_node(node_t node);
int pr_vv_setup(void);

int pr_wrapper_read(const char *table, const char *key, uint32_t buffer_size, void *buffer);
int pr_wrapper_write(const char *table, const char *key, uint32_t buffer_size, const void *buffer);
int pr_wrapper_remove(const char *table, const char *key);

#endif
