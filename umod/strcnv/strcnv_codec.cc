/* The codecs of every catalogued type, interpreted from strcnv_types.def. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mcsocket.h"
#include "osk_runtime.h"
#include "strcnv.h"
#include "osk_banned.h"

#define HDR                                                                                        \
    {                                                                                              \
        SK_HDR, 0, 0, -1, 0, "mcall"                                                               \
    }
#define U8(o, f)                                                                                   \
    {                                                                                              \
        SK_U8, o, 1, -1, 0, #f                                                                     \
    }
#define U16(o, f)                                                                                  \
    {                                                                                              \
        SK_U16, o, 1, -1, 0, #f                                                                    \
    }
#define U32(o, f)                                                                                  \
    {                                                                                              \
        SK_U32, o, 1, -1, 0, #f                                                                    \
    }
#define U64(o, f)                                                                                  \
    {                                                                                              \
        SK_U64, o, 1, -1, 0, #f                                                                    \
    }
#define ARR8(o, f, n)                                                                              \
    {                                                                                              \
        SK_U8, o, n, -1, 0, #f                                                                     \
    }
#define ARR32(o, f, n)                                                                             \
    {                                                                                              \
        SK_U32, o, n, -1, 0, #f                                                                    \
    }
#define ARR64(o, f, n)                                                                             \
    {                                                                                              \
        SK_U64, o, n, -1, 0, #f                                                                    \
    }
#define STR(o, f, c)                                                                               \
    {                                                                                              \
        SK_STR, o, c, -1, 0, #f                                                                    \
    }
#define RAW(o, f, l)                                                                               \
    {                                                                                              \
        SK_BYTES, o, l, -1, 0, #f                                                                  \
    }
#define SUB(o, f, t)                                                                               \
    {                                                                                              \
        SK_SUB, o, 0, STRCNV_ID_##t, 0, #f                                                         \
    }
#define TAIL(o, f, t, c)                                                                           \
    {                                                                                              \
        SK_TAIL, o, 0, STRCNV_ID_##t, c, #f                                                        \
    }

#define STRCNV_TYPE(name, size, ...) static const strcnv_field fields_##name[] = {__VA_ARGS__};
#include "strcnv_types.def"
#undef STRCNV_TYPE

const strcnv_type strcnv_types[STRCNV_NTYPES] = {
#define STRCNV_TYPE(name, size, ...)                                                               \
    {#name, size, fields_##name, (int)(sizeof(fields_##name) / sizeof(strcnv_field)), __LINE__},
#include "strcnv_types.def"
#undef STRCNV_TYPE
};

const char *const strcnv_array[STRCNV_NTYPES] = {
#define STRCNV_TYPE(name, size, ...) #name,
#include "strcnv_types.def"
#undef STRCNV_TYPE
};

const unsigned strcnv_sizes[STRCNV_NTYPES] = {
#define STRCNV_TYPE(name, size, ...) size,
#include "strcnv_types.def"
#undef STRCNV_TYPE
};

#undef HDR
#undef U8
#undef U16
#undef U32
#undef U64
#undef ARR8
#undef ARR32
#undef ARR64
#undef STR
#undef RAW
#undef SUB
#undef TAIL

/* mcall_t places; the header's layout is shared with the kernel IPC path. */
enum { HDR_OPCODE = 0, HDR_SIZE = 4, HDR_BUFSIZE = 8, HDR_STATUS = 12, HDR_ERTXT = 16 };
enum { HDR_ERTXT_LEN = 240, HDR_CALLERID = 584, HDR_CALLERID_LEN = 32 };

static unsigned scalar_width(int kind)
{
    switch (kind) {
    case SK_U8:
        return 1;
    case SK_U16:
        return 2;
    case SK_U32:
        return 4;
    default:
        return 8;
    }
}

/* Host values are read and written with memcpy: records are byte layouts
 * and their fields need not be aligned. */
static uint64_t get_host(const unsigned char *p, unsigned width)
{
    uint8_t b;
    uint16_t h;
    uint32_t w;
    uint64_t d;
    switch (width) {
    case 1:
        memcpy(&b, p, 1);
        return b;
    case 2:
        memcpy(&h, p, 2);
        return h;
    case 4:
        memcpy(&w, p, 4);
        return w;
    default:
        memcpy(&d, p, 8);
        return d;
    }
}

