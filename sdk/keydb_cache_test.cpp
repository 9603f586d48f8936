#include "vako/keydb_cache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "slib/error.h"
#include "vakotest/groupdb.h"
#include "vakotest/logs.h"
#include "vakotest/peopledb.h"
#include "vakotest/testkit.h"

using people::kCache;
using people::kCacheFiles;
using people::kDesc;
using people::kId;
using people::kName;
using people::PeopleDb;

namespace {

// Writes a source with the given modification time (seconds).
void WriteSource(const char *path, const std::string &text, time_t mtime)
{
    vakotest::WriteFile(path, text);
    struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path, times, 0), 0);
}

constexpr time_t kT0 = 1700000000;

void WriteSources(time_t mtime = kT0)
{
    WriteSource(people::kSource, "alice:1024\nbob:1025\n", mtime);
    WriteSource(people::kDescSource, "alice:first\n", mtime + 1);
}

PeopleDb *Open() { return static_cast<PeopleDb *>(VAKOBDbCacheOpen(&kCache)); }

// The value of an upper-cased name in a file, or "<absent>".
std::string Lookup(PeopleDb *db, int file, const std::string &key)
{
    void *p = nullptr;
    int cb = 0;
    std::string v = VAKOBDbGet(db->file[file], key.c_str(), static_cast<int>(key.size()) + 1, &p, &cb) == 0
                        ? std::string(static_cast<char *>(p))
                        : "<absent>";
    VAKOBDbDataFree(p);
    return v;
}

int Check(PeopleDb **ppDb) { return VAKOBDbCacheCheckAndRebuild(&kCache, reinterpret_cast<void **>(ppDb)); }

off_t FileSize(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 ? st.st_size : -1;
}

bool AnyTmpFile()
{
    for (const VAKOBDBCACHEFILE &f : kCacheFiles)
        if (vakotest::FileExists(f.szTmpPath))
            return true;
    return false;
}

bool AnyLiveFile()
{
    for (const VAKOBDBCACHEFILE &f : kCacheFiles)
        if (vakotest::FileExists(f.szPath))
            return true;
    return false;
}

// Ends a case: the next one starts without caches.
void CloseAndRemove(PeopleDb *db)
{
    people::CloseSet(db);
    for (const VAKOBDBCACHEFILE &f : kCacheFiles)
        vakotest::RemoveFile(f.szPath);
}

// A record that no build writes: it survives only while nothing is rebuilt.
void Mark(PeopleDb *db) { ASSERT_EQ(people::Put(db->file[kName], "MARK", "m"), 0); }

TEST(CacheOpen, BuildsMissingFilesFromTheSources)
{
    WriteSources();
    PeopleDb *db = Open();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(people::gBuilds, 1);
    EXPECT_EQ(Lookup(db, kName, "BOB"), "bob:1025");
    EXPECT_EQ(Lookup(db, kId, "001024"), "ALICE");
    EXPECT_EQ(Lookup(db, kDesc, "ALICE"), "alice:first");
    for (int i = 0; i < people::kFiles; i++) {
        EXPECT_EQ(VAKOBDbDeprecatedGet(db->file[i]), 0);
        EXPECT_EQ(vakotest::FileMode(kCacheFiles[i].szPath), 0644u);
    }
    EXPECT_EQ(VAKOBDbIsNeedToRebuild(db->file[kName], kT0), 0);
    EXPECT_EQ(VAKOBDbIsNeedToRebuild(db->file[kId], kT0), 0);
    EXPECT_EQ(VAKOBDbIsNeedToRebuild(db->file[kDesc], kT0 + 1), 0);
    people::CloseSet(db);
}

TEST(CacheOpen, CurrentCacheIsKept)
{
    WriteSources();
    PeopleDb *db = Open();
    ASSERT_NE(db, nullptr);
    Mark(db);
    people::CloseSet(db);
    ASSERT_EQ(FileSize(kCacheFiles[kDesc].szPath), 8192); // the smallest size that is kept

    vakotest::SyslogClear();
    db = Open();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(people::gBuilds, 1);
    EXPECT_EQ(Lookup(db, kName, "MARK"), "m");
    PeopleDb *same = db;
    EXPECT_EQ(Check(&db), 0);
    EXPECT_EQ(db, same);
    EXPECT_TRUE(vakotest::SyslogTexts().empty());
    people::CloseSet(db);
}

