/*
 * The kernel interface against a simulated cluster of 8 nodes: what each
 * node reads, IPC between nodes, a node leaving, malformed frames, and the
 * number of log generations coming from the module.
 */
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "bripc.h"
#include "cluster.h"
#include "krn_hook.h"
#include "krn_util.h"
#include "test_cluster.h"
#include "logmgr.h"
#include "osk_devframe.h"
#include "osk_errcode.h"
#include "sc_ioctl.h"

namespace
{

struct Cluster : testing::Test {
    simd s;
    void SetUp() override
    {
        ASSERT_TRUE(simd_start(&s, 8));
        for (int n : {0, 1, 3, 6})
            ASSERT_EQ(simd_ctl(&s, "join " + std::to_string(n)), "ok\n");
    }
    void TearDown() override
    {
        simd_stop(&s);
    }
};

/* What a process on the node reads through the system-control layer. */
std::string node_view()
{
    sc_open();
    cinfo_t *ci = (cinfo_t *)ioctl_alloc(SCCMD_GETCINFO, sizeof(cinfo_t));
    (void)ioctl_check(&ci->ci_hdr);
    cd_info_t *cd = (cd_info_t *)ioctl_alloc(SCCMD_GETDCINFO, sizeof(cd_info_t));
    (void)ioctl_check(&cd->cd_hdr);
    sccmd_query_log_t *q = (sccmd_query_log_t *)ioctl_alloc(SCCMD_QUERY_LOG, sizeof(*q));
    std::string integrated;
    for (int n = 0; n < 8; n++) {
        q->ql_hdr.io_node = (node_t)n;
        q->ql_nodes = 0xFF;
        memset(q->ql_taglog_flags, 0, sizeof(q->ql_taglog_flags));
        int rc = ioctl_check(&q->ql_hdr);
        integrated += rc < 0 ? '-' : (q->ql_taglog_flags[n] & 1) ? 'I' : 'o';
    }
    char buf[160];
    snprintf(buf, sizeof(buf), "node=%d online=0x%x members=0x%x hook_node=%d alive=0x%x %s",
             ci->ci_cstate.cs_mynode, ci->ci_cstate.cs_online, cd->cd_outer_mask,
             cluster_my_node_id(), cluster_nodes_alive(), integrated.c_str());
    ioctl_free(&ci);
    ioctl_free(&cd);
    ioctl_free(&q);
    return buf;
}

} // namespace

TEST_F(Cluster, EachNodeReadsItselfAndTheOnlineMask)
{
    EXPECT_EQ(run_as(simd_sock(&s, 3), node_view),
              "node=3 online=0x4b members=0x4b hook_node=3 alive=0x4b II-I--I-");
    EXPECT_EQ(run_as(simd_sock(&s, 6), node_view),
              "node=6 online=0x4b members=0x4b hook_node=6 alive=0x4b II-I--I-");

    ASSERT_EQ(simd_ctl(&s, "integrate 1 0"), "ok\n");
    ASSERT_EQ(simd_ctl(&s, "leave 3"), "ok\n");
    EXPECT_EQ(run_as(simd_sock(&s, 6), node_view),
              "node=6 online=0x43 members=0x43 hook_node=6 alive=0x43 Io----I-");
    EXPECT_NE(simd_ctl(&s, "status").find("node 3 present=1 online=0 integrated=0 master=0\n"),
              std::string::npos);
}

/* Echo server: answers each request with its data upper-cased and, when
 * echo_replied is set, tells it there ('r'). Requests with code 0x43 are
 * never answered (told as 'h', held); one with code 0x44 makes the server
 * step down (no request is delivered to it any more) before it is answered.
 * A standby started with echo_lower answers in lower case instead. */
