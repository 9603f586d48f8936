#include "vako/keydb_cache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "slib/error.h"
#include "vako/group_op.h"
#include "vako/share_op.h"
#include "vako/user_op.h"
#include "vako/user_set.h"
#include "vakotest/caches.h"
#include "vakotest/groupdb.h"
#include "vakotest/logs.h"
#include "vakotest/peopledb.h"
#include "vakotest/planted.h"
#include "vakotest/scemd.h"
#include "vakotest/sharedb.h"
#include "vakotest/sleeps.h"
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
    // /etc/group changed, and /etc/group_desc, which every build reads, gone.
    vakotest::WriteGroupFiles(groupdb::Fixture(), vakotest::kAccountsMtime + 40);
    vakotest::RemoveFile(vakotest::kGroupDescFile);
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

// ---- What another account leaves at the caches' names ----

constexpr const char *kLock = kCache.szRebuildLock;
constexpr char kOwnFile[] = "file 0644 0 1";
constexpr char kOwnLock[] = "file 0600 0 1";

// An open of the live set in a child that a hang cannot keep: 0 when it
// holds what the sources say and no forged "EVIL", 1 when not, else 2 (the
// code printed).
int GuardedOpen()
{
    return vakotest::RunGuarded([] {
        PeopleDb *db = Open();
        if (!db) {
            fprintf(stderr, "open failed: 0x%04X\n", SLIBErrorGet());
            return 2;
        }
        bool whole = Lookup(db, kName, "BOB") == "bob:1025" && Lookup(db, kId, "001024") == "ALICE" &&
                     Lookup(db, kDesc, "ALICE") == "alice:first" && Lookup(db, kName, "EVIL") == "<absent>";
        people::CloseSet(db);
        return whole ? 0 : 1;
    });
}

void RemoveLiveFiles()
{
    for (const VAKOBDBCACHEFILE &f : kCacheFiles)
        vakotest::RemoveFile(f.szPath);
}

// Each live file root's own, made here.
void ExpectOwnFiles()
{
    for (const VAKOBDBCACHEFILE &f : kCacheFiles)
        EXPECT_EQ(vakotest::Standing(f.szPath), kOwnFile) << f.szPath;
}

std::string Removed(const char *src, const char *path, const std::string &why)
{
    return std::string(src) + ":{L} [" + path + "] is " + why + ": removed";
}

// What another account can leave at a name: the kit's plants, and a FIFO
// that nobody writes (a read of it would wait for ever).
struct Plant {
    std::string what, why;
    std::unique_ptr<vakotest::Planted> planted;
    bool VictimsUntouched() const { return !planted || planted->VictimsUntouched(); }
};
std::vector<std::string> PlantNames()
{
    std::vector<std::string> names;
    for (vakotest::Plant p : vakotest::kEveryPlant)
        names.push_back(vakotest::PlantName(p));
    names.push_back("empty FIFO");
    return names;
}
Plant PlantAt(size_t which, const char *path)
{
    if (which < std::size(vakotest::kEveryPlant)) {
        vakotest::Plant p = vakotest::kEveryPlant[which];
        return {vakotest::PlantName(p), vakotest::RefusalText(p), std::make_unique<vakotest::Planted>(p, path)};
    }
    vakotest::RemoveFile(path);
    EXPECT_EQ(mkfifo(path, 0666), 0);
    return {"empty FIFO", "not a regular file", nullptr};
}

TEST(CacheTrust, WhatStandsAtALiveNameIsRemovedAndTheSetBuiltAnew)
{
    for (bool inUse : {false, true}) {
        for (int file = 0; file < people::kFiles; file++) {
            for (size_t which = 0; which < PlantNames().size(); which++) {
                WriteSources();
                RemoveLiveFiles();
                if (inUse) {
                    PeopleDb *db = Open();
                    ASSERT_NE(db, nullptr);
                    people::CloseSet(db);
                }
                const char *path = kCacheFiles[file].szPath;
                Plant plant = PlantAt(which, path);
                SCOPED_TRACE(std::string(inUse ? "in use, " : "before the first open, ") + path + ": " + plant.what);
                vakotest::SyslogClear();
                EXPECT_EQ(GuardedOpen(), 0);
                ExpectOwnFiles();
                EXPECT_TRUE(plant.VictimsUntouched());
                EXPECT_TRUE(vakotest::SyslogMatches(Removed("bdb_open", path, plant.why), LOG_ERR));
                RemoveLiveFiles();
            }
        }
    }
}

