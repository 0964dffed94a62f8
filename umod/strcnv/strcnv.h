/*
 * Structure conversion: the record catalogue, the version handshake of a
 * socket connection and one codec per record type.
 *
 * Client, once per connection, after mc_open() on the thread's stream:
 *
 *   if (strcnv_client_handshake(fd) != 0) ... refused: close
 *   id = get_op_id(rec->mc_opcode);           opcode -> structure id
 *   js_send[id](fd, rec); mc_flush(fd);       type name + encoded record
 *   ... read the reply's type name (mc_read) ...
 *   reply = js_receive[id](fd, &total);       decoded into the thread's reply
 *                                             buffer (mc_malloc/mc_realloc)
 *
 * Set-up of a socket connection (connecting, TLS) is the caller's: once
 * the thread's record exists (init_thread_buffer), its connection type is
 * MCALL_SOCKET and its socket cell holds the descriptor,
 *
 *   mcsocket_install();                 once: oskcall routes socket calls here
 *   mc_open(fd, NULL) or mc_open(-1, ssl);
 *   strcnv_client_handshake(fd) == 0   (fd is -1 for TLS: the stream ops take
 *                                       the record's descriptor)
 *   oskcall(&rec);                      runs socket_call: send, read the reply
 *
 * A failed socket call prints why on standard error and returns 1; every
 * failure but a reply with a non-zero mc_status also closes the socket.
 *
 * Server: strcnv_handshake(fd) once (it ends the calling thread on a version
 * mismatch), then per request the same codecs in the other direction.
 *
 * The catalogue is one table, strcnv_types.def: one line per record type in
 * structure-id order, giving its fixed size and its encoded fields in
 * declaration order. Every routine family below (send_T, write_T,
 * receive_T, read_T, print_T, printf_T, pack_buffer_T, free_T, destroy_T)
 * is generated from that table; adding a type is adding one line. The
 * encoders and decoders are compiled from it into one straight-line
 * routine per type that works on the stream's buffers directly.
 *
 * Wire format: 8/16/32/64-bit integers big-endian; a char-array string as a
 * 32-bit length and that many bytes; byte arrays as they are; nested records
 * in place; a trailing array as its count (where the count field stands)
 * and then the elements. An mcall_t header travels as opcode, status and
 * error text only; the receiver sets mc_size and mc_bufsize.
 *
 * Decoders trust nothing they read: a short stream, a closed peer, an
 * element count whose records would not fit in a reply's 32-bit size or a
 * type name longer than STRCNV_MAX_NAME give a message on standard error
 * and a failure result (null / 0 / -1), never an overread. The reply buffer
 * grows as elements arrive, so a count the peer does not honour costs only
 * what came; a buffer that cannot be grown is fatal (mc_realloc). Encoders never read past the
 * record's mc_bufsize (or, for a record without the header, its fixed size): fields past that end
 * travel as zero, and element counts that would run past it fail the write.
 */
#ifndef STRCNV_H
#define STRCNV_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "mcsocket.h"

/* Versions: five signed 16-bit components. */
typedef struct strcnv_version {
    int16_t v[5];
} strcnv_version;

#define STRCNV_CURRENT_JSTRUCT_TEXT "1.68"
#define STRCNV_CURRENT_VERSION_TEXT "3.115"

extern strcnv_version STRCNV_CURRENT_JSTRUCT_VERSION; /* record definitions */
extern strcnv_version STRCNV_CURRENT_VERSION;         /* protocol */

/* Byte-order probe: holds 1; its second byte is set on a big-endian host. */
typedef union strcnv_short_redef {
    int16_t s;
    char c[2];
} strcnv_short_redef;
extern strcnv_short_redef STRCNV_SHORT_REDEF_CHARS;
#define strcnv_is_big_endian() (STRCNV_SHORT_REDEF_CHARS.c[1])

/* Called after a printed version mismatch, when set. */
extern void (*strcnv_as_vm_func)(int fd, const strcnv_version *ours, const strcnv_version *theirs,
                                 const char *what);