static int echo_replied = -1;
static bool echo_lower = false;
static void echo_handler(bripc_msg_t *msg, void *data, void *)
{
    if (msg->msg_code == 0x43) {
        if (echo_replied >= 0)
            (void)!write(echo_replied, "h", 1);
        return;
    }
    if (msg->msg_code == 0x44) {
        bripc_ph_t ph = 0;
        (void)bripc_find_phandle("echoser", &ph);
        (void)bripc_set_limit(ph, 0, -1);
    }
    char *s = (char *)data;
    size_t len = (size_t)msg->msg_size64 * BRIPC_UNIT;
    for (size_t i = 0; i < len; i++)
        s[i] = (char)(echo_lower ? tolower((unsigned char)s[i]) : toupper((unsigned char)s[i]));
    (void)send_reply(msg->msg_id, data, len);
    if (echo_replied >= 0)
        (void)!write(echo_replied, "r", 1);
}

/* Starts the echo server on node 3, telling replied (when not -1) of every
 * reply, and waits until its name is registered ("echoserver" is cut to
 * seven characters). */
static pid_t start_echo_server(simd *s, int replied = -1)
{
    pid_t server = fork();
    if (server == 0) {
        setenv("OSK_DEVICE_PATH", simd_sock(s, 3).c_str(), 1);
        echo_replied = replied;
        bripc_ph_t ph;
        if (bripc_register_phandle("echoserver", &ph) != BRIPC_PRIMARY)
            _exit(3);
        start_server(echo_handler);
    }
    EXPECT_TRUE(wait_for_condition(
        250, 20, [&] { return simd_ctl(s, "ipc").find("name echoser ") != std::string::npos; }));
    return server;
}

/* In a child: this process on node 6, holding the echo server's handle in
 * *ph; the child ends with 4 when there is none. */
static void echo_client_on_node6(simd *s, bripc_ph_t *ph)
{
    setenv("OSK_DEVICE_PATH", simd_sock(s, 6).c_str(), 1);
    *ph = 0;
    if (bripc_find_phandle("echoser", ph) != 0)
        _exit(4);
}

/* One call; sent tells of the request gone out, before the reply is awaited. */
static std::string echo_call(const char *name, const char *text, uint32_t code = 0x42,
                             int sent = -1)
{
    bripc_ph_t ph = 0;
    int rc = bripc_find_phandle(name, &ph);
    if (rc != 0)
        return "find " + std::to_string(rc);
    if (send_message(ph, text, strlen(text) + 1, code, 1) == 0)
        return "send failed";
    if (sent >= 0)
        (void)!write(sent, "s", 1);
    void *buf = nullptr;
    size_t len = 0;
    if (alloc_and_get_reply(&buf, &len) != 0)
        return "no reply";
    std::string r = (char *)buf;
    free(buf);
    return r + " " + std::to_string(len);
}

TEST_F(Cluster, ServerOnNode3AnswersClientOnNode6UntilNode3Leaves)
{
    pid_t server = start_echo_server(&s);

    EXPECT_EQ(run_as(simd_sock(&s, 6), [] { return echo_call("echoser", "hello node3"); }),
              "HELLO NODE3 64");

    /* A request pending on node 3 fails with BR_NODE_DOWN when it leaves;
     * afterwards the name is gone. */
    std::string pending;
    int pfd[2];
    ASSERT_EQ(pipe(pfd), 0);
    pid_t client = fork();
    if (client == 0) {
        bripc_ph_t ph;
        echo_client_on_node6(&s, &ph);
        bripc_msg_t msg;
        memset(&msg, 0, sizeof(msg));
        msg.msg_code = 0x43;
        msg.msg_tag = &msg;
        if (bripc_request(ph, &msg, nullptr, 0) != 0)
            _exit(5);
        (void)!write(pfd[1], "s", 1);
        bripc_msg_t rep;
        memset(&rep, 0, sizeof(rep));
        int rc = bripc_listen(&rep, BRIPC_LISTEN_BLOCK, -1);
        std::string r = std::to_string(rc) + " " + std::to_string(rep.sys_reason) +
                        ((rep.msg_code & BRIPC_REPLY) ? " reply" : " request");
        (void)!write(pfd[1], r.data(), r.size());
        _exit(0);
    }
    close(pfd[1]);
    char c;
    ASSERT_EQ(read(pfd[0], &c, 1), 1);
    ASSERT_EQ(simd_ctl(&s, "leave 3"), "ok\n");
    char buf[128];
    ssize_t n = read(pfd[0], buf, sizeof(buf));
    close(pfd[0]);
    pending.assign(buf, n > 0 ? (size_t)n : 0);
    EXPECT_EQ(pending, "0 " + std::to_string(BR_NODE_DOWN) + " reply");
    waitpid(client, nullptr, 0);

    EXPECT_EQ(run_as(simd_sock(&s, 6), [] { return echo_call("echoser", "again"); }),
              "find " + std::to_string(BRIPC_NOPHANDLE));
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
}

