#include "slib/conf_read.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "vakotest/szblocks.h"
#include "slib/error.h"
#include "vakotest/bigmem.h"
#include "vakotest/files.h"
#include "vakotest/logs.h"
#include "vakotest/run.h"

using List = vakotest::SzList;
using Map = vakotest::SzHash;
using vakotest::WriteFile;

namespace {

const char *kFile = "/tmp/test.conf";
const char *kFifo = "/tmp/fifo.conf";

struct ValueCase {
    const char *content, *key;
    int flags, result;
    const char *value; // expected value, or the expected code as text
};

TEST(ConfRead, GetKeyValueCases)
{
    const ValueCase cases[] = {
        {"key=value\n", "key", 0, 6, "value"},
        {" \tkey  =  \"value\" \n", "key", 0, 6, "value"},
        {"key=\n", "key", 0, 0, nullptr},
        {"key=", "key", 0, 0, nullptr},
        {"key= \n", "key", 0, 1, ""},
        {"key=\"\"\n", "key", 0, 1, ""},
        {"key=a=b\n", "key", 0, 4, "a=b"},
        {"=key=v\n", "key", 0, 2, "v"},
        {"==key==v\n", "key", 0, 3, "=v"},
        {"key\n", "key", 0, 0, nullptr},
        {"#key=value\n", "key", 0, 0, nullptr},
        {";key=value\n", "key", 0, 0, nullptr},
        {" #key=value\n", "#key", 0, 6, "value"},
        {"key=1\nkey=2\n", "key", 0, 2, "1"},
        {"key=\nkey=2\n", "key", 0, 0, nullptr},
        {"key=1\nkey=2\n", "key", OP_FIND_LAST, 2, "2"},
        {"key=1\nkey=\n", "key", OP_FIND_LAST, 2, "1"},
        {"a=1\nkey=last", "key", 0, 5, "last"},
        {"key = x y \r\n", "key", 0, 4, "x y"},
        {"keyx=1\nkey x=2\n", "key", 0, 0, nullptr},
        {"\"key\"=q\n", "key", 0, 2, "q"},
        {"", "key", 0, 0, nullptr},
    };
    for (const auto &c : cases) {
        WriteFile(kFile, c.content);
        char buf[64];
        memset(buf, 'X', sizeof buf);
        SLIBErrorSet(0);
        int r = SLIBFileGetKeyValue(kFile, c.key, buf, sizeof buf, c.flags);
        EXPECT_EQ(r, c.result) << c.content;
        if (c.value)
            EXPECT_STREQ(buf, c.value) << c.content;
        else
            EXPECT_EQ(SLIBErrorGet(), 0x2000) << c.content;
    }
}

TEST(ConfRead, GetKeyValueBufferSizes)
{
    WriteFile(kFile, "key=value\n");
    EXPECT_EQ(SLIBFileGetKeyValue(kFile, "key", nullptr, 0, 0), 6);
    char buf[6];
    EXPECT_EQ(SLIBFileGetKeyValue(kFile, "key", buf, 6, 0), 6);
    EXPECT_STREQ(buf, "value");
    char small[5] = {'Q', 'Q', 'Q', 'Q', 'Q'};
    EXPECT_EQ(SLIBFileGetKeyValue(kFile, "key", small, 5, 0), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0100);
    EXPECT_EQ(std::string(small, 5), "QQQQQ");
}

TEST(ConfRead, GetKeyValueRefusals)
{
    WriteFile(kFile, "key=value\n");
    char buf[8];
    struct {
        const char *file, *key;
        char *buf;
        int cb, flags, code;
    } cases[] = {
        {nullptr, "key", buf, 8, 0, 0x0D00},
        {kFile, nullptr, buf, 8, 0, 0x0D00},
        {kFile, "key", buf, 8, -1, 0x0D00},
        {kFile, "key", nullptr, 8, 0, 0x0D00},
        {"/tmp/missing.conf", "key", buf, 8, 0, 0x0900},
    };
    for (auto &c : cases) {
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBFileGetKeyValue(c.file, c.key, c.buf, c.cb, c.flags), -1);
        EXPECT_EQ(SLIBErrorGet(), c.code);
    }
}

