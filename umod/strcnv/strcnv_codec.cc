/* The codecs of every catalogued type, generated from strcnv_types.def. */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <bit>

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

#include "strcnv_fields_end.def"

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

static uint32_t count_at(const unsigned char *rec, const strcnv_field *f)
{
    return (uint32_t)get_host(rec + f->count_off, 4);
}

/* ---------------------------------------------------------------------------
 * The generated codecs. Every line of strcnv_types.def becomes codec<ID>,
 * whose fields() names the type's fields in order as calls on an operation
 * object; each operation (measure, encode, decode from the buffer, decode
 * field by field) is inlined into one straight-line routine per type with
 * constant offsets. Nested records are inlined too; a trailing array is a
 * loop over its element type's routine.
 */
namespace
{

template <int ID> struct codec;

#define STRCNV_TYPE(name, size, ...)                                                               \
    template <> struct codec<STRCNV_ID_##name> {                                                   \
        static constexpr unsigned bytes = size;                                                    \
        template <class O> [[gnu::always_inline]] static constexpr void fields(O &o);              \
    };
#include "strcnv_types.def"
#undef STRCNV_TYPE

#define HDR o.hdr()
#define U8(o_, f) o.template scalars<1>(o_, 1, #f)
#define U16(o_, f) o.template scalars<2>(o_, 1, #f)
#define U32(o_, f) o.template scalars<4>(o_, 1, #f)
#define U64(o_, f) o.template scalars<8>(o_, 1, #f)
#define ARR8(o_, f, n) o.template scalars<1>(o_, n, #f)
#define ARR32(o_, f, n) o.template scalars<4>(o_, n, #f)
#define ARR64(o_, f, n) o.template scalars<8>(o_, n, #f)
#define STR(o_, f, c) o.str(o_, c, #f)
#define RAW(o_, f, l) o.raw(o_, l, #f)
#define SUB(o_, f, t) o.template sub<STRCNV_ID_##t>(o_)
#define TAIL(o_, f, t, c) o.template tail<STRCNV_ID_##t>(o_, c, #f)
#define STRCNV_TYPE(name, size, ...)                                                               \
    template <class O> constexpr void codec<STRCNV_ID_##name>::fields(O &o)                        \
    {                                                                                              \
        (__VA_ARGS__);                                                                             \
    }
#include "strcnv_types.def"
#undef STRCNV_TYPE
#include "strcnv_fields_end.def"

#define INLINE [[gnu::always_inline]] inline

/* The most bytes a type's fixed part can take on the wire. */
struct measure {
    size_t n = 0;
    constexpr void hdr()
    {
        n += 8 + 4 + HDR_ERTXT_LEN;
    }
    template <unsigned W> constexpr void scalars(unsigned, unsigned k, const char *)
    {
        n += W * k;
    }
    constexpr void str(unsigned, unsigned cap, const char *)
    {
        n += 4 + cap;
    }
    constexpr void raw(unsigned, unsigned len, const char *)
    {
        n += len;
    }
    template <int S> constexpr void sub(unsigned)
    {
        codec<S>::fields(*this);
    }
    template <int S> constexpr void tail(unsigned, unsigned, const char *) {}
};

template <int ID> constexpr size_t max_wire()
{
    measure m;
    codec<ID>::fields(m);
    return m.n;
}

/* A type's trailing array, if any (always its last field; nested records
 * never have one, checked below). */
struct tail_info {
    int elem = -1;
    unsigned count_off = 0;
    const char *name = nullptr;
    constexpr void hdr() {}
    template <unsigned W> constexpr void scalars(unsigned, unsigned, const char *) {}
    constexpr void str(unsigned, unsigned, const char *) {}
    constexpr void raw(unsigned, unsigned, const char *) {}
    template <int S> constexpr void sub(unsigned) {}
    template <int S> constexpr void tail(unsigned, unsigned c, const char *f)
    {
        elem = S;
        count_off = c;
        name = f;
    }
};

template <int ID> constexpr tail_info tail_of()
{
    tail_info t;
    codec<ID>::fields(t);
    return t;
}

/* Nested records never end in an array: their routines are inlined whole. */
struct nested_check {
    bool nested_tail = false;
    bool nested = false;
    constexpr void hdr() {}
    template <unsigned W> constexpr void scalars(unsigned, unsigned, const char *) {}
    constexpr void str(unsigned, unsigned, const char *) {}
    constexpr void raw(unsigned, unsigned, const char *) {}
    template <int S> constexpr void sub(unsigned)
    {
        bool was = nested;
        nested = true;
        codec<S>::fields(*this);
        nested = was;
    }
    template <int S> constexpr void tail(unsigned, unsigned, const char *)
    {
        if (nested)
            nested_tail = true;
    }
};

