/* Console printing, levelled messages, the assertion convention and the
 * asynchronous ring. */
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <regex>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "child.h"
#include "osk_lock.h"
#include "osk_runtime.h"
#include "test_cluster.h"

/* Counts and slows the runtime's lock set-up while a test asks for it. */
static int slow_mutex_inits;
static int mutex_inits;

extern "C" int pthread_mutex_init(pthread_mutex_t *m, const pthread_mutexattr_t *a)
{
    typedef int (*init_fn)(pthread_mutex_t *, const pthread_mutexattr_t *);
    static init_fn real = (init_fn)dlsym(RTLD_NEXT, "pthread_mutex_init");
    if (__atomic_load_n(&slow_mutex_inits, __ATOMIC_SEQ_CST)) {
        __atomic_add_fetch(&mutex_inits, 1, __ATOMIC_SEQ_CST);
        usleep(20000);
    }
    return real(m, a);
}

namespace
{

const char *const kStamp = R"(\{[A-Z][a-z]{2} [A-Z][a-z]{2} \d{2} \d{2}:\d{2}:\d{2} \S+ \d{4}\})";

std::string prefix_re(const char *word, pid_t pid)
{
    return std::string(kStamp) + " " + word + " \\{" + std::to_string(pid) + "\\} ";
}

std::string panic_re(pid_t pid)
{
    return "PANIC \\[pid: " + std::to_string(pid) + ", thread: " + std::to_string(pid) + "\\]: ";
}

TEST(Print, FailedAssertionPrintsTwoLinesAndAborts)
{
    const int line = __LINE__ + 3;
    child_result r = run_in_child([] {
        int nodes = 3;
        OSK_ASSERT(nodes == 2);
    });
    ASSERT_TRUE(aborted(r)) << "status " << r.status;
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex(prefix_re("DEBUG", r.pid) + "Assertion failed: nodes == 2\n" +
                          panic_re(r.pid) + "Assertion point: file: .*print_test\\.cc, line: " +
                          std::to_string(line) + "\n\n")))
        << r.out;
}

TEST(Print, DeathExitsWith255AfterItsMessage)
{
    child_result r = run_in_child([] { osk_death("bad node %d", 9); });
    EXPECT_EQ(exit_code(r), 255);
    EXPECT_EQ(r.out, "\nERROR :\tbad node 9\n");

    r = run_in_child([] { osk_death(NULL); });
    EXPECT_EQ(exit_code(r), 255);
    EXPECT_EQ(r.out, "");
}

TEST(LogMessage, ShowsLevelsUpToTheThreshold)
{
    child_result r = run_in_child([] {
        log_message_init();
        log_message_init(); /* a second call must not reset anything */
        log_message(0, "zero\n");
        log_message(3, "three\n");
        log_message(4, "four\n");
        log_message(7, "seven\n");
    });
    ASSERT_EQ(exit_code(r), 0);
    EXPECT_TRUE(std::regex_match(r.out, std::regex(prefix_re("LEVEL0", r.pid) + "zero\n" +
                                                   prefix_re("LEVEL3", r.pid) + "three\n")))
        << r.out;
}

/* Kernel-IPC threads each call the initialiser on their first message: a
 * late initialiser must not reset the lock an early one already holds. The
 * lock set-up is slowed down and counted so that a race shows every time. */
TEST(LogMessage, ConcurrentFirstCallersInitialiseOnce)
{
    child_result r = run_in_child([] {
        static pthread_barrier_t start;
        pthread_barrier_init(&start, NULL, 8);
        slow_mutex_inits = 1;
        osk_thread_t th[8];
        for (long t = 0; t < 8; t++)
            th[t] = osk_thread_create(
                [](void *arg) -> void * {
                    pthread_barrier_wait(&start);
                    log_message_init();
                    log_message(1, "t%ld\n", (long)arg);
                    return NULL;
                },
                (void *)t);
        for (int t = 0; t < 8; t++)
            osk_thread_wait(th[t]);
        printf("inits %d\n", __atomic_load_n(&mutex_inits, __ATOMIC_SEQ_CST));
    });
    ASSERT_EQ(exit_code(r), 0) << r.out;
    EXPECT_NE(r.out.find("inits 1\n"), std::string::npos) << r.out;
}