TEST(ConfRead, CheckKeyValue)
{
    WriteFile(kFile, "a=yes\nb=YES\nc=no\nd=\n");
    EXPECT_EQ(SLIBFileCheckKeyValue(kFile, "a", "yes", 0), 1);
    EXPECT_EQ(SLIBFileCheckKeyValue(kFile, "b", "yes", 0), 1);
    EXPECT_EQ(SLIBFileCheckKeyValue(kFile, "c", "yes", 1), 0);
    EXPECT_EQ(SLIBFileCheckKeyValue(kFile, "d", "yes", 7), 7);
    EXPECT_EQ(SLIBFileCheckKeyValue(kFile, "z", "yes", 1), 1);
    EXPECT_EQ(SLIBFileCheckKeyValue(nullptr, "a", "yes", 1), 0);
    EXPECT_EQ(SLIBFileCheckKeyValue(kFile, nullptr, "yes", 1), 0);
    EXPECT_EQ(SLIBFileCheckKeyValue(kFile, "a", nullptr, 1), 0);
    // A value of 511 bytes still fits the 512-byte buffer; 600 does not.
    WriteFile(kFile, "fits=" + std::string(511, 'y') + "\nlong=" + std::string(600, 'y') + "\n");
    EXPECT_EQ(SLIBFileCheckKeyValue(kFile, "fits", std::string(511, 'Y').c_str(), 0), 1);
    EXPECT_EQ(SLIBFileCheckKeyValue(kFile, "long", "yes", 1), 0);
    EXPECT_TRUE(
        vakotest::SyslogMatches("file_check_key_value:{L} SLIBFileGetKeyValue(long) failed, vakoerr=0x0100", LOG_ERR));
}

// Each reader records its failures under its own source name.
TEST(ConfRead, FailuresCarryTheReadersSourceName)
{
    WriteFile(kFile, "key=value\n");
    char buf[4];
    char line[] = "k=v";
    Map map;
    struct {
        const char *file;
        std::function<int()> call;
        int code;
    } cases[] = {
        {"file_get_key_value", [&] { return SLIBFileGetKeyValue(kFile, "absent", buf, sizeof buf, 0); }, 0x2000},
        {"file_get_key_value", [&] { return SLIBFileGetKeyValue("/tmp/missing.conf", "k", buf, 4, 0); }, 0x0900},
        {"file_get_key_value", [&] { return SLIBFileGetKeyValue(kFile, "key", buf, sizeof buf, 0); }, 0x0100},
        {"file_get_line", [&] { return SLIBFileGetLine(kFile, "absent", buf, sizeof buf, 0); }, 0x2000},
        {"file_get_section", [&] { return SLIBFileGetSection("/tmp/missing.conf", "s", &map.h); }, 0x0900},
        {"file_get_keys", [&] { return SLIBFileGetKeys(kFile, nullptr, &map.h, nullptr); }, 0x0D00},
        {"file_line_match", [&] { return SLIBFileLineMatch(line, "k", -1); }, 0x0D00},
        {"file_line_key_match", [&] { return SLIBFileLineKeyMatch(nullptr, "k"); }, 0x0D00},
        {"file_match_section", [&] { return SLIBFileMatchSection(line, 3, nullptr); }, 0x0D00},
    };
    for (auto &c : cases) {
        SLIBErrorSet(0);
        c.call();
        EXPECT_EQ(SLIBErrorGet(), c.code) << c.file;
        EXPECT_STREQ(SLIBErrorGetFile(), c.file);
    }
}

