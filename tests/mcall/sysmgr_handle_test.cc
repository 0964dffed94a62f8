/*
 * The system manager stand-in's request handling, without a transport:
 * replies laid out as the client reads them, filters, knobs, and the
 * default configuration on clusters of 2, 4 and 8 nodes.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "osk_errcode.h"
#include "sysmgr.h"

namespace
{

cluster_t g_online = 0xFF;
cluster_t online(void)
{
    return g_online;
}

struct Handle : testing::Test {
    std::string dir;
    sysmgr_conf_t conf{};
    sysmgr_ctx_t ctx{};
    std::string knobs, journal;

    void SetUp() override
    {
        char tmpl[] = "/tmp/sysmgr-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        knobs = dir + "/knobs";
        journal = dir + "/journal";
        g_online = 0xFF;
    }
    void TearDown() override
    {
        sysmgr_conf_free(&conf);
        (void)!system(("rm -rf " + dir).c_str());
    }
    void load(const std::string &text, int nnodes)
    {
        std::string p = dir + "/conf";
        FILE *f = fopen(p.c_str(), "w");
        fputs(text.c_str(), f);
        fclose(f);
        char err[256] = "";
        ASSERT_EQ(sysmgr_conf_load(p.c_str(), nnodes, &conf, err, sizeof err), 0) << err;
        ctx = {&conf, 0, knobs.c_str(), journal.c_str(), online};
    }
    void load_default(int nnodes)
    {
        char err[256] = "";
        std::string p = std::string(OSK_SOURCE_DIR) + "/sim/sysmgr/default.conf";
        ASSERT_EQ(sysmgr_conf_load(p.c_str(), nnodes, &conf, err, sizeof err), 0) << err;
        ctx = {&conf, 0, knobs.c_str(), journal.c_str(), online};
    }
    void knob(const std::string &line)
    {
        FILE *f = fopen(knobs.c_str(), "a");
        fprintf(f, "%s\n", line.c_str());
        fclose(f);
    }
    std::string read_journal()
    {
        char buf[4096] = "";
        FILE *f = fopen(journal.c_str(), "r");
        if (f) {
            size_t n = fread(buf, 1, sizeof buf - 1, f);
            buf[n] = 0;
            fclose(f);
        }
        return buf;
    }
};

/* A request record of type T, zeroed, with its opcode. */
template <typename T> struct Req {
    alignas(8) unsigned char bytes[sizeof(T) + 64] = {};
    explicit Req(uint32_t op)
    {
        rec()->mc_opcode = op;
    }
    mcall_t *rec()
    {
        return (mcall_t *)bytes;
    }
    T *body()
    {
        return (T *)bytes;
    }
};

sysmgr_reply_t send(const sysmgr_ctx_t &ctx, mcall_t *req, size_t size, uint32_t ver = 403)
{
    req->mc_size = (uint32_t)size;
    sysmgr_reply_t r;
    sysmgr_handle(&ctx, ver, req, size, &r);
    return r;
}

const char *kTwoHosts = "nodes 2\n"
                        "host a iscsi iqn.a 1 chap=ci:s1\n"
                        "host b iscsi iqn.b 2\n"
                        "host c fc 2100000000000001\n"
                        "hostpath a 0:2:1 10.0.0.1\n"
                        "hostpath a 1:2:1 10.0.0.1\n"
                        "hostpath a 1:2:2 10.0.0.2\n"
                        "hostpath b 0:2:1 10.0.0.3\n"
                        "hostpath b 5:2:1 10.0.0.4\n";

} // namespace