template <int ID> constexpr bool sound()
{
    nested_check c;
    codec<ID>::fields(c);
    return !c.nested_tail && max_wire<ID>() <= MC_SOCK_BUFSIZE;
}

/* Where a type's first carried field starts. */
struct lowest {
    unsigned off = ~0u;
    constexpr void at(unsigned o)
    {
        off = o < off ? o : off;
    }
    constexpr void hdr()
    {
        at(0);
    }
    template <unsigned W> constexpr void scalars(unsigned o, unsigned, const char *)
    {
        at(o);
    }
    constexpr void str(unsigned o, unsigned, const char *)
    {
        at(o);
    }
    constexpr void raw(unsigned o, unsigned, const char *)
    {
        at(o);
    }
    template <int S> constexpr void sub(unsigned o)
    {
        at(o);
    }
    template <int S> constexpr void tail(unsigned o, unsigned, const char *)
    {
        at(o);
    }
};

template <int ID> constexpr unsigned first_off()
{
    lowest l;
    codec<ID>::fields(l);
    return l.off;
}

#define STRCNV_TYPE(name, size, ...)                                                               \
    static_assert(sound<STRCNV_ID_##name>(), #name ": nested array or fixed part above the "       \
                                                   "buffer");
#include "strcnv_types.def"
#undef STRCNV_TYPE

/* Host order in records (unaligned), network order on the wire. */
template <unsigned W> struct word;
template <> struct word<1> {
    typedef uint8_t t;
    static t swap(t v)
    {
        return v;
    }
};
template <> struct word<2> {
    typedef uint16_t t;
    static t swap(t v)
    {
        return __builtin_bswap16(v);
    }
};
template <> struct word<4> {
    typedef uint32_t t;
    static t swap(t v)
    {
        return __builtin_bswap32(v);
    }
};
template <> struct word<8> {
    typedef uint64_t t;
    static t swap(t v)
    {
        return __builtin_bswap64(v);
    }
};

template <unsigned W> INLINE void host_to_wire(unsigned char *w, const unsigned char *h)
{
    typename word<W>::t v;
    memcpy(&v, h, W);
    if constexpr (std::endian::native == std::endian::little)
        v = word<W>::swap(v);
    memcpy(w, &v, W);
}

INLINE uint32_t wire32(const unsigned char *w)
{
    uint32_t v;
    memcpy(&v, w, 4);
    if constexpr (std::endian::native == std::endian::little)
        v = __builtin_bswap32(v);
    return v;
}

INLINE uint32_t host32(const unsigned char *h)
{
    uint32_t v;
    memcpy(&v, h, 4);
    return v;
}

/* Encodes a fixed part into memory that has room for max_wire bytes. With
 * Locate set it also finds the field whose bytes reach position `limit`,
 * to name it when the write that carried it failed. */
template <bool Locate> struct encoder {
    unsigned char *w;
    const unsigned char *rec;
    unsigned char *start = nullptr;
    size_t limit = 0;
    int id = -1, at_id = -1;
    const char *at = nullptr;

    INLINE void reached(const char *f)
    {
        if constexpr (Locate) {
            if (at == nullptr && (size_t)(w - start) >= limit) {
                at = f;
                at_id = id;
            }
        }
    }
    INLINE void put32(uint32_t v)
    {
        if constexpr (std::endian::native == std::endian::little)
            v = __builtin_bswap32(v);
        memcpy(w, &v, 4);
        w += 4;
    }
    INLINE void string(const unsigned char *s, unsigned cap)
    {
        uint32_t len = (uint32_t)strnlen((const char *)s, cap);
        put32(len);
        memcpy(w, s, len);
        w += len;
    }
    INLINE void hdr()
    {
        host_to_wire<4>(w, rec + HDR_OPCODE);
        w += 4;
        reached("mc_opcode");
        host_to_wire<4>(w, rec + HDR_STATUS);
        w += 4;
        reached("mc_status");
        string(rec + HDR_ERTXT, HDR_ERTXT_LEN);
        reached("mc_ertxt");
    }
    template <unsigned W> INLINE void scalars(unsigned off, unsigned n, const char *f)
    {
        for (unsigned k = 0; k < n; k++)
            host_to_wire<W>(w + k * W, rec + off + k * W);
        w += W * n;
        reached(f);
    }
    INLINE void str(unsigned off, unsigned cap, const char *f)
    {
        string(rec + off, cap);
        reached(f);
    }
    INLINE void raw(unsigned off, unsigned len, const char *f)
    {
        memcpy(w, rec + off, len);
        w += len;
        reached(f);
    }
    template <int S> INLINE void sub(unsigned off)
    {
        const unsigned char *outer = rec;
        int outer_id = id;
        rec += off;
        id = S;
        codec<S>::fields(*this);
        rec = outer;
        id = outer_id;
    }
    template <int S> INLINE void tail(unsigned, unsigned, const char *) {}
};

