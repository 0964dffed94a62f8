/*
 * The persistent repository's records: table and transaction identifiers,
 * result codes, the request frames of the PRCMD_* system-control commands
 * and the PR file service's messages.
 *
 * A table request is one record: the 292-byte iohdr_t, then the request
 * fields. The kernel answers in the same buffer, writing the reply fields
 * over the request fields (hence the unions). Identifiers are opaque to
 * clients: they come back from lookup or start and are passed back as they
 * are. Little-endian 32-bit integers, 4-byte packing.
 */
#ifndef OSK_PR_H
#define OSK_PR_H

#include <stddef.h>
#include <stdint.h>

#include "osk_ioctl.h"
#include "osk_types.h"

typedef struct pr_id {
    node_t nid; /* node that issued it */
    uint8_t pad[3];
    uint32_t incn;
    int32_t pr_pid;
    int32_t pr_transition_incn;
    uint32_t id;
    uint32_t tid;
} pr_id;

typedef pr_id pr_tableid;
typedef pr_id pr_transid;

static_assert(sizeof(pr_id) == 24);

typedef enum pr_error : int32_t {
    PR_SUCCESS = 0,
    PR_FAIL = 1,
    PR_TABLE_EXISTS = 2,
    PR_TABLE_BUSY = 3,
    PR_READONLY_TRANS = 4,
    PR_NOMEM = 5,
    PR_INVAL_NAME = 6,
    PR_INVAL_TABLEID = 7,
    PR_INVAL_TRANSID = 8,
    PR_INVAL_KEY = 9,
    PR_BLOCKED = 10,
    PR_EIO = 11,
    PR_NO_MORE_KEYS = 12,
    PR_INVAL_VERSION = 13,
    PR_STALE_TABLEID = 14,
    PR_STALE_TRANSID = 15,
    PR_CRC_MISMATCH = 16,
    PR_NO_SVR = 17,
    PR_CANTREPLICATE = 18,
    PR_STATECHANGE = 19,
    PR_LAST_ERR = 20,
} pr_error_t;

#define PR_TABLE_NAME_LEN 64 /* with its NUL */
#define PR_MAX_KEY 1024
#define PR_MAX_VALUE 4096
#define PR_MAX_TABLES_IN_TRANS 8
#define PR_FILE_NAME_LEN 64

/* Lookup flags and transaction modes the callers use. */
#define PR_LOOKUP_EXISTING 0
#define PR_LOOKUP_CREATE 3 /* find or make, about to change it */
#define PR_TRANS_READ 1
#define PR_TRANS_RDWR 2

/* Request frames */

typedef struct pr_lookup_table_frame {
    iohdr_t hdr;
    union {
        struct {
            uint32_t s_nid;
            uint32_t s_incn;
            int32_t flags;
            char table_name[PR_TABLE_NAME_LEN];
        } req;
        struct {
            int32_t err;
            pr_tableid tableid;
            int32_t created;
            uint32_t keys_cnt;
        } rep;
    };
} pr_lookup_table_frame_t;

typedef struct pr_tableid_frame { /* remove table, release table */
    iohdr_t hdr;
    union {
        struct {
            uint32_t s_nid;
            uint32_t s_incn;
            pr_tableid tableid;
        } req;
        struct {
            int32_t err;
        } rep;
    };
} pr_tableid_frame_t;

typedef struct pr_start_trans_frame {
    iohdr_t hdr;
    union {
        struct {
            uint32_t s_nid;
            uint32_t s_incn;
            int32_t mode;
            int32_t num_tableids;
            pr_tableid tableids[PR_MAX_TABLES_IN_TRANS];
        } req;
        struct {
            int32_t err;
            pr_transid transid;
        } rep;
    };
} pr_start_trans_frame_t;

typedef struct pr_transid_frame { /* commit, rollback */
    iohdr_t hdr;
    union {
        struct {
            uint32_t s_nid;
            uint32_t s_incn;
            pr_transid transid;
        } req;
        struct {
            int32_t err;
        } rep;
    };
} pr_transid_frame_t;

