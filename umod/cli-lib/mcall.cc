/*
 * Management-call records and one call over the kernel IPC. See
 * mcall_client.h.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bripc.h"
#include "mcall_client.h"
#include "osk_errcode.h"
#include "osk_runtime.h"
#include "osk_banned.h"

#define ROUND64(n) (((size_t)(n) + MCALL_ALIGN - 1) & ~(size_t)(MCALL_ALIGN - 1))

/* Ordered by first opcode; a scan stops at the first range above the
 * opcode. */
static const struct {
    uint32_t first, last;
    const char *name;
} svr_table[] = {
    {MC_MANGLER_FIRST, MC_MANGLER_LAST, "OSKMCAL"},
    {MC_MCALLHDLR_FIRST, MC_MCALLHDLR_LAST, "MCHDLR"},
    {MCTS_FIRST, MCTS_LAST, "TSMCALL"},
    {MC_FILTER_FIRST, MC_FILTER_LAST, "MCFILT"},
    {MC_NET_FIRST, MC_NET_LAST, "MCNETC"},
};

const char *mcall_to_svrname(uint32_t opcode)
{
    for (const auto &s : svr_table) {
        if (s.first > opcode)
            return nullptr;
        if (opcode <= s.last)
            return s.name;
    }
    return nullptr;
}

static void copy_callerid(mcall_t *rec)
{
    per_thread_buffer_t *p = get_thread_specific_buffer();
    if (p != nullptr)
        snprintf(rec->mc_callerid, sizeof rec->mc_callerid, "%.31s", p->callerid);
}

mcall_t *mcall_alloc(uint32_t opcode, uint32_t size)
{
    OSK_ASSERT(size >= sizeof(mcall_t));
    size_t alloc = ROUND64(size);
    mcall_t *rec = (mcall_t *)calloc(1, alloc);
    OSK_ASSERT(rec != nullptr);
    rec->mc_opcode = opcode;
    rec->mc_size = size;
    rec->mc_bufsize = (uint32_t)alloc;
    copy_callerid(rec);
    per_thread_buffer_t *p = get_thread_specific_buffer();
    if (p != nullptr && p->reuse_buffer) {
        p->buffer = rec;
        p->bufsize = (unsigned)alloc;
    }
    return rec;
}

void mcall_init(mcall_t **rec, uint32_t opcode, uint32_t size)
{
    per_thread_buffer_t *p = get_thread_specific_buffer();
    OSK_ASSERT(p != nullptr && p->buffer != nullptr);
    mcall_t *b = p->buffer;
    OSK_ASSERT(b->mc_bufsize >= MC_INIT_BUFSIZE);
    if (size > b->mc_bufsize) {
        size_t alloc = ROUND64(size);
        b = (mcall_t *)realloc(b, alloc);
        OSK_ASSERT(b != nullptr);
        b->mc_bufsize = (uint32_t)alloc;
        p->buffer = b;
        p->bufsize = (unsigned)alloc;
    }
    b->mc_opcode = opcode;
    b->mc_size = size;
    b->mc_status = TE_PASS;
    b->mc_ertxt[0] = '\0';
    memset(b->mc_callerid, 0, sizeof b->mc_callerid);
    copy_callerid(b);
    *rec = b;
}

void mcall_free(mcall_t *rec)
{
    per_thread_buffer_t *p = get_thread_specific_buffer();
    if (p != nullptr && p->buffer == rec && rec != nullptr) {
        p->buffer = nullptr;
        p->bufsize = 0;
    }
    free(rec);
}