void strcnv_initialize(void);
void strcnv_set_version(strcnv_version *v, const char *text);
int strcnv_send_version(int fd, const strcnv_version *v);    /* 0 or -1 */
int strcnv_receive_version(int fd, strcnv_version *v);       /* 0 or -1 */
int strcnv_check_version(int fd, const strcnv_version *ours, /* 0 equal, 1 not */
                         const char *what);
void strcnv_handshake(int fd);
int strcnv_client_handshake(int fd);
void strcnv_print_version_mismatch(int fd, const strcnv_version *ours, const strcnv_version *theirs,
                                   const char *what);
int strcnv_snprintf_version(const strcnv_version *v, char *buf, size_t n);

uint64_t strcnv_htonll(uint64_t x);
uint64_t strcnv_ntohll(uint64_t x);
uint64_t strcnv_ll_bytes_reversed(uint64_t x);

size_t strcnv_strnlen(const char *s, size_t max);
void strcnv_print_tabs(FILE *stream, int depth);
void strcnv_print_buffer(const char *buf, size_t max);
void strcnv_print_byte_array(const unsigned char *buf, size_t len, int depth);
const char *strcnv_print_bits(uint64_t value, int width); /* one static buffer */

/* Structure ids, in catalogue order. */
enum strcnv_id {
#define STRCNV_TYPE(name, size, ...) STRCNV_ID_##name,
#include "strcnv_types.def"
#undef STRCNV_TYPE
    STRCNV_NTYPES
};

#define STRCNV_MAX_NAME 64 /* longest type name accepted on the wire */

extern const char *const strcnv_array[STRCNV_NTYPES];
extern const unsigned strcnv_sizes[STRCNV_NTYPES]; /* fixed part of each record */

typedef int (*strcnv_send_fn)(int fd, const void *rec);
typedef void *(*strcnv_receive_fn)(int fd, size_t *total);
typedef void (*strcnv_print_fn)(const void *rec);
extern const strcnv_send_fn js_send[STRCNV_NTYPES];
extern const strcnv_receive_fn js_receive[STRCNV_NTYPES];
extern const strcnv_print_fn js_print[STRCNV_NTYPES];

/* The codec of one type by id; the generated routines are these with the
 * id fixed. strcnv_write/read work on a record at `rec` holding at most
 * `avail` bytes; they return the record's total size (fixed part plus its
 * elements) or -1. strcnv_read decodes into the thread's reply buffer at
 * offset `off`, which must already hold the fixed part; `end` is the
 * buffer's used size and grows with the elements. */
int strcnv_send(int fd, int id, const void *rec);
long strcnv_write(int fd, int id, const void *rec, size_t avail);
void *strcnv_receive(int fd, int id, size_t *total);
long strcnv_read(int fd, int id, size_t off, size_t *end);
void strcnv_printf(int id, const void *rec, int *depth);
void strcnv_print(int id, const void *rec);
long strcnv_total_size(int id, const void *rec, size_t avail); /* -1: runs past avail */

/* Reads a type name as sent by send_T into name[STRCNV_MAX_NAME + 1]:
 * 1 done, 0 peer closed, -1 read error, -2 length above STRCNV_MAX_NAME. */
int strcnv_read_name(int fd, char *name);
int strcnv_find_id(const char *name); /* -1 when not catalogued */

/* Generated per-type routines. */
#define STRCNV_TYPE(name, size, ...)                                                               \
    int send_##name(int fd, const void *rec);                                                      \
    size_t write_##name(int fd, const void *rec);                                                  \
    void *receive_##name(int fd, size_t *total);                                                   \
    long read_##name(int fd, size_t off, size_t *end);                                             \
    size_t pack_buffer_##name(const void *rec, void **out);                                        \
    void print_##name(const void *rec);                                                            \
    void printf_##name(const void *rec, int *depth);                                               \
    void free_##name(void *rec);                                                                   \
    void destroy_##name(void *rec);
#include "strcnv_types.def"
#undef STRCNV_TYPE