typedef struct pr_key_frame { /* read value, remove entry */
    iohdr_t hdr;
    union {
        struct {
            pr_transid transid;
            pr_tableid tableid;
            uint32_t keylen;
            char key[PR_MAX_KEY];
        } req;
        struct {
            int32_t err;
            uint32_t valuelen;
            uint8_t value[PR_MAX_VALUE];
        } rep;
    };
} pr_key_frame_t;

typedef struct pr_keyctr_frame { /* reset key counter, read next key */
    iohdr_t hdr;
    union {
        struct {
            pr_transid transid;
            pr_tableid tableid;
        } req;
        struct {
            int32_t err;
            uint32_t keylen;
            char key[PR_MAX_KEY];
        } rep;
    };
} pr_keyctr_frame_t;

typedef struct pr_set_entry_frame {
    iohdr_t hdr;
    union {
        struct {
            pr_transid transid;
            pr_tableid tableid;
            uint32_t keylen;
            char key[PR_MAX_KEY];
            uint32_t valuelen;
            uint8_t value[PR_MAX_VALUE];
        } req;
        struct {
            int32_t err;
        } rep;
    };
} pr_set_entry_frame_t;

typedef struct pr_named_frame { /* remove entry, read value, set entry by table name */
    iohdr_t hdr;
    union {
        struct {
            char table_name[PR_TABLE_NAME_LEN];
            int32_t flags; /* absent from remove: keylen starts here */
            uint32_t keylen;
            char key[PR_MAX_KEY];
            uint32_t valuelen;
            uint8_t value[PR_MAX_VALUE];
        } req;
        struct {
            int32_t err;
            uint32_t valuelen;
            uint8_t value[PR_MAX_VALUE];
        } rep;
    };
} pr_named_frame_t;

typedef struct pr_remove_entry_table_frame {
    iohdr_t hdr;
    union {
        struct {
            char table_name[PR_TABLE_NAME_LEN];
            uint32_t keylen;
            char key[PR_MAX_KEY];
        } req;
        struct {
            int32_t err;
        } rep;
    };
} pr_remove_entry_table_frame_t;

/* The buffer sizes each command is sent with. */
#define PR_LOOKUP_SIZE 368
#define PR_TABLEID_SIZE 324
#define PR_START_SIZE 500
#define PR_TRANSID_SIZE 324
#define PR_READ_VALUE_SIZE 4396
#define PR_RESET_KEY_SIZE 340
#define PR_READ_NEXT_KEY_SIZE 1324
#define PR_SET_ENTRY_SIZE 5468
#define PR_REMOVE_ENTRY_SIZE 1368
#define PR_REMOVE_ENTRY_TABLE_SIZE 1384
#define PR_READ_VALUE_TABLE_SIZE 4396
#define PR_SET_ENTRY_TABLE_SIZE 5488

static_assert(sizeof(pr_lookup_table_frame_t) == PR_LOOKUP_SIZE);
static_assert(offsetof(pr_lookup_table_frame_t, req.flags) == 300);
static_assert(offsetof(pr_lookup_table_frame_t, req.table_name) == 304);
static_assert(offsetof(pr_lookup_table_frame_t, rep.tableid) == 296);
static_assert(offsetof(pr_lookup_table_frame_t, rep.created) == 320);
static_assert(offsetof(pr_lookup_table_frame_t, rep.keys_cnt) == 324);
static_assert(sizeof(pr_tableid_frame_t) == PR_TABLEID_SIZE);
static_assert(offsetof(pr_tableid_frame_t, req.tableid) == 300);
static_assert(sizeof(pr_start_trans_frame_t) == PR_START_SIZE);
static_assert(offsetof(pr_start_trans_frame_t, req.num_tableids) == 304);
static_assert(offsetof(pr_start_trans_frame_t, req.tableids) == 308);
static_assert(offsetof(pr_start_trans_frame_t, rep.transid) == 296);
static_assert(sizeof(pr_transid_frame_t) == PR_TRANSID_SIZE);
static_assert(offsetof(pr_key_frame_t, req.tableid) == 316);
static_assert(offsetof(pr_key_frame_t, req.keylen) == 340);
static_assert(offsetof(pr_key_frame_t, req.key) == 344);
static_assert(offsetof(pr_key_frame_t, rep.valuelen) == 296);
static_assert(offsetof(pr_key_frame_t, rep.value) == 300);
static_assert(sizeof(pr_key_frame_t) == PR_READ_VALUE_SIZE);
static_assert(sizeof(pr_keyctr_frame_t) == PR_READ_NEXT_KEY_SIZE);
static_assert(offsetof(pr_keyctr_frame_t, rep.key) == 300);
static_assert(offsetof(pr_set_entry_frame_t, req.valuelen) == 1368);
static_assert(offsetof(pr_set_entry_frame_t, req.value) == 1372);
static_assert(sizeof(pr_set_entry_frame_t) == PR_SET_ENTRY_SIZE);
static_assert(offsetof(pr_named_frame_t, req.flags) == 356);
static_assert(offsetof(pr_named_frame_t, req.keylen) == 360);
static_assert(offsetof(pr_named_frame_t, req.key) == 364);
static_assert(offsetof(pr_named_frame_t, req.valuelen) == 1388);
static_assert(offsetof(pr_named_frame_t, req.value) == 1392);
static_assert(sizeof(pr_named_frame_t) == PR_SET_ENTRY_TABLE_SIZE);
static_assert(offsetof(pr_remove_entry_table_frame_t, req.keylen) == 356);
static_assert(offsetof(pr_remove_entry_table_frame_t, req.key) == 360);
static_assert(sizeof(pr_remove_entry_table_frame_t) == PR_REMOVE_ENTRY_TABLE_SIZE);