// A FIFO under a configuration file's name is refused at once, never waited on.
TEST(ConfRead, FifoIsRefusedWithoutWaiting)
{
    ASSERT_EQ(mkfifo(kFifo, 0666), 0);
    char buf[16];
    Map map;
    std::function<int()> readers[] = {
        [&] { return SLIBFileGetKeyValue(kFifo, "k", buf, sizeof buf, 0) == -1 ? 0 : 1; },
        [&] { return SLIBFileGetLine(kFifo, "k", buf, sizeof buf, 0) == -1 ? 0 : 1; },
        [&] { return SLIBFileGetSection(kFifo, "s", &map.h) == -1 ? 0 : 1; },
        [&] { return SLIBFileGetKeys(kFifo, nullptr, &map.h, "=") == -1 ? 0 : 1; },
    };
    for (auto &read : readers)
        EXPECT_EQ(vakotest::RunGuarded([&] { return read() == 0 && SLIBErrorGet() == 0x0900 ? 0 : 1; }), 0);
}

TEST(ConfRead, GetLine)
{
    struct {
        const char *content, *pattern;
        int flags, result;
        const char *line;
    } cases[] = {
        {"abcdef\n", "abc", OP_MATCH_BEGIN, 7, "abcdef"},
        {"xabc\n", "abc", OP_MATCH_BEGIN, 0, nullptr},
        {"xyzabc\n", "abc", OP_MATCH_END, 7, "xyzabc"},
        {"xyzabc", "abc", OP_MATCH_END, 7, "xyzabc"},
        {"bc\n", "abc", OP_MATCH_END, 0, nullptr},
        {"abcx\n", "abc", OP_MATCH_END, 0, nullptr},
        {"1 abc 1\n2 abc 2\n", "abc", 0, 8, "1 abc 1"},
        {"1 abc 1\n2 abc 2\n", "abc", OP_FIND_LAST, 8, "2 abc 2"},
        {"#abc\n;abc\n", "abc", 0, 0, nullptr},
        {"#x\nplain\n", "", 0, 6, "plain"},
        {"Grüße abc\n", "GRÜSSE", OP_MATCH_NOCASE | OP_MATCH_BEGIN, 12, "Grüße abc"},
        {"\xff abc\nABC\n", "abc", OP_MATCH_NOCASE, 4, "ABC"},
        {"abc abc\n", "abc", OP_MATCH_BEGIN | OP_MATCH_END, 8, "abc abc"},
    };
    for (auto &c : cases) {
        WriteFile(kFile, c.content);
        char buf[32];
        memset(buf, 'X', sizeof buf);
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBFileGetLine(kFile, c.pattern, buf, sizeof buf, c.flags), c.result)
            << c.content << " / " << c.pattern;
        if (c.line)
            EXPECT_STREQ(buf, c.line);
        else
            EXPECT_EQ(SLIBErrorGet(), 0x2000);
    }
}

TEST(ConfRead, GetLineBufferAndRefusals)
{
    WriteFile(kFile, "short\n" + std::string(40, 'L') + " short\n");
    char buf[16];
    EXPECT_EQ(SLIBFileGetLine(kFile, "short", buf, 6, 0), 6);
    EXPECT_STREQ(buf, "short");
    // The last match is too long: the buffer is left zeroed.
    EXPECT_EQ(SLIBFileGetLine(kFile, "short", buf, sizeof buf, OP_FIND_LAST), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0100);
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, '\0'));
    struct {
        const char *file, *pattern;
        char *buf;
        int cb, flags, code;
    } cases[] = {
        {nullptr, "x", buf, 8, 0, 0x0D00}, {kFile, nullptr, buf, 8, 0, 0x0D00}, {kFile, "x", nullptr, 8, 0, 0x0D00},
        {kFile, "x", buf, 0, 0, 0x0D00},   {kFile, "x", buf, 8, -2, 0x0D00},    {"/tmp/none", "x", buf, 8, 0, 0x0900},
    };
    for (auto &c : cases) {
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBFileGetLine(c.file, c.pattern, c.buf, c.cb, c.flags), -1);
        EXPECT_EQ(SLIBErrorGet(), c.code);
    }
}

