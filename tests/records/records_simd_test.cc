/*
 * The repository, the event log and the PR file service of a simulated
 * cluster's module daemon, through the system's client libraries run as
 * processes of its nodes: transaction rules, persistence across a restart
 * of the daemon, replication across nodes leaving and rejoining.
 */
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brantcomm.h"
#include "em.h"
#include "krn_util.h"
#include "pr_lib.h"
#include "test_cluster.h"

namespace
{

struct Repo : testing::Test {
    simd s;
    void SetUp() override
    {
        ASSERT_TRUE(simd_start(&s, 3));
        for (int n : {0, 1, 2})
            ASSERT_EQ(simd_ctl(&s, "join " + std::to_string(n)), "ok\n");
    }
    void TearDown() override
    {
        simd_stop(&s);
        (void)!system(("rm -rf '" + s.dir + "'").c_str());
    }
    /* Stops the daemon and starts a new one on the same folder. */
    void restart()
    {
        kill(s.pid, SIGTERM);
        int st;
        waitpid(s.pid, &st, 0);
        std::string dir = s.dir;
        pid_t pid = fork();
        if (pid == 0) {
            execl((std::string(OSK_BUILD_DIR) + "/bin/osk-simd").c_str(), "osk-simd", dir.c_str(),
                  "3", (char *)nullptr);
            _exit(127);
        }
        s.pid = pid;
        ASSERT_TRUE(wait_for_condition(
            250, 20, [&] { return access((dir + "/osk-simd.pid").c_str(), F_OK) == 0; }));
    }
    std::string on(int node, const std::function<std::string()> &fn)
    {
        return run_as(simd_sock(&s, node), fn);
    }
};

/* Sets key=value in table t in one transaction; "" or the failing step. */
std::string put(const char *t, const std::string &key, const std::string &value)
{
    pr_tableid tb;
    pr_transid x;
    int e = pr_lookup_table(t, 3, &tb);
    if (e)
        return "lookup " + std::to_string(e);
    e = pr_start_trans(&tb, 1, 2, &x);
    if (e)
        return "start " + std::to_string(e);
    e = pr_set_entry(x, tb, key.data(), (uint32_t)key.size(), value.data(), (uint32_t)value.size());
    if (e)
        return "set " + std::to_string(e);
    e = pr_commit_trans(x);
    (void)pr_release_table(tb);
    return e ? "commit " + std::to_string(e) : "";
}

/* The value of key, "-" when absent, "error N" otherwise. */
std::string get(const char *t, const std::string &key)
{
    char v[PR_MAX_VALUE];
    uint32_t len = 0;
    int e = pr_read_value_table(t, 0, key.data(), (uint32_t)key.size(), v, &len);
    if (e == PR_INVAL_KEY || e == PR_INVAL_NAME)
        return "-";
    return e ? "error " + std::to_string(e) : std::string(v, len);
}

/* Every entry of t as "k=v;" in the daemon's key order. */
std::string all(const char *t)
{
    std::string out;
    int e = pr_iterate_table(
        t, 1,
        [](pr_keyvalue_t *kv, void *a) {
            *(std::string *)a += std::string((char *)kv->key, kv->keylen) + "=" +
                                 std::string((char *)kv->value, kv->valuelen) + ";";
            return 0;
        },
        &out);
    return e ? "error " + std::to_string(e) : out;
}

/* A child's results, one line per call: "what = result". Compared line by
 * line, a mismatch names the call that broke. */
std::string said(const std::string &what, const std::string &result)
{
    return what + " = " + result + "\n";
}
std::string said(const std::string &what, int result)
{
    return said(what, std::to_string(result));
}
void expect_lines(const std::string &got, const std::vector<std::string> &want)
{
    std::vector<std::string> lines;
    for (size_t at = 0, end; at < got.size(); at = end + 1) {
        end = got.find('\n', at);
        if (end == std::string::npos)
            end = got.size();
        lines.push_back(got.substr(at, end - at));
    }
    for (size_t i = 0; i < std::max(lines.size(), want.size()); i++)
        EXPECT_EQ(i < lines.size() ? lines[i] : "(nothing)",
                  i < want.size() ? want[i] : "(nothing)")
            << "line " << i + 1 << " of:\n"
            << got;
}

} // namespace

