/*
 * The IPC server framework: a receive loop feeding a processing thread
 * through a message queue, and the management-call server that hands each
 * request to a pool of threads.
 */
#include <stdlib.h>
#include <string.h>

#include "bripc.h"
#include "osk_errcode.h"
#include "osk_lock.h"
#include "osk_runtime.h"
#include "osk_banned.h"

#define GOBBLER_MAX_ERRORS 20
#define FAULT_SYS_REASON 38

int bripc_fault_count = 0;
uint32_t bripc_fault_opcode = 0;

typedef struct server_ctx {
    messages_t sc_queue;
    bripc_handler_t sc_handler;
    void *sc_arg;
} server_ctx_t;

static void *message_processor(void *p)
{
    server_ctx_t *ctx = (server_ctx_t *)p;
    (void)get_ph();
    for (;;) {
        msg_elem_t *e = get_next_message(&ctx->sc_queue);
        bripc_msg_t *msg = &e->me_msg;
        OSK_ASSERT((msg->msg_code & BRIPC_REPLY) == 0);
        size_t bytes = (size_t)msg->msg_size64 * BRIPC_UNIT;
        void *data = bytes > 0 ? malloc(bytes) : nullptr;
        OSK_ASSERT(bytes == 0 || data != nullptr);
        bripc_buff_t b = {data, msg->msg_size64};
        int n = bytes > 0 ? bripc_read_request(msg->msg_id, &b, 1) : 0;
        if (n >= 0 && (size_t)n == bytes)
            ctx->sc_handler(msg, data, ctx->sc_arg);
        else
            log_message(3, "Error from bripc_read_request: 0x%x\n", (unsigned)n);
        free(data);
        free(e);
    }
}

/* The receive loop: good requests are queued; failures are answered and
 * counted, and a long run of them means the stream is broken. */
[[noreturn]] static void message_gobbler(server_ctx_t *ctx)
{
    int errors = 0;
    for (;;) {
        msg_elem_t *e = (msg_elem_t *)calloc(1, sizeof(msg_elem_t));
        OSK_ASSERT(e != nullptr);
        bripc_msg_t *msg = &e->me_msg;
        int rc = bripc_listen(msg, BRIPC_LISTEN_BLOCK, -1);
        bripc_log_recv(msg, rc);
        if (rc == 0 && msg->sys_reason == BRIPC_PRIMARY) {
            (void)bripc_reply(msg->msg_id, 0, nullptr, 0);
            free(e);
            continue;
        }
        if (rc == 0 && bripc_fault_count > 0 && msg->msg_code == bripc_fault_opcode) {
            bripc_fault_count--;
            msg->sys_reason = FAULT_SYS_REASON;
        }
        if (rc == 0 && msg->sys_reason == 0) {
            messages_put(&ctx->sc_queue, e);
            errors = 0;
            continue;
        }
        log_message(1, "Error in received message : %d, %d\n", rc, msg->sys_reason);
        errors++;
        if (rc == 0)
            (void)bripc_reply(msg->msg_id, BRIPC_REASON_OK, nullptr, 0);
        free(e);
        if (errors > GOBBLER_MAX_ERRORS)
            osk_panic("message processor: too many errors\n");
    }
}

void start_server_arg(bripc_handler_t handler, void *arg)
{
    log_message_init();
    server_ctx_t *ctx = (server_ctx_t *)calloc(1, sizeof(server_ctx_t));
    OSK_ASSERT(ctx != nullptr);
    messages_init(&ctx->sc_queue);
    ctx->sc_handler = handler;
    ctx->sc_arg = arg;
    if (osk_thread_create(message_processor, ctx) == 0)
        osk_panic("Could not create thread\n");
    message_gobbler(ctx);
}

void start_server(bripc_handler_t handler)
{
    start_server_arg(handler, nullptr);
}

int return_when_primary(const char *name, bripc_ph_t *ph, int *flag)
{
    int rc = bripc_get_phandle_wait(name, ph);
    if (flag != nullptr)
        *flag = rc == 0;
    return rc;
}

/* Management-call server: a pool of at most pl_max threads, started as
 * requests find every thread busy. */

