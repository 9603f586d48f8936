#include "vako/share_db.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "slib/error.h"
#include "slib/szhash.h"
#include "vakotest/files.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/run.h"
#include "vakotest/sharedb.h"

using sharedb::DbPtr;
using sharedb::Fixture;
using sharedb::kGlobal;
using sharedb::OpenFixture;
using sharedb::Section;
using sharedb::SharePtr;

namespace {

std::string SmbConf() { return vakotest::ReadFile(vakotest::kSmbConf); }

void RemoveCaches()
{
    for (const char *f : {vakotest::kShareDb, vakotest::kGroupDbName, vakotest::kGroupDbId, vakotest::kGroupDbDesc,
                          vakotest::kUserDbName, vakotest::kUserDbMisc, vakotest::kUserDbShadow, vakotest::kUserDbSmb,
                          vakotest::kUserDbUid})
        vakotest::RemoveFile(f);
}

// smb.conf as the build and the dump make it of text.
std::string RoundTrip(const std::string &text)
{
    vakotest::RemoveFile(vakotest::kShareDb);
    DbPtr db = OpenFixture(text);
    if (!db)
        return "<no database>";
    if (VAKOShareDBDump(db.get()) != 0)
        return "<dump failed>";
    return SmbConf();
}

TEST(ShareDbBuild, RecordsOfTheSections)
{
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(sharedb::Names(db.get()), (std::vector<std::string>{"everyone", "public", "team"}));
    SharePtr team = sharedb::Get(db.get(), "TEAM");
    ASSERT_NE(team, nullptr);
    EXPECT_STREQ(team->szComment, "Team");
    EXPECT_STREQ(team->szPath, "/volume1/team");
    EXPECT_STREQ(team->szInvalidUsers, "@dev");
    EXPECT_STREQ(team->szReadList, "alice");
    EXPECT_STREQ(team->szWriteList, "@staff");
    EXPECT_EQ(team->fType, 4);
    EXPECT_EQ(team->fBrowseable, 0);
    EXPECT_EQ(team->ftpFlags, 5);
    EXPECT_EQ(sharedb::Get(db.get(), "PUBLIC")->fType, 2);
    EXPECT_EQ(sharedb::Get(db.get(), "EVERYONE")->fType, 2);
    // The reserved section as its lines, item 0 its name.
    void *p = nullptr;
    int cb = 0;
    ASSERT_EQ(VAKOBDbGet(db->pDb, "#GLOBAL", 8, &p, &cb), 0);
    PSLIBSZLIST lines = VAKOListDBUnpack(p, cb);
    VAKOBDbDataFree(p);
    ASSERT_NE(lines, nullptr);
    ASSERT_EQ(lines->nItem, 3);
    EXPECT_STREQ(SLIBSzListGet(lines, 0), "global");
    EXPECT_STREQ(SLIBSzListGet(lines, 2), "security=user");
    SLIBSzListFree(lines);
}

TEST(ShareDbDump, WritesSmbConfBackByteForByte)
{
    EXPECT_EQ(RoundTrip(Fixture()), Fixture());
    // After the dump the database is current: no rebuild.
    DbPtr db = sharedb::Open();
    ASSERT_NE(db, nullptr);
    VAKOSHAREDB *p = db.release();
    EXPECT_EQ(VAKOShareDBCheckAndRebuild(&p), 0);
    db.reset(p);
}

TEST(ShareDbDump, ReservedSectionsAreKeptLineByLine)
{
    const std::string text = "; before any section\n"
                             "[Global]\n"
                             "  workgroup = WORKGROUP  \n"
                             "\n"
                             "# a comment\n"
                             "security=user\n"
                             "\"quoted\"\n" +
                             Section("data", "", "", "", "/volume1/data").Text() + "[printers]\n\tload printers = no\n";
    EXPECT_EQ(RoundTrip(text), "[Global]\n"
                               "\tworkgroup = WORKGROUP\n"
                               "\t\n"
                               "\t# a comment\n"
                               "\tsecurity=user\n"
                               "\tquoted\n"
                               "[printers]\n"
                               "\tload printers = no\n" +
                                   Section("data", "", "", "", "/volume1/data").Text());
}

TEST(ShareDbBuild, ShareSectionsAreNormalised)
{
    const std::string text = std::string(kGlobal) + "[Media]\n"
                                                    "  path = \"/volume1/media\"\n"
                                                    "\n"
                                                    "comment=old\n"
                                                    "comment = \"Films and music\"\n"
                                                    "valid users = anything\n"
                                                    "hosts allow = 10.0.0.0/8\n"
                                                    "read list = nobody,ALICE,ghost,alice,@STAFF\n"
                                                    "write list = bob,Bob\n"
                                                    "invalid users = \n"
                                                    "guest ok = no\n"
                                                    "writeable = no\n"
                                                    "browseable = No\n"
                                                    "ftp disable list = Yes\n"
                                                    "ftp disable modify = yes\n";
    Section media{"Media", "", "", "Films and music", "/volume1/media"};
    media.guestOk = "no";
    media.writeable = "no";
    media.ftpModify = "yes";
    media.read = "alice,@staff";
    media.write = "bob";
    media.valid = sharedb::HashOrder({"alice", "@staff", "bob"});
    EXPECT_EQ(RoundTrip(text), std::string(kGlobal) + media.Text());
}

TEST(ShareDbBuild, InvalidSectionsAreLoggedAndLeftOut)
{
    const struct {
        const char *what;
        std::string section;
        std::string logged;
    } cases[] = {
        {"a comment line", "[bad]\npath=/volume1/bad\n# note\n",
         "share_db_build:{L} Failed to set section data. section[bad], vakoerr=0x0D00"},
        {"a key without '='", "[bad]\npath=/volume1/bad\njust words\n",
         "share_db_build:{L} Failed to set section data. section[bad], vakoerr=0x0D00"},
        {"an empty key", "[bad]\npath=/volume1/bad\n = x\n",
         "share_db_build:{L} Failed to set section data. section[bad], vakoerr=0x0D00"},
        {"no path", "[bad]\ncomment=x\n", "share_db_build:{L} ShareAllocFromConf [bad] failed. vakoerr=0x0D00"},
        {"a relative path", "[bad]\npath=volume1/bad\n",
         "share_db_build:{L} ShareAllocFromConf [bad] failed. vakoerr=0x9900"},
        {"a bad name", "[-x]\npath=/volume1/bad\n",
         "share_db_build:{L} ShareAllocFromConf [-x] failed. vakoerr=0x1200"},
        {"no name", "[]\npath=/volume1/bad\n", "share_db_build:{L} ShareAllocFromConf [] failed. vakoerr=0x1200"},
        {"a carriage return in a value", "[bad]\npath=/volume1/bad\ncomment=a\rpath=/\n",
         "share_db_build:{L} ShareAllocFromConf [bad] failed. vakoerr=0x0D00"},
        {"a name of 100 KB", "[" + std::string(100 * 1024, 'n') + "]\npath=/volume1/bad\n",
         "share_db_build:{L} ShareAllocFromConf [" + std::string(494, 'n') + "] failed. vakoerr=0x1200"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        vakotest::SyslogClear();
        const std::string good = Section("good", "", "", "", "/volume1/good").Text();
        EXPECT_EQ(RoundTrip(std::string(kGlobal) + c.section + good), std::string(kGlobal) + good);
        EXPECT_TRUE(vakotest::SyslogMatches(c.logged));
    }
}

TEST(ShareDbBuild, TwoSectionsOfOneNameKeepTheFirst)
{
    vakotest::SyslogClear();
    Section first{"Data", "", "", "first", "/volume1/data"};
    EXPECT_EQ(RoundTrip(std::string(kGlobal) + first.Text() + "[DATA]\npath=/volume1/other\n"),
              std::string(kGlobal) + first.Text());
    EXPECT_TRUE(vakotest::SyslogMatches("share_db_build:{L} VAKOShareDBSet failed. vakoerr=0x1300"));
}

TEST(ShareDbBuild, LongLines)
{
    const std::string big(100 * 1024, 'x');
    Section s{"big", "", "", big, "/volume1/big"};
    const std::string text = big + "\n" + "[global]\n\tworkgroup=" + big + "\n" + s.Text();
    EXPECT_EQ(RoundTrip(text), "[global]\n\tworkgroup=" + big + "\n" + s.Text());
}

TEST(ShareDbBuild, PermissionsFromUsersEntriesAndTheTwoWords)
{
    // A group whose name begins with "users".
    vakotest::GroupFiles groups = groupdb::Fixture();
    groups.group += "users_ro:x:65540:alice\n";
    const struct {
        const char *what;
        std::string lines;
        int fType;
    } cases[] = {
        {"@users denied", "invalid users = nobody,@users,nobody\nguest ok = yes\nwriteable = yes\n", 4},
        {"@users writes", "write list = @users\nread list = @users\nguest ok = no\nwriteable = no\n", 2},
        {"@users reads", "read list = alice,@users\nguest ok = yes\nwriteable = yes\n", 1},
        {"@users_ro is another group", "write list = @users_ro\nguest ok = no\nwriteable = no\n", 4},
        {"words read-only", "guest ok = yes\nwriteable = no\n", 1},
        {"words in capitals", "guest ok = YES\nwriteable = yes\n", 1},
        {"no words", "", 1},
        {"no and yes", "guest ok = no\nwriteable = yes\n", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        vakotest::RemoveFile(vakotest::kShareDb);
        groupdb::WriteFixture(groups);
        sharedb::WriteSmbConf("[s]\npath=/volume1/s\n" + c.lines);
        DbPtr db = sharedb::Open();
        ASSERT_NE(db, nullptr);
        SharePtr s = sharedb::Get(db.get(), "S");
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->fType, c.fType);
    }
    EXPECT_TRUE(vakotest::SyslogMatches(
        "share_alloc_from_conf:{L} errno=32768 unknown error!! guest ok = no, writeable = yes"));
    EXPECT_TRUE(vakotest::SyslogMatches("share_alloc_from_conf:{L} errno=3328 unknown error!! guest ok = NULL, "
                                        "writeable = NULL"));
}

TEST(ShareDbBuild, BrowseAndFtpFlagsTakeExactWordsOnly)
{
    const struct {
        std::string lines;
        int browseable, ftp;
    } cases[] = {
        {"browseable = No\nftp disable list = Yes\n", 1, 0},
        {"browseable = no\nftp disable list = yes\nftp disable modify = yes\nftp disable download = yes\n", 0, 7},
        {"", 1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.lines);
        vakotest::RemoveFile(vakotest::kShareDb);
        DbPtr db = OpenFixture("[s]\npath=/volume1/s\n" + c.lines);
        ASSERT_NE(db, nullptr);
        SharePtr s = sharedb::Get(db.get(), "S");
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->fBrowseable, c.browseable);
        EXPECT_EQ(s->ftpFlags, c.ftp);
    }
}

TEST(ShareDbBuild, AnAccountDatabaseThatCannotOpenFailsTheBuild)
{
    // Without /etc/group_desc no group database can be built.
    RemoveCaches();
    sharedb::WriteFixture();
    vakotest::RemoveFile(vakotest::kGroupDescFile);
    SLIBErrorSet(0);
    EXPECT_EQ(sharedb::Open(), nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
    EXPECT_FALSE(vakotest::FileExists(vakotest::kShareDb));

    // Current group caches, but no user database.
    RemoveCaches();
    groupdb::DbPtr groups = groupdb::OpenFixture();
    ASSERT_NE(groups, nullptr);
    groups.reset();
    for (const char *f : {vakotest::kUserDbName, vakotest::kUserDbMisc, vakotest::kUserDbShadow, vakotest::kUserDbSmb,
                          vakotest::kUserDbUid})
        vakotest::RemoveFile(f);
    vakotest::RemoveFile(vakotest::kShadowFile);
    sharedb::WriteSmbConf(Fixture());
    SLIBErrorSet(0);
    EXPECT_EQ(sharedb::Open(), nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
    EXPECT_FALSE(vakotest::FileExists(vakotest::kShareDb));
    EXPECT_EQ(SmbConf(), Fixture());

    // A smb.conf that cannot be read.
    RemoveCaches();
    sharedb::WriteFixture();
    vakotest::RemoveFile(vakotest::kSmbConf);
    SLIBErrorSet(0);
    EXPECT_EQ(sharedb::Open(), nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
}

TEST(ShareDbCheck, SizeSyncTimeAndOtherProcessesRebuilds)
{
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(VAKOBDbSet(db->pDb, "MARK", 5, "m", 2), 0);
    db.reset();
    struct stat st;
    ASSERT_EQ(stat(vakotest::kShareDb, &st), 0);
    ASSERT_GE(st.st_size, 8192);
    db = sharedb::Open();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(groupdb::Record(db->pDb, "MARK"), "m"); // current: kept
    db.reset();

    // Another process rebuilds after smb.conf changed: the holder reopens.
    db = sharedb::Open();
    ASSERT_NE(db, nullptr);
    sharedb::WriteSmbConf(Fixture() + Section("zeta", "", "", "", "/volume1/zeta").Text(), 1700000000);
    pid_t other = vakotest::ForkChild([] {
        sharedb::DbPtr o = sharedb::Open();
        return o ? 0 : 1;
    });
    ASSERT_EQ(vakotest::WaitChild(other), 0);
    VAKOSHAREDB *p = db.release();
    EXPECT_EQ(VAKOShareDBCheckAndRebuild(&p), 1);
    db.reset(p);
    EXPECT_NE(sharedb::Get(db.get(), "ZETA"), nullptr);
    EXPECT_EQ(groupdb::Record(db->pDb, "MARK"), groupdb::kAbsent);
    db.reset();

    // A file of 8191 bytes is rebuilt.
    ASSERT_EQ(truncate(vakotest::kShareDb, 8191), 0);
    db = sharedb::Open();
    ASSERT_NE(db, nullptr);
    EXPECT_NE(sharedb::Get(db.get(), "ZETA"), nullptr);
}

TEST(ShareDbDump, AddChangeRenameRemoveAndReadBack)
{
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    SharePtr added = sharedb::Make({"Docs", "Documents", "/volume1/docs", "bob", "alice", "", 1, 1, 2});
    ASSERT_NE(added, nullptr);
    ASSERT_EQ(VAKOShareDBSet(db.get(), nullptr, added.get()), 0);
    SharePtr changed = sharedb::Make({"public", "Open to all", "/volume1/pub", "", "", "alice", 2, 0, 0});
    ASSERT_EQ(VAKOShareDBSet(db.get(), "PUBLIC", changed.get()), 0);
    SharePtr renamed = sharedb::Make({"crew", "Team", "/volume1/team", "@dev", "@staff", "alice", 4, 0, 5});
    ASSERT_EQ(VAKOShareDBSet(db.get(), "team", renamed.get()), 0);
    ASSERT_EQ(VAKOShareDBDelete(db.get(), "EveryOne"), 0);
    ASSERT_EQ(VAKOShareDBDump(db.get()), 0);

    Section docs{"Docs", "bob", "alice", "Documents", "/volume1/docs"};
    docs.writeable = "no";
    docs.ftpModify = "yes";
    docs.write = "alice";
    Section pub{"public", "", "alice", "Open to all", "/volume1/pub"};
    pub.browseable = "no";
    pub.read = "alice";
    Section crew = sharedb::Team();
    crew.name = "crew";
    EXPECT_EQ(SmbConf(), std::string(kGlobal) + crew.Text() + docs.Text() + pub.Text());
    db.reset();
    // Read back: the same file again.
    EXPECT_EQ(RoundTrip(SmbConf()), std::string(kGlobal) + crew.Text() + docs.Text() + pub.Text());
}

TEST(ShareDbDump, ValidUsersAndPermissionWords)
{
    DbPtr db = OpenFixture(kGlobal);
    ASSERT_NE(db, nullptr);
    // Lists as stored, not validated: the hash of 31 slots orders bob before ann.
    SharePtr a = sharedb::Make({"a", "", "/v", "", "bob", "ann,bob", 6, 1, 0});
    ASSERT_EQ(VAKOShareDBSet(db.get(), nullptr, a.get()), 0);
    ASSERT_EQ(VAKOShareDBDump(db.get()), 0);
    Section s{"a", "", "bob,ann", "", "/v"};
    s.guestOk = "no";
    s.writeable = "no";
    s.read = "ann,bob";
    s.write = "bob";
    EXPECT_EQ(SmbConf(), std::string(kGlobal) + s.Text());

    // An fType of none of the three bits: nothing is written.
    const std::string before = SmbConf();
    SharePtr bad = sharedb::Make({"b", "", "/v", "", "", "", 8, 1, 0});
    ASSERT_EQ(VAKOShareDBSet(db.get(), nullptr, bad.get()), 0);
    vakotest::SyslogClear();
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOShareDBDump(db.get()), -1);
    EXPECT_EQ(SLIBErrorGet(), 0xB600);
    EXPECT_EQ(SmbConf(), before);
    EXPECT_FALSE(vakotest::FileExists(SZF_SMB_CONF_TMP));
    EXPECT_TRUE(vakotest::SyslogMatches(
        "share_db_dump:{L} ShareFTypeSetToConf() failed! vakoerror=0xB600, session[b], fType=8"));
}

TEST(ShareDbDump, AFailedRenameFailsTheDump)
{
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    vakotest::RemoveFile(vakotest::kSmbConf);
    vakotest::MakeDirs(vakotest::kSmbConf);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOShareDBDump(db.get()), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x2800);
    EXPECT_TRUE(vakotest::IsDirectory(vakotest::kSmbConf));
    EXPECT_FALSE(vakotest::FileExists(SZF_SMB_CONF_TMP));
    // The database is still out of step with the file: not stamped.
    ASSERT_EQ(rmdir(vakotest::kSmbConf), 0);
    sharedb::WriteSmbConf(Fixture());
    VAKOSHAREDB *p = db.release();
    EXPECT_EQ(VAKOShareDBCheckAndRebuild(&p), 0);
    db.reset(p);
}

// Each failing step records its operation's own source name.
TEST(ShareDbSourceNames, MissingArguments)
{
    DbPtr db = OpenFixture(kGlobal);
    ASSERT_NE(db, nullptr);
    VAKOSHAREDB *none = nullptr;
    char word[4];
    struct Case {
        const char *src;
        std::function<bool()> call; // true when the call reports failure
    } cases[] = {
        {"share_db_open", [] { return VAKOShareDBOpenFile(nullptr, vakotest::kShareDb) == -1; }},
        {"share_db_check_and_rebuild", [] { return VAKOShareDBCheckAndRebuild(nullptr) == -1; }},
        {"share_db_check_and_rebuild", [&] { return VAKOShareDBCheckAndRebuild(&none) == -1; }},
        {"share_db_build", [&] { return ShareDBBuild(nullptr, db.get()) == -1; }},
        {"share_db_build", [&] { return ShareDBSetOne(db.get(), nullptr, nullptr, "x", 0) == -1; }},
        {"share_parse_section_name", [&] { return VAKOShareParseSectionName(nullptr, word, 4) == -1; }},
        {"share_section_type_get", [] { return VAKOShareSectionTypeGet(nullptr) == -1; }},
        {"share_alloc_from_conf", [] { return ShareAllocFromConf(nullptr, nullptr) == nullptr; }},
        {"share_fType_get_from_conf", [] { return ShareFTypeGetFromConf(nullptr, "yes") == -1; }},
        {"share_fType_set_to_conf", [&] { return ShareFTypeSetToConf(1, nullptr, word, 4, 4) == -1; }},
        {"share_remove_same_users", [] { return RemoveSameUsers(nullptr) == -1; }},
        {"share_db_dump", [] { return VAKOShareDBDump(nullptr) == -1; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.src);
        SLIBErrorSet(0);
        EXPECT_TRUE(c.call());
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        EXPECT_STREQ(SLIBErrorGetFile(), c.src);
    }
    EXPECT_EQ(none, nullptr);
}

TEST(ShareTextFormat, TheTwoDirections)
{
    EXPECT_EQ(ShareFTypeGetFromConf("yes", "yes"), 2);
    EXPECT_EQ(ShareFTypeGetFromConf("yes", "no"), 1);
    EXPECT_EQ(ShareFTypeGetFromConf("no", "no"), 4);
    SLIBErrorSet(0);
    EXPECT_EQ(ShareFTypeGetFromConf("no", "yes"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x8000);
    EXPECT_EQ(ShareFTypeGetFromConf(nullptr, "yes"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);

    const struct {
        int fType;
        const char *guest, *write;
    } words[] = {{1, "yes", "no"}, {2, "yes", "yes"}, {3, "yes", "yes"}, {4, "no", "no"}, {6, "no", "no"}};
    for (const auto &w : words) {
        SCOPED_TRACE(w.fType);
        char g[4], wr[32];
        ASSERT_EQ(ShareFTypeSetToConf(w.fType, g, wr, sizeof g, sizeof wr), 0);
        EXPECT_STREQ(g, w.guest);
        EXPECT_STREQ(wr, w.write);
    }
    char g[4], wr[4];
    SLIBErrorSet(0);
    EXPECT_EQ(ShareFTypeSetToConf(8, g, wr, 4, 4), -1);
    EXPECT_EQ(SLIBErrorGet(), 0xB600);
    EXPECT_EQ(ShareFTypeSetToConf(0, g, wr, 4, 4), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(ShareFTypeSetToConf(1, g, wr, 3, 4), -1);

    EXPECT_EQ(VAKOShareSectionTypeGet("GLOBAL"), 1);
    EXPECT_EQ(VAKOShareSectionTypeGet("Printers"), 1);
    EXPECT_EQ(VAKOShareSectionTypeGet("homes"), 0);
    EXPECT_EQ(VAKOShareSectionTypeGet(nullptr), -1);
}

TEST(ShareTextFormat, RemoveSameUsers)
{
    char list[] = "ann,bob,,ann,Bob,bob";
    EXPECT_EQ(RemoveSameUsers(list), 1);
    // The keys in the order of the string hash's slots.
    PSLIBSZHASH hash = SLIBSzHashAlloc(1024);
    for (const char *n : {"ann", "bob", "Bob"})
        SLIBSzHashSetValue(&hash, n, "");
    PSLIBSZLIST keys = PslSLIBSzListAlloc(512);
    ASSERT_EQ(SLIBSzHashEnumKey(hash, &keys), 3);
    std::string expected = std::string(SLIBSzListGet(keys, 0)) + "," + SLIBSzListGet(keys, 1) + "," +
                           SLIBSzListGet(keys, 2);
    SLIBSzListFree(keys);
    SLIBSzHashFree(hash);
    EXPECT_EQ(std::string(list), expected);
    char empty[] = "";
    EXPECT_EQ(RemoveSameUsers(empty), 0);
    SLIBErrorSet(0);
    EXPECT_EQ(RemoveSameUsers(nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
}

TEST(ShareDbSetOne, SectionsOfEachType)
{
    DbPtr db = OpenFixture(kGlobal);
    ASSERT_NE(db, nullptr);
    PSLIBSZLIST lines = PslSLIBSzListAlloc(512);
    PSLIBSZHASH pairs = SLIBSzHashAlloc(1024);
    EXPECT_EQ(ShareDBSetOne(db.get(), lines, pairs, "empty", 0), -1); // no pair
    EXPECT_EQ(ShareDBSetOne(db.get(), lines, pairs, "home", 1), -1);  // no line
    SLIBSzHashSetValue(&pairs, "path", "/volume1/x");
    EXPECT_EQ(ShareDBSetOne(db.get(), lines, pairs, "x", 0), 0);
    SLIBErrorSet(0);
    EXPECT_EQ(ShareDBSetOne(db.get(), lines, pairs, "x", 2), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x2200);
    ShareDBSectionReset(lines, pairs, 0);
    EXPECT_EQ(pairs->nItem, 0);
    SLIBSzListPush(&lines, "home");
    SLIBSzListPush(&lines, "path = /home");
    EXPECT_EQ(ShareDBSetOne(db.get(), lines, pairs, "home", 1), 0);
    ShareDBSectionReset(lines, pairs, 1);
    EXPECT_EQ(lines->nItem, 0);
    SLIBSzListFree(lines);
    SLIBSzHashFree(pairs);
    ASSERT_EQ(VAKOShareDBDump(db.get()), 0);
    // No permission words: read-only.
    Section x("x", "", "", "", "/volume1/x");
    x.writeable = "no";
    EXPECT_EQ(SmbConf(), std::string(kGlobal) + "[home]\n\tpath = /home\n" + x.Text());
}

} // namespace
