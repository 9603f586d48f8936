#include "vako/share.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "slib/error.h"
#include "slib/szlist.h"
#include "vakotest/logs.h"
#include "vakotest/sharedb.h"
#include "vakotest/szblocks.h"
#include "vakotest/words.h"

namespace {

using vakotest::NativeWord;
using vakotest::NativeWords;

using Share = sharedb::SharePtr;
using sharedb::Info;
using sharedb::Make;
using sharedb::Packed;

// Where p lies in the record as sizes and offsets count it (the header as
// its 44 stored bytes).
int Off(const VAKOSHARE *s, const char *p)
{
    return VAKO_SHARE_HEADER_SIZE + static_cast<int>(p - (reinterpret_cast<const char *>(s) + sizeof(VAKOSHARE)));
}

void ExpectSameShare(const VAKOSHARE *a, const VAKOSHARE *b)
{
    EXPECT_STREQ(a->szName, b->szName);
    EXPECT_STREQ(a->szComment, b->szComment);
    EXPECT_STREQ(a->szPath, b->szPath);
    EXPECT_STREQ(a->szInvalidUsers, b->szInvalidUsers);
    EXPECT_STREQ(a->szWriteList, b->szWriteList);
    EXPECT_STREQ(a->szReadList, b->szReadList);
    EXPECT_EQ(a->fType, b->fType);
    EXPECT_EQ(a->fBrowseable, b->fBrowseable);
    EXPECT_EQ(a->ftpFlags, b->ftpFlags);
    EXPECT_EQ(a->cbRecord, b->cbRecord);
}

// ---- Names ----

TEST(ShareName, RuleAndAllocCode)
{
    const std::string e = "\xc3\xa9"; // 'é', one code point of two bytes
    std::string e32, e33;
    for (int i = 0; i < 32; i++)
        e32 += e;
    e33 = e32 + e;
    struct Case {
        std::string name;
        int valid;
    } cases[] = {
        {std::string(32, 'a'), 1},
        {std::string(33, 'a'), 0},
        {e32, 1},
        {e33, 0},
        {"d\xc3\xa9p\xc3\xb4t", 1},
        {"Music Box_2.0-x", 1},
        {"", 0},
        {" name", 0},
        {"-name", 0},
        {"name ", 0},
        {"na-me ok", 1},
        {"na/me", 0},
        {"na\tme", 0},
        {"na\\me", 0},
        {"a]b", 0},
        {"a\xff", 0}, // not UTF-8
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(VAKOShareIsValidName(c.name.c_str()), c.valid);
        SLIBErrorSet(0);
        Share s = Make(Info(c.name.c_str()));
        EXPECT_EQ(s != nullptr, c.valid == 1);
        if (!c.valid) {
            EXPECT_EQ(SLIBErrorGet(), VAKO_ERR_SHARE_BAD_NAME);
        }
    }
    EXPECT_EQ(VAKOShareIsValidName(nullptr), 0);
}

// ---- Records ----

TEST(ShareAlloc, LaysStringsOutFromTheEndDownward)
{
    VAKOSHAREINFO info = {"Data", "c", "/v1/d", "x", "@w", "r,s", VAKO_SHARE_NO_ACCESS, 0, 6};
    Share s = Make(info);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->cbAlloc, 44 + 5 + 2 + 6 + 2 + 3 + 4);
    EXPECT_EQ(s->cbRecord, s->cbAlloc);
    EXPECT_EQ(Off(s.get(), s->szName), 61);
    EXPECT_EQ(Off(s.get(), s->szComment), 59);
    EXPECT_EQ(Off(s.get(), s->szPath), 53);
    EXPECT_EQ(Off(s.get(), s->szInvalidUsers), 51);
    EXPECT_EQ(Off(s.get(), s->szWriteList), 48);
    EXPECT_EQ(Off(s.get(), s->szReadList), 44); // right after the header
    EXPECT_STREQ(s->szName, "Data");
    EXPECT_STREQ(s->szComment, "c");
    EXPECT_STREQ(s->szPath, "/v1/d");
    EXPECT_STREQ(s->szInvalidUsers, "x");
    EXPECT_STREQ(s->szWriteList, "@w");
    EXPECT_STREQ(s->szReadList, "r,s");
    EXPECT_EQ(s->fType, 4);
    EXPECT_EQ(s->fBrowseable, 0);
    EXPECT_EQ(s->ftpFlags, 6);
}

