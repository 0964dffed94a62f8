/*
 * PR file service client: file operations sent to the PR server by its
 * kernel IPC name. Every operation of the process goes through one client
 * thread, in arrival order (one outstanding IPC request per thread); the
 * caller blocks on its own queue element. The state, transition, sync and
 * stop requests are sent from the caller's thread. The wrappers at the end
 * change or read one string-keyed entry and post an event when they fail.
 */
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bripc.h"
#include "em.h"
#include "osk_lock.h"
#include "osk_runtime.h"
#include "pr_lib.h"
#include "sc_ioctl.h"

#include "osk_banned.h"

typedef struct pr_qelem {
    void *msg;
    size_t msglen;
    uint32_t msgcode;
    osk_mutex_t lock;
    osk_cv_t cv;
    int done;
    int err;
    void *reply;
    size_t replylen;
    struct pr_qelem *next;
} pr_qelem_t;

static struct {
    osk_mutex_t lock;
    osk_cv_t cv;
    pr_qelem_t *head;
    pr_qelem_t *tail;
} pr_queue;

static int mod_init;
static bripc_ph_t server_ph; /* 0 until found */
static int retry_cnt;        /* failed sends since the last good one */
static const int retry_cnt_max = 5;
static const unsigned sleep_time = 5; /* seconds between send attempts */

static bripc_ph_t get_server_handle(int retry)
{
    while (server_ph == 0) {
        bripc_ph_t ph;
        if (bripc_find_phandle(PR_SVR_NAME, &ph) == 0) {
            server_ph = ph;
            break;
        }
        if (!retry)
            break;
        osk_print("PR: ");
        osk_print("PR client: not found server 0x%x\n", (unsigned)ph);
        osk_milli_sleep(1000);
    }
    return server_ph;
}

/* Sends one request and waits for its answer: 0 and the reply, or
 * PR_EIO. */
static int pr_transact(const void *msg, size_t msglen, uint32_t msgcode, void **reply,
                       size_t *replylen)
{
    for (;;) {
        bripc_ph_t ph = get_server_handle(0);
        if (ph == 0)
            return PR_EIO;
        uint32_t id = send_message(ph, msg, msglen, PR_MSGCODE(msgcode), 0);
        if (id != 0) {
            retry_cnt = 0;
            break;
        }
        server_ph = 0; /* the server may have moved: look it up again */
        if (++retry_cnt > retry_cnt_max)
            return PR_EIO;
        sleep(sleep_time);
    }
    return alloc_and_get_reply(reply, replylen) == 0 ? PR_SUCCESS : PR_EIO;
}

static void *pr_cl_message_processor(void *)
{
    (void)get_ph();
    for (;;) {
        osk_mutex_enter(&pr_queue.lock);
        while (pr_queue.head == nullptr)
            osk_cv_wait(&pr_queue.cv, &pr_queue.lock);
        pr_qelem_t *e = pr_queue.head;
        pr_queue.head = e->next;
        if (pr_queue.head == nullptr)
            pr_queue.tail = nullptr;
        osk_mutex_exit(&pr_queue.lock);

        void *reply = nullptr;
        size_t replylen = 0;
        int err = pr_transact(e->msg, e->msglen, e->msgcode, &reply, &replylen);
        osk_mutex_enter(&e->lock);
        e->reply = reply;
        e->replylen = replylen;
        e->err = err;
        e->done = 1;
        osk_cv_signal(&e->cv);
        osk_mutex_exit(&e->lock);
    }
    return nullptr;
}

void pr_init(void)
{
    if (mod_init)
        return;
    osk_mutex_init(&pr_queue.lock);
    osk_cv_init(&pr_queue.cv);
    pr_queue.head = pr_queue.tail = nullptr;
    log_message_init();
    em_producer_init();
    for (int i = 0; i < PR_LAST_ERR; i++)
        if (pr_errors[i].tx_code != i)
            osk_panic("PR error table invalid!\n");
    sc_open();
    /* The client thread's first hook call must not race ours to open the
     * device: it is opened above. */
    if (osk_thread_create_detached(pr_cl_message_processor, nullptr) < 1)
        osk_panic("Could not create pr_cl_message_processor thread!\n");
    mod_init = 1;
}

