/* Versions, the connection handshake and the printing helpers of the codecs. */
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "mcsocket.h"
#include "strcnv.h"
#include "osk_banned.h"

strcnv_version STRCNV_CURRENT_JSTRUCT_VERSION;
strcnv_version STRCNV_CURRENT_VERSION;
strcnv_short_redef STRCNV_SHORT_REDEF_CHARS;
void (*strcnv_as_vm_func)(int, const strcnv_version *, const strcnv_version *, const char *);

void strcnv_set_version(strcnv_version *v, const char *text)
{
    memset(v, 0, sizeof(*v));
    const char *p = text;
    for (int i = 0; i < 5 && p; i++) {
        v->v[i] = (int16_t)atoi(p);
        p = strchr(p, '.');
        if (p)
            p++;
    }
}

void strcnv_initialize(void)
{
    strcnv_set_version(&STRCNV_CURRENT_JSTRUCT_VERSION, STRCNV_CURRENT_JSTRUCT_TEXT);
    strcnv_set_version(&STRCNV_CURRENT_VERSION, STRCNV_CURRENT_VERSION_TEXT);
    STRCNV_SHORT_REDEF_CHARS.s = 1;
}

uint64_t strcnv_ll_bytes_reversed(uint64_t x)
{
    uint64_t r = 0;
    for (int i = 0; i < 8; i++, x >>= 8)
        r = (r << 8) | (x & 0xff);
    return r;
}

uint64_t strcnv_htonll(uint64_t x)
{
    return strcnv_is_big_endian() ? x : strcnv_ll_bytes_reversed(x);
}

uint64_t strcnv_ntohll(uint64_t x)
{
    return strcnv_htonll(x);
}

size_t strcnv_strnlen(const char *s, size_t max)
{
    size_t n = 0;
    while (n < max && s[n])
        n++;
    return n;
}

/* Reports a failed handshake step as the codecs do: the system error when
 * there is one, else the peer closed. */
static void step_failed(const char *what, int r)
{
    if (r < 0 && errno != 0)
        perror(what);
    else
        fprintf(stderr, "Error: %s\n", what);
}

int strcnv_send_version(int fd, const strcnv_version *v)
{
    unsigned char b[10];
    for (int i = 0; i < 5; i++) {
        b[2 * i] = (unsigned char)((uint16_t)v->v[i] >> 8);
        b[2 * i + 1] = (unsigned char)v->v[i];
    }
    if (mc_write(fd, b, 10) != 10) {
        perror("strcnv_send_version()");
        return -1;
    }
    return 0;
}

int strcnv_receive_version(int fd, strcnv_version *v)
{
    unsigned char b[10];
    errno = 0;
    int r = mc_read(fd, b, 10);
    if (r != 10) {
        step_failed("strcnv_receive_version() 1", r);
        return -1;
    }
    for (int i = 0; i < 5; i++)
        v->v[i] = (int16_t)((b[2 * i] << 8) | b[2 * i + 1]);
    return 0;
}

static int send_verdict(int fd, uint32_t verdict, const char *what)
{
    unsigned char b[4] = {(unsigned char)(verdict >> 24), (unsigned char)(verdict >> 16),
                          (unsigned char)(verdict >> 8), (unsigned char)verdict};
    if (mc_write(fd, b, 4) != 4 || mc_flush(fd) != 1) {
        perror(what);
        return -1;
    }
    return 0;
}

static int receive_verdict(int fd, uint32_t *verdict, const char *what)
{
    unsigned char b[4];
    errno = 0;
    int r = mc_read(fd, b, 4);
    if (r != 4) {
        step_failed(what, r);
        return -1;
    }
    *verdict = ((uint32_t)b[0] << 24) | ((uint32_t)b[1] << 16) | ((uint32_t)b[2] << 8) | b[3];
    return 0;
}

static int versions_equal(const strcnv_version *a, const strcnv_version *b)
{
    return memcmp(a->v, b->v, sizeof(a->v)) == 0;
}

/* -1: the exchange itself failed. */
static int check_version(int fd, const strcnv_version *ours, strcnv_version *theirs)
{
    if (strcnv_receive_version(fd, theirs) != 0)
        return -1;
    int differ = !versions_equal(ours, theirs);
    if (send_verdict(fd, (uint32_t)differ, "strcnv_check_version()") != 0)
        return -1;
    if (differ && (strcnv_send_version(fd, ours) != 0 || mc_flush(fd) != 1))
        return -1;
    return differ;
}

int strcnv_check_version(int fd, const strcnv_version *ours, const char *)
{
    strcnv_version theirs;
    return check_version(fd, ours, &theirs) != 0;
}

static void close_and_end(int fd)
{
    fprintf(stderr, "Closing file descriptor %d\n", fd);
    close_socket();
    pthread_exit(NULL);
}