TEST(ShareAlloc, EmptyAndAbsentStringsAreTheLastByte)
{
    VAKOSHAREINFO info = {"music", nullptr, "/volume1/music", "", nullptr, "", VAKO_SHARE_READ_ONLY, 1, 0};
    Share s = Make(info);
    ASSERT_NE(s, nullptr);
    int size = 44 + 6 + 15;
    EXPECT_EQ(s->cbAlloc, size);
    EXPECT_EQ(s->cbRecord, size);
    EXPECT_EQ(Off(s.get(), s->szName), size - 6); // its NUL is the last byte
    EXPECT_EQ(Off(s.get(), s->szPath), size - 6 - 15);
    for (const char *p : {s->szComment, s->szInvalidUsers, s->szWriteList, s->szReadList}) {
        EXPECT_EQ(Off(s.get(), p), size - 1);
        EXPECT_STREQ(p, "");
    }
}

TEST(ShareAlloc, RefusesBadDescriptions)
{
    struct Case {
        const char *what;
        std::function<void(VAKOSHAREINFO &)> change;
        int code;
    } cases[] = {
        {"no name", [](VAKOSHAREINFO &i) { i.szName = nullptr; }, 0x0D00},
        {"no path", [](VAKOSHAREINFO &i) { i.szPath = nullptr; }, 0x0D00},
        {"negative type", [](VAKOSHAREINFO &i) { i.fType = -1; }, 0x0D00},
        {"negative browse", [](VAKOSHAREINFO &i) { i.fBrowseable = -1; }, 0x0D00},
        {"negative ftp", [](VAKOSHAREINFO &i) { i.ftpFlags = -1; }, 0x0D00},
        {"relative path", [](VAKOSHAREINFO &i) { i.szPath = "volume1/a"; }, 0x9900},
        {"empty path", [](VAKOSHAREINFO &i) { i.szPath = ""; }, 0x9900},
        // A line end would let the value add lines to the SMB configuration.
        {"LF in comment", [](VAKOSHAREINFO &i) { i.szComment = "x\"\n[global]\nguest ok=yes"; }, 0x0D00},
        {"CR in comment", [](VAKOSHAREINFO &i) { i.szComment = "x\r"; }, 0x0D00},
        {"LF in path", [](VAKOSHAREINFO &i) { i.szPath = "/volume1/a\n\tguest ok=yes"; }, 0x0D00},
        {"LF in invalid users", [](VAKOSHAREINFO &i) { i.szInvalidUsers = "a\n"; }, 0x0D00},
        {"LF in write list", [](VAKOSHAREINFO &i) { i.szWriteList = "\nb"; }, 0x0D00},
        {"CR in read list", [](VAKOSHAREINFO &i) { i.szReadList = "a,\rb"; }, 0x0D00},
        // Would join the path's line with the next one.
        {"path ending in a backslash", [](VAKOSHAREINFO &i) { i.szPath = "/volume1/a\\"; }, 0x0D00},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        VAKOSHAREINFO info = Info("docs");
        c.change(info);
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOShareAlloc(&info), nullptr);
        EXPECT_EQ(SLIBErrorGet(), c.code);
    }
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOShareAlloc(nullptr), nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    // A backslash inside the path is kept.
    EXPECT_NE(Make(Info("docs", "/volume1/a\\b")), nullptr);
}

// ---- Packed values ----

TEST(SharePack, ExactBytes)
{
    VAKOSHAREINFO small = {"a", nullptr, "/v", nullptr, nullptr, nullptr, VAKO_SHARE_READ_WRITE, 1, 5};
    Share s = Make(small);
    ASSERT_NE(s, nullptr);
    std::string expect = NativeWords({0, 47, 48, 44, 48, 48, 48, 2, 1, 5, 53, 49}) + std::string("/v\0a\0", 5);
    EXPECT_EQ(expect.size(), 53u);
    EXPECT_EQ(Packed(s.get()), expect);

    VAKOSHAREINFO full = {"Data", "c", "/v1/d", "x", "@w", "r,s", VAKO_SHARE_NO_ACCESS, 0, 6};
    s = Make(full);
    ASSERT_NE(s, nullptr);
    expect = NativeWords({0, 61, 59, 53, 51, 48, 44, 4, 0, 6, 70, 66}) +
             std::string("r,s\0@w\0x\0/v1/d\0c\0Data\0", 22);
    EXPECT_EQ(Packed(s.get()), expect);
}

TEST(SharePack, CarriesTheRecordSizeAsItStands)
{
    Share s = Make(Info("a", "/v"));
    ASSERT_NE(s, nullptr);
    s->cbRecord = 45;
    EXPECT_EQ(Packed(s.get()).substr(40, 8), NativeWords({53, 45}));
}