static void put_host(unsigned char *p, unsigned width, uint64_t v)
{
    uint8_t b = (uint8_t)v;
    uint16_t h = (uint16_t)v;
    uint32_t w = (uint32_t)v;
    switch (width) {
    case 1:
        memcpy(p, &b, 1);
        break;
    case 2:
        memcpy(p, &h, 2);
        break;
    case 4:
        memcpy(p, &w, 4);
        break;
    default:
        memcpy(p, &v, 8);
    }
}

static void to_wire(unsigned char *out, unsigned width, uint64_t v)
{
    for (unsigned i = 0; i < width; i++)
        out[i] = (unsigned char)(v >> (8 * (width - 1 - i)));
}

static uint64_t from_wire(const unsigned char *in, unsigned width)
{
    uint64_t v = 0;
    for (unsigned i = 0; i < width; i++)
        v = (v << 8) | in[i];
    return v;
}

static void where(char *buf, size_t n, const char *dir, int id, const char *field)
{
    const char *t = strcnv_types[id].name;
    if (field)
        snprintf(buf, n, "%s_%s() at %s.%s", dir, t, t, field);
    else
        snprintf(buf, n, "%s_%s()", dir, t);
}

static int put(int fd, const void *data, size_t n, int id, const char *field)
{
    if (n == 0 || mc_write(fd, data, (int)n) == (int)n)
        return 0;
    char w[160];
    where(w, sizeof(w), "write", id, field);
    perror(w);
    return -1;
}

static int get(int fd, void *data, size_t n, int id, const char *field)
{
    if (n == 0)
        return 0;
    int saved = errno;
    errno = 0;
    int r = mc_read(fd, data, (int)n);
    if (r == (int)n) {
        errno = saved;
        return 0;
    }
    char w[160];
    where(w, sizeof(w), "read", id, field);
    if (r < 0 && errno != 0)
        perror(w);
    else
        fprintf(stderr, "Error: %s\n", w);
    return -1;
}

static int put_scalar(int fd, uint64_t v, unsigned width, int id, const char *field)
{
    unsigned char b[8];
    to_wire(b, width, v);
    return put(fd, b, width, id, field);
}

static int put_string(int fd, const unsigned char *s, uint32_t cap, int id, const char *field)
{
    uint32_t len = (uint32_t)strcnv_strnlen((const char *)s, cap);
    if (put_scalar(fd, len, 4, id, field) != 0)
        return -1;
    return put(fd, s, len, id, field);
}

static int get_string(int fd, unsigned char *s, uint32_t cap, int id, const char *field)
{
    unsigned char b[4];
    if (get(fd, b, 4, id, field) != 0)
        return -1;
    uint32_t len = (uint32_t)from_wire(b, 4);
    if (len > cap)
        len = cap;
    memset(s, 0, cap);
    return get(fd, s, len, id, field);
}

static uint32_t count_at(const unsigned char *rec, const strcnv_field *f)
{
    return (uint32_t)get_host(rec + f->count_off, 4);
}

