#include "vako/share_record.h"

#include <errno.h>
#include <fcntl.h>
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
#include "vako/keydb.h"
#include "vakotest/files.h"
#include "vakotest/logs.h"
#include "vakotest/szblocks.h"
#include "vakotest/words.h"

namespace {

using vakotest::NativeWord;
using vakotest::NativeWords;

struct ShareFree {
    void operator()(VAKOSHARE *s) const { VAKOShareFree(s); }
};
using Share = std::unique_ptr<VAKOSHARE, ShareFree>;

VAKOSHAREINFO Info(const char *name, const char *path = "/volume1/x")
{
    return {name, nullptr, path, nullptr, nullptr, nullptr, VAKO_SHARE_READ_WRITE, 1, 0};
}

Share Alloc(const VAKOSHAREINFO &info) { return Share(VAKOShareAlloc(&info)); }

// Where p lies in the record as sizes and offsets count it (the header as
// its 44 stored bytes).
int Off(const VAKOSHARE *s, const char *p)
{
    return VAKO_SHARE_HEADER_SIZE + static_cast<int>(p - (reinterpret_cast<const char *>(s) + sizeof(VAKOSHARE)));
}

std::string Packed(const VAKOSHARE *s)
{
    void *v = VAKOShareDBPack(s);
    EXPECT_NE(v, nullptr) << std::hex << SLIBErrorGet();
    if (!v)
        return "";
    int32_t cb;
    memcpy(&cb, static_cast<char *>(v) + 40, 4);
    std::string bytes(static_cast<char *>(v), static_cast<size_t>(cb));
    free(v);
    return bytes;
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

// The share database file of the appliance, opened as its openers leave it.
class ShareDbFile {
public:
    // fresh: the file removed first; else the file as an earlier handle left it.
    explicit ShareDbFile(bool fresh = true)
    {
        if (fresh)
            vakotest::RemoveFile(SZF_VAKO_SHARE_DB);
        db_ = static_cast<VAKOSHAREDB *>(calloc(1, sizeof(VAKOSHAREDB)));
        db_->pDb = VAKOBDbOpen(SZF_VAKO_SHARE_DB, O_RDWR | O_CREAT, 0);
        EXPECT_NE(db_->pDb, nullptr) << std::hex << SLIBErrorGet();
    }
    ~ShareDbFile() { VAKOShareDBClose(db_); }
    ShareDbFile(const ShareDbFile &) = delete;
    ShareDbFile &operator=(const ShareDbFile &) = delete;
    VAKOSHAREDB *get() const { return db_; }

    void PutRaw(const std::string &key, const std::string &value)
    {
        ASSERT_EQ(VAKOBDbSet(db_->pDb, key.data(), static_cast<int>(key.size()), value.data(),
                             static_cast<int>(value.size())),
                  0);
    }
    // The value stored under key (its NUL included), or "<absent>".
    std::string GetRaw(const std::string &key)
    {
        void *p = nullptr;
        int cb = 0;
        std::string v = VAKOBDbGet(db_->pDb, key.data(), static_cast<int>(key.size()), &p, &cb) == 0
                            ? std::string(static_cast<char *>(p), static_cast<size_t>(cb))
                            : "<absent>";
        VAKOBDbDataFree(p);
        return v;
    }
    // Every key of the file in order, reserved ones too (moves the cursor).
    std::vector<std::string> Keys()
    {
        std::vector<std::string> keys;
        void *k = nullptr, *v = nullptr;
        int ck = 0, cv = 0;
        VAKOBDbCursorSetType(db_->pDb, VAKO_BDB_CURSOR_FIRST);
        while (VAKOBDbCursorGet(db_->pDb, 0, &k, &ck, &v, &cv) == 0) {
            keys.emplace_back(static_cast<char *>(k), static_cast<size_t>(ck));
            VAKOBDbCursorSetType(db_->pDb, VAKO_BDB_CURSOR_NEXT);
        }
        EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_END_OF_ENUM);
        VAKOBDbDataFree(k);
        VAKOBDbDataFree(v);
        return keys;
    }

private:
    VAKOSHAREDB *db_ = nullptr;
};

std::string Key(const std::string &upper) { return upper + std::string(1, '\0'); }

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
        Share s = Alloc(Info(c.name.c_str()));
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
    Share s = Alloc(info);
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
    Share s = Alloc(info);
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
    EXPECT_NE(Alloc(Info("docs", "/volume1/a\\b")), nullptr);
}