TEST(ShareUnPack, RoundTripIntoNewSmallerAndLargerBlocks)
{
    VAKOSHAREINFO full = {"Data", "a comment", "/volume1/Data", "bad", "@admins,ann", "bob", VAKO_SHARE_READ_ONLY, 1,
                          7};
    Share orig = Make(full);
    ASSERT_NE(orig, nullptr);
    std::string value = Packed(orig.get());

    VAKOSHARE *p = nullptr;
    ASSERT_EQ(VAKOShareDBUnPack(value.data(), &p), 0);
    Share fresh(p);
    ExpectSameShare(fresh.get(), orig.get());
    EXPECT_EQ(fresh->cbAlloc, orig->cbAlloc);
    EXPECT_EQ(Packed(fresh.get()), value);

    // An earlier, larger block is kept with its size.
    VAKOSHAREINFO big = Info("big");
    std::string longComment(300, 'c');
    big.szComment = longComment.c_str();
    p = Make(big).release();
    VAKOSHARE *before = p;
    int32_t cbBig = p->cbAlloc;
    ASSERT_EQ(VAKOShareDBUnPackBounded(value.data(), static_cast<int>(value.size()), &p), 0);
    Share reused(p);
    EXPECT_EQ(p, before);
    EXPECT_EQ(p->cbAlloc, cbBig);
    ExpectSameShare(p, orig.get());

    // A smaller one grows to the record's size.
    p = Make(Info("s", "/s")).release();
    ASSERT_EQ(VAKOShareDBUnPack(value.data(), &p), 0);
    Share grown(p);
    EXPECT_EQ(p->cbAlloc, orig->cbAlloc);
    ExpectSameShare(p, orig.get());
}

// Values that a reader must refuse without reading past them: the cache
// file is writable by every process of the appliance.
TEST(ShareUnPack, RefusesMalformedValues)
{
    Share good = Make({"a", nullptr, "/v", nullptr, nullptr, nullptr, VAKO_SHARE_READ_WRITE, 1, 0});
    ASSERT_NE(good, nullptr);
    const std::string value = Packed(good.get()); // 53 bytes: path at 44, name at 47, the rest at 48
    auto word = [](int at, int32_t w) {
        return [at, w](std::string &v) { v.replace(static_cast<size_t>(at), 4, NativeWord(w)); };
    };
    auto byte = [](int at, char c) { return [at, c](std::string &v) { v[static_cast<size_t>(at)] = c; }; };
    struct Case {
        const char *what;
        std::function<void(std::string &)> change;
        bool lengthOnlyKnownToTheFile; // the value's own length word does not show the fault
    } cases[] = {
        {"length of the header alone", word(40, 48), false},
        {"negative length", word(40, -1), false},
        {"length past the value", word(40, 54), true},
        {"huge length", word(40, INT32_MAX), true},
        {"value shorter than its header", [](std::string &v) { v.resize(40); }, true},
        {"record size below the header", word(44, 43), false},
        {"record size past the record", word(44, 50), false},
        {"name offset in the header", word(4, 43), false},
        {"name offset at the end", word(4, 49), false},
        {"negative comment offset", word(8, -4), false},
        {"huge path offset", word(12, INT32_MAX), false},
        {"read list offset past the end", word(24, 60), false},
        {"no NUL at the end", byte(52, 'x'), false},
        {"line end in the path", byte(49, '\n'), false},
        {"CR in the name", byte(51, '\r'), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string bad = value;
        c.change(bad);
        // Exactly the value's bytes on the heap, so that a read past them shows.
        std::unique_ptr<char[]> heap(new char[bad.size()]);
        memcpy(heap.get(), bad.data(), bad.size());
        VAKOSHARE *p = Make(Info("keep")).release();
        VAKOSHARE *before = p;
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOShareDBUnPackBounded(heap.get(), static_cast<int>(bad.size()), &p), -1);
        EXPECT_EQ(SLIBErrorGet(), VAKO_ERR_SHARE_BAD_VALUE);
        EXPECT_EQ(p, before);
        EXPECT_STREQ(p->szName, "keep");
        if (!c.lengthOnlyKnownToTheFile) {
            SLIBErrorSet(0);
            EXPECT_EQ(VAKOShareDBUnPack(heap.get(), &p), -1);
            EXPECT_EQ(SLIBErrorGet(), VAKO_ERR_SHARE_BAD_VALUE);
            EXPECT_EQ(p, before);
        }
        VAKOShareFree(p);
    }
}

// ---- Section names ----

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