long strcnv_write(int fd, int id, const void *recp, size_t avail)
{
    const strcnv_type *t = &strcnv_types[id];
    const unsigned char *rec = (const unsigned char *)recp;
    unsigned char *copy = NULL;
    /* A record shorter than its type (a request made with a smaller size)
     * travels as if the missing bytes were zero. */
    if (avail < t->size) {
        copy = (unsigned char *)calloc(1, t->size);
        OSK_ASSERT(copy != NULL);
        memcpy(copy, rec, avail);
        rec = copy;
        avail = t->size;
    }
    long total = t->size;
    int bad = 0;
    for (int i = 0; i < t->nfields && !bad; i++) {
        const strcnv_field *f = &t->fields[i];
        const unsigned char *p = rec + f->off;
        switch (f->kind) {
        case SK_HDR:
            bad = put_scalar(fd, get_host(rec + HDR_OPCODE, 4), 4, id, "mc_opcode") ||
                  put_scalar(fd, get_host(rec + HDR_STATUS, 4), 4, id, "mc_status") ||
                  put_string(fd, rec + HDR_ERTXT, HDR_ERTXT_LEN, id, "mc_ertxt");
            break;
        case SK_U8:
        case SK_U16:
        case SK_U32:
        case SK_U64: {
            unsigned w = scalar_width(f->kind);
            unsigned char b[8 * 100];
            for (uint32_t k = 0; k < f->len; k++)
                to_wire(b + (k % 100) * w, w, get_host(p + k * w, w));
            if (f->len <= 100) {
                bad = put(fd, b, (size_t)w * f->len, id, f->name);
            } else {
                for (uint32_t k = 0; k < f->len && !bad; k++)
                    bad = put_scalar(fd, get_host(p + k * w, w), w, id, f->name);
            }
            break;
        }
        case SK_STR:
            bad = put_string(fd, p, f->len, id, f->name);
            break;
        case SK_BYTES:
            bad = put(fd, p, f->len, id, f->name);
            break;
        case SK_SUB:
            bad = strcnv_write(fd, f->sub, p, strcnv_types[f->sub].size) < 0;
            break;
        case SK_TAIL: {
            uint32_t n = count_at(rec, f);
            size_t pos = t->size;
            for (uint32_t k = 0; k < n && !bad; k++) {
                if (pos + strcnv_types[f->sub].size > avail) {
                    char w[160];
                    where(w, sizeof(w), "write", id, f->name);
                    fprintf(stderr, "%s: %u elements do not fit in the record\n", w, n);
                    bad = 1;
                    break;
                }
                long e = strcnv_write(fd, f->sub, rec + pos, avail - pos);
                if (e < 0)
                    bad = 1;
                else
                    pos += (size_t)e;
            }
            total = (long)pos;
            break;
        }
        }
    }
    free(copy);
    return bad ? -1 : total;
}

/* The bytes a record may use: its allocation when it has the header, else
 * its fixed part (standalone elements are only written nested). */
static size_t avail_of(int id, const void *rec)
{
    const strcnv_type *t = &strcnv_types[id];
    if (t->nfields > 0 && t->fields[0].kind == SK_HDR)
        return (size_t)get_host((const unsigned char *)rec + HDR_BUFSIZE, 4);
    return (size_t)-1;
}

int strcnv_send(int fd, int id, const void *rec)
{
    const char *name = strcnv_types[id].name;
    uint32_t len = (uint32_t)strlen(name);
    if (put_scalar(fd, len, 4, id, NULL) != 0 || put(fd, name, len, id, NULL) != 0)
        return -1;
    return strcnv_write(fd, id, rec, avail_of(id, rec)) < 0 ? -1 : 0;
}

long strcnv_read(int fd, int id, size_t off, size_t *end)
{
    const strcnv_type *t = &strcnv_types[id];
    unsigned char *base = (unsigned char *)mc_reply_buffer();
    memset(base + off, 0, t->size);
    size_t total = t->size;
    for (int i = 0; i < t->nfields; i++) {
        const strcnv_field *f = &t->fields[i];
        unsigned char *p = base + off + f->off;
        unsigned char b[8];
        switch (f->kind) {
        case SK_HDR:
            if (get(fd, b, 4, id, "mc_opcode") != 0)
                return -1;
            put_host(base + off + HDR_OPCODE, 4, from_wire(b, 4));
            if (get(fd, b, 4, id, "mc_status") != 0)
                return -1;
            put_host(base + off + HDR_STATUS, 4, from_wire(b, 4));
            if (get_string(fd, base + off + HDR_ERTXT, HDR_ERTXT_LEN, id, "mc_ertxt") != 0)
                return -1;
            break;
        case SK_U8:
        case SK_U16:
        case SK_U32:
        case SK_U64: {
            unsigned w = scalar_width(f->kind);
            for (uint32_t k = 0; k < f->len; k++) {
                if (get(fd, b, w, id, f->name) != 0)
                    return -1;
                put_host(p + k * w, w, from_wire(b, w));
            }
            break;
        }
        case SK_STR:
            if (get_string(fd, p, f->len, id, f->name) != 0)
                return -1;
            break;
        case SK_BYTES:
            if (get(fd, p, f->len, id, f->name) != 0)
                return -1;
            break;
        case SK_SUB:
            if (strcnv_read(fd, f->sub, off + f->off, end) < 0)
                return -1;
            break;
        case SK_TAIL: {
            uint32_t n = count_at(base + off, f);
            uint64_t need = (uint64_t)n * strcnv_types[f->sub].size;
            if (need > STRCNV_MAX_RECORD - *end) {
                char w[160];
                where(w, sizeof(w), "read", id, f->name);
                fprintf(stderr, "Error: %s: %u elements exceed %u bytes\n", w, n,
                        STRCNV_MAX_RECORD);
                return -1;
            }
            *end += (size_t)need;
            base = (unsigned char *)mc_realloc(base, *end);
            /* Elements with trailing arrays of their own push the rest
             * along: each starts where the previous one ended. */
            size_t pos = off + t->size;
            for (uint32_t k = 0; k < n; k++) {
                long e = strcnv_read(fd, f->sub, pos, end);
                if (e < 0)
                    return -1;
                pos += (size_t)e;
            }
            total = pos - off;
            break;
        }
        }
        base = (unsigned char *)mc_reply_buffer();
    }
    return (long)total;
}

