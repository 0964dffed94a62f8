/*
 * The kernel hook: kernel IPC between processes of any node, and the
 * cluster API. Pointer arguments are the caller's addresses.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "osk_errcode.h"
#include "oskd.h"
#include "osk_banned.h"

/* Handler result: the hook's result, or one of these. */
#define HK_FAULT OSKD_HK_FAULT /* a pointer argument could not be used: the ioctl fails */

typedef int (*hook_handler_t)(const oskd_caller_t *ca, const osk_krn_hook_t *hk);

static oskd_proc_t *me(const oskd_caller_t *ca)
{
    return &oskd.st_procs[ca->ca_proc];
}

static int put(const oskd_caller_t *ca, uint64_t addr, const void *v, size_t len)
{
    if (addr == 0)
        return 0; /* an output the caller did not ask for */
    return oskd_mem_write(ca->ca_pid, addr, v, len);
}

static int put_u32(const oskd_caller_t *ca, uint64_t addr, uint32_t v)
{
    return put(ca, addr, &v, sizeof(v));
}

/* Copies a name argument: at most BRIPC_NAME_LEN characters. 0, or -1 when
 * it cannot be read. */
static int get_name(const oskd_caller_t *ca, uint64_t addr, char *name)
{
    memset(name, 0, BRIPC_NAME_LEN + 1);
    /* Read byte-wise up to the NUL: the string may end just before an
     * unmapped page. */
    for (int i = 0; i < BRIPC_NAME_LEN; i++) {
        if (oskd_mem_read(ca->ca_pid, addr + (uint64_t)i, &name[i], 1) < 0)
            return -1;
        if (name[i] == '\0')
            break;
    }
    name[BRIPC_NAME_LEN] = '\0';
    return 0;
}

static oskd_service_t *service_by_name(const char *name)
{
    for (int i = 0; i < OSKD_MAX_SERVICES; i++)
        if (oskd.st_services[i].sv_used && strcmp(oskd.st_services[i].sv_name, name) == 0)
            return &oskd.st_services[i];
    return nullptr;
}

static oskd_service_t *service_by_ph(bripc_ph_t ph)
{
    for (int i = 0; i < OSKD_MAX_SERVICES; i++)
        if (oskd.st_services[i].sv_used && oskd.st_services[i].sv_ph == ph)
            return &oskd.st_services[i];
    return nullptr;
}

static int proc_by_name(const char *name)
{
    for (int s = 0; s < OSKD_MAX_PROCS; s++) {
        const oskd_proc_t *p = &oskd.st_procs[s];
        if (p->pr_used && !p->pr_dead && p->pr_ph != 0 && strcmp(p->pr_name, name) == 0)
            return s;
    }
    return -1;
}

static int proc_by_ph(bripc_ph_t ph)
{
    for (int s = 0; s < OSKD_MAX_PROCS; s++) {
        const oskd_proc_t *p = &oskd.st_procs[s];
        if (p->pr_used && !p->pr_dead && p->pr_ph == ph)
            return s;
    }
    return -1;
}

static bripc_ph_t own_handle(oskd_proc_t *p)
{
    if (p->pr_ph == 0)
        p->pr_ph = oskd.st_next_ph++;
    return p->pr_ph;
}

static int is_primary_of(const oskd_service_t *sv, int slot)
{
    return sv->sv_primary == slot && oskd.st_procs[slot].pr_gen == sv->sv_primary_gen;
}

static int is_backup_of(const oskd_service_t *sv, int slot)
{
    return sv->sv_backup == slot && oskd.st_procs[slot].pr_gen == sv->sv_backup_gen;
}

/* IPC: handles and names */

