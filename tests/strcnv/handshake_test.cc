#include <gtest/gtest.h>

#include <pthread.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "strcnv_support.h"

namespace
{

std::string text(const strcnv_version &v, size_t room = 40)
{
    char buf[40];
    if (!strcnv_snprintf_version(&v, buf, room))
        return "(did not fit)";
    return buf;
}

TEST(Versions, ParseAndPrint)
{
    strcnv_initialize();
    strcnv_version v;
    strcnv_set_version(&v, "1.68");
    EXPECT_EQ(v.v[0], 1);
    EXPECT_EQ(v.v[1], 68);
    EXPECT_EQ(v.v[2] | v.v[3] | v.v[4], 0);
    EXPECT_EQ(text(v), "1.68");
    EXPECT_EQ(text(STRCNV_CURRENT_VERSION), "3.115");
    strcnv_set_version(&v, "3.0.0.0");
    EXPECT_EQ(text(v), "3");
    strcnv_set_version(&v, "1.0.2");
    EXPECT_EQ(text(v), "1.0.2");
    strcnv_set_version(&v, "1.2.3.4.5.6");
    EXPECT_EQ(text(v), "1.2.3.4.5");
    EXPECT_EQ(text(v, 5), "(did not fit)");

    EXPECT_EQ(strcnv_is_big_endian(), 0);
    EXPECT_EQ(strcnv_htonll(0x0102030405060708ull), 0x0807060504030201ull);
    EXPECT_EQ(strcnv_ntohll(strcnv_htonll(0xdeadbeefcafef00dull)), 0xdeadbeefcafef00dull);
    testing::internal::CaptureStdout();
    EXPECT_STREQ(strcnv_print_bits(5, 8), "00000101");
    EXPECT_STREQ(strcnv_print_bits(0, 4), "0000");
    EXPECT_STREQ(strcnv_print_bits(0x1ff, 4), "111111111");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "000001010000111111111");
}

/* A peer speaking raw bytes, so that it can claim any version. */
struct raw_peer {
    int fd;
    void send_bytes(const void *p, size_t n)
    {
        ASSERT_EQ(write(fd, p, n), (ssize_t)n);
    }
    void send_version(const char *t)
    {
        strcnv_version v;
        strcnv_set_version(&v, t);
        unsigned char b[10];
        for (int i = 0; i < 5; i++) {
            b[2 * i] = (unsigned char)((uint16_t)v.v[i] >> 8);
            b[2 * i + 1] = (unsigned char)v.v[i];
        }
        send_bytes(b, 10);
    }
    void send_verdict(uint32_t d)
    {
        unsigned char b[4] = {0, 0, 0, (unsigned char)d};
        send_bytes(b, 4);
    }
    bool recv_full(unsigned char *b, size_t n)
    {
        for (size_t got = 0; got < n;) {
            ssize_t r = read(fd, b + got, n - got);
            if (r <= 0)
                return false;
            got += (size_t)r;
        }
        return true;
    }
    std::string recv_version()
    {
        unsigned char b[10];
        if (!recv_full(b, 10))
            return "(closed)";
        strcnv_version v;
        for (int i = 0; i < 5; i++)
            v.v[i] = (int16_t)(b[2 * i] << 8 | b[2 * i + 1]);
        return text(v);
    }
    int recv_verdict()
    {
        unsigned char b[4];
        return recv_full(b, 4) ? b[3] : -1;
    }
};

/* Runs the client handshake against a scripted server; returns its result. */
template <typename Script> int client_against(Script script, std::string *err)
{
    per_thread_buffer_t *p = test_record();
    int s[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
    std::thread server([&] {
        raw_peer peer{s[1]};
        script(peer);
    });
    mc_open(s[0], nullptr);
    testing::internal::CaptureStderr();
    int r = strcnv_client_handshake(s[0]);
    *err = testing::internal::GetCapturedStderr();
    p->fd = -1;
    p->roff = p->rend = 0;
    shutdown(s[0], SHUT_RDWR);
    server.join();
    close(s[0]);
    close(s[1]);
    return r;
}

TEST(Handshake, ClientAcceptsEqualAndRefusesOtherVersions)
{
    std::string err;
    EXPECT_EQ(client_against(
                  [](raw_peer &p) {
                      EXPECT_EQ(p.recv_version(), "1.68");
                      p.send_verdict(0);
                      EXPECT_EQ(p.recv_version(), "3.115");
                      p.send_verdict(0);
                  },
                  &err),
              0);
    EXPECT_EQ(err, "");

    EXPECT_EQ(client_against(
                  [](raw_peer &p) {
                      p.recv_version();
                      p.send_verdict(0);
                      p.recv_version();
                      p.send_verdict(1);
                      p.send_version("3.116");
                  },
                  &err),
              1);
    EXPECT_EQ(err, "Error: version mismatch:\n  this program 3.115\n  connected program 3.116\n");

    /* a record-definition mismatch with an old server: no protocol exchange */
    EXPECT_EQ(client_against(
                  [](raw_peer &p) {
                      p.recv_version();
                      p.send_verdict(1);
                      p.send_version("1.62");
                      EXPECT_EQ(p.recv_version(), "(closed)");
                  },
                  &err),
              1);
    EXPECT_EQ(err,
              "Error: jstruct version mismatch:\n  this program 1.68\n  connected program 1.62\n");

    /* a newer server goes on to the protocol exchange, the client still refuses */
    EXPECT_EQ(client_against(
                  [](raw_peer &p) {
                      p.recv_version();
                      p.send_verdict(1);
                      p.send_version("1.70");
                      EXPECT_EQ(p.recv_version(), "3.115");
                      p.send_verdict(0);
                  },
                  &err),
              1);
    EXPECT_NE(err.find("jstruct version mismatch"), std::string::npos);

    /* a server that hangs up at once */
    EXPECT_EQ(client_against([](raw_peer &p) { shutdown(p.fd, SHUT_RDWR); }, &err), 1);
}

struct server_args {
    int fd;
    int finished; /* set only when the handshake let the thread go on */
};

void *server_thread(void *v)
{
    server_args *a = (server_args *)v;
    per_thread_buffer_t *p = init_thread_buffer(nullptr, 1);
    (void)p;
    *get_thread_socket() = a->fd;
    mc_open(a->fd, nullptr);
    strcnv_handshake(a->fd);
    a->finished = 1;
    close_socket();
    return nullptr;
}

TEST(Handshake, ServerAcceptsEqualAndClosesOnMismatch)
{
    strcnv_initialize();
    for (const char *proto : {"3.115", "3.114"}) {
        int s[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
        server_args a = {s[0], 0};
        pthread_t th;
        testing::internal::CaptureStderr();
        ASSERT_EQ(pthread_create(&th, nullptr, server_thread, &a), 0);
        raw_peer peer{s[1]};
        peer.send_version("1.68");
        EXPECT_EQ(peer.recv_verdict(), 0);
        peer.send_version(proto);
        bool same = strcmp(proto, "3.115") == 0;
        EXPECT_EQ(peer.recv_verdict(), same ? 0 : 1);
        if (!same) {
            EXPECT_EQ(peer.recv_version(), "3.115");
        }
        pthread_join(th, nullptr);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(a.finished, same ? 1 : 0);
        if (!same) {
            EXPECT_NE(err.find("Error: version mismatch:\n  this program 3.115\n  connected "
                               "program 3.114\n"),
                      std::string::npos);
            EXPECT_NE(err.find("Closing file descriptor"), std::string::npos);
        }
        char c;
        EXPECT_EQ(read(s[1], &c, 1), 0) << "the server closed its end";
        close(s[1]);
    }
}

} // namespace
