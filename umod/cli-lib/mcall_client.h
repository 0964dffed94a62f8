/*
 * The management-call client: a thread's connection to the system manager,
 * the calls over the kernel IPC, and the structured error information.
 *
 * Call pattern (records in osk_mcall.h):
 *
 *   oskopen("kivosys", 1);              once per thread: registers the
 *                                       process with the kernel IPC and pings
 *                                       the manager (129: not running)
 *   mcall_t *rec = mcall_alloc(MCVL_SHOW, sizeof(showvlun_t));
 *   ... fill the request after the header ...
 *   int st = oskcall(&rec);             rec may have moved: keep only the
 *                                       pointer handed back
 *   ... read mc_status, mc_ertxt and the reply body ...
 *   mcall_free(rec);                    always, also after a failed call
 *
 * Ownership: mcall_alloc's record belongs to the caller until mcall_free;
 * a call may reallocate it (a reply larger than the allocation), and then
 * the old address is gone. With a reusable thread buffer (reuse_buffer) the
 * thread record owns the buffer and every call runs in it.
 *
 * Failures: transport failures come back as the result and in the record
 * (mc_status, mc_ertxt); an opcode without a server gives TE_FAIL and a
 * server name nobody registered gives its lookup status (BRIPC_NOPHANDLE),
 * both leaving mc_status alone. Protocol violations in a reply and a server
 * that refuses our management-call version end the process: they mean the
 * two sides were not built for each other. Nothing is printed by oskmcall;
 * mc_ping prints its failure to standard error.
 *
 * Connections: each thread has a type (mcall_conn_t). oskopen always makes a
 * thread local (kernel IPC). The socket type runs through the transport
 * installed with mcall_set_socket_transport; without one a socket call fails
 * with TE_FAIL and says so in mc_ertxt. All state is per thread, under
 * thread-specific keys; the first oskopen of the process must finish before
 * a second thread opens.
 */
#ifndef MCALL_CLIENT_H
#define MCALL_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#include "osk_mcall.h"

struct sockaddr_in;

/* Connection types */
typedef enum mcall_conn {
    MCALL_LOCAL = 0,  /* kernel IPC */
    MCALL_SOCKET = 1, /* stream socket, plain or TLS */
} mcall_conn_t;

#define MC_SOCK_BUFSIZE 10240 /* socket read and write buffers */
#define MC_CALLERID_LEN 32

typedef void (*mc_ssl_err_func_t)(void *ssl, struct sockaddr_in *ci, int logged);

/* One per thread, created zero-filled by its first oskopen. */
typedef struct per_thread_buffer {
    mcall_t *buffer;   /* the current record, or null */
    int malloc_called; /* the reply decoder claimed buffer for this reply */
    unsigned bufsize;  /* allocated bytes of buffer, multiple of 64 */
    unsigned size;     /* bytes of buffer filled by the current reply */
    int mcall_opened;  /* the reusable buffer was opened with a ping */
    int reuse_buffer;  /* 1: one buffer for all calls; 0: each call brings one */
    int fd;            /* plain socket, -1 when none */
    void *vssl;        /* TLS session, null when none */
    char *wbuf;
    int wsize, woff;
    char *rbuf;
    int rsize, roff, rend;
    struct sockaddr_in *ci; /* peer address, owned by the record */
    mc_ssl_err_func_t ssl_err_func;
    int logged;
    char callerid[MC_CALLERID_LEN];
} per_thread_buffer_t;

/* Connection */

int oskopen(const char *callerid, int ping);
int oskcall(mcall_t **hdr);

mcall_t *get_init_buffer(int reuse);
per_thread_buffer_t *init_thread_buffer(per_thread_buffer_t **out, int reuse);
per_thread_buffer_t *get_thread_specific_buffer(void); /* null before the key exists */
void enable_per_thread_buffer(void);
void enable_per_thread_data(void);
int *init_thread_conntype(int **out); /* the thread's type cell, created MCALL_LOCAL */
int *get_thread_conntype(void);       /* null when the thread has not opened */
int *get_thread_socket(void);         /* the thread's socket cell, created holding -1 */

/* The socket transport, installed by the socket library. socket_call runs
 * one call on the thread record's buffer (which holds the request) and
 * leaves the reply there; it returns 0 or a status. initialize runs at the
 * process's first oskopen, or on installation when that oskopen came first,
 * so the order of the two does not matter. */
typedef struct mcall_socket_ops {
    void (*initialize)(void);
    int (*socket_call)(per_thread_buffer_t *p);
} mcall_socket_ops_t;

void mcall_set_socket_transport(const mcall_socket_ops_t *ops);

/* Records and calls over the kernel IPC */

mcall_t *mcall_alloc(uint32_t opcode, uint32_t size);
void mcall_init(mcall_t **rec, uint32_t opcode, uint32_t size);
void mcall_free(mcall_t *rec);
int oskmcall(mcall_t **rec);
int oskmopen(mcall_t **rec, int ping); /* rec may be null */
int mc_ping(mcall_t **rec);            /* rec may be null */
const char *mcall_to_svrname(uint32_t opcode);

/* Structured error information (mc_errinfo). An invalid use ends the
 * process when /etc/kivo/DEVELOPER exists, else resets the information to
 * code 0 without parameters. */

#define ERRINFO_TEXT_LEN 240

void errinfo_init(void);
int errinfo_set(err_info_t *info, int code);
void errinfo_add_parm_str(err_info_t *info, const char *value);
void errinfo_add_parm_u32(err_info_t *info, uint32_t value);
void errinfo_add_parm_int(err_info_t *info, int value);
void errinfo_add_parm_wwn(err_info_t *info, uint64_t value);
void errinfo_add_parm_char(err_info_t *info, char value);
void errinfo_add_parm_hexchar(err_info_t *info, char value);
int errinfo_set_str(err_info_t *info, int code, const char *value);
int errinfo_set_u32(err_info_t *info, int code, uint32_t value);
int errinfo_set_int(err_info_t *info, int code, int value);
int errinfo_set_wwn(err_info_t *info, int code, uint64_t value);
int errinfo_set_char(err_info_t *info, int code, char value);
int errinfo_set_hexchar(err_info_t *info, int code, char value);
int errinfo_set_txt(char *text, size_t size, err_info_t *info, int code);
int errinfo_set_str_txt(char *text, size_t size, err_info_t *info, int code, const char *value);
int errinfo_set_u32_txt(char *text, size_t size, err_info_t *info, int code, uint32_t value);
int errinfo_set_int_txt(char *text, size_t size, err_info_t *info, int code, int value);
int errinfo_set_wwn_txt(char *text, size_t size, err_info_t *info, int code, uint64_t value);
int errinfo_set_char_txt(char *text, size_t size, err_info_t *info, int code, char value);
int errinfo_set_hexchar_txt(char *text, size_t size, err_info_t *info, int code, char value);
void errinfo_get_textstr(char *text, size_t size, const err_info_t *info);
void errinfo_set_internal(char *text, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

#endif