/* The failed write of a fixed part that began `room` bytes before the end
 * of the stream buffer: the field whose bytes filled it is the one named. */
template <int ID> [[gnu::noinline, gnu::cold]] void write_failed(const unsigned char *rec, int room)
{
    int saved = errno;
    unsigned char stage[max_wire<ID>()];
    encoder<true> e{stage, rec};
    e.start = stage;
    e.limit = (size_t)room;
    e.id = ID;
    codec<ID>::fields(e);
    char w[160];
    where(w, sizeof(w), "write", e.at ? e.at_id : ID, e.at);
    errno = saved;
    perror(w);
}

/* Decodes a fixed part from the stream buffer, which holds at least
 * max_wire bytes: no test per field. */
struct buffered_decoder {
    const unsigned char *r;
    unsigned char *rec;

    INLINE void string(unsigned char *s, unsigned cap)
    {
        uint32_t len = wire32(r);
        r += 4;
        if (len > cap)
            len = cap; /* the rest stays in the stream: the writer's own cut */
        memcpy(s, r, len);
        r += len;
    }
    INLINE void hdr()
    {
        host_to_wire<4>(rec + HDR_OPCODE, r);
        host_to_wire<4>(rec + HDR_STATUS, r + 4);
        r += 8;
        string(rec + HDR_ERTXT, HDR_ERTXT_LEN);
    }
    template <unsigned W> INLINE void scalars(unsigned off, unsigned n, const char *)
    {
        for (unsigned k = 0; k < n; k++)
            host_to_wire<W>(rec + off + k * W, r + k * W); /* a swap is its own inverse */
        r += W * n;
    }
    INLINE void str(unsigned off, unsigned cap, const char *)
    {
        string(rec + off, cap);
    }
    INLINE void raw(unsigned off, unsigned len, const char *)
    {
        memcpy(rec + off, r, len);
        r += len;
    }
    template <int S> INLINE void sub(unsigned off)
    {
        rec += off;
        codec<S>::fields(*this);
        rec -= off;
    }
    template <int S> INLINE void tail(unsigned, unsigned, const char *) {}
};

/* Decodes a fixed part field by field through mc_read: near the end of
 * what the stream buffer holds, where a field may be cut across reads. */
struct stream_decoder {
    int fd;
    unsigned char *rec;
    int id;
    bool bad = false;

    bool take(void *to, size_t n, const char *f)
    {
        if (!bad && get(fd, to, n, id, f) != 0)
            bad = true;
        return !bad;
    }
    void string(unsigned char *s, unsigned cap, const char *f)
    {
        unsigned char b[4];
        if (!take(b, 4, f))
            return;
        uint32_t len = wire32(b);
        (void)take(s, len > cap ? cap : len, f);
    }
    void hdr()
    {
        unsigned char b[8];
        if (take(b, 4, "mc_opcode") && take(b + 4, 4, "mc_status")) {
            host_to_wire<4>(rec + HDR_OPCODE, b);
            host_to_wire<4>(rec + HDR_STATUS, b + 4);
            string(rec + HDR_ERTXT, HDR_ERTXT_LEN, "mc_ertxt");
        }
    }
    template <unsigned W> void scalars(unsigned off, unsigned n, const char *f)
    {
        unsigned char b[8];
        for (unsigned k = 0; k < n && take(b, W, f); k++)
            host_to_wire<W>(rec + off + k * W, b);
    }
    void str(unsigned off, unsigned cap, const char *f)
    {
        string(rec + off, cap, f);
    }
    void raw(unsigned off, unsigned len, const char *f)
    {
        (void)take(rec + off, len, f);
    }
    template <int S> void sub(unsigned off)
    {
        int outer = id;
        rec += off;
        id = S;
        codec<S>::fields(*this);
        rec -= off;
        id = outer;
    }
    template <int S> void tail(unsigned, unsigned, const char *) {}
};