/*
 * Lists: chains of records of a list type joined by their first word, the
 * 32-bit link `next`, owned by a record (the owner) whose block holds them.
 * On the wire a list is a 32-bit count and then the elements in chain
 * order. Stored (packed), as a decoded reply holds it and as it crosses the
 * kernel IPC, every link and the head the owner keeps are byte offsets from
 * the owner, 0 ending the chain: the block may be copied anywhere as it is.
 * Unpacked, a link is the distance from the element that holds it to the
 * next one, so a walk needs no owner (strcnv_list_next); the shared layouts
 * give the link 32 bits, too few for an address in a 64-bit process, and a
 * distance walks the same way. Every element lives in its owner's block:
 * there is nothing to free but the block.
 *
 *   write_T_list(fd, owner, avail, head) -> count, or -1 (a link outside
 *       the owner's avail bytes, a cycle, or a failed write)
 *   read_T_list(fd, owner_off, &end, &head) -> count, or -1: the elements
 *       are appended to the thread's reply buffer at end, linked in order,
 *       head := the offset of the first (0 for none)
 *   unpackf_T_list(owner, head), packf_T_list(owner, head): in place
 *   free_T_list(first): what each element of an unpacked chain owns
 *       (the elements themselves go with their owner's block)
 */
#define STRCNV_LIST_TYPES(X)                                                                       \
    X(_iscsi_chap)                                                                                 \
    X(hostinst)                                                                                    \
    X(lvmap)                                                                                       \
    X(vlmap)                                                                                       \
    X(jbod)                                                                                        \
    X(hostdef)                                                                                     \
    X(pr_reg_data)                                                                                 \
    X(_iscsi_portinfo)                                                                             \
    X(struct_names)                                                                                \
    X(rm_group_vv_wrapper)                                                                         \
    X(rm_group_wrapper)                                                                            \
    X(property)                                                                                    \
    X(template)

#define STRCNV_LIST_DECL(name)                                                                     \
    long write_##name##_list(int fd, const void *owner, size_t avail, uint32_t head);              \
    long read_##name##_list(int fd, size_t owner_off, size_t *end, uint32_t *head);                \
    void packf_##name##_list(void *owner, uint32_t head);                                          \
    void unpackf_##name##_list(void *owner, uint32_t head);                                        \
    void free_##name##_list(void *first);
STRCNV_LIST_TYPES(STRCNV_LIST_DECL)
#undef STRCNV_LIST_DECL

long strcnv_write_list(int fd, int id, const void *owner, size_t avail, uint32_t head);
long strcnv_read_list(int fd, int id, size_t owner_off, size_t *end, uint32_t *head);
void strcnv_packf_list(int id, void *owner, uint32_t head);
void strcnv_unpackf_list(int id, void *owner, uint32_t head);
void *strcnv_list_next(void *elem); /* unpacked: the next element or null */

/* Field descriptors of the catalogue, for tools and tests that walk a type. */
enum strcnv_kind {
    SK_HDR, /* mcall_t: opcode, status, error text */
    SK_U8,  /* count scalars of 1, 2, 4 or 8 bytes */
    SK_U16,
    SK_U32,
    SK_U64,
    SK_STR,   /* char[len] string */
    SK_BYTES, /* len raw bytes */
    SK_SUB,   /* nested record of type sub */
    SK_TAIL,  /* trailing array of type sub, count at count_off */
};

typedef struct strcnv_field {
    uint8_t kind;
    uint32_t off;
    uint32_t len; /* SK_STR capacity, SK_BYTES length, scalar count */
    int16_t sub;
    uint32_t count_off;
    const char *name;
} strcnv_field;

typedef struct strcnv_type {
    const char *name;
    unsigned size;
    const strcnv_field *fields;
    int nfields;
    int line; /* of its definition in strcnv_types.def */
} strcnv_type;

extern const strcnv_type strcnv_types[STRCNV_NTYPES];

/* The socket transport of oskcall (mcall_set_socket_transport). */
extern int show; /* print every successful socket reply */
void mcsocket_install(void);
int socket_call(per_thread_buffer_t *p);

/* Opcode to structure id: the first row of mcall_names with the opcode. */
typedef struct mcall_name {
    int mn_opcode;
    const char *mn_name;
} mcall_name;
extern const mcall_name mcall_names[];
const char *mcall_struct_name(int opcode); /* null when no row */
int get_op_id(int opcode);                 /* fatal when unknown */

#endif
