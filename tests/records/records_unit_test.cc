/*
 * The repository and event clients against a scripted "/dev/osk": what
 * they send, how they read the answers, the limits that panic; and the
 * DIMM decoding of the interconnect helpers.
 */
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brantcomm.h"
#include "em.h"
#include "krn_util.h"
#include "osk_errcode.h"
#include "pr_lib.h"

/* The runtime panics on standard output; death tests read standard error. */
#define EXPECT_PANIC(stmt, re)                                                                     \
    EXPECT_DEATH(                                                                                  \
        {                                                                                          \
            dup2(2, 1);                                                                            \
            stmt;                                                                                  \
        },                                                                                         \
        re)

namespace
{

/* Answers every request with io_status 0 and, for PR commands, the given
 * err; keeps a copy of each request as it arrived. */
struct recorder {
    std::vector<std::vector<uint8_t>> seen;
    int pr_err = PR_SUCCESS;
    fakedev *f = nullptr;

    void start()
    {
        f = fakedev_start([this](int, uint32_t req, std::vector<uint8_t> &rec, int *result, int *) {
            if (req == OSK_HOOK_IOCTL) { /* no board information here */
                ((osk_krn_hook_t *)rec.data())->result = TE_INVALID;
                *result = 0;
                return true;
            }
            seen.push_back(rec);
            iohdr_t *h = (iohdr_t *)rec.data();
            h->io_status = TE_PASS;
            *result = 0;
            if (req == SCCMD_VERSION)
                ((sccmd_version_t *)h)->vr_versn.vr_ioctl = OSK_IOCTL_VERSION;
            if (req >= PRCMD_LOOKUP_TABLE && req <= PRCMD_SET_ENTRY_TABLE)
                memcpy(rec.data() + sizeof(iohdr_t), &pr_err, 4);
            if (req == PRCMD_READ_VALUE && pr_err == PR_SUCCESS) {
                pr_key_frame_t *k = (pr_key_frame_t *)rec.data();
                k->rep.valuelen = 3;
                memcpy(k->rep.value, "abc", 3);
            }
            if (req == EMCMD_POST)
                ((evt_post_info_t *)h)->err = 0;
            return true;
        });
    }
    ~recorder()
    {
        if (f)
            fakedev_stop(f);
    }
    size_t count(uint32_t cmd)
    {
        size_t n = 0;
        for (auto &r : seen)
            n += ((iohdr_t *)r.data())->io_cmd == cmd;
        return n;
    }
    const std::vector<uint8_t> &last(uint32_t cmd)
    {
        for (size_t i = seen.size(); i-- > 0;)
            if (((iohdr_t *)seen[i].data())->io_cmd == cmd)
                return seen[i];
        static std::vector<uint8_t> none;
        return none;
    }
};

uint32_t u32_at(const std::vector<uint8_t> &r, size_t off)
{
    uint32_t v;
    memcpy(&v, r.data() + off, 4);
    return v;
}

} // namespace

