#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <thread>
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

/* The wire written by hand from the shared record layouts, field by field,
 * without the catalogue: a wrong line in strcnv_types.def (an offset, a
 * width, a field left out) changes these bytes even though it would still
 * round-trip through the codec. */
struct wire {
    bytes_t b;
    void be(uint64_t v, int w)
    {
        for (int i = w - 1; i >= 0; i--)
            b.push_back((unsigned char)(v >> (8 * i)));
    }
    void str(const char *s, size_t cap)
    {
        size_t n = strnlen(s, cap);
        be(n, 4);
        b.insert(b.end(), s, s + n);
    }
    void raw(const void *p, size_t n)
    {
        b.insert(b.end(), (const unsigned char *)p, (const unsigned char *)p + n);
    }
    void name(const char *t)
    {
        str(t, 64);
    }
    void hdr(const mcall_t &h)
    {
        be(h.mc_opcode, 4);
        be(h.mc_status, 4);
        str(h.mc_ertxt, sizeof h.mc_ertxt);
    }
};

/* Random bytes over a whole block of records: every field gets a value,
 * strings of every length among them. */
void scramble(std::vector<unsigned char> &buf, std::mt19937 &rng)
{
    for (auto &c : buf)
        c = (unsigned char)(rng() % 5 == 0 ? 0 : rng());
}

/* showvlun with three exports, as the layouts say it travels. */
void expect_showvlun_wire(std::mt19937 &rng, int round)
{
    std::vector<unsigned char> vb(sizeof(showvlun_t) + 3 * sizeof(vluninfo_t));
    scramble(vb, rng);
    showvlun_t *sv = (showvlun_t *)vb.data();
    sv->showvlun_hdr.mc_bufsize = (uint32_t)vb.size();
    sv->showvlun_count = 3;
    wire w;
    w.name("showvlun");
    w.hdr(sv->showvlun_hdr);
    w.str(sv->showvlun_vname, 32);
    w.str(sv->showvlun_hname, 32);
    w.be(sv->showvlun_lun, 4);
    w.be(sv->showvlun_lpid, 2);
    w.be(sv->showvlun_nmap, 1);
    w.be(sv->showvlun_smap, 1);
    w.be(sv->showvlun_pmap, 1);
    w.be(sv->showvlun_template, 4);
    w.be(sv->showvlun_active, 4);
    w.be(sv->showvlun_service, 4);
    w.be(sv->showvlun_count, 4);
    for (int i = 0; i < 3; i++) {
        const vluninfo_t *v = &sv->showvlun_vluns[i];
        w.str(v->vli_vname, 32);
        w.str(v->vli_hname, 32);
        w.be(v->vli_hporttype, 4);
        w.be(v->vli_hwwn, 8);
        w.str(v->vli_hiscsi_name.name, 224);
        w.be(v->vli_vwwn, 8);
        w.raw(&v->vli_rsvd0 - 1, 1); /* the flag bits' byte, whole */
        w.be(v->vli_rsvd0, 1);
        w.be(v->vli_lpid, 2);
        w.raw(&v->vli_node_versn, sizeof v->vli_node_versn);
        w.be(v->vli_lun, 4);
        w.be(v->vli_type, 4);
        w.raw(&v->vli_stats, sizeof v->vli_stats);
    }
    ASSERT_EQ(encode(STRCNV_ID_showvlun, sv), w.b) << "showvlun round " << round;
}