TEST_F(Repo, TransactionsCommitRollBackAndExclude)
{
    std::string out = on(0, [] {
        std::string r;
        pr_tableid t;
        pr_transid a, b;
        pr_lookup_table("t1", 3, &t);
        pr_start_trans(&t, 1, 2, &a);
        pr_set_entry(a, t, "k1", 2, "one", 3);
        pr_remove_entry(a, t, "k1", 2);
        pr_set_entry(a, t, "k2", 2, "two", 3);
        /* Others see nothing yet; a second writer is refused as busy. */
        r += said("table before commit", all("t1"));
        r += said("second writer", pr_start_trans(&t, 1, 2, &b));
        r += said("commit", pr_commit_trans(a));
        r += said("table after commit", all("t1"));
        /* A rolled-back change leaves nothing; the ended one is unknown. */
        pr_start_trans(&t, 1, 2, &b);
        pr_set_entry(b, t, "k3", 2, "three", 5);
        r += said("rollback", pr_rollback_trans(b));
        r += said("table after rollback", all("t1"));
        r += said("commit after rollback", pr_commit_trans(b));
        /* A read transaction may not write. */
        pr_start_trans(&t, 1, 1, &b);
        r += said("write in a read transaction", pr_set_entry(b, t, "k4", 2, "x", 1));
        pr_commit_trans(b);
        return r;
    });
    expect_lines(out,
                 {"table before commit = ", "second writer = 3", "commit = 0",
                  "table after commit = k2=two;", "rollback = 0", "table after rollback = k2=two;",
                  "commit after rollback = 8", "write in a read transaction = 4"});
    EXPECT_EQ(on(1, [] { return all("missing"); }), "");
}

TEST_F(Repo, ClientDyingMidTransactionLeavesNoEntry)
{
    /* The writer is killed between its writes and its commit. */
    std::string out = on(0, [] {
        pr_tableid t;
        pr_transid x;
        pr_lookup_table("t2", 3, &t);
        pr_start_trans(&t, 1, 2, &x);
        pr_set_entry(x, t, "time_0", 6, "1234", 4);
        _exit(9);
        return std::string();
    });
    EXPECT_EQ(out, "exit 9");
    expect_lines(
        on(1, [] { return said("get", get("t2", "time_0")) + said("put", put("t2", "k", "v")); }),
        {"get = -", "put = "});
    EXPECT_EQ(simd_ctl(&s, "pr trans"), "end\n");
}

TEST_F(Repo, TablesSurviveRestartsAndNodeReboots)
{
    EXPECT_EQ(on(0, [] { return put("t3", "a", "1"); }), "");
    /* Node 2 is away for the next commit; it catches up when it rejoins. */
    ASSERT_EQ(simd_ctl(&s, "leave 2"), "ok\n");
    EXPECT_EQ(on(1, [] { return put("t3", "b", "2"); }), "");
    ASSERT_EQ(simd_ctl(&s, "join 2"), "ok\n");
    for (int n : {0, 1})
        ASSERT_EQ(simd_ctl(&s, "leave " + std::to_string(n)), "ok\n");
    restart();
    /* Only node 2 comes back: its copy holds both entries. */
    for (int n : {0, 1})
        EXPECT_EQ(system(("rm -rf " + s.dir + "/pr/node" + std::to_string(n)).c_str()), 0);
    restart();
    ASSERT_EQ(simd_ctl(&s, "join 2"), "ok\n");
    EXPECT_EQ(on(2, [] { return all("t3"); }), "a=1;b=2;");

    /* Identifiers from before the restart are stale. */
    std::string stale = on(2, [] {
        pr_tableid t;
        pr_lookup_table("t3", 3, &t);
        t.pr_transition_incn ^= 1;
        pr_transid x;
        return std::to_string(pr_start_trans(&t, 1, 2, &x));
    });
    EXPECT_EQ(stale, "14");
}