TEST(PrClient, FramesAsSentAndAnswersAsRead)
{
    recorder rc;
    rc.start();
    setenv("OSK_DEVICE_PATH", fakedev_path(rc.f).c_str(), 1);

    pr_tableid t;
    EXPECT_EQ(pr_lookup_table("update_history", 3, &t), PR_SUCCESS);
    memset(&t, 0, sizeof t);
    t.id = 7;
    const std::vector<uint8_t> &l = rc.last(PRCMD_LOOKUP_TABLE);
    ASSERT_EQ(l.size(), 368u);
    EXPECT_EQ(u32_at(l, 300), 3u);
    EXPECT_STREQ((const char *)l.data() + 304, "update_history");

    pr_transid x;
    memset(&x, 0, sizeof x);
    char v[PR_MAX_VALUE];
    uint32_t vl = 0;
    EXPECT_EQ(pr_read_value(x, t, "last_id", 7, v, &vl), PR_SUCCESS);
    EXPECT_EQ(std::string(v, vl), "abc");
    const std::vector<uint8_t> &r = rc.last(PRCMD_READ_VALUE);
    ASSERT_EQ(r.size(), 4396u);
    EXPECT_EQ(u32_at(r, 340), 7u);
    EXPECT_EQ(memcmp(r.data() + 344, "last_id", 7), 0);

    /* The largest key and value fit; sizes as the kernel expects them. */
    std::string key(PR_MAX_KEY, 'k'), val(PR_MAX_VALUE, 'v');
    EXPECT_EQ(pr_set_entry(x, t, key.data(), PR_MAX_KEY, val.data(), PR_MAX_VALUE), PR_SUCCESS);
    const std::vector<uint8_t> &s = rc.last(PRCMD_SET_ENTRY);
    ASSERT_EQ(s.size(), 5468u);
    EXPECT_EQ(u32_at(s, 1368), (uint32_t)PR_MAX_VALUE);
    EXPECT_EQ(s[1372 + PR_MAX_VALUE - 1], 'v');

    /* The kernel's "no server" is an I/O error to callers; an absent key is
     * no error to pr_key_exists. */
    rc.pr_err = PR_NO_SVR;
    EXPECT_EQ(pr_lookup_table("update_history", 3, &t), PR_EIO);
    rc.pr_err = PR_INVAL_KEY;
    int exists = 1;
    EXPECT_EQ(pr_key_exists(x, t, "nope", 4, &exists), PR_SUCCESS);
    EXPECT_EQ(exists, 0);

    /* A table that stays busy: six tries, then busy. */
    rc.pr_err = PR_TABLE_BUSY;
    size_t before = rc.count(PRCMD_START_TRANS);
    EXPECT_EQ(pr_start_trans(&t, 1, 2, &x), PR_TABLE_BUSY);
    EXPECT_EQ(rc.count(PRCMD_START_TRANS) - before, 6u);
    const std::vector<uint8_t> &st = rc.last(PRCMD_START_TRANS);
    EXPECT_EQ(st.size(), 500u);
    EXPECT_EQ(u32_at(st, 300), 2u); /* mode */
    EXPECT_EQ(u32_at(st, 304), 1u); /* one table, resent unchanged */
    EXPECT_EQ(u32_at(st, 308 + offsetof(pr_id, id)), 7u);
    unsetenv("OSK_DEVICE_PATH");
}

TEST(PrClient, ErrorTexts)
{
    for (int i = 0; i < PR_LAST_ERR; i++)
        EXPECT_EQ(pr_errors[i].tx_code, i);
    EXPECT_STREQ(pr_err_to_string(PR_TABLE_BUSY), "Table busy");
    EXPECT_STREQ(pr_err_to_string(PR_CANTREPLICATE), "Can't replicate table file");
    EXPECT_STREQ(pr_err_to_string(PR_STATECHANGE), "PR state has changed");
    EXPECT_STREQ(pr_err_to_string(PR_LAST_ERR), "Unknown error");
    EXPECT_STREQ(pr_err_to_string(-1), "Unknown error");
}

TEST(PrClientDeath, LimitsPanic)
{
    pr_id z;
    memset(&z, 0, sizeof z);
    std::string big(PR_MAX_VALUE + 1, 'x');
    EXPECT_PANIC(pr_set_entry(z, z, big.data(), PR_MAX_KEY + 1, "v", 1), "key length too long");
    EXPECT_PANIC(pr_set_entry(z, z, "k", 1, big.data(), PR_MAX_VALUE + 1), "value length too long");
    pr_tableid many[9];
    memset(many, 0, sizeof many);
    EXPECT_PANIC(pr_start_trans(many, 9, 2, &z), "Too many tables in transaction");
    EXPECT_PANIC(pr_create_table(std::string(64, 'n').c_str(), 3, &z), "Table name too long");
}

/* The events as the log received them, oldest first. */
static std::vector<evt_comp_str_t> posted(recorder &rc)
{
    std::vector<evt_comp_str_t> v;
    for (auto &p : rc.seen) {
        if (((iohdr_t *)p.data())->io_cmd != EMCMD_POST || p.size() != EVT_POST_FRAME_SIZE)
            continue;
        evt_comp_str_t e;
        memcpy(&e, p.data() + 296, sizeof e);
        v.push_back(e);
    }
    return v;
}

