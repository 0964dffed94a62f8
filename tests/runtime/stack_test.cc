/* Call-stack capture and the read-write lock trace. */
#include <dlfcn.h>
#include <fcntl.h>
#include <regex>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "child.h"
#include "osk_lock.h"
#include "osk_runtime.h"

/* Named, non-inlined frames whose names dladdr can report (the test binary
 * exports its symbols). */
extern "C" {
__attribute__((noinline)) void *probe_callee(int n)
{
    void *pc = n == 0 ? osk_get_caller() : osk_get_callern(n);
    asm volatile("" ::: "memory"); /* keep this a real call, not a tail call */
    return pc;
}

__attribute__((noinline)) void *probe_middle(int n)
{
    void *pc = probe_callee(n);
    asm volatile("" ::: "memory");
    return pc;
}

__attribute__((noinline)) void *probe_outer(int n)
{
    void *pc = probe_middle(n);
    asm volatile("" ::: "memory");
    return pc;
}

__attribute__((noinline)) void probe_stack_text(char *buf, size_t len, int start)
{
    osk_getstack(buf, len, ":", start);
    asm volatile("" ::: "memory");
}
}

namespace
{

std::string symbol_of(void *pc)
{
    Dl_info info;
    if (pc == NULL || dladdr(pc, &info) == 0 || info.dli_sname == NULL)
        return "";
    return info.dli_sname;
}

TEST(Stack, CallerAddressesNameTheRightFunctions)
{
    EXPECT_EQ(symbol_of(probe_outer(0)), "probe_middle");
    EXPECT_EQ(symbol_of(probe_outer(1)), "probe_middle");
    EXPECT_EQ(symbol_of(probe_outer(2)), "probe_outer");
    EXPECT_EQ(osk_get_callern(1000), nullptr) << "walk must stop at the stack's end";
}

TEST(Stack, TextStartsAtTheRequestedEntryAndIsCut)
{
    char buf[1024];
    probe_stack_text(buf, sizeof(buf), 0);
    EXPECT_EQ(std::string(buf).rfind("probe_stack_text:", 0), 0u) << buf;
    probe_stack_text(buf, sizeof(buf), 1);
    EXPECT_NE(std::string(buf).rfind("probe_stack_text:", 0), 0u) << buf;
    EXPECT_GT(strlen(buf), 0u);

    char small[12];
    memset(small, 'X', sizeof(small));
    probe_stack_text(small, sizeof(small), 0);
    EXPECT_EQ(small[sizeof(small) - 1], '\0');
    EXPECT_LT(strlen(small), sizeof(small));
    EXPECT_EQ(std::string(small), std::string("probe_stack_text:").substr(0, strlen(small)));

    char one[1] = {'X'};
    probe_stack_text(one, 1, 0);
    EXPECT_EQ(one[0], '\0');
}

std::string slurp(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

struct traced_lock {
    osk_rw_t rw;
    osk_rw_debug_t dbg;
};

void traced_lock_init(traced_lock *t)
{
    memset(t, 0, sizeof(*t));
    t->dbg.debug_fd = -1;
    t->dbg.panic_read_fd = -1;
    t->rw.rw_debug = &t->dbg;
}

class RwTrace : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/rwtrace.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        trace = dir + "/mutex_info_runtime_test";
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + dir + "'";
        (void)!system(cmd.c_str());
    }
    std::string dir;
    std::string trace;
};

TEST_F(RwTrace, WritesOneLinePerEventAndKeepsThePreviousFile)
{
    {
        std::ofstream old(trace);
        old << "previous run\n";
    }
    std::string d = dir;
    child_result r = run_in_child([&d] {
        rw_mutex_output_dir = d.c_str();
        static traced_lock a, b;
        traced_lock_init(&a);
        traced_lock_init(&b);
        rw_mutex_output(&a.rw, 1); /* not traced yet: no effect */
        rw_mutex_output_init(&a.rw);
        rw_mutex_output_init(&b.rw);
        rw_mutex_output(&a.rw, 1);
        rw_mutex_output(&b.rw, 1);
        rw_mutex_output(&a.rw, 2);
        printf("%s %d\n", ptr_text(&a.rw).c_str(), a.dbg.debug_fd == b.dbg.debug_fd);
    });
    ASSERT_EQ(exit_code(r), 0) << r.out;
    EXPECT_EQ(slurp(trace + ".old"), "previous run\n");

    char addr[64];
    int same_fd = 0;
    ASSERT_EQ(sscanf(r.out.c_str(), "%63s %d", addr, &same_fd), 2) << r.out;
    EXPECT_EQ(same_fd, 1);
    std::string text = slurp(trace);
    std::string line = "\\d+ 0x[0-9a-f]+ \\d+ \\d+( 0x[0-9a-f]+)*\n";
    EXPECT_TRUE(std::regex_match(text, std::regex(line + line + line))) << text;
    EXPECT_EQ(text.find(std::to_string(r.pid) + " " + addr + " "), 0u) << text;
}

TEST_F(RwTrace, HoldingTooLongPanicsWithTheWatchedText)
{
    std::string watched = dir + "/state";
    {
        std::ofstream f(watched);
        f << "holder busy";
    }
    child_result r = run_in_child([&watched] {
        static traced_lock t;
        traced_lock_init(&t);
        rw_mutex_timeout_panic_init(&t.rw);
        rw_mutex_panic_read(&t.rw, watched.c_str());
        rw_mutex_output(&t.rw, 1);
        rw_mutex_output(&t.rw, 2); /* a short hold is fine */
        printf("short hold ok\n");
        fflush(stdout);
        rw_mutex_output(&t.rw, 1);
        t.dbg.debug_start -= rw_debug_timelimit + 5;
        rw_mutex_output(&t.rw, 2);
    });
    EXPECT_TRUE(aborted(r));
    EXPECT_EQ(r.out.find("short hold ok\n"), 0u) << r.out;
    EXPECT_NE(r.out.find("Old read data for mutex 0x"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(":\nholder busy\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("New read data for mutex 0x"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("]: rw lock held too long: "), std::string::npos) << r.out;
}

} // namespace
