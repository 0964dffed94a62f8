/*
 * Kernel IPC hook calls. See bripc.h.
 */
#include <string.h>

#include "bripc.h"
#include "krn_hook.h"
#include "osk_errcode.h"
#include "osk_runtime.h"
#include "osk_banned.h"

/* At most BRIPC_NAME_LEN characters of name, NUL-terminated. */
static void cut_name(char *dst, const char *name)
{
    size_t n = osk_strnlen(name, BRIPC_NAME_LEN);
    memcpy(dst, name, n);
    dst[n] = '\0';
}

/* A hook call about a named handle: a null name has no handle to find. */
static int named_hook(int hook, const char *name, bripc_ph_t *ph)
{
    if (name == nullptr)
        return BRIPC_NOPHANDLE;
    char nm[BRIPC_NAME_LEN + 1];
    cut_name(nm, name);
    return osk_krn_hook(hook, HK_ARG(nm), HK_ARG(ph), 0, 0);
}

int bripc_get_phandle(char *name, bripc_ph_t *ph)
{
    if (name == nullptr)
        return osk_krn_hook(HOOK_IPC_GET_PH, 0, HK_ARG(ph), 0, 0);
    char nm[BRIPC_NAME_LEN + 1];
    cut_name(nm, name);
    int empty = nm[0] == '\0';
    int rc = osk_krn_hook(HOOK_IPC_GET_PH, HK_ARG(nm), HK_ARG(ph), 0, 0);
    if (rc == BRIPC_COLLISION)
        rc = BRIPC_DUP;
    if (empty)
        memcpy(name, nm, sizeof(nm)); /* the name the kernel gave us */
    return rc;
}

int bripc_get_phandle_wait(const char *name, bripc_ph_t *ph)
{
    if (name == nullptr || name[0] == '@')
        return BRIPC_NOPHANDLE;
    char nm[BRIPC_NAME_LEN + 1];
    cut_name(nm, name);
    while (osk_krn_hook(HOOK_IPC_GET_PH_WAIT, HK_ARG(nm), HK_ARG(ph), 0, 0) != 0)
        ;
    return 0;
}

int bripc_set_limit(bripc_ph_t ph, int snd_limit, int rcv_limit)
{
    return osk_krn_hook(HOOK_IPC_SET_LIMIT, ph, HK_ARG(snd_limit), HK_ARG(rcv_limit), 0);
}

int bripc_find_phandle(const char *name, bripc_ph_t *ph)
{
    return named_hook(HOOK_IPC_FIND_PH, name, ph);
}

int bripc_debug(void)
{
    return osk_krn_hook(HOOK_IPC_DEBUG, 0, 0, 0, 0);
}

int bripc_phandle_backup(const char *name, bripc_ph_t *ph)
{
    return named_hook(HOOK_IPC_PH_BACKUP, name, ph);
}

int bripc_phandle_info(bripc_ph_t ph, uint32_t *seq, int lookup, bripc_ph_t *pri, bripc_ph_t *bk,
                       int *pri_pid, int *bk_pid)
{
    bripc_phinfo_t pi;
    memset(&pi, 0, sizeof(pi));
    int rc = osk_krn_hook(HOOK_IPC_PH_INFO, ph, HK_ARG(&pi), HK_ARG(lookup), 0);
    if (rc != 0)
        return rc;
    if (seq != nullptr)
        *seq = pi.pi_seq;
    if (pri != nullptr)
        *pri = pi.pi_primary;
    if (bk != nullptr)
        *bk = pi.pi_backup;
    if (pri_pid != nullptr)
        *pri_pid = pi.pi_primary_pid;
    if (bk_pid != nullptr)
        *bk_pid = pi.pi_backup_pid;
    return 0;
}

int bripc_register_phandle(const char *name, bripc_ph_t *ph)
{
    return named_hook(HOOK_IPC_REGISTER, name, ph);
}

int bripc_is_primary(bripc_ph_t ph)
{
    return osk_krn_hook(HOOK_IPC_IS_PRIMARY, ph, 0, 0, 0);
}

