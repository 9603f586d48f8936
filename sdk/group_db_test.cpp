#include "vako/group_db.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "slib/error.h"
#include "vako/group_op.h"
#include "vakotest/accounts.h"
#include "vakotest/files.h"
#include "vakotest/accountroundtrip.h"
#include "vakotest/groupdb.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/run.h"
#include "vakotest/words.h"

using groupdb::DbPtr;
using groupdb::Fixture;
using groupdb::IdRecords;
using groupdb::kAbsent;
using groupdb::OpenFixture;
using groupdb::Record;
using vakotest::GroupFiles;
using vakotest::kAccountsMtime;

namespace {

namespace rt = accountroundtrip;

// staff with alice alone.
int StaffWithAlice()
{
    PVAKOGROUP raw = nullptr;
    if (VAKOGroupGet("staff", &raw) != 0)
        return -1;
    groupdb::GroupPtr g(raw);
    groupdb::Group staff(g->szName, g->gid, {"alice"});
    return VAKOGroupSet("staff", staff.get());
}

// dev renamed devs.
int DevRenamed()
{
    PVAKOGROUP raw = nullptr;
    if (VAKOGroupGet("dev", &raw) != 0)
        return -1;
    groupdb::GroupPtr g(raw);
    groupdb::Group devs("devs", g->gid, groupdb::Members(g.get()));
    return VAKOGroupSet("dev", devs.get());
}

constexpr const char *kCacheFiles[] = {vakotest::kGroupDbName, vakotest::kGroupDbId, vakotest::kGroupDbDesc};

void RemoveCaches()
{
    for (const char *f : kCacheFiles)
        vakotest::RemoveFile(f);
}

// A record that no build writes: it survives only while nothing is rebuilt.
void Mark(VAKOGROUPDB *db) { ASSERT_EQ(VAKOBDbSet(db->pGRPName, "MARK", 5, "m", 2), 0); }
bool Marked(VAKOGROUPDB *db) { return Record(db->pGRPName, "MARK") == "m"; }

// The raw bytes of a record, or "<absent>".
std::string RawRecord(VAKOBDB *bdb, const char *key, int cbKey)
{
    void *p = nullptr;
    int cb = 0;
    std::string v = kAbsent;
    if (VAKOBDbGet(bdb, key, cbKey, &p, &cb) == 0)
        v.assign(static_cast<char *>(p), static_cast<size_t>(cb));
    VAKOBDbDataFree(p);
    return v;
}

TEST(GroupDbOpen, BuildsTheThreeCachesFromTheTextFiles)
{
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(Record(db->pGRPName, "STAFF"), "staff:x:65536:alice,bob");
    EXPECT_EQ(Record(db->pGRPName, "ROOT"), "root:x:0:");
    EXPECT_EQ(Record(db->pGRPName, "SMMSP"), "smmsp:x:25:admin");
    EXPECT_EQ(IdRecords(db.get(), 65536), std::vector<std::string>{"STAFF"});
    EXPECT_EQ(IdRecords(db.get(), 100), std::vector<std::string>{"USERS"});
    EXPECT_EQ(Record(db->pGRPDesc, "STAFF"), "staff:Staff: all of it");
    EXPECT_EQ(Record(db->pGRPDesc, "ROOT"), kAbsent);
    // Reserved records: words in this processor's byte order.
    EXPECT_EQ(RawRecord(db->pGRPGID, "#CURRENT_GID", 12), vakotest::NativeWord(65537));
    for (VAKOBDB *f : {db->pGRPName, db->pGRPGID, db->pGRPDesc}) {
        EXPECT_EQ(RawRecord(f, "#VAKO@SYNC@TIME", 15), vakotest::NativeWord(static_cast<int32_t>(kAccountsMtime)));
        EXPECT_EQ(RawRecord(f, "#VAKO@DEPRECATED", 17), vakotest::NativeWord(0));
    }
    // No domain groups where the appliance is no domain member.
    EXPECT_EQ(RawRecord(db->pGRPName, "#VAKO@EXPIRE@TIME", 17), kAbsent);
    // Dumped back, the files are what they were.
    ASSERT_EQ(VAKOGroupDBDump(db.get()), 0);
    EXPECT_EQ(vakotest::ReadGroupFiles(), Fixture());
}

TEST(GroupDbOpen, CurrentCachesAreKeptAndStaleOnesRebuiltWhole)
{
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    Mark(db.get());
    db.reset();
    db = groupdb::Open();
    ASSERT_NE(db, nullptr);
    EXPECT_TRUE(Marked(db.get()));
    // After a dump the stamps are the new files' times: still current.
    ASSERT_EQ(VAKOGroupDBDump(db.get()), 0);
    db.reset();
    db = groupdb::Open();
    ASSERT_NE(db, nullptr);
    EXPECT_TRUE(Marked(db.get()));
    db.reset();

    struct Case {
        const char *what;
        void (*spoil)();
    } cases[] = {
        {"group touched", [] { vakotest::SetMtime(vakotest::kGroupFile, kAccountsMtime + 60); }},
        {"group_desc touched", [] { vakotest::SetMtime(vakotest::kGroupDescFile, kAccountsMtime - 60); }},
        {"desc cache removed", [] { vakotest::RemoveFile(vakotest::kGroupDbDesc); }},
        {"id cache small", [] { ASSERT_EQ(truncate(vakotest::kGroupDbId, 8191), 0); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        db = OpenFixture();
        ASSERT_NE(db, nullptr);
        Mark(db.get());
        db.reset();
        // The text files change without their times: only the spoiling tells.
        GroupFiles changed = Fixture();
        changed.group += "qa:x:65540:alice\n";
        changed.groupDesc += "qa:Quality\n";
        vakotest::WriteGroupFiles(changed);
        c.spoil();
        db = groupdb::Open();
        ASSERT_NE(db, nullptr);
        EXPECT_FALSE(Marked(db.get()));
        EXPECT_EQ(Record(db->pGRPName, "QA"), "qa:x:65540:alice");
        EXPECT_EQ(Record(db->pGRPDesc, "QA"), "qa:Quality");
        EXPECT_EQ(IdRecords(db.get(), 65540), std::vector<std::string>{"QA"});
        VAKOGROUPDB *p = db.release();
        EXPECT_EQ(VAKOGroupDBCheckAndRebuild(&p), 0);
        db.reset(p);
        db.reset();
        RemoveCaches();
    }
}

TEST(GroupDbOpen, AnotherProcessesRebuildIsReopened)
{
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    GroupFiles changed = Fixture();
    changed.group += "qa:x:65540:\n";
    vakotest::WriteGroupFiles(changed);
    pid_t other = vakotest::ForkChild([] { return VAKOGroupDBRebuild() == 0 ? 0 : 1; });
    ASSERT_EQ(vakotest::WaitChild(other), 0);
    EXPECT_EQ(VAKOBDbDeprecatedGet(db->pGRPName), 1);
    VAKOGROUPDB *p = db.release();
    EXPECT_EQ(VAKOGroupDBCheckAndRebuild(&p), 1);
    db.reset(p);
    EXPECT_EQ(Record(db->pGRPName, "QA"), "qa:x:65540:");
}

TEST(GroupDbOpen, AMissingDescriptionFileFailsBuildsButNotTheOpenOfCurrentFiles)
{
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    db.reset();
    vakotest::RemoveFile(vakotest::kGroupDescFile);
    // The check cannot read the file: it fails, the open keeps its handle.
    db = groupdb::Open();
    ASSERT_NE(db, nullptr);
    VAKOGROUPDB *p = db.release();
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOGroupDBCheckAndRebuild(&p), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0600);
    db.reset(p);
    db.reset();
    // No build can be made without it.
    RemoveCaches();
    SLIBErrorSet(0);
    EXPECT_EQ(groupdb::Open(), nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
    for (const char *f : kCacheFiles)
        EXPECT_FALSE(vakotest::FileExists(f));
}

TEST(GroupDbBuild, MembersAreStoredValidated)
{
    GroupFiles groups = Fixture();
    groups.group += "qa:x:65540:nobody,ghost,ALICE,alice,Bob,,admin\n";
    DbPtr db = OpenFixture(groups);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(Record(db->pGRPName, "QA"), "qa:x:65540:alice,bob,admin");
    // Unchanged, its line stays as it stood; changed, it is written with
    // its members as the accounts have them.
    ASSERT_EQ(VAKOGroupDBDump(db.get()), 0);
    EXPECT_EQ(vakotest::ReadGroupFiles(), groups);
    groupdb::Group qa("qa", 65540, {"admin", "bob"});
    ASSERT_EQ(VAKOGroupDBSet(db.get(), "QA", 2, qa.get()), 0);
    ASSERT_EQ(VAKOGroupDBDump(db.get()), 0);
    EXPECT_EQ(vakotest::ReadGroupFiles().group, Fixture().group + "qa:x:65540:admin,bob\n");
}

TEST(GroupDbBuild, OddLines)
{
    GroupFiles groups = Fixture();
    groups.group += "# a comment\n"
                    "two:colons:only\n"
                    "zero:x:0:\n"
                    "pw:secret:65545:bob";
    groups.groupDesc += "# a comment\n"
                        "no separator\n"
                        "pw:last line";
    vakotest::SyslogClear();
    DbPtr db = OpenFixture(groups);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(Record(db->pGRPName, "TWO"), kAbsent);
    EXPECT_EQ(Record(db->pGRPName, "# A COMMENT"), kAbsent);
    EXPECT_EQ(IdRecords(db.get(), 0), (std::vector<std::string>{"ROOT", "ZERO"}));
    // The password field as written; the last lines without their line end.
    EXPECT_EQ(Record(db->pGRPName, "PW"), "pw:secret:65545:bob");
    EXPECT_EQ(Record(db->pGRPDesc, "PW"), "pw:last line");
    EXPECT_TRUE(vakotest::SyslogMatches("group_db_build:{L} /etc/group_desc format error, group name = no separator"));
}

TEST(GroupDbBuild, OddLinesAreKeptOutOfTheCache)
{
    // A line the cache cannot hold is logged and left out; the others work,
    // and a dump writes the line back as it stood.
    const struct {
        const char *what;
        std::string line;
        const char *key; // the record the line must not make
        const char *why;
    } cases[] = {
        {"gid no number", "qa:x:abc:", "QA", "has a gid that is not a number of a gid"},
        {"gid empty", "qa:x::", "QA", "has a gid that is not a number of a gid"},
        {"name twice", "STAFF:x:65540:", nullptr, "repeats the name of an earlier line"},
        {"a group as a member", "qa:x:65540:@staff", "QA", "has a member list that is no list of accounts"},
        {"name longer than a key", std::string(129, 'q') + ":x:65540:", nullptr, "has a name too long for a key"},
        {"a name that is no UTF-8 text", "caf\xe9:x:65540:bob", nullptr, "has a name that is not UTF-8 text"},
        {"five fields", "qa:x:65540:alice,bob:", "QA", "has more fields than its format"},
        {"a NUL byte among the members", accountroundtrip::WithNul("qa:x:65540:alice,b", "ob"), "QA",
         "holds a NUL byte"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        GroupFiles groups = Fixture();
        groups.group.insert(groups.group.find("dev:"), c.line + "\n");
        vakotest::SyslogClear();
        DbPtr db = OpenFixture(groups);
        ASSERT_NE(db, nullptr);
        if (c.key) {
            EXPECT_EQ(Record(db->pGRPName, c.key), kAbsent);
        }
        EXPECT_EQ(Record(db->pGRPName, "STAFF"), "staff:x:65536:alice,bob");
        EXPECT_EQ(IdRecords(db.get(), 65540), std::vector<std::string>{});
        EXPECT_TRUE(vakotest::SyslogMatches("group_db_build:{L} /etc/group line 6 " + std::string(c.why) +
                                            ", kept as it stands: {*}"));
        ASSERT_EQ(VAKOGroupDBDump(db.get()), 0);
        EXPECT_EQ(vakotest::ReadGroupFiles(), groups);
        db.reset();
        RemoveCaches();
    }
}

TEST(GroupDbBuild, LastGidMarker)
{
    const struct {
        const char *what;
        std::string first;
        int current;
    } cases[] = {
        {"marker", "#$_@GID__INDEX@_$70000$\n", 70000},
        {"below the range", "#$_@GID__INDEX@_$100$\n", 65537},
        {"above the range", "#$_@GID__INDEX@_$95537$\n", 65537},
        {"no marker line", "", 65537},
        {"marker within a line", "x #$_@GID__INDEX@_$65600$ y\n", 65600},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        GroupFiles groups = Fixture();
        groups.group = c.first + groups.group.substr(groups.group.find('\n') + 1);
        RemoveCaches();
        DbPtr db = OpenFixture(groups);
        ASSERT_NE(db, nullptr);
        EXPECT_EQ(groupdb::CurrentGid(db.get()), c.current);
        // The next dump writes the marker line in any case, every group kept.
        ASSERT_EQ(VAKOGroupDBDump(db.get()), 0);
        GroupFiles expected = Fixture();
        expected.group = "#$_@GID__INDEX@_$" + std::to_string(c.current) + "$\n" +
                         expected.group.substr(expected.group.find('\n') + 1);
        EXPECT_EQ(vakotest::ReadGroupFiles(), expected);
    }
    // Without local groups above the system ones the largest gid is taken.
    RemoveCaches();
    DbPtr db = OpenFixture({"root:x:0:\nnogroup:x:65534:\n", ""});
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(groupdb::CurrentGid(db.get()), 65534);
}

void DomainMember(bool sambaRuns)
{
    vakotest::WriteFile(vakotest::kSmbConf, "[global]\nsecurity=domain\nworkgroup=CORP\n");
    vakotest::WriteFile(vakotest::kInfoFile, sambaRuns ? "runsamba=\"yes\"\n" : "runsamba=\"no\"\n");
}

TEST(GroupDbDomain, GroupsOfTheDomainList)
{
    DomainMember(true);
    vakotest::WriteFile(vakotest::kDomainGroupFile, "CORP\\Domain Users:513\nCORP\\a:b:1\nno separator\n");
    time_t before = time(nullptr);
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(Record(db->pGRPName, "CORP\\DOMAIN USERS"), "CORP\\Domain Users:x:-1:");
    EXPECT_EQ(Record(db->pGRPName, "CORP\\A:B"), "CORP\\a:b:x:-1:");
    EXPECT_EQ(IdRecords(db.get(), -1), std::vector<std::string>{});
    int32_t stamp;
    ASSERT_EQ(VAKOBDbWordGet(db->pGRPName, "#VAKO@EXPIRE@TIME", 17, &stamp), 0);
    EXPECT_GE(stamp, static_cast<int32_t>(before));
    // Never written back.
    ASSERT_EQ(VAKOGroupDBDump(db.get()), 0);
    EXPECT_EQ(vakotest::ReadGroupFiles(), Fixture());
}

TEST(GroupDbDomain, NotLoadedWhereTheServiceDoesNotRunAndAFailedListIsOnlyReported)
{
    DomainMember(false);
    vakotest::WriteFile(vakotest::kDomainGroupFile, "CORP\\g:1\n");
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(Record(db->pGRPName, "CORP\\G"), kAbsent);
    db.reset();

    RemoveCaches();
    DomainMember(true);
    vakotest::RemoveFile(vakotest::kDomainGroupFile);
    vakotest::SyslogClear();
    db = OpenFixture();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(Record(db->pGRPName, "STAFF"), "staff:x:65536:alice,bob");
    EXPECT_TRUE(vakotest::SyslogMatches("group_db_domain_build:{L} fopen(/usr/vako/etc/private/domain_group) failed. "
                                        "errno=No such file or directory"));
    EXPECT_TRUE(vakotest::SyslogMatches("group_db_build:{L} GroupDBDomainBuild() failed! vakoerr=0x0900"));
    EXPECT_NE(vakotest::ReadFile(vakotest::kStandinCalls).find("vakologset1 sys err 0x1180050A\n"), std::string::npos);
}

TEST(GroupDbDomain, ANameTooLongForAKeyIsNeverStoredUnderAnEmptyOne)
{
    DomainMember(true);
    vakotest::WriteFile(vakotest::kDomainGroupFile, "CORP\\ok:1\nCORP\\" + std::string(300, 'g') + ":2\n");
    vakotest::SyslogClear();
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(Record(db->pGRPName, "CORP\\OK"), "CORP\\ok:x:-1:");
    EXPECT_EQ(Record(db->pGRPName, ""), kAbsent);
    EXPECT_TRUE(vakotest::SyslogMatches("group_db_build:{L} GroupDBDomainBuild() failed! vakoerr=0x1600"));
    ASSERT_EQ(VAKOGroupDBDump(db.get()), 0);
    EXPECT_EQ(vakotest::ReadGroupFiles(), Fixture());
}

TEST(GroupDbDump, AFailedDumpLeavesTheTextFilesAsTheyWere)
{
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    // A gid record whose group has no name record.
    ASSERT_EQ(VAKOBDbSet(db->pGRPGID, "070000", 7, "GHOST", 6), 0);
    ASSERT_EQ(VAKOBDbSet(db->pGRPName, "EXTRA", 6, "extra:x:65541:", 15), 0);
    ASSERT_EQ(VAKOBDbSet(db->pGRPGID, "065541", 7, "EXTRA", 6), 0);
    vakotest::SyslogClear();
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOGroupDBDump(db.get()), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x2000);
    EXPECT_STREQ(SLIBErrorGetFile(), "group_db_dump");
    EXPECT_TRUE(vakotest::SyslogMatches("group_db_dump:{L} SzSLIBSzHashGetValue(GHOST) failed"));
    EXPECT_EQ(vakotest::ReadGroupFiles(), Fixture());
    struct stat st;
    ASSERT_EQ(stat(vakotest::kGroupFile, &st), 0);
    EXPECT_EQ(st.st_mtime, kAccountsMtime);
    db.reset();

    // A gid file without groups cannot be dumped.
    RemoveCaches();
    db = OpenFixture({"#$_@GID__INDEX@_$65536$\n", ""});
    ASSERT_NE(db, nullptr);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOGroupDBDump(db.get()), -1);
    EXPECT_EQ(SLIBErrorGet(), 0xB500);
    EXPECT_EQ(vakotest::ReadGroupFiles(), (GroupFiles{"#$_@GID__INDEX@_$65536$\n", ""}));
}

TEST(GroupDbDump, ARecordTheDumpCannotReadFailsItAndTheCacheIsRebuilt)
{
    struct Case {
        const char *what;
        std::function<void(VAKOGROUPDB *)> damage;
        const char *log;
        int code;
    } cases[] = {
        {"a group line lost", [](VAKOGROUPDB *db) { ASSERT_EQ(VAKOBDbDelete(db->pGRPName, "STAFF", 6), 0); },
         "group_db_dump:{L} SzSLIBSzHashGetValue(STAFF) failed", 0x2000},
        {"a group line of another name",
         [](VAKOGROUPDB *db) { ASSERT_EQ(VAKOBDbSet(db->pGRPName, "STAFF", 6, "staft:x:65536:alice", 20), 0); },
         "group_db_dump:{L} the group line of [STAFF] is damaged: the cache is rebuilt", 0x4000},
        {"a group line of another gid",
         [](VAKOGROUPDB *db) { ASSERT_EQ(VAKOBDbSet(db->pGRPName, "STAFF", 6, "staff:x:65539:alice", 20), 0); },
         "group_db_dump:{L} the group line of [STAFF] is damaged: the cache is rebuilt", 0x4000},
        {"a description lost", [](VAKOGROUPDB *db) { ASSERT_EQ(VAKOBDbDelete(db->pGRPDesc, "DEV", 4), 0); },
         "group_db_dump:{L} the description of [DEV] is damaged: the cache is rebuilt", 0x2000},
        {"a group named twice", [](VAKOGROUPDB *db) { ASSERT_EQ(VAKOBDbSet(db->pGRPGID, "070000", 7, "STAFF", 6), 0); },
         "group_db_dump:{L} a record of pGRPGID [070000] is damaged: the cache is rebuilt", 0x4000},
    };
    vakotest::WriteFile(vakotest::kSmbConf, "[global]\n\tworkgroup=WORKGROUP\n");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        RemoveCaches();
        DbPtr db = OpenFixture();
        ASSERT_NE(db, nullptr);
        c.damage(db.get());
        vakotest::SyslogClear();
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOGroupDBDump(db.get()), -1);
        EXPECT_EQ(SLIBErrorGet(), c.code);
        EXPECT_TRUE(vakotest::SyslogMatches(c.log));
        EXPECT_EQ(vakotest::ReadGroupFiles(), Fixture());
        EXPECT_FALSE(vakotest::FileExists(SZF_GROUP_TMP));
        // Its holder is told to reopen; the files at the live names are new.
        EXPECT_EQ(VAKOBDbDeprecatedGet(db->pGRPName), 1);
        db.reset();
        db = groupdb::Open();
        ASSERT_NE(db, nullptr);
        EXPECT_EQ(Record(db->pGRPName, "STAFF"), "staff:x:65536:alice,bob");
        EXPECT_EQ(Record(db->pGRPDesc, "DEV"), "dev:Developers");
        db.reset();
        ASSERT_EQ(StaffWithAlice(), 0);
        GroupFiles after = Fixture();
        after.group = rt::Inserted(after.group, "staff:", "staff:x:65536:alice\n");
        after.group.erase(after.group.find("staff:x:65536:alice,bob\n"), 24);
        EXPECT_EQ(vakotest::ReadGroupFiles(), after);
    }
}

