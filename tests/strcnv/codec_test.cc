#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "osk_mcall.h"
#include "strcnv_support.h"

namespace
{

void put_be32(bytes_t &b, size_t at, uint32_t v)
{
    b[at] = (unsigned char)(v >> 24);
    b[at + 1] = (unsigned char)(v >> 16);
    b[at + 2] = (unsigned char)(v >> 8);
    b[at + 3] = (unsigned char)v;
}

TEST(CodecRoundTrip, EveryCatalogueTypeWithRandomFields)
{
    std::mt19937 rng(20261206);
    for (int id = 0; id < STRCNV_NTYPES; id++) {
        for (int round = 0; round < 12; round++) {
            bytes_t rec = random_record(id, rng, 3);
            bytes_t wire = encode(id, rec.data());
            ASSERT_FALSE(wire.empty()) << strcnv_array[id];
            bytes_t back;
            ASSERT_TRUE(decode(id, wire, &back)) << strcnv_array[id] << " round " << round;
            clear_sizes(id, rec);
            ASSERT_EQ(back.size(), rec.size()) << strcnv_array[id];
            ASSERT_TRUE(back == rec) << strcnv_array[id] << " round " << round;
        }
    }
}

TEST(CodecRoundTrip, WireFormatOfAPing)
{
    test_record();
    mcping_t ping = {};
    ping.mp_hdr.mc_opcode = MC_PING;
    ping.mp_hdr.mc_status = 0x01020304;
    ping.mp_hdr.mc_size = sizeof ping;
    ping.mp_hdr.mc_bufsize = 640;
    snprintf(ping.mp_hdr.mc_ertxt, sizeof ping.mp_hdr.mc_ertxt, "ab");
    snprintf(ping.mp_hdr.mc_callerid, sizeof ping.mp_hdr.mc_callerid, "not sent");
    ping.mp_version = 403;
    const unsigned char want[] = {0, 0, 0, 6, 'm', 'c', 'p', 'i', 'n', 'g', 0, 0, 0, 3,
                                  1, 2, 3, 4, 0,   0,   0,   2,   'a', 'b', 0, 0, 1, 0x93};
    EXPECT_EQ(encode(STRCNV_ID_mcping, &ping), bytes_t(want, want + sizeof want));
}

TEST(CodecRoundTrip, HostsWithPathsKeepTheirLayout)
{
    /* two hosts of three and one paths: 884 + 2 x 576 + 4 x 252 */
    std::vector<unsigned char> buf(884 + 2 * 576 + 4 * 252 + 64);
    showhost_t *sh = (showhost_t *)buf.data();
    sh->showhost_hdr.mc_opcode = MCHO_SHOW;
    sh->showhost_hdr.mc_bufsize = (uint32_t)buf.size();
    sh->showhost_count = 2;
    hostinfo_t *h = (hostinfo_t *)sh->showhost_hosts;
    snprintf(h->hinfo_name, sizeof h->hinfo_name, "first");
    h->hinfo_pathcnt = 3;
    for (int i = 0; i < 3; i++)
        h->hinfo_paths[i].hpath_wwn = 0x1000 + i;
    h = (hostinfo_t *)&h->hinfo_paths[3];
    snprintf(h->hinfo_name, sizeof h->hinfo_name, "second");
    h->hinfo_pathcnt = 1;
    h->hinfo_paths[0].hpath_wwn = 0x2000;

    bytes_t back;
    ASSERT_TRUE(decode(STRCNV_ID_showhost, encode(STRCNV_ID_showhost, sh), &back));
    ASSERT_EQ(back.size(), 884u + 2 * 576 + 4 * 252);
    const hostinfo_t *b = (const hostinfo_t *)(back.data() + 884);
    EXPECT_STREQ(b->hinfo_name, "first");
    uint64_t wwn = b->hinfo_paths[2].hpath_wwn; /* packed: copy before comparing */
    EXPECT_EQ(wwn, 0x1002u);
    b = (const hostinfo_t *)&b->hinfo_paths[3];
    EXPECT_STREQ(b->hinfo_name, "second");
    wwn = b->hinfo_paths[0].hpath_wwn;
    EXPECT_EQ(wwn, 0x2000u);
}

TEST(CodecRoundTrip, ShortRequestTravelsAsZeroAndCountsMustFit)
{
    /* the driver's MCLD_PSHOW request: 620 bytes of a 656-byte type */
    mcall_t *rec = (mcall_t *)calloc(1, 640);
    rec->mc_opcode = MCLD_PSHOW;
    rec->mc_size = 620;
    rec->mc_bufsize = 640;
    ((unsigned char *)rec)[616] = 7;
    bytes_t back;
    ASSERT_TRUE(decode(STRCNV_ID_pshow, encode(STRCNV_ID_pshow, rec), &back));
    EXPECT_EQ(back.size(), 656u);
    EXPECT_EQ(((pshow_t *)back.data())->pshow_ld_count, 7u);
    free(rec);

    /* a record whose count claims elements beyond its allocation */
    showvv_t sv = {};
    sv.showvv_hdr.mc_opcode = MCVV_SHOW;
    sv.showvv_hdr.mc_bufsize = sizeof sv;
    sv.showvv_count = 1000;
    EXPECT_TRUE(encode(STRCNV_ID_showvv, &sv).empty());
}

/* Every prefix of a valid stream is a peer that closed mid-record. */
TEST(CodecRobustness, TruncatedStreamsFailCleanly)
{
    std::mt19937 rng(4242);
    testing::internal::CaptureStderr();
    const int ids[] = {STRCNV_ID_showvlun, STRCNV_ID_showhost, STRCNV_ID_pdscmd,
                       STRCNV_ID_mciscsi_showport, STRCNV_ID_nodedown};
    for (int id : ids) {
        bytes_t rec = random_record(id, rng, 2);
        bytes_t wire = encode(id, rec.data());
        size_t step = wire.size() / 150 + 1;
        for (size_t cut = 0; cut < wire.size(); cut += step)
            ASSERT_FALSE(decode(id, bytes_t(wire.begin(), wire.begin() + (long)cut), nullptr))
                << strcnv_array[id] << " cut at " << cut;
        ASSERT_TRUE(decode(id, wire, nullptr));
    }
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Error: read_showvlun() at showvlun."), std::string::npos);
}

TEST(CodecRobustness, HugeCountsAndNamesAreRefused)
{
    std::mt19937 rng(7);
    bytes_t rec = random_record(STRCNV_ID_showvlun, rng, 0);
    bytes_t wire = encode(STRCNV_ID_showvlun, rec.data());
    /* the count is the last field before the (empty) element list */
    testing::internal::CaptureStderr();
    for (uint32_t count : {0xFFFFFFFFu, 0x80000000u, STRCNV_MAX_RECORD / 1880 + 1}) {
        put_be32(wire, wire.size() - 4, count);
        EXPECT_FALSE(decode(STRCNV_ID_showvlun, wire, nullptr)) << count;
    }
    /* a count that fits but whose elements never come */
    put_be32(wire, wire.size() - 4, 100);
    EXPECT_FALSE(decode(STRCNV_ID_showvlun, wire, nullptr));
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "Error: read_showvlun() at showvlun.showvlun_vluns: 4294967295 elements exceed"),
              std::string::npos);

    bytes_t name = {0xFF, 0xFF, 0xFF, 0xFF, 'x'};
    char buf[STRCNV_MAX_NAME + 1];
    per_thread_buffer_t *p = test_record();
    int s[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
    ASSERT_EQ(write(s[1], name.data(), name.size()), (ssize_t)name.size());
    mc_open(s[0], nullptr);
    EXPECT_EQ(strcnv_read_name(s[0], buf), -2);
    p->fd = -1;
    p->roff = p->rend = 0;
    close(s[0]);
    close(s[1]);
}

