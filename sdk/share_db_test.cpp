#include "vako/share_db.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "slib/error.h"
#include "slib/szhash.h"
#include "vakotest/files.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/run.h"
#include "vakotest/sharedb.h"
#include "vakotest/smbconf_roundtrip.h"

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

// A record's fields but its name.
struct Fields {
    std::string comment, path, invalid, read, write;
    int fType, browseable, ftp;
    bool operator==(const Fields &) const = default;
};
void PrintTo(const Fields &f, std::ostream *os)
{
    *os << "{" << f.comment << "|" << f.path << "|" << f.invalid << "|" << f.read << "|" << f.write << "|" << f.fType
        << "|" << f.browseable << "|" << f.ftp << "}";
}
Fields Of(const SharePtr &s)
{
    if (!s)
        return {"<no record>", "", "", "", "", 0, 0, 0};
    return {s->szComment,   s->szPath, s->szInvalidUsers, s->szReadList,
            s->szWriteList, s->fType,  s->fBrowseable,    s->ftpFlags};
}

// The items of the reserved section's record "#GLOBAL".
std::vector<std::string> GlobalLines(VAKOSHAREDB *db)
{
    void *p = nullptr;
    int cb = 0;
    std::vector<std::string> items;
    if (VAKOBDbGet(db->pDb, "#GLOBAL", 8, &p, &cb) != 0)
        return {"<no record>"};
    PSLIBSZLIST lines = VAKOListDBUnpack(p, cb);
    VAKOBDbDataFree(p);
    for (int i = 0; lines && i < lines->nItem; i++)
        items.emplace_back(SLIBSzListGet(lines, i));
    SLIBSzListFree(lines);
    return items;
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
    EXPECT_EQ(Of(sharedb::Get(db.get(), "TEAM")),
              (Fields{"Team", "/volume1/team", "@dev", "alice", "@staff", 4, 0, 5}));
    EXPECT_EQ(sharedb::Get(db.get(), "PUBLIC")->fType, 2);
    EXPECT_EQ(sharedb::Get(db.get(), "EVERYONE")->fType, 2);
    // The reserved section as its lines, item 0 its name.
    EXPECT_EQ(GlobalLines(db.get()), (std::vector<std::string>{"global", "workgroup=WORKGROUP", "security=user"}));
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

TEST(ShareDbDump, ReservedSectionsAndTheTextBeforeThemStayAsTheyWere)
{
    const std::string text = "; before any section\n"
                             "[Global]\n"
                             "  workgroup = WORKGROUP  \r\n"
                             "\n"
                             "# a comment\n"
                             "security=user\n"
                             "\"quoted\"\n" +
                             Section("data", "", "", "", "/volume1/data").Text() + "[printers]\n\tload printers = no";
    EXPECT_EQ(RoundTrip(text), text);
    // The record holds the trimmed lines, as its readers know them.
    DbPtr db = sharedb::Open();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(GlobalLines(db.get()), (std::vector<std::string>{"Global", "workgroup = WORKGROUP", "", "# a comment",
                                                               "security=user", "quoted"}));
}

TEST(ShareDbBuild, ShareSectionsAreReadAsBeforeAndOnlyWhatTheValidationChangedIsWritten)
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
    DbPtr db = OpenFixture(text);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(Of(sharedb::Get(db.get(), "MEDIA")),
              (Fields{"Films and music", "/volume1/media", "", "alice,@staff", "bob", 4, 1, 2}));
    db.reset();
    // The lists the validation changed are written as the dump writes them
    // (their "valid users" with them); every other line stays.
    EXPECT_EQ(RoundTrip(text), std::string(kGlobal) +
                                   "[Media]\n"
                                   "  path = \"/volume1/media\"\n"
                                   "\n"
                                   "comment=old\n"
                                   "comment = \"Films and music\"\n"
                                   "\tvalid users=nobody," +
                                   sharedb::HashOrder({"alice", "@staff", "bob"}) +
                                   ",nobody\n"
                                   "hosts allow = 10.0.0.0/8\n"
                                   "\tread list=nobody,alice,@staff,nobody\n"
                                   "\twrite list=nobody,bob,nobody\n"
                                   "invalid users = \n"
                                   "guest ok = no\n"
                                   "writeable = no\n"
                                   "browseable = No\n"
                                   "ftp disable list = Yes\n"
                                   "ftp disable modify = yes\n");
}

