/*
 * Kernel IPC: named process handles and request/reply messages between
 * processes on any node of the cluster, over the kernel hook.
 *
 * Layers, lowest first:
 *
 * 1. bripc_*: one hook call each. Names are cut to 7 characters; a null
 *    name gives BRIPC_NOPHANDLE without a call (bripc_get_phandle excepted:
 *    null asks for the caller's own handle). Read calls return bytes moved,
 *    the others a status (0 success, osk_errcode.h).
 *
 * 2. The client layer: send_message() copies the data into whole 64-byte
 *    units and sends it with a shadow header as its tag; get_reply() or
 *    alloc_and_get_reply() waits for the reply, checks that it answers that
 *    request (a mismatch is a corrupted stream: panic) and reads its data.
 *    One outstanding request per thread. A request that arrives while a
 *    thread waits for a reply is refused at once with reason 28.
 *
 * 3. The server framework: start_server_arg() never returns; its thread
 *    receives messages and queues them, a processing thread reads each
 *    request's data and calls the handler, which answers with send_reply().
 *    mcall_start_server() registers a name first (waiting to become primary
 *    when asked to) and hands each request to a pool of threads.
 *
 * log_message must be usable: the layers call log_message_init() themselves.
 */
#ifndef BRIPC_H
#define BRIPC_H

#include <stddef.h>
#include <stdint.h>

#include "osk_hook.h"
#include "osk_lock.h"

/* 1. Hook calls */

int bripc_get_phandle(char *name, bripc_ph_t *ph); /* name "": the kernel names it (8 bytes back) */
int bripc_get_phandle_wait(const char *name, bripc_ph_t *ph);
int bripc_set_limit(bripc_ph_t ph, int snd_limit, int rcv_limit);
int bripc_find_phandle(const char *name, bripc_ph_t *ph);
int bripc_debug(void);
int bripc_phandle_backup(const char *name, bripc_ph_t *ph);
int bripc_phandle_info(bripc_ph_t ph, uint32_t *seq, int lookup, bripc_ph_t *pri, bripc_ph_t *bk,
                       int *pri_pid, int *bk_pid);
int bripc_register_phandle(const char *name, bripc_ph_t *ph); /* BRIPC_PRIMARY, or 0 as backup */
int bripc_is_primary(bripc_ph_t ph);
int bripc_is_backup(bripc_ph_t ph);
int bripc_request(bripc_ph_t req_ph, bripc_msg_t *msg, bripc_buff_t *req, int req_cnt);
int bripc_send_msg(bripc_ph_t req_ph, uint32_t msg_code, uint32_t msg_ver, bripc_buff_t *req,
                   int req_cnt, int do_cpy);
int bripc_listen(bripc_msg_t *msg, int flag, int timeout);
int bripc_listen_phandle(bripc_msg_t *msg, bripc_ph_t ph, int flag, int timeout);
int bripc_read_request(uint32_t msgid, bripc_buff_t *req, int req_cnt);
int bripc_reply(uint32_t msgid, int reason, bripc_buff_t *data, int cnt);
int bripc_read_reply(uint32_t msgid, bripc_buff_t *reply, int reply_cnt);
int bripc_cancel_request(uint32_t msgid);

/* Traces a received message at level 4 (log_message). */
void bripc_log_recv(const bripc_msg_t *m, int rc);

/* 2. Client layer */

#define BRIPC_NO_PH ((bripc_ph_t)-1)
#define BRIPC_REASON_OK 1       /* reply reason of send_reply */
#define BRIPC_REASON_NOT_NOW 28 /* refusing a request while awaiting a reply */

typedef struct msg_elem {
    bripc_msg_t me_msg;
    struct msg_elem *me_next;
} msg_elem_t;

typedef struct messages {
    osk_mutex_t mq_lock;
    osk_cv_t mq_cv;
    msg_elem_t *mq_head;
    msg_elem_t *mq_tail;
} messages_t;

bripc_ph_t get_ph(void); /* this process's handle, or BRIPC_NO_PH */
uint32_t send_message(bripc_ph_t ph, const void *data, size_t len, uint32_t code, uint32_t ver);
uint32_t send_message_allocated(bripc_ph_t ph, void *buf, int datalen_64, uint32_t code,
                                uint32_t ver);
int get_reply(void *buf, int datalen_64);         /* 0 success, 1 failure */
int alloc_and_get_reply(void **buf, size_t *len); /* 0 success; *buf from malloc */
int send_reply(uint32_t msgid, const void *data, size_t len);
int send_reply_allocated(uint32_t msgid, void *buf, int len64);

void messages_init(messages_t *q);
void messages_put(messages_t *q, msg_elem_t *e);
msg_elem_t *get_next_message(messages_t *q); /* waits while the queue is empty */

/* 3. Server framework */

typedef void (*bripc_handler_t)(bripc_msg_t *msg, void *data, void *arg);
typedef void (*mcall_server_cb_t)(bripc_msg_t *msg, void *data, void **reply, void *arg,
                                  uint32_t seq);

[[noreturn]] void start_server(bripc_handler_t handler);
[[noreturn]] void start_server_arg(bripc_handler_t handler, void *arg);
int return_when_primary(const char *name, bripc_ph_t *ph, int *flag);
[[noreturn]] void mcall_start_server(const char *svr_name, int retry_becoming_server,
                                     int maxthreads, mcall_server_cb_t cb, void *arg);

/* Fault injection of the receive loop: the next bripc_fault_count messages
 * with code bripc_fault_opcode arrive as failed (sys_reason 38). */
extern int bripc_fault_count;
extern uint32_t bripc_fault_opcode;

#endif