typedef struct pool_job {
    struct pool_job *pj_next;
    bripc_msg_t pj_msg;
    void *pj_data;
    uint32_t pj_seq;
} pool_job_t;

typedef struct mcall_pool {
    const char *pl_name;
    osk_mutex_t pl_lock;
    osk_cv_t pl_cv;
    pool_job_t *pl_head;
    pool_job_t *pl_tail;
    int pl_max;
    int pl_threads;
    int pl_idle;
    uint32_t pl_seq;
    mcall_server_cb_t pl_cb;
    void *pl_arg;
} mcall_pool_t;

static void *pool_worker(void *p)
{
    mcall_pool_t *pl = (mcall_pool_t *)p;
    osk_thread_change_name(pl->pl_name);
    for (;;) {
        osk_mutex_enter(&pl->pl_lock);
        pl->pl_idle++;
        while (pl->pl_head == nullptr)
            osk_cv_wait(&pl->pl_cv, &pl->pl_lock);
        pl->pl_idle--;
        pool_job_t *j = pl->pl_head;
        pl->pl_head = j->pj_next;
        if (pl->pl_head == nullptr)
            pl->pl_tail = nullptr;
        osk_mutex_exit(&pl->pl_lock);

        void *reply = nullptr;
        pl->pl_cb(&j->pj_msg, j->pj_data, &reply, pl->pl_arg, j->pj_seq);
        free(reply);
        free(j->pj_data);
        free(j);
    }
}

/* Queues one request; 0, or -1 when no thread can take it. */
static int pool_dispatch(mcall_pool_t *pl, const bripc_msg_t *msg, const void *data)
{
    pool_job_t *j = (pool_job_t *)calloc(1, sizeof(pool_job_t));
    if (j == nullptr)
        return -1;
    j->pj_msg = *msg;
    size_t bytes = (size_t)msg->msg_size64 * BRIPC_UNIT;
    if (bytes > 0) {
        j->pj_data = malloc(bytes);
        if (j->pj_data == nullptr) {
            free(j);
            return -1;
        }
        memcpy(j->pj_data, data, bytes);
    }
    osk_mutex_enter(&pl->pl_lock);
    j->pj_seq = pl->pl_seq++;
    if (pl->pl_tail != nullptr)
        pl->pl_tail->pj_next = j;
    else
        pl->pl_head = j;
    pl->pl_tail = j;
    int rc = 0;
    if (pl->pl_idle == 0 && pl->pl_threads < pl->pl_max) {
        if (osk_thread_create_detached(pool_worker, pl) != 0)
            pl->pl_threads++;
        else if (pl->pl_threads == 0)
            rc = -1; /* nobody will ever take it */
    }
    osk_cv_signal(&pl->pl_cv);
    osk_mutex_exit(&pl->pl_lock);
    return rc;
}

static void mcall_dispatch(bripc_msg_t *msg, void *data, void *arg)
{
    if (pool_dispatch((mcall_pool_t *)arg, msg, data) != 0)
        osk_panic("Failed to dispatch a thread to handle PR messages.\n");
}

void mcall_start_server(const char *svr_name, int retry_becoming_server, int maxthreads,
                        mcall_server_cb_t cb, void *arg)
{
    log_message_init();
    bripc_ph_t ph = 0;
    int rc = bripc_register_phandle(svr_name, &ph);
    if (rc != BRIPC_PRIMARY) {
        if (!retry_becoming_server)
            osk_panic("Unable to get %s process handle:\n0x%x (%s)", svr_name, (unsigned)rc,
                      findtext(texlat, rc));
        int flag = 0;
        int prc = return_when_primary(svr_name, &ph, &flag);
        if (prc != 0)
            osk_panic("mcall server: could not become primary : %d.", prc);
    }
    mcall_pool_t *pl = (mcall_pool_t *)calloc(1, sizeof(mcall_pool_t));
    OSK_ASSERT(pl != nullptr);
    pl->pl_name = "mcall_handler";
    osk_mutex_init(&pl->pl_lock);
    osk_cv_init(&pl->pl_cv);
    pl->pl_max = maxthreads > 0 ? maxthreads : 1;
    pl->pl_cb = cb;
    pl->pl_arg = arg;
    start_server_arg(mcall_dispatch, pl);
}
