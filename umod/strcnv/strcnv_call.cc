/* One management call over the thread's socket: see strcnv.h. */
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "mcsocket.h"
#include "osk_errcode.h"
#include "strcnv.h"
#include "osk_banned.h"

static int fail_call(per_thread_buffer_t *p)
{
    close_socket();
    if (p->buffer != NULL) {
        p->buffer->mc_status = TE_FAIL;
        snprintf(p->buffer->mc_ertxt, sizeof p->buffer->mc_ertxt,
                 "Management call over the socket failed");
        if (p->buffer->mc_size > p->bufsize || p->buffer->mc_size < sizeof(mcall_t))
            p->buffer->mc_size = sizeof(mcall_t);
        p->buffer->mc_bufsize = p->bufsize;
    }
    return 1;
}

int socket_call(per_thread_buffer_t *p)
{
    int fd = p->fd;
    int id = get_op_id((int)p->buffer->mc_opcode);
    if (id < 0 || id >= STRCNV_NTYPES) {
        fprintf(stderr, "Invalid structure id: %d\n", id);
        return fail_call(p);
    }
    if (js_send[id](fd, p->buffer) != 0 || mc_flush(fd) != 1)
        return fail_call(p);

    unsigned char lb[4];
    char name[STRCNV_MAX_NAME + 1];
    errno = 0;
    int r = mc_read(fd, lb, 4);
    uint32_t len =
        ((uint32_t)lb[0] << 24) | ((uint32_t)lb[1] << 16) | ((uint32_t)lb[2] << 8) | lb[3];
    if (r == 4 && len <= STRCNV_MAX_NAME) {
        r = len ? mc_read(fd, name, (int)len) : 0;
        if (r != (int)len) {
            if (r < 0)
                fprintf(stderr, "Socket read error: %s\n", strerror(errno));
            else
                fprintf(stderr, "mc_read() error: failed to read struct name\n");
            return fail_call(p);
        }
        name[len] = '\0';
    } else {
        if (r < 0)
            fprintf(stderr, "Socket read error: %s\n", strerror(errno));
        else if (r != 4)
            fprintf(stderr, "mc_read() error: failed to read struct name length\n");
        else
            fprintf(stderr, "mc_read() error: struct name length %u above %d\n", len,
                    STRCNV_MAX_NAME);
        return fail_call(p);
    }
    if (strcmp(name, strcnv_array[id]) != 0) {
        fprintf(stderr, "oskcall() sent %s, received %s\n", strcnv_array[id], name);
        return fail_call(p);
    }

    p->malloc_called = 0;
    size_t total = 0;
    void *adr = js_receive[id](fd, &total);
    if (adr == NULL)
        return fail_call(p);
    if (adr != (void *)p->buffer) {
        fprintf(stderr, "Invalid adr from js_receive: %p, should be %p\n", adr, (void *)p->buffer);
        return fail_call(p);
    }
    if (total != p->size) {
        fprintf(stderr, "Invalid total from js_receive: %lu, should be %lu\n", (unsigned long)total,
                (unsigned long)p->size);
        return fail_call(p);
    }
    p->buffer->mc_size = p->size;
    p->buffer->mc_bufsize = p->bufsize;
    if (p->buffer->mc_status != 0) {
        fprintf(stderr, "Failed oskcall: %.240s\n", p->buffer->mc_ertxt);
        return 1;
    }
    if (show)
        js_print[id](p->buffer);
    return 0;
}

static const mcall_socket_ops_t socket_ops = {strcnv_initialize, socket_call};

void mcsocket_install(void)
{
    mcall_set_socket_transport(&socket_ops);
}