TEST(Events, ComponentTextEventsAsPosted)
{
    recorder rc;
    rc.start();
    std::string longmsg(2000, 'm');
    std::string pid = run_as(fakedev_path(rc.f), [&] {
        em_init();
        int a = evt_comp_printf_options(EVT_SEV_INFO, EVT_NOTIFY_CLASS, EVT_SOFTWARE_UPDATE,
                                        COMP_SW_SYSMGR, 0, COMP_UNDEFINED, 0, 0, 0,
                                        "Applying OSK software version %s\n", "2.2.3.10-1");
        /* A notify type travels as a component notify; text cut to the room. */
        (void)evt_comp_printf_options(EVT_SEV_DEBUG, EVT_DEBUG_CLASS, EVT_NOTIFY, 0, 0, 0, 0, 0, 0,
                                      "%s", longmsg.c_str());
        /* The process-name prefix takes its room from the message. */
        (void)evt_comp_printf_options(EVT_SEV_DEBUG, EVT_DEBUG_CLASS, EVT_NOTIFY, 0, 0, 0, 0, 1, 0,
                                      "%s", longmsg.c_str());
        return a == 0 ? std::to_string(getpid()) : "post failed";
    });
    std::vector<evt_comp_str_t> ev = posted(rc);
    ASSERT_EQ(ev.size(), 3u) << pid;
    std::string text = "Applying OSK software version 2.2.3.10-1\n";
    EXPECT_EQ(ev[0].hdr.severity, (uint32_t)EVT_SEV_INFO);
    EXPECT_EQ(ev[0].hdr.evt_class, EVT_NOTIFY_CLASS);
    EXPECT_EQ(ev[0].hdr.type, EVT_SOFTWARE_UPDATE);
    EXPECT_EQ(ev[0].hdr.ordering, 3u);
    EXPECT_EQ(ev[0].component_type, COMP_SW_SYSMGR);
    EXPECT_EQ(ev[0].hdr.total_len, (int)(68 + text.size() + 1));
    EXPECT_EQ(std::string(ev[0].text), text);

    EXPECT_EQ(ev[1].hdr.type, EVT_NOTIFY_COMP);
    EXPECT_EQ(ev[1].hdr.total_len, 767);
    EXPECT_EQ(strlen(ev[1].text), 698u);

    /* The kernel keeps 15 characters of a command name. */
    std::string prefix = "(records_unit_te : " + pid + ") ";
    EXPECT_EQ(ev[2].hdr.total_len, 767);
    EXPECT_EQ(std::string(ev[2].text).substr(0, prefix.size()), prefix);
    EXPECT_EQ(strlen(ev[2].text), 698u);
}

TEST(EventsDeath, MalformedEventsPanic)
{
    EXPECT_PANIC(evt_alloc(EVT_SEV_INFO, EVT_NOTIFY_CLASS, EVT_PING, 43), "Invalid event length");
    EXPECT_PANIC(evt_alloc(EVT_SEV_INFO, EVT_NOTIFY_CLASS, EVT_PING, 769), "Invalid event length");
    recorder rc;
    rc.start();
    setenv("OSK_DEVICE_PATH", fakedev_path(rc.f).c_str(), 1);
    em_producer_init();
    evt_t *ok = evt_alloc(EVT_SEV_INFO, EVT_NOTIFY_CLASS, EVT_PING, 768);
    EXPECT_EQ(evt_post(ok), 0);
    ok->type = 0;
    EXPECT_PANIC(evt_post(ok), "e->type > 0");
    ok->type = EVT_LAST;
    EXPECT_PANIC(evt_post(ok), "e->type < EVT_LAST");
    ok->type = EVT_PING;
    ok->severity = 7;
    EXPECT_PANIC(evt_post(ok), "e->severity <= EVT_SEV_DEBUG");
    ok->severity = EVT_SEV_INFO;
    EXPECT_PANIC(evt_post_ordered(ok, 6), "order <= EVT_ORDER_MAX");
    evt_free(ok, 768);
    unsetenv("OSK_DEVICE_PATH");
}

/* Registers with the given segment tops (64 MiB units) of pairs 0-3. */
static br_reg_t board(uint32_t t0, uint32_t t1, uint32_t t2, uint32_t t3)
{
    br_reg_t r;
    memset(&r, 0, sizeof r);
    uint32_t tops[4] = {t0, t1, t2, t3};
    for (int i = 0; i < 4; i++)
        r.mm_seg_top[2 * i + 1] = 0xAB00 | tops[i]; /* only the low byte counts */
    return r;
}