int bripc_is_backup(bripc_ph_t ph)
{
    return osk_krn_hook(HOOK_IPC_IS_BACKUP, ph, 0, 0, 0);
}

int bripc_request(bripc_ph_t req_ph, bripc_msg_t *msg, bripc_buff_t *req, int req_cnt)
{
    return osk_krn_hook(HOOK_IPC_REQUEST, req_ph, HK_ARG(msg), HK_ARG(req), HK_ARG(req_cnt));
}

int bripc_send_msg(bripc_ph_t req_ph, uint32_t msg_code, uint32_t msg_ver, bripc_buff_t *req,
                   int req_cnt, int do_cpy)
{
    bripc_msg_t msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_code = msg_code;
    msg.msg_ver = msg_ver;
    if (req != nullptr) {
        OSK_ASSERT(do_cpy == 1);
        for (int i = 0; i < req_cnt; i++)
            msg.msg_size64 += req[i].msg_len64;
    }
    return osk_krn_hook(HOOK_IPC_SEND_MSG, req_ph, HK_ARG(&msg), HK_ARG(req),
                        HK_ARG(req != nullptr ? req_cnt : 0));
}

int bripc_listen(bripc_msg_t *msg, int flag, int timeout)
{
    flag |= BRIPC_LISTEN_ANY;
    int rc;
    do {
        rc = osk_krn_hook(HOOK_IPC_LISTEN, HK_ARG(msg), HK_ARG(flag), HK_ARG(timeout), 0);
    } while (rc == BRIPC_BLOCKED && (flag & BRIPC_LISTEN_BLOCK));
    return rc;
}

int bripc_listen_phandle(bripc_msg_t *msg, bripc_ph_t ph, int flag, int timeout)
{
    flag |= BRIPC_LISTEN_ANY;
    int rc;
    do {
        rc = osk_krn_hook(HOOK_IPC_LISTEN_PH, HK_ARG(msg), ph, HK_ARG(flag), HK_ARG(timeout));
    } while (rc == BRIPC_BLOCKED && (flag & BRIPC_LISTEN_BLOCK));
    return rc;
}

int bripc_read_request(uint32_t msgid, bripc_buff_t *req, int req_cnt)
{
    return osk_krn_hook(HOOK_IPC_READ_REQUEST, msgid, HK_ARG(req), HK_ARG(req_cnt), 0);
}

int bripc_reply(uint32_t msgid, int reason, bripc_buff_t *data, int cnt)
{
    uint64_t reply64 = 0;
    for (int i = 0; data != nullptr && i < cnt; i++)
        reply64 += (uint64_t)data[i].msg_len64;
    OSK_ASSERT((reply64 << XCB_SIZE_SHIFT) <= BR_TOTAL_BIG_SG_MAX);
    return osk_krn_hook(HOOK_IPC_REPLY, msgid, HK_ARG(reason), HK_ARG(data),
                        HK_ARG(data != nullptr ? cnt : 0));
}

int bripc_read_reply(uint32_t msgid, bripc_buff_t *reply, int reply_cnt)
{
    return osk_krn_hook(HOOK_IPC_READ_REPLY, msgid, HK_ARG(reply),
                        HK_ARG(reply != nullptr ? reply_cnt : 0), 0);
}

int bripc_cancel_request(uint32_t msgid)
{
    return osk_krn_hook(HOOK_IPC_CANCEL, msgid, 0, 0, 0);
}

void bripc_log_recv(const bripc_msg_t *m, int rc)
{
    log_message(4,
                "Recv msgid 0x%x, msg_code 0x%x, msg_ver 0x%x, tag %p\nmsg_size64 %d, "
                "usr_reason 0x%x, sys_reason 0x%x, retval 0x%x\n",
                m->msg_id, m->msg_code, m->msg_ver, m->msg_tag, m->msg_size64,
                (unsigned)m->usr_reason, (unsigned)m->sys_reason, (unsigned)rc);
}