// ---- Packed values ----

TEST(SharePack, ExactBytes)
{
    VAKOSHAREINFO small = {"a", nullptr, "/v", nullptr, nullptr, nullptr, VAKO_SHARE_READ_WRITE, 1, 5};
    Share s = Alloc(small);
    ASSERT_NE(s, nullptr);
    std::string expect = NativeWords({0, 47, 48, 44, 48, 48, 48, 2, 1, 5, 53, 49}) + std::string("/v\0a\0", 5);
    EXPECT_EQ(expect.size(), 53u);
    EXPECT_EQ(Packed(s.get()), expect);

    VAKOSHAREINFO full = {"Data", "c", "/v1/d", "x", "@w", "r,s", VAKO_SHARE_NO_ACCESS, 0, 6};
    s = Alloc(full);
    ASSERT_NE(s, nullptr);
    expect = NativeWords({0, 61, 59, 53, 51, 48, 44, 4, 0, 6, 70, 66}) +
             std::string("r,s\0@w\0x\0/v1/d\0c\0Data\0", 22);
    EXPECT_EQ(Packed(s.get()), expect);
}

TEST(SharePack, CarriesTheRecordSizeAsItStands)
{
    Share s = Alloc(Info("a", "/v"));
    ASSERT_NE(s, nullptr);
    s->cbRecord = 45;
    EXPECT_EQ(Packed(s.get()).substr(40, 8), NativeWords({53, 45}));
}

TEST(ShareUnPack, RoundTripIntoNewSmallerAndLargerBlocks)
{
    VAKOSHAREINFO full = {"Data", "a comment", "/volume1/Data", "bad", "@admins,ann", "bob", VAKO_SHARE_READ_ONLY, 1,
                          7};
    Share orig = Alloc(full);
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
    p = Alloc(big).release();
    VAKOSHARE *before = p;
    int32_t cbBig = p->cbAlloc;
    ASSERT_EQ(VAKOShareDBUnPackBounded(value.data(), static_cast<int>(value.size()), &p), 0);
    Share reused(p);
    EXPECT_EQ(p, before);
    EXPECT_EQ(p->cbAlloc, cbBig);
    ExpectSameShare(p, orig.get());

    // A smaller one grows to the record's size.
    p = Alloc(Info("s", "/s")).release();
    ASSERT_EQ(VAKOShareDBUnPack(value.data(), &p), 0);
    Share grown(p);
    EXPECT_EQ(p->cbAlloc, orig->cbAlloc);
    ExpectSameShare(p, orig.get());
}

// Values that a reader must refuse without reading past them: the cache
// file is writable by every process of the appliance.
TEST(ShareUnPack, RefusesMalformedValues)
{
    Share good = Alloc({"a", nullptr, "/v", nullptr, nullptr, nullptr, VAKO_SHARE_READ_WRITE, 1, 0});
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
        VAKOSHARE *p = Alloc(Info("keep")).release();
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

// ---- The database ----

TEST(ShareDBSet, StoresUnderTheUpperCasedNameAndRefusesACaseTwin)
{
    ShareDbFile db;
    VAKOSHAREINFO info = {"Public", "all", "/volume1/public", nullptr, "@admins", nullptr, VAKO_SHARE_READ_WRITE, 1, 0};
    Share pub = Alloc(info);
    ASSERT_NE(pub, nullptr);
    ASSERT_EQ(VAKOShareDBSet(db.get(), nullptr, pub.get()), 0);
    std::string expect = NativeWords({0, 72, 68, 52, 78, 44, 78, 2, 1, 0, 83, 79}) +
                         std::string("@admins\0/volume1/public\0all\0Public\0", 35);
    EXPECT_EQ(db.GetRaw(Key("PUBLIC")), expect);

    Share twin = Alloc(Info("PUBLIC"));
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOShareDBSet(db.get(), nullptr, twin.get()), -1);
    EXPECT_EQ(SLIBErrorGet(), VAKO_ERR_SHARE_EXISTS);
    EXPECT_EQ(db.GetRaw(Key("PUBLIC")), expect);

    // With the old name it replaces the record under the same key.
    ASSERT_EQ(VAKOShareDBSet(db.get(), "PUBLIC", twin.get()), 0);
    EXPECT_EQ(db.Keys(), std::vector<std::string>{Key("PUBLIC")});
    EXPECT_EQ(db.GetRaw(Key("PUBLIC")), Packed(twin.get()));
}