static int pr_dispatch(void *msg, size_t msglen, uint32_t msgcode, void **reply, size_t *replylen)
{
    OSK_ASSERT(mod_init == 1);
    pr_qelem_t e;
    memset(&e, 0, sizeof e);
    e.msg = msg;
    e.msglen = msglen;
    e.msgcode = msgcode;
    osk_mutex_init(&e.lock);
    osk_cv_init(&e.cv);
    osk_mutex_enter(&pr_queue.lock);
    if (pr_queue.tail != nullptr)
        pr_queue.tail->next = &e;
    else
        pr_queue.head = &e;
    pr_queue.tail = &e;
    osk_cv_signal(&pr_queue.cv);
    osk_mutex_exit(&pr_queue.lock);

    osk_mutex_enter(&e.lock);
    while (!e.done)
        osk_cv_wait(&e.cv, &e.lock);
    osk_mutex_exit(&e.lock);
    pthread_cond_destroy(&e.cv);
    *reply = e.reply;
    *replylen = e.replylen;
    return e.err;
}

/* Sends msg (freed here) and checks the reply's size; the reply's error,
 * with *reply kept for the caller (to free) only on success. */
static int pr_file_op(void *msg, size_t msglen, uint32_t msgcode, size_t reply_size, void **replyp)
{
    void *reply = nullptr;
    size_t replylen = 0;
    int err = pr_dispatch(msg, msglen, msgcode, &reply, &replylen);
    free(msg);
    if (err != PR_SUCCESS)
        return PR_EIO;
    OSK_ASSERT(replylen >= reply_size);
    int32_t error;
    memcpy(&error, reply, sizeof error);
    if (error == PR_SUCCESS && replyp != nullptr)
        *replyp = reply;
    else
        free(reply);
    return error;
}

static void set_name(char *field, const char *name)
{
    osk_strncpy(field, name, PR_FILE_NAME_LEN);
    field[PR_FILE_NAME_LEN - 1] = '\0';
}

int pr_read_file(const char *filename, void *buf, uint32_t *count, uint32_t pos, int *pr_state,
                 node_t *nid)
{
    pr_readfile_msg_t *m = (pr_readfile_msg_t *)malloc_or_die(sizeof *m);
    memset(m, 0, sizeof *m);
    set_name(m->fname, filename);
    m->pos = pos;
    m->count = *count;
    void *reply = nullptr;
    int err = pr_file_op(m, sizeof *m, PRCMD_READ_FILE, sizeof(pr_readfile_reply_t), &reply);
    if (err != PR_SUCCESS)
        return err;
    pr_readfile_reply_t *r = (pr_readfile_reply_t *)reply;
    uint32_t n = r->count < *count ? r->count : *count;
    memcpy(buf, r + 1, n);
    *count = n;
    if (pr_state != nullptr)
        *pr_state = r->pr_state;
    if (nid != nullptr)
        *nid = r->nid;
    free(reply);
    return PR_SUCCESS;
}

static int write_op(const char *filename, const void *buf, uint32_t *count, uint32_t pos,
                    int append, uint32_t *len, int sync_when_done)
{
    size_t size = sizeof(pr_writefile_msg_t) + *count;
    pr_writefile_msg_t *m = (pr_writefile_msg_t *)malloc_or_die(size);
    memset(m, 0, sizeof *m);
    set_name(m->fname, filename);
    m->append = append;
    m->pos = pos;
    m->count = *count;
    m->sync_when_done = sync_when_done;
    memcpy(m + 1, buf, *count);
    void *reply = nullptr;
    int err = pr_file_op(m, size, PRCMD_WRITE_FILE, sizeof(pr_writefile_reply_t), &reply);
    if (err != PR_SUCCESS)
        return err;
    pr_writefile_reply_t *r = (pr_writefile_reply_t *)reply;
    *count = r->count;
    if (len != nullptr)
        *len = r->len;
    free(reply);
    return PR_SUCCESS;
}

int pr_write_file(const char *filename, const void *buf, uint32_t *count, uint32_t pos,
                  int sync_when_done)
{
    return write_op(filename, buf, count, pos, 0, nullptr, sync_when_done);
}

int pr_append_file(const char *filename, const void *buf, uint32_t *count, uint32_t *len,
                   int sync_when_done)
{
    return write_op(filename, buf, count, 0, 1, len, sync_when_done);
}

static int name_op(const char *filename, uint32_t code)
{
    pr_fname_msg_t *m = (pr_fname_msg_t *)malloc_or_die(sizeof *m);
    memset(m, 0, sizeof *m);
    set_name(m->fname, filename);
    return pr_file_op(m, sizeof *m, code, sizeof(pr_error_reply_t), nullptr);
}