TEST(LogMessage, UseBeforeInitPanics)
{
    child_result r = run_in_child([] { log_message(1, "early\n"); });
    EXPECT_TRUE(aborted(r));
    EXPECT_NE(r.out.find("Assertion failed: mod_init == 1\n"), std::string::npos) << r.out;
}

/* Asynchronous mode cannot be left again, so every case runs in a child. */

TEST(AsyncPrint, CutsMessagesAtTheBufferLimit)
{
    std::string a1023(1023, 'a');
    std::string b1024(1024, 'b');
    std::string c5000(5000, 'c');
    child_result r = run_in_child([&] {
        osk_setup_async_printing();
        osk_print_async("%s|", a1023.c_str()); /* 1024 with the bar: cut */
        osk_print_async("%s", a1023.c_str());
        osk_print_async("|");
        osk_print_async("%s", b1024.c_str());
        osk_print_async("|");
        osk_print_async("%s", c5000.c_str());
        osk_print_async("|end\n");
        osk_wait_for_async_prt_flush(5000000);
    });
    ASSERT_EQ(exit_code(r), 0);
    EXPECT_EQ(r.out, a1023 + a1023 + "|" + std::string(1023, 'b') + "|" + std::string(1023, 'c') +
                         "|end\n");
}

TEST(AsyncPrint, SmallRingWrapsWithoutLosingOrder)
{
    child_result r = run_in_child([] {
        osk_prt_buflen = 64;
        osk_setup_async_printing();
        for (int i = 0; i < 400; i++)
            osk_print_async("%d:%.*s\n", i, i % 19, "xxxxxxxxxxxxxxxxxxxxxxxx");
        osk_wait_for_async_prt_flush(5000000);
        printf("dropped %d\n", osk_prt_dropped_total);
    });
    ASSERT_EQ(exit_code(r), 0);
    std::string want;
    for (int i = 0; i < 400; i++)
        want += std::to_string(i) + ":" + std::string((size_t)(i % 19), 'x') + "\n";
    want += "dropped 0\n";
    EXPECT_EQ(r.out, want);
}

/* Under contention the ring may drop messages, but every message that gets
 * out is whole, in its writer's order, and every loss is counted. */
TEST(AsyncPrint, ConcurrentWritersKeepEachMessageWhole)
{
    child_result r = run_in_child([] {
        osk_prt_buflen = 256;
        osk_setup_async_printing();
        osk_thread_t th[4];
        for (long t = 0; t < 4; t++) {
            th[t] = osk_thread_create(
                [](void *arg) -> void * {
                    long id = (long)arg;
                    for (int i = 0; i < 500; i++)
                        osk_print_async("T%ld %d\n", id, i);
                    return NULL;
                },
                (void *)t);
        }
        for (int t = 0; t < 4; t++)
            osk_thread_wait(th[t]);
        osk_wait_for_async_prt_flush(5000000);
        printf("total dropped %d\n", osk_prt_dropped_total);
    });
    ASSERT_EQ(exit_code(r), 0);
    int last[4] = {-1, -1, -1, -1};
    int printed = 0, reported = 0, dropped = -1;
    size_t pos = 0;
    while (pos < r.out.size()) {
        size_t nl = r.out.find('\n', pos);
        ASSERT_NE(nl, std::string::npos) << "unterminated tail: " << r.out.substr(pos);
        std::string line = r.out.substr(pos, nl - pos);
        pos = nl + 1;
        long t = -1;
        int i = -1, n = -1;
        if (sscanf(line.c_str(), "T%ld %d", &t, &i) == 2) {
            ASSERT_TRUE(t >= 0 && t < 4) << line;
            EXPECT_GT(i, last[t]) << line;
            last[t] = i;
            printed++;
        } else if (sscanf(line.c_str(), "total dropped %d", &n) == 1) {
            dropped = n;
        } else {
            size_t at = line.find("} Dropped ");
            ASSERT_NE(at, std::string::npos) << line;
            ASSERT_EQ(sscanf(line.c_str() + at, "} Dropped %d messages.", &n), 1) << line;
            reported += n;
        }
    }
    EXPECT_EQ(printed + dropped, 2000);
    EXPECT_LE(reported, dropped);
}