static int hk_get_ph(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    oskd_proc_t *p = me(ca);
    if (hk->arg1 == 0)
        return put_u32(ca, hk->arg2, own_handle(p)) < 0 ? HK_FAULT : 0;
    char name[BRIPC_NAME_LEN + 1];
    if (get_name(ca, hk->arg1, name) < 0)
        return HK_FAULT;
    int asked_name = name[0] != '\0';
    int rc = 0;
    if (p->pr_ph != 0 && (p->pr_name[0] != '\0' || !asked_name)) {
        rc = BRIPC_ASSIGNED;
    } else if (asked_name && (service_by_name(name) != nullptr || proc_by_name(name) >= 0)) {
        return BRIPC_COLLISION;
    } else {
        own_handle(p);
        if (!asked_name) /* the kernel names it; "@" names are the system's */
            snprintf(name, sizeof(name), "@%06x", p->pr_ph & 0xFFFFFF);
        memcpy(p->pr_name, name, sizeof(p->pr_name));
    }
    if (!asked_name && put(ca, hk->arg1, p->pr_name, BRIPC_NAME_LEN + 1) < 0)
        return HK_FAULT;
    return put_u32(ca, hk->arg2, p->pr_ph) < 0 ? HK_FAULT : rc;
}

static int hk_find_ph(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    char name[BRIPC_NAME_LEN + 1];
    if (get_name(ca, hk->arg1, name) < 0)
        return HK_FAULT;
    bripc_ph_t ph = 0;
    oskd_service_t *sv = service_by_name(name);
    if (sv != nullptr) {
        if (sv->sv_primary < 0)
            return BRIPC_NOPRIMARY;
        ph = sv->sv_ph;
    } else {
        int s = proc_by_name(name);
        if (s < 0)
            return BRIPC_NOPHANDLE;
        ph = oskd.st_procs[s].pr_ph;
    }
    return put_u32(ca, hk->arg2, ph) < 0 ? HK_FAULT : 0;
}

static int hk_register(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    char name[BRIPC_NAME_LEN + 1];
    if (get_name(ca, hk->arg1, name) < 0)
        return HK_FAULT;
    if (name[0] == '\0')
        return BRIPC_BADARG;
    if (proc_by_name(name) >= 0)
        return BRIPC_COLLISION;
    int slot = ca->ca_proc;
    oskd_service_t *sv = service_by_name(name);
    int rc;
    if (sv == nullptr) {
        for (int i = 0; i < OSKD_MAX_SERVICES && sv == nullptr; i++)
            if (!oskd.st_services[i].sv_used)
                sv = &oskd.st_services[i];
        if (sv == nullptr)
            return BRIPC_FAIL;
        memset(sv, 0, sizeof(*sv));
        sv->sv_used = 1;
        memcpy(sv->sv_name, name, sizeof(sv->sv_name));
        sv->sv_ph = oskd.st_next_ph++;
        sv->sv_primary = slot;
        sv->sv_primary_gen = me(ca)->pr_gen;
        sv->sv_backup = -1;
        rc = BRIPC_PRIMARY;
        oskd_log("%s: registered on node %d by pid %d", name, ca->ca_node, (int)ca->ca_pid);
    } else if (is_primary_of(sv, slot)) {
        rc = BRIPC_PRIMARY;
    } else if (is_backup_of(sv, slot)) {
        rc = 0;
    } else if (sv->sv_backup < 0) {
        sv->sv_backup = slot;
        sv->sv_backup_gen = me(ca)->pr_gen;
        sv->sv_seq++;
        rc = 0; /* registered as backup */
    } else {
        return BRIPC_DUP;
    }
    oskd_changed();
    return put_u32(ca, hk->arg2, sv->sv_ph) < 0 ? HK_FAULT : rc;
}

/* Returns 0 once the caller is primary of the name, registering it as
 * primary or backup first; waits one slice while it is backup. */
static int hk_get_ph_wait(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    int rc = hk_register(ca, hk);
    if (rc == BRIPC_PRIMARY)
        return 0;
    if (rc != 0)
        return rc;
    if (oskd_wait(ca, OSKD_SLICE_MS) < 0)
        return OSKD_HANGUP;
    char name[BRIPC_NAME_LEN + 1];
    if (get_name(ca, hk->arg1, name) < 0)
        return HK_FAULT;
    oskd_service_t *sv = service_by_name(name);
    return sv != nullptr && is_primary_of(sv, ca->ca_proc) ? 0 : BRIPC_NOPRIMARY;
}

static int hk_backup(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    char name[BRIPC_NAME_LEN + 1];
    if (get_name(ca, hk->arg1, name) < 0)
        return HK_FAULT;
    oskd_service_t *sv = service_by_name(name);
    if (sv == nullptr || sv->sv_backup < 0)
        return BRIPC_NOPHANDLE;
    return put_u32(ca, hk->arg2, own_handle(&oskd.st_procs[sv->sv_backup])) < 0 ? HK_FAULT : 0;
}

