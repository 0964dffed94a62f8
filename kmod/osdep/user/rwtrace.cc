/*
 * Debug trace of read-write locks: one line per lock event in a per-program
 * trace file, and an optional panic when a lock is held for too long.
 */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "osk_runtime.h"
#include "osk_lock.h"
#include "osk_banned.h"

osk_mutex_t rw_mtx[4];
uint32_t rw_debug_timelimit = 18000;
const char *rw_mutex_output_dir = "/var/log/osk";

/* Every traced lock of the process writes to the one trace file. */
static pthread_once_t trace_once = PTHREAD_ONCE_INIT;
static int trace_fd = -1;

void osk_rw_mutex_init(void)
{
    for (int i = 0; i < 4; i++)
        osk_mutex_init(&rw_mtx[i]);
}

static void trace_open(void)
{
    char exe[PATH_MAX];
    char path[PATH_MAX + 64];
    char old[PATH_MAX + 80];

    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n < 0)
        osk_panic("/proc/self/exe: %s", strerror(errno));
    exe[n] = '\0';
    const char *name = strrchr(exe, '/');
    name = name != NULL ? name + 1 : exe;

    snprintf(path, sizeof(path), "%s/mutex_info_%s", rw_mutex_output_dir, name);
    snprintf(old, sizeof(old), "%s.old", path);
    (void)rename(path, old); /* nothing to keep on a first run */
    trace_fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (trace_fd < 0)
        osk_print("rw_mutex_output_init: open of %s: %s\n", path, strerror(errno));
}

void rw_mutex_output_init(osk_rw_t *rwlck)
{
    OSK_ASSERT(rwlck->rw_debug != NULL);
    (void)pthread_once(&trace_once, trace_open);
    rwlck->rw_debug->debug_fd = trace_fd;
}

void rw_mutex_timeout_panic_init(osk_rw_t *rwlck)
{
    OSK_ASSERT(rwlck->rw_debug != NULL);
    OSK_ASSERT(rwlck->rw_debug->lock_timeouts_active == 0);
    rwlck->rw_debug->lock_timeouts_active = 1;
}

void rw_mutex_panic_read(osk_rw_t *rwlck, const char *path)
{
    OSK_ASSERT(rwlck->rw_debug != NULL);
    OSK_ASSERT(rwlck->rw_debug->lock_timeouts_active == 1);
    OSK_ASSERT(rwlck->rw_debug->panic_read_fd == -1);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        osk_print("rw_mutex_panic_read() open of %s: %s", path, strerror(errno));
        return;
    }
    rwlck->rw_debug->panic_read_buf = (char *)malloc_or_die(RW_PANIC_READ_BUFLEN);
    rwlck->rw_debug->panic_read_buf[0] = '\0';
    rwlck->rw_debug->panic_read_fd = fd;
}

/* The watched file describes what the holder is doing; re-read it from the
 * start each time so the text is current. */
static void panic_read(osk_rw_debug_t *d)
{
    if (d->panic_read_fd == -1)
        return;
    ssize_t n = pread(d->panic_read_fd, d->panic_read_buf, RW_PANIC_READ_BUFLEN - 1, 0);
    d->panic_read_buf[n > 0 ? n : 0] = '\0';
}

static const char *panic_text(osk_rw_debug_t *d)
{
    return d->panic_read_buf != NULL ? d->panic_read_buf : "";
}

void rw_mutex_output(osk_rw_t *rwlck, int event)
{
    osk_rw_debug_t *d = rwlck->rw_debug;
    struct timeval tv;

    if (d == NULL || (d->debug_fd < 0 && !d->lock_timeouts_active))
        return;
    gettimeofday(&tv, NULL);

    if (event == 1) {
        d->debug_start = (uint32_t)tv.tv_sec;
        panic_read(d);
    } else if (event == 0) {
        d->debug_start = 0;
    } else if (event == 2) {
        if (d->lock_timeouts_active && d->debug_start != 0 &&
            (uint32_t)tv.tv_sec - d->debug_start > rw_debug_timelimit) {
            char stack[1024];
            osk_print("Old read data for mutex 0x%p:\n%s\n", (void *)rwlck, panic_text(d));
            osk_milli_sleep(1000);
            panic_read(d);
            osk_print("New read data for mutex 0x%p:\n%s\n", (void *)rwlck, panic_text(d));
            osk_getstack(stack, sizeof(stack), ":", 3);
            osk_panic("rw lock held too long: %s", stack);
        }
        d->debug_start = 0;
    }

    if (d->debug_fd < 0)
        return;

    char line[1024];
    int len = snprintf(line, sizeof(line), "%ld %p %d %d", osk_my_thread_id(), (void *)rwlck,
                       (int)tv.tv_sec, (int)tv.tv_usec);
    for (int n = 3; len > 0 && len < (int)sizeof(line) - 1; n++) {
        void *pc = osk_get_callern(n);
        if (pc == NULL)
            break;
        int w = snprintf(line + len, sizeof(line) - 1 - (size_t)len, " %p", pc);
        if (w <= 0 || len + w >= (int)sizeof(line) - 1)
            break;
        len += w;
    }
    line[len++] = '\n';
    (void)!write(d->debug_fd, line, (size_t)len);

    if (d->lock_timeouts_active && d->debug_start != 0) {
        gettimeofday(&tv, NULL);
        if ((uint32_t)tv.tv_sec - d->debug_start > rw_debug_timelimit)
            osk_panic("The write in rw_mutex_output is hanging");
    }
}
