/*
 * The system manager stand-in: its storage configuration and the handling
 * of one management call, apart from any transport.
 *
 *   sysmgr_conf_t conf;
 *   sysmgr_conf_load(path, &conf, err, sizeof err);   0 or -1 with err
 *   sysmgr_reply_t r;
 *   sysmgr_handle(&ctx, msg_ver, data, len, &r);      never fails
 *   ... send r.rec (r.len bytes, a multiple of 64) with usr_reason
 *       r.reason, or no data when r.refused; then, if r.reboot_node >= 0,
 *       reboot that node ...
 *   sysmgr_reply_free(&r);
 *
 * The configuration format and the answers are sim/README.md's contract.
 * sysmgr_handle only reads ctx->conf; it reads the knobs file when it has
 * changed and appends to the journal (ctx paths, null for none). Each
 * thread keeps the buffer of a freed reply for its next one.
 */
#ifndef SYSMGR_H
#define SYSMGR_H

#include <stddef.h>
#include <stdint.h>

#include "osk_mcall.h"
#include "osk_types.h"

#define SM_NAME_LEN 32
#define SM_ISCSI_LEN 224

typedef struct sm_disk {
    uint32_t id;
    uint64_t wwn;
    lpid_t a, b; /* LPID_NONE when absent */
    int a_primary, b_primary;
    int disabled;
    uint32_t state;
    uint32_t jbod, side, sled;
} sm_disk_t;

typedef struct sm_iport {
    lpid_t nsp;
    uint32_t ip, netmask, gw; /* bytes in storage order */
    uint16_t tpgt;
    char name[SM_ISCSI_LEN];
} sm_iport_t;

typedef struct sm_host {
    char name[SM_NAME_LEN];
    int iscsi;
    uint64_t wwn;
    char iname[SM_ISCSI_LEN];
    uint32_t id;
    char chap_name[SM_ISCSI_LEN], chap_secret[17];
    char tchap_name[SM_ISCSI_LEN], tchap_secret[17];
    uint32_t chap_flags;
} sm_host_t;

typedef struct sm_hpath {
    int host; /* index into hosts */
    lpid_t lpid;
    uint32_t ip;
} sm_hpath_t;

typedef struct sm_vv {
    char name[SM_NAME_LEN];
    uint64_t wwn;
} sm_vv_t;

typedef struct sm_export {
    int vv, host; /* indexes */
    uint32_t lun;
    lpid_t lpid;
} sm_export_t;

typedef struct sysmgr_conf {
    int nnodes;
    sm_disk_t *disks;
    int ndisks;
    sm_iport_t *iports;
    int niports;
    sm_host_t *hosts;
    int nhosts;
    sm_hpath_t *hpaths;
    int nhpaths;
    sm_vv_t *vvs;
    int nvvs;
    sm_export_t *exports;
    int nexports;
} sysmgr_conf_t;

/* Reads the file; nodes N in it (or nnodes when the file has none) bounds
 * the nodes kept. */
int sysmgr_conf_load(const char *path, int nnodes, sysmgr_conf_t *conf, char *err, size_t errlen);
void sysmgr_conf_free(sysmgr_conf_t *conf);

/* Export paths grouped into exports (same volume, host and LUN), in order. */
typedef struct sm_export_group {
    int first;     /* index of its first path */
    int npaths;    /* paths of it */
    int paths[16]; /* indexes of the paths */
} sm_export_group_t;

int sysmgr_export_groups(const sysmgr_conf_t *conf, sm_export_group_t *out, int max);

typedef struct sysmgr_ctx {
    const sysmgr_conf_t *conf;
    uint64_t start_ms;   /* when it began serving (sysmgr_now_ms), for slow_start */
    const char *knobs;   /* knobs file, or null */
    const char *journal; /* journal file, or null */
    cluster_t (*online)(void);
} sysmgr_ctx_t;

typedef struct sysmgr_reply {
    mcall_t *rec;    /* the reply record, null when refused */
    size_t len;      /* bytes to send: mc_size rounded up to 64 */
    size_t cap;      /* bytes allocated at rec */
    int reason;      /* usr_reason: the reply's mc_status */
    int refused;     /* another management-call version: reason 8, no data */
    int reboot_node; /* reboot this node after replying, -1 for none */
} sysmgr_reply_t;

uint64_t sysmgr_now_ms(void); /* wall-clock milliseconds, comparable to file times */
void sysmgr_handle(const sysmgr_ctx_t *ctx, uint32_t msg_ver, const void *data, size_t len,
                   sysmgr_reply_t *out);
void sysmgr_reply_free(sysmgr_reply_t *r);

#endif