static int hk_is_primary(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    bripc_ph_t ph = (bripc_ph_t)hk->arg1;
    oskd_service_t *sv = service_by_ph(ph);
    if (sv != nullptr)
        return is_primary_of(sv, ca->ca_proc);
    return me(ca)->pr_ph == ph && ph != 0;
}

static int hk_is_backup(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    oskd_service_t *sv = service_by_ph((bripc_ph_t)hk->arg1);
    return sv != nullptr && is_backup_of(sv, ca->ca_proc);
}

static int hk_ph_info(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    bripc_ph_t ph = (bripc_ph_t)hk->arg1;
    bripc_phinfo_t pi;
    memset(&pi, 0, sizeof(pi));
    oskd_service_t *sv = service_by_ph(ph);
    if (sv != nullptr) {
        pi.pi_seq = sv->sv_seq;
        if (sv->sv_primary >= 0) {
            pi.pi_primary = own_handle(&oskd.st_procs[sv->sv_primary]);
            pi.pi_primary_pid = oskd.st_procs[sv->sv_primary].pr_pid;
        }
        if (sv->sv_backup >= 0) {
            pi.pi_backup = own_handle(&oskd.st_procs[sv->sv_backup]);
            pi.pi_backup_pid = oskd.st_procs[sv->sv_backup].pr_pid;
        }
    } else {
        int s = proc_by_ph(ph);
        if (s < 0)
            return BRIPC_NOPHANDLE;
        pi.pi_primary = ph;
        pi.pi_primary_pid = oskd.st_procs[s].pr_pid;
    }
    return put(ca, hk->arg2, &pi, sizeof(pi)) < 0 ? HK_FAULT : 0;
}

static int hk_set_limit(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    bripc_ph_t ph = (bripc_ph_t)hk->arg1;
    oskd_proc_t *p = me(ca);
    if (ph != p->pr_ph && service_by_ph(ph) == nullptr)
        return BRIPC_NOPHANDLE;
    p->pr_snd_limit = (int)hk->arg2;
    p->pr_rcv_limit = (int)hk->arg3;
    return 0;
}

static int hk_debug(const oskd_caller_t *ca, const osk_krn_hook_t *)
{
    for (int i = 0; i < OSKD_MAX_SERVICES; i++) {
        const oskd_service_t *sv = &oskd.st_services[i];
        if (sv->sv_used)
            oskd_log("debug from %d:%d: name %s handle 0x%x primary slot %d backup slot %d",
                     ca->ca_node, (int)ca->ca_pid, sv->sv_name, sv->sv_ph, sv->sv_primary,
                     sv->sv_backup);
    }
    return 0;
}

/* IPC: messages */

/* Copies the caller's list of count buffer descriptors into bl. */
static int read_buff_list(const oskd_caller_t *ca, uint64_t list, uint64_t count,
                          bripc_buff_t bl[OSKD_MAX_SG])
{
    if (count > OSKD_MAX_SG)
        return BRIPC_BADARG;
    if (oskd_mem_read(ca->ca_pid, list, bl, sizeof(bl[0]) * count) < 0)
        return HK_FAULT;
    return 0;
}

/* Reads a buffer list and the data it names into one allocation. */
static int gather(const oskd_caller_t *ca, uint64_t list, uint64_t count, uint8_t **data,
                  size_t *len)
{
    *data = nullptr;
    *len = 0;
    if (count == 0 || list == 0)
        return 0;
    bripc_buff_t bl[OSKD_MAX_SG];
    int rc = read_buff_list(ca, list, count, bl);
    if (rc != 0)
        return rc;
    size_t total = 0;
    for (uint64_t i = 0; i < count; i++) {
        if (bl[i].msg_len64 < 0)
            return BRIPC_BADARG;
        total += (size_t)bl[i].msg_len64 * BRIPC_UNIT;
    }
    if (total > OSKD_MAX_MSG_DATA)
        return BRIPC_SEND_LM;
    if (total == 0)
        return 0;
    uint8_t *buf = (uint8_t *)malloc(total);
    if (buf == nullptr)
        return BRIPC_FAIL;
    size_t off = 0;
    for (uint64_t i = 0; i < count; i++) {
        size_t n = (size_t)bl[i].msg_len64 * BRIPC_UNIT;
        if (oskd_mem_read(ca->ca_pid, (uint64_t)(uintptr_t)bl[i].msg_buff, buf + off, n) < 0) {
            free(buf);
            return HK_FAULT;
        }
        off += n;
    }
    *data = buf;
    *len = total;
    return 0;
}

