/*
 * The pure pieces of the rolling restart: the order of a simple rolling
 * restart and the lines of the export inventory, from records filled as
 * the system manager answers them.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "osk_runtime.h"
#include "nodes.h"
#include "rolling.h"
#include "vluns.h"

#include "osk_banned.h"

static std::vector<int> order(int self, int online)
{
    thisnode = self;
    nodes = node_mask(online);
    int list[OSK_MAX_NODES];
    generate_simple_reboot_order(list);
    return std::vector<int>(list, list + node_mask(online).count());
}

/* The complement of a narrowed mask carries bits past the last node: the
 * walk and the tests stay within the cluster whatever the bits hold. */
TEST(NodeMask, WalkAndTestsStayWithinTheCluster)
{
    node_mask expedition(0x5);
    std::vector<int> rest;
    (~expedition).each([&](int n) { rest.push_back(n); });
    EXPECT_EQ(rest, (std::vector<int>{1, 3, 4, 5, 6, 7}));
    EXPECT_FALSE(node_mask::all().has(-1));
    EXPECT_FALSE(node_mask::all().has(32));
    EXPECT_EQ(node_mask().first(), -1);
    EXPECT_EQ((~expedition & node_mask(0xFF)).first(), 1);
}

TEST(SimpleRollingOrder, OtherParityFirstThenOwnParityAndThisNodeLast)
{
    EXPECT_EQ(order(0, 0xFF), (std::vector<int>{7, 5, 3, 1, 6, 4, 2, 0}));
    EXPECT_EQ(order(1, 0x0F), (std::vector<int>{2, 0, 3, 1}));
    EXPECT_EQ(order(2, 0x0F), (std::vector<int>{1, 3, 0, 2}));
    EXPECT_EQ(order(0, 0x03), (std::vector<int>{1, 0}));
    EXPECT_EQ(order(5, 0xF0), (std::vector<int>{6, 4, 7, 5}));
    /* Unused places stay empty. */
    thisnode = 0;
    nodes = node_mask(0x3);
    int list[OSK_MAX_NODES];
    generate_simple_reboot_order(list);
    for (int i = 2; i < OSK_MAX_NODES; i++)
        EXPECT_EQ(list[i], -1);
}

/* What one writer printed. */
template <typename F> static std::string printed(F write)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    write(f);
    fclose(f);
    std::string s(buf, len);
    free(buf);
    return s;
}

static disk_t make_disk(uint32_t id, lpid_t a, lpid_t b)
{
    disk_t d;
    memset(&d, 0, sizeof(d));
    d.d_id = id;
    d.d_wwn = 0x5000c5000a0b0c0dULL;
    d.d_aport.p_lpid = a;
    d.d_bport.p_lpid = b;
    d.d_jlst.jp_jbid = 3;
    d.d_jlst.jp_jside = 1;
    d.d_jlst.jp_sled = 12;
    d.d_state = PDS_VALID;
    return d;
}

TEST(InventoryLines, DiskPortsCarryTheirPathMarks)
{
    disk_t d = make_disk(7, LPID_MAKE(0, 2, 1), LPID_MAKE(1, 2, 1));
    d.d_aport.p_primary = 1;
    d.d_disable_path = 1; /* a primary port still shows "*" */
    EXPECT_EQ(printed([&](FILE *f) { vlun_write_disk(f, &d); }),
              "DISK PD=7    WWN=5000c5000a0b0c0d PORTA=0:2:1* PORTB=1:2:1? CAGE=3:1:12\n");

    d.d_aport.p_primary = 0;
    d.d_disable_path = 0;
    EXPECT_EQ(printed([&](FILE *f) { vlun_write_disk(f, &d); }),
              "DISK PD=7    WWN=5000c5000a0b0c0d PORTA=0:2:1  PORTB=1:2:1  CAGE=3:1:12\n");

    /* A disk with one path: the absent port prints as the new release
     * expects it, mark and all. */
    disk_t one = make_disk(12345, LPID_MAKE(2, 0, 3), LPID_NONE);
    one.d_disable_path = 1;
    EXPECT_EQ(printed([&](FILE *f) { vlun_write_disk(f, &one); }),
              "DISK PD=12345 WWN=5000c5000a0b0c0d PORTA=2:0:3? PORTB=253:-7:-8? CAGE=3:1:12\n");
}