TEST(GroupDbDump, TheTemporaryFiles)
{
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    // Left by an earlier failed dump: overwritten, then moved.
    vakotest::WriteFile(SZF_GROUP_TMP, "stale\n");
    vakotest::WriteFile(SZF_GROUP_DESC_TMP, "stale\n");
    ASSERT_EQ(VAKOGroupDBDump(db.get()), 0);
    EXPECT_EQ(vakotest::ReadGroupFiles(), Fixture());
    EXPECT_FALSE(vakotest::FileExists(SZF_GROUP_TMP));
    EXPECT_FALSE(vakotest::FileExists(SZF_GROUP_DESC_TMP));

    // A target that no rename can replace: the one before it stays moved.
    vakotest::RemoveFile(vakotest::kGroupDescFile);
    vakotest::MakeDirs(vakotest::kGroupDescFile);
    vakotest::WriteFile(SZF_GROUP_TMP, "new group\n");
    vakotest::WriteFile(SZF_GROUP_DESC_TMP, "new desc\n");
    vakotest::SyslogClear();
    SLIBErrorSet(0);
    EXPECT_EQ(GROUPIRenameTempFiles(), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x2800);
    EXPECT_STREQ(SLIBErrorGetFile(), "group_rename_temp_files");
    EXPECT_EQ(vakotest::ReadFile(vakotest::kGroupFile), "new group\n");
    EXPECT_TRUE(vakotest::SyslogMatches(
        "group_rename_temp_files:{L} Rename [/etc/group_desc.tmp]->[/etc/group_desc] fail, errno=21/Is a directory"));
    EXPECT_EQ(GROUPIRemoveTempFiles(), 0);
    EXPECT_FALSE(vakotest::FileExists(SZF_GROUP_DESC_TMP));
    // Nothing to move or remove.
    EXPECT_EQ(GROUPIRenameTempFiles(), 0);
    EXPECT_EQ(GROUPIRemoveTempFiles(), 0);
}

