/*
 * Threads, sleeping, time sources and the identities that panic messages
 * and mutex ownership are keyed on.
 */
#include <pthread.h>
#include <time.h>
#include <unistd.h>
#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include "osk_runtime.h"
#include "osk_banned.h"

static osk_thread_t thread_start(osk_thread_fn_t fn, void *arg, int detach)
{
    pthread_attr_t attr;
    pthread_t th;

    if (pthread_attr_init(&attr) != 0)
        return 0;
    (void)pthread_attr_setscope(&attr, PTHREAD_SCOPE_SYSTEM);
    if (detach)
        (void)pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(&th, &attr, fn, arg);
    (void)pthread_attr_destroy(&attr);
    if (rc != 0)
        return 0;
    return (osk_thread_t)th;
}

osk_thread_t osk_thread_create(osk_thread_fn_t fn, void *arg)
{
    return thread_start(fn, arg, 0);
}

osk_thread_t osk_thread_create_detached(osk_thread_fn_t fn, void *arg)
{
    return thread_start(fn, arg, 1);
}

int osk_thread_join(osk_thread_t th, void **retval)
{
    void *res;
    if (pthread_join((pthread_t)th, &res) != 0)
        return 1;
    if (retval != NULL)
        *retval = res;
    return 0;
}

int osk_thread_wait(osk_thread_t th)
{
    return osk_thread_join(th, NULL);
}

int osk_valid_thread_id(osk_thread_t th)
{
    return th != 0;
}

void osk_thread_change_name(const char *name)
{
    (void)name;
}

void osk_set_thread_high_priority(void) {}

pid_t osk_getpid(void)
{
    return getpid();
}

/* Mutex ownership compares this value, so it must differ between threads;
 * the kernel's thread id does, and it also matches what ps and gdb show. */
/*
 * Every mutex enter and exit asks for the thread's id: one system call each
 * cost far more than the lock itself. Kept per thread, and dropped in the
 * child of a fork, whose one thread has an id of its own.
 */
__thread long osk_thread_id_cache;
static pthread_once_t my_thread_id_once = PTHREAD_ONCE_INIT;

static void my_thread_id_forget(void)
{
    osk_thread_id_cache = 0;
}

static void my_thread_id_register(void)
{
    (void)pthread_atfork(NULL, NULL, my_thread_id_forget);
}

long osk_my_thread_id_first(void)
{
    (void)pthread_once(&my_thread_id_once, my_thread_id_register);
    osk_thread_id_cache = (long)gettid();
    return osk_thread_id_cache;
}

void osk_milli_sleep(unsigned milliseconds)
{
    usleep((useconds_t)milliseconds * 1000);
}

uint64_t osk_cputicks(void)
{
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    /* No cheap cycle counter here; nanoseconds serve the same timing use. */
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
#endif
}

time_t osk_get_time(void)
{
    return time(NULL);
}
