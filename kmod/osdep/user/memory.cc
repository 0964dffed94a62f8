/*
 * Memory, string, byte-order, lookup-table and bit helpers. Several exist so
 * that code written against a kernel-style interface runs unchanged in an
 * ordinary process.
 */
#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>

#include "osk_runtime.h"
#include "osk_banned.h"

void *osk_alloc(size_t size, int wait, int zero)
{
    (void)wait; /* malloc either succeeds or fails; there is nothing to wait for */
    void *p = malloc(size);
    if (p != NULL && zero)
        memset(p, 0, size);
    return p;
}

void *osk_realloc(void *ptr, size_t size, size_t oldsize, int zero)
{
    OSK_ASSERT(size > 0);
    OSK_ASSERT(((ptr == NULL) && (oldsize == 0)) || (oldsize > 0));
    OSK_ASSERT(size > oldsize);
    void *p = realloc(ptr, size);
    if (p != NULL && zero)
        memset((char *)p + oldsize, 0, size - oldsize);
    return p;
}

void osk_free(void *ptr, size_t size)
{
    (void)size;
    free(ptr);
}

void *malloc_or_die(size_t len)
{
    void *m = malloc(len);
    OSK_ASSERT(m != NULL);
    return m;
}

void free_if_not_null(void *space)
{
    if (space != NULL)
        free(space);
}

char *osk_strncpy(char *a, const char *b, size_t length)
{
    OSK_ASSERT(length >= 1);
    strncpy(a, b, length);
    a[length - 1] = '\0';
    return a;
}

size_t osk_strnlen(const char *s, size_t maxlen)
{
    return strnlen(s, maxlen);
}

int osk_strcmp(const char *a, const char *b)
{
    return strcmp(a, b);
}

int osk_strncmp(const char *a, const char *b, size_t n)
{
    return strncmp(a, b, n);
}

size_t osk_strlen(const char *s)
{
    return strlen(s);
}

char *osk_strstr(const char *hay, const char *needle)
{
    return (char *)strstr(hay, needle);
}

void *osk_copy(void *d, const void *s, size_t count)
{
    return memcpy(d, s, count);
}

void *osk_move(void *d, const void *s, size_t count)
{
    return memmove(d, s, count);
}

int osk_compare_memory(const void *a, const void *b, size_t count)
{
    return memcmp(a, b, count);
}

void *osk_set_memory(void *a, int val, size_t len)
{
    return memset(a, val, len);
}

/* In a process the caller's address space is ours. */
int osk_copy_from_user(void *d, const void *s, size_t count)
{
    memcpy(d, s, count);
    return 0;
}

int osk_copy_to_user(void *d, const void *s, size_t count)
{
    memcpy(d, s, count);
    return 0;
}

int osk_get_cpu_id(void)
{
    return 0;
}

uint64_t osk_va_to_pa(const void *va)
{
    return (uint64_t)(uintptr_t)va;
}

uint16_t osk_htons(uint16_t v)
{
    return htons(v);
}

uint32_t osk_htonl(uint32_t v)
{
    return htonl(v);
}

uint16_t osk_ntohs(uint16_t v)
{
    return ntohs(v);
}

uint32_t osk_ntohl(uint32_t v)
{
    return ntohl(v);
}

const char *findtext(const textxlat_t *table, int code)
{
    for (; table->tx_code != -1; table++)
        if (table->tx_code == code)
            break;
    return table->tx_text;
}

int findcode(const textxlat_t *table, const char *text)
{
    for (; table->tx_code != -1; table++)
        if (strcmp(table->tx_text, text) == 0)
            return table->tx_code;
    return -1;
}

const char *ext_findtext(const ext_textxlat_t *table, int code, int longdesc)
{
    for (; table->ext_txcode != -1; table++)
        if (table->ext_txcode == code)
            break;
    return longdesc ? table->ext_long_text : table->ext_sh_text;
}

int ext_findcode_shdesc(const ext_textxlat_t *table, const char *text)
{
    for (; table->ext_txcode != -1; table++)
        if (strcmp(table->ext_sh_text, text) == 0)
            return table->ext_txcode;
    return -1;
}

int ext_findcode_longdesc(const ext_textxlat_t *table, const char *text)
{
    for (; table->ext_txcode != -1; table++)
        if (strcmp(table->ext_long_text, text) == 0)
            return table->ext_txcode;
    return -1;
}

int osk_one_bits(uint32_t n)
{
    return __builtin_popcount(n);
}