TEST(GroupDbOpenFile, RefusedArguments)
{
    static VAKOGROUPDB *db = nullptr;
    // Each refusal recorded with the source name of its operation.
    const struct {
        const char *src;
        int (*call)();
    } cases[] = {
        {"group_db_open", [] { return VAKOGroupDBOpenFile(nullptr, SZF_GROUP_DB_PREFIX); }},
        {"group_db_open", [] { return VAKOGroupDBOpenFile(&db, nullptr); }},
        {"group_db_check_and_rebuild", [] { return VAKOGroupDBCheckAndRebuild(nullptr); }},
        {"group_db_check_and_rebuild", [] { return VAKOGroupDBCheckAndRebuild(&db); }},
        {"group_db_dump", [] { return VAKOGroupDBDump(nullptr); }},
        {"group_db_dump", [] { return GroupDBLoadHash(nullptr, nullptr); }},
        {"group_db_build", [] { return VAKOGroupDBBuild(nullptr); }},
        {"group_db_domain_build", [] { return GroupDBDomainBuild(nullptr); }},
        {"group_db_conf_sync_time_set", [] { return GroupDbConfSyncTimeSet(nullptr, nullptr, nullptr); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.src);
        SLIBErrorSet(0);
        EXPECT_EQ(c.call(), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        EXPECT_STREQ(SLIBErrorGetFile(), c.src);
    }
    EXPECT_EQ(db, nullptr);
    VAKOGroupDBClose(nullptr);
}

// ---- Round trips: the group files as old appliances hold them ----

// One shape of the files: made from the fixture (or from base).
struct Shape {
    const char *name;
    std::function<void(GroupFiles &)> make;
    std::function<GroupFiles()> base = [] { return Fixture(); };
};

// 50,000 groups after the fixture's, each with alice, with descriptions.
GroupFiles ManyGroups()
{
    GroupFiles f = Fixture();
    for (int i = 0; i < 50000; i++) {
        std::string name = "grp" + std::to_string(i);
        f.group += name + ":x:" + std::to_string(70000 + i) + ":alice\n";
        f.groupDesc += name + ":Group " + std::to_string(i) + "\n";
    }
    return f;
}

// Shapes both group files can have: CRLF lines, the last one without its
// line feed, a 100 kB line, 50,000 groups.
void AddCommonShapes(std::vector<Shape> &shapes, std::string GroupFiles::*file, const std::string &longLine)
{
    shapes.push_back({"CRLF", [file](GroupFiles &f) { f.*file = rt::Crlf(f.*file); }});
    shapes.push_back({"CRLF in both", [](GroupFiles &f) {
                          f.group = rt::Crlf(f.group);
                          f.groupDesc = rt::Crlf(f.groupDesc);
                      }});
    shapes.push_back({"no last line feed", [file](GroupFiles &f) { f.*file = rt::WithoutLastNewline(f.*file); }});
    shapes.push_back({"a 100 kB line", [file, longLine](GroupFiles &f) { f.*file += longLine; }});
    shapes.push_back({"a 100 kB comment", [file](GroupFiles &f) {
                          f.*file = rt::Inserted(f.*file, "staff:", "#" + std::string(100000, 'c') + "\n");
                      }});
    shapes.push_back({"50,000 groups and a comment",
                      [file](GroupFiles &f) { f.*file = rt::Inserted(f.*file, "grp25000:", "# the middle\n"); },
                      ManyGroups});
}

rt::Row RowOf(const Shape &shape, bool rename)
{
    GroupFiles files = shape.base();
    shape.make(files);
    rt::Row row{shape.name, userdb::Fixture(), files, {}, {}};
    if (rename) {
        row.change = DevRenamed;
        row.touched = {{rt::File::kGroup, rt::LineOf(files.group, "dev:"), "devs:x:65537:bob\n"},
                       {rt::File::kGroupDesc, rt::LineOf(files.groupDesc, "dev:"), "devs:Developers\n"}};
    } else {
        row.change = StaffWithAlice;
        row.touched = {{rt::File::kGroup, rt::LineOf(files.group, "staff:"), "staff:x:65536:alice\n"}};
    }
    return row;
}

TEST(GroupDbRoundTrip, Group)
{
    vakotest::WriteFile(vakotest::kSmbConf, "[global]\n\tworkgroup=WORKGROUP\n");
    std::vector<Shape> shapes = {
        {"a name twice", [](GroupFiles &f) { f.group = rt::Inserted(f.group, "dev:", "STAFF:x:65540:bob\n"); }},
        {"gid abc", [](GroupFiles &f) { f.group = rt::Inserted(f.group, "dev:", "qa:x:abc:bob\n"); }},
        {"a Latin-1 name", [](GroupFiles &f) { f.group = rt::Inserted(f.group, "dev:", "caf\xe9:x:65541:bob\n"); }},
        {"a NUL among the members",
         [](GroupFiles &f) { f.group = rt::Inserted(f.group, "dev:", rt::WithNul("qa:x:65542:alice,b", "ob\n")); }},
        {"five fields", [](GroupFiles &f) { f.group = rt::Inserted(f.group, "dev:", "qa:x:65543:alice,bob:\n"); }},
        {"members with blanks",
         [](GroupFiles &f) {
             f.group = rt::Inserted(f.group, "staff:", "qa:x:100:alice , bob\n");
             f.group = rt::Inserted(f.group, "staff:", "staff:x:65536: alice, bob\n");
         }},
        {"a group as a member", [](GroupFiles &f) { f.group = rt::Inserted(f.group, "dev:", "qa:x:65545:@staff\n"); }},
        {"members that are no accounts", [](GroupFiles &f) { f.group += "qa:x:65546:ghost,nobody,ALICE,,alice\n"; }},
        {"comments", [](GroupFiles &f) { f.group = rt::Inserted(f.group, "dev:", "# old groups\n\n"); }},
        {"too few fields", [](GroupFiles &f) { f.group = rt::Inserted(f.group, "dev:", "two:colons\n"); }},
        {"no marker line", [](GroupFiles &f) { f.group = f.group.substr(f.group.find('\n') + 1); }},
    };
    std::string many;
    for (int i = 0; i < 20000; i++)
        many += i ? ",alice" : "alice";
    AddCommonShapes(shapes, &GroupFiles::group, "big:x:65547:" + many + "\n");
    for (const Shape &shape : shapes) {
        SCOPED_TRACE(shape.name);
        rt::Row row = RowOf(shape, false);
        // Without a marker line, the dump writes one first.
        if (std::string(shape.name) == "no marker line")
            row.groups.group = "#$_@GID__INDEX@_$65537$\n" + row.groups.group;
        rt::Run(row);
    }
}

TEST(GroupDbRoundTrip, GroupDesc)
{
    vakotest::WriteFile(vakotest::kSmbConf, "[global]\n\tworkgroup=WORKGROUP\n");
    std::vector<Shape> shapes = {
        {"a name twice", [](GroupFiles &f) { f.groupDesc += "DEV:the other developers\n"; }},
        {"a NUL", [](GroupFiles &f) { f.groupDesc = rt::Inserted(f.groupDesc, "dev:", rt::WithNul("qa:Q", "A\n")); }},
        {"no separator", [](GroupFiles &f) { f.groupDesc = rt::Inserted(f.groupDesc, "dev:", "nodesc\n"); }},
        {"a Latin-1 name", [](GroupFiles &f) { f.groupDesc = rt::Inserted(f.groupDesc, "dev:", "caf\xe9:Caf\n"); }},
        {"no group's", [](GroupFiles &f) { f.groupDesc = rt::Inserted(f.groupDesc, "dev:", "ghost:Nobody's\n"); }},
        {"comments", [](GroupFiles &f) { f.groupDesc = "# descriptions\n" + f.groupDesc + "#\n"; }},
    };
    AddCommonShapes(shapes, &GroupFiles::groupDesc, "qa:" + std::string(100000, 'q') + "\n");
    for (const Shape &shape : shapes) {
        SCOPED_TRACE(shape.name);
        rt::Run(RowOf(shape, true));
    }
}

} // namespace