static uint32_t ip(int a, int b, int c, int d)
{
    uint8_t bytes[4] = {(uint8_t)a, (uint8_t)b, (uint8_t)c, (uint8_t)d};
    uint32_t v;
    memcpy(&v, bytes, 4);
    return v;
}

TEST(InventoryLines, IscsiPortAddressesInStorageOrder)
{
    iscsi_port_settings_t ps;
    memset(&ps, 0, sizeof(ps));
    ps.nsp = LPID_MAKE(2, 1, 2);
    ps.tpgt = 22;
    ps.ip_addr = ip(10, 0, 2, 21);
    ps.netmask = ip(255, 255, 255, 0);
    ps.gateway_addr = ip(10, 0, 2, 1);
    ps.tcp_port = 3260;
    ps.mtu = 9000;
    ps.dhcp = 0;
    ps.isns_primary_addr = ip(10, 0, 0, 9);
    ps.isns_port = 3205;
    snprintf(ps.iscsi_name.name, sizeof(ps.iscsi_name.name), "iqn.2004-01.com.osk:node2.s1p2");
    EXPECT_EQ(printed([&](FILE *f) { vlun_write_iscsi_port(f, &ps); }),
              "ISCSI HBA PORT=2:1:2 TPGT=22 IPADDR=10.0.2.21 NETMASK=255.255.255.0 GW=10.0.2.1 "
              "TCPPORT=3260 MTU=9000 DHCP=0 ISNS=10.0.0.9 ISNSPORT=3205 "
              "ISCSINAME=\"iqn.2004-01.com.osk:node2.s1p2\"\n");
}

static vluninfo_t make_export(const char *vv, const char *host, uint32_t porttype, lpid_t port)
{
    vluninfo_t v;
    memset(&v, 0, sizeof(v));
    snprintf(v.vli_vname, sizeof(v.vli_vname), "%s", vv);
    snprintf(v.vli_hname, sizeof(v.vli_hname), "%s", host);
    v.vli_hporttype = porttype;
    v.vli_hwwn = 0x2100001b32aabbccULL;
    v.vli_lpid = port;
    v.vli_lun = 3;
    return v;
}

TEST(InventoryLines, FibreChannelExportEndsAfterTheVolumeName)
{
    vluninfo_t v = make_export("vv.data", "", 1, LPID_MAKE(0, 1, 1));
    EXPECT_EQ(printed([&](FILE *f) {
                  vlun_write_export(f, &v, 0x50002ac000010001ULL, 0x10101, nullptr);
              }),
              "EXPORT HWWN=0x2100001b32aabbcc VWWN=50002ac000010001 LUN=3    "
              "PPARAMS=0000000000010101 PORT=0:1:1 HOST=\"Unknown-Host\" VV=\"vv.data\"\n");
    /* A name that fills its field has no terminator and is not overrun. */
    memset(v.vli_vname, 'v', sizeof(v.vli_vname));
    EXPECT_NE(printed([&](FILE *f) {
                  vlun_write_export(f, &v, 1, 1, nullptr);
              }).find("VV=\"" + std::string(32, 'v') + "\"\n"),
              std::string::npos);
}

/* A manager's host answer: one host with its paths behind it. */
struct host_answer {
    alignas(hostinfo_t) unsigned char bytes[sizeof(hostinfo_t) + 3 * sizeof(hostpath_t)];
};