/* The record is packed: its 64-bit fields are read by value, never bound
 * to a reference at an address they may not be aligned to. */
static uint64_t field(uint64_t v)
{
    return v;
}

TEST(DimmDecode, AddressesAndBanksNameTheirDimm)
{
    br_reg_t r = board(0x10, 0x20, 0x20, 0x40);
    br_init_dimm_decode(&r);
    const uint64_t G = 1ull << 30;
    EXPECT_EQ(field(brant_dimm_info(0)->dimm_size), 1024u);
    EXPECT_EQ(field(brant_dimm_info(4)->dimm_bound), 2 * G);
    EXPECT_EQ(field(brant_dimm_info(2)->dimm_size), 0u); /* pair 2 empty: no range */
    EXPECT_EQ(field(brant_dimm_info(3)->dimm_base), 4 * G);
    EXPECT_EQ(field(brant_dimm_info(7)->dimm_bound), 8 * G);
    EXPECT_EQ(brant_dimm_info(8), nullptr);
    EXPECT_EQ(brant_dimm_info(-1), nullptr);

    EXPECT_EQ(brant_cmpa2dimm(0x40, 0), 0);         /* bit 6 set: slot i */
    EXPECT_EQ(brant_cmpa2dimm(0x80, 0), 4);         /* clear: slot i + 4 */
    EXPECT_EQ(brant_cmpa2dimm(2 * G + 0x40, 0), 1); /* pair 1 */
    EXPECT_EQ(brant_cmpa2dimm(6 * G, 0), 7);        /* pair 3 */
    EXPECT_EQ(brant_cmpa2dimm(8 * G, 0), -1);       /* past the last bound */
    EXPECT_EQ(brant_cmpa2dimm(0, 1u << 8), 4);      /* bank bit 8: entry 0 */
    EXPECT_EQ(brant_cmpa2dimm(0, 3u << 12), 5);     /* lowest bank bit wins */
    EXPECT_EQ(brant_cmpa2dimm(0, (1u << 23) | 1), 3);

    /* A board with slots 0, 1, 4 and 5 populated numbers its DIMMs 0-3. */
    uint32_t saved = dimm_mask;
    dimm_mask = 0x33;
    EXPECT_EQ(brant_seg2dimm(4), 2);
    EXPECT_EQ(brant_seg2dimm(5), 3);
    EXPECT_EQ(brant_seg2dimm(2), -1);
    EXPECT_EQ(brant_seg2dimm(8), -1);
    dimm_mask = saved;

    /* A segment top below its predecessor is empty, not a huge range. */
    r = board(0x20, 0x10, 0x30, 0x30);
    br_init_dimm_decode(&r);
    EXPECT_EQ(field(brant_dimm_info(1)->dimm_size), 0u);
    EXPECT_EQ(field(brant_dimm_info(2)->dimm_size), 1024u);
    EXPECT_EQ(field(brant_dimm_info(2)->dimm_base), 4 * G);
}

TEST(DimmDecode, RegisterBitNamesWrapAndStop)
{
    char s[256];
    /* Memory status: FATAL (31), BANK0 (8), MBE (1). */
    int n = brant_decode_reg(0x80000102u, BR_REG_MM_STATUS, s, 0, sizeof s, 80, 4);
    EXPECT_STREQ(s, "FATAL BANK0 MBE");
    EXPECT_EQ(n, 15);
    /* Past column 14 the line breaks and goes on after the indent. */
    n = brant_decode_reg(0x80000102u, BR_REG_MM_STATUS, s, 0, sizeof s, 14, 2);
    EXPECT_STREQ(s, "FATAL BANK0\n  MBE");
    EXPECT_EQ(n, (int)strlen(s));
    /* The limit is never passed; whole names only. */
    n = brant_decode_reg(0x80000102u, BR_REG_MM_STATUS, s, 0, 10, 80, 0);
    EXPECT_STREQ(s, "FATAL");
    EXPECT_EQ(brant_decode_reg(0, BR_REG_MM_STATUS, s, 0, sizeof s, 80, 0), 0);
    EXPECT_PANIC(brant_decode_reg(1, br_lst_index_decode, s, 0, sizeof s, 80, 0),
                 "type < br_lst_index_decode");
}
