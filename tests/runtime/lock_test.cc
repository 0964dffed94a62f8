/* Owner-checked mutexes and condition variables. */
#include <errno.h>
#include <semaphore.h>
#include <string.h>
#include <time.h>

#include <gtest/gtest.h>

#include "child.h"
#include "osk_lock.h"
#include "osk_runtime.h"

namespace
{

/* A thread that takes a mutex and keeps it until told to let go. */
struct holder {
    osk_mutex_t *m;
    sem_t taken;
    sem_t release;
    long tid;
};

void *hold_mutex(void *arg)
{
    holder *h = (holder *)arg;
    osk_mutex_enter(h->m);
    h->tid = osk_my_thread_id();
    sem_post(&h->taken);
    sem_wait(&h->release);
    osk_mutex_exit(h->m);
    return NULL;
}

osk_thread_t start_holder(holder *h, osk_mutex_t *m)
{
    h->m = m;
    sem_init(&h->taken, 0, 0);
    sem_init(&h->release, 0, 0);
    osk_thread_t th = osk_thread_create(hold_mutex, h);
    sem_wait(&h->taken);
    return th;
}

void stop_holder(holder *h, osk_thread_t th)
{
    sem_post(&h->release);
    EXPECT_EQ(osk_thread_wait(th), 0);
    sem_destroy(&h->taken);
    sem_destroy(&h->release);
}

void expect_panic(const child_result &r, const std::string &text)
{
    EXPECT_TRUE(aborted(r)) << "status " << r.status;
    std::string want = "PANIC [pid: " + std::to_string(r.pid) + ", thread: ";
    size_t at = r.out.find(want);
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("]: " + text + "\n\n", at), std::string::npos) << r.out;
}

TEST(Mutex, ZeroFilledIsUsableWithoutInit)
{
    static osk_mutex_t zero;
    memset(&zero, 0, sizeof(zero));
    EXPECT_FALSE(osk_mutex_owned(&zero));
    osk_mutex_enter(&zero);
    EXPECT_TRUE(osk_mutex_owned(&zero));
    EXPECT_NE(zero.sm_caller, nullptr);
    osk_mutex_exit(&zero);
    EXPECT_FALSE(osk_mutex_owned(&zero));
    EXPECT_EQ(osk_mutex_try_enter(&zero), 1);
    osk_mutex_exit(&zero);
}

TEST(Mutex, TryEnterOnBusyMutexChangesNothing)
{
    osk_mutex_t m;
    osk_mutex_init(&m);
    holder h;
    osk_thread_t th = start_holder(&h, &m);
    void *caller = m.sm_caller;

    EXPECT_NE(h.tid, osk_my_thread_id()) << "thread ids must differ per thread";
    EXPECT_EQ(osk_mutex_try_enter(&m), 0);
    EXPECT_EQ(m.sm_owner, h.tid);
    EXPECT_EQ(m.sm_caller, caller);
    EXPECT_FALSE(osk_mutex_owned(&m));

    stop_holder(&h, th);
    EXPECT_EQ(osk_mutex_try_enter(&m), 1);
    EXPECT_TRUE(osk_mutex_owned(&m));
    osk_mutex_exit(&m);
}

TEST(Mutex, MisusePanicsWithTheMutexAddress)
{
    static osk_mutex_t m;
    osk_mutex_init(&m);
    std::string addr = ptr_text(&m);

    child_result r = run_in_child([] {
        osk_mutex_enter(&m);
        osk_mutex_enter(&m);
    });
    expect_panic(r, "Recursive mutex enter: " + addr);

    r = run_in_child([] {
        osk_mutex_enter(&m);
        (void)osk_mutex_try_enter(&m);
    });
    expect_panic(r, "Recursive mutex enter: " + addr);

    r = run_in_child([] { osk_mutex_exit(&m); });
    expect_panic(r, "mutex exit: not owner! " + addr);

    r = run_in_child([] {
        holder h;
        (void)start_holder(&h, &m);
        osk_mutex_exit(&m);
    });
    expect_panic(r, "mutex exit: not owner! " + addr);

    static osk_cv_t cv;
    osk_cv_init(&cv);
    r = run_in_child([] { osk_cv_wait(&cv, &m); });
    expect_panic(r, "osk_cv_wait 1: not owner! " + addr);

    r = run_in_child([] {
        struct timespec ts = {0, 0};
        (void)osk_cv_timedwait(&cv, &m, &ts);
    });
    expect_panic(r, "osk_cv_wait 1: not owner! " + addr);
}

struct flag_wait {
    osk_mutex_t m;
    osk_cv_t cv;
    int ready;
};

TEST(CondVar, WaitReturnsWithTheMutexOwned)
{
    static flag_wait fw;
    osk_mutex_init(&fw.m);
    osk_cv_init(&fw.cv);
    fw.ready = 0;

    osk_mutex_enter(&fw.m);
    osk_thread_t th = osk_thread_create(
        [](void *) -> void * {
            osk_mutex_enter(&fw.m);
            fw.ready = 1;
            osk_cv_broadcast(&fw.cv);
            osk_mutex_exit(&fw.m);
            return (void *)7;
        },
        NULL);
    while (!fw.ready)
        osk_cv_wait(&fw.cv, &fw.m);
    EXPECT_TRUE(osk_mutex_owned(&fw.m));
    EXPECT_EQ(fw.m.sm_owner, osk_my_thread_id());
    osk_mutex_exit(&fw.m);

    void *res = NULL;
    EXPECT_EQ(osk_thread_join(th, &res), 0);
    EXPECT_EQ(res, (void *)7);
}

TEST(CondVar, TimedWaitTimesOutOwningTheMutex)
{
    osk_mutex_t m;
    osk_cv_t cv;
    osk_mutex_init(&m);
    osk_cv_init(&cv);
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += 20 * 1000 * 1000;
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000;
    }
    osk_mutex_enter(&m);
    EXPECT_EQ(osk_cv_timedwait(&cv, &m, &deadline), ETIMEDOUT);
    EXPECT_TRUE(osk_mutex_owned(&m));
    osk_mutex_exit(&m);
}

/* Ownership is keyed on the thread id, kept per thread: a forked child's
 * thread must not go on as its parent's, nor a new thread as its creator. */
TEST(Mutex, ThreadIdsStayDistinctAcrossThreadsAndFork)
{
    long mine = osk_my_thread_id();
    long other = 0;
    osk_thread_t th = osk_thread_create(
        [](void *p) -> void * {
            *(long *)p = osk_my_thread_id();
            return nullptr;
        },
        &other);
    ASSERT_TRUE(osk_valid_thread_id(th));
    osk_thread_join(th, nullptr);
    EXPECT_NE(other, 0);
    EXPECT_NE(other, mine);

    osk_mutex_t m;
    osk_mutex_init(&m);
    osk_mutex_enter(&m);
    /* The child inherits a mutex its parent held: not the child's to leave. */
    child_result r = run_in_child([&] {
        if (osk_my_thread_id() == mine || osk_my_thread_id() != (long)getpid())
            _exit(3);
        osk_mutex_exit(&m);
    });
    expect_panic(r, "mutex exit: not owner! " + ptr_text(&m));
    osk_mutex_exit(&m);
}

} // namespace