TEST(ShareDBSet, RenamesAndStoresWhenTheOldNameIsAbsent)
{
    ShareDbFile db;
    Share docs = Alloc(Info("docs")), music = Alloc(Info("Music"));
    ASSERT_EQ(VAKOShareDBSet(db.get(), nullptr, docs.get()), 0);
    ASSERT_EQ(VAKOShareDBSet(db.get(), "docs", music.get()), 0);
    EXPECT_EQ(db.Keys(), std::vector<std::string>{Key("MUSIC")});
    EXPECT_EQ(db.GetRaw(Key("MUSIC")), Packed(music.get()));

    Share film = Alloc(Info("film"));
    ASSERT_EQ(VAKOShareDBSet(db.get(), "never stored", film.get()), 0);
    EXPECT_EQ(db.Keys(), (std::vector<std::string>{Key("FILM"), Key("MUSIC")}));
}

TEST(ShareDBSet, AnInvalidRecordChangesNothing)
{
    ShareDbFile db;
    Share docs = Alloc(Info("docs"));
    ASSERT_EQ(VAKOShareDBSet(db.get(), nullptr, docs.get()), 0);
    const std::string stored = db.GetRaw(Key("DOCS"));
    struct Case {
        const char *what;
        std::function<void(VAKOSHARE &)> change;
        int code;
    } cases[] = {
        {"invalid name", [](VAKOSHARE &s) { s.szName = const_cast<char *>(" docs2"); }, 0x1200},
        {"line end in the comment", [](VAKOSHARE &s) { s.szComment = const_cast<char *>("a\nb"); }, 0x0D00},
        {"relative path", [](VAKOSHARE &s) { s.szPath = const_cast<char *>("v/docs"); }, 0x9900},
        {"negative ftp flags", [](VAKOSHARE &s) { s.ftpFlags = -2; }, 0x0D00},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Share s = Alloc(Info("docs2"));
        c.change(*s);
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOShareDBSet(db.get(), "docs", s.get()), -1);
        EXPECT_EQ(SLIBErrorGet(), c.code);
        EXPECT_EQ(db.Keys(), std::vector<std::string>{Key("DOCS")});
        EXPECT_EQ(db.GetRaw(Key("DOCS")), stored);
    }
}

// A name whose upper-cased form does not fit the key buffer comes back from
// the upper-caser as an empty buffer; it must never turn into the key "".
TEST(ShareDBSet, ANameTooLongToUpperCaseFailsInsteadOfUsingAnEmptyKey)
{
    ShareDbFile db;
    db.PutRaw(std::string(1, '\0'), "under the empty key");
    Share docs = Alloc(Info("docs"));
    ASSERT_EQ(VAKOShareDBSet(db.get(), nullptr, docs.get()), 0);
    const std::string longName(VAKO_SHARE_KEY_SIZE, 'a');

    SLIBErrorSet(0);
    EXPECT_EQ(VAKOShareDBDelete(db.get(), longName.c_str()), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BUFFER_SMALL);
    EXPECT_TRUE(vakotest::SyslogMatches("share_db_delete:{L} SLIBUnicodeUTF8StrUpper [" + longName + "] failed."));

    Share film = Alloc(Info("film"));
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOShareDBSet(db.get(), longName.c_str(), film.get()), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BUFFER_SMALL);
    EXPECT_STREQ(SLIBErrorGetFile(), "share_db_delete");

    Share named = Alloc(Info("x"));
    named->szName = const_cast<char *>(longName.c_str());
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOShareDBSet(db.get(), nullptr, named.get()), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BUFFER_SMALL);
    EXPECT_STREQ(SLIBErrorGetFile(), "share_db_set");

    EXPECT_EQ(db.Keys(), (std::vector<std::string>{std::string(1, '\0'), Key("DOCS")}));
    EXPECT_EQ(db.GetRaw(std::string(1, '\0')), "under the empty key");
    // One byte shorter fits: the name is merely absent.
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOShareDBDelete(db.get(), longName.substr(1).c_str()), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_NOT_FOUND);
}