TEST_F(Repo, InjectedAnswersAndFailedWrites)
{
    ASSERT_EQ(simd_ctl(&s, "pr fault lookup 17 1"), "ok\n");
    ASSERT_EQ(simd_ctl(&s, "pr writefail 1"), "ok\n");
    std::string out = on(0, [] {
        pr_tableid t;
        std::string r = said("injected lookup", pr_lookup_table("t4", 3, &t));
        /* A commit whose replica cannot be written changes nothing and may
         * be retried. */
        pr_transid x;
        pr_lookup_table("t4", 3, &t);
        pr_start_trans(&t, 1, 2, &x);
        pr_set_entry(x, t, "k", 1, "v", 1);
        r += said("failed commit", pr_commit_trans(x));
        r += said("get after it", get("t4", "k"));
        r += said("commit again", pr_commit_trans(x));
        return r + said("get", get("t4", "k"));
    });
    expect_lines(out, {"injected lookup = 11", "failed commit = 11", "get after it = -",
                       "commit again = 0", "get = v"});
}

TEST_F(Repo, EventsAreNumberedAndKept)
{
    std::string out = on(2, [] {
        em_init();
        int a = evt_comp_printf_options(EVT_SEV_INFO, EVT_NOTIFY_CLASS, EVT_SOFTWARE_UPDATE,
                                        COMP_SW_SYSMGR, 0, 0, 0, 0, 0,
                                        "Reverting to OSK software version %s\n", "2.2.2.164-1");
        evt_t *e = evt_alloc(EVT_SEV_MAJOR, EVT_ALERT_CLASS, EVT_PING, EVT_HDR_LEN);
        int b = evt_post_ordered(e, 5);
        evt_free(e, EVT_HDR_LEN);
        /* The board of node 2 populates four slots. */
        return said("evt_comp_printf_options", a) + said("evt_post_ordered", b) +
               said("dimm_mask", dimm_mask);
    });
    expect_lines(out, {"evt_comp_printf_options = 0", "evt_post_ordered = 0", "dimm_mask = 255"});
    restart();
    std::string log = simd_ctl(&s, "evt list");
    EXPECT_EQ(log.substr(0, 6), "evt 1 ");
    EXPECT_NE(log.find(" 2 "), std::string::npos);
    EXPECT_NE(log.find(" 5 128 151 3 15 0 Reverting to OSK software version 2.2.2.164-1\\n\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("evt 2 2 "), std::string::npos);
    EXPECT_NE(log.find(" 2 2 2 5 -1 0 \n"), std::string::npos) << log;

    ASSERT_EQ(simd_ctl(&s, "board 2 2 1"), "ok\n");
    expect_lines(
        on(2,
           [] {
               brant_init_dimm_decode();
               return said("dimm_mask", dimm_mask) +
                      said("size of dimm 1", brant_dimm_info(1)->dimm_size) +
                      said("size of dimm 2", brant_dimm_info(2)->dimm_size) +
                      said("dimm at 2 GiB", brant_cmpa2dimm(2ull << 30, 0));
           }),
        {"dimm_mask = 51", "size of dimm 1 = 2048", "size of dimm 2 = 0", "dimm at 2 GiB = 2"});
}

TEST_F(Repo, FileServiceThroughThePrServer)
{
    pid_t srv = fork();
    if (srv == 0) {
        execl((std::string(OSK_BUILD_DIR) + "/bin/osk-prsvr").c_str(), "osk-prsvr", s.dir.c_str(),
              (char *)nullptr);
        _exit(127);
    }
    ASSERT_TRUE(wait_for_condition(
        100, 50, [&] { return simd_ctl(&s, "ipc").find("name pr ") != std::string::npos; }));
    std::string out = on(1, [] {
        pr_init();
        std::string r;
        uint32_t n = 5, len = 0;
        r += said("pr_write_file", pr_write_file("cfg/a", "hello", &n, 0, 1));
        n = 6;
        r += said("pr_append_file", pr_append_file("cfg/a", " world", &n, &len, 0));
        r += said("length after append", (int)len);
        r += said("pr_rename_file", pr_rename_file("cfg/a", "b"));
        char buf[64] = {};
        n = sizeof buf;
        int state = 0;
        node_t nid = 9;
        r += said("pr_read_file", pr_read_file("b", buf, &n, 6, &state, &nid));
        r += said("text read", "[" + std::string(buf, n) + "]");
        r += said("state", state) + said("node", (int)nid);
        r += said("pr_get_length of the old name", pr_get_length("cfg/a", &len));
        r += said("pr_wrapper_write", pr_wrapper_write("t5", "key", 3, "val"));
        return r + said("pr_wrapper_read", pr_wrapper_read("t5", "key", 2, buf));
    });
    kill(srv, SIGTERM);
    waitpid(srv, nullptr, 0);
    expect_lines(out, {"pr_write_file = 0", "pr_append_file = 0", "length after append = 11",
                       "pr_rename_file = 0", "pr_read_file = 0", "text read = [world]", "state = 2",
                       "node = 0", "pr_get_length of the old name = 6", "pr_wrapper_write = 1",
                       "pr_wrapper_read = 0"});
}

TEST_F(Repo, CacheHoldsValidEntriesUpToItsLimit)
{
    std::string out = on(0, [] {
        for (const char *k : {"a1", "a2", "a3", "b1", "a4"})
            (void)put("t6", k, std::string("value-") + k);
        pr_cached_table_t *c = pr_create_cached_table(
            3, [](pr_keyvalue_t *kv) { return (int)(((char *)kv->key)[0] == 'a'); },
            [](pr_keyvalue_t *kv) { return (uint32_t)((char *)kv->key)[1]; },
            [](pr_keyvalue_t *a, pr_keyvalue_t *b) {
                return (int)(a->keylen != b->keylen || memcmp(a->key, b->key, a->keylen) != 0);
            });
        pr_tableid t;
        pr_transid x;
        pr_lookup_table("t6", 0, &t);
        pr_start_trans(&t, 1, 1, &x);
        uint32_t over = 0;
        std::string r = said("pr_populate_cache", pr_populate_cache(c, t, x, 3, &over));
        pr_commit_trans(x);
        pr_release_table(t);
        r += said("over the limit", (int)over) + said("entries", (int)c->nentries);
        /* Found with its value; a filtered key is not there. */
        pr_keyvalue_t key = {}, found = {};
        key.key = (void *)"a2";
        key.keylen = 2;
        if (pr_find_cached_entry(c, &key, &found) == 0)
            r += said("a2", std::string((char *)found.value, found.valuelen));
        key.key = (void *)"b1";
        r += said("find b1", pr_find_cached_entry(c, &key, &found));
        key.key = (void *)"a1";
        r += said("delete a1", pr_delete_cached_entry(c, &key));
        r += said("delete a1 again", pr_delete_cached_entry(c, &key));
        int walked = 0;
        (void)pr_cached_walk(
            c, [](pr_keyvalue_t *, void *n) { return (int)(++*(int *)n == 1); }, &walked);
        r += said("entries walked", walked);
        pr_delete_cached_table(c);
        return r;
    });
    /* Keys come in the daemon's order: a1 a2 a3 cached, a4 over the limit. */
    expect_lines(out,
                 {"pr_populate_cache = 0", "over the limit = 1", "entries = 3", "a2 = value-a2",
                  "find b1 = 1", "delete a1 = 0", "delete a1 again = 1", "entries walked = 1"});
}