/* showhost: two hosts, of two paths and none. */
void expect_showhost_wire(std::mt19937 &rng, int round)
{
    std::vector<unsigned char> hb(sizeof(showhost_t) + 2 * sizeof(hostinfo_t) +
                                  2 * sizeof(hostpath_t));
    scramble(hb, rng);
    showhost_t *sh = (showhost_t *)hb.data();
    sh->showhost_hdr.mc_bufsize = (uint32_t)hb.size();
    sh->showhost_count = 2;
    hostinfo_t *h0 = (hostinfo_t *)sh->showhost_hosts;
    h0->hinfo_pathcnt = 2;
    hostinfo_t *h1 = (hostinfo_t *)&h0->hinfo_paths[2];
    h1->hinfo_pathcnt = 0;
    wire w;
    w.name("showhost");
    w.hdr(sh->showhost_hdr);
    w.str(sh->showhost_name, 32);
    w.be(sh->showhost_wwn, 8);
    w.str(sh->showhost_iscsi_name.name, 224);
    w.be(sh->showhost_count, 4);
    for (const hostinfo_t *h : {h0, h1}) {
        w.str(h->hinfo_name, 32);
        w.be(h->hinfo_serial, 4);
        w.be(h->hinfo_caps, 4);
        const iscsi_chap_t &c = h->hinfo_chap; /* its list link stays home */
        w.be(c.host_id, 4);
        w.str(c.host_name, 32);
        w.str(c.chap_name.name, 224);
        w.raw(c.chap_secret, 17);
        w.str(c.target_chap_name.name, 224);
        w.raw(c.target_chap_secret, 17);
        w.be(c.chap_flags, 4);
        w.be((uint32_t)h->hinfo_createtime, 4);
        w.be(h->hinfo_pathcnt, 4);
        for (uint32_t k = 0; k < h->hinfo_pathcnt; k++) {
            const hostpath_t &hp = h->hinfo_paths[k];
            w.be(hp.hpath_lpid, 2);
            w.be(hp.hpath_porttype, 4);
            w.be(hp.hpath_wwn, 8);
            w.be(hp.hpath_port_wwn, 8);
            w.str(hp.hpath_iscsi_name.name, 224);
            w.be(hp.hpath_ip_addr, 4);
        }
    }
    ASSERT_EQ(encode(STRCNV_ID_showhost, sh), w.b) << "showhost round " << round;
}

/* An iSCSI port: a mix of 16- and 32-bit fields. */
void expect_showport_wire(std::mt19937 &rng, int round)
{
    std::vector<unsigned char> pb(sizeof(mciscsi_showport_t) + sizeof(iscsi_portinfo_t));
    scramble(pb, rng);
    mciscsi_showport_t *sp = (mciscsi_showport_t *)pb.data();
    sp->showport_hdr.mc_bufsize = (uint32_t)pb.size();
    sp->port_count = 1;
    wire w;
    w.name("mciscsi_showport");
    w.hdr(sp->showport_hdr);
    w.be(sp->nsp, 2);
    w.be(sp->tpgt, 2);
    w.be(sp->showport_fdmap, 4);
    w.be(sp->port_count, 4);
    const iscsi_port_settings_t &ps = sp->ports[0].port_settings;
    for (auto [v, n] : {std::pair<uint32_t, int>{ps.nsp, 2},
                        {ps.tpgt, 2},
                        {ps.ip_addr, 4},
                        {ps.netmask, 4},
                        {ps.gateway_addr, 4},
                        {ps.tcp_port, 2},
                        {ps.mtu, 4},
                        {ps.dhcp, 2},
                        {ps.isns_primary_addr, 4},
                        {ps.isns_secondary_addr, 4},
                        {ps.isns_port, 2},
                        {ps.ping_count, 4},
                        {ps.state, 4},
                        {ps.portinfo_rate, 4},
                        {ps.portinfo_mode, 4}})
        w.be(v, n);
    w.raw(ps.mac_addr_bytes, 6);
    w.str(ps.iscsi_name.name, 224);
    for (auto [v, n] : {std::pair<uint32_t, int>{ps.failover_peer, 2},
                        {ps.active_ipaddr, 4},
                        {ps.active_netmask, 4},
                        {ps.active_gw_addr, 4},
                        {ps.active_tgpt, 2}})
        w.be(v, n);
    const port_inventory_t &pi = sp->ports[0].port_inventory;
    w.str(pi.portinfo_mfgname, 12);
    w.str(pi.portinfo_cardtype, 16);
    w.be(pi.portinfo_cardrev, 1);
    w.str(pi.portinfo_firmware, 16);
    w.str(pi.portinfo_serial, 16);
    ASSERT_EQ(encode(STRCNV_ID_mciscsi_showport, sp), w.b) << "showport round " << round;
}