TEST_F(Handle, HostsAndTheirPathsFollowTheRecordBackToBack)
{
    load(kTwoHosts, 8);
    Req<showhost_t> q(MCHO_SHOW);
    sysmgr_reply_t r = send(ctx, q.rec(), sizeof(showhost_t));
    showhost_t *h = (showhost_t *)r.rec;
    ASSERT_EQ(r.reason, 0);
    /* nodes 2 drops the path on node 5. */
    ASSERT_EQ(h->showhost_count, 3u);
    EXPECT_EQ(h->showhost_hdr.mc_size, 884u + 3 * 576 + 4 * 252);
    EXPECT_EQ(r.len % 64, 0u);
    EXPECT_GE(r.len, (size_t)h->showhost_hdr.mc_size);
    const hostinfo_t *a = (const hostinfo_t *)h->showhost_hosts;
    EXPECT_STREQ(a->hinfo_name, "a");
    ASSERT_EQ(a->hinfo_pathcnt, 3u);
    EXPECT_EQ(a->hinfo_paths[2].hpath_lpid, LPID_MAKE(1, 2, 2));
    EXPECT_EQ(memcmp(&a->hinfo_paths[2].hpath_ip_addr, "\x0a\x00\x00\x02", 4), 0);
    EXPECT_STREQ(a->hinfo_chap.chap_name.name, "ci");
    EXPECT_EQ(memcmp(a->hinfo_chap.chap_secret, "s1\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 17), 0);
    const hostinfo_t *b = (const hostinfo_t *)&a->hinfo_paths[3];
    EXPECT_STREQ(b->hinfo_name, "b");
    EXPECT_EQ(b->hinfo_pathcnt, 1u);
    sysmgr_reply_free(&r);

    /* Selected by iSCSI name: two hosts of three and one paths would be
     * 884 + 2 * 576 + 4 * 252; one of one path here. */
    Req<showhost_t> q2(MCHO_SHOW);
    snprintf(q2.body()->showhost_iscsi_name.name, 224, "iqn.b");
    r = send(ctx, q2.rec(), sizeof(showhost_t));
    EXPECT_EQ(((showhost_t *)r.rec)->showhost_count, 1u);
    EXPECT_EQ(r.rec->mc_size, 884u + 576 + 252);
    sysmgr_reply_free(&r);
}

TEST_F(Handle, ExportsAndDisksFollowTheNodesAskedForAndOnline)
{
    load_default(4);
    Req<showvlun_t> q(MCVL_SHOW);
    showvlun_t *v = q.body();
    v->showvlun_lun = (uint32_t)-5;
    v->showvlun_nmap = 0x5;
    v->showvlun_smap = v->showvlun_pmap = 0xFF;
    v->showvlun_active = 1;
    sysmgr_reply_t r = send(ctx, q.rec(), sizeof(showvlun_t));
    showvlun_t *a = (showvlun_t *)r.rec;
    /* Pair 0 exports 12 volumes, pair 1 eight: one path each on nodes 0 and 2. */
    ASSERT_EQ(a->showvlun_count, 20u);
    EXPECT_EQ(a->showvlun_hdr.mc_size, sizeof(showvlun_t) + 20 * sizeof(vluninfo_t));
    for (uint32_t i = 0; i < a->showvlun_count; i++)
        EXPECT_TRUE(LPID_NODE(a->showvlun_vluns[i].vli_lpid) == 0 ||
                    LPID_NODE(a->showvlun_vluns[i].vli_lpid) == 2);
    sysmgr_reply_free(&r);

    g_online = 0xB; /* node 2 down: its paths are not active */
    r = send(ctx, q.rec(), sizeof(showvlun_t));
    EXPECT_EQ(((showvlun_t *)r.rec)->showvlun_count, 12u);
    sysmgr_reply_free(&r);

    Req<pdscmd_t> d(MCPD_SHOW);
    pdspec_t *s = &d.body()->pscmd_spec;
    s->ps_id = (uint32_t)-2;
    s->ps_nodemap = 0x4;
    s->ps_slotmap = s->ps_portmap = 0xFF;
    s->ps_jbod = (uint32_t)-6;
    s->ps_sled = (uint32_t)-9;
    s->ps_diskpos = (uint32_t)-14;
    s->ps_wwn = (uint64_t)-10;
    s->ps_state = s->ps_pool = (uint32_t)-1;
    r = send(ctx, d.rec(), sizeof(pdscmd_t));
    EXPECT_EQ(((pdscmd_t *)r.rec)->pscmd_count, 0u) << "node 2 is down";
    sysmgr_reply_free(&r);
    g_online = 0xF;
    s->ps_nodemap = 0x1;
    r = send(ctx, d.rec(), sizeof(pdscmd_t));
    pdscmd_t *p = (pdscmd_t *)r.rec;
    ASSERT_EQ(p->pscmd_count, 6u);
    EXPECT_EQ(p->pscmd_disks[4].d_bport.p_lpid, LPID_NONE);
    EXPECT_EQ(p->pscmd_disks[3].d_disable_path & 1, 1);
    EXPECT_EQ(p->pscmd_disks[1].d_bport.p_primary, 1);
    EXPECT_NE(p->pscmd_disks[5].d_state, (uint32_t)PDS_VALID);
    sysmgr_reply_free(&r);
}

TEST_F(Handle, DefaultConfigurationKeepsOnlyNodesThatExist)
{
    struct {
        int nodes, exports, ports;
    } rows[] = {{2, 24, 4}, {4, 40, 8}, {8, 56, 16}};
    for (auto &row : rows) {
        load_default(row.nodes);
        EXPECT_EQ(conf.nexports, row.exports) << row.nodes << " nodes";
        EXPECT_EQ(conf.niports, row.ports) << row.nodes << " nodes";
        /* Every export has a path through each node of its pair. */
        sm_export_group_t g[64];
        int ng = sysmgr_export_groups(&conf, g, 64);
        EXPECT_EQ(ng, row.exports / 2);
        for (int i = 0; i < ng; i++) {
            ASSERT_EQ(g[i].npaths, 2);
            EXPECT_EQ(LPID_NODE(conf.exports[g[i].paths[0]].lpid) ^ 1,
                      LPID_NODE(conf.exports[g[i].paths[1]].lpid));
        }
        sysmgr_conf_free(&conf);
    }
}

TEST_F(Handle, ShutdownHonoursTheKnobsAndReportsWhatToReboot)
{
    load(kTwoHosts, 8);
    Req<nodedown_t> q(MC_NODESHUTDOWN);
    q.body()->ndid = NODEDOWN_ALL;
    q.body()->toc_ver = 26;
    q.body()->force = 1;
    q.body()->type = 2;
    q.body()->is_update = 1;

    knob("slow_start 3600");
    ctx.start_ms = sysmgr_now_ms() - 7200 * 1000; /* long started: the knob counts */
    sysmgr_reply_t r = send(ctx, q.rec(), sizeof(nodedown_t));
    EXPECT_EQ(r.reason, TE_NOTREADY);
    EXPECT_NE(strstr(r.rec->mc_ertxt, "System manager is still initializing"), nullptr);
    sysmgr_reply_free(&r);

    unlink(knobs.c_str());
    knob("refuse_shutdown 1");
    r = send(ctx, q.rec(), sizeof(nodedown_t));
    EXPECT_NE(r.reason, 0);
    EXPECT_EQ(r.reason, r.rec->mc_status);
    EXPECT_EQ(r.reboot_node, -1);
    sysmgr_reply_free(&r);

    unlink(knobs.c_str());
    r = send(ctx, q.rec(), sizeof(nodedown_t));
    EXPECT_EQ(r.reason, 0);
    EXPECT_EQ(r.reboot_node, -1);
    sysmgr_reply_free(&r);
    q.body()->ndid = 1;
    q.body()->toc_ver = 0;
    r = send(ctx, q.rec(), sizeof(nodedown_t));
    EXPECT_EQ(r.reason, 0);
    EXPECT_EQ(r.reboot_node, 1);
    sysmgr_reply_free(&r);
    EXPECT_EQ(read_journal(), "shutdown system toc=26 force=1 type=2 is_update=1\n"
                              "shutdown node 1 toc=0 force=1 type=2 is_update=1\n");
}

TEST_F(Handle, VersionsAndUnknownRequests)
{
    load(kTwoHosts, 8);
    Req<mcping_t> q(MC_PING);
    sysmgr_reply_t r = send(ctx, q.rec(), sizeof(mcping_t));
    EXPECT_EQ(((mcping_t *)r.rec)->mp_version, 403u);
    sysmgr_reply_free(&r);

    r = send(ctx, q.rec(), sizeof(mcping_t), 402);
    EXPECT_TRUE(r.refused);
    EXPECT_EQ(r.reason, TE_INVALID);
    EXPECT_EQ(r.rec, nullptr);

    knob("ping_version 404");
    r = send(ctx, q.rec(), sizeof(mcping_t));
    EXPECT_EQ(((mcping_t *)r.rec)->mp_version, 404u);
    sysmgr_reply_free(&r);

    knob("mcall_version 402");
    r = send(ctx, q.rec(), sizeof(mcping_t), 403);
    EXPECT_TRUE(r.refused);

    unlink(knobs.c_str());
    Req<mcall_t> other(MCJB_SHOW);
    r = send(ctx, other.rec(), sizeof(mcall_t));
    EXPECT_EQ(r.reason, TE_INVALID);
    EXPECT_EQ(r.rec->mc_size, sizeof(mcall_t));
    sysmgr_reply_free(&r);

    /* A request too short for its record is refused, not read past. */
    r = send(ctx, q.rec(), sizeof(mcall_t));
    EXPECT_EQ(r.reason, TE_INVALID);
    sysmgr_reply_free(&r);
}

/* Reply buffers are used again: a short reply after a long one carries
 * none of its bytes, in its fixed part or in its padding. */
TEST_F(Handle, ShortReplyAfterALongOneIsZeroWhereNotWritten)
{
    load_default(4);
    Req<showvlun_t> q(MCVL_SHOW);
    showvlun_t *v = q.body();
    v->showvlun_lun = (uint32_t)-5;
    v->showvlun_nmap = v->showvlun_smap = v->showvlun_pmap = 0xFF;
    sysmgr_reply_t r = send(ctx, q.rec(), sizeof(showvlun_t));
    ASSERT_GT(r.len, 4096u);
    memset(r.rec, 0xA5, r.len); /* what a careless reuse would show */
    sysmgr_reply_free(&r);

    Req<mcping_t> p(MC_PING);
    r = send(ctx, p.rec(), sizeof(mcall_t)); /* shorter than its record */
    ASSERT_EQ(r.len, 640u);
    std::vector<unsigned char> want(r.len, 0);
    memcpy(want.data(), r.rec, sizeof(mcall_t)); /* the header is the handler's */
    EXPECT_EQ(memcmp(r.rec, want.data(), r.len), 0);
    sysmgr_reply_free(&r);
}

TEST_F(Handle, BadConfigurationLinesAreNamed)
{
    std::string p = dir + "/bad";
    const char *cases[][2] = {{"export v h 0 0:1:1\n", ":1: unknown volume"},
                              {"vv a 1\nvv a 2\n", ":2: volume defined twice"},
                              {"disk 1 zz 0:0:1 - 0:0:0\n", ":1: bad line"},
                              {"iscsiport 9:2:1 1.2.3.4 1.2.3.4 1.2.3.4 1 n\n", ":1: bad line"}};
    for (auto &c : cases) {
        FILE *f = fopen(p.c_str(), "w");
        fputs(c[0], f);
        fclose(f);
        char err[256] = "";
        EXPECT_EQ(sysmgr_conf_load(p.c_str(), 8, &conf, err, sizeof err), -1);
        EXPECT_NE(strstr(err, c[1]), nullptr) << err;
    }
}