/* What a child wrote on fd within 30 seconds, up to its first n bytes;
 * "timeout" when it wrote nothing, "" when it ended without a word. */
static std::string read_within(int fd, size_t n = 64)
{
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 30000) != 1)
        return "timeout";
    char buf[128];
    ssize_t got = read(fd, buf, std::min(n, sizeof(buf)));
    return std::string(buf, got > 0 ? (size_t)got : 0);
}

/* On node: one waiting lookup of "stby" (not repeated, so that an early
 * answer shows), its result on out, then the name is held until killed. */
static pid_t start_standby(simd *s, int node, int out)
{
    pid_t pid = fork();
    if (pid == 0) {
        setenv("OSK_DEVICE_PATH", simd_sock(s, node).c_str(), 1);
        bripc_ph_t ph = 0;
        std::string r = std::to_string(
            osk_krn_hook(HOOK_IPC_GET_PH_WAIT, (uintptr_t) "stby", (uintptr_t)&ph, 0, 0));
        (void)!write(out, r.data(), r.size());
        pause();
        _exit(0);
    }
    return pid;
}

/* Backups queue behind the primary and wait, however many there are; when
 * the primary's node leaves the oldest takes over and is told so, and when
 * that one ends the next does. */
TEST_F(Cluster, StandbysQueueAndTakeOverOneAfterAnother)
{
    pid_t primary = fork();
    if (primary == 0) {
        setenv("OSK_DEVICE_PATH", simd_sock(&s, 3).c_str(), 1);
        bripc_ph_t ph;
        if (bripc_register_phandle("stby", &ph) != BRIPC_PRIMARY)
            _exit(3);
        pause();
        _exit(0);
    }
    auto ipc_has = [&](const std::string &what) {
        return wait_for_condition(
            250, 20, [&] { return simd_ctl(&s, "ipc").find(what) != std::string::npos; });
    };
    ASSERT_TRUE(ipc_has("name stby ")) << simd_ctl(&s, "ipc");
    int out1[2], out6[2];
    ASSERT_EQ(pipe(out1), 0);
    ASSERT_EQ(pipe(out6), 0);
    pid_t b1 = start_standby(&s, 1, out1[1]);
    ASSERT_TRUE(ipc_has(" backup 1:" + std::to_string(b1))) << simd_ctl(&s, "ipc");
    pid_t b6 = start_standby(&s, 6, out6[1]);
    const std::string queue = " backup 1:" + std::to_string(b1) + ",6:" + std::to_string(b6);
    EXPECT_TRUE(ipc_has(queue)) << simd_ctl(&s, "ipc");

    ASSERT_EQ(simd_ctl(&s, "leave 3"), "ok\n");
    EXPECT_EQ(read_within(out1[0]), "0");
    EXPECT_TRUE(
        ipc_has(" primary 1:" + std::to_string(b1) + " backup 6:" + std::to_string(b6) + "\n"))
        << simd_ctl(&s, "ipc");

    kill(b1, SIGKILL);
    waitpid(b1, nullptr, 0);
    EXPECT_EQ(read_within(out6[0]), "0"); /* an early answer would be its error code */
    EXPECT_TRUE(ipc_has(" primary 6:" + std::to_string(b6) + " backup -1:0\n"))
        << simd_ctl(&s, "ipc");

    for (pid_t p : {primary, b6}) {
        kill(p, SIGKILL);
        waitpid(p, nullptr, 0);
    }
    for (int *p : {out1, out6}) {
        close(p[0]);
        close(p[1]);
    }
}

