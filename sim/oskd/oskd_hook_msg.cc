/*
 * The kernel hook: IPC messages. A request is queued for its receiver,
 * delivered when it listens, answered, and the reply delivered to the
 * sender when it listens; read_reply ends the transaction.
 */
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "osk_errcode.h"
#include "oskd_hook.h"
#include "osk_banned.h"

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
    oskd_hk_target_t dst;
    if (oskd_hk_find(nullptr, ph, &dst) < 0)
        return BRIPC_PH_GONE;
    if (dst.ht_slot < 0)
        return BRIPC_NOPRIMARY;
    int to = dst.ht_slot;
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
    oskd_proc_t *p = oskd_hk_me(ca);
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
    oskd_wake(to);
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
 * is not 0), unless it stepped down (a negative receive limit), or a reply
 * to one of its requests. */
static oskd_txn_t *next_for(int slot, uint32_t gen, bripc_ph_t ph)
{
    int takes_requests = oskd.st_procs[slot].pr_rcv_limit >= 0;
    for (oskd_txn_t *t = oskd.st_txns; t != nullptr; t = t->tx_next) {
        if (t->tx_state == TXN_QUEUED && takes_requests && t->tx_to == slot &&
            t->tx_to_gen == gen && (ph == 0 || t->tx_dst_ph == ph))
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
    oskd_proc_t *p = oskd_hk_me(ca);
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
        if (oskd_wait_msg(ca, left) < 0)
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
        txn_unlink_free(link); /* its sender waits for nothing */
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
    oskd_wake(t->tx_from);
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
    txn_unlink_free(link); /* nobody waits for a request to go */
    return 0;
}

void oskd_hook_msg_init(hook_handler_t table[HOOK_TABLE_SIZE])
{
    table[HOOK_IPC_REQUEST] = hk_request;
    table[HOOK_IPC_LISTEN] = hk_listen;
    table[HOOK_IPC_READ_REQUEST] = hk_read_request;
    table[HOOK_IPC_REPLY] = hk_reply;
    table[HOOK_IPC_READ_REPLY] = hk_read_reply;
    table[HOOK_IPC_CANCEL] = hk_cancel;
    table[HOOK_IPC_SEND_MSG] = hk_send_msg;
    table[HOOK_IPC_LISTEN_PH] = hk_listen_ph;
}
