#include "vako/user_db.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "slib/error.h"
#include "vakotest/accounts.h"
#include "vakotest/flockhold.h"
#include "vakotest/fsyncfault.h"
#include "vakotest/paths.h"
#include "vakotest/testkit.h"
#include "vakotest/userdb.h"
#include "vakotest/words.h"

using userdb::DbPtr;
using userdb::Fixture;
using userdb::Marked;
using userdb::Record;
using vakotest::AccountFiles;
using vakotest::kAccountsMtime;

namespace {

constexpr const char *kCacheFiles[] = {vakotest::kUserDbName, vakotest::kUserDbMisc, vakotest::kUserDbShadow,
                                       vakotest::kUserDbSmb, vakotest::kUserDbUid};
constexpr const char *kTextFiles[] = {vakotest::kPasswdFile, vakotest::kShadowFile, vakotest::kVakoUserConf,
                                      vakotest::kSmbPasswdFile};

time_t Mtime(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 ? st.st_mtime : -1;
}

std::string RawRecord(VAKOBDB *bdb, const char *key, int cbKey)
{
    void *p = nullptr;
    int cb = 0;
    std::string v = VAKOBDbGet(bdb, key, cbKey, &p, &cb) == 0 ? std::string(static_cast<char *>(p), cb) : "<absent>";
    VAKOBDbDataFree(p);
    return v;
}

DbPtr OpenFixture(const AccountFiles &files = Fixture())
{
    vakotest::WriteAccountFiles(files);
    return userdb::Open();
}

bool AnyTmpText()
{
    for (const char *f : kTextFiles)
        if (vakotest::FileExists(std::string(f) + ".tmp"))
            return true;
    return false;
}

TEST(UserDbOpen, BuildsTheFiveCachesFromTheTextFiles)
{
    umask(022);
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    VAKOUSERDB *d = db.get();
    EXPECT_EQ(Record(d->pPWDName, "ALICE"), "alice:x:1026:100:a;,b:/var/services/homes/alice:/bin/csh");
    EXPECT_EQ(Record(d->pPWDName, "ROOT"), "root:x:0:0:root:/root:/bin/sh");
    EXPECT_EQ(Record(d->pPWDShadow, "ALICE"), "alice:$1$xy$GSi9DZ/itmn9/ge6aijPn/:15000:0:99999:7::20000:");
    EXPECT_EQ(Record(d->pPWDVakoser, "ADMIN"), "admin:5:admin@example.com");
    EXPECT_EQ(Record(d->pPWDVakoser, "BOB"), userdb::kAbsent);
    EXPECT_EQ(
        Record(d->pPWDSMB, "GUEST"),
        "guest:1025:AAD3B435B51404EEAAD3B435B51404EE:31D6CFE0D16AE931B73C59D7E0C089C0:[U          ]:LCT-5F5E1000:");
    EXPECT_EQ(Record(d->pPWDUID, "001026"), "ALICE");
    EXPECT_EQ(Record(d->pPWDUID, "000000"), "ROOT");
    // Comment lines are no records.
    EXPECT_EQ(Record(d->pPWDVakoser, "#$_@UID__INDEX@_$1027$"), userdb::kAbsent);
    // Reserved records: words in this processor's byte order.
    EXPECT_EQ(RawRecord(d->pPWDUID, "#CURRENT_UID", 12), vakotest::NativeWord(1027));
    for (VAKOBDB *f : {d->pPWDName, d->pPWDUID, d->pPWDShadow, d->pPWDVakoser, d->pPWDSMB}) {
        EXPECT_EQ(RawRecord(f, "#VAKO@SYNC@TIME", 15), vakotest::NativeWord(static_cast<int32_t>(kAccountsMtime)));
        EXPECT_EQ(RawRecord(f, "#VAKO@DEPRECATED", 17), vakotest::NativeWord(0));
    }
    // The password hashes for root alone, as in their text files.
    for (const char *f : kCacheFiles) {
        bool secret = f == vakotest::kUserDbShadow || f == vakotest::kUserDbSmb;
        EXPECT_EQ(vakotest::FileMode(f), secret ? 0600u : 0644u) << f;
    }
    // No domain accounts on this appliance: nothing stamped.
    EXPECT_EQ(RawRecord(d->pPWDName, "#VAKO@EXPIRE@TIME", 17), "<absent>");
}

TEST(UserDbOpen, CurrentCachesAreKept)
{
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    userdb::Mark(db.get());
    db.reset();
    for (const char *f : kCacheFiles) {
        struct stat st;
        ASSERT_EQ(stat(f, &st), 0);
        EXPECT_GE(st.st_size, 8192) << f;
    }
    db = userdb::Open();
    ASSERT_NE(db, nullptr);
    EXPECT_TRUE(Marked(db.get()));
    VAKOUSERDB *same = db.get(), *p = db.release();
    EXPECT_EQ(VAKOUserDBCheckAndRebuild(&p), 0);
    EXPECT_EQ(p, same);
    db.reset(p);
}

TEST(UserDbOpen, StaleCachesAreRebuiltWhole)
{
    struct Case {
        const char *what;
        void (*spoil)();
    } cases[] = {
        {"shadow touched", [] { vakotest::SetMtime(vakotest::kShadowFile, kAccountsMtime + 60); }},
        {"passwd touched", [] { vakotest::SetMtime(vakotest::kPasswdFile, kAccountsMtime - 60); }},
        {"vakouser.conf touched", [] { vakotest::SetMtime(vakotest::kVakoUserConf, kAccountsMtime + 1); }},
        {"smbpasswd touched", [] { vakotest::SetMtime(vakotest::kSmbPasswdFile, kAccountsMtime + 1); }},
        {"smb cache removed", [] { vakotest::RemoveFile(vakotest::kUserDbSmb); }},
        {"misc cache small", [] { ASSERT_EQ(truncate(vakotest::kUserDbMisc, 8191), 0); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        DbPtr db = OpenFixture();
        ASSERT_NE(db, nullptr);
        userdb::Mark(db.get());
        db.reset();
        // The text files change without their times: only the spoiling tells.
        AccountFiles changed = Fixture();
        changed.passwd += "carol:x:1030:100::/h:/bin/sh\n";
        changed.shadow += "carol:h:1:0:99999:7:::\n";
        vakotest::WriteAccountFiles(changed);
        c.spoil();
        db = userdb::Open();
        ASSERT_NE(db, nullptr);
        EXPECT_FALSE(Marked(db.get()));
        EXPECT_EQ(Record(db->pPWDName, "CAROL"), "carol:x:1030:100::/h:/bin/sh");
        EXPECT_EQ(Record(db->pPWDShadow, "CAROL"), "carol:h:1:0:99999:7:::");
        EXPECT_EQ(userdb::UidRecords(db.get(), 1026), std::vector<std::string>{"ALICE"});
        VAKOUSERDB *p = db.release();
        EXPECT_EQ(VAKOUserDBCheckAndRebuild(&p), 0); // in step now
        db.reset(p);
        for (const char *f : kCacheFiles)
            EXPECT_FALSE(vakotest::FileExists(std::string(vakotest::kUserDbTmpPrefix) + (f + strlen("/tmp/.db.user"))));
        db.reset();
        for (const char *f : kCacheFiles)
            vakotest::RemoveFile(f);
    }
}

TEST(UserDbOpen, TheChecksOwnMessagesAndCodes)
{
    // A missing cache file: rebuilt.
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    vakotest::RemoveFile(vakotest::kUserDbUid);
    vakotest::SyslogClear();
    VAKOUSERDB *p = db.release();
    EXPECT_EQ(VAKOUserDBCheckAndRebuild(&p), 1);
    db.reset(p);
    EXPECT_TRUE(vakotest::SyslogMatches("user_db_check_and_rebuild:{L} stat(/tmp/.db.user.uid.0966) failed, so "
                                        "rebuild db. (errno=No such file or directory)",
                                        LOG_ERR));

    // A new set that cannot be built: the rebuild fails.
    AccountFiles bad = Fixture();
    bad.passwd += "x:x::100:::\n"; // an empty uid field
    vakotest::WriteAccountFiles(bad, kAccountsMtime + 30);
    vakotest::SyslogClear();
    SLIBErrorSet(0);
    p = db.release();
    EXPECT_EQ(VAKOUserDBCheckAndRebuild(&p), -1);
    EXPECT_EQ(p, nullptr); // out of step with the text files: not handed back
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
    EXPECT_STREQ(SLIBErrorGetFile(), "user_db_rebuild");
    EXPECT_TRUE(
        vakotest::SyslogMatches("user_db_check_and_rebuild:{L} VAKOUserDBRebuild failed, vakoerr=0x0900", LOG_ERR));

    // A source that cannot be read: the check fails, the handle stays.
    vakotest::WriteAccountFiles(Fixture());
    db = userdb::Open();
    ASSERT_NE(db, nullptr);
    vakotest::RemoveFile(vakotest::kSmbPasswdFile);
    SLIBErrorSet(0);
    p = db.release();
    VAKOUSERDB *same = p;
    EXPECT_EQ(VAKOUserDBCheckAndRebuild(&p), -1);
    db.reset(p);
    EXPECT_EQ(p, same);
    EXPECT_EQ(SLIBErrorGet(), 0x0600);
    EXPECT_STREQ(SLIBErrorGetFile(), "user_db_check_and_rebuild");
}

TEST(UserDbOpen, AnotherProcessesRebuildIsReopened)
{
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    AccountFiles changed = Fixture();
    changed.passwd += "dave:x:1031:100::/h:/bin/sh\n";
    vakotest::WriteAccountFiles(changed);
    pid_t other = vakotest::ForkChild([] { return VAKOUserDBRebuild() == 0 ? 0 : 1; });
    ASSERT_EQ(vakotest::WaitChild(other), 0);
    // The replaced name file carries the mark for its holders.
    EXPECT_EQ(VAKOBDbDeprecatedGet(db->pPWDName), 1);
    VAKOUSERDB *p = db.release(), *old = p;
    EXPECT_EQ(VAKOUserDBCheckAndRebuild(&p), 1);
    db.reset(p);
    EXPECT_NE(p, old);
    EXPECT_EQ(Record(db->pPWDName, "DAVE"), "dave:x:1031:100::/h:/bin/sh");
    EXPECT_EQ(VAKOBDbDeprecatedGet(db->pPWDName), 0);
}

TEST(UserDbOpen, ABuildStartsFromEmptyFiles)
{
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    // An interrupted build: records left in four files, the fifth missing.
    ASSERT_EQ(VAKOBDbSet(db->pPWDName, "GHOST", 6, "ghost:x:1500:100:::", 20), 0);
    ASSERT_EQ(VAKOBDbSet(db->pPWDUID, "001500", 7, "GHOST", 6), 0);
    db.reset();
    vakotest::RemoveFile(vakotest::kUserDbSmb);
    db = userdb::Open();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(userdb::UidRecords(db.get(), 1026), std::vector<std::string>{"ALICE"});
    EXPECT_TRUE(userdb::UidRecords(db.get(), 1500).empty());
    EXPECT_EQ(Record(db->pPWDName, "GHOST"), userdb::kAbsent);
    ASSERT_EQ(VAKOUserDBDump(db.get()), 0);
    EXPECT_EQ(vakotest::ReadAccountFiles(), Fixture());
}

TEST(UserDbOpen, LeftoverTemporaryFilesAreNotBuiltOn)
{
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    VAKOUSERDB *tmp = nullptr;
    ASSERT_EQ(VAKOUserDBOpenFile(&tmp, SZF_USER_DB_TMP_PREFIX), 1);
    ASSERT_EQ(VAKOBDbSet(tmp->pPWDUID, "001026", 7, "ALICE", 6), 0); // a second record, as a second build adds
    VAKOUserDBClose(tmp);
    vakotest::SetMtime(vakotest::kPasswdFile, kAccountsMtime + 5);
    VAKOUSERDB *p = db.release();
    EXPECT_EQ(VAKOUserDBCheckAndRebuild(&p), 1);
    db.reset(p);
    EXPECT_EQ(userdb::UidRecords(db.get(), 1026), std::vector<std::string>{"ALICE"});
}

TEST(UserDbDump, WritesTheTextFilesBackByteForByte)
{
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(VAKOUserDBDump(db.get()), 0);
    EXPECT_EQ(vakotest::ReadAccountFiles(), Fixture());
    EXPECT_FALSE(AnyTmpText());
    // The caches carry the new files' times: the next open keeps them.
    EXPECT_EQ(VAKOBDbIsNeedToRebuild(db->pPWDShadow, Mtime(vakotest::kShadowFile)), 0);
    EXPECT_NE(Mtime(vakotest::kShadowFile), kAccountsMtime);
    userdb::Mark(db.get());
    db.reset();
    db = userdb::Open();
    ASSERT_NE(db, nullptr);
    EXPECT_TRUE(Marked(db.get()));
}

TEST(UserDbDump, LocalAccountsInUidOrder)
{
    AccountFiles files;
    files.passwd = "c:x:1026:100:::\n#comment\na:x:1024:100:::\nb:x:1025:100:::";
    files.shadow = "b:hb:1:0:99999:7:::\nc:hc:1:0:99999:7:::\na:ha:1:0:99999:7:::\n";
    files.vakouserConf = "c:0:\nb:0:\n";
    files.smbpasswd = "# no lines\n";
    vakotest::WriteFile(vakotest::kSmbConf, "[global]\nsecurity=domain\nworkgroup=CORP\n");
    vakotest::WriteFile(vakotest::kInfoFile, "runsamba=\"yes\"\n");
    vakotest::WriteFile(vakotest::kDomainUserFile, "CORP\\d:2000\n");
    DbPtr db = OpenFixture(files);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(Record(db->pPWDName, "CORP\\D"), "CORP\\d:x:-1:-1:::");
    EXPECT_EQ(userdb::CurrentUid(db.get()), 1026); // no marker line: the largest uid
    ASSERT_EQ(VAKOUserDBDump(db.get()), 0);
    EXPECT_EQ(vakotest::ReadAccountFiles(),
              (AccountFiles{"a:x:1024:100:::\nb:x:1025:100:::\nc:x:1026:100:::\n",
                            "a:ha:1:0:99999:7:::\nb:hb:1:0:99999:7:::\nc:hc:1:0:99999:7:::\n",
                            "#$_@UID__INDEX@_$1026$\n# record user misc, format "
                            "\"user_name:user_privilege:user_mail\"\nb:0:\nc:0:\n",
                            ""}));
}

TEST(UserDbDump, SecretFilesAreNeverReadableByOthers)
{
    umask(0);
    struct Case {
        const char *what;
        unsigned oldMode; // 0: no old file
        unsigned newMode;
    } cases[] = {{"0640", 0640, 0640}, {"0644", 0644, 0640}, {"0606", 0606, 0600}, {"none", 0, 0600}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        DbPtr db = OpenFixture();
        ASSERT_NE(db, nullptr);
        for (const char *f : {vakotest::kShadowFile, vakotest::kSmbPasswdFile}) {
            if (c.oldMode)
                ASSERT_EQ(chmod(f, c.oldMode), 0);
            else
                vakotest::RemoveFile(f);
            // Leftovers of an earlier dump that anyone could read.
            vakotest::WriteFile(std::string(f) + ".tmp", "stale\n", 0666);
        }
        vakotest::RemoveFile(vakotest::kPasswdFile);
        vakotest::gFsyncModes.clear();
        ASSERT_EQ(VAKOUserDBDump(db.get()), 0);
        // As synced, before any rename: passwd, shadow, vakouser.conf, smbpasswd.
        EXPECT_EQ(vakotest::gFsyncModes, (std::vector<unsigned>{0666, 0600, 0666, 0600}));
        EXPECT_EQ(vakotest::FileMode(vakotest::kShadowFile), c.newMode);
        EXPECT_EQ(vakotest::FileMode(vakotest::kSmbPasswdFile), c.newMode);
        EXPECT_EQ(vakotest::FileMode(vakotest::kPasswdFile), 0666u); // a new file's mode
        EXPECT_EQ(vakotest::ReadAccountFiles().shadow, Fixture().shadow);
    }
}

// The text files whole, with their times.
struct TextState {
    AccountFiles files;
    std::vector<time_t> mtimes;
    bool operator==(const TextState &) const = default;
};
TextState Texts()
{
    auto read = [](const char *f) {
        return vakotest::IsDirectory(f) ? "<directory>" : vakotest::FileExists(f) ? vakotest::ReadFile(f) : "<missing>";
    };
    TextState s{{read(kTextFiles[0]), read(kTextFiles[1]), read(kTextFiles[2]), read(kTextFiles[3])}, {}};
    for (const char *f : kTextFiles)
        s.mtimes.push_back(Mtime(f));
    return s;
}

TEST(UserDbDump, AFailedDumpLeavesTheTextFilesAsTheyWere)
{
    const std::string confTmp = std::string(vakotest::kVakoUserConf) + ".tmp";
    struct Case {
        const char *what;
        std::function<void()> fault, undo;
        int code;
    } cases[] = {
        {"fsync of the third file fails", [] { vakotest::gFsyncFailAt = vakotest::gFsyncCalls + 3; }, [] {}, 0x0B00},
        {"fsync of the last file fails", [] { vakotest::gFsyncFailAt = vakotest::gFsyncCalls + 4; }, [] {}, 0x0B00},
        {"no room for the SMB file",
         [] {
             // A full file system under the SMB password file.
             ASSERT_EQ(mount("tmpfs", "/usr/vako/etc/private", "tmpfs", 0, "size=4k"), 0);
             vakotest::WriteFile(vakotest::kSmbPasswdFile, std::string(4096, 'x'), 0600);
         },
         [] { ASSERT_EQ(umount("/usr/vako/etc/private"), 0); }, 0x0B00},
        {"no temporary file", [&] { vakotest::WriteFile(confTmp + "/x", "x"); },
         [&] { std::filesystem::remove_all(confTmp); }, 0x0900},
        {"passwd cannot be replaced",
         [] {
             vakotest::RemoveFile(vakotest::kPasswdFile);
             vakotest::WriteFile(std::string(vakotest::kPasswdFile) + "/x", "x");
         },
         [] { std::filesystem::remove_all(vakotest::kPasswdFile); }, 0x2800},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        DbPtr db = OpenFixture();
        ASSERT_NE(db, nullptr);
        ASSERT_EQ(VAKOBDbSet(db->pPWDVakoser, "ALICE", 6, "alice:4:new@example.com", 24), 0);
        c.fault();
        TextState before = Texts();
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOUserDBDump(db.get()), -1);
        EXPECT_EQ(SLIBErrorGet(), c.code);
        vakotest::gFsyncFailAt = 0;
        EXPECT_TRUE(Texts() == before);
        // Removed on a failure before the renames; a failed rename leaves
        // the files not yet moved behind.
        for (const char *f : {vakotest::kPasswdFile, vakotest::kShadowFile, vakotest::kSmbPasswdFile}) {
            EXPECT_EQ(vakotest::FileExists(std::string(f) + ".tmp"), c.code == 0x2800) << f;
            vakotest::RemoveFile(std::string(f) + ".tmp");
        }
        // The stamps stay as they were.
        EXPECT_EQ(VAKOBDbIsNeedToRebuild(db->pPWDVakoser, kAccountsMtime), 0);
        c.undo();
    }
}

TEST(UserDbDump, MovingAndRemovingTheTemporaryFiles)
{
    vakotest::WriteAccountFiles(Fixture());
    vakotest::WriteFile(std::string(vakotest::kPasswdFile) + ".tmp", "new:x:1:1:::\n");
    ASSERT_EQ(UserRenameTmpFiles(), 0);
    EXPECT_EQ(vakotest::ReadFile(vakotest::kPasswdFile), "new:x:1:1:::\n");
    EXPECT_EQ(vakotest::ReadFile(vakotest::kShadowFile), Fixture().shadow);
    EXPECT_FALSE(AnyTmpText());
    EXPECT_EQ(UserRemoveTmpFiles(), 0); // nothing to remove

    vakotest::WriteFile(std::string(vakotest::kShadowFile) + ".tmp", "s\n");
    vakotest::WriteFile(std::string(vakotest::kSmbPasswdFile) + ".tmp/x", "x"); // cannot be removed
    vakotest::SyslogClear();
    SLIBErrorSet(0);
    EXPECT_EQ(UserRemoveTmpFiles(), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x3900);
    EXPECT_FALSE(vakotest::FileExists(std::string(vakotest::kShadowFile) + ".tmp"));
    EXPECT_TRUE(vakotest::SyslogMatches(
        "user_remove_tmp_files:{L} remove /usr/vako/etc/private/smbpasswd.tmp file failed!", LOG_WARNING));
}

TEST(UserDbBuild, BadLinesFailTheBuildClearly)
{
    struct Case {
        const char *what;
        std::string passwdLine;
        int code;
    } cases[] = {
        {"uid not a number", "x:x:abc:100:::", 0x4000},
        {"uid with a tail", "x:x:12abc:100:::", 0x4000},
        {"uid empty", "x:x::100:::", 0x4000},
        {"uid negative", "x:x:-5:100:::", 0x4000},
        {"uid out of range", "x:x:4294967296:100:::", 0x4000},
        {"a name twice", "alice:x:1040:100:::", 0x1C00},
        {"a name twice in another case", "ALICE:x:1040:100:::", 0x1C00},
        {"a name too long for a key", std::string(10000, 'n') + ":x:1040:100:::", 0x1A00},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        AccountFiles files = Fixture();
        files.passwd += c.passwdLine + "\n";
        vakotest::WriteAccountFiles(files);
        SLIBErrorSet(0);
        EXPECT_EQ(userdb::Open(), nullptr);
        EXPECT_EQ(SLIBErrorGet(), c.code);
        for (const char *f : kCacheFiles)
            EXPECT_FALSE(vakotest::FileExists(f)) << f;
        EXPECT_EQ(vakotest::ReadAccountFiles(), files);
    }
}

TEST(UserDbBuild, OddLinesRoundTrip)
{
    // Lines that load and are written back as they stand: nothing of them is lost.
    AccountFiles files = Fixture();
    std::string longDesc(10000, 'd');
    files.passwd += "long:x:1028:100:" + longDesc +
                    ":/h:/bin/sh\n"
                    "short:x:1029:100\n"         // too few fields to read, enough to keep
                    "high:x:4294967294:100:::\n" // the largest uid there is
                    "last:x:1030:100:::";        // no line end
    files.shadow += "long:h:1:0:99999:7:::\nshort:h:1\nhigh:h:1:0:99999:7:::\nlast:h";
    files.vakouserConf += "last:0:";
    files.smbpasswd += "last:1030:X:Y:[U          ]:LCT-00000000:";
    DbPtr db = OpenFixture(files);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(Record(db->pPWDName, "LAST"), "last:x:1030:100:::");
    EXPECT_EQ(Record(db->pPWDShadow, "LAST"), "last:h");
    EXPECT_EQ(userdb::UidRecords(db.get(), -2), std::vector<std::string>{"HIGH"});
    userdb::UserPtr u;
    VAKOUSER *raw = nullptr;
    EXPECT_EQ(VAKOUserDBGet(db.get(), "SHORT", &raw), -1); // clear error on reading
    EXPECT_EQ(SLIBErrorGet(), 0x4000);
    EXPECT_EQ(VAKOUserDBGet(db.get(), "LONG", &raw), 0);
    u.reset(raw);
    EXPECT_EQ(u->szDesc, longDesc);
    ASSERT_EQ(VAKOUserDBDump(db.get()), 0);
    AccountFiles back = vakotest::ReadAccountFiles();
    // Every line is back, in uid order (the largest uid, stored as -2, first);
    // the last line got its line end.
    EXPECT_EQ(back.passwd, "high:x:4294967294:100:::\n" + Fixture().passwd + "long:x:1028:100:" + longDesc +
                               ":/h:/bin/sh\nshort:x:1029:100\nlast:x:1030:100:::\n");
    EXPECT_EQ(back.shadow, "high:h:1:0:99999:7:::\n" + Fixture().shadow + "long:h:1:0:99999:7:::\nshort:h:1\nlast:h\n");
    EXPECT_EQ(back.vakouserConf, Fixture().vakouserConf + "last:0:\n");
    EXPECT_EQ(back.smbpasswd, Fixture().smbpasswd + "last:1030:X:Y:[U          ]:LCT-00000000:\n");
}

TEST(UserDbBuild, SkippedLinesAreLogged)
{
    AccountFiles files = Fixture();
    files.passwd += "two:fields\n";
    files.shadow += "noseparator\nalice:second:1:0:99999:7:::\n"; // a name twice: the later line wins
    vakotest::SyslogClear();
    DbPtr db = OpenFixture(files);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(Record(db->pPWDName, "TWO"), userdb::kAbsent);
    EXPECT_EQ(Record(db->pPWDShadow, "ALICE"), "alice:second:1:0:99999:7:::");
    EXPECT_TRUE(vakotest::SyslogMatches("user_db_build:{L} /etc/passwd format error, user name = two:fields"));
    EXPECT_TRUE(vakotest::SyslogMatches("user_db_build:{L} /etc/shadow format error, user name = noseparator"));
}

TEST(UserDbBuild, LastUidMarker)
{
    struct Case {
        const char *what;
        std::string conf;
        std::string extraPasswd;
        int current;
    } cases[] = {
        {"marker", "#$_@UID__INDEX@_$1500$\n", "", 1500},
        {"marker out of range", "#$_@UID__INDEX@_$99$\n", "nobody:x:65534:65534:::\n", 65534},
        {"no marker", "alice:0:\n", "", 1027},
        {"marker after text", "x #$_@UID__INDEX@_$2000$\n", "", 2000},
        {"marker without its end, then another", "#$_@UID__INDEX@_$1500\n#$_@UID__INDEX@_$1600$\n", "", 1600},
        {"marker without its end", "#$_@UID__INDEX@_$1500\n", "", 1500},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        AccountFiles files = Fixture();
        files.vakouserConf = c.conf;
        files.passwd += c.extraPasswd;
        DbPtr db = OpenFixture(files);
        ASSERT_NE(db, nullptr);
        EXPECT_EQ(userdb::CurrentUid(db.get()), c.current);
        db.reset();
        for (const char *f : kCacheFiles)
            vakotest::RemoveFile(f);
    }
}

TEST(UserDbBuild, EmptyAccountFiles)
{
    DbPtr db = OpenFixture(AccountFiles{});
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(userdb::CurrentUid(db.get()), 0);
    EXPECT_EQ(VAKOUserGetFreeUid(db.get()), 1024);
    ASSERT_EQ(VAKOUserDBDump(db.get()), 0);
    EXPECT_EQ(vakotest::ReadAccountFiles().vakouserConf,
              "#$_@UID__INDEX@_$0$\n# record user misc, format \"user_name:user_privilege:user_mail\"\n");
}

TEST(UserDbBuild, AMissingTextFileFailsTheOpen)
{
    for (const char *missing : kTextFiles) {
        SCOPED_TRACE(missing);
        vakotest::WriteAccountFiles(Fixture());
        vakotest::RemoveFile(missing);
        SLIBErrorSet(0);
        EXPECT_EQ(userdb::Open(), nullptr);
        EXPECT_EQ(SLIBErrorGet(), 0x0900);
    }
}

void DomainMember(bool sambaRuns)
{
    vakotest::WriteFile(vakotest::kSmbConf, "[global]\nsecurity=domain\nworkgroup=CORP\n");
    vakotest::WriteFile(vakotest::kInfoFile, sambaRuns ? "runsamba=\"yes\"\n" : "runsamba=\"no\"\n");
}

TEST(UserDbDomain, AccountsOfTheDomainList)
{
    DomainMember(true);
    vakotest::WriteFile(vakotest::kDomainUserFile, "CORP\\bob:1234\nCORP\\x:y:z\nno separator\n#CORP\\c:1\n");
    time_t before = time(nullptr);
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(Record(db->pPWDName, "CORP\\BOB"), "CORP\\bob:x:-1:-1:::");
    EXPECT_EQ(Record(db->pPWDName, "CORP\\X:Y"), "CORP\\x:y:x:-1:-1:::");
    EXPECT_EQ(Record(db->pPWDName, "#CORP\\C"), "#CORP\\c:x:-1:-1:::"); // no comments in this list
    int32_t stamp;
    ASSERT_EQ(VAKOBDbWordGet(db->pPWDName, "#VAKO@EXPIRE@TIME", 17, &stamp), 0);
    EXPECT_GE(stamp, static_cast<int32_t>(before));
    EXPECT_EQ(VAKOBDbDomainIsNeedToRebuild(db->pPWDName), 0);
    // Domain accounts live in the name file only and are never written back.
    ASSERT_EQ(VAKOUserDBDump(db.get()), 0);
    EXPECT_EQ(vakotest::ReadAccountFiles(), Fixture());
    userdb::UserPtr u;
    VAKOUSER *raw = nullptr;
    ASSERT_EQ(VAKOUserDBGet(db.get(), "CORP\\BOB", &raw), 0);
    u.reset(raw);
    EXPECT_STREQ(u->szName, "CORP\\bob");
    EXPECT_EQ(u->type, 2);
    EXPECT_EQ(u->uid, -1);
    EXPECT_EQ(u->privilege, 3);
    EXPECT_STREQ(u->szPasswd, "");
}

TEST(UserDbDomain, NotLoadedWhereTheServiceDoesNotRun)
{
    DomainMember(false);
    vakotest::WriteFile(vakotest::kDomainUserFile, "CORP\\bob:1234\n");
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(Record(db->pPWDName, "CORP\\BOB"), userdb::kAbsent);
    EXPECT_EQ(RawRecord(db->pPWDName, "#VAKO@EXPIRE@TIME", 17), "<absent>");
}

TEST(UserDbDomain, AFailedListIsLoggedAndTheBuildGoesOn)
{
    DomainMember(true);
    vakotest::SyslogClear();
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(Record(db->pPWDName, "ALICE").substr(0, 6), "alice:");
    EXPECT_TRUE(vakotest::SyslogMatches("user_db_domain_build:{L} fopen(/usr/vako/etc/private/domain_user) failed. "
                                        "errno=No such file or directory"));
    EXPECT_TRUE(vakotest::SyslogMatches("user_db_build:{L} UserDBDomainBuild() failed! vakoerr=0x0900"));
    EXPECT_NE(vakotest::ReadFile(vakotest::kStandinCalls).find("vakologset1 sys err 0x1180050A\n"), std::string::npos);
}

TEST(UserDbRebuild, AProcessThatWaitedTakesTheOthersFilesInsteadOfBuilding)
{
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    db.reset();
    int opened[2], go[2];
    ASSERT_EQ(pipe(opened), 0);
    ASSERT_EQ(pipe(go), 0);
    pid_t waiter = vakotest::ForkChild([&] {
        VAKOUSERDB *mine = VAKOUserDBOpen();
        char c = mine ? 'y' : 'n';
        if (write(opened[1], &c, 1) != 1 || read(go[0], &c, 1) != 1 || !mine)
            return 2;
        // Finds its caches stale and waits for the rebuild lock.
        int r = VAKOUserDBCheckAndRebuild(&mine);
        bool marked = mine && Marked(mine);
        VAKOUserDBClose(mine);
        return r == 1 && marked ? 0 : 1;
    });
    char c;
    ASSERT_EQ(read(opened[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    vakotest::SetMtime(vakotest::kShadowFile, kAccountsMtime + 10);
    // The lock the open made.
    int lock = open(VAKO_USER_DB_REBUILD_LOCK, O_RDONLY | O_NOFOLLOW);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    ASSERT_EQ(write(go[1], "g", 1), 1);
    // It tries the lock while it has the file open.
    vakotest::WaitUntilOpen(waiter, VAKO_USER_DB_REBUILD_LOCK);
    // Meanwhile this process rebuilds, as another opener would: a new set
    // renamed into place, the old name file marked, and a record of its own.
    VAKOUSERDB *fresh = nullptr;
    ASSERT_EQ(VAKOUserDBOpenFile(&fresh, SZF_USER_DB_TMP_PREFIX), 1);
    userdb::Mark(fresh);
    VAKOUserDBClose(fresh);
    VAKOBDB *oldName = VAKOBDbOpen(vakotest::kUserDbName, O_RDWR, 0);
    ASSERT_NE(oldName, nullptr);
    for (const char *f : kCacheFiles)
        ASSERT_EQ(rename((std::string(vakotest::kUserDbTmpPrefix) + (f + strlen("/tmp/.db.user"))).c_str(), f), 0);
    ASSERT_EQ(VAKOBDbDeprecatedSet(oldName, 1), 0);
    VAKOBDbClose(oldName);
    close(lock);
    EXPECT_EQ(vakotest::WaitChild(waiter), 0);
}

TEST(UserDbRebuild, ManyProcessesFindingTheCachesStale)
{
    DbPtr db = OpenFixture(vakotest::MadeUpAccounts(2000, 1024, 7));
    ASSERT_NE(db, nullptr);
    db.reset();
    vakotest::SetMtime(vakotest::kPasswdFile, kAccountsMtime + 20);
    std::vector<pid_t> children;
    for (int i = 0; i < 6; i++)
        children.push_back(vakotest::ForkChild([] {
            VAKOUSERDB *d = VAKOUserDBOpen();
            if (!d)
                return 1;
            bool whole = userdb::UidRecords(d, 2000) == std::vector<std::string>{"USER2000"} &&
                         Record(d->pPWDShadow, "USER3023").substr(0, 9) == "user3023:";
            VAKOUserDBClose(d);
            return whole ? 0 : 2;
        }));
    for (pid_t pid : children)
        EXPECT_EQ(vakotest::WaitChild(pid), 0);
    db = userdb::Open();
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(VAKOUserDBDump(db.get()), 0);
    EXPECT_EQ(vakotest::ReadAccountFiles().passwd, vakotest::MadeUpAccounts(2000).passwd);
}

TEST(UserDbOpenFile, RefusedArguments)
{
    // Each refusal is recorded under the operation's own source name.
    VAKOUSERDB *db = nullptr;
    struct Case {
        const char *what;
        std::function<int()> call;
        const char *src;
    } cases[] = {
        {"open without a pointer", [] { return VAKOUserDBOpenFile(nullptr, SZF_USER_DB_PREFIX); }, "user_db_open"},
        {"open without a prefix", [&] { return VAKOUserDBOpenFile(&db, nullptr); }, "user_db_open"},
        {"check", [] { return VAKOUserDBCheckAndRebuild(nullptr); }, "user_db_check_and_rebuild"},
        {"dump", [] { return VAKOUserDBDump(nullptr); }, "user_db_dump"},
        {"build", [] { return VAKOUserDBBuild(nullptr); }, "user_db_build"},
        {"line build", [] { return UserDBGetLineBuild(nullptr, "/etc/shadow", ":"); }, "user_db_build"},
        {"domain build", [] { return UserDBDomainBuild(nullptr); }, "user_db_domain_build"},
        {"stamps", [] { return UserDbConfSyncTimeSet(nullptr); }, "user_db_conf_sync_time_set"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SLIBErrorSet(0);
        EXPECT_EQ(c.call(), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        EXPECT_STREQ(SLIBErrorGetFile(), c.src);
    }
    VAKOUserDBClose(nullptr);
}

} // namespace
