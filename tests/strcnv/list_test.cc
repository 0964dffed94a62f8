#include <gtest/gtest.h>

#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "strcnv_support.h"

namespace
{

const size_t kOwner = 64;                   /* the owning record's own bytes */
const size_t kProp = sizeof(uint32_t) + 68; /* property: link, name, value */

uint32_t link_at(const unsigned char *e)
{
    uint32_t v;
    memcpy(&v, e, 4);
    return v;
}

const char *name_at(const unsigned char *e)
{
    return (const char *)e + 4;
}

/* An owner and n properties, chained backwards through memory: chain
 * order is not address order. Returns the head. */
uint32_t build(bytes_t &block, int n)
{
    block.assign(kOwner + n * kProp, 0);
    uint32_t head = 0;
    for (int k = 0; k < n; k++) { /* k-th in memory is (n-1-k)-th in the chain */
        unsigned char *e = &block[kOwner + k * kProp];
        memcpy(e, &head, 4);
        snprintf((char *)e + 4, 32, "p%d", n - 1 - k);
        snprintf((char *)e + 36, 36, "value of p%d", n - 1 - k);
        head = (uint32_t)(kOwner + k * kProp);
    }
    return head;
}

bytes_t write_list(const bytes_t &block, size_t avail, uint32_t head, long *count)
{
    return wire_of([&](int fd) {
        *count = write_property_list(fd, block.data(), avail, head);
        EXPECT_EQ(mc_flush(fd), 1);
        return true;
    });
}

/* read_T_list into a reply that starts with the owner's kOwner bytes. */
long read_list(const bytes_t &wire, bytes_t *out, uint32_t *head)
{
    per_thread_buffer_t *p = test_record();
    int s[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
    EXPECT_EQ(write(s[1], wire.data(), wire.size()), (ssize_t)wire.size());
    close(s[1]);
    mc_open(s[0], nullptr);
    p->malloc_called = 0;
    memset(mc_malloc(kOwner), 0, kOwner);
    size_t end = kOwner;
    long n = read_property_list(s[0], 0, &end, head);
    if (n >= 0) {
        EXPECT_EQ(p->size, end);
        out->assign((unsigned char *)p->buffer, (unsigned char *)p->buffer + end);
    }
    p->fd = -1;
    p->roff = p->rend = 0;
    close(s[0]);
    return n;
}

TEST(Lists, WrittenDecodedCopiedUnpackedWalkedAndPacked)
{
    for (int n : {0, 1, 9}) {
        SCOPED_TRACE(n);
        bytes_t block;
        uint32_t head = build(block, n);
        long count;
        bytes_t wire = write_list(block, block.size(), head, &count);
        ASSERT_EQ(count, n);
        ASSERT_GE(wire.size(), 4u);
        EXPECT_EQ(wire[3], n);

        /* decoded: contiguous in chain order, links are offsets from the owner */
        bytes_t got;
        uint32_t h;
        ASSERT_EQ(read_list(wire, &got, &h), n);
        ASSERT_EQ(got.size(), kOwner + n * kProp);
        EXPECT_EQ(h, n ? kOwner : 0u);
        for (int k = 0; k < n; k++) {
            const unsigned char *e = &got[kOwner + k * kProp];
            EXPECT_EQ(std::string(name_at(e)), "p" + std::to_string(k));
            EXPECT_STREQ((const char *)e + 36, ("value of p" + std::to_string(k)).c_str());
            EXPECT_EQ(link_at(e), k + 1 < n ? kOwner + (k + 1) * kProp : 0u);
        }

        /* copied elsewhere, unpacked: walked without the owner */
        std::vector<unsigned char> copy(got.size() + 8);
        unsigned char *at = copy.data() + 8;
        memcpy(at, got.data(), got.size());
        unpackf_property_list(at, h);
        int walked = 0;
        for (void *e = n ? at + h : nullptr; e; e = strcnv_list_next(e), walked++)
            EXPECT_EQ(std::string(name_at((unsigned char *)e)), "p" + std::to_string(walked));
        EXPECT_EQ(walked, n);
        /* what the elements own goes; they stay, in their owner's block */
        free_property_list(n ? at + h : nullptr);

        /* packed again: the stored form, byte for byte */
        packf_property_list(at, h);
        EXPECT_TRUE(memcmp(at, got.data(), got.size()) == 0);

        /* and the packed original sends the same bytes as the decoded copy */
        EXPECT_EQ(write_list(got, got.size(), h, &count), wire);
    }
}

TEST(Lists, BrokenChainsAreRefused)
{
    bytes_t block;
    uint32_t head = build(block, 3);
    long count;
    testing::internal::CaptureStderr();
    /* the last element links back to the first: a cycle */
    uint32_t first = head;
    memcpy(&block[kOwner], &first, 4);
    (void)write_list(block, block.size(), head, &count);
    EXPECT_EQ(count, -1);
    /* a link past the owner's bytes */
    head = build(block, 3);
    (void)write_list(block, block.size() - 1, head, &count);
    EXPECT_EQ(count, -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("write_property_list(): link"), std::string::npos) << err;

    /* a count whose elements never come, and one beyond any reply */
    bytes_t got;
    uint32_t h;
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_list(bytes_t{0, 0, 0, 5}, &got, &h), -1);
    EXPECT_EQ(read_list(bytes_t{0xFF, 0xFF, 0xFF, 0xFF}, &got, &h), -1);
    EXPECT_EQ(read_list(bytes_t{0, 0}, &got, &h), -1);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Error: read_property_list()"), std::string::npos) << err;
}

} // namespace