TEST(CacheCheck, SourceChangeRebuildsAllFiles)
{
    for (const char *changed : {people::kSource, people::kDescSource}) {
        SCOPED_TRACE(changed);
        WriteSources();
        PeopleDb *db = Open();
        ASSERT_NE(db, nullptr);
        Mark(db);
        WriteSource(people::kSource, "alice:1024\ncarol:1030\n", kT0);
        WriteSource(people::kDescSource, "carol:new\n", kT0 + 1);
        struct timespec later[2] = {{kT0 + 50, 0}, {kT0 + 50, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, changed, later, 0), 0);

        PeopleDb *old = db;
        EXPECT_EQ(Check(&db), 1);
        ASSERT_NE(db, nullptr);
        EXPECT_NE(db, old);
        EXPECT_EQ(Lookup(db, kName, "MARK"), "<absent>");
        EXPECT_EQ(Lookup(db, kName, "BOB"), "<absent>");
        EXPECT_EQ(Lookup(db, kId, "001030"), "CAROL");
        EXPECT_EQ(Lookup(db, kDesc, "CAROL"), "carol:new");
        EXPECT_EQ(Check(&db), 0); // in step now
        EXPECT_FALSE(AnyTmpFile());
        CloseAndRemove(db);
    }
}

TEST(CacheCheck, MissingOrSmallFileRebuilds)
{
    struct Case {
        const char *what;
        int file;
        off_t size; // -1: removed
        const char *message;
        int builds; // a missing live file is built as the old set is opened, then the new set
    } cases[] = {
        {"removed", kId, -1,
         "people_db_check_and_rebuild:{L} stat(/tmp/.db.people.id.0966) failed, so rebuild db. (errno=No such file "
         "or directory)",
         2},
        {"one page", kDesc, 4096,
         "people_db_check_and_rebuild:{L} st_size(/tmp/.db.people.desc.0966)=4096, so rebuild db.", 1},
        {"empty", kName, 0, "people_db_check_and_rebuild:{L} st_size(/tmp/.db.people.name.0966)=0, so rebuild db.", 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        WriteSources();
        PeopleDb *db = Open();
        ASSERT_NE(db, nullptr);
        Mark(db);
        int builds = people::gBuilds;
        const char *path = kCacheFiles[c.file].szPath;
        if (c.size < 0)
            vakotest::RemoveFile(path);
        else
            ASSERT_EQ(truncate(path, c.size), 0);
        vakotest::SyslogClear();
        EXPECT_EQ(Check(&db), 1);
        ASSERT_NE(db, nullptr);
        EXPECT_TRUE(vakotest::SyslogMatches(c.message));
        EXPECT_EQ(people::gBuilds, builds + c.builds);
        EXPECT_EQ(Lookup(db, kName, "MARK"), "<absent>");
        EXPECT_EQ(Lookup(db, kName, "ALICE"), "alice:1024");
        EXPECT_EQ(Check(&db), 0);
        people::CloseSet(db);
    }
}

TEST(CacheCheck, OldSetThatCannotBeOpenedFailsTheRebuild)
{
    WriteSources();
    PeopleDb *db = Open();
    ASSERT_NE(db, nullptr);
    // 8191 bytes: rebuilt, but the store refuses to open the damaged old
    // file (EINVAL).
    ASSERT_EQ(truncate(kCacheFiles[kDesc].szPath, 8191), 0);
    vakotest::SyslogClear();
    SLIBErrorSet(0);
    EXPECT_EQ(Check(&db), -1);
    EXPECT_EQ(SLIBErrorGet(), 0xB100);
    EXPECT_EQ(db, nullptr);
    EXPECT_TRUE(vakotest::SyslogMatches(
        "people_db_check_and_rebuild:{L} st_size(/tmp/.db.people.desc.0966)=8191, so rebuild db."));
    EXPECT_TRUE(vakotest::SyslogMatches("people_db_rebuild:{L} PeopleDBOpenFile(&pOld) Error, SLIBError=(0xB100)"));
    EXPECT_TRUE(vakotest::SyslogMatches("people_db_check_and_rebuild:{L} PeopleDBRebuild failed, vakoerr=0xB100"));
    // The cache is gone; the next open builds it afresh.
    EXPECT_FALSE(AnyLiveFile());
    EXPECT_FALSE(AnyTmpFile());
    db = Open();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(Lookup(db, kDesc, "ALICE"), "alice:first");
    people::CloseSet(db);
}

TEST(CacheCheck, ReplacedFilesAreReopened)
{
    WriteSources();
    PeopleDb *db = Open();
    ASSERT_NE(db, nullptr);
    WriteSource(people::kSource, "alice:1024\ndave:1031\n", kT0);
    // Another process's rebuild: new files renamed into place, the old name
    // file marked through a handle of its own.
    PeopleDb *built = nullptr;
    ASSERT_EQ(VAKOBDbCacheRebuild(&kCache, reinterpret_cast<void **>(&built)), 0);
    people::CloseSet(built);
    int builds = people::gBuilds;

    PeopleDb *old = db;
    EXPECT_EQ(Check(&db), 1);
    ASSERT_NE(db, nullptr);
    EXPECT_NE(db, old);
    EXPECT_EQ(people::gBuilds, builds); // reopened, not built
    EXPECT_EQ(Lookup(db, kName, "DAVE"), "dave:1031");
    EXPECT_EQ(VAKOBDbDeprecatedGet(db->file[kName]), 0);
    EXPECT_EQ(Check(&db), 0);
    people::CloseSet(db);
}

TEST(CacheCheck, OldFilesOfTheCallerAreMarkedReplaced)
{
    WriteSources();
    PeopleDb *holder = Open(); // another holder of the live files
    ASSERT_NE(holder, nullptr);
    PeopleDb *db = nullptr;
    ASSERT_EQ(people::OpenSet(reinterpret_cast<void **>(&db), 0), 0);
    struct timespec later[2] = {{kT0 + 9, 0}, {kT0 + 9, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, people::kSource, later, 0), 0);
    EXPECT_EQ(Check(&db), 1);
    people::CloseSet(db);
    // Every file of the old set carries the mark.
    for (int i = 0; i < people::kFiles; i++)
        EXPECT_EQ(VAKOBDbDeprecatedGet(holder->file[i]), 1);
    EXPECT_EQ(Check(&holder), 1);
    people::CloseSet(holder);
}

TEST(CacheCheck, FlagsAreReadInTheDatabasesOrder)
{
    // The id file's flag is unreadable, the desc file's says replaced: the
    // order of the reads decides.
    static constexpr int kNameDescId[people::kFiles] = {kName, kDesc, kId};
    struct Case {
        const char *what;
        const int *order;
        int result;
    } cases[] = {
        {"file order", nullptr, -1},
        {"name, desc, id", kNameDescId, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        WriteSources();
        PeopleDb *db = Open();
        ASSERT_NE(db, nullptr);
        ASSERT_EQ(VAKOBDbDelete(db->file[kId], SZK_BDB_DEPRECATED, CB_BDB_DEPRECATED), 0);
        ASSERT_EQ(VAKOBDbDeprecatedSet(db->file[kDesc], 1), 0);
        VAKOBDBCACHE cache = kCache;
        cache.rgFlagOrder = c.order;
        EXPECT_EQ(VAKOBDbCacheCheckAndRebuild(&cache, reinterpret_cast<void **>(&db)), c.result);
        CloseAndRemove(db);
    }
}

TEST(CacheCheck, TheGroupDatabaseReadsItsFlagsNameDescId)
{
    // The gid file's flag is unreadable, the description file's says
    // replaced: read in the order name, desc, id, the check reopens.
    groupdb::DbPtr db = groupdb::OpenFixture(); // built: its flags not read yet
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(VAKOBDbDelete(db->pGRPGID, SZK_BDB_DEPRECATED, CB_BDB_DEPRECATED), 0);
    ASSERT_EQ(VAKOBDbDeprecatedSet(db->pGRPDesc, 1), 0);
    VAKOGROUPDB *p = db.release(), *old = p;
    EXPECT_EQ(VAKOGroupDBCheckAndRebuild(&p), 1);
    db.reset(p);
    EXPECT_NE(p, old);
    EXPECT_EQ(groupdb::Record(db->pGRPDesc, "DEV"), "dev:Developers");

    // A rebuild that fails: the group database's own message. (The live
    // files still carry the flags set above: built afresh first.)
    db.reset();
    for (const char *f : {vakotest::kGroupDbName, vakotest::kGroupDbId, vakotest::kGroupDbDesc})
        vakotest::RemoveFile(f);
    db = groupdb::Open();
    ASSERT_NE(db, nullptr);
    vakotest::GroupFiles bad = groupdb::Fixture();
    bad.group += "bad:x:zz:\n";
    vakotest::WriteGroupFiles(bad, vakotest::kAccountsMtime + 40);
    vakotest::SyslogClear();
    p = db.release();
    EXPECT_EQ(VAKOGroupDBCheckAndRebuild(&p), -1);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
    EXPECT_STREQ(SLIBErrorGetFile(), "group_db_rebuild");
    EXPECT_TRUE(vakotest::SyslogMatches("group_db_check_and_rebuild:{L} VAKOGroupDBRebuild failed, vakoerr=0x0900"));
}

// Live sets refused to open while set, as an open that fails after another
// process's rebuild.
bool gRefuseLive = false;

int RefusingOpenSet(void **ppDb, int bTmp)
{
    if (gRefuseLive && !bTmp) {
        SLIBErrorSetEx(0x0700, "people_db_open", __LINE__);
        return -1;
    }
    return people::OpenSet(ppDb, bTmp);
}

TEST(CacheCheck, FailedReopenKeepsTheHandle)
{
    struct Case {
        const char *what;
        int reopenFailCode;
        int code;
    } cases[] = {
        {"the open's own code", 0, 0x0700},
        {"the database's code", 0x0900, 0x0900},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        WriteSources();
        PeopleDb *db = Open();
        ASSERT_NE(db, nullptr);
        ASSERT_EQ(VAKOBDbCacheRebuild(&kCache, nullptr), 0); // another process's
        VAKOBDBCACHE cache = kCache;
        cache.pfnOpenSet = RefusingOpenSet;
        cache.reopenFailCode = c.reopenFailCode;
        gRefuseLive = true;
        vakotest::SyslogClear();
        PeopleDb *same = db;
        EXPECT_EQ(VAKOBDbCacheCheckAndRebuild(&cache, reinterpret_cast<void **>(&db)), -1);
        gRefuseLive = false;
        EXPECT_EQ(db, same);
        EXPECT_EQ(SLIBErrorGet(), c.code);
        EXPECT_TRUE(vakotest::SyslogMatches("people_db_check_and_rebuild:{L} PeopleDBOpenFile() Error, "
                                            "SLIBError=(0x0700)"));
        EXPECT_EQ(Check(&db), 1);
        CloseAndRemove(db); // the next handle must not have read the flag before the mark
    }
}

// Refuses the live sets from the first one on that it is asked to open.
int RefuseLiveFromNowOn(void **ppDb, int bTmp)
{
    if (!bTmp)
        gRefuseLive = true;
    return RefusingOpenSet(ppDb, bTmp);
}

TEST(CacheCheck, AfterARebuildTheCallersFilesAreMarkedBeforeTheReopen)
{
    // Marked, then reopened: the reopen fails, the old files carry the mark.
    WriteSources();
    PeopleDb *db = Open();
    ASSERT_NE(db, nullptr);
    people::CloseSet(db);
    db = nullptr;
    ASSERT_EQ(people::OpenSet(reinterpret_cast<void **>(&db), 0), 0); // flags not read yet
    vakotest::RemoveFile(kCacheFiles[kId].szPath);
    VAKOBDBCACHE cache = kCache;
    cache.pfnOpenSet = RefuseLiveFromNowOn;
    cache.bMarkOldSet = 0; // the reopen is the first live open
    PeopleDb *same = db;
    EXPECT_EQ(VAKOBDbCacheCheckAndRebuild(&cache, reinterpret_cast<void **>(&db)), -1);
    gRefuseLive = false;
    EXPECT_EQ(db, same);
    for (int i = 0; i < people::kFiles; i++)
        EXPECT_EQ(VAKOBDbDeprecatedGet(db->file[i]), 1) << i;
    people::CloseSet(db);

    // Marking fails (files open read-only): -1 before any reopen, the
    // caller's record kept.
    WriteSources();
    PeopleDb *holder = Open();
    ASSERT_NE(holder, nullptr);
    db = static_cast<PeopleDb *>(calloc(1, sizeof(PeopleDb)));
    for (int i = 0; i < people::kFiles; i++)
        ASSERT_NE(db->file[i] = VAKOBDbOpen(kCacheFiles[i].szPath, O_RDONLY, kCacheFiles[i].bDup), nullptr);
    struct timespec later[2] = {{kT0 + 9, 0}, {kT0 + 9, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, people::kSource, later, 0), 0);
    same = db;
    EXPECT_EQ(Check(&db), -1);
    EXPECT_EQ(db, same);
    EXPECT_EQ(Lookup(db, kName, "ALICE"), "alice:1024");
    people::CloseSet(db);
    people::CloseSet(holder);
}

TEST(CacheRebuild, MarksTheOldNameFileOnlyWhenAsked)
{
    for (int mark : {1, 0}) {
        SCOPED_TRACE(mark);
        WriteSources();
        PeopleDb *holder = Open();
        ASSERT_NE(holder, nullptr);
        VAKOBDBCACHE cache = kCache;
        cache.bMarkOldSet = mark;
        ASSERT_EQ(VAKOBDbCacheRebuild(&cache, nullptr), 0);
        EXPECT_EQ(VAKOBDbDeprecatedGet(holder->file[kName]), mark);
        EXPECT_EQ(VAKOBDbDeprecatedGet(holder->file[kId]), 0);
        EXPECT_EQ(Check(&holder), mark);
        people::CloseSet(holder);
    }
}

TEST(CacheRebuild, LeftoversOfAnInterruptedRebuildAreNotUsed)
{
    WriteSources();
    // A temporary set left half way: one file with a record of its own, one
    // that is no database at all.
    {
        VAKOBDB *tmp = VAKOBDbOpen(kCacheFiles[kName].szTmpPath, O_RDWR | O_CREAT, 0);
        ASSERT_NE(tmp, nullptr);
        ASSERT_EQ(people::Put(tmp, "GHOST", "g"), 0);
        VAKOBDbClose(tmp);
    }
    vakotest::WriteFile(kCacheFiles[kId].szTmpPath, std::string(9000, 'x'));
    PeopleDb *db = nullptr;
    ASSERT_EQ(VAKOBDbCacheRebuild(&kCache, reinterpret_cast<void **>(&db)), 0);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(Lookup(db, kName, "GHOST"), "<absent>");
    EXPECT_EQ(Lookup(db, kId, "001025"), "BOB");
    EXPECT_FALSE(AnyTmpFile());
    people::CloseSet(db);
}

TEST(CacheRebuild, FailedRebuildRemovesTheCache)
{
    WriteSources();
    PeopleDb *db = Open();
    ASSERT_NE(db, nullptr);
    WriteSource(people::kSource, "alice:1024\nno separator\n", kT0 + 70);
    EXPECT_EQ(Check(&db), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
    EXPECT_EQ(db, nullptr); // out of step: not handed back
    EXPECT_FALSE(AnyLiveFile());
    EXPECT_FALSE(AnyTmpFile());
    EXPECT_EQ(Open(), nullptr);
    EXPECT_FALSE(AnyLiveFile());

    WriteSource(people::kSource, "erin:1040\n", kT0 + 80);
    db = Open();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(Lookup(db, kName, "ERIN"), "erin:1040");
    EXPECT_EQ(Lookup(db, kName, "ALICE"), "<absent>");
    people::CloseSet(db);
}

TEST(CacheRebuild, FailedRenameRemovesTheCache)
{
    WriteSources();
    PeopleDb *db = Open();
    ASSERT_NE(db, nullptr);
    people::CloseSet(db);
    // The live desc file: a directory that holds a file, which no rename
    // replaces (nor can it be opened as the old set).
    vakotest::RemoveFile(kCacheFiles[kDesc].szPath);
    vakotest::WriteFile(std::string(kCacheFiles[kDesc].szPath) + "/x", "x");
    vakotest::SyslogClear();
    VAKOBDBCACHE cache = kCache;
    cache.bMarkOldSet = 0;
    EXPECT_EQ(VAKOBDbCacheRebuild(&cache, nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x2800);
    EXPECT_TRUE(vakotest::SyslogMatches("people_db_rebuild:{L} rename(/tmp/.db.people.tmp.desc.0966, "
                                        "/tmp/.db.people.desc.0966) = (21)/Is a directory"));
    EXPECT_FALSE(vakotest::FileExists(kCacheFiles[kName].szPath));
    EXPECT_FALSE(vakotest::FileExists(kCacheFiles[kId].szPath));
    EXPECT_FALSE(AnyTmpFile());
}

TEST(CacheCheck, UnreadableSourceFailsAndKeepsTheHandle)
{
    struct Case {
        const char *what;
        void (*spoil)();
        int code;
    } cases[] = {
        {"missing", [] { vakotest::RemoveFile(people::kDescSource); }, 0x0600},
        {"link loop",
         [] {
             vakotest::RemoveFile(people::kDescSource);
             ASSERT_EQ(symlink(people::kDescSource, people::kDescSource), 0);
         },
         0x2700},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        WriteSources();
        PeopleDb *db = Open();
        ASSERT_NE(db, nullptr);
        c.spoil();
        PeopleDb *same = db;
        SLIBErrorSet(0);
        EXPECT_EQ(Check(&db), -1);
        EXPECT_EQ(SLIBErrorGet(), c.code);
        EXPECT_EQ(db, same);
        // The opener hands the cache over as it stands.
        PeopleDb *opened = Open();
        ASSERT_NE(opened, nullptr);
        EXPECT_EQ(Lookup(opened, kName, "ALICE"), "alice:1024");
        people::CloseSet(opened);
        people::CloseSet(db);
        vakotest::RemoveFile(people::kDescSource);
    }
}

TEST(CacheCheck, UnreadableReservedRecordsFail)
{
    struct Case {
        const char *what;
        void (*spoil)(PeopleDb *);
    } cases[] = {
        {"no replaced flag",
         [](PeopleDb *db) { ASSERT_EQ(VAKOBDbDelete(db->file[kId], SZK_BDB_DEPRECATED, CB_BDB_DEPRECATED), 0); }},
        {"short replaced flag",
         [](PeopleDb *db) {
             ASSERT_EQ(VAKOBDbSet(db->file[kDesc], SZK_BDB_DEPRECATED, CB_BDB_DEPRECATED, "\1", 1), 0);
         }},
        {"no sync time",
         [](PeopleDb *db) { ASSERT_EQ(VAKOBDbDelete(db->file[kDesc], SZK_BDB_SYNC_TIME, CB_BDB_SYNC_TIME), 0); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        WriteSources();
        PeopleDb *db = Open();
        ASSERT_NE(db, nullptr);
        c.spoil(db);
        PeopleDb *same = db;
        EXPECT_EQ(Check(&db), -1);
        EXPECT_EQ(db, same);
        CloseAndRemove(db);
    }
}

TEST(CacheOpen, DamagedCacheFileIsBuiltAnew)
{
    struct Case {
        const char *what;
        std::string (*damage)(const std::string &);
    } cases[] = {
        {"garbage", [](const std::string &) { return std::string(16384, '\x5A'); }},
        {"odd size", [](const std::string &b) { return b.substr(0, b.size() - 100); }},
        {"head overwritten", [](const std::string &b) { return std::string(512, '\0') + b.substr(512); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        WriteSources();
        PeopleDb *db = Open();
        ASSERT_NE(db, nullptr);
        Mark(db);
        people::CloseSet(db);
        const char *path = kCacheFiles[kName].szPath;
        vakotest::WriteFile(path, c.damage(vakotest::ReadFile(path)));

        db = Open();
        ASSERT_NE(db, nullptr);
        EXPECT_EQ(Lookup(db, kName, "MARK"), "<absent>");
        EXPECT_EQ(Lookup(db, kName, "BOB"), "bob:1025");
        EXPECT_EQ(Check(&db), 0);
        people::CloseSet(db);
    }
}

TEST(CacheCheck, RefusedArguments)
{
    PeopleDb *none = nullptr;
    SLIBErrorSet(0);
    EXPECT_EQ(Check(&none), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(VAKOBDbCacheCheckAndRebuild(&kCache, nullptr), -1);
    EXPECT_EQ(VAKOBDbCacheCheckAndRebuild(nullptr, reinterpret_cast<void **>(&none)), -1);
    VAKOBDBCACHE broken = kCache;
    broken.pfnFile = nullptr;
    EXPECT_EQ(VAKOBDbCacheOpen(&broken), nullptr);
    EXPECT_EQ(VAKOBDbCacheRebuild(&broken, nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_FALSE(AnyLiveFile());
}

} // namespace