/* A server about to go down steps down first. What it already holds fails
 * with its node; what was sent to the name after it stepped down goes to
 * the standby promoted when its node leaves, and so does the next lookup. */
TEST_F(Cluster, StandbyAnswersWhatTheServerLeftUndelivered)
{
    int held[2], sent[2], results[2];
    ASSERT_EQ(pipe(held), 0);
    ASSERT_EQ(pipe(sent), 0);
    ASSERT_EQ(pipe(results), 0);
    pid_t server = start_echo_server(&s, held[1]);
    pid_t standby = fork();
    if (standby == 0) {
        setenv("OSK_DEVICE_PATH", simd_sock(&s, 1).c_str(), 1);
        bripc_ph_t ph;
        (void)return_when_primary("echoserver", &ph, nullptr);
        echo_lower = true;
        start_server(echo_handler);
    }
    ASSERT_TRUE(wait_for_condition(250, 20, [&] {
        return simd_ctl(&s, "ipc").find(" backup 1:" + std::to_string(standby)) !=
               std::string::npos;
    })) << simd_ctl(&s, "ipc");

    pid_t holder = fork();
    if (holder == 0) {
        std::string r =
            run_as(simd_sock(&s, 6), [] { return echo_call("echoser", "held", 0x43); }) + "\n";
        (void)!write(results[1], r.data(), r.size());
        _exit(0);
    }
    ASSERT_EQ(read_within(held[0], 1), "h");
    EXPECT_EQ(run_as(simd_sock(&s, 6), [] { return echo_call("echoser", "step down", 0x44); }),
              "STEP DOWN 64");
    pid_t late = fork();
    if (late == 0) {
        int fd = sent[1];
        std::string r =
            run_as(simd_sock(&s, 6), [fd] { return echo_call("echoser", "sent late", 0x42, fd); }) +
            "\n";
        (void)!write(results[1], r.data(), r.size());
        _exit(0);
    }
    ASSERT_EQ(read_within(sent[0], 1), "s");
    ASSERT_EQ(simd_ctl(&s, "leave 3"), "ok\n");

    /* Both answers, a line each, whichever comes first: one read may bring
     * both. */
    std::string got;
    while (std::count(got.begin(), got.end(), '\n') < 2 && got.find("timeout") == std::string::npos)
        got += read_within(results[0]);
    EXPECT_TRUE(got == "no reply\nsent late 64\n" || got == "sent late 64\nno reply\n") << got;
    EXPECT_EQ(run_as(simd_sock(&s, 6), [] { return echo_call("echoser", "AGAIN"); }), "again 64");
    EXPECT_NE(simd_ctl(&s, "ipc").find(" primary 1:" + std::to_string(standby) + " "),
              std::string::npos);

    for (pid_t p : {holder, late})
        waitpid(p, nullptr, 0);
    for (pid_t p : {server, standby}) {
        kill(p, SIGKILL);
        waitpid(p, nullptr, 0);
    }
    for (int *p : {held, sent, results}) {
        close(p[0]);
        close(p[1]);
    }
}

/* Names are read in the caller's memory as a kernel reads them: one that
 * ends just before an unmapped page is whole; one that runs into it is a
 * fault, and the ioctl fails. */
