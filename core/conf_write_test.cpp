#include "slib/conf_write.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "vakotest/szblocks.h"
#include "slib/conf_read.h"
#include "slib/error.h"
#include "vakotest/files.h"
#include "vakotest/planted.h"
#include "vakotest/run.h"

using Map = vakotest::SzHash;
using vakotest::ListDir;
using vakotest::ReadFile;
using vakotest::WriteFile;

namespace {

const std::string kDir = "/tmp/w";
const std::string kPath = kDir + "/test.conf";
const char *kFile = kPath.c_str();

using Op = std::function<int()>;

struct Result {
    int result;
    std::string content;
};

// Runs op on a file of `before`; returns its result and the file after.
Result RunOn(const std::string &before, const Op &op)
{
    vakotest::MakeDirs(kDir);
    WriteFile(kPath, before);
    int r = op();
    EXPECT_EQ(ListDir(kDir), std::vector<std::string>{"test.conf"}) << "a temporary file is left";
    return {r, vakotest::FileExists(kPath) ? ReadFile(kPath) : "<missing>"};
}

struct Case {
    const char *name, *before;
    Op op;
    int result = -1;
    const char *after = "";
    int code = 0;              // with result 0 or -1: the code recorded
    const char *src = nullptr; // and, when given, the source name it is recorded under
};

void RunCases(const std::vector<Case> &cases)
{
    for (const auto &c : cases) {
        SLIBErrorSet(0);
        Result r = RunOn(c.before, c.op);
        EXPECT_EQ(r.result, c.result) << c.name;
        EXPECT_EQ(r.content, c.after) << c.name;
        if (c.result <= 0) {
            EXPECT_EQ(SLIBErrorGet(), c.code) << c.name;
            if (c.src) {
                EXPECT_STREQ(SLIBErrorGetFile(), c.src) << c.name;
            }
        }
    }
}

TEST(ConfWrite, SetKeyValue)
{
    auto set = [](const char *k, const char *v, const char *fmt = nullptr) {
        return [=] { return SLIBFileSetKeyValue(kFile, k, v, fmt); };
    };
    RunCases({
        {"replace, later line dropped", "a=1\nb=x\na=3\n", set("a", "2"), 1, "a=2\nb=x\n"},
        {"append after unterminated", "a=1", set("c", "v"), 1, "a=1\nc=v\n"},
        {"line without '='", "key\n", set("key", "v"), 1, "key=v\n"},
        {"own key text kept", " key =old\n", set("key", "new"), 1, " key =new\n"},
        {"quoted key kept", "\"key\"=old\n", set("key", "new"), 1, "\"key\"=new\n"},
        {"leading '=' kept", "=key=v\n", set("key", "w"), 1, "=key=w\n"},
        {"comment untouched", "#a=1\n;a=2\n", set("a", "3"), 1, "#a=1\n;a=2\na=3\n"},
        {"empty file", "", set("k", "v"), 1, "k=v\n"},
        {"value not a format", "k=1\n", set("k", "%s%d%n"), 1, "k=%s%d%n\n"},
        {"line format", "x=1\ny=2\n", set("x", "9", "%s = \"%s\"\n"), 1, "x = \"9\"\ny=2\n"},
        {"empty value", "x=1\n", set("x", ""), 1, "x=\n"},
    });
}

// A crash can leave the last line as NUL bytes without a line end: a line
// appended after it still starts a line of its own, and readers find it.
TEST(ConfWrite, AppendAfterACrashTail)
{
    const std::string tail("a=1\n\0\0\0", 7);
    struct {
        const char *name;
        Op op;
        int result;
        std::string added;
    } cases[] = {
        {"set key", [] { return SLIBFileSetKeyValue(kFile, "c", "v", nullptr); }, 1, "c=v\n"},
        {"set keys",
         [] {
             Map set{{"c", "v"}};
             return SLIBFileSetKeys(kFile, set.h, nullptr, nullptr);
         },
         1, "c=v\n"},
        {"add after the last line", [] { return SLIBFileAddLine(kFile, "", "c=v", OP_FIND_LAST | OP_FIND_PREFIX); }, 1,
         "c=v\n"},
        {"append in place", [] { return SLIBFileAddLine(kFile, nullptr, "c=v", OP_FIND_PREFIX); }, 1, "c=v\n"},
        {"add section",
         [] {
             Map m{{"c", "v"}};
             return ErrSLIBFileAddSection(kFile, "s", m.h, nullptr);
         },
         1, "[s]\nc=v\n"},
    };
    for (const auto &c : cases) {
        Result r = RunOn(tail, c.op);
        EXPECT_EQ(r.result, c.result) << c.name;
        EXPECT_EQ(r.content, tail + "\n" + c.added) << c.name;
        char buf[8] = {};
        EXPECT_EQ(SLIBFileGetKeyValue(kFile, "c", buf, sizeof buf, 0), 2) << c.name;
        EXPECT_STREQ(buf, "v") << c.name;
    }
}

TEST(ConfWrite, SetKeyValueCreatesAMissingFile)
{
    vakotest::MakeDirs(kDir);
    umask(022);
    EXPECT_EQ(SLIBFileSetKeyValue(kFile, "k", "v", nullptr), 1);
    EXPECT_EQ(ReadFile(kPath), "k=v\n");
    EXPECT_EQ(vakotest::FileMode(kPath), 0644u);
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBFileSetKeyValue("/tmp/no-such-dir/f", "k", "v", nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
}

TEST(ConfWrite, SetKeys)
{
    Map set{{"a", "1"}, {"z", "9"}};
    Result r = RunOn("a=0\n#a=5\na=7\n", [&] { return SLIBFileSetKeys(kFile, set.h, nullptr, nullptr); });
    EXPECT_EQ(r.result, 2);
    EXPECT_EQ(r.content, "a=1\n#a=5\na=7\nz=9\n");
    EXPECT_EQ(set.pairs(), std::vector<std::string>{"z=9"}); // z stays, a left

    Map set2{{"b", "2"}}, remove{{"b", ""}};
    r = RunOn("b=1\n", [&] { return SLIBFileSetKeys(kFile, set2.h, remove.h, nullptr); });
    EXPECT_EQ(r.result, 2);
    EXPECT_EQ(r.content, "b=2\n");
    EXPECT_EQ(remove.h->nItem, 0);

    Map set3{{"a", "1"}, {"c", "3"}}, remove3{{"b", "x"}, {"q", "x"}};
    r = RunOn(" a = 0\n\n  #c=comment\nb=1\n b =2\nc\nd=4",
              [&] { return SLIBFileSetKeys(kFile, set3.h, remove3.h, "%s = %s\n"); });
    EXPECT_EQ(r.result, 3);
    // The first b is removed; b has left the remove map, so the second stays.
    EXPECT_EQ(r.content, "a = 1\n\n  #c=comment\n b =2\nc = 3\nd=4");
    EXPECT_EQ(remove3.pairs(), std::vector<std::string>{"q=x"});
}

// A key line is the line of the key the readers find in it: the quoted
// key's line is rewritten, not a second line appended after it.
TEST(ConfWrite, SetKeysFindsKeysAsTheReadersDo)
{
    struct Case {
        const char *what, *before, *after;
    } cases[] = {
        {"quoted key", "\"key\"=\"old\"\nb=1\n", "key=new\nb=1\n"},
        {"quoted key with blanks", " \"key\" = old\n", "key=new\n"},
        {"whole line quoted: its key is '\"key'", "\"key=old\"\n", "\"key=old\"\nkey=new\n"},
        {"comment after blanks", "  #key=old\n", "  #key=old\nkey=new\n"},
    };
    for (const Case &c : cases) {
        Map set{{"key", "new"}};
        Result r = RunOn(c.before, [&] { return SLIBFileSetKeys(kFile, set.h, nullptr, nullptr); });
        EXPECT_EQ(r.result, 1) << c.what;
        EXPECT_EQ(r.content, c.after) << c.what;
        WriteFile(kPath, c.after);
        char buf[8] = {};
        EXPECT_EQ(SLIBFileGetKeyValue(kFile, "key", buf, sizeof buf, 0), 4) << c.what;
        EXPECT_STREQ(buf, "new") << c.what;
    }
}

// Keys appended from a map come in the map's slot order, byte for byte.
TEST(ConfWrite, SetKeysAppendsInSlotOrder)
{
    Map set;
    for (int i = 0; i < 30; i++)
        SLIBSzHashSetValue(&set.h, ("key" + std::to_string(i)).c_str(), ("v" + std::to_string(i)).c_str());
    Result r = RunOn("top=1", [&] { return SLIBFileSetKeys(kFile, set.h, nullptr, nullptr); });
    EXPECT_EQ(r.result, 30);
    std::string want = "top=1\n";
    for (int i :
         {10, 20, 21, 22, 23, 12, 14, 16, 18, 11, 13, 15, 17, 19, 24, 25, 26, 27, 28, 29, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9})
        want += "key" + std::to_string(i) + "=v" + std::to_string(i) + "\n";
    EXPECT_EQ(r.content, want);
}

TEST(ConfWrite, SetKeysOnAMissingFile)
{
    vakotest::MakeDirs(kDir);
    umask(077);
    Map set{{"x", "1"}};
    EXPECT_EQ(SLIBFileSetKeys(kFile, set.h, nullptr, nullptr), 1);
    EXPECT_EQ(ReadFile(kPath), "x=1\n");
    EXPECT_EQ(vakotest::FileMode(kPath), 0644u);
    EXPECT_EQ(vakotest::FileUid(kPath), getuid());
    EXPECT_EQ(ListDir(kDir), std::vector<std::string>{"test.conf"});
}

TEST(ConfWrite, RemoveKey)
{
    auto rm = [](const char *k) { return [=] { return SLIBFileRemoveKey(kFile, k); }; };
    RunCases({
        {"every line of the key", "a=1\nb=2\n a =3\n#a=4\na\n", rm("a"), 3, "b=2\n#a=4\n"},
        {"absent", "b=2\n", rm("a"), 0, "b=2\n", 0x2000, "file_remove_key"},
    });
    SLIBErrorSet(0x0900);
    EXPECT_EQ(SLIBFileRemoveKey("/tmp/w/missing", "a"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0900); // no code of its own
}

TEST(ConfWrite, SetLine)
{
    auto sl = [](const char *pat, const char *nl, int flags) {
        return [=] { return SLIBFileSetLine(kFile, pat, nl, flags); };
    };
    RunCases({
        {"first match", "x1\ny\nx2\n", sl("x", "N", 0), 1, "N\ny\nx2\n"},
        {"last match", "x1\ny\nx2\n", sl("x", "N", OP_FIND_LAST), 1, "x1\ny\nN\n"},
        {"remove first", "x1\ny\nx2\n", sl("x", nullptr, 0), 1, "y\nx2\n"},
        {"remove last", "x1\ny\nx2\n", sl("x", nullptr, OP_FIND_LAST), 1, "x1\ny\n"},
        {"unterminated last", "a\nx", sl("x", "N", 0), 1, "a\nN\n"},
        {"begin flag", "ax\nxa\n", sl("x", "N", OP_MATCH_BEGIN), 1, "ax\nN\n"},
        {"no match", "a\n", sl("x", "N", 0), 0, "a\n", 0x2000, "file_set_line"},
        {"comments never match", "#x\n", sl("x", "N", 0), 0, "#x\n", 0x2000},
        {"negative flags match nothing", "x\n", sl("x", "N", -1), 0, "x\n", 0x2000},
    });
    vakotest::RemoveFile(kPath);
    EXPECT_EQ(SLIBFileSetLine(kFile, "x", "N", 0), 1);
    EXPECT_EQ(ReadFile(kPath), "N\n");
    vakotest::RemoveFile(kPath);
    EXPECT_EQ(SLIBFileSetLine(kFile, "x", nullptr, 0), 1);
    EXPECT_EQ(ReadFile(kPath), "");
}

TEST(ConfWrite, AddLine)
{
    auto al = [](const char *pat, int flags) { return [=] { return SLIBFileAddLine(kFile, pat, "NEW", flags); }; };
    RunCases({
        {"after match", "x\ny\n", al("x", OP_FIND_PREFIX), 1, "x\nNEW\ny\n"},
        {"before match", "x\ny\n", al("x", 0), 1, "NEW\nx\ny\n"},
        {"before last match", "x\ny\nx\n", al("x", OP_FIND_LAST), 1, "x\ny\nNEW\nx\n"},
        {"after the last line", "x\ny", al("y", OP_FIND_PREFIX), 1, "x\ny\nNEW\n"},
        {"no match", "x\ny\n", al("z", 0), 0, "x\ny\n", 0x2000, "file_add_line"},
        {"no pattern: first line", "x\ny\n", al(nullptr, 0), 1, "NEW\nx\ny\n"},
        {"no pattern: empty file", "", al(nullptr, 0), 1, "NEW\n"},
        {"append in place", "x\ny\n", al(nullptr, OP_FIND_PREFIX), 1, "x\ny\nNEW\n"},
        {"append after unterminated", "x", al(nullptr, OP_FIND_PREFIX), 1, "x\nNEW\n"},
        {"append to empty", "", al(nullptr, OP_FIND_PREFIX), 1, "NEW\n"},
    });
    // The pattern-less append works on the file itself.
    WriteFile(kPath, "x\n");
    struct stat before, after;
    stat(kFile, &before);
    EXPECT_EQ(SLIBFileAddLine(kFile, nullptr, "y", OP_FIND_PREFIX), 1);
    stat(kFile, &after);
    EXPECT_EQ(before.st_ino, after.st_ino);
    vakotest::RemoveFile(kPath);
    EXPECT_EQ(SLIBFileAddLine(kFile, "p", "NEW", 0), 1);
    EXPECT_EQ(ReadFile(kPath), "NEW\n");
}

TEST(ConfWrite, ReplaceSubStr)
{
    auto rs = [](const char *o, const char *n) { return [=] { return SLIBFileReplaceSubStr(kFile, o, n); }; };
    RunCases({
        {"no overlap", "aaaa\n", rs("aa", "a"), 2, "aa\n"},
        {"comments too", "#xa\nya\n", rs("a", "bb"), 2, "#xbb\nybb\n"},
        {"new text not searched again", "a\na", rs("a", "aa"), 2, "aa\naa"},
        {"none", "abc\n", rs("x", "y"), 0, "abc\n", 0x2000, "file_replace_sub_str"},
    });
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBFileReplaceSubStr("/tmp/w/missing", "a", "b"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
}

TEST(ConfWrite, AddSection)
{
    Map m{{"k", "v"}};
    auto as = [&](const char *s) { return [=, &m] { return ErrSLIBFileAddSection(kFile, s, m.h, nullptr); }; };
    RunCases({
        {"present", "[s]\nk=1\n", as("s"), 0, "[s]\nk=1\n"},
        {"after unterminated", "a=1", as("t"), 1, "a=1\n[t]\nk=v\n"},
        {"empty file", "", as("t"), 1, "\n[t]\nk=v\n"},
        {"after sections", "[x]\ny=1\n", as("t"), 1, "[x]\ny=1\n[t]\nk=v\n"},
        {"header with blanks", "[t] \t\n", as("t"), 0, "[t] \t\n"},
    });
    SLIBErrorSet(0);
    EXPECT_EQ(ErrSLIBFileAddSection("/tmp/w/missing", "s", m.h, nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
    EXPECT_FALSE(vakotest::FileExists("/tmp/w/missing"));
}

TEST(ConfWrite, SetSection)
{
    Map m{{"k", "9"}};
    auto ss = [&](const char *o, const char *n, int flags) {
        return [=, &m] { return SLIBFileModifySection(kFile, o, n, m.h, flags, nullptr); };
    };
    const char *file = "[s]\nk=1\n#c\n\n[t]\nu=2\n";
    RunCases({
        {"replace", file, [&] { return ErrSLIBFileSetSection(kFile, "s", nullptr, m.h, nullptr); }, 1,
         "[s]\nk=9\n#c\n[t]\nu=2\n"},
        {"rename", file, ss("s", "r", 1), 1, "[r]\nk=9\n#c\n[t]\nu=2\n"},
        {"delete keeps comments", file, ss("s", nullptr, 0), 1, "#c\n[t]\nu=2\n"},
        {"last section", file, ss("t", nullptr, 1), 1, "[s]\nk=1\n#c\n\n[t]\nk=9\n"},
        {"absent", file, ss("x", nullptr, 1), 0, file, 0x2000, "file_modify_section"},
        {"'[' line that is no header stays inside", "[s]\n[x] y\nk=1\n[t]\n", ss("s", nullptr, 1), 1,
         "[s]\nk=9\n[t]\n"},
    });
    SLIBErrorSet(0);
    EXPECT_EQ(ErrSLIBFileSetSection(kFile, "s", nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    SLIBErrorSet(0);
    EXPECT_EQ(ErrSLIBFileSetSection("/tmp/w/missing", "s", nullptr, m.h, nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
}

// Reading a section and writing it back must give the same file, round
// after round: comments are neither pairs nor lost.
TEST(ConfWrite, SectionReadModifyWriteRounds)
{
    vakotest::MakeDirs(kDir);
    WriteFile(kPath, "[s]\nk=1\n#c=x\n;d=y\nm=2\n\n[t]\nu=2\n");
    for (int round = 1; round <= 3; round++) {
        Map m;
        ASSERT_EQ(SLIBFileGetSection(kFile, "s", &m.h), 2) << round;
        SLIBSzHashSetValue(&m.h, "k", std::to_string(round).c_str());
        ASSERT_EQ(ErrSLIBFileSetSection(kFile, "s", nullptr, m.h, nullptr), 1);
        EXPECT_EQ(ReadFile(kPath), "[s]\nk=" + std::to_string(round) + "\nm=2\n#c=x\n;d=y\n[t]\nu=2\n") << round;
    }
}

TEST(ConfWrite, Hash2File)
{
    Map m;
    for (int i = 0; i < 30; i++)
        SLIBSzHashSetValue(&m.h, ("key" + std::to_string(i)).c_str(), "v");
    char *buf = nullptr;
    size_t size = 0;
    FILE *fp = open_memstream(&buf, &size);
    EXPECT_EQ(SLIBFileHash2File(fp, "sec", m.h, "%s = %s\n"), 0);
    EXPECT_EQ(SLIBFileHash2File(fp, "empty", nullptr, nullptr), 0);
    fclose(fp);
    std::string want = "[sec]\n";
    for (int i :
         {10, 20, 21, 22, 23, 12, 14, 16, 18, 11, 13, 15, 17, 19, 24, 25, 26, 27, 28, 29, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9})
        want += "key" + std::to_string(i) + " = v\n";
    want += "[empty]\n";
    EXPECT_EQ(std::string(buf, size), want);
    free(buf);
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBFileHash2File(stdout, nullptr, m.h, "%s %s\n"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(SLIBFileHash2File(nullptr, nullptr, m.h, nullptr), -1);
}

TEST(ConfWrite, LineFormatCheck)
{
    struct {
        const char *fmt;
        int ok;
    } cases[] = {
        {nullptr, 1},     {"%s=%s\n", 1},   {"%s = \"%s\"\n", 1}, {"%s=%s\n\n", 1}, {"%% %s=%s\n", 1},
        {"%s\n", 0},      {"%s=%s", 0},     {"=%s%s\n", 0},       {"%s%s=\n", 0},   {"%s=%d\n", 0},
        {"%s=%s%s\n", 0}, {"%n%s=%s\n", 0}, {"%%s=%s\n", 0},      {"", 0},
    };
    for (auto &c : cases)
        EXPECT_EQ(FileHashLineFormatCheck(c.fmt), c.ok) << (c.fmt ? c.fmt : "NULL");
}

// Text that would make lines of its own is refused; the file stays.
TEST(ConfWrite, InjectionRefused)
{
    Map badValue{{"k", "v\nroot=1"}}, badKey{{"a=b", "v"}}, crKey{{"k\r", "v"}};
    const char *before = "[s]\nk=1\n";
    std::vector<Case> cases = {
        {"key with LF", before, [] { return SLIBFileSetKeyValue(kFile, "k\nx", "v", nullptr); }},
        {"key with CR", before, [] { return SLIBFileSetKeyValue(kFile, "k\r", "v", nullptr); }},
        {"key with '='", before, [] { return SLIBFileSetKeyValue(kFile, "a=b", "v", nullptr); }},
        {"value with LF", before, [] { return SLIBFileSetKeyValue(kFile, "k", "v\n[x]", nullptr); }},
        {"value with CR", before, [] { return SLIBFileSetKeyValue(kFile, "k", "v\r", nullptr); }},
        {"set value with LF", before, [&] { return SLIBFileSetKeys(kFile, badValue.h, nullptr, nullptr); }},
        {"set key with '='", before, [&] { return SLIBFileSetKeys(kFile, badKey.h, nullptr, nullptr); }},
        {"section pair", before, [&] { return ErrSLIBFileSetSection(kFile, "s", nullptr, crKey.h, nullptr); }},
        {"new section name", before, [&] { return ErrSLIBFileSetSection(kFile, "s", "a\nb", badKey.h, nullptr); }},
        {"added section pair", before, [&] { return ErrSLIBFileAddSection(kFile, "t", badValue.h, nullptr); }},
        {"added section name", before,
         [] {
             Map m{{"k", "v"}};
             return ErrSLIBFileAddSection(kFile, "t]\n[u", m.h, nullptr);
         }},
        {"new line", before, [] { return SLIBFileSetLine(kFile, "k", "a\nb", 0); }},
        {"added line", before, [] { return SLIBFileAddLine(kFile, nullptr, "a\rb", OP_FIND_PREFIX); }},
        {"format", before, [] { return SLIBFileSetKeyValue(kFile, "k", "v", "%s=%s=%s\n"); }},
    };
    for (auto &c : cases) {
        c.result = -1;
        c.after = before;
        c.code = 0x0D00;
    }
    RunCases(cases);
}

// Refused with 0x0D00, recorded under the writer's own source name.
TEST(ConfWrite, BadArguments)
{
    Map m;
    std::vector<Case> cases = {
        {"file_set_key_value", "", [] { return SLIBFileSetKeyValue(nullptr, "k", "v", nullptr); }},
        {"file_set_key_value", "", [] { return SLIBFileSetKeyValue(kFile, nullptr, "v", nullptr); }},
        {"file_set_key_value", "", [] { return SLIBFileSetKeyValue(kFile, "k", nullptr, nullptr); }},
        {"file_set_keys", "", [] { return SLIBFileSetKeys(kFile, nullptr, nullptr, nullptr); }},
        {"file_remove_key", "", [] { return SLIBFileRemoveKey(kFile, nullptr); }},
        {"file_set_line", "", [] { return SLIBFileSetLine(kFile, nullptr, "x", 0); }},
        {"file_add_line", "", [] { return SLIBFileAddLine(kFile, "x", nullptr, 0); }},
        {"file_add_line", "", [] { return SLIBFileAddLine(kFile, "x", "y", -1); }},
        {"file_replace_sub_str", "", [] { return SLIBFileReplaceSubStr(kFile, "", "y"); }},
        {"file_replace_sub_str", "", [] { return SLIBFileReplaceSubStr(kFile, "x", nullptr); }},
        {"file_add_section", "", [] { return ErrSLIBFileAddSection(kFile, "s", nullptr, nullptr); }},
        {"file_set_section", "", [] { return ErrSLIBFileSetSection(kFile, "s", nullptr, nullptr, nullptr); }},
        {"file_modify_section", "", [&] { return SLIBFileModifySection(kFile, nullptr, nullptr, m.h, 1, nullptr); }},
        {"file_hash2file", "", [&] { return SLIBFileHash2File(stdout, "s", m.h, "%s\n"); }},
    };
    for (auto &c : cases) {
        c.result = -1;
        c.after = "";
        c.code = 0x0D00;
        c.src = c.name;
    }
    RunCases(cases);
}

TEST(ConfWrite, AttributesKept)
{
    vakotest::MakeDirs(kDir);
    WriteFile(kPath, "a=1\n");
    ASSERT_EQ(chown(kFile, 123, 456), 0);
    ASSERT_EQ(chmod(kFile, 04751), 0);
    Map set{{"b", "2"}}, sect{{"k", "v"}};
    const std::vector<std::pair<const char *, Op>> ops = {
        {"set key value", [] { return SLIBFileSetKeyValue(kFile, "a", "2", nullptr); }},
        {"set keys", [&] { return SLIBFileSetKeys(kFile, set.h, nullptr, nullptr); }},
        {"set line", [] { return SLIBFileSetLine(kFile, "a", "a=3", 0); }},
        {"add line", [] { return SLIBFileAddLine(kFile, "a", "c=1", 0); }},
        {"replace", [] { return SLIBFileReplaceSubStr(kFile, "c=1", "c=2"); }},
        {"remove key", [] { return SLIBFileRemoveKey(kFile, "c"); }},
        {"set section", [&] { return ErrSLIBFileSetSection(kFile, "s", nullptr, sect.h, nullptr); }},
    };
    for (auto &[name, op] : ops) {
        EXPECT_GE(op(), 0) << name;
        EXPECT_EQ(vakotest::FileMode(kPath), 04751u) << name;
        EXPECT_EQ(vakotest::FileUid(kPath), 123u) << name;
        EXPECT_EQ(vakotest::FileGid(kPath), 456u) << name;
    }
    EXPECT_EQ(ReadFile(kPath), "a=3\nb=2\n");
    EXPECT_EQ(ListDir(kDir), std::vector<std::string>{"test.conf"});
}

TEST(ConfWrite, TargetsThatCannotBeRewritten)
{
    vakotest::MakeDirs(kDir + "/sub");
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBFileSetKeyValue((kDir + "/sub").c_str(), "k", "v", nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
    EXPECT_EQ(ListDir(kDir), std::vector<std::string>{"sub"});
    // The temporary name "<path>.XXXXXX" must fit its 4096-byte buffer.
    std::string dots;
    for (int i = 0; i < 2040; i++)
        dots += "./";
    std::string fits = kDir + "/" + dots + "f", tooLong = kDir + "/" + dots + "ff";
    ASSERT_EQ(fits.size(), 4088u);
    ASSERT_EQ(tooLong.size(), 4089u);
    WriteFile(kDir + "/f", "k=1\n");
    WriteFile(kDir + "/ff", "k=1\n");
    EXPECT_EQ(SLIBFileSetKeyValue(fits.c_str(), "k", "2", nullptr), 1);
    EXPECT_EQ(ReadFile(kDir + "/f"), "k=2\n");
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBFileSetKeyValue(tooLong.c_str(), "k", "3", nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
    EXPECT_EQ(ReadFile(kDir + "/ff"), "k=1\n");
    EXPECT_EQ(ListDir(kDir), (std::vector<std::string>{"f", "ff", "sub"}));
}

// --- targets that would make a writer wait, or write where it should not ---

// Every writer, on a file given by path; each would change a file of
// "k=1\n[s]\nk=1\n".
struct Writer {
    const char *name;
    std::function<int(const char *)> op;
};

std::vector<Writer> EveryWriter()
{
    return {
        {"set key value", [](const char *f) { return SLIBFileSetKeyValue(f, "k", "2", nullptr); }},
        {"set keys",
         [](const char *f) {
             Map set{{"k", "2"}};
             return SLIBFileSetKeys(f, set.h, nullptr, nullptr);
         }},
        {"remove key", [](const char *f) { return SLIBFileRemoveKey(f, "k"); }},
        {"set line", [](const char *f) { return SLIBFileSetLine(f, "k", "k=2", 0); }},
        {"add line", [](const char *f) { return SLIBFileAddLine(f, "k", "n=1", 0); }},
        {"add line in place", [](const char *f) { return SLIBFileAddLine(f, nullptr, "n=1", OP_FIND_PREFIX); }},
        {"replace", [](const char *f) { return SLIBFileReplaceSubStr(f, "k", "j"); }},
        {"set section",
         [](const char *f) {
             Map pairs{{"k", "2"}};
             return ErrSLIBFileSetSection(f, "s", nullptr, pairs.h, nullptr);
         }},
        {"add section",
         [](const char *f) {
             Map pairs{{"k", "2"}};
             return ErrSLIBFileAddSection(f, "t", pairs.h, nullptr);
         }},
    };
}

// Runs the writer in a child that a hang cannot stall: 0 when it refused
// the target with 0x0900, 1 when it did anything else, 142 when it hung.
int RefusedInChild(const Writer &w, const std::string &path)
{
    return vakotest::RunGuarded([&] {
        SLIBErrorSet(0);
        int r = w.op(path.c_str());
        return r == -1 && SLIBErrorGet() == 0x0900 ? 0 : 1;
    });
}

TEST(ConfWrite, FifoTargetIsRefusedWithoutWaiting)
{
    vakotest::MakeDirs(kDir);
    for (const Writer &w : EveryWriter()) {
        // One with nobody at its other end, one that another process keeps full.
        for (bool full : {false, true}) {
            SCOPED_TRACE(std::string(w.name) + (full ? ", full FIFO" : ", FIFO"));
            std::optional<vakotest::Planted> planted;
            if (full) {
                planted.emplace(vakotest::Plant::kFullFifo, kPath);
            } else {
                vakotest::RemoveFile(kPath);
                ASSERT_EQ(mkfifo(kFile, 0644), 0);
            }
            EXPECT_EQ(RefusedInChild(w, kPath), 0);
            struct stat st;
            ASSERT_EQ(lstat(kFile, &st), 0);
            EXPECT_TRUE(S_ISFIFO(st.st_mode));
            EXPECT_EQ(ListDir(kDir), std::vector<std::string>{"test.conf"});
        }
    }
}

// In a directory where anyone may put names (as /tmp), a name that another
// user left must not make root write through it, nor hand root's text to
// that user's file.
TEST(ConfWrite, NamesPlantedInASharedDirectoryAreRefused)
{
    const std::string shared = "/tmp/shared", path = shared + "/test.conf";
    vakotest::MakeDirs(shared, 01777);
    for (vakotest::Plant plant : vakotest::kEveryPlant) {
        for (const Writer &w : EveryWriter()) {
            SCOPED_TRACE(std::string(vakotest::PlantName(plant)) + ", " + w.name);
            vakotest::Planted planted(plant, path);
            EXPECT_EQ(RefusedInChild(w, path), 0);
            EXPECT_TRUE(planted.VictimsUntouched());
            if (plant == vakotest::Plant::kFileOfAnotherUser) {
                EXPECT_EQ(ReadFile(path), vakotest::Planted::kForeignContent);
                EXPECT_EQ(vakotest::FileUid(path), 1000u);
            }
            EXPECT_EQ(ListDir(shared), std::vector<std::string>{"test.conf"});
        }
    }
    // A file of the caller's own there is written as anywhere else, and a
    // missing one is created.
    for (const Writer &w : EveryWriter()) {
        SCOPED_TRACE(w.name);
        vakotest::RemoveFile(path);
        WriteFile(path, "k=1\n[s]\nk=1\n");
        EXPECT_GT(w.op(path.c_str()), 0);
        EXPECT_EQ(ListDir(shared), std::vector<std::string>{"test.conf"});
    }
    vakotest::RemoveFile(path);
    EXPECT_EQ(SLIBFileSetKeyValue(path.c_str(), "k", "v", nullptr), 1);
    EXPECT_EQ(ReadFile(path), "k=v\n");
}

TEST(ConfWrite, Remove)
{
    vakotest::MakeDirs(kDir);
    WriteFile(kPath, "x");
    SLIBErrorSet(0x0900);
    EXPECT_EQ(SLIBFileRemove(kFile), 0);
    EXPECT_FALSE(vakotest::FileExists(kPath));
    EXPECT_EQ(SLIBFileRemove(kFile), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
}

} // namespace
