/* Memory and string helpers, code-to-text tables and bit counting. */
#include <string.h>

#include <gtest/gtest.h>

#include "child.h"
#include "osk_runtime.h"

namespace
{

TEST(Strncpy, AlwaysTerminatesAndCutsLongSources)
{
    char buf[12];
    memset(buf, 'X', sizeof(buf));
    osk_strncpy(buf, "0123456789", 8);
    EXPECT_STREQ(buf, "0123456");
    EXPECT_EQ(buf[8], 'X') << "wrote past length";

    osk_strncpy(buf, "abc", sizeof(buf));
    EXPECT_STREQ(buf, "abc");
    osk_strncpy(buf, "exactly 12!!", 12);
    EXPECT_STREQ(buf, "exactly 12!");
}

template <typename T>
concept copies_into = requires(T dst)
{
    osk_strcpy(dst, "x");
};

TEST(Strcpy, BoundedByTheDestinationArray)
{
    struct {
        char small[8];
        char guard[4];
    } dst;
    memset(&dst, 'X', sizeof(dst));
    osk_strcpy(dst.small, "0123456789");
    EXPECT_STREQ(dst.small, "0123456");
    EXPECT_EQ(memcmp(dst.guard, "XXXX", 4), 0) << "wrote past the destination";

    EXPECT_STREQ(osk_strcpy(dst.small, "node3"), "node3");
    osk_strcpy(dst.small, "");
    EXPECT_STREQ(dst.small, "");
    static_assert(copies_into<char(&)[8]>);
    static_assert(!copies_into<char *>, "a destination without a known size must not build");
}

TEST(Realloc, ClearsOnlyTheGrownPart)
{
    unsigned char *p = (unsigned char *)osk_realloc(NULL, 8, 0, 1);
    ASSERT_NE(p, nullptr);
    memset(p, 0xAB, 8);
    p = (unsigned char *)osk_realloc(p, 64, 8, 1);
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(p[i], 0xAB) << i;
    for (int i = 8; i < 64; i++)
        EXPECT_EQ(p[i], 0) << i;
    osk_free(p, 64);
}

TEST(Realloc, PreconditionsPanicInOrder)
{
    struct {
        void *ptr;
        size_t size, oldsize;
        const char *text;
    } cases[] = {
        {NULL, 0, 0, "size > 0"},
        {(void *)&cases, 16, 0, "((ptr == NULL) && (oldsize == 0)) || (oldsize > 0)"},
        {NULL, 8, 8, "size > oldsize"},
        {NULL, 4, 8, "size > oldsize"},
    };
    for (const auto &c : cases) {
        child_result r = run_in_child([&c] { (void)osk_realloc(c.ptr, c.size, c.oldsize, 0); });
        EXPECT_TRUE(aborted(r)) << c.text;
        std::string want = std::string("Assertion failed: ") + c.text + "\n";
        EXPECT_NE(r.out.find(want), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Assertion point: file: "), std::string::npos) << r.out;
    }
}

TEST(StatusTexts, LookupByCodeAndText)
{
    EXPECT_STREQ(findtext(texlat, TE_PASS), "TE_PASS         -- Success");
    EXPECT_STREQ(findtext(texlat, 34), "BR_REPLY_CANCEL -- Reply canceled");
    EXPECT_STREQ(findtext(texlat, 12345), "Unknown error code");
    EXPECT_STREQ(findtext(texlat, -1), "Unknown error code");
    EXPECT_EQ(findcode(texlat, "TE_POWERFAIL    -- Power fail in progress"), TE_POWERFAIL);
    EXPECT_EQ(findcode(texlat, "TE_POWERFAIL"), -1) << "match must be exact";
    EXPECT_EQ(findcode(texlat, "no such text"), -1);
}

TEST(StatusTexts, TableRowsFollowTheNamingLayout)
{
    const char *examples[] = {
        "TE_PASS         -- Success",
        "TE_ACTIVE       -- Status while request is active",
        "TE_FAIL         -- Generic failure code",
        "TE_INVALID      -- Invalid input parameter",
        "TE_NOTMASTER    -- Operation only allowed on master node",
        "TE_TIMEOUT      -- Request timeout",
        "TE_POWERFAIL    -- Power fail in progress",
        "BR_NODE_DOWN    -- Message canceled because of node down",
        "BRIPC_NOPHANDLE -- No phandle is available or found",
        "BRIPC_BLOCKED   -- Operation would block",
        "BRIPC_PRIMARY   -- Backup phandle becomes primary after creation",
    };
    for (const char *e : examples)
        EXPECT_NE(findcode(texlat, e), -1) << e;

    int rows = 0;
    for (const textxlat_t *t = texlat; t->tx_code != -1; t++, rows++) {
        std::string text = t->tx_text;
        size_t name_end = text.find(' ');
        ASSERT_NE(name_end, std::string::npos) << text;
        size_t dashes = text.find("-- ");
        EXPECT_EQ(dashes, std::max<size_t>(16, name_end + 1)) << text;
        EXPECT_EQ(text.find_first_not_of(' ', name_end), dashes) << text;
        EXPECT_GT(text.size(), dashes + 3) << text;
    }
    EXPECT_EQ(rows + 1, 110);
}

TEST(Bits, CountsOneBits)
{
    EXPECT_EQ(osk_one_bits(0), 0);
    EXPECT_EQ(osk_one_bits(0xFFFFFFFFu), 32);
    EXPECT_EQ(osk_one_bits(129), 2);
    EXPECT_EQ(osk_one_bits(0x80000000u), 1);
}

} // namespace
