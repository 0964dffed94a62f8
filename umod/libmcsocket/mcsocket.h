/*
 * The socket transport of management calls: a thread's buffered stream over
 * a plain descriptor or a TLS session, the reply-buffer allocator of the
 * decoders, and socket_call, which runs one call through the codecs.
 *
 * Set-up of a socket connection (connecting, TLS, the handshake) is the
 * caller's: once the thread's record exists (init_thread_buffer), its
 * connection type is MCALL_SOCKET and its socket cell holds the descriptor,
 *
 *   mcsocket_install();                 once: oskcall routes socket calls here
 *   mc_open(fd, NULL) or mc_open(-1, ssl);
 *   strcnv_client_handshake(fd) == 0   (fd is -1 for TLS: the stream ops take
 *                                       the record's descriptor)
 *   oskcall(&rec);                      as on a local connection
 *
 * Stream operations work on the calling thread's record only and check
 * that the descriptor given is the record's. Nothing is sent before
 * mc_flush or a full 10240-byte buffer. mc_read returns exactly n bytes or
 * the failing read's result (0: peer closed, negative: error).
 *
 * A failed socket call prints why on standard error and returns 1; every
 * failure but a reply with a non-zero mc_status also closes the socket
 * (close_socket), after which the thread's socket calls fail the
 * open-socket assertion until the caller connects again.
 *
 * Decoders claim the reply buffer with mc_malloc once per reply and grow it
 * with mc_realloc; misuse of either is fatal. mc_free does nothing: the
 * reply lives in the thread's buffer.
 */
#ifndef MCSOCKET_H
#define MCSOCKET_H

#include <stddef.h>

#include "mcall_client.h"

extern int show; /* print every successful socket reply */

void mcsocket_install(void);

int mc_open(int fd, void *ssl);
int mc_write(int fd, const void *data, int n);
int mc_flush(int fd);
int mc_read(int fd, void *data, int n);

void *mc_malloc(size_t n);
void *mc_realloc(void *ptr, size_t n);
void mc_free(void *ptr);
void *mc_reply_buffer(void); /* the thread's current buffer */

void close_socket(void);
void close_given_socket(int *cell);

int socket_call(per_thread_buffer_t *p);

#endif