/* PR file service: IPC message bodies. The message code of an operation is
 * its PRCMD_* command minus PRCMD_LOOKUP_TABLE. */

#define PR_SVR_NAME "pr"
#define PR_MSGCODE(cmd) ((uint32_t)(cmd) - (uint32_t)PRCMD_LOOKUP_TABLE)

typedef struct pr_readfile_msg {
    char fname[PR_FILE_NAME_LEN];
    uint32_t pos;
    uint32_t count;
} pr_readfile_msg_t;

typedef struct pr_readfile_reply {
    int32_t error;
    int32_t pr_state;
    node_t nid;
    uint8_t pad[3];
    uint32_t count; /* then count data bytes */
} pr_readfile_reply_t;

typedef struct pr_writefile_msg {
    char fname[PR_FILE_NAME_LEN];
    int32_t append;
    uint32_t pos;
    uint32_t count;
    int32_t sync_when_done; /* then count data bytes */
} pr_writefile_msg_t;

typedef struct pr_writefile_reply {
    int32_t error;
    uint32_t count;
    uint32_t len;
} pr_writefile_reply_t;

typedef struct pr_fname_msg { /* fsync, remove, get length */
    char fname[PR_FILE_NAME_LEN];
} pr_fname_msg_t;

typedef struct pr_twonames_msg { /* copy, rename */
    char from[PR_FILE_NAME_LEN];
    char to[PR_FILE_NAME_LEN];
} pr_twonames_msg_t;

typedef struct pr_rollfile_msg {
    char fname[PR_FILE_NAME_LEN];
    int32_t num_files;
} pr_rollfile_msg_t;

typedef struct pr_error_reply {
    int32_t error;
} pr_error_reply_t;

typedef struct pr_length_reply {
    int32_t error;
    uint32_t length;
} pr_length_reply_t;

typedef struct pr_state_reply {
    int32_t state;
    node_t nid;
    uint8_t pad[3];
} pr_state_reply_t;

static_assert(sizeof(pr_readfile_msg_t) == 72);
static_assert(sizeof(pr_readfile_reply_t) == 16);
static_assert(sizeof(pr_writefile_msg_t) == 80);
static_assert(sizeof(pr_writefile_reply_t) == 12);
static_assert(sizeof(pr_twonames_msg_t) == 128);
static_assert(sizeof(pr_rollfile_msg_t) == 68);
static_assert(sizeof(pr_length_reply_t) == 8);
static_assert(sizeof(pr_state_reply_t) == 8);

/* Server states; clients wait for one of the two ready ones. */
#define PR_STATE_READY_ADMIN 2
#define PR_STATE_READY_IDE 3
#define PR_STATE_UNREACHABLE 4

#endif
