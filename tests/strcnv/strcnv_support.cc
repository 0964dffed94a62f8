#include "strcnv_support.h"

#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

per_thread_buffer_t *test_record(void)
{
    strcnv_initialize();
    per_thread_buffer_t *p = get_thread_specific_buffer();
    if (p == nullptr)
        p = init_thread_buffer(nullptr, 1);
    return p;
}

static bool has_header(int id)
{
    return strcnv_types[id].nfields > 0 && strcnv_types[id].fields[0].kind == SK_HDR;
}

static void put_le(unsigned char *p, unsigned w, uint64_t v)
{
    for (unsigned i = 0; i < w; i++)
        p[i] = (unsigned char)(v >> (8 * i));
}

static void random_string(unsigned char *p, uint32_t cap, std::mt19937 &rng)
{
    /* Full strings (no terminator) and empty ones are both common. */
    uint32_t len;
    switch (rng() % 4) {
    case 0:
        len = cap;
        break;
    case 1:
        len = 0;
        break;
    default:
        len = rng() % (cap + 1);
    }
    for (uint32_t i = 0; i < len; i++)
        p[i] = (unsigned char)(1 + rng() % 255);
}

/* Fills the record at out[off] (its fixed part already there, zero). */
static void fill(int id, bytes_t &out, size_t off, std::mt19937 &rng, unsigned max_count)
{
    const strcnv_type *t = &strcnv_types[id];
    for (int i = 0; i < t->nfields; i++) {
        const strcnv_field *f = &t->fields[i];
        switch (f->kind) {
        case SK_HDR:
            put_le(&out[off], 4, rng());
            put_le(&out[off + 12], 4, rng());
            random_string(&out[off + 16], 240, rng);
            break;
        case SK_U8:
        case SK_U16:
        case SK_U32:
        case SK_U64: {
            unsigned w = f->kind == SK_U8 ? 1 : f->kind == SK_U16 ? 2 : f->kind == SK_U32 ? 4 : 8;
            for (uint32_t k = 0; k < f->len; k++)
                put_le(&out[off + f->off + k * w], w, ((uint64_t)rng() << 32) | rng());
            break;
        }
        case SK_STR:
            random_string(&out[off + f->off], f->len, rng);
            break;
        case SK_BYTES:
            for (uint32_t k = 0; k < f->len; k++)
                out[off + f->off + k] = (unsigned char)rng();
            break;
        case SK_SUB:
            fill(f->sub, out, off + f->off, rng, max_count);
            break;
        case SK_TAIL: {
            uint32_t n = max_count ? rng() % (max_count + 1) : 0;
            put_le(&out[off + f->count_off], 4, n);
            for (uint32_t k = 0; k < n; k++) {
                size_t at = out.size();
                out.resize(at + strcnv_types[f->sub].size);
                fill(f->sub, out, at, rng, max_count);
            }
            break;
        }
        }
    }
}

bytes_t random_record(int id, std::mt19937 &rng, unsigned max_count)
{
    bytes_t out(strcnv_types[id].size);
    fill(id, out, 0, rng, max_count);
    if (has_header(id)) {
        put_le(&out[4], 4, out.size());
        put_le(&out[8], 4, out.size());
    }
    return out;
}

bytes_t wire_of(const std::function<bool(int fd)> &write)
{
    per_thread_buffer_t *p = test_record();
    int s[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, s) != 0)
        abort();
    mc_open(s[0], nullptr);
    bool ok = write(s[0]);
    p->fd = -1;
    close(s[0]);
    bytes_t wire;
    unsigned char buf[4096];
    ssize_t r;
    while ((r = read(s[1], buf, sizeof buf)) > 0)
        wire.insert(wire.end(), buf, buf + r);
    close(s[1]);
    if (!ok)
        wire.clear();
    return wire;
}

bytes_t encode(int id, const void *rec)
{
    return wire_of([&](int fd) { return js_send[id](fd, rec) == 0 && mc_flush(fd) == 1; });
}

bool decode(int id, const bytes_t &wire, bytes_t *out)
{
    per_thread_buffer_t *p = test_record();
    int s[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, s) != 0)
        abort();
    int big = 1 << 20;
    (void)setsockopt(s[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    size_t done = 0;
    while (done < wire.size()) {
        ssize_t w = write(s[1], wire.data() + done, wire.size() - done);
        if (w <= 0)
            abort();
        done += (size_t)w;
    }
    close(s[1]);
    mc_open(s[0], nullptr);
    bool ok = false;
    char name[STRCNV_MAX_NAME + 1];
    if (strcnv_read_name(s[0], name) == 1 && strcmp(name, strcnv_array[id]) == 0) {
        p->malloc_called = 0;
        size_t total = 0;
        void *rec = js_receive[id](s[0], &total);
        if (rec != nullptr) {
            ok = true;
            if (out != nullptr)
                out->assign((unsigned char *)rec, (unsigned char *)rec + total);
        }
    }
    p->fd = -1;
    p->roff = p->rend = 0;
    close(s[0]);
    return ok;
}

bytes_t strip_name(const bytes_t &wire)
{
    size_t len = ((size_t)wire[0] << 24) | (wire[1] << 16) | (wire[2] << 8) | wire[3];
    return bytes_t(wire.begin() + 4 + (long)len, wire.end());
}

void clear_sizes(int id, bytes_t &rec)
{
    if (has_header(id) && rec.size() >= 12)
        memset(&rec[4], 0, 8);
}
