#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "osk_errcode.h"
#include "osk_mcall.h"
#include "strcnv_support.h"

namespace
{

struct pair_fixture {
    int s[2];
    per_thread_buffer_t *p;
    pair_fixture()
    {
        p = test_record();
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, s) != 0)
            abort();
        int big = 1 << 20;
        (void)setsockopt(s[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        mc_open(s[0], nullptr);
    }
    ~pair_fixture()
    {
        p->fd = -1;
        p->woff = p->roff = p->rend = 0;
        close(s[0]);
        close(s[1]);
    }
    size_t pending()
    {
        size_t n = 0;
        char buf[65536];
        ssize_t r;
        while ((r = recv(s[1], buf, sizeof buf, MSG_DONTWAIT)) > 0)
            n += (size_t)r;
        return n;
    }
};

TEST(Stream, WritesAreBufferedUntilFullOrFlushed)
{
    pair_fixture f;
    EXPECT_EQ(mc_flush(f.s[0]), 1) << "nothing waiting";
    std::vector<char> data(25000, 'x');
    EXPECT_EQ(mc_write(f.s[0], data.data(), 100), 100);
    EXPECT_EQ(f.pending(), 0u);
    EXPECT_EQ(mc_write(f.s[0], data.data(), 25000), 25000);
    EXPECT_EQ(f.pending(), 20480u) << "two full buffers went out";
    EXPECT_EQ(mc_flush(f.s[0]), 1);
    EXPECT_EQ(f.pending(), 25100u - 20480u);

    shutdown(f.s[1], SHUT_RD);
    close(f.s[1]);
    f.s[1] = -1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(mc_write(f.s[0], data.data(), 10), 10);
    EXPECT_EQ(mc_flush(f.s[0]), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("mc_flush(): Write error:"),
              std::string::npos);
}

TEST(Stream, ReadsCrossTheBufferAndReportAClose)
{
    pair_fixture f;
    std::vector<unsigned char> data(30000);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (unsigned char)(i * 7);
    ASSERT_EQ(write(f.s[1], data.data(), data.size()), (ssize_t)data.size());
    std::vector<unsigned char> got(30000);
    EXPECT_EQ(mc_read(f.s[0], got.data(), 10000), 10000);
    EXPECT_EQ(mc_read(f.s[0], got.data() + 10000, 500), 500) << "across 10240";
    EXPECT_EQ(mc_read(f.s[0], got.data() + 10500, 19000), 19000);
    EXPECT_EQ(memcmp(got.data(), data.data(), 29500), 0);
    shutdown(f.s[1], SHUT_WR);
    EXPECT_EQ(mc_read(f.s[0], got.data(), 1000), 0) << "500 left, then the peer closed";
}

/* A one-call server over the real codecs; `answer` edits the decoded
 * request into the reply or returns false to send `raw` bytes instead. */
void serve_one(int fd, std::function<void(mcall_t **, int *)> answer)
{
    per_thread_buffer_t *p = init_thread_buffer(nullptr, 1);
    mc_open(fd, nullptr);
    char name[STRCNV_MAX_NAME + 1];
    if (strcnv_read_name(fd, name) == 1) {
        int id = strcnv_find_id(name);
        size_t total;
        p->malloc_called = 0;
        if (id >= 0 && js_receive[id](fd, &total) != nullptr) {
            mcall_t *rec = p->buffer;
            rec->mc_size = (uint32_t)total;
            rec->mc_bufsize = p->bufsize;
            answer(&rec, &id);
            (void)js_send[id](fd, rec);
            (void)mc_flush(fd);
            if (rec != p->buffer)
                free(rec);
        }
    }
    p->fd = -1;
}

/* Opens the thread as a socket connection on one end of a pair, runs
 * `call` while `answer` serves the other end. */
void with_socket_connection(std::function<void(mcall_t **, int *)> answer,
                            std::function<void(int)> call)
{
    mcsocket_install();
    per_thread_buffer_t *p = test_record();
    /* Each call brings its own record, lent to the thread for the call. */
    free(p->buffer);
    p->buffer = nullptr;
    p->bufsize = 0;
    p->reuse_buffer = 0;
    int *type;
    init_thread_conntype(&type);
    *type = MCALL_SOCKET;
    int s[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
    *get_thread_socket() = s[0];
    mc_open(s[0], nullptr);
    std::thread server(serve_one, s[1], answer);
    call(s[0]);
    if (*get_thread_socket() >= 0)
        close_socket();
    server.join();
    close(s[1]);
    *type = MCALL_LOCAL;
    p->reuse_buffer = 1;
}

TEST(SocketCall, ReplyGrowsTheCallersRecord)
{
    with_socket_connection(
        [](mcall_t **rec, int *) {
            /* three volumes: the reply outgrows the request */
            size_t n = sizeof(showvv_t) + 3 * sizeof(vvol_t);
            *rec = (mcall_t *)calloc(1, n);
            (*rec)->mc_opcode = MCVV_SHOW;
            (*rec)->mc_bufsize = (uint32_t)n;
            showvv_t *sv = (showvv_t *)*rec;
            sv->showvv_count = 3;
            snprintf(sv->showvv_vvols[2].v_name, 32, "vv2");
        },
        [](int) {
            mcall_t *rec = mcall_alloc(MCVV_SHOW, sizeof(showvv_t));
            show = 1;
            testing::internal::CaptureStdout();
            EXPECT_EQ(oskcall(&rec), 0);
            std::string out = testing::internal::GetCapturedStdout();
            show = 0;
            EXPECT_EQ(out.find("showvv (strcnv_types.def:"), 0u) << out;
            EXPECT_NE(out.find("v_name: \"vv2\""), std::string::npos);
            EXPECT_EQ(rec->mc_size, sizeof(showvv_t) + 3 * sizeof(vvol_t));
            EXPECT_GE(rec->mc_bufsize, rec->mc_size);
            EXPECT_EQ(rec->mc_bufsize % 64, 0u);
            EXPECT_STREQ(((showvv_t *)rec)->showvv_vvols[2].v_name, "vv2");
            EXPECT_GE(*get_thread_socket(), 0);
            mcall_free(rec);
        });
}

TEST(SocketCall, FailedReplyKeepsTheSocketAndWrongTypeClosesIt)
{
    with_socket_connection(
        [](mcall_t **rec, int *) {
            (*rec)->mc_status = TE_INVALID;
            snprintf((*rec)->mc_ertxt, sizeof(*rec)->mc_ertxt, "no such volume");
        },
        [](int) {
            mcall_t *rec = mcall_alloc(MCVL_SHOW, sizeof(showvlun_t));
            testing::internal::CaptureStderr();
            EXPECT_EQ(oskcall(&rec), 1);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed oskcall: no such volume\n");
            EXPECT_EQ(rec->mc_status, TE_INVALID);
            EXPECT_GE(*get_thread_socket(), 0) << "still open";
            mcall_free(rec);
        });

    with_socket_connection([](mcall_t **, int *id) { *id = STRCNV_ID_mcall; },
                           [](int) {
                               mcall_t *rec = mcall_alloc(MC_PING, sizeof(mcping_t));
                               testing::internal::CaptureStderr();
                               EXPECT_EQ(oskcall(&rec), 1);
                               EXPECT_EQ(testing::internal::GetCapturedStderr(),
                                         "oskcall() sent mcping, received mcall\n");
                               EXPECT_EQ(*get_thread_socket(), -1) << "closed";
                               mcall_free(rec);
                           });
}

} // namespace