/* Copies data into the caller's buffer list; returns the bytes copied. */
static int scatter(const oskd_caller_t *ca, uint64_t list, uint64_t count, const uint8_t *data,
                   size_t len)
{
    if (count == 0 || list == 0 || len == 0)
        return 0;
    bripc_buff_t bl[OSKD_MAX_SG];
    int rc = read_buff_list(ca, list, count, bl);
    if (rc != 0)
        return rc;
    size_t off = 0;
    for (uint64_t i = 0; i < count && off < len; i++) {
        if (bl[i].msg_len64 < 0)
            return BRIPC_BADARG;
        size_t n = (size_t)bl[i].msg_len64 * BRIPC_UNIT;
        if (n > len - off)
            n = len - off;
        if (oskd_mem_write(ca->ca_pid, (uint64_t)(uintptr_t)bl[i].msg_buff, data + off, n) < 0)
            return HK_FAULT;
        off += n;
    }
    return (int)off;
}

static oskd_txn_t *txn_find(uint32_t id, oskd_txn_t ***linkp)
{
    for (oskd_txn_t **link = &oskd.st_txns; *link != nullptr; link = &(*link)->tx_next)
        if ((*link)->tx_id == id) {
            if (linkp != nullptr)
                *linkp = link;
            return *link;
        }
    return nullptr;
}

static void txn_unlink_free(oskd_txn_t **link)
{
    oskd_txn_t *t = *link;
    *link = t->tx_next;
    free(t->tx_req);
    free(t->tx_rep);
    free(t);
}

static int hk_send(const oskd_caller_t *ca, const osk_krn_hook_t *hk, int noreply)
{
    bripc_ph_t ph = (bripc_ph_t)hk->arg1;
    int to;
    oskd_service_t *sv = service_by_ph(ph);
    if (sv != nullptr) {
        if (sv->sv_primary < 0)
            return BRIPC_NOPRIMARY;
        to = sv->sv_primary;
    } else {
        to = proc_by_ph(ph);
        if (to < 0)
            return BRIPC_PH_GONE;
    }
    bripc_msg_t msg;
    if (oskd_mem_read(ca->ca_pid, hk->arg2, &msg, sizeof(msg)) < 0)
        return HK_FAULT;
    uint8_t *data;
    size_t len;
    int rc = gather(ca, hk->arg3, hk->arg4, &data, &len);
    if (rc != 0)
        return rc;

    oskd_txn_t *t = (oskd_txn_t *)calloc(1, sizeof(*t));
    if (t == nullptr) {
        free(data);
        return BRIPC_FAIL;
    }
    oskd_proc_t *p = me(ca);
    t->tx_id = oskd.st_next_id++;
    t->tx_state = TXN_QUEUED;
    t->tx_noreply = noreply;
    t->tx_from = ca->ca_proc;
    t->tx_from_gen = p->pr_gen;
    t->tx_to = to;
    t->tx_to_gen = oskd.st_procs[to].pr_gen;
    t->tx_dst_ph = ph;
    t->tx_code = msg.msg_code & ~BRIPC_REPLY;
    t->tx_ver = msg.msg_ver;
    t->tx_usr_reason = msg.usr_reason;
    t->tx_tag = (uint64_t)(uintptr_t)msg.msg_tag;
    t->tx_src_addr = BRIPC_ADDR(ca->ca_node, ca->ca_pid);
    t->tx_dst_addr = BRIPC_ADDR(oskd.st_procs[to].pr_node, oskd.st_procs[to].pr_pid);
    t->tx_req = data;
    t->tx_req_len = len;

    msg.msg_id = t->tx_id;
    msg.msg_src = t->tx_src_addr;
    msg.msg_dst = t->tx_dst_addr;
    if (oskd_mem_write(ca->ca_pid, hk->arg2, &msg, sizeof(msg)) < 0) {
        free(data);
        free(t);
        return HK_FAULT;
    }
    oskd_txn_t **link = &oskd.st_txns;
    while (*link != nullptr)
        link = &(*link)->tx_next;
    *link = t;
    oskd_changed();
    return 0;
}

