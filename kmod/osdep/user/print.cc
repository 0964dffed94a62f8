/*
 * Console printing and levelled messages. Synchronous by default; after
 * osk_setup_async_printing() callers only format and copy into a ring and a
 * printer thread does the slow console writes.
 */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "osk_runtime.h"
#include "osk_lock.h"
#include "osk_banned.h"

int osk_prt_async = 0;
int osk_prt_buflen = 131071;
char *osk_prt_buf = NULL;
char *osk_prt_bufmax = NULL;
char *osk_prt_bufread = NULL;
char *osk_prt_bufwrite = NULL;
osk_mutex_t osk_prt_mtx;
osk_cv_t osk_prt_cv;
uint64_t osk_prt_ticks_maxwait = 2000000;
uint64_t osk_prt_ticks_start = 0;
uint64_t osk_prt_ticks_wrmax = 0;
int osk_prt_dropped = 0;
int osk_prt_dropped_total = 0;
int osk_prt_waitcnt = 0;
int osk_prt_writelen = 0;
int osk_prt_writelen_max = 0;

/* Wall-clock microseconds when the printer began its current write. A
 * waiting writer's budget is counted in microseconds because that is what
 * the flush wait takes; the tick counter above only feeds statistics. */
static uint64_t prt_usecs_start;

int log_message_level = 3;
static int mod_init = 0;
static osk_mutex_t log_error_lock;

static uint64_t usecs_now(void)
{
    struct timeval tv;
    gettimeofday(&tv, NULL);
    return (uint64_t)tv.tv_sec * 1000000u + (uint64_t)tv.tv_usec;
}

static void format_now(char *buf, size_t len)
{
    time_t now = time(NULL);
    struct tm tm;
    buf[0] = '\0';
    if (localtime_r(&now, &tm) != NULL)
        (void)strftime(buf, len, "%a %b %d %H:%M:%S %Z %Y", &tm);
}

void osk_print(const char *fmt, ...)
{
    char when[256];
    va_list ap;

    format_now(when, sizeof(when));
    va_start(ap, fmt);
    if (osk_prt_async) {
        osk_print_async("{%s} DEBUG {%d} ", when, (int)osk_getpid());
        osk_print_async_va(fmt, ap);
    } else {
        printf("{%s} DEBUG {%d} ", when, (int)osk_getpid());
        vprintf(fmt, ap);
        fflush(stdout);
    }
    va_end(ap);
}

void osk_cprint_va(const char *fmt, va_list ap)
{
    if (osk_prt_async)
        osk_print_async_va(fmt, ap);
    else
        vprintf(fmt, ap);
}

void osk_cprint(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    osk_cprint_va(fmt, ap);
    va_end(ap);
}

void osk_print_online(const char *fmt, ...)
{
    char when[256];
    va_list ap;

    format_now(when, sizeof(when));
    printf("{%s} DEBUG {%d} ", when, (int)osk_getpid());
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fflush(stdout);
}

void osk_print_async(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    osk_print_async_va(fmt, ap);
    va_end(ap);
}

void osk_print_async_va(const char *fmt, va_list ap)
{
    char text[1024];
    size_t len;
    int waited = 0;

    int n = vsnprintf(text, sizeof(text), fmt, ap);
    if (n < 0) {
        text[0] = '\0';
        len = 1;
    } else if (n > (int)sizeof(text) - 1) {
        text[sizeof(text) - 1] = '\0';
        len = sizeof(text);
    } else {
        len = (size_t)n + 1;
    }

    osk_mutex_enter(&osk_prt_mtx);
    for (;;) {
        char *w = osk_prt_bufwrite;
        char *r = osk_prt_bufread;
        size_t room;

        if (r > w) {
            room = (size_t)(r - w);
        } else {
            room = (size_t)(osk_prt_bufmax - w);
            if (room < len) {
                /* The pending text stays ended by its NUL at the old write
                 * position; the printer finds it there after the wrap. */
                room = (size_t)(r - osk_prt_buf);
                if (room >= len)
                    w = osk_prt_buf;
            }
        }

        if (room >= len) {
            memcpy(w, text, len);
            /* Point at the copied NUL: the next message overwrites it, so
             * everything queued reads as one string. */
            osk_prt_bufwrite = w + len - 1;
            osk_prt_writelen += (int)(len - 1);
            osk_cv_signal(&osk_prt_cv);
            osk_mutex_exit(&osk_prt_mtx);
            return;
        }

        uint64_t budget = 0;
        if (!osk_prt_dropped && !waited) {
            if (osk_prt_ticks_start == 0) {
                budget = osk_prt_ticks_maxwait;
            } else {
                uint64_t now = usecs_now();
                if (now < prt_usecs_start + osk_prt_ticks_maxwait)
                    budget = prt_usecs_start + osk_prt_ticks_maxwait - now;
            }
        }
        if (budget == 0) {
            osk_prt_dropped++;
            osk_prt_dropped_total++;
            osk_mutex_exit(&osk_prt_mtx);
            return;
        }
        waited = 1;
        osk_prt_waitcnt++;
        osk_mutex_exit(&osk_prt_mtx);
        osk_wait_for_async_prt_flush(budget);
        osk_mutex_enter(&osk_prt_mtx);
    }
}