int oskmcall(mcall_t **recp)
{
    OSK_ASSERT(recp != nullptr && *recp != nullptr);
    mcall_t *rec = *recp;
    OSK_ASSERT(rec->mc_size >= sizeof(mcall_t));
    OSK_ASSERT(rec->mc_bufsize >= rec->mc_size);

    bripc_ph_t self;
    (void)bripc_get_phandle(nullptr, &self);

    const char *name = mcall_to_svrname(rec->mc_opcode);
    if (name == nullptr)
        return TE_FAIL;
    bripc_ph_t server;
    int rc = bripc_find_phandle(name, &server);
    if (rc != 0) {
        snprintf(rec->mc_ertxt, sizeof rec->mc_ertxt, "Could not find request handler: %s",
                 findtext(texlat, rc));
        return rc;
    }

    bripc_msg_t msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_code = rec->mc_opcode;
    msg.msg_ver = MCALL_VERSION;
    msg.msg_size64 = (int)(ROUND64(rec->mc_size) / BRIPC_UNIT);
    msg.usr_reason = (int)rec->mc_bufsize; /* room offered for the reply */
    msg.msg_tag = rec;
    bripc_buff_t desc = {rec, msg.msg_size64};
    rc = bripc_request(server, &msg, &desc, 1);
    if (rc != 0) {
        rec->mc_status = rc;
        snprintf(rec->mc_ertxt, sizeof rec->mc_ertxt, "bripc_request failed: %s",
                 findtext(texlat, rc));
        return rc;
    }
    rc = bripc_listen(&msg, BRIPC_LISTEN_BLOCK, -1);
    if (rc != 0) {
        rec->mc_status = rc;
        snprintf(rec->mc_ertxt, sizeof rec->mc_ertxt, "bripc_listen failed: %s",
                 findtext(texlat, rc));
        return rc;
    }
    OSK_ASSERT(msg.msg_code == (rec->mc_opcode | BRIPC_REPLY));
    OSK_ASSERT(msg.msg_tag == rec);
    if (msg.usr_reason == TE_INVALID && msg.msg_size64 == 0)
        osk_death("%s has a different mcall version than we do!", name);

    size_t reply_bytes = (size_t)msg.msg_size64 * BRIPC_UNIT;
    size_t alloc = rec->mc_bufsize;
    if (reply_bytes > alloc) {
        rec = (mcall_t *)realloc(rec, reply_bytes);
        OSK_ASSERT(rec != nullptr);
        alloc = reply_bytes;
        *recp = rec;
    }
    bripc_buff_t rdesc = {rec, msg.msg_size64};
    int got = bripc_read_reply(msg.msg_id, &rdesc, 1);
    if ((size_t)(got < 0 ? 0 : got) != reply_bytes || got < 0) {
        OSK_ASSERT(got == 0);
        rec->mc_status = BRIPC_FAIL;
        snprintf(rec->mc_ertxt, sizeof rec->mc_ertxt, "bripc_read_reply failed: %s",
                 findtext(texlat, BRIPC_FAIL));
        return BRIPC_FAIL;
    }
    rec->mc_bufsize = (uint32_t)alloc;
    if (msg.sys_reason != 0) {
        snprintf(rec->mc_ertxt, sizeof rec->mc_ertxt, "Brant IPC transport error: %s",
                 findtext(texlat, msg.sys_reason));
        rec->mc_status = msg.sys_reason;
    } else {
        if (msg.usr_reason != 0 && msg.msg_size64 == 0 && rec->mc_status == 0) {
            snprintf(rec->mc_ertxt, sizeof rec->mc_ertxt, "Brant IPC user transport error: %d",
                     msg.usr_reason);
            rec->mc_status = msg.usr_reason;
        }
        OSK_ASSERT(msg.usr_reason == rec->mc_status);
    }
    return rec->mc_status;
}

int mc_ping(mcall_t **recp)
{
    mcall_t *own = nullptr;
    mcall_t **rp = recp;
    if (recp != nullptr)
        mcall_init(recp, MC_PING, sizeof(mcping_t));
    else {
        own = mcall_alloc(MC_PING, sizeof(mcping_t));
        rp = &own;
    }
    int rc = oskmcall(rp);
    if (rc != 0) {
        fprintf(stderr, "oskmcall MC_PING function failed --\n%s\n", (*rp)->mc_ertxt);
    } else {
        uint32_t v = ((mcping_t *)*rp)->mp_version;
        if (v != MCALL_VERSION) {
            fprintf(stderr,
                    "oskmcall MC_PING reports version %u, but I was compiled with version %u\n", v,
                    (unsigned)MCALL_VERSION);
            rc = TE_INVALID;
        }
    }
    if (own != nullptr)
        mcall_free(own);
    return rc;
}

int oskmopen(mcall_t **rec, int ping)
{
    bripc_ph_t self;
    int rc = bripc_get_phandle(nullptr, &self);
    if (rc != 0 && rc != BRIPC_DUP && rc != BRIPC_ASSIGNED)
        return rc;
    return ping ? mc_ping(rec) : 0;
}