int pr_fsync_file(const char *filename)
{
    return name_op(filename, PRCMD_FSYNC_FILE);
}

int pr_remove_file(const char *filename)
{
    return name_op(filename, PRCMD_REMOVE_FILE);
}

static int two_names_op(const char *from, const char *to, uint32_t code)
{
    pr_twonames_msg_t *m = (pr_twonames_msg_t *)malloc_or_die(sizeof *m);
    memset(m, 0, sizeof *m);
    set_name(m->from, from);
    set_name(m->to, to);
    return pr_file_op(m, sizeof *m, code, sizeof(pr_error_reply_t), nullptr);
}

int pr_copy_file(const char *from, const char *to)
{
    return two_names_op(from, to, PRCMD_COPY_FILE);
}

int pr_rename_file(const char *from, const char *to)
{
    return two_names_op(from, to, PRCMD_RENAME_FILE);
}

int pr_roll_file(const char *filename, int num_files)
{
    pr_rollfile_msg_t *m = (pr_rollfile_msg_t *)malloc_or_die(sizeof *m);
    memset(m, 0, sizeof *m);
    set_name(m->fname, filename);
    m->num_files = num_files;
    return pr_file_op(m, sizeof *m, PRCMD_ROLL_FILE, sizeof(pr_error_reply_t), nullptr);
}

int pr_get_length(const char *filename, uint32_t *length)
{
    pr_fname_msg_t *m = (pr_fname_msg_t *)malloc_or_die(sizeof *m);
    memset(m, 0, sizeof *m);
    set_name(m->fname, filename);
    void *reply = nullptr;
    int err = pr_file_op(m, sizeof *m, PRCMD_GET_LENGTH, sizeof(pr_length_reply_t), &reply);
    if (err == PR_SUCCESS) {
        *length = ((pr_length_reply_t *)reply)->length;
        free(reply);
    }
    return err;
}

/* Requests sent from the caller's own thread. 0 and the reply, or -1 when
 * the server or the send is missing. */
static int direct(uint32_t code, const void *body, size_t len, void **reply, size_t *replylen)
{
    bripc_ph_t ph = get_server_handle(0);
    if (ph == 0 || send_message(ph, body, len, PR_MSGCODE(code), 0) == 0)
        return -1;
    if (alloc_and_get_reply(reply, replylen) != 0)
        *reply = nullptr;
    return 0;
}

int pr_get_state_node(node_t *nid)
{
    void *reply = nullptr;
    size_t len = 0;
    if (direct(PRCMD_GET_STATE, nullptr, 0, &reply, &len) < 0 || reply == nullptr ||
        len < sizeof(pr_state_reply_t)) {
        free(reply);
        return PR_STATE_UNREACHABLE;
    }
    pr_state_reply_t *r = (pr_state_reply_t *)reply;
    int state = r->state;
    if (nid != nullptr)
        *nid = r->nid;
    free(reply);
    return state;
}

int pr_get_state(void)
{
    return pr_get_state_node(nullptr);
}

int pr_wait_ready(int *state)
{
    for (int i = 0; i < 5; i++) {
        if (i > 0)
            sleep(5);
        *state = pr_get_state();
        if (*state == PR_STATE_READY_ADMIN || *state == PR_STATE_READY_IDE)
            return 1;
    }
    return 0;
}

static int first_word(uint32_t code, const void *body, size_t len)
{
    void *reply = nullptr;
    size_t rlen = 0;
    if (direct(code, body, len, &reply, &rlen) < 0)
        return PR_NO_SVR;
    int32_t w = PR_EIO;
    if (reply != nullptr && rlen >= sizeof w)
        memcpy(&w, reply, sizeof w);
    free(reply);
    return w;
}

int pr_transition_to_admin_vol(void)
{
    int32_t to = 0;
    return first_word(PRCMD_TRANSITION, &to, sizeof to);
}

int pr_transition_to_ide(void)
{
    int32_t to = 1;
    return first_word(PRCMD_TRANSITION, &to, sizeof to);
}

int pr_sync_ide(void)
{
    uint8_t me = ioctl_srcnid;
    return first_word(PRCMD_SYNC_IDE, &me, 1);
}