TEST_F(Cluster, NameEndingAtAnUnmappedPageIsReadWhole)
{
    pid_t server = fork();
    if (server == 0) {
        setenv("OSK_DEVICE_PATH", simd_sock(&s, 3).c_str(), 1);
        bripc_ph_t ph;
        if (bripc_register_phandle("pg", &ph) != BRIPC_PRIMARY)
            _exit(3);
        pause();
        _exit(0);
    }
    ASSERT_TRUE(wait_for_condition(
        250, 20, [&] { return simd_ctl(&s, "ipc").find("name pg ") != std::string::npos; }));
    auto find_at_page_end = [](const char *name, size_t len) {
        return [name, len] {
            long page = sysconf(_SC_PAGESIZE);
            char *m = (char *)mmap(nullptr, 2 * (size_t)page, PROT_READ | PROT_WRITE,
                                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (m == MAP_FAILED || mprotect(m + page, (size_t)page, PROT_NONE) != 0)
                return std::string("no pages");
            char *at = m + page - len;
            memcpy(at, name, len);
            bripc_ph_t ph = 0;
            int rc = osk_krn_hook(HOOK_IPC_FIND_PH, (uintptr_t)at, (uintptr_t)&ph, 0, 0);
            return std::to_string(rc) + (ph != 0 ? " found" : " none");
        };
    };
    EXPECT_EQ(run_as(simd_sock(&s, 6), find_at_page_end("pg", 3)), "0 found");
    EXPECT_EQ(run_as(simd_sock(&s, 6), find_at_page_end("pgx", 3)), "exit 255");
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
}

/* A reply that arrived before its caller's node left is still the caller's
 * to read, whole: a node that asked to be shut down reads the answer while
 * it goes down. Only new requests fail. */
TEST_F(Cluster, ReplyThatCameBeforeTheCallersNodeLeftIsReadWhole)
{
    int replied[2], started[2], go[2], result[2];
    ASSERT_EQ(pipe(replied), 0);
    ASSERT_EQ(pipe(started), 0);
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(result), 0);
    pid_t server = start_echo_server(&s, replied[1]);
    pid_t client = fork();
    if (client == 0) {
        bripc_ph_t ph;
        echo_client_on_node6(&s, &ph);
        char data[BRIPC_UNIT] = "going down";
        bripc_msg_t msg;
        memset(&msg, 0, sizeof(msg));
        msg.msg_code = 0x42;
        msg.msg_size64 = 1;
        msg.msg_tag = &msg;
        bripc_buff_t b = {data, 1};
        if (bripc_request(ph, &msg, &b, 1) != 0)
            _exit(5);
        char c;
        (void)!write(started[1], "s", 1);
        if (read(go[0], &c, 1) != 1)
            _exit(6);
        int rc = bripc_listen(&msg, BRIPC_LISTEN_BLOCK, -1);
        memset(data, 0, sizeof(data));
        int got = bripc_read_reply(msg.msg_id, &b, 1);
        int again = bripc_find_phandle("echoser", &ph);
        std::string r = std::to_string(rc) + " " + std::to_string(got) + " " + data + " " +
                        std::to_string(again);
        (void)!write(result[1], r.data(), r.size());
        _exit(0);
    }
    close(result[1]);
    char c;
    ASSERT_EQ(read(started[0], &c, 1), 1);
    ASSERT_EQ(read(replied[0], &c, 1), 1);
    ASSERT_EQ(simd_ctl(&s, "leave 6"), "ok\n");
    ASSERT_EQ(write(go[1], "g", 1), 1);
    char buf[128];
    ssize_t n = read(result[0], buf, sizeof(buf));
    EXPECT_EQ(std::string(buf, n > 0 ? (size_t)n : 0),
              "0 64 GOING DOWN " + std::to_string(BR_NODE_DOWN));
    waitpid(client, nullptr, 0);
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
    for (int *p : {replied, started, go, result}) {
        close(p[0]);
        if (p != result)
            close(p[1]);
    }
}