TEST(CodecWire, MatchesAnEncoderWrittenFromTheLayouts)
{
    std::mt19937 rng(2412);
    for (int round = 0; round < 20 && !::testing::Test::HasFatalFailure(); round++) {
        expect_showvlun_wire(rng, round);
        expect_showhost_wire(rng, round);
        expect_showport_wire(rng, round);
    }
}

TEST(CodecLimits, AReplyOfAHundredThousandExportsDecodes)
{
    const uint32_t n = 100000;
    std::vector<unsigned char> one(sizeof(showvlun_t) + sizeof(vluninfo_t));
    showvlun_t *sv = (showvlun_t *)one.data();
    sv->showvlun_hdr.mc_opcode = MCVL_SHOW;
    sv->showvlun_hdr.mc_bufsize = (uint32_t)one.size();
    sv->showvlun_count = 1;
    snprintf(sv->showvlun_vluns[0].vli_vname, 32, "exported");
    sv->showvlun_vluns[0].vli_lun = 77;
    bytes_t wire = encode(STRCNV_ID_showvlun, sv);
    sv->showvlun_count = 0;
    bytes_t head = encode(STRCNV_ID_showvlun, sv);
    bytes_t elem(wire.begin() + (long)head.size(), wire.end());
    put_be32(head, head.size() - 4, n);

    int s[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
    std::thread peer([&] {
        bool ok = write(s[1], head.data(), head.size()) == (ssize_t)head.size();
        for (uint32_t i = 0; i < n && ok; i++)
            ok = write(s[1], elem.data(), elem.size()) == (ssize_t)elem.size();
        close(s[1]);
    });
    per_thread_buffer_t *p = test_record();
    mc_open(s[0], nullptr);
    char name[STRCNV_MAX_NAME + 1];
    ASSERT_EQ(strcnv_read_name(s[0], name), 1);
    p->malloc_called = 0;
    size_t total = 0;
    const showvlun_t *r = (const showvlun_t *)js_receive[STRCNV_ID_showvlun](s[0], &total);
    p->fd = -1;
    p->roff = p->rend = 0;
    close(s[0]);
    peer.join();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(total, sizeof(showvlun_t) + (size_t)n * sizeof(vluninfo_t));
    EXPECT_EQ(p->size, total);
    EXPECT_EQ(r->showvlun_count, n);
    EXPECT_STREQ(r->showvlun_vluns[n - 1].vli_vname, "exported");
    EXPECT_EQ(r->showvlun_vluns[n - 1].vli_lun, 77u);
}

TEST(CodecLimitsDeathTest, AReplyBufferThatCannotGrowIsFatal)
{
    EXPECT_DEATH(
        {
            per_thread_buffer_t *p = test_record();
            p->malloc_called = 0;
            (void)mc_realloc(mc_malloc(64), (size_t)1 << 60);
        },
        "");
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
    for (uint32_t count : {0xFFFFFFFFu, 0x80000000u, 0x80000000u / 1880 * 2 + 1}) {
        put_be32(wire, wire.size() - 4, count);
        EXPECT_FALSE(decode(STRCNV_ID_showvlun, wire, nullptr)) << count;
    }
    /* counts that fit but whose elements never come: the buffer grows only
     * with what arrives, so even 3.7 GB promised costs nothing */
    for (uint32_t count : {100u, 2000000u}) {
        put_be32(wire, wire.size() - 4, count);
        EXPECT_FALSE(decode(STRCNV_ID_showvlun, wire, nullptr)) << count;
        EXPECT_LT(test_record()->bufsize, 1u << 20) << count;
    }
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
            ASSERT_LE(back.size(), UINT32_MAX);
        } else {
            refused++;
        }
    }
    (void)testing::internal::GetCapturedStderr();
    EXPECT_GT(decoded, 0);
    EXPECT_GT(refused, 0);
}

} // namespace
