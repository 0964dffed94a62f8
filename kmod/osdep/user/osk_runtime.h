/*
 * Runtime services of the user-space build: timestamped printing, levelled
 * messages, the assertion and panic convention, memory and string helpers,
 * threads, time, call-stack capture and code-to-text lookup.
 *
 * Everything prints to standard output, never to standard error. Printing
 * is synchronous unless osk_setup_async_printing() was called once; there is
 * no way back.
 *
 * Assertions: OSK_ASSERT(cond) prints "Assertion failed: <cond text>" with
 * osk_print() and then panics with the file and line. A panic never returns.
 * By default (osk_panic_wantcore 1) it aborts the process so that a core can
 * be kept. After osk_init_panic(0) only the panicking thread stops: it parks
 * for good holding the panic mutex (later panics queue behind it) and the
 * rest of the process goes on.
 *
 * Strings: every copy is bounded by its destination and always terminated;
 * a source that does not fit is cut, never overruns.
 */
#ifndef OSK_RUNTIME_H
#define OSK_RUNTIME_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "osk_types.h"
#include "osk_errcode.h"

#define OSK_PRINTF(f, a) __attribute__((format(printf, f, a)))

/* Printing */
void osk_print(const char *fmt, ...) OSK_PRINTF(1, 2);
void osk_cprint(const char *fmt, ...) OSK_PRINTF(1, 2);
void osk_cprint_va(const char *fmt, va_list ap) OSK_PRINTF(1, 0);
void osk_print_online(const char *fmt, ...) OSK_PRINTF(1, 2);
void osk_print_async(const char *fmt, ...) OSK_PRINTF(1, 2);
void osk_print_async_va(const char *fmt, va_list ap) OSK_PRINTF(1, 0);
void osk_setup_async_printing(void);
void osk_wait_for_async_prt_flush(uint64_t usecs_max);

/* Asynchronous ring state, guarded by osk_prt_mtx; the counters are kept for
 * inspection in a debugger. Set osk_prt_buflen before the setup call to size
 * the ring. A writer that finds the ring full waits at most
 * osk_prt_ticks_maxwait microseconds (measured from the start of the
 * printer's current write) and then drops its message. */
extern int osk_prt_async;
extern int osk_prt_buflen;
extern uint64_t osk_prt_ticks_maxwait;
extern int osk_prt_dropped;
extern int osk_prt_dropped_total;
extern int osk_prt_waitcnt;

extern int log_message_level;
void log_message_init(void);
void log_message(int level, const char *fmt, ...) OSK_PRINTF(2, 3);

int osk_snprintf(char *buf, size_t len, const char *fmt, ...) OSK_PRINTF(3, 4);
#define ERBUFF_LEN 240
int erbuff_printf(char *buf, const char *fmt, ...) OSK_PRINTF(2, 3);
[[noreturn]] void osk_death(const char *fmt, ...) OSK_PRINTF(1, 2);
[[noreturn]] void stop_me(void);

/* Panic and assertion */
[[noreturn]] void osk_panic(const char *fmt, ...) OSK_PRINTF(1, 2);
void osk_init_panic(int wantcore);
extern int osk_panic_wantcore;
extern int panic_count;
int osk_show_panic(void);

#define OSK_ASSERT(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            osk_print("Assertion failed: %s\n", #cond);                                            \
            osk_panic("Assertion point: file: %s, line: %d\n", __FILE__, __LINE__);                \
        }                                                                                          \
    } while (0)

/* Memory and strings */
void *osk_alloc(size_t size, int wait, int zero);
void *osk_realloc(void *ptr, size_t size, size_t oldsize, int zero);
void osk_free(void *ptr, size_t size);
void *malloc_or_die(size_t len);
void free_if_not_null(void *space);
char *osk_strncpy(char *a, const char *b, size_t length);
/* strcpy into an array: the array's size is the bound, so a pointer
 * destination, whose size is unknown here, does not build. */
template <size_t N> char *osk_strcpy(char (&a)[N], const char *b)
{
    return osk_strncpy(a, b, N);
}
size_t osk_strnlen(const char *s, size_t maxlen);
int osk_strcmp(const char *a, const char *b);
int osk_strncmp(const char *a, const char *b, size_t n);
size_t osk_strlen(const char *s);
char *osk_strstr(const char *hay, const char *needle);
void *osk_copy(void *d, const void *s, size_t count);
void *osk_move(void *d, const void *s, size_t count);
int osk_compare_memory(const void *a, const void *b, size_t count);
void *osk_set_memory(void *a, int val, size_t len);
int osk_copy_from_user(void *d, const void *s, size_t count);
int osk_copy_to_user(void *d, const void *s, size_t count);
int osk_get_cpu_id(void);
uint64_t osk_va_to_pa(const void *va);
uint16_t osk_htons(uint16_t v);
uint32_t osk_htonl(uint32_t v);
uint16_t osk_ntohs(uint16_t v);
uint32_t osk_ntohl(uint32_t v);

/* Threads, time and identity */
typedef void *(*osk_thread_fn_t)(void *);
osk_thread_t osk_thread_create(osk_thread_fn_t fn, void *arg);
osk_thread_t osk_thread_create_detached(osk_thread_fn_t fn, void *arg);
int osk_thread_join(osk_thread_t th, void **retval);
int osk_thread_wait(osk_thread_t th);
int osk_valid_thread_id(osk_thread_t th);
void osk_thread_change_name(const char *name);
void osk_set_thread_high_priority(void);
pid_t osk_getpid(void);
long osk_my_thread_id(void);
void osk_milli_sleep(unsigned milliseconds);
uint64_t osk_cputicks(void);
time_t osk_get_time(void);

/* Call stack */
void *osk_get_caller(void);
void *osk_get_callern(int n);
void osk_pcstack(int n, void **pcstk);
void osk_getstack(char *buffer, size_t max_size, const char *sep, int start_stacknum);
void osk_printstack_str(const char *prefix);
void osk_printstack(void);

/* Lookup and bits */
const char *findtext(const textxlat_t *table, int code);
int findcode(const textxlat_t *table, const char *text);
const char *ext_findtext(const ext_textxlat_t *table, int code, int longdesc);
int ext_findcode_shdesc(const ext_textxlat_t *table, const char *text);
int ext_findcode_longdesc(const ext_textxlat_t *table, const char *text);
int osk_one_bits(uint32_t n);

#endif
