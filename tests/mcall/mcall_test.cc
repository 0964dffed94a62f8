/*
 * The management-call client without a server: which server owns an
 * opcode, record allocation, bit fields of the shared records, and the
 * error information.
 */
#include <string.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "mcall_client.h"

TEST(Mcall, EachOpcodeRangeGoesToItsServer)
{
    struct {
        uint32_t op;
        const char *svr;
    } rows[] = {{0, nullptr},         {MC_FIRST, nullptr}, {MC_MANGLER_FIRST, "OSKMCAL"},
                {MC_PING, "OSKMCAL"}, {305, "OSKMCAL"},    {306, "MCHDLR"},
                {330, "MCHDLR"},      {331, "TSMCALL"},    {354, "TSMCALL"},
                {355, "MCFILT"},      {363, "MCFILT"},     {364, "MCNETC"},
                {384, "MCNETC"},      {MC_LAST, nullptr},  {0xFFFFFFFFu, nullptr}};
    for (auto &r : rows) {
        const char *got = mcall_to_svrname(r.op);
        EXPECT_STREQ(got, r.svr) << "opcode " << r.op;
    }
}

/* The buffer a record claims is there: writing all of it stays inside
 * the allocation (the sanitizer build catches an overrun). */
TEST(Mcall, AllocHoldsTheBufferItClaims)
{
    for (uint32_t size : {620u, 640u, 641u}) {
        mcall_t *rec = mcall_alloc(MC_PING, size);
        EXPECT_EQ(rec->mc_opcode, (uint32_t)MC_PING) << size;
        EXPECT_EQ(rec->mc_size, size);
        EXPECT_GE(rec->mc_bufsize, size);
        EXPECT_EQ(rec->mc_ertxt[0], '\0') << size;
        memset((char *)rec + sizeof(mcall_t), 0x5a, rec->mc_bufsize - sizeof(mcall_t));
        mcall_free(rec);
    }
}

/* Offsets are checked at compile time; single-bit flags are not. */
TEST(Mcall, FlagBitsSitWhereTheNodesReadThem)
{
    disk_t d;
    memset(&d, 0, sizeof d);
    d.d_aport.p_primary = 1;
    d.d_bport.p_primary = 1;
    const uint8_t *b = (const uint8_t *)&d;
    EXPECT_EQ(b[42], 1);
    EXPECT_EQ(b[294], 1);
    vluninfo_t v;
    memset(&v, 0, sizeof v);
    v.vli_vreadonly = 1;
    EXPECT_EQ(((const uint8_t *)&v)[308], 1);
}

namespace
{

std::string text(const err_info_t &e)
{
    char buf[512];
    errinfo_get_textstr(buf, sizeof buf, &e);
    return buf;
}

} // namespace

TEST(Errinfo, ParametersAreRenderedIntoTheCodesFormat)
{
    errinfo_init();
    err_info_t e;
    memset(&e, 0, sizeof e);
    errinfo_add_parm_wwn(&e, 0x2100001b32a0b0ffULL);
    errinfo_add_parm_str(&e, "db01");
    EXPECT_EQ(errinfo_set_int(&e, ERR_OSK_HOSTPATH_EXISTS, -7), ERR_OSK_HOSTPATH_EXISTS);
    EXPECT_EQ(text(e), "Host wwn 2100001B32A0B0FF already used by host db01 (id = -7)\n");

    memset(&e, 0, sizeof e);
    char out[64];
    errinfo_add_parm_char(&e, 'x');
    EXPECT_EQ(errinfo_set_hexchar_txt(out, sizeof out, &e, ERR_OSK_DESC_INVALID_CHAR, '\t'),
              ERR_OSK_DESC_INVALID_CHAR);
    /* The text is cut to the buffer, not overrun. */
    EXPECT_STREQ(out, "Invalid character x (0x0x09) in description\n");

    char internal[ERRINFO_TEXT_LEN];
    errinfo_set_internal(internal, sizeof internal, "lost %d of %s", 3, "paths");
    EXPECT_STREQ(internal, "Internal error: lost 3 of paths\n");
}

TEST(Errinfo, InvalidUsesResetToUnknownOutsideDevelopment)
{
    if (access("/etc/kivo/DEVELOPER", F_OK) == 0)
        GTEST_SKIP() << "developer marker present: invalid uses are fatal";
    err_info_t e;
    memset(&e, 0, sizeof e);
    errinfo_add_parm_str(&e, "a");
    EXPECT_EQ(errinfo_set(&e, ERR_LAST), ERR_UNKNOWN);
    EXPECT_EQ(e.parms.count, 0);
    EXPECT_EQ(text(e), "Unknown error");

    EXPECT_EQ(errinfo_set(&e, -1), ERR_UNKNOWN);
    /* Wrong number of parameters for the code. */
    EXPECT_EQ(errinfo_set_str(&e, ERR_OSK_HOST_EXISTS, "only one"), ERR_UNKNOWN);
    EXPECT_EQ(e.parms.count, 0);

    /* A sixth parameter is refused. */
    for (int i = 0; i < ERR_MAXPARMS; i++)
        errinfo_add_parm_int(&e, i);
    EXPECT_EQ(e.parms.count, ERR_MAXPARMS);
    errinfo_add_parm_int(&e, 5);
    EXPECT_EQ(e.code, (uint32_t)ERR_UNKNOWN);
    EXPECT_EQ(e.parms.count, 0);

    /* A long parameter keeps its terminator within the 64-byte slot. */
    std::string longp(100, 'w');
    EXPECT_EQ(errinfo_set_str(&e, ERR_OSK_HOST_NOTFOUND, longp.c_str()), ERR_OSK_HOST_NOTFOUND);
    EXPECT_EQ(strlen(e.parms.parm[0].value), 63u);
}