static void *osk_async_printer(void *arg)
{
    (void)arg;
    osk_mutex_enter(&osk_prt_mtx);
    for (;;) {
        char *next;

        while (osk_prt_bufread == osk_prt_bufwrite)
            osk_cv_wait(&osk_prt_cv, &osk_prt_mtx);

        if (osk_prt_bufread < osk_prt_bufwrite) {
            /* Writers never leave the write position at or past bufmax, so
             * one past it is still inside the ring. */
            osk_prt_bufwrite++;
            *osk_prt_bufwrite = '\0';
            next = osk_prt_bufwrite;
        } else {
            next = osk_prt_buf;
        }

        int dropped = osk_prt_dropped;
        osk_prt_dropped = 0;
        if (osk_prt_writelen > osk_prt_writelen_max)
            osk_prt_writelen_max = osk_prt_writelen;
        osk_prt_writelen = 0;
        osk_prt_ticks_start = osk_cputicks();
        prt_usecs_start = usecs_now();
        if (osk_prt_ticks_start == 0)
            osk_prt_ticks_start = 1;
        uint64_t start = osk_prt_ticks_start;
        osk_mutex_exit(&osk_prt_mtx);

        fputs(osk_prt_bufread, stdout);
        if (dropped)
            osk_print_online("Dropped %d messages.\n", dropped);
        fflush(stdout);
        uint64_t took = osk_cputicks() - start;

        osk_mutex_enter(&osk_prt_mtx);
        if (took > osk_prt_ticks_wrmax)
            osk_prt_ticks_wrmax = took;
        osk_prt_ticks_start = 0;
        osk_prt_bufread = next;
    }
    return NULL;
}

void osk_setup_async_printing(void)
{
    OSK_ASSERT(osk_prt_async == 0);
    osk_prt_buf = (char *)malloc_or_die((size_t)osk_prt_buflen + 1);
    osk_prt_buf[osk_prt_buflen] = '\0';
    osk_prt_buf[0] = '\0';
    osk_mutex_init(&osk_prt_mtx);
    osk_cv_init(&osk_prt_cv);
    osk_prt_bufmax = osk_prt_buf + osk_prt_buflen - 1;
    osk_prt_bufread = osk_prt_buf;
    osk_prt_bufwrite = osk_prt_buf;
    osk_thread_t tid = osk_thread_create(osk_async_printer, NULL);
    OSK_ASSERT(osk_valid_thread_id(tid));
    osk_prt_async = 1;
}

void osk_wait_for_async_prt_flush(uint64_t usecs_max)
{
    if (!osk_prt_async)
        return;
    /* Polls without the mutex: a stale read only costs another round. */
    uint64_t start = usecs_now();
    for (;;) {
        if (__atomic_load_n(&osk_prt_bufread, __ATOMIC_ACQUIRE) ==
            __atomic_load_n(&osk_prt_bufwrite, __ATOMIC_ACQUIRE))
            return;
        if (usecs_now() - start > usecs_max)
            return;
        usleep(10000);
    }
}

static void log_message_init_once(void)
{
    osk_mutex_init(&log_error_lock);
    mod_init = 1;
}

/* Every kernel-IPC path calls this, from any thread: a second initialiser
 * must never reset a lock that another thread already holds. */
void log_message_init(void)
{
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    (void)pthread_once(&once, log_message_init_once);
}

void log_message(int level, const char *fmt, ...)
{
    OSK_ASSERT(mod_init == 1);
    if (level > log_message_level)
        return;

    char when[256];
    char word[32];
    va_list ap;

    format_now(when, sizeof(when));
    snprintf(word, sizeof(word), "LEVEL%d", level);
    osk_mutex_enter(&log_error_lock);
    printf("{%s} %s {%d} ", when, word, (int)osk_getpid());
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fflush(stdout);
    osk_mutex_exit(&log_error_lock);
}

int osk_snprintf(char *buf, size_t len, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, len, fmt, ap);
    va_end(ap);
    return n;
}

int erbuff_printf(char *buf, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, ERBUFF_LEN, fmt, ap);
    va_end(ap);
    return n;
}

void osk_death(const char *fmt, ...)
{
    if (fmt != NULL) {
        va_list ap;
        printf("\nERROR :\t");
        va_start(ap, fmt);
        vprintf(fmt, ap);
        va_end(ap);
        printf("\n");
    }
    exit(-1);
}

void stop_me(void)
{
    exit(-1);
}
