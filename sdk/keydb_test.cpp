#include "vako/keydb.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "vakotest/bigmem.h"
#include "vakotest/logs.h"
#include "vakotest/planted.h"
#include "slib/error.h"
#include "slib/szlist.h"
#include "vakotest/testkit.h"
#include "vakotest/words.h"

namespace {

constexpr char kPath[] = "/tmp/.db.keydbtest.0966";

std::string Str(const void *p, int cb) { return std::string(static_cast<const char *>(p), static_cast<size_t>(cb)); }

using vakotest::NativeWord;

// Owner of an open file and of the two growing buffers of its reads.
class Db {
public:
    explicit Db(int bDup = 0, const char *path = kPath)
    {
        bdb_ = VAKOBDbOpen(path, O_RDWR | O_CREAT, bDup);
        EXPECT_NE(bdb_, nullptr) << std::hex << SLIBErrorGet();
    }
    ~Db()
    {
        if (bdb_)
            VAKOBDbClose(bdb_);
        VAKOBDbDataFree(key_);
        VAKOBDbDataFree(data_);
    }
    Db(const Db &) = delete;
    Db &operator=(const Db &) = delete;
    VAKOBDB *get() const { return bdb_; }

    void Put(const std::string &key, const std::string &value)
    {
        ASSERT_EQ(
            VAKOBDbSet(bdb_, key.data(), static_cast<int>(key.size()), value.data(), static_cast<int>(value.size())),
            0);
    }
    // The value of key, or "<absent>" / "<error XXXX>".
    std::string Get(const std::string &key)
    {
        if (VAKOBDbGet(bdb_, key.data(), static_cast<int>(key.size()), &data_, &cbData_) != 0)
            return SLIBErrorGet() == 0x2000 ? "<absent>" : "<error " + std::to_string(SLIBErrorGet()) + ">";
        return Str(data_, cbData_);
    }
    // One cursor read: 0 with key and value, or -1.
    int Next(int bSkip, std::string *key, std::string *value = nullptr)
    {
        int r = VAKOBDbCursorGet(bdb_, bSkip, &key_, &cbKey_, &data_, &cbData_);
        if (r == 0) {
            *key = Str(key_, cbKey_);
            if (value)
                *value = Str(data_, cbData_);
        }
        return r;
    }
    // Every key of a walk from type `first` on with type `then`; the read
    // that ends it must fail with 0xB500.
    std::vector<std::string> Walk(int first, int then, int bSkip)
    {
        std::vector<std::string> keys;
        std::string k;
        EXPECT_EQ(VAKOBDbCursorSetType(bdb_, first), 0);
        if (Next(bSkip, &k) == 0) {
            keys.push_back(k);
            EXPECT_EQ(VAKOBDbCursorSetType(bdb_, then), 0);
            while (Next(bSkip, &k) == 0)
                keys.push_back(k);
        }
        EXPECT_EQ(SLIBErrorGet(), 0xB500);
        return keys;
    }
    // Positions the cursor at `from` (type 1) and reads once.
    int Seek(const std::string &from, int bSkip, std::string *key)
    {
        VAKOBDbDataFree(key_);
        key_ = malloc(from.size() + 1);
        memcpy(key_, from.data(), from.size());
        cbKey_ = static_cast<int>(from.size());
        EXPECT_EQ(VAKOBDbCursorSetType(bdb_, VAKO_BDB_CURSOR_SET), 0);
        return Next(bSkip, key);
    }

private:
    VAKOBDB *bdb_ = nullptr;
    void *key_ = nullptr, *data_ = nullptr;
    int cbKey_ = 0, cbData_ = 0;
};

// ---- Opening and closing ----

TEST(BDbOpen, CreatesAFileThatOnlyItsOwnerWritesAndStartsAtNext)
{
    vakotest::RemoveFile(kPath);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOBDbOpen(kPath, O_RDWR, 0), nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0x0700);
    EXPECT_FALSE(vakotest::FileExists(kPath));

    // Whatever the process's mask.
    mode_t old = umask(0);
    VAKOBDB *bdb = VAKOBDbOpen(kPath, O_RDWR | O_CREAT, 0);
    umask(old);
    ASSERT_NE(bdb, nullptr);
    EXPECT_EQ(bdb->cursorType, 4);
    EXPECT_NE(bdb->db, nullptr);
    EXPECT_EQ(vakotest::FileMode(kPath), 0644u);
    EXPECT_EQ(VAKOBDbClose(bdb), 0);
    EXPECT_EQ(vakotest::FileMode(kPath), 0644u);

    bdb = VAKOBDbOpen(kPath, O_RDWR, 0);
    ASSERT_NE(bdb, nullptr);
    EXPECT_EQ(VAKOBDbClose(bdb), 0);
}

