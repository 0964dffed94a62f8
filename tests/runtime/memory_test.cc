/* Memory and string helpers and code-to-text tables. */
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

TEST(Realloc, BadArgumentsPanic)
{
    struct {
        void *ptr;
        size_t size, oldsize;
    } cases[] = {
        {NULL, 0, 0},            /* nothing to allocate */
        {(void *)&cases, 16, 0}, /* a block without its old size */
        {NULL, 8, 8},            /* not growing */
        {NULL, 4, 8},            /* shrinking */
    };
    for (const auto &c : cases) {
        child_result r = run_in_child([&c] { (void)osk_realloc(c.ptr, c.size, c.oldsize, 0); });
        EXPECT_TRUE(aborted(r)) << c.size << " " << c.oldsize;
        EXPECT_NE(r.out.find("Assertion failed: "), std::string::npos) << r.out;
    }
}

TEST(StatusTexts, LookupByCodeAndText)
{
    const textxlat_t *end = texlat;
    while (end->tx_code != -1)
        end++;
    for (const textxlat_t *t = texlat; t != end; t++) {
        const textxlat_t *first = texlat; /* a code may have several rows */
        while (first->tx_code != t->tx_code)
            first++;
        EXPECT_STREQ(findtext(texlat, t->tx_code), first->tx_text) << t->tx_code;
        EXPECT_EQ(findcode(texlat, t->tx_text), t->tx_code) << t->tx_text;
    }
    EXPECT_STREQ(findtext(texlat, 12345), end->tx_text);
    EXPECT_EQ(findcode(texlat, "TE_POWERFAIL"), -1) << "match must be exact";
    EXPECT_EQ(findcode(texlat, "no such text"), -1);
}

/* Operators read the name and the meaning in two aligned columns. */
TEST(StatusTexts, RowsKeepNameAndMeaningInColumns)
{
    for (const textxlat_t *t = texlat; t->tx_code != -1; t++) {
        std::string text = t->tx_text;
        size_t name_end = text.find(' ');
        ASSERT_NE(name_end, std::string::npos) << text;
        size_t dashes = text.find("-- ");
        EXPECT_EQ(dashes, std::max<size_t>(16, name_end + 1)) << text;
        EXPECT_EQ(text.find_first_not_of(' ', name_end), dashes) << text;
        EXPECT_GT(text.size(), dashes + 3) << text;
    }
}

} // namespace
