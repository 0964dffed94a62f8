/* Helpers of the codec tests: random records generated from the catalogue
 * and one-thread encode/decode through a socket pair. */
#ifndef STRCNV_SUPPORT_H
#define STRCNV_SUPPORT_H

#include <functional>
#include <random>
#include <vector>

#include "mcsocket.h"
#include "strcnv.h"

typedef std::vector<unsigned char> bytes_t;

/* The calling thread's record, created on first use with a reusable
 * buffer; its stream is closed. */
per_thread_buffer_t *test_record(void);

/* A random record of type id with its elements (counts up to max_count);
 * fields the codec does not carry stay zero, and a header's mc_size and
 * mc_bufsize cover the record. */
bytes_t random_record(int id, std::mt19937 &rng, unsigned max_count);

/* What write(fd) sends on the calling thread's stream over a socket pair,
 * as the peer reads it; empty when write returns false. */
bytes_t wire_of(const std::function<bool(int fd)> &write);

/* send_T of the record, as bytes. */
bytes_t encode(int id, const void *rec);

/* receive_T over `wire` (followed by end of stream): the decoded record
 * (with mc_size/mc_bufsize zero), or false. */
bool decode(int id, const bytes_t &wire, bytes_t *out);

/* The wire bytes without the leading type name. */
bytes_t strip_name(const bytes_t &wire);

/* A header's mc_size and mc_bufsize are the receiver's: zero them. */
void clear_sizes(int id, bytes_t &rec);

#endif