TEST(CacheTrust, WhatStandsAtATemporaryNameIsRemovedUnfollowed)
{
    for (int file = 0; file < people::kFiles; file++) {
        for (size_t which = 0; which < PlantNames().size(); which++) {
            WriteSources();
            PeopleDb *db = Open();
            ASSERT_NE(db, nullptr);
            people::CloseSet(db);
            const char *path = kCacheFiles[file].szTmpPath;
            Plant plant = PlantAt(which, path);
            SCOPED_TRACE(std::string(path) + ": " + plant.what);
            EXPECT_EQ(vakotest::RunGuarded([] { return VAKOBDbCacheRebuild(&kCache, nullptr) == 0 ? 0 : 1; }), 0);
            EXPECT_EQ(GuardedOpen(), 0);
            ExpectOwnFiles();
            EXPECT_FALSE(AnyTmpFile());
            EXPECT_TRUE(plant.VictimsUntouched());
            RemoveLiveFiles();
        }
    }
}

TEST(CacheTrust, ForgedRecordsAreNeverRead)
{
    struct Case {
        const char *what;
        std::function<void()> plant; // on a built set, closed
        std::vector<std::string> refusals;
    } cases[] = {
        {"root's file as builds before left it, that any account may write",
         [] {
             ASSERT_EQ(chmod(kCacheFiles[kName].szPath, 0666), 0);
             ASSERT_TRUE(vakotest::RunAs(vakotest::kNoRightsUid, [] {
                 return vakotest::ForgeRecords(kCacheFiles[kName].szPath, {{"EVIL", "evil:0"}});
             }));
         },
         {Removed("bdb_open", kCacheFiles[kName].szPath, "of mode 0666")}},
        {"a whole set another account made before root's first open",
         [] {
             std::vector<std::string> bytes;
             for (const VAKOBDBCACHEFILE &f : kCacheFiles)
                 bytes.push_back(vakotest::ReadFile(f.szPath));
             RemoveLiveFiles();
             vakotest::RemoveFile(kLock);
             ASSERT_TRUE(vakotest::RunAs(vakotest::kNoRightsUid, [&] {
                 for (int i = 0; i < people::kFiles; i++)
                     vakotest::WriteFile(kCacheFiles[i].szPath, bytes[static_cast<size_t>(i)]);
                 return vakotest::ForgeRecords(kCacheFiles[kName].szPath, {{"EVIL", "evil:0"}});
             }));
         },
         {Removed("bdb_open", kCacheFiles[kName].szPath, "owned by uid 65534"),
          Removed("bdb_open", kCacheFiles[kDesc].szPath, "owned by uid 65534")}},
        {"a set and lock another account's program built first",
         [] {
             RemoveLiveFiles();
             vakotest::RemoveFile(kLock);
             ASSERT_TRUE(vakotest::RunAs(vakotest::kNoRightsUid, [] {
                 PeopleDb *db = Open();
                 if (db)
                     people::CloseSet(db);
                 return db && vakotest::ForgeRecords(kCacheFiles[kName].szPath, {{"EVIL", "evil:0"}});
             }));
         },
         {Removed("people_db_open", kLock, "owned by uid 65534"),
          Removed("bdb_open", kCacheFiles[kId].szPath, "owned by uid 65534")}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        WriteSources();
        PeopleDb *db = Open();
        ASSERT_NE(db, nullptr);
        people::CloseSet(db);
        c.plant();
        vakotest::SyslogClear();
        EXPECT_EQ(GuardedOpen(), 0);
        ExpectOwnFiles();
        EXPECT_EQ(vakotest::Standing(kLock), kOwnLock);
        for (const std::string &r : c.refusals)
            EXPECT_TRUE(vakotest::SyslogMatches(r, LOG_ERR)) << r;
        RemoveLiveFiles();
    }
}

TEST(CacheTrust, AnotherAccountsHoldOfTheRebuildLockStopsNoBuild)
{
    struct Case {
        const char *what;
        std::function<void()> prepare; // as root, the lock made
        std::function<bool()> hold;    // as the account
        const char *why;
    } cases[] = {
        {"root's lock as builds before left it, held shared", [] { ASSERT_EQ(chmod(kLock, 0644), 0); },
         [] {
             int fd = open(kLock, O_RDONLY | O_CLOEXEC);
             return fd >= 0 && flock(fd, LOCK_SH | LOCK_NB) == 0;
         },
         "of mode 0644"},
        {"root's lock as builds before left it, held exclusively", [] { ASSERT_EQ(chmod(kLock, 0644), 0); },
         [] {
             int fd = open(kLock, O_RDONLY | O_CLOEXEC);
             return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
         },
         "of mode 0644"},
        {"made by the account before root's, held", [] { vakotest::RemoveFile(kLock); },
         [] {
             int fd = open(kLock, O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
             return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
         },
         "owned by uid 65534"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        // The open that builds, and the check that rebuilds a stale set.
        for (bool check : {false, true}) {
            WriteSources();
            RemoveLiveFiles();
            PeopleDb *db = Open();
            ASSERT_NE(db, nullptr);
            if (!check) {
                people::CloseSet(db);
                RemoveLiveFiles();
            }
            c.prepare();
            vakotest::AccountProcess holder(c.hold);
            ASSERT_TRUE(holder.ok());
            vakotest::SyslogClear();
            if (check) {
                WriteSource(people::kSource, "alice:1024\nbob:1025\n", kT0 + 30);
                EXPECT_EQ(vakotest::RunGuarded([&] { return Check(&db) == 1 ? 0 : 1; }), 0);
                people::CloseSet(db);
            } else {
                EXPECT_EQ(GuardedOpen(), 0);
            }
            EXPECT_EQ(vakotest::Standing(kLock), kOwnLock);
            EXPECT_TRUE(vakotest::SyslogMatches(
                Removed(check ? "people_db_check_and_rebuild" : "people_db_open", kLock, c.why), LOG_ERR));
        }
    }
    // Root's lock is no file the account can open, let alone hold.
    EXPECT_FALSE(vakotest::RunAs(vakotest::kNoRightsUid, [] { return open(kLock, O_RDONLY | O_CLOEXEC) >= 0; }));
    RemoveLiveFiles();
}

TEST(CacheTrust, AHoldOfAnotherProcessOfRootsEndsTheWaitInBoundedTime)
{
    // Half a minute in tries 50 ms apart, then the build fails.
    const std::vector<int64_t> pauses(599, 50000);
    for (int op : {LOCK_EX, LOCK_SH}) {
        SCOPED_TRACE(op == LOCK_EX ? "exclusive" : "shared");
        WriteSources();
        PeopleDb *db = Open();
        ASSERT_NE(db, nullptr);
        vakotest::AccountProcess holder(
            [op] {
                int fd = open(kLock, O_RDONLY | O_CLOEXEC);
                return fd >= 0 && flock(fd, op | LOCK_NB) == 0;
            },
            0);
        ASSERT_TRUE(holder.ok());
        {
            // A check that finds its set stale.
            WriteSource(people::kSource, "alice:1024\nbob:1025\n", kT0 + 40);
            vakotest::SleepLog log(vakotest::Pauses::Skipped);
            vakotest::SyslogClear();
            PeopleDb *same = db;
            EXPECT_EQ(Check(&db), -1);
            EXPECT_EQ(db, same);
            EXPECT_EQ(SLIBErrorGet(), 0x0400);
            EXPECT_STREQ(SLIBErrorGetFile(), "people_db_check_and_rebuild");
            EXPECT_TRUE(vakotest::SyslogMatches(
                "people_db_check_and_rebuild:{L} flock(/tmp/.db.people.tmp.lock) failed. errno=11/{*}"));
            EXPECT_EQ(log.Micros(), pauses);
        }
        people::CloseSet(db);
        {
            // An open that must build.
            RemoveLiveFiles();
            vakotest::SleepLog log(vakotest::Pauses::Skipped);
            EXPECT_EQ(Open(), nullptr);
            EXPECT_EQ(SLIBErrorGet(), 0x0400);
            EXPECT_STREQ(SLIBErrorGetFile(), "people_db_open");
            EXPECT_EQ(log.Micros(), pauses);
            EXPECT_FALSE(AnyLiveFile());
        }
    }
}

TEST(CacheTrust, AnAccountThatMayNotOpenRootsFilesFailsAndLeavesThemAlone)
{
    WriteSources();
    PeopleDb *db = Open();
    ASSERT_NE(db, nullptr);
    people::CloseSet(db);
    std::vector<std::string> before;
    for (const VAKOBDBCACHEFILE &f : kCacheFiles)
        before.push_back(vakotest::Standing(f.szPath) + vakotest::ReadFile(f.szPath));
    // The account's open fails with 0x0300 and leaves every file as it was.
    auto opensNothing = [&] {
        EXPECT_TRUE(vakotest::RunAs(vakotest::kNoRightsUid, [] {
            alarm(120);
            return Open() == nullptr && SLIBErrorGet() == 0x0300;
        }));
        for (int i = 0; i < people::kFiles; i++)
            EXPECT_EQ(vakotest::Standing(kCacheFiles[i].szPath) + vakotest::ReadFile(kCacheFiles[i].szPath),
                      before[static_cast<size_t>(i)]);
    };
    vakotest::SyslogClear();
    opensNothing();
    EXPECT_EQ(vakotest::Standing(kLock), kOwnLock);
    EXPECT_TRUE(vakotest::SyslogMatches("people_db_open:{L} open(/tmp/.db.people.tmp.lock) failed. errno=13/{*}"));
    // Even without the lock in the way, the files are not its to replace.
    vakotest::RemoveFile(kLock);
    opensNothing();
    RemoveLiveFiles();
}

// ---- The user, group and share databases against another account ----

// The fixtures' accounts, groups and shares.
void WriteAppliance() { sharedb::WriteFixture(); }

TEST(CacheTrust, ForgedAccountsAndSharesNeverReachTheTextFiles)
{
    struct Case {
        const char *what;
        bool planted; // the caches the account's own, made before root's first use
    } cases[] = {{"in root's caches as builds before left them", false},
                 {"in caches planted before root's first use", true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        WriteAppliance();
        vakotest::MakeOldBuildCaches();
        std::vector<std::string> bytes;
        for (const char *f : vakotest::kCacheFiles)
            bytes.push_back(vakotest::ReadFile(f));
        if (c.planted)
            for (const char *f : vakotest::kCacheFiles)
                vakotest::RemoveFile(f);
        ASSERT_TRUE(vakotest::RunAs(vakotest::kNoRightsUid, [&] {
            if (c.planted)
                for (size_t i = 0; i < bytes.size(); i++)
                    vakotest::WriteFile(vakotest::kCacheFiles[i], bytes[i]);
            return vakotest::ForgeAccountsAndShares();
        }));
        const vakotest::AccountFiles accounts = vakotest::ReadAccountFiles();

        vakotest::ScemdStandIn scemd;
        PVAKOUSER raw = nullptr;
        EXPECT_EQ(VAKOUserGet("evil", &raw), -1);
        VAKOUserFree(raw);
        // Root's next change of an account (bob as stored) and of the shares.
        raw = nullptr;
        ASSERT_EQ(VAKOUserGet("bob", &raw), 0);
        userdb::UserPtr bob(raw);
        ASSERT_EQ(VAKOUserSet("bob", bob.get()), 0);
        sharedb::DbPtr shares = sharedb::Open();
        ASSERT_NE(shares, nullptr);
        ASSERT_EQ(VAKOShareDBDump(shares.get()), 0);
        const vakotest::AccountFiles now = vakotest::ReadAccountFiles();
        EXPECT_EQ(now.passwd, accounts.passwd);
        EXPECT_EQ(now.vakouserConf.find("evil"), std::string::npos);
        EXPECT_EQ(now.shadow.find("evil"), std::string::npos);
        EXPECT_EQ(now.shadow.substr(0, now.shadow.find('\n')), accounts.shadow.substr(0, accounts.shadow.find('\n')));
        EXPECT_EQ(vakotest::ReadFile(vakotest::kSmbConf).find("rootfs"), std::string::npos);
        for (const char *f : vakotest::kCacheFiles) {
            bool secret = f == vakotest::kUserDbShadow || f == vakotest::kUserDbSmb;
            EXPECT_EQ(vakotest::Standing(f), secret ? "file 0600 0 1" : kOwnFile) << f;
        }
        for (const char *l : vakotest::kRebuildLocks)
            EXPECT_EQ(vakotest::Standing(l), kOwnLock) << l;
    }
}

TEST(CacheTrust, AnotherAccountReadsNoPasswordHash)
{
    WriteAppliance();
    userdb::DbPtr db = userdb::Open();
    ASSERT_NE(db, nullptr);
    EXPECT_TRUE(vakotest::RunAs(vakotest::kNoRightsUid, [] {
        auto opens = [](const char *f) {
            int fd = open(f, O_RDONLY | O_CLOEXEC);
            if (fd >= 0)
                close(fd);
            return fd >= 0;
        };
        return !opens(vakotest::kUserDbShadow) && errno == EACCES && !opens(vakotest::kUserDbSmb) && errno == EACCES &&
               opens(vakotest::kUserDbName);
    }));
}

TEST(CacheTrust, AReaderThatIsNotRootFailsCleanlyAndTouchesNothing)
{
    WriteAppliance();
    // Before root's first open: it cannot build (the password files are
    // root's), and root's open then takes no file of its own.
    EXPECT_TRUE(vakotest::RunAs(vakotest::kNoRightsUid, [] {
        alarm(120);
        VAKOUSERDB *db = VAKOUserDBOpen();
        VAKOUserDBClose(db);
        return db == nullptr;
    }));
    for (const char *f : vakotest::kCacheFiles)
        EXPECT_EQ(vakotest::Standing(f), "none") << f;
    vakotest::MakeOldBuildCaches();
    for (const char *f : vakotest::kCacheFiles)
        ASSERT_EQ(chmod(f, f == vakotest::kUserDbShadow || f == vakotest::kUserDbSmb ? 0600 : 0644), 0);
    for (const char *l : vakotest::kRebuildLocks)
        ASSERT_EQ(chmod(l, 0600), 0);
    for (const char *l : vakotest::kRebuildLocks)
        EXPECT_EQ(vakotest::Standing(l), kOwnLock) << l;

    // Root's caches in place: each open fails with 0x0300, each operation
    // fails (the account-file lock is root's too), within the lock table's
    // time-out.
    std::vector<std::string> before;
    for (const char *f : vakotest::kCacheFiles)
        before.push_back(vakotest::Standing(f) + vakotest::ReadFile(f));
    vakotest::SleepLog log(vakotest::Pauses::Skipped);
    EXPECT_TRUE(vakotest::RunAs(vakotest::kNoRightsUid, [] {
        alarm(120);
        bool users = VAKOUserDBOpen() == nullptr && SLIBErrorGet() == 0x0300;
        bool groups = VAKOGroupDBOpen() == nullptr && SLIBErrorGet() == 0x0300;
        bool shares = VAKOShareDBOpen() == nullptr && SLIBErrorGet() == 0x0300;
        PVAKOUSER u = nullptr;
        bool get = VAKOUserGet("bob", &u) == -1;
        VAKOUserFree(u);
        PVAKOGROUP g = nullptr;
        bool group = VAKOGroupGet("staff", &g) == -1;
        VAKOGroupFree(g);
        PSLIBSZLIST list = PslSLIBSzListAlloc(512);
        bool share = VAKOShareEnum(&list, VAKO_SHARE_KIND_NORMAL) == -1;
        SLIBSzListFree(list);
        return users && groups && shares && get && group && share;
    }));
    for (size_t i = 0; i < std::size(vakotest::kCacheFiles); i++)
        EXPECT_EQ(vakotest::Standing(vakotest::kCacheFiles[i]) + vakotest::ReadFile(vakotest::kCacheFiles[i]),
                  before[i]);
    for (const char *l : vakotest::kRebuildLocks)
        EXPECT_EQ(vakotest::Standing(l), kOwnLock) << l;
}

} // namespace