TEST(ShareDbBuild, SectionsOfWhichNoShareCanBeMadeAreKeptAsTheyAre)
{
    static const char kNul[] = "[bad]\npath=/volume1/mu\0sic\n";
    static const char kNulName[] = "[b\0ad]\npath=/volume1/bad\n";
    const struct {
        const char *what;
        std::string section;
        std::string logged;
    } cases[] = {
        {"no path", "[bad]\ncomment=x\n", "share_db_build:{L} ShareAllocFromConf [bad] failed. vakoerr=0x0D00"},
        {"a relative path", "[bad]\npath=volume1/bad\n",
         "share_db_build:{L} ShareAllocFromConf [bad] failed. vakoerr=0x9900"},
        {"a bad name", "[-x]\npath=/volume1/bad\n",
         "share_db_build:{L} ShareAllocFromConf [-x] failed. vakoerr=0x1200"},
        {"no name", "[]\npath=/volume1/bad\n", "share_db_build:{L} ShareAllocFromConf [] failed. vakoerr=0x1200"},
        {"a Latin-1 name", "[caf\xe9]\npath=/volume1/bad\n",
         "share_db_build:{L} ShareAllocFromConf [caf\xe9] failed. vakoerr=0x1200"},
        {"a carriage return in a value", "[bad]\npath=/volume1/bad\ncomment=a\rpath=/\n",
         "share_db_build:{L} ShareAllocFromConf [bad] failed. vakoerr=0x0D00"},
        {"a name of 100 KB", "[" + std::string(100 * 1024, 'n') + "]\npath=/volume1/bad\n",
         "share_db_build:{L} ShareAllocFromConf [" + std::string(494, 'n') + "] failed. vakoerr=0x1200"},
        {"no line at all", "[bad]\n", "share_db_build:{L} ShareDBSetOne() failed! vakoerr={*}"},
        // A path cut at the NUL would name another folder.
        {"a NUL byte in a value", std::string(kNul, sizeof kNul - 1),
         "share_db_build:{L} a line of section [bad] holds a NUL byte: the section is kept in "
         "/usr/vako/etc/smb.conf as it is."},
        {"a NUL byte in the name", std::string(kNulName, sizeof kNulName - 1),
         "share_db_build:{L} the header of section [b] holds a NUL byte: the section is kept in "
         "/usr/vako/etc/smb.conf as it is."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        vakotest::SyslogClear();
        const std::string text = std::string(kGlobal) + c.section + Section("good", "", "", "", "/volume1/good").Text();
        EXPECT_EQ(RoundTrip(text), text);
        EXPECT_TRUE(vakotest::SyslogMatches(c.logged));
        DbPtr db = sharedb::Open();
        ASSERT_NE(db, nullptr);
        EXPECT_EQ(sharedb::Names(db.get()), std::vector<std::string>{"good"});
    }
}

TEST(ShareDbBuild, LinesThatAreNoKeyAndValueStayInTheirShare)
{
    const struct {
        const char *what;
        std::string line;
    } cases[] = {
        {"a comment", "# note = path=/elsewhere\n"},  {"a comment of ';'", "\t; path = /elsewhere\n"},
        {"words without '='", "just words\n"},        {"an empty key", " = x\n"},
        {"a section line begun", "[not a section\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string text = std::string(kGlobal) + "[data]\npath=/volume1/data\n" + c.line + "comment=x\n";
        EXPECT_EQ(RoundTrip(text), text);
        DbPtr db = sharedb::Open();
        ASSERT_NE(db, nullptr);
        EXPECT_EQ(Of(sharedb::Get(db.get(), "DATA")), (Fields{"x", "/volume1/data", "", "", "", 4, 1, 0}));
    }
}

TEST(ShareDbBuild, TwoSectionsOfOneNameStoreTheFirstAndKeepTheSecond)
{
    vakotest::SyslogClear();
    Section first{"Data", "", "", "first", "/volume1/data"};
    const std::string text = std::string(kGlobal) + first.Text() + "[DATA]\npath=/volume1/other\n";
    EXPECT_EQ(RoundTrip(text), text);
    EXPECT_TRUE(vakotest::SyslogMatches("share_db_build:{L} VAKOShareDBSet failed. vakoerr=0x1300"));
    DbPtr db = sharedb::Open();
    ASSERT_NE(db, nullptr);
    EXPECT_STREQ(sharedb::Get(db.get(), "DATA")->szComment, "first");
}

TEST(ShareDbBuild, LongLines)
{
    const std::string big(100 * 1024, 'x');
    Section s{"big", "", "", big, "/volume1/big"};
    const std::string text = big + "\n" + "[global]\n\tworkgroup=" + big + "\n" + s.Text();
    EXPECT_EQ(RoundTrip(text), text);
    DbPtr db = sharedb::Open();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(sharedb::Get(db.get(), "BIG")->szComment, big);
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
        // Words outside the table grant guests nothing.
        {"words in capitals", "guest ok = YES\nwriteable = yes\n", 4},
        {"no and no in capitals", "guest ok = No\nwriteable = No\n", 4},
        {"no words", "", 4},
        {"no and yes", "guest ok = no\nwriteable = yes\nvalid users = bob\n", 4},
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
    // The renamed share keeps its place; the new one goes before the first
    // share whose key sorts after its own.
    EXPECT_EQ(SmbConf(), std::string(kGlobal) + docs.Text() + pub.Text() + crew.Text());
    db.reset();
    // Read back: the same file again.
    EXPECT_EQ(RoundTrip(SmbConf()), std::string(kGlobal) + docs.Text() + pub.Text() + crew.Text());
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
    // A mount point cannot be renamed over.
    ASSERT_EQ(mount(vakotest::kSmbConf, vakotest::kSmbConf, nullptr, MS_BIND, nullptr), 0);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOShareDBDump(db.get()), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x2800);
    EXPECT_FALSE(vakotest::FileExists(SZF_SMB_CONF_TMP));
    ASSERT_EQ(umount(vakotest::kSmbConf), 0);
    EXPECT_EQ(SmbConf(), Fixture());
    // The database is as the file still is: not stamped by the failed dump.
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
    // No permission words: no access.
    Section x("x", "", "", "", "/volume1/x");
    x.guestOk = "no";
    x.writeable = "no";
    EXPECT_EQ(SmbConf(), std::string(kGlobal) + "[home]\n\tpath = /home\n" + x.Text());
}

// ---- smb.conf as appliances hold it, through open, one change and dump ----

using smbconf::Change;

// The lines the dump writes for a list of bob's once he is robert.
const std::string kRobertWrites = "\twrite list=nobody,robert,nobody\n";
const std::string kRobertValid = "\tvalid users=nobody,robert,nobody\n";

// Shares enough for a large appliance; fewer where the sanitizers slow
// every step down.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kManyShares = 20000;
#else
constexpr int kManyShares = 50000;
#endif

std::vector<std::string> ManyNames(int n)
{
    std::vector<std::string> names;
    for (int i = 0; i < n; i++)
        names.push_back(smbconf::ManyName(i));
    return names;
}

std::vector<smbconf::Row> RoundTripRows()
{
    using namespace smbconf;
    const std::string alpha = "[alpha]\n\tpath=/volume1/alpha\n\tguest ok = no\n\twriteable = yes\n";
    const std::string beta = "[beta]\n\tpath=/volume1/beta\n\tguest ok = No\n\twriteable = No\n";
    const std::string cut = "[" + std::string(600, 'n') + "]\n\tpath=/volume1/long\n";
    static const char kMusic[] = "[music]\n\tpath=/volume1/mu\0sic\n\twrite list = bob\n";
    const std::string music(kMusic, sizeof kMusic - 1);
    const std::string odd = std::string(kGlobal) + "[caf\xe9]\n\tpath=/volume1/cafe\n[]\n\tpath=/volume1/none\n" +
                            "[ ]\n\tpath=/volume1/blank\n[-x]\n\tpath=/volume1/x\n" + cut;
    const std::string team = "[team]\n\tpath=/volume1/team\n\tread list = alice";
    return {
        {"PrivateSharesBesideAChangedOne",
         PrivateShares(),
         Change::kChangeShare,
         "gamma",
         std::string(kGlobal) + alpha + "\tvalid users = bob\n\twrite list = bob\n" + beta +
             "[gamma]\n\tpath=/volume1/gamma\n\tcomment=\"changed\"\n",
         {"alpha", "beta", "gamma"}},
        {"APrivateShareOfARenamedUser",
         PrivateShares(),
         Change::kRenameUser,
         "",
         std::string(kGlobal) + alpha + kRobertValid + kRobertWrites + beta + "[gamma]\n\tpath=/volume1/gamma\n",
         {"alpha", "beta", "gamma"}},
        {"CommentsAndLinesWithoutKeys",
         ShareComments(),
         Change::kRenameUser,
         "",
         std::string(kGlobal) +
             "[data]\n# the team's data\n\tpath = /volume1/data\n; path = /volume1/old\n"
             "\tjust words\n\t= no key\n" +
             kRobertWrites + "\tcomment = Data\n" + kRobertValid,
         {"data"}},
        {"NamesNoShareCanHave",
         OddNames(),
         Change::kRenameUser,
         "",
         odd + "[public]\n\tpath=/volume1/public\n" + kRobertWrites + kRobertValid +
             "[Public]\n\tpath=/volume1/other\n\twrite list = bob\n",
         {"public"}},
        {"PathsNoShareCanHave",
         OddPaths(),
         Change::kRemoveShare,
         "data",
         std::string(kGlobal) + "[rel]\n\tpath=volume1/rel\n\twrite list = bob\n[nopath]\n\tcomment=no path\n" + music,
         {}},
        {"KeysNoRecordHolds",
         UnknownKeys(),
         Change::kRenameUser,
         "",
         std::string(kGlobal) + "[media]\n\tpath=/volume1/media\n\tvfs objects = recycle\n" + kRobertValid +
             "\tread list=nobody,robert,nobody\n\trecycle:repository = #recycle\n",
         {"media"}},
        {"CrLf",
         Crlf(),
         Change::kRenameUser,
         "",
         "[global]\r\n\tworkgroup=WORKGROUP\r\n[data]\r\n\tpath=/volume1/data\r\n" + kRobertWrites +
             "\tcomment = Data\r\n" + kRobertValid + "[team]\r\n\tpath=/volume1/team\r\n\tread list = alice\r\n",
         {"data", "team"}},
        {"NoFinalLineFeed",
         NoFinalLineFeed(),
         Change::kRenameUser,
         "",
         std::string(kGlobal) + "[data]\n\tpath=/volume1/data\n" + kRobertWrites + kRobertValid + team,
         {"data", "team"}},
        {"NoFinalLineFeedAndAShareAfterIt",
         NoFinalLineFeed(),
         Change::kAddShare,
         "zeta",
         NoFinalLineFeed() + "\n" + AddedShare("zeta").Text(),
         {"data", "team", "zeta"}},
        {"LongLines",
         LongLines(),
         Change::kRenameUser,
         "",
         Big('p') + "\n[global]\n\tworkgroup=WORKGROUP\n\tserver string = " + Big('s') +
             "\n[big]\n\tpath=/volume1/big\n\tcomment = " + Big('c') + "\n\tx-unknown = " + Big('u') + "\n" +
             kRobertWrites + kRobertValid,
         {"big"}},
        {"ReservedSections",
         ReservedSections(),
         Change::kAddShare,
         "added",
         "; before any section\n[Global]\n  workgroup = WORKGROUP  \n\n# a comment\nsecurity=user\n\"quoted\"\n" +
             AddedShare("added").Text() +
             "[data]\n\tpath=/volume1/data\n[printers]\n\tload printers = no\n[global]\n\tserver string = again\n",
         {"added", "data"}},
        {"ManyShares", ManyShares(kManyShares), Change::kRenameUser, "", ManyShares(kManyShares, "robert"),
         ManyNames(kManyShares)},
    };
}

class SmbConfRoundTrip : public testing::TestWithParam<smbconf::Row> {};

// Every line the change did not touch comes back byte for byte, the touched
// ones as the dump writes them, and the file holds every share it held.
TEST_P(SmbConfRoundTrip, KeepsEveryLineTheChangeDidNotTouch)
{
    const smbconf::Row &row = GetParam();
    smbconf::Result r = smbconf::RoundTrip(row);
    EXPECT_EQ(r.dumped, 0) << std::hex << SLIBErrorGet();
    EXPECT_EQ(smbconf::Difference(row.after, r.text), "");
    EXPECT_EQ(r.shares, row.shares);
}

INSTANTIATE_TEST_SUITE_P(Shapes, SmbConfRoundTrip, testing::ValuesIn(RoundTripRows()),
                         [](const testing::TestParamInfo<smbconf::Row> &i) { return std::string(i.param.name); });

TEST(ShareDbDump, ASmbConfChangedSinceTheBuildIsNotWrittenOver)
{
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    // Edited behind the database, within the second that the check sees.
    const std::string edited = Fixture() + "[zeta]\n\tpath=/volume1/zeta\n";
    sharedb::WriteSmbConf(edited);
    VAKOSHAREDB *p = db.release();
    ASSERT_EQ(VAKOShareDBCheckAndRebuild(&p), 0);
    db.reset(p);
    ASSERT_EQ(VAKOShareDBDelete(db.get(), "public"), 0);
    vakotest::SyslogClear();
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOShareDBDump(db.get()), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x4100);
    EXPECT_TRUE(vakotest::SyslogMatches(
        "share_db_dump:{L} /usr/vako/etc/smb.conf changed since the share database was built from it."));
    EXPECT_EQ(SmbConf(), edited);
    EXPECT_FALSE(vakotest::FileExists(SZF_SMB_CONF_TMP));
    // The database is built anew of the file as it is, at once; the
    // handle's file is marked replaced for its holders.
    EXPECT_EQ(VAKOBDbDeprecatedGet(db->pDb), 1);
    db.reset();
    db = sharedb::Open();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(sharedb::Names(db.get()), (std::vector<std::string>{"everyone", "public", "team", "zeta"}));
}