TEST(ConfRead, LineMatch)
{
    EXPECT_EQ(SLIBFileLineMatch("a=b\n", "=", 0), 1);
    EXPECT_EQ(SLIBFileLineMatch("#a=b\n", "", 0), 0);
    EXPECT_EQ(SLIBFileLineMatch(" #a\n", "#a", OP_MATCH_END), 1);
    EXPECT_EQ(SLIBFileLineMatch("abc\n", "ABC", OP_MATCH_NOCASE | OP_MATCH_END), 1);
    // Upper-casing may lengthen a text: the copies are sized for it.
    EXPECT_EQ(SLIBFileLineMatch("straße\n", "STRASSE", OP_MATCH_NOCASE | OP_MATCH_END), 1);
    EXPECT_EQ(SLIBFileLineMatch("straße\n", "xyz", OP_MATCH_NOCASE), 0);
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBFileLineMatch(nullptr, "a", 0), 0);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBFileLineMatch("a", nullptr, 0), 0);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBFileLineMatch("a", "a", -1), 0);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
}

TEST(ConfRead, LineKeyMatchCutsTheLine)
{
    char line[] = " key = a=b\n";
    EXPECT_EQ(SLIBFileLineKeyMatch(line, "key"), 1);
    EXPECT_STREQ(line, " key "); // the first '=' after the key became NUL
    EXPECT_STREQ(line + 6, " a=b\n");
    char other[] = "keys=1\n";
    EXPECT_EQ(SLIBFileLineKeyMatch(other, "key"), 0);
    char bare[] = "key\n";
    EXPECT_EQ(SLIBFileLineKeyMatch(bare, "key"), 1);
    char comment[] = "#key=1\n";
    EXPECT_EQ(SLIBFileLineKeyMatch(comment, "#key"), 0);
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBFileLineKeyMatch(nullptr, "key"), 0);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBFileLineKeyMatch(line, nullptr), 0);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
}

TEST(ConfRead, SectionHeaders)
{
    struct {
        const char *line;
        int isHeader, namesA;
    } cases[] = {
        {"[a]\n", 1, 1}, {"[a]  \t\n", 1, 1}, {"[a] x\n", 0, 0}, {"[a", 0, 0}, {"[]\n", 1, 0},        {"[ab]\n", 1, 0},
        {"[A]\n", 1, 0}, {" [a]\n", 0, 0},    {"[a]]\n", 1, 0},  {"[", 0, 0},  {"[a]\v\f\r\n", 1, 1},
    };
    for (auto &c : cases) {
        int len = static_cast<int>(strlen(c.line));
        EXPECT_EQ(SLIBFileIsSectionLine(c.line, len), c.isHeader) << c.line;
        EXPECT_EQ(SLIBFileMatchSection(c.line, len, "a"), c.namesA) << c.line;
    }
    EXPECT_EQ(SLIBFileIsSectionLine(nullptr, 3), 0);
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBFileMatchSection(nullptr, 3, "a"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(SLIBFileMatchSection("[a]", 3, nullptr), -1);
}

// A line shorter than the header is never read past its end, whatever the
// length argument says.
TEST(ConfRead, MatchSectionStaysInsideShortLines)
{
    const char *name = "a-long-section-name";
    size_t n = 4;
    char *line = static_cast<char *>(malloc(n)); // exactly "[a-\0": no room beyond
    memcpy(line, "[a-", n);
    EXPECT_EQ(SLIBFileMatchSection(line, 200, name), 0);
    EXPECT_EQ(SLIBFileIsSectionLine(line, 200), 0);
    free(line);
}

TEST(ConfRead, GetSection)
{
    WriteFile(kFile, "[a]\nk=1\n[b]\nk=2\n");
    Map m;
    EXPECT_EQ(SLIBFileGetSection(kFile, "b", &m.h), 1);
    EXPECT_STREQ(m["k"], "2");
    EXPECT_EQ(SLIBFileGetSection(kFile, "c", &m.h), 1);
    Map n{{"x", "y"}};
    EXPECT_EQ(SLIBFileGetSection(kFile, "a", &n.h), 2);
    EXPECT_STREQ(n["k"], "1");

    WriteFile(kFile, "k=0\n[s]  \n a = \"1\" \nnoeq\n=v\nb=x=y\n#c=comment\n;d=comment\n"
                     " e=2\na=dup\n\n[t] x\n[u]\nz=9\n");
    Map s;
    // Any line beginning with '[' ends the section, a header or not.
    EXPECT_EQ(SLIBFileGetSection(kFile, "s", &s.h), 3);
    EXPECT_STREQ(s["a"], "dup");
    EXPECT_STREQ(s["b"], "x=y");
    EXPECT_STREQ(s["e"], "2");
    EXPECT_EQ(s["#c"], nullptr); // comments are not pairs
    EXPECT_EQ(s[";d"], nullptr);
    EXPECT_EQ(s["k"], nullptr);
    EXPECT_EQ(s["z"], nullptr);
}

TEST(ConfRead, GetSectionRefusals)
{
    WriteFile(kFile, "[a]\nk=1\n");
    Map m;
    PSLIBSZHASH none = nullptr;
    struct {
        const char *file, *section;
        PSLIBSZHASH *pp;
        int code;
    } cases[] = {
        {nullptr, "a", &m.h, 0x0D00}, {kFile, nullptr, &m.h, 0x0D00},   {kFile, "a", nullptr, 0x0D00},
        {kFile, "a", &none, 0x0D00},  {"/tmp/none", "a", &m.h, 0x0900},
    };
    for (auto &c : cases) {
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBFileGetSection(c.file, c.section, c.pp), -1);
        EXPECT_EQ(SLIBErrorGet(), c.code);
    }
}