/* Writes one record and its elements onto the thread's stream `p`, reading
 * at most `avail` bytes of it; returns its total size or -1. */
template <int ID>
long write_rec(per_thread_buffer_t *p, int fd, const unsigned char *rec, size_t avail)
{
    constexpr size_t M = max_wire<ID>();
    int room = p->wsize - p->woff;
    if ((size_t)room >= M) {
        encoder<false> e{(unsigned char *)p->wbuf + p->woff, rec};
        codec<ID>::fields(e);
        p->woff = (int)(e.w - (unsigned char *)p->wbuf);
        if (p->woff == p->wsize && mc_flush(fd) != 1) {
            write_failed<ID>(rec, room);
            return -1;
        }
    } else {
        /* Too little room left: through mc_write, which fills the buffer,
         * flushes it and keeps the rest, as every write does. */
        unsigned char stage[M];
        encoder<false> e{stage, rec};
        codec<ID>::fields(e);
        int n = (int)(e.w - stage);
        if (mc_write(fd, stage, n) != n) {
            write_failed<ID>(rec, room);
            return -1;
        }
    }
    constexpr tail_info t = tail_of<ID>();
    if constexpr (t.elem < 0) {
        return codec<ID>::bytes;
    } else {
        constexpr size_t es = codec<t.elem>::bytes;
        uint32_t n = host32(rec + t.count_off);
        size_t pos = codec<ID>::bytes;
        for (uint32_t k = 0; k < n; k++) {
            if (pos + es > avail) {
                char w[160];
                where(w, sizeof(w), "write", ID, t.name);
                fprintf(stderr, "%s: %u elements do not fit in the record\n", w, n);
                return -1;
            }
            long e = write_rec<t.elem>(p, fd, rec + pos, avail - pos);
            if (e < 0)
                return -1;
            pos += (size_t)e;
        }
        return (long)pos;
    }
}

/* The largest reply: its size travels in 32 bits (mc_size), in 64-byte
 * steps. */
const size_t reply_max = UINT32_MAX & ~(size_t)(MCALL_ALIGN - 1);

/* Makes the reply buffer hold `upto` bytes, growing it towards the total
 * `end` in doubling steps: a count that promises more elements than the
 * peer sends costs only what arrived. New bytes are zeroed once, here. */
INLINE void claim(per_thread_buffer_t *p, size_t upto, size_t end)
{
    if (upto <= p->size)
        return;
    size_t old = p->size, n = 2 * old > upto ? 2 * old : upto;
    if (n > end)
        n = end;
    unsigned char *b = (unsigned char *)mc_realloc(p->buffer, n);
    memset(b + old, 0, n - old);
}

/* Decodes one record at `off` of the thread's reply buffer (zeroed), and
 * its elements after it; `end` is the reply's total so far. Returns the
 * record's size with its elements, or -1. */
template <int ID> long read_rec(per_thread_buffer_t *p, int fd, size_t off, size_t *end)
{
    constexpr size_t M = max_wire<ID>();
    unsigned char *rec = (unsigned char *)p->buffer + off;
    if ((size_t)(p->rend - p->roff) >= M) {
        buffered_decoder d{(const unsigned char *)p->rbuf + p->roff, rec};
        codec<ID>::fields(d);
        p->roff = (int)(d.r - (const unsigned char *)p->rbuf);
    } else {
        stream_decoder d{fd, rec, ID};
        codec<ID>::fields(d);
        if (d.bad)
            return -1;
    }
    constexpr tail_info t = tail_of<ID>();
    if constexpr (t.elem < 0) {
        return codec<ID>::bytes;
    } else {
        constexpr size_t es = codec<t.elem>::bytes;
        uint32_t n = host32(rec + t.count_off);
        if ((uint64_t)n * es > reply_max - *end) {
            char w[160];
            where(w, sizeof(w), "read", ID, t.name);
            fprintf(stderr, "Error: %s: %u elements exceed %zu bytes\n", w, n, reply_max);
            return -1;
        }
        *end += (size_t)n * es;
        size_t pos = off + codec<ID>::bytes;
        for (uint32_t k = 0; k < n; k++) {
            claim(p, pos + es, *end);
            long e = read_rec<t.elem>(p, fd, pos, end);
            if (e < 0)
                return -1;
            pos += (size_t)e;
        }
        return (long)(pos - off);
    }
}