TEST(CodecRobustness, GarbageNeverCrashesOrOverreads)
{
    /* Mutations of valid streams and pure noise, in a bounded loop; under
     * the sanitizers any overread or leak fails the run. */
    std::mt19937 rng(99);
    testing::internal::CaptureStderr();
    int decoded = 0, refused = 0;
    for (int iter = 0; iter < 1500; iter++) {
        int id = (int)(rng() % STRCNV_NTYPES);
        bytes_t wire = encode(id, random_record(id, rng, 2).data());
        switch (rng() % 3) {
        case 0:
            for (int k = 0; k < 1 + (int)(rng() % 8); k++)
                wire[rng() % wire.size()] = (unsigned char)rng();
            break;
        case 1: {
            size_t at = 4 + strlen(strcnv_array[id]);
            for (size_t k = at; k < wire.size(); k++)
                wire[k] = (unsigned char)rng();
            break;
        }
        default:
            wire.resize(rng() % (wire.size() + 1));
        }
        bytes_t back;
        if (decode(id, wire, &back)) {
            decoded++;
            ASSERT_LE(back.size(), STRCNV_MAX_RECORD);
        } else {
            refused++;
        }
    }
    (void)testing::internal::GetCapturedStderr();
    EXPECT_GT(decoded, 0);
    EXPECT_GT(refused, 0);
}

} // namespace
