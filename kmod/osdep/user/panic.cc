/*
 * The panic convention: print why, give queued console text a chance to get
 * out, then abort so the system can keep a core file.
 */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "osk_runtime.h"
#include "osk_lock.h"
#include "osk_banned.h"

osk_mutex_t osk_panic_mtx = {NULL, 0, PTHREAD_MUTEX_INITIALIZER};
osk_cv_t osk_panic_cv = PTHREAD_COND_INITIALIZER;
int osk_panic_wantcore = 1;
int panic_count = 0;

void osk_panic(const char *fmt, ...)
{
    va_list ap;

    osk_cprint("PANIC [pid: %ld, thread: %ld]: ", (long)getpid(), osk_my_thread_id());
    va_start(ap, fmt);
    osk_cprint_va(fmt, ap);
    va_end(ap);
    osk_cprint("\n");
    osk_wait_for_async_prt_flush(osk_prt_ticks_maxwait);

    osk_mutex_enter(&osk_panic_mtx);
    panic_count++;
    if (osk_panic_wantcore) {
        /* Synchronous printing does not flush after osk_cprint. */
        fflush(stdout);
        abort();
    }
    /* Without a core only this thread stops: it parks holding the panic
     * mutex, so later panics queue behind it, and the process goes on. */
    osk_cv_wait(&osk_panic_cv, &osk_panic_mtx);
    pthread_exit(NULL);
}

void osk_init_panic(int wantcore)
{
    osk_panic_wantcore = wantcore;
    osk_mutex_init(&osk_panic_mtx);
    osk_cv_init(&osk_panic_cv);
}

int osk_show_panic(void)
{
    return osk_panic_wantcore;
}
