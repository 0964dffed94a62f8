/*
 * The byte stream of the socket transport: a thread's buffered stream over
 * a plain descriptor or a TLS session, and the reply-buffer allocator of the
 * decoders. The codecs and the socket call on top of it are umod/strcnv's
 * (strcnv.h shows the whole set-up of a connection); this library knows no
 * record type.
 *
 * Stream operations work on the calling thread's record only and check
 * that the descriptor given is the record's. Nothing is sent before
 * mc_flush or a full 10240-byte buffer. mc_read returns exactly n bytes or
 * the failing read's result (0: peer closed, negative: error).
 *
 * close_socket() closes the thread's socket and empties its stream; the
 * thread's socket calls then fail the open-socket assertion until the
 * caller connects again.
 *
 * Decoders claim the reply buffer with mc_malloc once per reply and grow it
 * with mc_realloc; misuse of either, and a buffer that cannot be claimed or
 * grown, is fatal. mc_free does nothing: the
 * reply lives in the thread's buffer.
 */
#ifndef MCSOCKET_H
#define MCSOCKET_H

#include <stddef.h>

#include "mcall_client.h"

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

#endif