// The store's put or del made to fail with EIO on one key, as a failing
// disk would, while the owner lives.
std::string gFailKey;
int (*gRealPut)(const DB *, DBT *, const DBT *, u_int);
int (*gRealDel)(const DB *, const DBT *, u_int);

bool IsFailKey(const DBT *k) { return std::string(static_cast<char *>(k->data), k->size) == gFailKey; }

int FailingPut(const DB *db, DBT *k, const DBT *v, u_int flags)
{
    if (IsFailKey(k)) {
        errno = EIO;
        return -1;
    }
    return gRealPut(db, k, v, flags);
}

int FailingDel(const DB *db, const DBT *k, u_int flags)
{
    if (IsFailKey(k)) {
        errno = EIO;
        return -1;
    }
    return gRealDel(db, k, flags);
}

enum class StoreOp { Put, Del };

class StoreFault {
public:
    StoreFault(DB *store, StoreOp op, const std::string &key) : store_(store)
    {
        gFailKey = key;
        gRealPut = store->put;
        gRealDel = store->del;
        if (op == StoreOp::Put)
            store->put = FailingPut;
        else
            store->del = FailingDel;
    }
    ~StoreFault()
    {
        store_->put = gRealPut;
        store_->del = gRealDel;
    }
    StoreFault(const StoreFault &) = delete;
    StoreFault &operator=(const StoreFault &) = delete;

private:
    DB *store_;
};

// A rename stores the new record before it removes the old one: a failure of
// either step leaves both shares as they were.
TEST(ShareDBSet, AFailedRenameChangesNothing)
{
    struct Case {
        const char *what;
        StoreOp op;
        std::string failKey;
        bool targetStored;
    } cases[] = {
        {"store fails, new name", StoreOp::Put, Key("MUSIC"), false},
        {"store fails, onto a stored share", StoreOp::Put, Key("MUSIC"), true},
        {"removal of the old name fails, new name", StoreOp::Del, Key("DOCS"), false},
        {"removal of the old name fails, onto a stored share", StoreOp::Del, Key("DOCS"), true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ShareDbFile db;
        Share docs = Alloc(Info("docs")), oldMusic = Alloc(Info("music", "/volume2/music"));
        ASSERT_EQ(VAKOShareDBSet(db.get(), nullptr, docs.get()), 0);
        if (c.targetStored) {
            ASSERT_EQ(VAKOShareDBSet(db.get(), nullptr, oldMusic.get()), 0);
        }
        const std::vector<std::string> keys = db.Keys();
        const std::string docsValue = db.GetRaw(Key("DOCS")), musicValue = db.GetRaw(Key("MUSIC"));
        Share music = Alloc(Info("music"));
        {
            StoreFault fault(db.get()->pDb->db, c.op, c.failKey);
            SLIBErrorSet(0);
            EXPECT_EQ(VAKOShareDBSet(db.get(), "docs", music.get()), -1);
            EXPECT_EQ(SLIBErrorGet(), 0x6C00);
        }
        EXPECT_EQ(db.Keys(), keys);
        EXPECT_EQ(db.GetRaw(Key("DOCS")), docsValue);
        EXPECT_EQ(db.GetRaw(Key("MUSIC")), musicValue);
    }
}

TEST(ShareDBDelete, RemovesInAnyLetterCase)
{
    ShareDbFile db;
    Share pub = Alloc(Info("Public")), docs = Alloc(Info("docs"));
    ASSERT_EQ(VAKOShareDBSet(db.get(), nullptr, pub.get()), 0);
    ASSERT_EQ(VAKOShareDBSet(db.get(), nullptr, docs.get()), 0);
    EXPECT_EQ(VAKOShareDBDelete(db.get(), "pUBLIC"), 0);
    EXPECT_EQ(db.Keys(), std::vector<std::string>{Key("DOCS")});
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOShareDBDelete(db.get(), "public"), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_NOT_FOUND);
}

