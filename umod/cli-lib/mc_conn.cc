/*
 * A thread's connection: its record, type and socket under thread-specific
 * keys, oskopen and the routing of oskcall. See mcall_client.h.
 */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "mcall_client.h"
#include "osk_errcode.h"
#include "osk_runtime.h"
#include "osk_banned.h"

static pthread_key_t per_thread_buffer_key;
static pthread_key_t per_thread_socket_key;
static pthread_key_t per_thread_conntype_key;
/* Plain flags: the first oskopen of the process runs before other threads
 * open (see the header). */
static int buffer_key_made;
static int data_keys_made;
static int versions_set;
static const mcall_socket_ops_t *socket_ops;

static void thread_exit_delete_buffer(void *v)
{
    per_thread_buffer_t *p = (per_thread_buffer_t *)v;
    if (p->reuse_buffer)
        free(p->buffer);
    free(p->wbuf);
    free(p->rbuf);
    if (p->vssl != nullptr && p->ssl_err_func != nullptr)
        p->ssl_err_func(p->vssl, p->ci, p->logged);
    free(p->ci);
    free(p);
}

static void thread_exit_close_socket(void *v)
{
    int *cell = (int *)v;
    if (*cell >= 0)
        close(*cell);
    free(cell);
}

static void thread_exit_delete_conntype(void *v)
{
    free(v);
}

void enable_per_thread_buffer(void)
{
    if (buffer_key_made)
        return;
    OSK_ASSERT(pthread_key_create(&per_thread_buffer_key, thread_exit_delete_buffer) == 0);
    buffer_key_made = 1;
}

void enable_per_thread_data(void)
{
    enable_per_thread_buffer();
    if (data_keys_made)
        return;
    OSK_ASSERT(pthread_key_create(&per_thread_socket_key, thread_exit_close_socket) == 0);
    OSK_ASSERT(pthread_key_create(&per_thread_conntype_key, thread_exit_delete_conntype) == 0);
    data_keys_made = 1;
}

per_thread_buffer_t *get_thread_specific_buffer(void)
{
    if (!buffer_key_made)
        return nullptr;
    return (per_thread_buffer_t *)pthread_getspecific(per_thread_buffer_key);
}

per_thread_buffer_t *init_thread_buffer(per_thread_buffer_t **out, int reuse)
{
    enable_per_thread_buffer();
    per_thread_buffer_t *p = (per_thread_buffer_t *)calloc(1, sizeof *p);
    OSK_ASSERT(p != nullptr);
    p->fd = -1;
    p->reuse_buffer = reuse ? 1 : 0;
    if (reuse) {
        p->buffer = (mcall_t *)calloc(1, MC_INIT_BUFSIZE);
        OSK_ASSERT(p->buffer != nullptr);
        p->bufsize = MC_INIT_BUFSIZE;
        p->buffer->mc_bufsize = MC_INIT_BUFSIZE;
        p->mcall_opened = 0;
    }
    OSK_ASSERT(pthread_setspecific(per_thread_buffer_key, p) == 0);
    if (out != nullptr)
        *out = p;
    return p;
}

mcall_t *get_init_buffer(int reuse)
{
    per_thread_buffer_t *p = get_thread_specific_buffer();
    if (p == nullptr)
        p = init_thread_buffer(nullptr, reuse);
    return p->buffer;
}

int *get_thread_conntype(void)
{
    if (!data_keys_made)
        return nullptr;
    return (int *)pthread_getspecific(per_thread_conntype_key);
}

int *init_thread_conntype(int **out)
{
    enable_per_thread_data();
    int *cell = get_thread_conntype();
    if (cell == nullptr) {
        cell = (int *)malloc(sizeof *cell);
        OSK_ASSERT(cell != nullptr);
        *cell = MCALL_LOCAL;
        OSK_ASSERT(pthread_setspecific(per_thread_conntype_key, cell) == 0);
    }
    if (out != nullptr)
        *out = cell;
    return cell;
}

int *get_thread_socket(void)
{
    enable_per_thread_data();
    int *cell = (int *)pthread_getspecific(per_thread_socket_key);
    if (cell == nullptr) {
        cell = (int *)malloc(sizeof *cell);
        OSK_ASSERT(cell != nullptr);
        *cell = -1;
        OSK_ASSERT(pthread_setspecific(per_thread_socket_key, cell) == 0);
    }
    return cell;
}

void mcall_set_socket_transport(const mcall_socket_ops_t *ops)
{
    socket_ops = ops;
    /* A transport installed after the first oskopen still handshakes with
     * the current versions: the process's initialisation runs now. */
    if (versions_set && ops != nullptr && ops->initialize != nullptr)
        ops->initialize();
}

static int init_thread_local_connection(int ping, const char *callerid)
{
    per_thread_buffer_t *p = get_thread_specific_buffer();
    OSK_ASSERT(p != nullptr);
    if (p->callerid[0] == '\0' && callerid != nullptr)
        snprintf(p->callerid, sizeof p->callerid, "%.31s", callerid);
    if (!p->reuse_buffer)
        return oskmopen(nullptr, ping);
    if (p->mcall_opened)
        return 0;
    int rc = oskmopen(&p->buffer, ping);
    if (rc == 0) {
        p->mcall_opened = 1;
        p->size = p->buffer->mc_size;
        p->bufsize = p->buffer->mc_bufsize;
    }
    return rc;
}

int oskopen(const char *callerid, int ping)
{
    if (!versions_set) {
        if (socket_ops != nullptr && socket_ops->initialize != nullptr)
            socket_ops->initialize();
        versions_set = 1;
    }
    enable_per_thread_data();
    if (get_thread_conntype() != nullptr)
        return 0;
    (void)init_thread_conntype(nullptr);
    (void)get_init_buffer(0);
    return init_thread_local_connection(ping, callerid);
}

static int socket_unavailable(mcall_t *rec)
{
    rec->mc_status = TE_FAIL;
    snprintf(rec->mc_ertxt, sizeof rec->mc_ertxt,
             "socket connections are not available in this build");
    return TE_FAIL;
}

int oskcall(mcall_t **hdr)
{
    OSK_ASSERT(hdr != nullptr && *hdr != nullptr);
    int *type = get_thread_conntype();
    per_thread_buffer_t *p = get_thread_specific_buffer();
    OSK_ASSERT(type != nullptr && p != nullptr);
    OSK_ASSERT(*type == MCALL_LOCAL || *type == MCALL_SOCKET);

    if (*type == MCALL_LOCAL) {
        if (p->buffer == nullptr)
            return oskmcall(hdr);
        int rc = oskmcall(&p->buffer);
        *hdr = p->buffer;
        p->bufsize = p->buffer->mc_bufsize;
        return rc;
    }

    if (socket_ops == nullptr || socket_ops->socket_call == nullptr)
        return socket_unavailable(p->reuse_buffer ? p->buffer : *hdr);
    OSK_ASSERT(*get_thread_socket() >= 0);
    if (p->reuse_buffer) {
        int rc = socket_ops->socket_call(p);
        *hdr = p->buffer;
        return rc;
    }
    OSK_ASSERT((*hdr)->mc_bufsize >= (*hdr)->mc_size);
    p->buffer = *hdr;
    p->bufsize = (*hdr)->mc_bufsize;
    int rc = socket_ops->socket_call(p);
    *hdr = p->buffer;
    p->buffer = nullptr;
    p->bufsize = 0;
    return rc;
}
