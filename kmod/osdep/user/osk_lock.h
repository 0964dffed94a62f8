/*
 * Owner-checked mutexes and condition variables.
 *
 * An osk_mutex_t remembers which thread holds it and from where it was
 * taken. Misuse - entering a mutex one already holds, leaving one not held,
 * waiting on a condition without its mutex - panics at once instead of
 * deadlocking. A zero-filled osk_mutex_t is valid and unowned.
 */
#ifndef OSK_LOCK_H
#define OSK_LOCK_H

#include <pthread.h>
#include <stdint.h>
#include <time.h>

typedef struct osk_mutex {
    void *sm_caller; /* where the holder entered; null after init */
    long sm_owner;   /* holder's osk_my_thread_id(); -1 after init, 0 after exit */
    pthread_mutex_t sm_mtx;
} osk_mutex_t;

typedef pthread_cond_t osk_cv_t;

void osk_mutex_init(osk_mutex_t *m);
void osk_mutex_enter(osk_mutex_t *m);
int osk_mutex_try_enter(osk_mutex_t *m);
void osk_mutex_exit(osk_mutex_t *m);
int osk_mutex_owned(osk_mutex_t *m);

void osk_cv_init(osk_cv_t *cv);
void osk_cv_signal(osk_cv_t *cv);
void osk_cv_broadcast(osk_cv_t *cv);
void osk_cv_wait(osk_cv_t *cv, osk_mutex_t *m);
int osk_cv_timedwait(osk_cv_t *cv, osk_mutex_t *m, const struct timespec *abstime);
pthread_t selfptr(void);

/* Read-write lock record; only its debug trace is implemented here. */
#define RW_DEBUG_OWNERS 256
#define RW_PANIC_READ_BUFLEN 32768

typedef struct osk_rw_owner {
    long ro_thread;
    void *ro_caller;
} osk_rw_owner_t;

typedef struct osk_rw_debug {
    int debug_fd;
    uint32_t debug_start;
    osk_rw_owner_t owner[RW_DEBUG_OWNERS];
    int lock_timeouts_active;
    int panic_read_fd;
    char *panic_read_buf;
} osk_rw_debug_t;

typedef struct osk_rw {
    uint16_t rw_rwait;
    uint16_t rw_wwait;
    uint32_t rw_lcnt;
    osk_cv_t rw_rcv;
    osk_cv_t rw_wcv;
    osk_rw_debug_t *rw_debug;
} osk_rw_t;

extern osk_mutex_t rw_mtx[4];
extern uint32_t rw_debug_timelimit;
/* Directory of the trace files "mutex_info_<program>"; /var/log/osk. */
extern const char *rw_mutex_output_dir;
void osk_rw_mutex_init(void);

void rw_mutex_output_init(osk_rw_t *rwlck);
void rw_mutex_timeout_panic_init(osk_rw_t *rwlck);
void rw_mutex_panic_read(osk_rw_t *rwlck, const char *path);
void rw_mutex_output(osk_rw_t *rwlck, int event);

#endif
