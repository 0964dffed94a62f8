/*
 * The IPC client layer: one request and its reply at a time per thread,
 * matched through the tag that points at the sender's shadow header.
 */
#include <stdlib.h>
#include <string.h>

#include "bripc.h"
#include "osk_errcode.h"
#include "osk_runtime.h"
#include "osk_banned.h"

bripc_ph_t get_ph(void)
{
    bripc_ph_t ph = 0;
    return bripc_get_phandle(nullptr, &ph) == 0 ? ph : BRIPC_NO_PH;
}

static size_t units_of(size_t len)
{
    return (len + BRIPC_UNIT - 1) / BRIPC_UNIT;
}

/* Sends buf (len64 units, may be null) with a fresh shadow as its tag. The
 * shadow keeps the sent header, with `keep` in its tag slot to be freed
 * when the reply arrives. Returns the message id, 0 on failure. */
static uint32_t send_with_shadow(bripc_ph_t ph, void *buf, int len64, uint32_t code, uint32_t ver,
                                 void *keep, int fail_level, const char *fail_fmt)
{
    log_message_init();
    bripc_msg_t msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_code = code;
    msg.msg_ver = ver;
    msg.usr_reason = 0;
    msg.msg_size64 = len64;
    bripc_msg_t *shadow = (bripc_msg_t *)calloc(1, sizeof(bripc_msg_t));
    OSK_ASSERT(shadow != nullptr);
    msg.msg_tag = shadow;

    bripc_buff_t b = {buf, len64};
    int rc = bripc_request(ph, &msg, buf != nullptr ? &b : nullptr, buf != nullptr ? 1 : 0);
    memcpy(shadow, &msg, sizeof(msg));
    shadow->msg_tag = keep;
    if (rc != 0) {
        log_message(fail_level, fail_fmt, rc);
        free(shadow->msg_tag);
        free(shadow);
        return 0;
    }
    log_message(4, "Sent message with code 0x%x\n", code);
    return msg.msg_id;
}

uint32_t send_message(bripc_ph_t ph, const void *data, size_t len, uint32_t code, uint32_t ver)
{
    void *buf = nullptr;
    size_t units = units_of(len);
    if (len > 0) {
        buf = calloc(units, BRIPC_UNIT);
        OSK_ASSERT(buf != nullptr);
        memcpy(buf, data, len);
    }
    return send_with_shadow(ph, buf, (int)units, code, ver, buf, 2,
                            "Error sending message: (%x)\n");
}

uint32_t send_message_allocated(bripc_ph_t ph, void *buf, int datalen_64, uint32_t code,
                                uint32_t ver)
{
    OSK_ASSERT(datalen_64 > 0);
    return send_with_shadow(ph, buf, datalen_64, code, ver, nullptr, 4,
                            "PM: Error sending message: (%x)\n");
}

/* Waits for the reply to this thread's request. Returns its header (to be
 * freed), or null when the wait failed or the kernel failed the request. */
static bripc_msg_t *get_and_validate_reply(void)
{
    bripc_msg_t *msg = (bripc_msg_t *)malloc(sizeof(bripc_msg_t));
    OSK_ASSERT(msg != nullptr);
    for (;;) {
        memset(msg, 0, sizeof(*msg));
        int rc = bripc_listen(msg, BRIPC_LISTEN_BLOCK, -1);
        bripc_log_recv(msg, rc);
        if (rc != 0) {
            free(msg);
            return nullptr;
        }
        bripc_msg_t *shadow = (bripc_msg_t *)msg->msg_tag;
        if (shadow != nullptr) {
            if (msg->msg_code != (shadow->msg_code | BRIPC_REPLY))
                osk_panic("Received message with incorrect message code (0x%x not 0x%x).  "
                          "msg=0x%p\n",
                          msg->msg_code, shadow->msg_code | BRIPC_REPLY, (void *)msg);
            if (msg->msg_ver != shadow->msg_ver)
                osk_panic("Received message with incorrect message version (0x%x not 0x%x).  "
                          "msg=0x%p\n",
                          msg->msg_ver, shadow->msg_ver, (void *)msg);
            if (msg->msg_id != shadow->msg_id)
                osk_panic("Received message with incorrect message ID (0x%x not 0x%x).  "
                          "msg=0x%p\n",
                          msg->msg_id, shadow->msg_id, (void *)msg);
            free(shadow->msg_tag);
            free(shadow);
            if (msg->sys_reason == 0)
                return msg;
            free(msg);
            return nullptr;
        }
        if (msg->msg_code & BRIPC_REPLY)
            osk_panic("Received reply message with a NULL tag.  msg=0x%p\n", (void *)msg);
        log_message(2,
                    "Received request message when expecting a reply; msg_code=0x%x, "
                    "msg_ver=%d, msg_src_nid=%d, msg_src_pid=%d, msg_size64=%d; discarding it\n",
                    msg->msg_code, (int)msg->msg_ver, (int)BRIPC_ADDR_NODE(msg->msg_src),
                    (int)BRIPC_ADDR_PID(msg->msg_src), msg->msg_size64);
        (void)bripc_reply(msg->msg_id, BRIPC_REASON_NOT_NOW, nullptr, 0);
    }
}