void *strcnv_receive(int fd, int id, size_t *total)
{
    size_t end = strcnv_types[id].size;
    (void)mc_malloc(end);
    long n = strcnv_read(fd, id, 0, &end);
    if (n < 0)
        return NULL;
    OSK_ASSERT((size_t)n == end);
    *total = (size_t)n;
    return mc_reply_buffer();
}

int strcnv_read_name(int fd, char *name)
{
    unsigned char b[4];
    int r = mc_read(fd, b, 4);
    if (r != 4)
        return r < 0 ? -1 : 0;
    uint32_t len = (uint32_t)from_wire(b, 4);
    if (len > STRCNV_MAX_NAME)
        return -2;
    r = len ? mc_read(fd, name, (int)len) : 0;
    if (r != (int)len)
        return r < 0 ? -1 : 0;
    name[len] = '\0';
    return 1;
}

long strcnv_total_size(int id, const void *recp, size_t avail)
{
    const strcnv_type *t = &strcnv_types[id];
    const unsigned char *rec = (const unsigned char *)recp;
    if (avail < t->size)
        return -1;
    for (int i = 0; i < t->nfields; i++) {
        const strcnv_field *f = &t->fields[i];
        if (f->kind != SK_TAIL)
            continue;
        uint32_t n = count_at(rec, f);
        size_t pos = t->size;
        for (uint32_t k = 0; k < n; k++) {
            long e = strcnv_total_size(f->sub, rec + pos, avail - pos);
            if (e < 0)
                return -1;
            pos += (size_t)e;
        }
        return (long)pos;
    }
    return t->size;
}

static long printf_rec(int id, const unsigned char *rec, size_t avail, int depth)
{
    const strcnv_type *t = &strcnv_types[id];
    long total = t->size;
    for (int i = 0; i < t->nfields; i++) {
        const strcnv_field *f = &t->fields[i];
        const unsigned char *p = rec + f->off;
        if (f->kind == SK_HDR) {
            strcnv_print_tabs(stdout, depth);
            printf("mc_opcode: %u\n", (unsigned)get_host(rec + HDR_OPCODE, 4));
            strcnv_print_tabs(stdout, depth);
            printf("mc_size: %u\n", (unsigned)get_host(rec + HDR_SIZE, 4));
            strcnv_print_tabs(stdout, depth);
            printf("mc_bufsize: %u\n", (unsigned)get_host(rec + HDR_BUFSIZE, 4));
            strcnv_print_tabs(stdout, depth);
            printf("mc_status: %u\n", (unsigned)get_host(rec + HDR_STATUS, 4));
            strcnv_print_tabs(stdout, depth);
            printf("mc_ertxt: \"");
            strcnv_print_buffer((const char *)rec + HDR_ERTXT, HDR_ERTXT_LEN);
            printf("\"\n");
            strcnv_print_tabs(stdout, depth);
            printf("mc_callerid: \"");
            strcnv_print_buffer((const char *)rec + HDR_CALLERID, HDR_CALLERID_LEN);
            printf("\"\n");
            continue;
        }
        strcnv_print_tabs(stdout, depth);
        printf("%s:", f->name);
        switch (f->kind) {
        case SK_U8:
        case SK_U16:
        case SK_U32:
        case SK_U64: {
            unsigned w = scalar_width(f->kind);
            for (uint32_t k = 0; k < f->len; k++)
                printf(" %llu", (unsigned long long)get_host(p + k * w, w));
            printf("\n");
            break;
        }
        case SK_STR:
            printf(" \"");
            strcnv_print_buffer((const char *)p, f->len);
            printf("\"\n");
            break;
        case SK_BYTES: {
            /* Reserved areas are mostly zero: a dump of them says nothing. */
            uint32_t k = 0;
            while (k < f->len && p[k] == 0)
                k++;
            if (k == f->len) {
                printf(" (%u zero bytes)\n", f->len);
                break;
            }
            printf("\n");
            strcnv_print_byte_array(p, f->len, depth + 1);
            break;
        }
        case SK_SUB:
            printf("\n");
            (void)printf_rec(f->sub, p, strcnv_types[f->sub].size, depth + 1);
            break;
        case SK_TAIL: {
            uint32_t n = count_at(rec, f);
            printf(" %u\n", n);
            size_t pos = t->size;
            for (uint32_t k = 0; k < n; k++) {
                if (pos + strcnv_types[f->sub].size > avail) {
                    strcnv_print_tabs(stdout, depth + 1);
                    printf("(%u more past the end of the record)\n", n - k);
                    break;
                }
                strcnv_print_tabs(stdout, depth + 1);
                printf("[%u] %s\n", k, strcnv_types[f->sub].name);
                long e = printf_rec(f->sub, rec + pos, avail - pos, depth + 2);
                if (e < 0)
                    break;
                pos += (size_t)e;
            }
            total = (long)pos;
            break;
        }
        }
    }
    return total;
}