/* A process is known by the process itself, not by its pid or by whoever
 * holds its connection: a child forked without exec keeps the parent's
 * connection open, yet the parent's name goes when the parent ends. */
TEST_F(Cluster, NamesGoWithTheirProcessEvenWhileAChildHoldsItsConnection)
{
    int hold[2];
    ASSERT_EQ(pipe(hold), 0);
    pid_t parent = fork();
    if (parent == 0) {
        close(hold[1]); /* the holder ends once the test closes its end */
        setenv("OSK_DEVICE_PATH", simd_sock(&s, 3).c_str(), 1);
        bripc_ph_t ph;
        if (bripc_register_phandle("keeper", &ph) != BRIPC_PRIMARY)
            _exit(3);
        if (fork() == 0) {
            char c;
            (void)!read(hold[0], &c, 1); /* holds the inherited connection until told */
            _exit(0);
        }
        _exit(0);
    }
    close(hold[0]);
    int st = -1;
    ASSERT_EQ(waitpid(parent, &st, 0), parent);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    EXPECT_TRUE(wait_for_condition(250, 20, [&] {
        std::string ipc = simd_ctl(&s, "ipc");
        return ipc.find("keeper") == std::string::npos &&
               ipc.find(":" + std::to_string(parent) + " ") == std::string::npos;
    })) << simd_ctl(&s, "ipc");
    close(hold[1]);
}

static int raw_connect(const std::string &path)
{
    struct sockaddr_un sa;
    memset(&sa, 0, sizeof(sa));
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof(sa.sun_path), "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (connect(fd, (struct sockaddr *)&sa, sizeof(sa)) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/* True when the daemon closed the connection without answering. */
static bool rejected(int fd)
{
    struct timeval tv = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    char b;
    bool closed = read(fd, &b, 1) == 0;
    close(fd);
    return closed;
}

TEST_F(Cluster, MalformedFramesAreRejectedAndOthersServedOn)
{
    /* Two requests in one write are two requests, answered in order. */
    {
        int fd = raw_connect(simd_sock(&s, 1));
        struct {
            oskdev_frame_t fr;
            osk_krn_hook_t hk;
        } two[2];
        memset(two, 0, sizeof(two));
        for (auto &t : two) {
            t.fr.fr_magic = OSKDEV_MAGIC_REQ;
            t.fr.fr_request = OSK_HOOK_IOCTL;
            t.fr.fr_len = sizeof(osk_krn_hook_t);
        }
        two[0].hk.hook = HOOK_CL_MY_NODE;
        two[1].hk.hook = HOOK_CL_MASTER;
        ASSERT_EQ(write(fd, two, sizeof(two)), (ssize_t)sizeof(two));
        size_t got = 0;
        ssize_t r;
        while (got < sizeof(two) && (r = read(fd, (char *)two + got, sizeof(two) - got)) > 0)
            got += (size_t)r;
        ASSERT_EQ(got, sizeof(two));
        EXPECT_EQ(two[0].fr.fr_magic, OSKDEV_MAGIC_REP);
        EXPECT_EQ(two[0].hk.result, 1) << "this node";
        EXPECT_EQ(two[1].hk.result, 0) << "the master";
        close(fd);
    }

    /* A well-behaved client stays connected across the bad ones. */
    int rd[2], wr[2];
    ASSERT_EQ(pipe(rd), 0);
    ASSERT_EQ(pipe(wr), 0);
    pid_t good = fork();
    if (good == 0) {
        setenv("OSK_DEVICE_PATH", simd_sock(&s, 1).c_str(), 1);
        char c;
        for (int i = 0; i < 2; i++) {
            std::string v = node_view();
            (void)!write(rd[1], v.data(), v.size());
            if (i == 0 && read(wr[0], &c, 1) != 1)
                _exit(1);
        }
        _exit(0);
    }
    char buf[256];
    ssize_t n = read(rd[0], buf, sizeof(buf));
    ASSERT_GT(n, 0);
    std::string before(buf, (size_t)n);

    oskdev_frame_t fr;
    memset(&fr, 0, sizeof(fr));
    int fd = raw_connect(simd_sock(&s, 1));
    fr.fr_magic = 0xdeadbeef;
    fr.fr_request = SCCMD_GETCINFO;
    fr.fr_len = sizeof(cinfo_t);
    ASSERT_EQ(write(fd, &fr, sizeof(fr)), (ssize_t)sizeof(fr));
    EXPECT_TRUE(rejected(fd)) << "bad magic";

    fd = raw_connect(simd_sock(&s, 1));
    fr.fr_magic = OSKDEV_MAGIC_REQ;
    fr.fr_len = MAX_IOCTL_SIZE + 1;
    ASSERT_EQ(write(fd, &fr, sizeof(fr)), (ssize_t)sizeof(fr));
    EXPECT_TRUE(rejected(fd)) << "absurd length";

    fd = raw_connect(simd_sock(&s, 1));
    fr.fr_len = sizeof(cinfo_t);
    ASSERT_EQ(write(fd, &fr, sizeof(fr)), (ssize_t)sizeof(fr));
    ASSERT_EQ(write(fd, "short", 5), 5);
    shutdown(fd, SHUT_WR);
    EXPECT_TRUE(rejected(fd)) << "short frame";

    fd = raw_connect(simd_sock(&s, 1));
    ASSERT_EQ(write(fd, &fr, 10), 10);
    shutdown(fd, SHUT_WR);
    EXPECT_TRUE(rejected(fd)) << "short header";

    ASSERT_EQ(write(wr[1], "g", 1), 1);
    n = read(rd[0], buf, sizeof(buf));
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, (size_t)n), before);
    waitpid(good, nullptr, 0);
    EXPECT_EQ(simd_ctl(&s, "join 2"), "ok\n");
}