TEST(BDbOpen, RefusedArgumentsAndFiles)
{
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOBDbOpen(nullptr, O_RDWR, 0), nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOBDbOpen("", O_RDWR | O_CREAT, 0), nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(VAKOBDbClose(nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);

    // Not a btree file: the store calls the arguments invalid.
    vakotest::WriteFile(kPath, "");
    EXPECT_EQ(VAKOBDbOpen(kPath, O_RDWR, 0), nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0xB100);
    struct Case {
        const char *what;
        std::string content;
    } cases[] = {
        {"text", std::string(8192, 'x')},
        {"short page", std::string(5000, '\0')},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        vakotest::WriteFile(kPath, c.content);
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOBDbOpen(kPath, O_RDWR, 0), nullptr);
        EXPECT_EQ(SLIBErrorGet(), 0xB100);
        EXPECT_EQ(VAKOBDbOpen(kPath, O_RDWR | O_CREAT, 0), nullptr);
        EXPECT_EQ(SLIBErrorGet(), 0xB100);
    }

    // Another errno (a file where a directory is looked for): 0x0900 and a
    // notice.
    vakotest::WriteFile(kPath, "");
    vakotest::SyslogClear();
    EXPECT_EQ(VAKOBDbOpen((std::string(kPath) + "/x").c_str(), O_RDWR | O_CREAT, 0), nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
    EXPECT_STREQ(SLIBErrorGetFile(), "bdb_open");
    std::vector<vakotest::SyslogLine> lines = vakotest::SyslogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, LOG_NOTICE);
    EXPECT_TRUE(vakotest::LogPatternMatches("bdb_open:{L} errno=20/{*}, dbopen failed.", lines[0].text));
}

TEST(BDbOpen, DuplicateSettingMustMatchTheFile)
{
    {
        Db unique(0);
    }
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOBDbOpen(kPath, O_RDWR, 1), nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0xB100);
    // Any other value than 1 means unique keys.
    VAKOBDB *bdb = VAKOBDbOpen(kPath, O_RDWR, 2);
    ASSERT_NE(bdb, nullptr);
    VAKOBDbClose(bdb);
}

// ---- What stands at the name ----

// VAKOBDbOpen of kPath in a child that a hang cannot keep: 0 when opened
// and the record "EVIL" is not in it (1 when it is), else the high byte of
// the code recorded.
int OpenInChild(int oflags, uid_t uid = 0)
{
    return vakotest::WaitChild(vakotest::ForkChildAs(uid, [&] {
        alarm(120);
        VAKOBDB *bdb = VAKOBDbOpen(kPath, oflags, 0);
        if (!bdb)
            return SLIBErrorGet() >> 8;
        void *p = nullptr;
        int cb = 0;
        int found = VAKOBDbGet(bdb, "EVIL", 5, &p, &cb) == 0 ? 1 : 0;
        VAKOBDbDataFree(p);
        VAKOBDbClose(bdb);
        return found;
    }));
}

// A keyed file of this account's holding the record "EVIL", of mode.
void OwnFileWithARecord(mode_t mode)
{
    vakotest::RemoveFile(kPath);
    {
        Db made;
        made.Put(std::string("EVIL\0", 5), "forged");
    }
    ASSERT_EQ(chmod(kPath, mode), 0);
}

TEST(BDbOpen, WhatAnotherAccountCouldHaveMadeIsRefusedOrWithCreateMadeAnew)
{
    // Refused as it stands, then removed (never followed) and made anew.
    auto check = [](const std::string &what, const std::string &why, const std::function<bool()> &victimsUntouched) {
        SCOPED_TRACE(what);
        const std::string before = vakotest::Standing(kPath);
        const std::string name = std::string("bdb_open:{L} [") + kPath + "] is " + why;
        vakotest::SyslogClear();
        EXPECT_EQ(OpenInChild(O_RDWR), 0x09);
        EXPECT_EQ(OpenInChild(O_RDONLY), 0x09);
        EXPECT_EQ(vakotest::Standing(kPath), before);
        EXPECT_EQ(vakotest::SyslogCount(name + ": refused", LOG_ERR), 2);
        EXPECT_EQ(OpenInChild(O_RDWR | O_CREAT), 0);
        EXPECT_EQ(vakotest::Standing(kPath), "file 0644 0 1");
        EXPECT_TRUE(vakotest::SyslogMatches(name + ": removed", LOG_ERR));
        EXPECT_TRUE(victimsUntouched());
    };
    for (vakotest::Plant plant : vakotest::kEveryPlant) {
        vakotest::Planted planted(plant, kPath);
        check(vakotest::PlantName(plant), vakotest::RefusalText(plant), [&] { return planted.VictimsUntouched(); });
    }
    const struct {
        const char *what;
        mode_t mode;
    } modes[] = {{"others may write", 0666}, {"its group may write", 0664}, {"a program", 0744}};
    for (const auto &m : modes) {
        OwnFileWithARecord(m.mode);
        char why[32];
        snprintf(why, sizeof why, "of mode %04o", static_cast<unsigned>(m.mode));
        check(m.what, why, [] { return true; });
    }
    // Nobody writes to it: a read would wait for ever.
    vakotest::RemoveFile(kPath);
    ASSERT_EQ(mkfifo(kPath, 0666), 0);
    check("an empty FIFO", "not a regular file", [] { return true; });
    vakotest::RemoveFile(kPath);
    vakotest::WriteFile(std::string(kPath) + "/inner/file", "x");
    check("a directory with files", "not a regular file", [] { return true; });
}

TEST(BDbOpen, AFileOfItsOwnWithinTheModeIsOpenedAsItStands)
{
    for (mode_t mode : {0644u, 0600u, 0640u}) {
        SCOPED_TRACE(mode);
        OwnFileWithARecord(mode);
        vakotest::SyslogClear();
        EXPECT_EQ(OpenInChild(O_RDWR), 1);
        EXPECT_EQ(OpenInChild(O_RDWR | O_CREAT), 1);
        EXPECT_EQ(vakotest::FileMode(kPath), mode);
        EXPECT_TRUE(vakotest::SyslogTexts().empty());
    }
}