TEST(ConfRead, GetKeys)
{
    WriteFile(kFile, "x=1\nx=2\n");
    List want{"x"};
    Map first;
    EXPECT_EQ(SLIBFileGetKeys(kFile, want.l, &first.h, "="), 1);
    EXPECT_STREQ(first["x"], "1");
    Map all;
    EXPECT_EQ(SLIBFileGetKeys(kFile, nullptr, &all.h, "="), 1);
    EXPECT_STREQ(all["x"], "2");
    List empty;
    Map all2;
    EXPECT_EQ(SLIBFileGetKeys(kFile, empty.l, &all2.h, "="), 1);
    EXPECT_STREQ(all2["x"], "2");

    WriteFile(kFile, "#a=1\n a = \"q\" \nnoeq\n==b==c=d\nc:3\nd=4\nd=5\n");
    Map m;
    EXPECT_EQ(SLIBFileGetKeys(kFile, nullptr, &m.h, "="), 3);
    EXPECT_STREQ(m["a"], "q");
    EXPECT_STREQ(m["b"], "=c=d");
    EXPECT_STREQ(m["d"], "5");
    Map colon;
    EXPECT_EQ(SLIBFileGetKeys(kFile, nullptr, &colon.h, ":="), 4);
    EXPECT_STREQ(colon["c"], "3");
    // Wanted keys: the first line of each wins; absent keys are no error;
    // the caller's list is not changed.
    List some{"d", "zz", "a", "d"};
    Map sel;
    EXPECT_EQ(SLIBFileGetKeys(kFile, some.l, &sel.h, "="), 2);
    EXPECT_STREQ(sel["d"], "4");
    EXPECT_STREQ(sel["a"], "q");
    EXPECT_EQ(some.l->nItem, 4);
}