TEST(ShareDBCheckExists, CopiesTheStoredNameWhenItFits)
{
    ShareDbFile db;
    Share pub = Alloc(Info("Public"));
    ASSERT_EQ(VAKOShareDBSet(db.get(), nullptr, pub.get()), 0);
    char out[16];
    EXPECT_EQ(VAKOShareDBCheckExists(db.get(), "PUBLIC", 6, nullptr, 0), 1);
    EXPECT_EQ(VAKOShareDBCheckExists(db.get(), "PUBLIC", 6, out, 7), 1);
    EXPECT_STREQ(out, "Public");
    memset(out, 'z', sizeof out);
    EXPECT_EQ(VAKOShareDBCheckExists(db.get(), "PUBLIC", 6, out, 6), 0);
    EXPECT_STREQ(out, "");
    // The key is taken as given: callers upper-case it.
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOShareDBCheckExists(db.get(), "Public", 6, nullptr, 0), 0);
    EXPECT_EQ(SLIBErrorGet(), VAKO_ERR_SHARE_NO_VALUE);
}

TEST(ShareDBCheckExists, ANameNotEndingInTheValueIsRefused)
{
    ShareDbFile db;
    Share a = Alloc({"a", nullptr, "/v", nullptr, nullptr, nullptr, 2, 1, 0});
    std::string value = Packed(a.get());
    struct Case {
        const char *what;
        std::string value;
    } cases[] = {
        {"name offset past the value", value.substr(0, 4) + NativeWord(60) + value.substr(8)},
        {"name offset into the header", value.substr(0, 4) + NativeWord(8) + value.substr(8)},
        {"no NUL", value.substr(0, 52) + "x"},
        {"length word past the value", value.substr(0, 40) + NativeWord(200) + value.substr(44, 8) + "ab"},
        {"short value", value.substr(0, 6)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        db.PutRaw(Key("A"), c.value);
        char out[64];
        memset(out, 'z', sizeof out);
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOShareDBCheckExists(db.get(), "A", 1, out, sizeof out), 0);
        EXPECT_EQ(SLIBErrorGet(), VAKO_ERR_SHARE_BAD_VALUE);
        EXPECT_STREQ(out, "");
        EXPECT_EQ(VAKOShareDBCheckExists(db.get(), "A", 1, nullptr, 0), 1);
    }
}

TEST(ShareDBCursorGet, WalksTheSharesInKeyOrderPastTheReservedRecords)
{
    vakotest::SzList global{"global", "workgroup = HOME"};
    {
        ShareDbFile db;
        ASSERT_EQ(VAKOBDbDeprecatedSet(db.get()->pDb, 0), 0);
        ASSERT_EQ(VAKOBDbConfSyncTimeSet(db.get()->pDb, 1700000000), 0);
        ASSERT_EQ(VAKOListDBSet(db.get()->pDb, "global", global.l), 0);
    }
    {
        // Only the reserved records: the walk ends at once.
        ShareDbFile db(false);
        VAKOSHARE *p = nullptr;
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOShareDBCursorGet(db.get(), &p), -1);
        EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_END_OF_ENUM);
        EXPECT_EQ(p, nullptr);
        for (const char *name : {"public", "Data", "music", "zz"}) {
            Share s = Alloc(Info(name));
            ASSERT_EQ(VAKOShareDBSet(db.get(), nullptr, s.get()), 0);
        }
    }
    ShareDbFile walker(false);
    std::vector<std::string> names;
    VAKOSHARE *p = nullptr;
    while (VAKOShareDBCursorGet(walker.get(), &p) == 0)
        names.push_back(p->szName);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_END_OF_ENUM);
    VAKOShareFree(p);
    EXPECT_EQ(names, (std::vector<std::string>{"Data", "music", "public", "zz"}));
}

