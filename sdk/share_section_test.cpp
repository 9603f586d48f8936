#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "slib/error.h"
#include "vako/share_db.h"

namespace {

TEST(ShareParseSectionName, TextAfterFirstBracketUpToLastBracket)
{
    struct Case {
        const char *line;
        int cbOut;
        const char *name;
    } cases[] = {
        {"[public]\n", 64, "public"},
        {"[a]b]  \n", 64, "a]b"},
        {"[[x]]", 64, "[x]"},
        {"x[y]", 64, "y"},
        {"[]", 64, ""},
        {"no brackets", 64, "no brackets"},
        {"[open\n", 64, "open\n"},
        {"[%s%n]", 64, "%s%n"},
        {"[abcdef]", 4, "abc"}, // cut first, then no ']' is left
        {"[ab]cdef", 4, "ab"},  // the cut keeps a ']'
        {"[abc]", 1, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        char out[64];
        memset(out, 'Z', sizeof out);
        ASSERT_EQ(VAKOShareParseSectionName(c.line, out, c.cbOut), 0);
        EXPECT_STREQ(out, c.name);
    }
}

TEST(ShareParseSectionName, NameOf194BytesFromALongerHeader)
{
    std::string name(300, 'n');
    char out[195];
    ASSERT_EQ(VAKOShareParseSectionName(("[" + name + "]\n").c_str(), out, sizeof out), 0);
    EXPECT_EQ(std::string(out), name.substr(0, 194));
}

TEST(ShareParseSectionName, RefusesBadArguments)
{
    char out[8];
    struct {
        const char *line;
        char *out;
        int cb;
    } cases[] = {{nullptr, out, 8}, {"[a]", nullptr, 8}, {"[a]", out, 0}, {"[a]", out, -1}};
    for (auto c : cases) {
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOShareParseSectionName(c.line, c.out, c.cb), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        EXPECT_STREQ(SLIBErrorGetFile(), "share_parse_section_name");
    }
}

} // namespace