TEST(ShareDbDump, PlacesThatDoNotHoldWriteNothing)
{
    // The database is writable by every account: what it says of smb.conf
    // is checked before a line is written.
    const struct {
        const char *what;
        std::string key, value;
        const char *logged;
    } cases[] = {
        {"a place too short", "#VAKO@SMB@S@PUBLIC", "ab", "the place of a section"},
        {"a kept section that is a share's", "#VAKO@SMB@KEPT", std::string("\1\0\0\0\3\0\0\0", 8),
         "two records in one section"},
        {"a file record too short", "#VAKO@SMB@FILE", "abc", "the size and hash of the file"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        vakotest::RemoveFile(vakotest::kShareDb);
        DbPtr db = OpenFixture();
        ASSERT_NE(db, nullptr);
        std::string value = c.value;
        if (c.key == "#VAKO@SMB@KEPT") {
            // Section 3 of the fixture is public's: the words in this
            // processor's byte order.
            uint32_t words[2] = {1, 3};
            value.assign(reinterpret_cast<const char *>(words), sizeof words);
        }
        ASSERT_EQ(VAKOBDbSet(db->pDb, c.key.c_str(), static_cast<int>(c.key.size()) + 1, value.data(),
                             static_cast<int>(value.size())),
                  0);
        vakotest::SyslogClear();
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOShareDBDump(db.get()), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x4000);
        EXPECT_TRUE(vakotest::SyslogMatches(std::string("share_db_dump:{L} the places of the sections of "
                                                        "/usr/vako/etc/smb.conf in the share database do not hold (") +
                                            c.logged + ")."));
        EXPECT_EQ(SmbConf(), Fixture());
        // Built anew at once: the forged record is gone.
        EXPECT_EQ(VAKOBDbDeprecatedGet(db->pDb), 1);
        db = sharedb::Open();
        ASSERT_NE(db, nullptr);
        void *p = nullptr;
        int cb = 0;
        std::string now = VAKOBDbGet(db->pDb, c.key.c_str(), static_cast<int>(c.key.size()) + 1, &p, &cb) == 0
                              ? std::string(static_cast<char *>(p), static_cast<size_t>(cb))
                              : "";
        VAKOBDbDataFree(p);
        EXPECT_NE(now, value);
        EXPECT_EQ(VAKOShareDBDump(db.get()), 0);
        EXPECT_EQ(SmbConf(), Fixture());
    }
}