TEST_F(Cluster, RolloverKeepsTheGenerationsTheModuleReports)
{
    char tmpl[] = "/tmp/krn-roll-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    std::string log = dir + "/app.log";
    auto put = [](const std::string &path, const std::string &text) {
        FILE *f = fopen(path.c_str(), "w");
        fputs(text.c_str(), f);
        fclose(f);
    };
    auto get = [](const std::string &path) {
        char b[32] = "";
        FILE *f = fopen(path.c_str(), "r");
        if (f == nullptr)
            return std::string("none");
        (void)!fgets(b, sizeof(b), f);
        fclose(f);
        return std::string(b);
    };
    /* Returns N as the node sees it and the contents of .0, .(N-1), .N. */
    auto roll = [&](int n) {
        put(log, "live");
        for (int i = 0; i < 10; i++)
            put(log + "." + std::to_string(i), "g" + std::to_string(i));
        std::string r = run_as(simd_sock(&s, 0), [&] {
            return std::to_string(kern_query_num_logfiles()) + " " +
                   std::to_string(logmgr_rollover_regfile(log.c_str(), -1, 0644));
        });
        return r + " " + get(log + ".0") + " " + get(log + "." + std::to_string(n - 1)) + " " +
               get(log + "." + std::to_string(n));
    };
    /* The oldest kept generation is overwritten; the one beyond is not ours. */
    EXPECT_EQ(roll(5), "5 1 live g3 g5");
    ASSERT_EQ(simd_ctl(&s, "setvar numlogfiles 7"), "ok\n");
    EXPECT_EQ(roll(7), "7 1 live g5 g7");
    ASSERT_EQ(simd_ctl(&s, "setvar numlogfiles 81"), "ok\n");
    EXPECT_EQ(roll(5), "5 1 live g3 g5");
    ASSERT_EQ(simd_ctl(&s, "setvar numlogfiles 4"), "ok\n");
    EXPECT_EQ(roll(5), "5 1 live g3 g5");
    (void)!system(("rm -rf " + dir).c_str());
}