TEST(BDbOpen, AnotherAccountReadsRootsFileButNeitherWritesNorReplacesIt)
{
    OwnFileWithARecord(0644);
    const std::string before = vakotest::ReadFile(kPath);
    EXPECT_EQ(OpenInChild(O_RDONLY, vakotest::kNoRightsUid), 1);
    EXPECT_EQ(OpenInChild(O_RDWR, vakotest::kNoRightsUid), 0x03);
    EXPECT_EQ(OpenInChild(O_RDWR | O_CREAT, vakotest::kNoRightsUid), 0x03);
    EXPECT_EQ(vakotest::Standing(kPath), "file 0644 0 1");
    EXPECT_EQ(vakotest::ReadFile(kPath), before);
    // Root's file that it may write is refused, and not its to remove.
    ASSERT_EQ(chmod(kPath, 0666), 0);
    EXPECT_EQ(OpenInChild(O_RDWR | O_CREAT, vakotest::kNoRightsUid), 0x09);
    EXPECT_TRUE(vakotest::SyslogMatches(std::string("bdb_open:{L} [") + kPath +
                                        "] is of mode 0666: cannot be removed, errno=[1/{*}]"));
    EXPECT_EQ(vakotest::Standing(kPath), "file 0666 0 1");
}

// ---- Records ----

TEST(BDbRecords, SetGetDeleteAndTheGrowingBuffer)
{
    Db db;
    db.Put(std::string("alice\0", 6), "short");
    db.Put(std::string("bob\0", 4), std::string(300, 'b') + '\0');
    db.Put(std::string("alice\0", 6), "replaced");

    void *p = nullptr;
    int cb = 0;
    ASSERT_EQ(VAKOBDbGet(db.get(), "alice", 6, &p, &cb), 0);
    EXPECT_EQ(Str(p, cb), "replaced"); // no NUL added
    EXPECT_EQ(cb, 8);
    ASSERT_EQ(VAKOBDbGet(db.get(), "bob", 4, &p, &cb), 0);
    EXPECT_EQ(cb, 301);
    EXPECT_EQ(Str(p, cb), std::string(300, 'b') + '\0');
    ASSERT_EQ(VAKOBDbGet(db.get(), "alice", 6, &p, &cb), 0);
    EXPECT_EQ(cb, 8); // the length of the last record read
    VAKOBDbDataFree(p);

    // The key length is part of the key.
    EXPECT_EQ(db.Get("alice"), "<absent>");
    EXPECT_EQ(VAKOBDbDelete(db.get(), "alice", 6), 0);
    EXPECT_EQ(db.Get(std::string("alice\0", 6)), "<absent>");
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOBDbDelete(db.get(), "alice", 6), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x2000);
    EXPECT_STREQ(SLIBErrorGetFile(), "bdb_delete");
    EXPECT_EQ(db.Get(std::string("bob\0", 4)), std::string(300, 'b') + '\0');
}