static int hk_request(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    return hk_send(ca, hk, 0);
}

static int hk_send_msg(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    return hk_send(ca, hk, 1);
}

/* The first message for the caller: a request to it (on handle ph when ph
 * is not 0) or a reply to one of its requests. */
static oskd_txn_t *next_for(int slot, uint32_t gen, bripc_ph_t ph)
{
    for (oskd_txn_t *t = oskd.st_txns; t != nullptr; t = t->tx_next) {
        if (t->tx_state == TXN_QUEUED && t->tx_to == slot && t->tx_to_gen == gen &&
            (ph == 0 || t->tx_dst_ph == ph))
            return t;
        if (t->tx_state == TXN_REPLIED && t->tx_from == slot && t->tx_from_gen == gen && ph == 0)
            return t;
    }
    return nullptr;
}

static int listen_common(const oskd_caller_t *ca, uint64_t msgaddr, bripc_ph_t ph, int flags,
                         int timeout_ms)
{
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    oskd_proc_t *p = me(ca);
    for (;;) {
        oskd_txn_t *t = next_for(ca->ca_proc, p->pr_gen, ph);
        if (t == nullptr && p->pr_dead)
            return BR_NODE_DOWN;
        if (t != nullptr) {
            bripc_msg_t m;
            memset(&m, 0, sizeof(m));
            m.msg_id = t->tx_id;
            m.msg_src = t->tx_src_addr;
            m.msg_dst = t->tx_dst_addr;
            m.msg_ver = t->tx_ver;
            m.msg_sg_cnt = 1;
            if (t->tx_state == TXN_QUEUED) {
                m.msg_code = t->tx_code;
                m.msg_size64 = (int)(t->tx_req_len / BRIPC_UNIT);
                m.usr_reason = t->tx_usr_reason;
                m.sys_reason = t->tx_sys_reason;
            } else {
                m.msg_code = t->tx_code | BRIPC_REPLY;
                m.msg_size64 = (int)(t->tx_rep_len / BRIPC_UNIT);
                m.usr_reason = t->tx_usr_reason;
                m.sys_reason = t->tx_sys_reason;
                m.msg_tag = (void *)(uintptr_t)t->tx_tag;
            }
            if (oskd_mem_write(ca->ca_pid, msgaddr, &m, sizeof(m)) < 0)
                return HK_FAULT;
            t->tx_state = t->tx_state == TXN_QUEUED ? TXN_DELIVERED : TXN_REPLY_DELIVERED;
            if ((t->tx_from < 0 && t->tx_state == TXN_DELIVERED) ||
                (t->tx_state == TXN_REPLY_DELIVERED && t->tx_sys_reason != 0)) {
                /* A daemon notice, or a request the kernel failed: nothing
                 * more will be read or answered. */
                oskd_txn_t **link;
                if (txn_find(t->tx_id, &link) != nullptr)
                    txn_unlink_free(link);
            }
            return 0;
        }
        if (!(flags & BRIPC_LISTEN_BLOCK))
            return BRIPC_BLOCKED;
        int left = OSKD_SLICE_MS;
        if (timeout_ms >= 0) {
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            long spent =
                (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
            if (spent >= timeout_ms)
                return BR_TIMEOUT;
            if (timeout_ms - spent < left)
                left = (int)(timeout_ms - spent);
        }
        if (oskd_wait(ca, left) < 0)
            return OSKD_HANGUP;
    }
}

static int hk_listen(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    return listen_common(ca, hk->arg1, 0, (int)hk->arg2, (int)(intptr_t)hk->arg3);
}

static int hk_listen_ph(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    bripc_ph_t ph = (bripc_ph_t)hk->arg2;
    if (ph == 0)
        return BRIPC_BADARG;
    return listen_common(ca, hk->arg1, ph, (int)hk->arg3, (int)(intptr_t)hk->arg4);
}

static int hk_read_request(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    oskd_txn_t *t = txn_find((uint32_t)hk->arg1, nullptr);
    if (t == nullptr || t->tx_state != TXN_DELIVERED || t->tx_to != ca->ca_proc)
        return 0; /* nothing to read: zero bytes */
    int n = scatter(ca, hk->arg2, hk->arg3, t->tx_req, t->tx_req_len);
    return n < 0 && n != HK_FAULT ? 0 : n;
}

static int hk_reply(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    oskd_txn_t **link;
    oskd_txn_t *t = txn_find((uint32_t)hk->arg1, &link);
    if (t == nullptr)
        return 0; /* the sender went away or cancelled: nobody to tell */
    if (t->tx_state != TXN_DELIVERED || t->tx_to != ca->ca_proc)
        return BRIPC_BADARG;
    if (t->tx_noreply) {
        txn_unlink_free(link);
        oskd_changed();
        return 0;
    }
    uint8_t *data;
    size_t len;
    int rc = gather(ca, hk->arg3, hk->arg4, &data, &len);
    if (rc != 0)
        return rc;
    free(t->tx_rep);
    t->tx_rep = data;
    t->tx_rep_len = len;
    t->tx_usr_reason = (int)hk->arg2;
    t->tx_sys_reason = 0;
    t->tx_state = TXN_REPLIED;
    oskd_changed();
    return 0;
}

static int hk_read_reply(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    oskd_txn_t **link;
    oskd_txn_t *t = txn_find((uint32_t)hk->arg1, &link);
    if (t == nullptr || t->tx_from != ca->ca_proc ||
        (t->tx_state != TXN_REPLIED && t->tx_state != TXN_REPLY_DELIVERED))
        return 0;
    int n = scatter(ca, hk->arg2, hk->arg3, t->tx_rep, t->tx_rep_len);
    if (n == HK_FAULT)
        return n;
    txn_unlink_free(link);
    return n < 0 ? 0 : n;
}

static int hk_cancel(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    oskd_txn_t **link;
    oskd_txn_t *t = txn_find((uint32_t)hk->arg1, &link);
    if (t == nullptr || t->tx_from != ca->ca_proc)
        return BRIPC_BADARG;
    txn_unlink_free(link);
    oskd_changed();
    return 0;
}

/* Cluster API */

static int hk_my_node(const oskd_caller_t *ca, const osk_krn_hook_t *)
{
    return ca->ca_node;
}

static int hk_my_incn(const oskd_caller_t *ca, const osk_krn_hook_t *)
{
    return (int)oskd.st_nodes[ca->ca_node].nd_incn;
}

static int hk_master(const oskd_caller_t *, const osk_krn_hook_t *)
{
    return oskd.st_master;
}

static int hk_prev_master(const oskd_caller_t *, const osk_krn_hook_t *)
{
    return oskd.st_prev_master;
}

static int hk_start_time(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    uint64_t t = (uint64_t)oskd.st_start_time;
    size_t n = hk->arg2 < sizeof(t) ? (size_t)hk->arg2 : sizeof(t);
    return put(ca, hk->arg1, &t, n) < 0 ? HK_FAULT : 0;
}

static int hk_read_cstate(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    cstate_t cs;
    memset(&cs, 0, sizeof(cs));
    cs.cs_mynode = (node_t)ca->ca_node;
    cs.cs_master = oskd.st_master < 0 ? 0xFF : (node_t)oskd.st_master;
    cs.cs_online = oskd_online_mask();
    cs.cs_state = oskd.st_nodes[ca->ca_node].nd_online ? 1 : 0;
    for (int n = 0; n < oskd.st_nnodes; n++) {
        cs.cs_node_incns[n] = oskd.st_nodes[n].nd_incn;
        cs.cs_node_recn[n] = oskd.st_nodes[n].nd_recn;
        cs.cs_recn_mask[n] = cs.cs_online;
    }
    cs.cs_start_time = (uint64_t)oskd.st_start_time;
    cs.cs_upgr_state = (uint32_t)oskd.st_upgrade;
    cs.cs_upgr_group = oskd.st_upgr_group;
    return put(ca, hk->arg1, &cs, sizeof(cs)) < 0 ? HK_FAULT : 0;
}

static int hk_hw_up(const oskd_caller_t *, const osk_krn_hook_t *)
{
    return oskd_present_mask();
}

static int hk_alive(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    cluster_t m = oskd_online_mask();
    int cnt = __builtin_popcount(m);
    return put(ca, hk->arg1, &cnt, sizeof(cnt)) < 0 ? HK_FAULT : (int)m;
}

static int hk_state(const oskd_caller_t *ca, const osk_krn_hook_t *)
{
    return oskd.st_nodes[ca->ca_node].nd_online ? 1 : 0;
}

static int hk_incn(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    osk_clus_t cl;
    memset(&cl, 0, sizeof(cl));
    cl.cl_incn = oskd.st_nodes[ca->ca_node].nd_incn;
    cl.cl_recn = oskd.st_nodes[ca->ca_node].nd_recn;
    cl.cl_online = oskd_online_mask();
    cl.cl_master = oskd.st_master < 0 ? 0xFF : (node_t)oskd.st_master;
    return put(ca, hk->arg1, &cl, sizeof(cl)) < 0 ? HK_FAULT : 0;
}

static int hk_recn(const oskd_caller_t *, const osk_krn_hook_t *hk)
{
    if (hk->arg1 >= (uint64_t)oskd.st_nnodes)
        return -1;
    return (int)oskd.st_nodes[hk->arg1].nd_recn;
}

static int hk_zero(const oskd_caller_t *, const osk_krn_hook_t *)
{
    return 0;
}

static int hk_recn_mask(const oskd_caller_t *, const osk_krn_hook_t *)
{
    return oskd_online_mask();
}

static int hk_wait_upgrade(const oskd_caller_t *ca, const osk_krn_hook_t *)
{
    while (oskd.st_upgrade)
        if (oskd_wait(ca, OSKD_SLICE_MS) < 0)
            return OSKD_HANGUP;
    return 0;
}

static int hk_in_upgrade(const oskd_caller_t *, const osk_krn_hook_t *)
{
    return oskd.st_upgrade;
}

/* The upgrade ends when every node online at its start has left and
 * rejoined, or when it is aborted. */
static int hk_start_upgrade(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    cluster_t exp = (cluster_t)hk->arg1;
    cluster_t online = oskd_online_mask();
    if (oskd.st_upgrade)
        return TE_INUSE;
    if (exp == 0 || (exp & ~online) != 0)
        return TE_INVALID;
    oskd.st_upgrade = 1;
    oskd.st_upgr_group = exp;
    oskd.st_upgr_pending = online;
    oskd_log("rolling upgrade started from node %d, expedition 0x%x", ca->ca_node, exp);
    oskd_changed();
    return 0;
}

static int hk_abort_upgrade(const oskd_caller_t *, const osk_krn_hook_t *)
{
    if (!oskd.st_upgrade)
        return TE_INVALID;
    oskd.st_upgrade = 0;
    oskd.st_upgr_group = 0;
    oskd.st_upgr_pending = 0;
    oskd_changed();
    return 0;
}

static int hk_wait_master(const oskd_caller_t *ca, const osk_krn_hook_t *)
{
    if (oskd.st_master != ca->ca_node && oskd_wait(ca, OSKD_SLICE_MS) < 0)
        return OSKD_HANGUP;
    return 0;
}

#define HOOK_TABLE_SIZE 128

static hook_handler_t hook_table[HOOK_TABLE_SIZE];
static pthread_once_t hook_once = PTHREAD_ONCE_INIT;

static void hook_table_init(void)
{
    hook_table[HOOK_CL_MY_NODE] = hk_my_node;
    hook_table[HOOK_CL_MY_INCN] = hk_my_incn;
    hook_table[HOOK_CL_MASTER] = hk_master;
    hook_table[HOOK_CL_PREV_MASTER] = hk_prev_master;
    hook_table[HOOK_CL_START_TIME] = hk_start_time;
    hook_table[HOOK_CL_READ_CSTATE] = hk_read_cstate;
    hook_table[HOOK_CL_HW_NODES_UP] = hk_hw_up;
    hook_table[HOOK_CL_NODES_ALIVE] = hk_alive;
    hook_table[HOOK_CL_INNER_ALIVE] = hk_alive;
    hook_table[HOOK_CL_STATE] = hk_state;
    hook_table[HOOK_CL_INCN] = hk_incn;
    hook_table[HOOK_CL_RECN] = hk_recn;
    hook_table[HOOK_CL_MANUFACTURING] = hk_zero;
    hook_table[HOOK_CL_HW_NODES_PON] = hk_hw_up;
    hook_table[HOOK_CL_RECN_MASK] = hk_recn_mask;
    hook_table[HOOK_CL_WAIT_UPGRADE] = hk_wait_upgrade;
    hook_table[HOOK_CL_IN_UPGRADE] = hk_in_upgrade;
    hook_table[HOOK_CL_START_UPGRADE] = hk_start_upgrade;
    hook_table[HOOK_CL_ABORT_UPGRADE] = hk_abort_upgrade;
    hook_table[HOOK_CL_WAIT_MASTER] = hk_wait_master;
    hook_table[HOOK_CL_WAIT_LCKSTEP] = hk_zero;
    hook_table[HOOK_CL_CBIOS_INFO] = oskd_hk_cbios_info;
    hook_table[HOOK_BR_READ_REGS] = oskd_hk_read_regs;
    hook_table[HOOK_IPC_GET_PH] = hk_get_ph;
    hook_table[HOOK_IPC_FIND_PH] = hk_find_ph;
    hook_table[HOOK_IPC_DEBUG] = hk_debug;
    hook_table[HOOK_IPC_PH_INFO] = hk_ph_info;
    hook_table[HOOK_IPC_PH_BACKUP] = hk_backup;
    hook_table[HOOK_IPC_IS_PRIMARY] = hk_is_primary;
    hook_table[HOOK_IPC_IS_BACKUP] = hk_is_backup;
    hook_table[HOOK_IPC_REQUEST] = hk_request;
    hook_table[HOOK_IPC_LISTEN] = hk_listen;
    hook_table[HOOK_IPC_READ_REQUEST] = hk_read_request;
    hook_table[HOOK_IPC_REPLY] = hk_reply;
    hook_table[HOOK_IPC_READ_REPLY] = hk_read_reply;
    hook_table[HOOK_IPC_CANCEL] = hk_cancel;
    hook_table[HOOK_IPC_REGISTER] = hk_register;
    hook_table[HOOK_IPC_GET_PH_WAIT] = hk_get_ph_wait;
    hook_table[HOOK_IPC_SET_LIMIT] = hk_set_limit;
    hook_table[HOOK_IPC_SEND_MSG] = hk_send_msg;
    hook_table[HOOK_IPC_LISTEN_PH] = hk_listen_ph;
}

static int is_ipc_hook(int hook)
{
    return hook >= HOOK_IPC_GET_PH && hook <= HOOK_IPC_LISTEN_PH;
}

/* What was already delivered to a process stays its own when its node
 * leaves: it may still take a reply that arrived before (a node asked to
 * shut itself down reads the answer while it goes down). Reads give a byte
 * count, never a status. */
static int is_receive_hook(int hook)
{
    return hook == HOOK_IPC_LISTEN || hook == HOOK_IPC_LISTEN_PH || hook == HOOK_IPC_READ_REQUEST ||
           hook == HOOK_IPC_READ_REPLY;
}

int oskd_hook_request(const oskd_caller_t *ca, osk_krn_hook_t *hk, int *err)
{
    pthread_once(&hook_once, hook_table_init);
    hook_handler_t h = hk->hook >= 0 && hk->hook < HOOK_TABLE_SIZE ? hook_table[hk->hook] : nullptr;
    if (h == nullptr) {
        *err = EINVAL; /* an unknown hook fails the ioctl, as the module does */
        return -1;
    }
    pthread_mutex_lock(&oskd_lock);
    int rc;
    if (is_ipc_hook(hk->hook) && me(ca)->pr_dead && !is_receive_hook(hk->hook))
        rc = BR_NODE_DOWN; /* its node left the cluster: its handles are gone */
    else
        rc = h(ca, hk);
    pthread_mutex_unlock(&oskd_lock);
    if (rc == OSKD_HANGUP)
        return rc;
    if (rc == HK_FAULT) {
        *err = EFAULT;
        return -1;
    }
    hk->result = rc;
    return 0;
}