TEST(AsyncPrint, PanicFlushesQueuedTextFirst)
{
    child_result r = run_in_child([] {
        osk_setup_async_printing();
        osk_print("queued before the panic\n");
        osk_panic("gave up on %s", "node 3");
    });
    ASSERT_TRUE(aborted(r));
    EXPECT_TRUE(
        std::regex_match(r.out, std::regex(prefix_re("DEBUG", r.pid) + "queued before the panic\n" +
                                           panic_re(r.pid) + "gave up on node 3\n")))
        << r.out;
}

TEST(Panic, WithoutCoreOnlyThePanickingThreadStops)
{
    child_result r = run_in_child([] {
        osk_init_panic(0);
        osk_thread_t th = osk_thread_create_detached(
            [](void *) -> void * {
                osk_panic("node %d lost", 5);
                printf("panic returned\n");
                return NULL;
            },
            NULL);
        (void)th;
        (void)wait_for_condition(
            1000, 10, [] { return __atomic_load_n(&panic_count, __ATOMIC_SEQ_CST) != 0; });
        printf("process goes on after %d panic\n", panic_count);
    });
    ASSERT_EQ(exit_code(r), 0) << r.out;
    EXPECT_NE(r.out.find("]: node 5 lost\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("process goes on after 1 panic\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("panic returned"), std::string::npos) << r.out;
}

struct pipe_drain {
    int fd;
    std::string text;
    osk_mutex_t mtx;
};

void *drain_pipe(void *arg)
{
    pipe_drain *d = (pipe_drain *)arg;
    char buf[65536];
    ssize_t n;
    while ((n = read(d->fd, buf, sizeof(buf))) > 0) {
        osk_mutex_enter(&d->mtx);
        d->text.append(buf, (size_t)n);
        osk_mutex_exit(&d->mtx);
    }
    return NULL;
}

/*
 * The printer is stuck writing into a pipe nobody reads, so the ring fills.
 * One writer waits its budget and drops; from then on writers drop at once.
 * Once the pipe drains, the printer reports the count with its next write.
 */
TEST(AsyncPrint, FullRingDropsWithoutWaitingAgain)
{
    child_result r = run_in_child([] {
        int report = dup(STDOUT_FILENO);
        int p[2];
        if (pipe(p) != 0)
            _exit(3);
        dup2(p[1], STDOUT_FILENO);
        osk_prt_ticks_maxwait = 300000;
        osk_setup_async_printing();
        std::string big(1000, 'm');
        for (int i = 0; i < 400; i++)
            osk_print_async("%s\n", big.c_str());
        int dropped_before = osk_prt_dropped_total;
        int waits_before = osk_prt_waitcnt;
        for (int i = 0; i < 20; i++)
            osk_print_async("%s\n", big.c_str());
        int dropped = osk_prt_dropped_total - dropped_before;
        int waits = osk_prt_waitcnt - waits_before;

        static pipe_drain d;
        d.fd = p[0];
        osk_mutex_init(&d.mtx);
        osk_thread_t th = osk_thread_create(drain_pipe, &d);
        osk_wait_for_async_prt_flush(10000000);
        osk_print_async("after\n");
        osk_wait_for_async_prt_flush(10000000);
        /* The report rides on whichever batch the printer takes next:
         * the rest of the ring, or "after" if the ring was taken whole. */
        bool reported = false;
        for (int i = 0; i < 1000 && !reported; i++) {
            osk_mutex_enter(&d.mtx);
            bool done = d.text.find("after\n") != std::string::npos;
            size_t at = d.text.find(" Dropped ");
            std::string line;
            if (done && at != std::string::npos) {
                size_t start = d.text.rfind('{', d.text.rfind('{', at) - 1);
                line = d.text.substr(start, d.text.find('\n', at) + 1 - start);
            }
            osk_mutex_exit(&d.mtx);
            reported = std::regex_match(
                line, std::regex(R"(\{[^}]*\} DEBUG \{\d+\} Dropped \d+ messages\.\n)"));
            if (done && !reported)
                break;
            usleep(10000);
        }
        dprintf(report, "before=%d dropped=%d waits=%d reported=%d\n", dropped_before > 0, dropped,
                waits, reported);
        (void)th;
        _exit(0);
    });
    ASSERT_EQ(exit_code(r), 0);
    EXPECT_EQ(r.out, "before=1 dropped=20 waits=0 reported=1\n");
}

} // namespace