TEST(ConfRead, GetKeysRefusals)
{
    WriteFile(kFile, "a=1\n");
    Map m;
    PSLIBSZHASH none = nullptr;
    struct {
        const char *file;
        PSLIBSZHASH *pp;
        const char *sep;
        int code;
    } cases[] = {
        {nullptr, &m.h, "=", 0x0D00},   {kFile, nullptr, "=", 0x0D00},    {kFile, &none, "=", 0x0D00},
        {kFile, &m.h, nullptr, 0x0D00}, {"/tmp/none", &m.h, "=", 0x0900},
    };
    for (auto &c : cases) {
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBFileGetKeys(c.file, nullptr, c.pp, c.sep), -1);
        EXPECT_EQ(SLIBErrorGet(), c.code);
    }
}

// --- big key sets ---

using Pairs = std::vector<std::pair<std::string, std::string>>;

// About n pairs as appliance files hold them: keys that differ in their
// digits (the map's key function sends them to neighbouring slots), with
// later lines of earlier keys among them, with longer and shorter values.
Pairs ManyPairs(int n)
{
    Pairs p;
    for (int i = 0; i < n; i++) {
        p.emplace_back("key" + std::to_string(i), "value of key " + std::to_string(i));
        if (i % 13 == 12)
            p.emplace_back("key" + std::to_string(i / 2), "a longer value of key " + std::to_string(i / 2));
        if (i % 17 == 16)
            p.emplace_back("key" + std::to_string(i / 3), "v");
        if (i % 29 == 28)
            p.emplace_back("share_" + std::to_string(i * 7919), std::string(i % 300, 'x'));
    }
    return p;
}

// The lines of the pairs, with lines that the readers pass over among them.
std::string Lines(const Pairs &pairs)
{
    std::string s;
    for (size_t i = 0; i < pairs.size(); i++) {
        if (i % 101 == 0)
            s += "#key" + std::to_string(i) + "=comment\n";
        if (i % 103 == 0)
            s += "no separator\n";
        s += pairs[i].first + "=" + pairs[i].second + "\n";
    }
    return s;
}

// A map of many slots with pairs, some of them keys of ManyPairs, and
// tombstones.
void Used(Map &m)
{
    SLIBSzHashFree(m.h);
    m.h = SLIBSzHashAllocator(50000, 4096);
    for (int i = 0; i < 400; i++)
        SLIBSzHashSetValue(&m.h, ("key" + std::to_string(i * 3)).c_str(), "old");
    for (int i = 0; i < 400; i += 2)
        SzSLIBSzHashRemoveKey(m.h, ("key" + std::to_string(i * 3)).c_str());
}

// Where two maps' blocks (header, slot table, string area) first differ.
::testing::AssertionResult SameBlock(PSLIBSZHASH a, PSLIBSZHASH b)
{
    size_t na = 20 + 8 * static_cast<size_t>(a->nSlot) + static_cast<size_t>(a->cbTotal);
    size_t nb = 20 + 8 * static_cast<size_t>(b->nSlot) + static_cast<size_t>(b->cbTotal);
    auto *pa = reinterpret_cast<const unsigned char *>(a), *pb = reinterpret_cast<const unsigned char *>(b);
    for (size_t i = 0; i < std::min(na, nb); i++)
        if (pa[i] != pb[i])
            return ::testing::AssertionFailure() << "blocks differ at byte " << i << " (" << a->nSlot << " slots)";
    if (na != nb)
        return ::testing::AssertionFailure() << "block sizes " << na << " and " << nb;
    return ::testing::AssertionSuccess();
}