TEST(ShareDbOpen, ADatabaseWithoutPlacesIsRebuiltAndNeverDumped)
{
    // smb.conf in no key order, as an older appliance may have left it.
    const std::string text = Section("zeta", "", "", "", "/volume1/zeta").Text() + "# kept\n" + kGlobal +
                             Section("alpha", "", "", "", "/volume1/alpha").Text();
    DbPtr db = OpenFixture(text);
    ASSERT_NE(db, nullptr);
    // As an older build made it: no places.
    ASSERT_EQ(VAKOBDbDelete(db->pDb, "#VAKO@SMB@FILE", 15), 0);
    ASSERT_EQ(VAKOBDbSet(db->pDb, "MARK", 5, "m", 2), 0);
    db.reset();
    // The open builds it anew.
    vakotest::SyslogClear();
    db = sharedb::Open();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(groupdb::Record(db->pDb, "MARK"), groupdb::kAbsent);
    EXPECT_NE(groupdb::Record(db->pDb, "#VAKO@SMB@FILE"), groupdb::kAbsent);
    EXPECT_TRUE(vakotest::SyslogMatches("share_db_check_and_rebuild:{L} /tmp/.db.vakoshare.0966 holds no places of "
                                        "the sections of /usr/vako/etc/smb.conf, so rebuild db."));

    // A handle on such a database never dumps it: it would lose what no
    // record holds. The database is built anew at once.
    ASSERT_EQ(VAKOBDbDelete(db->pDb, "#VAKO@SMB@FILE", 15), 0);
    ASSERT_EQ(VAKOShareDBDelete(db.get(), "alpha"), 0);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOShareDBDump(db.get()), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x4100);
    EXPECT_TRUE(vakotest::SyslogMatches("share_db_dump:{L} the share database holds no places of the sections of "
                                        "/usr/vako/etc/smb.conf: nothing written."));
    EXPECT_EQ(SmbConf(), text);
    EXPECT_EQ(VAKOBDbDeprecatedGet(db->pDb), 1);
    db = sharedb::Open();
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(VAKOShareDBDelete(db.get(), "alpha"), 0);
    ASSERT_EQ(VAKOShareDBDump(db.get()), 0);
    EXPECT_EQ(SmbConf(), Section("zeta", "", "", "", "/volume1/zeta").Text() + "# kept\n" + kGlobal);
}

} // namespace
