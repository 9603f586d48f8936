#include "vako/share_db.h"

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
#include "vakotest/sharedb.h"
#include "vakotest/storefault.h"
#include "vakotest/szblocks.h"
#include "vakotest/words.h"

namespace {

using vakotest::NativeWord;
using vakotest::NativeWords;

using Share = sharedb::SharePtr;
using sharedb::Info;
using sharedb::Make;
using sharedb::Packed;

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

TEST(ShareDBSet, StoresUnderTheUpperCasedNameAndRefusesACaseTwin)
{
    ShareDbFile db;
    VAKOSHAREINFO info = {"Public", "all", "/volume1/public", nullptr, "@admins", nullptr, VAKO_SHARE_READ_WRITE, 1, 0};
    Share pub = Make(info);
    ASSERT_NE(pub, nullptr);
    ASSERT_EQ(VAKOShareDBSet(db.get(), nullptr, pub.get()), 0);
    std::string expect = NativeWords({0, 72, 68, 52, 78, 44, 78, 2, 1, 0, 83, 79}) +
                         std::string("@admins\0/volume1/public\0all\0Public\0", 35);
    EXPECT_EQ(db.GetRaw(Key("PUBLIC")), expect);

    Share twin = Make(Info("PUBLIC"));
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
    Share docs = Make(Info("docs")), music = Make(Info("Music"));
    ASSERT_EQ(VAKOShareDBSet(db.get(), nullptr, docs.get()), 0);
    ASSERT_EQ(VAKOShareDBSet(db.get(), "docs", music.get()), 0);
    EXPECT_EQ(db.Keys(), std::vector<std::string>{Key("MUSIC")});
    EXPECT_EQ(db.GetRaw(Key("MUSIC")), Packed(music.get()));

    Share film = Make(Info("film"));
    ASSERT_EQ(VAKOShareDBSet(db.get(), "never stored", film.get()), 0);
    EXPECT_EQ(db.Keys(), (std::vector<std::string>{Key("FILM"), Key("MUSIC")}));
}

TEST(ShareDBSet, AnInvalidRecordChangesNothing)
{
    ShareDbFile db;
    Share docs = Make(Info("docs"));
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
        Share s = Make(Info("docs2"));
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
    Share docs = Make(Info("docs"));
    ASSERT_EQ(VAKOShareDBSet(db.get(), nullptr, docs.get()), 0);
    const std::string longName(VAKO_SHARE_KEY_SIZE, 'a');

    SLIBErrorSet(0);
    EXPECT_EQ(VAKOShareDBDelete(db.get(), longName.c_str()), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BUFFER_SMALL);
    EXPECT_TRUE(vakotest::SyslogMatches("share_db_delete:{L} SLIBUnicodeUTF8StrUpper [" + longName + "] failed."));

    Share film = Make(Info("film"));
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOShareDBSet(db.get(), longName.c_str(), film.get()), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BUFFER_SMALL);
    EXPECT_STREQ(SLIBErrorGetFile(), "share_db_delete");

    Share named = Make(Info("x"));
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

using vakotest::StoreFault;
using vakotest::StoreOp;

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
        // The share's place in smb.conf moves with it, or nothing does.
        {"the place cannot be stored", StoreOp::Put, Key("#VAKO@SMB@S@MUSIC"), false},
        {"the place cannot be stored, onto a stored share", StoreOp::Put, Key("#VAKO@SMB@S@MUSIC"), true},
        {"the old place cannot be removed", StoreOp::Del, Key("#VAKO@SMB@S@DOCS"), true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ShareDbFile db;
        Share docs = Make(Info("docs")), oldMusic = Make(Info("music", "/volume2/music"));
        ASSERT_EQ(VAKOShareDBSet(db.get(), nullptr, docs.get()), 0);
        db.PutRaw(Key("#VAKO@SMB@S@DOCS"), "docs' place");
        if (c.targetStored) {
            ASSERT_EQ(VAKOShareDBSet(db.get(), nullptr, oldMusic.get()), 0);
            db.PutRaw(Key("#VAKO@SMB@S@MUSIC"), "music's place");
        }
        const std::vector<std::string> keys = db.Keys();
        const std::string docsValue = db.GetRaw(Key("DOCS")), musicValue = db.GetRaw(Key("MUSIC"));
        Share music = Make(Info("music"));
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

// Where a share's section stands in smb.conf is kept beside its record,
// for the dump: a rename takes it along, a removal takes it away, and a
// share new to the database never takes one another share left behind.
TEST(ShareDBSet, ThePlaceInSmbConfGoesWithTheShare)
{
    ShareDbFile db;
    Share docs = Make(Info("docs"));
    ASSERT_EQ(VAKOShareDBSet(db.get(), nullptr, docs.get()), 0);
    db.PutRaw(Key("#VAKO@SMB@S@DOCS"), "section 3");
    // Stored again under its name: the place stays.
    Share again = Make(Info("Docs", "/volume2/docs"));
    ASSERT_EQ(VAKOShareDBSet(db.get(), "docs", again.get()), 0);
    EXPECT_EQ(db.GetRaw(Key("#VAKO@SMB@S@DOCS")), "section 3");
    // Renamed: the place goes with it, over the place of a share it replaces.
    Share music = Make(Info("music")), files = Make(Info("files"));
    ASSERT_EQ(VAKOShareDBSet(db.get(), nullptr, music.get()), 0);
    db.PutRaw(Key("#VAKO@SMB@S@MUSIC"), "section 5");
    ASSERT_EQ(VAKOShareDBSet(db.get(), "DOCS", music.get()), 0);
    EXPECT_EQ(db.GetRaw(Key("#VAKO@SMB@S@MUSIC")), "section 3");
    EXPECT_EQ(db.GetRaw(Key("#VAKO@SMB@S@DOCS")), "<absent>");
    // Renamed without a place: a place the new name had is not its own.
    ASSERT_EQ(VAKOShareDBSet(db.get(), nullptr, files.get()), 0);
    db.PutRaw(Key("#VAKO@SMB@S@EXTRA"), "left behind");
    Share extra = Make(Info("extra"));
    ASSERT_EQ(VAKOShareDBSet(db.get(), "files", extra.get()), 0);
    EXPECT_EQ(db.GetRaw(Key("#VAKO@SMB@S@EXTRA")), "<absent>");
    // Removed: its place too.
    ASSERT_EQ(VAKOShareDBDelete(db.get(), "Music"), 0);
    EXPECT_EQ(db.GetRaw(Key("#VAKO@SMB@S@MUSIC")), "<absent>");
    // New, under the name of a share removed by another program: no place.
    db.PutRaw(Key("#VAKO@SMB@S@MUSIC"), "left behind");
    ASSERT_EQ(VAKOShareDBSet(db.get(), nullptr, music.get()), 0);
    EXPECT_EQ(db.GetRaw(Key("#VAKO@SMB@S@MUSIC")), "<absent>");
}

TEST(ShareDBDelete, RemovesInAnyLetterCase)
{
    ShareDbFile db;
    Share pub = Make(Info("Public")), docs = Make(Info("docs"));
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
    Share pub = Make(Info("Public"));
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
    Share a = Make({"a", nullptr, "/v", nullptr, nullptr, nullptr, 2, 1, 0});
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
            Share s = Make(Info(name));
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
    Share a = Make({"a", nullptr, "/v", nullptr, nullptr, nullptr, 2, 1, 0});
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
    Share s = Make(Info("docs"));
    VAKOSHARE *p = nullptr;
    char out[8];
    std::string value = Packed(s.get());
    Share stray = Make(Info("stray"));
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