int get_reply(void *buf, int datalen_64)
{
    log_message_init();
    bripc_msg_t *msg = get_and_validate_reply();
    if (msg == nullptr) {
        log_message(2, "Error in get_reply: %p\n", buf);
        return 1;
    }
    if (buf != nullptr) {
        OSK_ASSERT(msg->msg_size64 == datalen_64);
        OSK_ASSERT(msg->msg_size64 != 0);
        bripc_buff_t b = {buf, datalen_64};
        int n = bripc_read_reply(msg->msg_id, &b, 1);
        if (n != msg->msg_size64 * BRIPC_UNIT) {
            log_message(4, "Error from bripc_read_reply: msg: %p\n", (void *)msg);
            free(msg);
            return 1;
        }
    } else {
        OSK_ASSERT(datalen_64 == 0);
        OSK_ASSERT(msg->msg_size64 == 0);
        (void)bripc_read_reply(msg->msg_id, nullptr, 0);
    }
    free(msg);
    return 0;
}

int alloc_and_get_reply(void **buf, size_t *len)
{
    log_message_init();
    *buf = nullptr;
    *len = 0;
    bripc_msg_t *msg = get_and_validate_reply();
    if (msg == nullptr) {
        log_message(2, "Error in get_reply: %p\n", (void *)buf);
        return 1;
    }
    if (msg->msg_size64 <= 0) {
        (void)bripc_read_reply(msg->msg_id, nullptr, 0);
        log_message(4, "Error in alloc_and_get_reply. len: %d\n", msg->msg_size64);
        free(msg);
        return 1;
    }
    size_t bytes = (size_t)msg->msg_size64 * BRIPC_UNIT;
    void *data = malloc(bytes);
    OSK_ASSERT(data != nullptr);
    bripc_buff_t b = {data, msg->msg_size64};
    int n = bripc_read_reply(msg->msg_id, &b, 1);
    if (n < 0 || (size_t)n != bytes) {
        log_message(4, "Error from bripc_read_reply: %p\n", (void *)msg);
        free(data);
        free(msg);
        return 1;
    }
    free(msg);
    *buf = data;
    *len = bytes;
    return 0;
}

int send_reply(uint32_t msgid, const void *data, size_t len)
{
    if (len == 0 || data == nullptr)
        return bripc_reply(msgid, BRIPC_REASON_OK, nullptr, 0);
    size_t units = units_of(len);
    void *buf = calloc(units, BRIPC_UNIT);
    OSK_ASSERT(buf != nullptr);
    memcpy(buf, data, len);
    bripc_buff_t b = {buf, (int)units};
    int rc = bripc_reply(msgid, BRIPC_REASON_OK, &b, 1);
    free(buf);
    return rc;
}

int send_reply_allocated(uint32_t msgid, void *buf, int len64)
{
    bripc_buff_t b = {buf, len64};
    return bripc_reply(msgid, BRIPC_REASON_OK, buf != nullptr ? &b : nullptr, buf != nullptr);
}

void messages_init(messages_t *q)
{
    osk_mutex_init(&q->mq_lock);
    osk_cv_init(&q->mq_cv);
    q->mq_head = nullptr;
    q->mq_tail = nullptr;
}

void messages_put(messages_t *q, msg_elem_t *e)
{
    e->me_next = nullptr;
    osk_mutex_enter(&q->mq_lock);
    if (q->mq_tail != nullptr)
        q->mq_tail->me_next = e;
    else
        q->mq_head = e;
    q->mq_tail = e;
    osk_cv_broadcast(&q->mq_cv);
    osk_mutex_exit(&q->mq_lock);
}

msg_elem_t *get_next_message(messages_t *q)
{
    osk_mutex_enter(&q->mq_lock);
    while (q->mq_head == nullptr)
        osk_cv_wait(&q->mq_cv, &q->mq_lock);
    msg_elem_t *e = q->mq_head;
    q->mq_head = e->me_next;
    if (q->mq_head == nullptr)
        q->mq_tail = nullptr;
    osk_mutex_exit(&q->mq_lock);
    e->me_next = nullptr;
    return e;
}