typedef long (*write_fn)(per_thread_buffer_t *, int, const unsigned char *, size_t);
typedef long (*read_fn)(per_thread_buffer_t *, int, size_t, size_t *);

const write_fn write_fns[STRCNV_NTYPES] = {
#define STRCNV_TYPE(name, size, ...) write_rec<STRCNV_ID_##name>,
#include "strcnv_types.def"
#undef STRCNV_TYPE
};

const read_fn read_fns[STRCNV_NTYPES] = {
#define STRCNV_TYPE(name, size, ...) read_rec<STRCNV_ID_##name>,
#include "strcnv_types.def"
#undef STRCNV_TYPE
};

per_thread_buffer_t *stream_of(int fd)
{
    per_thread_buffer_t *p = get_thread_specific_buffer();
    OSK_ASSERT(p != NULL);
    OSK_ASSERT(fd == p->fd);
    return p;
}

} // namespace

/* A record shorter than its type (a request made with a smaller size)
 * travels as if the missing bytes were zero. */
static long write_top(per_thread_buffer_t *p, int fd, int id, const void *recp, size_t avail)
{
    const unsigned char *rec = (const unsigned char *)recp;
    if (avail >= strcnv_types[id].size)
        return write_fns[id](p, fd, rec, avail);
    unsigned char *copy = (unsigned char *)calloc(1, strcnv_types[id].size);
    OSK_ASSERT(copy != NULL);
    memcpy(copy, rec, avail);
    long n = write_fns[id](p, fd, copy, strcnv_types[id].size);
    free(copy);
    return n;
}