void strcnv_handshake(int fd)
{
    strcnv_version js, pv;
    int r1 = check_version(fd, &STRCNV_CURRENT_JSTRUCT_VERSION, &js);
    if (r1 < 0) {
        fprintf(stderr, "strcnv_handshake() 1 failed\n");
        close_and_end(fd);
    }
    int r2 = check_version(fd, &STRCNV_CURRENT_VERSION, &pv);
    if (r2 < 0) {
        fprintf(stderr, "strcnv_handshake() 2 failed\n");
        close_and_end(fd);
    }
    if (r1 || r2) {
        if (r2)
            strcnv_print_version_mismatch(fd, &STRCNV_CURRENT_VERSION, &pv, "version");
        else
            strcnv_print_version_mismatch(fd, &STRCNV_CURRENT_JSTRUCT_VERSION, &js,
                                          "jstruct version");
        /* Give the peer time to read our verdict before the close. */
        sleep(2);
        close_and_end(fd);
    }
}

int strcnv_client_handshake(int fd)
{
    uint32_t v1, v2;
    strcnv_version js = {}, pv = {};
    if (strcnv_send_version(fd, &STRCNV_CURRENT_JSTRUCT_VERSION) != 0 || mc_flush(fd) != 1)
        return 1;
    if (receive_verdict(fd, &v1, "strcnv_handshake() 1") != 0)
        return 1;
    if (v1 != 0 && strcnv_receive_version(fd, &js) != 0)
        return 1;
    /* Servers from record-definition version x.63 on still answer the
     * protocol exchange after a record-definition mismatch. */
    if (v1 == 0 || js.v[1] > 62) {
        if (strcnv_send_version(fd, &STRCNV_CURRENT_VERSION) != 0 || mc_flush(fd) != 1)
            return 1;
        if (receive_verdict(fd, &v2, "strcnv_handshake() 2") != 0)
            return 1;
        if (v2 != 0) {
            if (strcnv_receive_version(fd, &pv) != 0)
                return 1;
            strcnv_print_version_mismatch(fd, &STRCNV_CURRENT_VERSION, &pv, "version");
            return 1;
        }
        if (v1 == 0)
            return 0;
    }
    strcnv_print_version_mismatch(fd, &STRCNV_CURRENT_JSTRUCT_VERSION, &js, "jstruct version");
    return 1;
}

int strcnv_snprintf_version(const strcnv_version *v, char *buf, size_t n)
{
    int last = 0;
    for (int i = 1; i < 5; i++) {
        if (v->v[i] != 0)
            last = i;
    }
    size_t used = 0;
    if (n > 0)
        buf[0] = '\0';
    for (int i = 0; i <= last; i++) {
        int w = snprintf(buf + used, n - used, "%s%hd", i ? "." : "", v->v[i]);
        if (w < 0 || (size_t)w >= n - used)
            return 0;
        used += (size_t)w;
    }
    return 1;
}

void strcnv_print_version_mismatch(int fd, const strcnv_version *ours, const strcnv_version *theirs,
                                   const char *what)
{
    char a[40], b[40];
    (void)strcnv_snprintf_version(ours, a, sizeof(a));
    (void)strcnv_snprintf_version(theirs, b, sizeof(b));
    fprintf(stderr, "Error: %s mismatch:\n  this program %s\n  connected program %s\n", what, a, b);
    if (strcnv_as_vm_func)
        strcnv_as_vm_func(fd, ours, theirs, what);
}

void strcnv_print_tabs(FILE *stream, int depth)
{
    for (int i = 0; i < depth; i++)
        fputs("  ", stream);
}

void strcnv_print_buffer(const char *buf, size_t max)
{
    fwrite(buf, 1, strcnv_strnlen(buf, max), stdout);
}

void strcnv_print_byte_array(const unsigned char *buf, size_t len, int depth)
{
    for (size_t line = 0; line < len; line += 16) {
        strcnv_print_tabs(stdout, depth);
        for (size_t i = line; i < line + 16; i++) {
            if (i < len)
                printf(" %2.2x", buf[i]);
            else
                printf("   ");
        }
        printf("   ");
        for (size_t i = line; i < line + 16 && i < len; i++)
            putchar(buf[i] >= 32 && buf[i] <= 126 ? buf[i] : '.');
        putchar('\n');
    }
}

const char *strcnv_print_bits(uint64_t value, int width)
{
    static char bits[65];
    int n = 0;
    char rev[64];
    do {
        rev[n++] = (char)('0' + (value & 1));
        value >>= 1;
    } while (value && n < 64);
    if (width > 64)
        width = 64;
    int len = n > width ? n : width;
    for (int i = 0; i < len; i++)
        bits[i] = i < len - n ? '0' : rev[len - 1 - i];
    bits[len] = '\0';
    fputs(bits, stdout);
    return bits;
}