TEST(BDbRecords, ZeroArgumentsAreRefused)
{
    Db db;
    void *p = nullptr;
    int cb = 0;
    VAKOBDB *h = db.get();
    struct Case {
        const char *what;
        std::function<int()> call;
    } cases[] = {
        {"get NULL handle", [&] { return VAKOBDbGet(nullptr, "k", 1, &p, &cb); }},
        {"get NULL key", [&] { return VAKOBDbGet(h, nullptr, 1, &p, &cb); }},
        {"get key length 0", [&] { return VAKOBDbGet(h, "k", 0, &p, &cb); }},
        {"get NULL buffer", [&] { return VAKOBDbGet(h, "k", 1, nullptr, &cb); }},
        {"get NULL size", [&] { return VAKOBDbGet(h, "k", 1, &p, nullptr); }},
        {"set NULL handle", [&] { return VAKOBDbSet(nullptr, "k", 1, "v", 1); }},
        {"set key length 0", [&] { return VAKOBDbSet(h, "k", 0, "v", 1); }},
        {"set NULL value", [&] { return VAKOBDbSet(h, "k", 1, nullptr, 1); }},
        {"set value length 0", [&] { return VAKOBDbSet(h, "k", 1, "v", 0); }},
        {"set negative length", [&] { return VAKOBDbSet(h, "k", 1, "v", -1); }},
        {"delete NULL handle", [&] { return VAKOBDbDelete(nullptr, "k", 1); }},
        {"delete NULL key", [&] { return VAKOBDbDelete(h, nullptr, 1); }},
        {"delete key length 0", [&] { return VAKOBDbDelete(h, "k", 0); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SLIBErrorSet(0);
        EXPECT_EQ(c.call(), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    }
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(db.Get("k"), "<absent>");
}

TEST(BDbRecords, EmptyValueCannotBeReadBack)
{
    Db db;
    // Stored behind the layer's back: a value of 0 bytes.
    DBT k, v;
    ASSERT_EQ(VAKOBDbDbtSet(&k, "zero", 5), 0);
    ASSERT_EQ(VAKOBDbDbtSet(&v, "", 0), 0);
    ASSERT_EQ(db.get()->db->put(db.get()->db, &k, &v, 0), 0);
    void *p = nullptr;
    int cb = 0;
    EXPECT_EQ(VAKOBDbGet(db.get(), "zero", 5, &p, &cb), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(p, nullptr);
}

TEST(BDbRecords, DuplicatesAndSingleReservedRecords)
{
    Db db(1);
    db.Put("k", "first");
    db.Put("k", "second");
    ASSERT_EQ(VAKOBDbConfSyncTimeSet(db.get(), 100), 0);
    ASSERT_EQ(VAKOBDbConfSyncTimeSet(db.get(), 200), 0);
    db.Put("#own", "1");
    db.Put("#own", "2");

    std::vector<std::pair<std::string, std::string>> all;
    std::string key, value;
    ASSERT_EQ(VAKOBDbCursorSetType(db.get(), 2), 0);
    while (db.Next(0, &key, &value) == 0) {
        all.emplace_back(key, value);
        VAKOBDbCursorSetType(db.get(), 4);
    }
    std::vector<std::pair<std::string, std::string>> expected = {
        {"#VAKO@SYNC@TIME", NativeWord(200)}, {"#own", "2"}, {"k", "first"}, {"k", "second"}};
    EXPECT_EQ(all, expected);

    EXPECT_EQ(db.Get("k"), "first");
    EXPECT_EQ(VAKOBDbDelete(db.get(), "k", 1), 0);
    EXPECT_EQ(db.Get("k"), "<absent>");
}

// ---- Walks ----

TEST(BDbCursor, WalkOrderIsBytewiseWithReservedKeysSkipped)
{
    Db db(1);
    std::vector<std::string> inserted = {std::string("\xC3\x89MILE\0", 7),
                                         "001025",
                                         "b",
                                         "#CURRENT_UID",
                                         "001024",
                                         "ab",
                                         "a",
                                         "000999",
                                         "Z",
                                         "#VAKO@SYNC@TIME",
                                         "\x80"};
    for (const std::string &k : inserted)
        db.Put(k, "v");
    std::vector<std::string> forward = {
        "000999", "001024", "001025", "Z", "a", "ab", "b", "\x80", std::string("\xC3\x89MILE\0", 7)};
    EXPECT_EQ(db.Walk(2, 4, 1), forward);
    std::vector<std::string> backward(forward.rbegin(), forward.rend());
    EXPECT_EQ(db.Walk(3, 5, 1), backward);

    // Without skipping the reserved records come first.
    std::vector<std::string> all = db.Walk(2, 4, 0);
    ASSERT_EQ(all.size(), 11u);
    EXPECT_EQ(all[0], "#CURRENT_UID");
    EXPECT_EQ(all[1], "#VAKO@SYNC@TIME");

    // The largest key: one read of type 3.
    std::string key;
    ASSERT_EQ(VAKOBDbCursorSetType(db.get(), 3), 0);
    ASSERT_EQ(db.Next(1, &key), 0);
    EXPECT_EQ(key, forward.back());
}

TEST(BDbCursor, FreshHandleStartsAtTheFirstRecord)
{
    {
        Db db;
        db.Put("b", "2");
        db.Put("a", "1");
    }
    Db db;
    std::string key, value;
    ASSERT_EQ(db.Next(0, &key, &value), 0);
    EXPECT_EQ(key, "a");
    ASSERT_EQ(db.Next(0, &key, &value), 0);
    EXPECT_EQ(key, "b");
    EXPECT_EQ(db.Next(0, &key), -1);
    EXPECT_EQ(SLIBErrorGet(), 0xB500);
    EXPECT_STREQ(SLIBErrorGetFile(), "bdb_cursor_get");
}

TEST(BDbCursor, OnlyReservedRecordsEndAtOnce)
{
    Db db;
    ASSERT_EQ(VAKOBDbDeprecatedSet(db.get(), 0), 0);
    ASSERT_EQ(VAKOBDbConfSyncTimeSet(db.get(), 5), 0);
    EXPECT_TRUE(db.Walk(2, 4, 1).empty());
    EXPECT_TRUE(db.Walk(3, 5, 1).empty());
    EXPECT_EQ(db.Walk(2, 4, 0).size(), 2u);
}

TEST(BDbCursor, PositionedReadMovesOnPastReservedKeys)
{
    Db db;
    for (const char *k : {"#A", "#B", "C", "D"})
        db.Put(k, "v");
    std::string key;
    // Lands on "#A": passed over, and the walk goes on instead of finding it again.
    ASSERT_EQ(db.Seek("#", 1, &key), 0);
    EXPECT_EQ(key, "C");
    EXPECT_EQ(db.get()->cursorType, 4);
    ASSERT_EQ(db.Next(1, &key), 0);
    EXPECT_EQ(key, "D");

    // Not skipped: the record at or after the key, and the type stays.
    ASSERT_EQ(db.Seek("#B", 0, &key), 0);
    EXPECT_EQ(key, "#B");
    EXPECT_EQ(db.get()->cursorType, 1);
    ASSERT_EQ(db.Seek("Ca", 1, &key), 0);
    EXPECT_EQ(key, "D");
    EXPECT_EQ(db.Seek("E", 1, &key), -1);
    EXPECT_EQ(SLIBErrorGet(), 0xB500);

    // Only reserved records after the key: the end, not a loop.
    Db only(0, "/tmp/.db.keydbtest.only");
    only.Put("#X", "v");
    only.Put("#Y", "v");
    EXPECT_EQ(only.Seek("#", 1, &key), -1);
    EXPECT_EQ(SLIBErrorGet(), 0xB500);
}

TEST(BDbCursor, TypeOutsideOneToFiveIsRefused)
{
    Db db;
    for (int type : {0, 6, -1}) {
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOBDbCursorSetType(db.get(), type), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        EXPECT_EQ(db.get()->cursorType, 4);
    }
    EXPECT_EQ(VAKOBDbCursorSetType(nullptr, 2), -1);
    void *k = nullptr, *v = nullptr;
    int ck = 0, cv = 0;
    EXPECT_EQ(VAKOBDbCursorGet(nullptr, 1, &k, &ck, &v, &cv), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
}

// ---- Buffers ----

TEST(CheckAndRealloc, CreatesGrowsAndKeeps)
{
    void *p = nullptr;
    int cb = 0;
    ASSERT_EQ(VAKOCheckAndRealloc(&p, &cb, 16), 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(cb, 16);
    EXPECT_EQ(std::string(static_cast<char *>(p), 16), std::string(16, '\0'));
    memset(p, 'a', 16);
    void *before = p;
    ASSERT_EQ(VAKOCheckAndRealloc(&p, &cb, 8), 0);
    EXPECT_EQ(p, before);
    EXPECT_EQ(cb, 16);
    ASSERT_EQ(VAKOCheckAndRealloc(&p, &cb, 4000), 0);
    EXPECT_EQ(cb, 4000);
    EXPECT_EQ(std::string(static_cast<char *>(p), 16), std::string(16, 'a')); // kept
    VAKOBDbDataFree(p);
    VAKOBDbDataFree(nullptr);
}

TEST(CheckAndRealloc, RefusedArguments)
{
    char block[8] = "abc";
    void *p = block;
    int cb = 0;
    EXPECT_EQ(VAKOCheckAndRealloc(&p, &cb, 16), -1); // a buffer without a size
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_STREQ(SLIBErrorGetFile(), "bsd_check_and_realloc");
    EXPECT_EQ(p, static_cast<void *>(block));
    void *q = nullptr;
    for (int need : {0, -5}) {
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOCheckAndRealloc(&q, &cb, need), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    }
    EXPECT_EQ(VAKOCheckAndRealloc(&q, nullptr, 4), -1);
    EXPECT_EQ(VAKOCheckAndRealloc(nullptr, &cb, 4), -1);
    EXPECT_EQ(q, nullptr);
}

TEST(CheckAndRealloc, ExhaustedMemoryIsLoggedWithItsErrno)
{
    VAKOTEST_SKIP_UNLESS_ALLOCATIONS_CAN_FAIL();
    constexpr int kNeed = 1 << 30;
    void *fresh = nullptr, *grown = malloc(16);
    int cbFresh = 0, cbGrown = 16, rFresh = 0, rGrown = 0;
    vakotest::SyslogClear();
    ASSERT_TRUE(vakotest::WithAddressSpaceLimit(16 << 20, [&] {
        rFresh = VAKOCheckAndRealloc(&fresh, &cbFresh, kNeed);
        rGrown = VAKOCheckAndRealloc(&grown, &cbGrown, kNeed);
    }));
    EXPECT_EQ(rFresh, -1);
    EXPECT_EQ(rGrown, -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0200);
    EXPECT_STREQ(SLIBErrorGetFile(), "bsd_check_and_realloc");
    EXPECT_EQ(fresh, nullptr);
    EXPECT_EQ(grown, nullptr); // the old buffer is gone
    EXPECT_TRUE(vakotest::SyslogMatches(
        "bsd_check_and_realloc:{L} NULL == *ppData, NULL == malloc(1073741824). errno=12/Cannot allocate memory",
        LOG_ERR));
    EXPECT_TRUE(vakotest::SyslogMatches("bsd_check_and_realloc:{L} NULL != *ppData, cbNeed=[1073741824] > "
                                        "*pcbAlloc=[16]. errno=12/Cannot allocate memory",
                                        LOG_ERR));
}

TEST(BDbDbt, SetAndCopyout)
{
    DBT d;
    EXPECT_EQ(VAKOBDbDbtSet(nullptr, "x", 1), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    ASSERT_EQ(VAKOBDbDbtSet(&d, "hello", 5), 0);
    EXPECT_EQ(d.size, 5u);
    void *p = nullptr;
    int cb = 0;
    ASSERT_EQ(VAKOBDbDbtCopyout(&d, &p, &cb), 0);
    EXPECT_EQ(Str(p, cb), "hello");
    ASSERT_EQ(VAKOBDbDbtSet(&d, "hi", 2), 0);
    ASSERT_EQ(VAKOBDbDbtCopyout(&d, &p, &cb), 0);
    EXPECT_EQ(cb, 2);
    ASSERT_EQ(VAKOBDbDbtSet(&d, "", 0), 0);
    EXPECT_EQ(VAKOBDbDbtCopyout(&d, &p, &cb), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(cb, 2);
    VAKOBDbDataFree(p);
}

// ---- Reserved records ----

TEST(BDbReserved, StoredKeysAndBytes)
{
    Db db;
    ASSERT_EQ(VAKOBDbConfSyncTimeSet(db.get(), 0x12345678), 0);
    ASSERT_EQ(VAKOBDbDeprecatedSet(db.get(), 1), 0);
    EXPECT_EQ(db.Get("#VAKO@SYNC@TIME"), NativeWord(0x12345678));
    EXPECT_EQ(db.Get(std::string("#VAKO@DEPRECATED\0", 17)), NativeWord(1));
    // The stored lengths are part of the keys.
    EXPECT_EQ(db.Get(std::string("#VAKO@SYNC@TIME\0", 16)), "<absent>");
    EXPECT_EQ(db.Get("#VAKO@DEPRECATED"), "<absent>");

    void *p = nullptr;
    ASSERT_EQ(VAKOBDbConfSyncTimeGet(db.get(), &p), 0);
    EXPECT_EQ(Str(p, 4), NativeWord(0x12345678));
    ASSERT_EQ(VAKOBDbConfSyncTimeSet(db.get(), -2), 0);
    ASSERT_EQ(VAKOBDbConfSyncTimeGet(db.get(), &p), 0); // into the same block
    EXPECT_EQ(Str(p, 4), NativeWord(-2));
    VAKOBDbDataFree(p);
    EXPECT_EQ(VAKOBDbDeprecatedGet(db.get()), 1);

    int32_t uid = 0;
    ASSERT_EQ(VAKOBDbWordSet(db.get(), SZK_BDB_CURRENT_UID, CB_BDB_CURRENT_UID, 1500), 0);
    EXPECT_EQ(db.Get("#CURRENT_UID"), NativeWord(1500));
    ASSERT_EQ(VAKOBDbWordGet(db.get(), SZK_BDB_CURRENT_UID, CB_BDB_CURRENT_UID, &uid), 0);
    EXPECT_EQ(uid, 1500);
}

TEST(BDbReserved, SyncTimeDecidesTheRebuild)
{
    Db db;
    EXPECT_EQ(VAKOBDbIsNeedToRebuild(db.get(), 1000), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x2000);
    ASSERT_EQ(VAKOBDbConfSyncTimeSet(db.get(), 1000), 0);
    EXPECT_EQ(VAKOBDbIsNeedToRebuild(db.get(), 1000), 0);
    EXPECT_EQ(VAKOBDbIsNeedToRebuild(db.get(), 1001), 1);
    EXPECT_EQ(VAKOBDbIsNeedToRebuild(nullptr, 1000), -1);
    EXPECT_EQ(VAKOBDbDeprecatedGet(db.get()), -1); // never written
    EXPECT_EQ(VAKOBDbDeprecatedGet(nullptr), -1);
}

// Each operation records its failure under its own source name.
TEST(BDbReserved, NullHandleIsRecordedByTheOperation)
{
    void *p = nullptr;
    struct Case {
        const char *file;
        std::function<int()> call;
    } cases[] = {
        {"bdb_conf_sync_time_set", [] { return VAKOBDbConfSyncTimeSet(nullptr, 1); }},
        {"bdb_conf_sync_time_get", [&] { return VAKOBDbConfSyncTimeGet(nullptr, &p); }},
        {"bdb_is_need_to_rebuild", [] { return VAKOBDbIsNeedToRebuild(nullptr, 1); }},
        {"bdb_deprecated_set", [] { return VAKOBDbDeprecatedSet(nullptr, 1); }},
        {"bdb_deprecated_get", [] { return VAKOBDbDeprecatedGet(nullptr); }},
        {"bdb_domain_expire_time_set", [] { return VAKOBDbDomainExpireTimeSet(nullptr); }},
        {"bdb_domain_expire_time_get", [&] { return VAKOBDbDomainExpireTimeGet(nullptr, &p); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        SLIBErrorSet(0);
        EXPECT_EQ(c.call(), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        EXPECT_STREQ(SLIBErrorGetFile(), c.file);
    }
    EXPECT_EQ(p, nullptr);
}

TEST(BDbReserved, ValueOfTheWrongLengthIsUnreadable)
{
    for (size_t len : {1u, 2u, 3u, 5u, 8u}) {
        SCOPED_TRACE(len);
        vakotest::RemoveFile(kPath);
        Db db;
        std::string bad(len, '\x01');
        db.Put("#VAKO@SYNC@TIME", bad);
        db.Put(std::string("#VAKO@DEPRECATED\0", 17), bad);
        db.Put("#VAKO@EXPIRE@TIME", bad);
        EXPECT_EQ(VAKOBDbIsNeedToRebuild(db.get(), 0x01010101), -1);
        EXPECT_EQ(SLIBErrorGet(), 0xB200);
        EXPECT_EQ(VAKOBDbDeprecatedGet(db.get()), -1);
        void *p = nullptr;
        EXPECT_EQ(VAKOBDbConfSyncTimeGet(db.get(), &p), -1);
        EXPECT_EQ(VAKOBDbDomainExpireTimeGet(db.get(), &p), -1);
        EXPECT_EQ(p, nullptr);
        // A malformed stamp is no proof of freshness.
        EXPECT_EQ(VAKOBDbDomainIsNeedToRebuild(db.get()), 1);
    }
}

TEST(BDbReserved, DomainStampAge)
{
    Db db;
    EXPECT_EQ(VAKOBDbDomainIsNeedToRebuild(db.get()), 1); // never stamped

    time_t t0 = time(nullptr);
    ASSERT_EQ(VAKOBDbDomainExpireTimeSet(db.get()), 0);
    time_t t1 = time(nullptr);
    void *p = nullptr;
    ASSERT_EQ(VAKOBDbDomainExpireTimeGet(db.get(), &p), 0);
    int32_t stamp;
    memcpy(&stamp, p, 4);
    VAKOBDbDataFree(p);
    EXPECT_GE(stamp, static_cast<int32_t>(t0));
    EXPECT_LE(stamp, static_cast<int32_t>(t1));

    // Stamps relative to now; a reading whose second changed under it is
    // taken again.
    struct Case {
        int age;
        int stale;
    } cases[] = {{0, 0}, {300, 0}, {301, 1}, {5000, 1}, {-1, 1}, {-100, 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.age);
        int result;
        time_t before, after;
        do {
            before = time(nullptr);
            ASSERT_EQ(
                VAKOBDbWordSet(db.get(), SZK_BDB_EXPIRE_TIME, CB_BDB_EXPIRE_TIME, static_cast<int32_t>(before - c.age)),
                0);
            result = VAKOBDbDomainIsNeedToRebuild(db.get());
            after = time(nullptr);
        } while (before != after);
        EXPECT_EQ(result, c.stale);
    }

    SLIBErrorSet(0);
    EXPECT_EQ(VAKOBDbDomainIsNeedToRebuild(nullptr), 0);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
}

// ---- Damaged files ----

// A file of 5000 records (far beyond 64 KiB), then damaged.
std::string BigFile()
{
    {
        Db db;
        char key[16];
        for (int i = 0; i < 5000; i++) {
            snprintf(key, sizeof key, "%06d", i);
            db.Put(std::string(key, 7), std::string(40, 'v'));
        }
    }
    std::string bytes = vakotest::ReadFile(kPath);
    EXPECT_GT(bytes.size(), 131072u);
    return bytes;
}

TEST(BDbDamage, DamagedHeadOrOddSizeIsNoDatabase)
{
    std::string bytes = BigFile();
    struct Case {
        const char *what;
        std::string content;
    } cases[] = {
        {"head overwritten", std::string(512, '\x5A') + bytes.substr(512)},
        {"odd size", bytes.substr(0, 65536 + 100)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        vakotest::WriteFile(kPath, c.content);
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOBDbOpen(kPath, O_RDWR, 0), nullptr);
        EXPECT_EQ(SLIBErrorGet(), 0xB100);
    }
}

TEST(BDbDamage, TruncatedFileFailsReadsCleanly)
{
    // Cut at 64 KiB, a whole number of pages of any page size.
    vakotest::WriteFile(kPath, BigFile().substr(0, 65536));
    Db db;
    ASSERT_NE(db.get(), nullptr);
    std::string key;
    int n = 0;
    while (db.Next(1, &key) == 0)
        n++;
    EXPECT_LT(n, 5000);
    EXPECT_EQ(SLIBErrorGet(), 0xB200);                              // not the end of the records
    EXPECT_EQ(db.Get(std::string("004999\0", 7)), "<error 45568>"); // 0xB200
}

// ---- List-db values ----

PSLIBSZLIST ThreeItems()
{
    PSLIBSZLIST list = PslSLIBSzListAlloc(512);
    EXPECT_NE(list, nullptr);
    for (const char *s : {"\tcomment = all", "path = /volume1/x", "gamma"})
        EXPECT_GE(SLIBSzListPush(&list, s), 0);
    return list;
}

uint32_t WordAt(const void *p, size_t off)
{
    uint32_t w;
    memcpy(&w, static_cast<const char *>(p) + off, 4);
    return w;
}

TEST(ListDB, PackedValueHoldsOffsetsInTheProcessorsOrder)
{
    PSLIBSZLIST list = ThreeItems();
    ASSERT_EQ(list->cbSize, 512);
    void *value = VAKOListDBPack(list, list->cbSize);
    ASSERT_NE(value, nullptr);
    const char *v = static_cast<const char *>(value);
    EXPECT_EQ(WordAt(v, 0), 512u); // cbSize
    EXPECT_EQ(WordAt(v, 4), 3u);   // nItem
    uint32_t top = WordAt(v, 16), empty = WordAt(v, 20);
    EXPECT_EQ(WordAt(v, 8), top - 24 - 3 * 4); // cbFree
    EXPECT_EQ(WordAt(v, 12), static_cast<uint32_t>(list->type));
    EXPECT_EQ(empty, 511u);
    EXPECT_EQ(v[511], '\0');
    const char *items[] = {"\tcomment = all", "path = /volume1/x", "gamma"};
    for (int i = 0; i < 3; i++) {
        uint32_t off = WordAt(v, 24 + 4 * i);
        ASSERT_GE(off, top);
        ASSERT_LT(off, 512u);
        EXPECT_STREQ(v + off, items[i]);
    }
    EXPECT_EQ(memcmp(value, list, 512), 0);
    free(value);

    // Only the list's own size packs it.
    for (int cb : {511, 513, 0, -1}) {
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOListDBPack(list, cb), nullptr);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    }
    EXPECT_EQ(VAKOListDBPack(nullptr, 512), nullptr);
    SLIBSzListFree(list);
}

TEST(ListDB, UnpackGivesTheSameList)
{
    PSLIBSZLIST list = ThreeItems();
    SLIBSzListSort(list, SLIB_SZLIST_SORT);
    SzSLIBSzListRemove(list, 1); // leaves dead bytes
    void *value = VAKOListDBPack(list, list->cbSize);
    ASSERT_NE(value, nullptr);
    PSLIBSZLIST back = VAKOListDBUnpack(value, list->cbSize);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->cbSize, list->cbSize);
    EXPECT_EQ(back->cbFree, list->cbFree);
    EXPECT_EQ(back->type, list->type);
    ASSERT_EQ(back->nItem, list->nItem);
    for (int i = 0; i < list->nItem; i++)
        EXPECT_STREQ(SLIBSzListGet(back, i), SLIBSzListGet(list, i));
    EXPECT_EQ(memcmp(back, list, static_cast<size_t>(list->cbSize)), 0);
    // An ordinary list: it grows like any other.
    EXPECT_GE(SLIBSzListPush(&back, std::string(1000, 'x').c_str()), 0);
    EXPECT_STREQ(SLIBSzListGet(back, back->nItem - 1), std::string(1000, 'x').c_str());
    SLIBSzListFree(back);
    SLIBSzListFree(list);
    free(value);
}

TEST(ListDB, UnpackRefusesValuesThatDoNotHoldTheirOffsets)
{
    PSLIBSZLIST list = ThreeItems();
    std::string good(reinterpret_cast<const char *>(list), 512);
    SLIBSzListFree(list);
    auto setWord = [](std::string &s, size_t off, uint32_t w) { memcpy(&s[off], &w, 4); };
    struct Case {
        const char *what;
        std::string value;
    } cases[] = {
        {"item past the end", good},
        {"item in the header", good},
        {"item below the top", good},
        {"top past the end", good},
        {"empty not last", good},
        {"size word", good},
        {"item count", good},
        {"last byte", good},
        {"truncated", good.substr(0, 300)},
        {"header only", good.substr(0, 20)},
    };
    setWord(cases[0].value, 24, 600);
    setWord(cases[1].value, 28, 4);
    setWord(cases[2].value, 32, WordAt(good.data(), 16) - 1);
    setWord(cases[3].value, 16, 0xFFFFFFF0u);
    setWord(cases[4].value, 20, 100);
    setWord(cases[5].value, 0, 4096);
    setWord(cases[6].value, 4, 0x40000000u);
    cases[7].value[511] = 'x';
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOListDBUnpack(c.value.data(), static_cast<int>(c.value.size())), nullptr);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    }
    EXPECT_EQ(VAKOListDBUnpack(nullptr, 512), nullptr);
    EXPECT_EQ(VAKOListDBUnpack(good.data(), 0), nullptr);
    PSLIBSZLIST sound = VAKOListDBUnpack(good.data(), 512);
    EXPECT_NE(sound, nullptr);
    SLIBSzListFree(sound);
}

TEST(ListDB, StoredUnderTheUpperCasedSection)
{
    Db db;
    PSLIBSZLIST list = ThreeItems();
    ASSERT_EQ(VAKOListDBSet(db.get(), "global", list), 0);
    std::string stored = db.Get(std::string("#GLOBAL\0", 8));
    ASSERT_EQ(stored.size(), 512u);
    EXPECT_EQ(memcmp(stored.data(), list, 512), 0);

    // Mixed case: the same key, replaced; only a-z change.
    SzSLIBSzListRemoveTail(list);
    ASSERT_EQ(VAKOListDBSet(db.get(), "GlObAl", list), 0);
    ASSERT_EQ(VAKOListDBSet(db.get(), "pr\xc3\xa9-1", list), 0);
    EXPECT_EQ(db.Walk(2, 4, 0),
              (std::vector<std::string>{std::string("#GLOBAL\0", 8), std::string("#PR\xc3\xa9-1\0", 8)}));
    stored = db.Get(std::string("#GLOBAL\0", 8));
    PSLIBSZLIST back = VAKOListDBUnpack(stored.data(), static_cast<int>(stored.size()));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->nItem, 2);
    SLIBSzListFree(back);

    EXPECT_EQ(VAKOListDBSet(nullptr, "g", list), -1);
    EXPECT_EQ(VAKOListDBSet(db.get(), nullptr, list), -1);
    EXPECT_EQ(VAKOListDBSet(db.get(), "g", nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    SLIBSzListFree(list);
}

TEST(ListDB, FailedStoreIsLogged)
{
    {
        Db created;
    }
    VAKOBDB *bdb = VAKOBDbOpen(kPath, O_RDONLY, 0);
    ASSERT_NE(bdb, nullptr);
    PSLIBSZLIST list = ThreeItems();
    vakotest::SyslogClear();
    EXPECT_EQ(VAKOListDBSet(bdb, "homes", list), -1);
    EXPECT_TRUE(vakotest::SyslogMatches("list_db_set ({L}): errno={*}, VAKOBDbSet() failed, section[homes]\n"));
    SLIBSzListFree(list);
    VAKOBDbClose(bdb);
}

} // namespace