long strcnv_write(int fd, int id, const void *rec, size_t avail)
{
    return write_top(stream_of(fd), fd, id, rec, avail);
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

static int send_name(int fd, int id)
{
    const char *name = strcnv_types[id].name;
    uint32_t len = (uint32_t)strlen(name);
    unsigned char b[4 + STRCNV_MAX_NAME];
    uint32_t be = __builtin_bswap32(len);
    if constexpr (std::endian::native == std::endian::big)
        be = len;
    memcpy(b, &be, 4);
    memcpy(b + 4, name, len);
    return put(fd, b, 4 + len, id, NULL);
}

int strcnv_send(int fd, int id, const void *rec)
{
    per_thread_buffer_t *p = stream_of(fd);
    if (send_name(fd, id) != 0)
        return -1;
    return write_top(p, fd, id, rec, avail_of(id, rec)) < 0 ? -1 : 0;
}

long strcnv_read(int fd, int id, size_t off, size_t *end)
{
    per_thread_buffer_t *p = stream_of(fd);
    memset((unsigned char *)p->buffer + off, 0, strcnv_types[id].size);
    return read_fns[id](p, fd, off, end);
}

static void *receive(per_thread_buffer_t *p, int fd, int id, read_fn read, size_t *total)
{
    size_t end = strcnv_types[id].size;
    memset(mc_malloc(end), 0, end);
    long n = read(p, fd, 0, &end);
    if (n < 0)
        return NULL;
    claim(p, end, end);
    OSK_ASSERT((size_t)n == end && p->size == end);
    *total = (size_t)n;
    return p->buffer;
}

void *strcnv_receive(int fd, int id, size_t *total)
{
    return receive(stream_of(fd), fd, id, read_fns[id], total);
}

/* Lists (see strcnv.h): every link is at the start of its element. */
static void list_where(char *buf, size_t n, const char *dir, int id)
{
    snprintf(buf, n, "%s_%s_list()", dir, strcnv_types[id].name);
}

long strcnv_write_list(int fd, int id, const void *ownerp, size_t avail, uint32_t head)
{
    per_thread_buffer_t *p = stream_of(fd);
    const unsigned char *owner = (const unsigned char *)ownerp;
    size_t es = strcnv_types[id].size;
    char w[160];
    /* The count goes first. Every link must land in the block, and a chain
     * longer than the block has room for is a cycle. */
    uint32_t n = 0;
    for (uint32_t off = head; off != 0; off = host32(owner + off), n++) {
        if ((size_t)off + es > avail || n == avail / es) {
            list_where(w, sizeof(w), "write", id);
            fprintf(stderr, "%s: link %u runs outside the list's %zu bytes\n", w, off, avail);
            return -1;
        }
    }
    unsigned char b[4];
    uint32_t be = std::endian::native == std::endian::little ? __builtin_bswap32(n) : n;
    memcpy(b, &be, 4);
    if (mc_write(fd, b, 4) != 4) {
        list_where(w, sizeof(w), "write", id);
        perror(w);
        return -1;
    }
    for (uint32_t off = head; off != 0; off = host32(owner + off)) {
        if (write_fns[id](p, fd, owner + off, es) < 0)
            return -1;
    }
    return n;
}

long strcnv_read_list(int fd, int id, size_t owner_off, size_t *end, uint32_t *head)
{
    per_thread_buffer_t *p = stream_of(fd);
    size_t es = strcnv_types[id].size;
    char w[160];
    unsigned char b[4];
    int saved = errno;
    errno = 0;
    int r = mc_read(fd, b, 4);
    if (r != 4) {
        list_where(w, sizeof(w), "read", id);
        if (r < 0 && errno != 0)
            perror(w);
        else
            fprintf(stderr, "Error: %s\n", w);
        return -1;
    }
    errno = saved;
    uint32_t n = wire32(b);
    if ((uint64_t)n * es > reply_max - *end) {
        list_where(w, sizeof(w), "read", id);
        fprintf(stderr, "Error: %s: %u elements exceed %zu bytes\n", w, n, reply_max);
        return -1;
    }
    size_t start = *end;
    *end += (size_t)n * es;
    for (uint32_t k = 0; k < n; k++) {
        size_t pos = start + k * es;
        claim(p, pos + es, *end);
        if (read_fns[id](p, fd, pos, end) < 0)
            return -1;
        uint32_t next = k + 1 < n ? (uint32_t)(pos + es - owner_off) : 0;
        memcpy((unsigned char *)p->buffer + pos, &next, 4);
    }
    claim(p, *end, *end);
    *head = n ? (uint32_t)(start - owner_off) : 0;
    return n;
}

void strcnv_unpackf_list(int, void *ownerp, uint32_t head)
{
    unsigned char *owner = (unsigned char *)ownerp;
    for (uint32_t off = head; off != 0;) {
        unsigned char *e = owner + off;
        uint32_t next = host32(e);
        uint32_t d = next ? next - off : 0;
        memcpy(e, &d, 4);
        off = next;
    }
}

void strcnv_packf_list(int, void *ownerp, uint32_t head)
{
    unsigned char *owner = (unsigned char *)ownerp;
    for (uint32_t off = head; off != 0;) {
        unsigned char *e = owner + off;
        uint32_t d = host32(e);
        uint32_t next = d ? off + d : 0;
        memcpy(e, &next, 4);
        off = next;
    }
}

void *strcnv_list_next(void *elem)
{
    int32_t d = (int32_t)host32((const unsigned char *)elem);
    return d ? (unsigned char *)elem + d : NULL;
}

#define STRCNV_LIST_DEF(name)                                                                      \
    long write_##name##_list(int fd, const void *owner, size_t avail, uint32_t head)               \
    {                                                                                              \
        return strcnv_write_list(fd, STRCNV_ID_##name, owner, avail, head);                        \
    }                                                                                              \
    long read_##name##_list(int fd, size_t owner_off, size_t *end, uint32_t *head)                 \
    {                                                                                              \
        return strcnv_read_list(fd, STRCNV_ID_##name, owner_off, end, head);                       \
    }                                                                                              \
    void packf_##name##_list(void *owner, uint32_t head)                                           \
    {                                                                                              \
        strcnv_packf_list(STRCNV_ID_##name, owner, head);                                          \
    }                                                                                              \
    void unpackf_##name##_list(void *owner, uint32_t head)                                         \
    {                                                                                              \
        strcnv_unpackf_list(STRCNV_ID_##name, owner, head);                                        \
    }                                                                                              \
    void free_##name##_list(void *first)                                                           \
    {                                                                                              \
        for (void *e = first; e; e = strcnv_list_next(e))                                          \
            free_##name(e);                                                                        \
    }
STRCNV_LIST_TYPES(STRCNV_LIST_DEF)
#undef STRCNV_LIST_DEF

/* Every list type starts with its link, which the codec does not carry. */
#define STRCNV_LIST_CHECK(name)                                                                    \
    static_assert(first_off<STRCNV_ID_##name>() >= 4, #name ": its link word is carried");
STRCNV_LIST_TYPES(STRCNV_LIST_CHECK)
#undef STRCNV_LIST_CHECK

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
        return receive(stream_of(fd), fd, STRCNV_ID_##name, read_rec<STRCNV_ID_##name>, total);    \
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
