/*
 * Owner-checked mutexes and condition variables. Misuse panics at once, with
 * the mutex's address, rather than deadlocking or corrupting state.
 */
#include <pthread.h>

#include "osk_runtime.h"
#include "osk_lock.h"
#include "osk_banned.h"

/*
 * Owner and caller are written only while the mutex is held. The checks read
 * sm_owner without the lock: only the owning thread can find its own id
 * there, so a stale value never makes the answer wrong for the caller.
 */

void osk_mutex_init(osk_mutex_t *m)
{
    (void)pthread_mutex_init(&m->sm_mtx, NULL);
    m->sm_owner = -1;
    m->sm_caller = NULL;
}

void osk_mutex_enter(osk_mutex_t *m)
{
    long me = osk_my_thread_id();
    if (m->sm_owner == me)
        osk_panic("Recursive mutex enter: %p\n", (void *)m);
    void *caller = __builtin_return_address(0);
    (void)pthread_mutex_lock(&m->sm_mtx);
    m->sm_owner = me;
    m->sm_caller = caller;
}

int osk_mutex_try_enter(osk_mutex_t *m)
{
    long me = osk_my_thread_id();
    if (m->sm_owner == me)
        osk_panic("Recursive mutex enter: %p\n", (void *)m);
    void *caller = __builtin_return_address(0);
    if (pthread_mutex_trylock(&m->sm_mtx) != 0)
        return 0;
    m->sm_owner = me;
    m->sm_caller = caller;
    return 1;
}

void osk_mutex_exit(osk_mutex_t *m)
{
    if (m->sm_owner != osk_my_thread_id())
        osk_panic("mutex exit: not owner! %p\n", (void *)m);
    m->sm_owner = 0;
    (void)pthread_mutex_unlock(&m->sm_mtx);
}

int osk_mutex_owned(osk_mutex_t *m)
{
    return m->sm_owner == osk_my_thread_id();
}

void osk_cv_init(osk_cv_t *cv)
{
    (void)pthread_cond_init(cv, NULL);
}

void osk_cv_signal(osk_cv_t *cv)
{
    (void)pthread_cond_signal(cv);
}

void osk_cv_broadcast(osk_cv_t *cv)
{
    (void)pthread_cond_broadcast(cv);
}

void osk_cv_wait(osk_cv_t *cv, osk_mutex_t *m)
{
    void *caller = __builtin_return_address(0);
    long me = osk_my_thread_id();
    if (m->sm_owner != me)
        osk_panic("osk_cv_wait 1: not owner! %p\n", (void *)m);
    (void)pthread_cond_wait(cv, &m->sm_mtx);
    /* Whoever held the mutex meanwhile left 0 behind. */
    m->sm_owner = me;
    m->sm_caller = caller;
}

int osk_cv_timedwait(osk_cv_t *cv, osk_mutex_t *m, const struct timespec *abstime)
{
    void *caller = __builtin_return_address(0);
    long me = osk_my_thread_id();
    if (m->sm_owner != me)
        osk_panic("osk_cv_wait 1: not owner! %p\n", (void *)m);
    int rc = pthread_cond_timedwait(cv, &m->sm_mtx, abstime);
    m->sm_owner = me;
    m->sm_caller = caller;
    return rc;
}

pthread_t selfptr(void)
{
    return pthread_self();
}