TEST(ShareDBCursorGet, AStoredValueLongerThanItsBytesIsRefused)
{
    ShareDbFile db;
    Share a = Alloc({"a", nullptr, "/v", nullptr, nullptr, nullptr, 2, 1, 0});
    std::string value = Packed(a.get());
    // Offsets that fit the length word but not the stored bytes.
    db.PutRaw(Key("A"), value.substr(0, 40) + NativeWord(400) + NativeWord(49) + "/v");
    VAKOSHARE *p = nullptr;
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOShareDBCursorGet(db.get(), &p), -1);
    EXPECT_EQ(SLIBErrorGet(), VAKO_ERR_SHARE_BAD_VALUE);
    EXPECT_EQ(p, nullptr);
}

TEST(ShareRecord, MissingArgumentsAreRefused)
{
    ShareDbFile db;
    Share s = Alloc(Info("docs"));
    VAKOSHARE *p = nullptr;
    char out[8];
    std::string value = Packed(s.get());
    Share stray = Alloc(Info("stray"));
    stray->szPath = const_cast<char *>("/outside/the/block");
    // Each failing step records its operation's own source name.
    struct Case {
        const char *src;
        const char *what;
        std::function<bool()> call; // true when the call reports failure
    } cases[] = {
        {"share_alloc", "alloc without description", [&] { return VAKOShareAlloc(nullptr) == nullptr; }},
        {"share_db_set", "set without db", [&] { return VAKOShareDBSet(nullptr, nullptr, s.get()) == -1; }},
        {"share_db_set", "set without share", [&] { return VAKOShareDBSet(db.get(), nullptr, nullptr) == -1; }},
        {"share_db_delete", "delete without db", [&] { return VAKOShareDBDelete(nullptr, "docs") == -1; }},
        {"share_db_delete", "delete without name", [&] { return VAKOShareDBDelete(db.get(), nullptr) == -1; }},
        {"share_db_check_exists", "exists without db",
         [&] { return VAKOShareDBCheckExists(nullptr, "A", 1, nullptr, 0) == 0; }},
        {"share_db_check_exists", "exists without key",
         [&] { return VAKOShareDBCheckExists(db.get(), nullptr, 0, nullptr, 0) == 0; }},
        {"share_db_check_exists", "exists with a size but no buffer",
         [&] { return VAKOShareDBCheckExists(db.get(), "A", 1, nullptr, 4) == 0; }},
        {"share_db_check_exists", "exists with a buffer of no size",
         [&] { return VAKOShareDBCheckExists(db.get(), "A", 1, out, 0) == 0; }},
        {"share_db_cursor_get", "cursor without db", [&] { return VAKOShareDBCursorGet(nullptr, &p) == -1; }},
        {"share_db_cursor_get", "cursor without record", [&] { return VAKOShareDBCursorGet(db.get(), nullptr) == -1; }},
        {"share_db_pack", "pack without record", [&] { return VAKOShareDBPack(nullptr) == nullptr; }},
        {"share_db_pack", "pack of a string outside the block",
         [&] { return VAKOShareDBPack(stray.get()) == nullptr; }},
        {"share_db_unpack", "unpack without value", [&] { return VAKOShareDBUnPack(nullptr, &p) == -1; }},
        {"share_db_unpack", "unpack without record", [&] { return VAKOShareDBUnPack(value.data(), nullptr) == -1; }},
        {"share_db_close", "close without db",
         [&] {
             VAKOShareDBClose(nullptr);
             return true;
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SLIBErrorSet(0);
        EXPECT_TRUE(c.call());
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        EXPECT_STREQ(SLIBErrorGetFile(), c.src);
    }
    EXPECT_EQ(p, nullptr);
}

} // namespace