// Reading a file or section puts every pair in the very slot, and every
// byte of the map where, setting the pairs one by one in file order would:
// the order of the lines written back from the map depends on it.
TEST(ConfRead, BigKeySetsFillTheMapAsSettingEachPair)
{
    const char *kSection = "/tmp/section.conf";
    struct {
        int n;
        bool used;
    } cases[] = {{10000, false}, {10000, true}, {100000, false}};
    for (auto c : cases) {
        Pairs pairs = ManyPairs(c.n);
        std::string lines = Lines(pairs);
        WriteFile(kFile, lines);
        WriteFile(kSection, "[a]\nkey1=a\n[s]\n" + lines + "[t]\nkey2=t\n");
        Map plain, keys, section;
        if (c.used)
            for (Map *m : {&plain, &keys, &section})
                Used(*m);
        for (const auto &p : pairs)
            ASSERT_GE(SLIBSzHashSetValue(&plain.h, p.first.c_str(), p.second.c_str()), 0);
        EXPECT_EQ(SLIBFileGetKeys(kFile, nullptr, &keys.h, "="), plain.h->nItem) << c.n;
        EXPECT_TRUE(SameBlock(keys.h, plain.h)) << c.n << (c.used ? " into a used map" : "");
        EXPECT_EQ(SLIBFileGetSection(kSection, "s", &section.h), plain.h->nItem) << c.n;
        EXPECT_TRUE(SameBlock(section.h, plain.h)) << c.n << (c.used ? " into a used map" : "");
    }
}

// Maps made with one to four slots, full or with a removed pair in a home
// slot, are filled by the readers as by setting each pair.
TEST(ConfRead, SmallMapsFillAsSettingEachPair)
{
    const char *kSection = "/tmp/section.conf";
    Pairs pairs = {{"x", "1"}, {"y", "22"}, {"k1", "333"}, {"z", "4"}, {"x", "55555"}, {"w", "6"}};
    WriteFile(kFile, Lines(pairs));
    WriteFile(kSection, "[s]\n" + Lines(pairs));
    for (int nSlot = 1; nSlot <= 4; nSlot++) {
        for (bool removed : {false, true}) {
            Map plain, keys, section;
            for (Map *m : {&plain, &keys, &section}) {
                SLIBSzHashFree(m->h);
                m->h = SLIBSzHashAllocator(nSlot, 16);
                for (int i = 0; i < nSlot; i++)
                    SLIBSzHashSetValue(&m->h, ("k" + std::to_string(i)).c_str(), "v");
                if (removed)
                    SzSLIBSzHashRemoveKey(m->h, "k0");
            }
            for (const auto &p : pairs)
                ASSERT_GE(SLIBSzHashSetValue(&plain.h, p.first.c_str(), p.second.c_str()), 0);
            std::string what = std::to_string(nSlot) + (removed ? " slots, one removed" : " slots");
            EXPECT_EQ(SLIBFileGetKeys(kFile, nullptr, &keys.h, "="), plain.h->nItem) << what;
            EXPECT_TRUE(SameBlock(keys.h, plain.h)) << what;
            EXPECT_EQ(SLIBFileGetSection(kSection, "s", &section.h), plain.h->nItem) << what;
            EXPECT_TRUE(SameBlock(section.h, plain.h)) << what;
        }
    }
}

// A pair that cannot be stored is a failure, not a shorter map.
TEST(ConfRead, FailedStoreIsReported)
{
    VAKOTEST_SKIP_UNLESS_ALLOCATIONS_CAN_FAIL();
    // The first pair of 3 MiB asks for a map of 32 such pairs.
    std::string big(3 << 20, 'v');
    WriteFile(kFile, "big=" + big + "\nz=2\n");
    WriteFile("/tmp/section.conf", "[s]\nbig=" + big + "\nz=2\n");
    Map keys, section;
    PSLIBSZHASH before = keys.h;
    int rKeys = 0, rSection = 0;
    ASSERT_TRUE(vakotest::WithAddressSpaceLimit(64 << 20, [&] {
        rKeys = SLIBFileGetKeys(kFile, nullptr, &keys.h, "=");
        rSection = SLIBFileGetSection("/tmp/section.conf", "s", &section.h);
    }));
    EXPECT_EQ(rKeys, -1);
    EXPECT_EQ(rSection, -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0200);
    EXPECT_EQ(keys.h, before); // the caller's map is intact
    EXPECT_EQ(keys.h->nItem, 0);
    EXPECT_EQ(section.h->nItem, 0);
}

} // namespace