TEST(InventoryLines, IscsiExportListsOnlyThePathsOfItsPortAndTheFullSecrets)
{
    vluninfo_t v = make_export("vv1", "esx1", PORT_TYPE_ISCSI, LPID_MAKE(2, 1, 2));
    snprintf(v.vli_hiscsi_name.name, sizeof(v.vli_hiscsi_name.name), "iqn.1998-01.com.h:esx1");

    static host_answer a;
    hostinfo_t *h = (hostinfo_t *)a.bytes;
    h->hinfo_pathcnt = 3;
    hostpath_t *p = h->hinfo_paths;
    p[0].hpath_lpid = LPID_MAKE(2, 1, 2); /* this port, this initiator */
    p[0].hpath_iscsi_name = v.vli_hiscsi_name;
    p[0].hpath_ip_addr = ip(10, 0, 9, 1);
    p[1].hpath_lpid = LPID_MAKE(3, 1, 2); /* the partner's port */
    p[1].hpath_iscsi_name = v.vli_hiscsi_name;
    p[1].hpath_ip_addr = ip(10, 0, 9, 2);
    p[2].hpath_lpid = LPID_MAKE(2, 1, 2); /* another initiator of the host */
    snprintf(p[2].hpath_iscsi_name.name, sizeof(p[2].hpath_iscsi_name.name), "%s",
             "iqn.1998-01.com.h:esx1b");
    p[2].hpath_ip_addr = ip(10, 0, 9, 3);
    iscsi_chap_t *c = &h->hinfo_chap;
    c->host_id = 4;
    snprintf(c->host_name, sizeof(c->host_name), "esx1");
    c->chap_flags = 0x3;
    snprintf(c->chap_name.name, sizeof(c->chap_name.name), "chapuser");
    memcpy(c->chap_secret, "s3cret", 6); /* short: the rest is zero bytes */
    snprintf(c->target_chap_name.name, sizeof(c->target_chap_name.name), "tgt");
    memset(c->target_chap_secret, 0xab, sizeof(c->target_chap_secret));

    std::string line = printed(
        [&](FILE *f) { vlun_write_export(f, &v, 0x50002ac000020002ULL, 0x4000000020102ULL, h); });
    EXPECT_EQ(line, "EXPORT HWWN=0x2100001b32aabbcc VWWN=50002ac000020002 LUN=3    "
                    "PPARAMS=0004000000020102 PORT=2:1:2 HOST=\"esx1\" VV=\"vv1\" "
                    "ISCSINAME=\"iqn.1998-01.com.h:esx1\" IPADDR=10.0.9.1 CHAPHOSTID=4 "
                    "CHAPHOSTNAME=\"esx1\" CHAPFLAGS=3 CHAPNAME=\"chapuser\" "
                    "CHAPSECRET=\"7333637265740000000000000000000000\" TARGETCHAPNAME=\"tgt\" "
                    "TARGETCHAPSECRET=\"ababababababababababababababababab\"\n");

    /* No host answer: the iSCSI name, then the line ends. */
    EXPECT_EQ(printed([&](FILE *f) { vlun_write_export(f, &v, 1, 2, nullptr); }),
              "EXPORT HWWN=0x2100001b32aabbcc VWWN=0000000000000001 LUN=3    "
              "PPARAMS=0000000000000002 PORT=2:1:2 HOST=\"esx1\" VV=\"vv1\" "
              "ISCSINAME=\"iqn.1998-01.com.h:esx1\"\n");
}

TEST(IscsiNames, MatchIsExactAndBounded)
{
    iscsi_name_t a, b;
    memset(&a, 0, sizeof(a));
    memset(&b, 0, sizeof(b));
    snprintf(a.name, sizeof(a.name), "iqn.1998-01.com.h:esx1");
    snprintf(b.name, sizeof(b.name), "iqn.1998-01.com.h:esx1b");
    EXPECT_EQ(iscsi_name_match(&a, &b), 0);
    EXPECT_LT(iscsi_name_compare(&a, &b), 0);
    b.name[22] = '\0';
    EXPECT_EQ(iscsi_name_match(&a, &b), 1);
    /* Full-length names without terminators compare over the field only. */
    memset(a.name, 'x', sizeof(a.name));
    memset(b.name, 'x', sizeof(b.name));
    EXPECT_EQ(iscsi_name_match(&a, &b), 1);
}