void strcnv_printf(int id, const void *rec, int *depth)
{
    (void)printf_rec(id, (const unsigned char *)rec, avail_of(id, rec), *depth);
}

void strcnv_print(int id, const void *rec)
{
    const strcnv_type *t = &strcnv_types[id];
    printf("%s (strcnv_types.def:%d) id %d\n", t->name, t->line, id);
    int depth = 1;
    strcnv_printf(id, rec, &depth);
}

static size_t pack_buffer(int id, const void *rec, void **out)
{
    long n = strcnv_total_size(id, rec, avail_of(id, rec));
    OSK_ASSERT(n >= 0);
    *out = malloc_or_die((size_t)n);
    memcpy(*out, rec, (size_t)n);
    return (size_t)n;
}

#define STRCNV_TYPE(name, size, ...)                                                               \
    int send_##name(int fd, const void *rec)                                                       \
    {                                                                                              \
        return strcnv_send(fd, STRCNV_ID_##name, rec);                                             \
    }                                                                                              \
    size_t write_##name(int fd, const void *rec)                                                   \
    {                                                                                              \
        long n = strcnv_write(fd, STRCNV_ID_##name, rec, avail_of(STRCNV_ID_##name, rec));         \
        return n < 0 ? 0 : (size_t)n;                                                              \
    }                                                                                              \
    void *receive_##name(int fd, size_t *total)                                                    \
    {                                                                                              \
        return strcnv_receive(fd, STRCNV_ID_##name, total);                                        \
    }                                                                                              \
    long read_##name(int fd, size_t off, size_t *end)                                              \
    {                                                                                              \
        return strcnv_read(fd, STRCNV_ID_##name, off, end);                                        \
    }                                                                                              \
    size_t pack_buffer_##name(const void *rec, void **out)                                         \
    {                                                                                              \
        return pack_buffer(STRCNV_ID_##name, rec, out);                                            \
    }                                                                                              \
    void print_##name(const void *rec)                                                             \
    {                                                                                              \
        strcnv_print(STRCNV_ID_##name, rec);                                                       \
    }                                                                                              \
    void printf_##name(const void *rec, int *depth)                                                \
    {                                                                                              \
        strcnv_printf(STRCNV_ID_##name, rec, depth);                                               \
    }                                                                                              \
    void free_##name(void *) {}                                                                    \
    void destroy_##name(void *rec)                                                                 \
    {                                                                                              \
        free(rec);                                                                                 \
    }
#include "strcnv_types.def"
#undef STRCNV_TYPE

const strcnv_send_fn js_send[STRCNV_NTYPES] = {
#define STRCNV_TYPE(name, size, ...) send_##name,
#include "strcnv_types.def"
#undef STRCNV_TYPE
};

const strcnv_receive_fn js_receive[STRCNV_NTYPES] = {
#define STRCNV_TYPE(name, size, ...) receive_##name,
#include "strcnv_types.def"
#undef STRCNV_TYPE
};

const strcnv_print_fn js_print[STRCNV_NTYPES] = {
#define STRCNV_TYPE(name, size, ...) print_##name,
#include "strcnv_types.def"
#undef STRCNV_TYPE
};