int pr_stop_on_node(node_t node)
{
    void *reply = nullptr;
    size_t len = 0;
    if (direct(PRCMD_STOP, &node, 1, &reply, &len) < 0)
        return PR_NO_SVR;
    int err = reply == nullptr ? PR_EIO : PR_SUCCESS;
    free(reply);
    return err;
}

int pr_stop(void)
{
    return pr_stop_on_node(8);
}

int pr_vv_setup(void)
{
    struct stat st;
    return stat("/dev/osk_vvadmin", &st) == 0;
}

/* Wrappers */

#define WRAPPER_FAILED(...)                                                                        \
    (void)evt_comp_printf(EVT_SEV_DEBUG, EVT_NOTIFY_CLASS, EVT_NOTIFY_COMP, COMP_UNDEFINED, 0,     \
                          COMP_UNDEFINED, 0, __VA_ARGS__)

int pr_wrapper_read(const char *table, const char *key, uint32_t buffer_size, void *buffer)
{
    char value[PR_MAX_VALUE];
    uint32_t len = 0;
    int err =
        pr_read_value_table(table, PR_LOOKUP_EXISTING, key, (uint32_t)strlen(key), value, &len);
    if (err != PR_SUCCESS) {
        WRAPPER_FAILED("pr_wrapper_read: pr_read_value: table %s: key %s -- %s\n", table, key,
                       pr_err_to_string(err));
        return 0;
    }
    if (len > buffer_size) {
        WRAPPER_FAILED("pr_wrapper_read: : table %s: key %s -- not enough buffer space, "
                       "allocated: %i needed: %i\n",
                       table, key, (int)buffer_size, (int)len);
        return 0;
    }
    memcpy(buffer, value, len);
    return 1;
}

/* One entry set (value) or removed (value null) in its own transaction. */
static int wrapper_change(const char *table, const char *key, uint32_t size, const void *value)
{
    const char *who = value != nullptr ? "pr_wrapper_write" : "pr_wrapper_remove";
    const char *lookup_who = value != nullptr ? "pr_wrapper_write" : "pr_wrapper_read";
    int state;
    if (!pr_wait_ready(&state)) {
        WRAPPER_FAILED("%s: pr_wait_ready: table %s: key %s -- state is %i, expecting %i or %i\n",
                       value != nullptr ? "pr_wrapper_write" : "pr_wrapper_read", table, key, state,
                       PR_STATE_READY_ADMIN, PR_STATE_READY_IDE);
        return 0;
    }
    pr_tableid t;
    int err = pr_lookup_table(table, PR_LOOKUP_CREATE, &t);
    if (err != PR_SUCCESS) {
        WRAPPER_FAILED("%s: pr_lookup_table: table %s: key %s -- %s\n", lookup_who, table, key,
                       pr_err_to_string(err));
        return 0;
    }
    int ok = 1;
    pr_transid x;
    err = pr_start_trans(&t, 1, PR_TRANS_RDWR, &x);
    if (err != PR_SUCCESS) {
        WRAPPER_FAILED("%s: pr_start_trans: table %s: key %s -- %s\n", lookup_who, table, key,
                       pr_err_to_string(err));
        ok = 0;
    } else {
        uint32_t keylen = (uint32_t)strlen(key);
        err = value != nullptr ? pr_set_entry(x, t, key, keylen, value, size)
                               : pr_remove_entry(x, t, key, keylen);
        if (err != PR_SUCCESS) {
            WRAPPER_FAILED("%s: %s: table %s: key %s -- %s\n", who,
                           value != nullptr ? "pr_set_entry" : "pr_remove_entry", table, key,
                           pr_err_to_string(err));
            ok = 0;
        }
        err = pr_commit_trans(x);
        if (err != PR_SUCCESS) {
            WRAPPER_FAILED("%s: pr_commit_trans: table %s: key %s -- %s\n", who, table, key,
                           pr_err_to_string(err));
            ok = 0;
        }
    }
    err = pr_release_table(t);
    if (err != PR_SUCCESS) {
        WRAPPER_FAILED("%s: pr_release_table: table %s: key %s -- %s\n", who, table, key,
                       pr_err_to_string(err));
        ok = 0;
    }
    return ok;
}

int pr_wrapper_write(const char *table, const char *key, uint32_t buffer_size, const void *buffer)
{
    return wrapper_change(table, key, buffer_size, buffer);
}

int pr_wrapper_remove(const char *table, const char *key)
{
    return wrapper_change(table, key, 0, nullptr);
}
