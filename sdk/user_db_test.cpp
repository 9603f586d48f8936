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
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "slib/error.h"
#include "vako/user_op.h"
#include "vako/user_set.h"
#include "vakotest/accountroundtrip.h"
#include "vakotest/accounts.h"
#include "vakotest/flockhold.h"
#include "vakotest/fsyncfault.h"
#include "vakotest/groupdb.h"
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

    // A new set that cannot be built (a text file is not there): the rebuild fails.
    vakotest::RemoveFile(vakotest::kUserDbSmb);
    vakotest::RemoveFile(vakotest::kShadowFile);
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
    // Lines that are no account's stay after the line they followed; a line
    // that lacked its line feed gets one where more follows.
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
              (AccountFiles{"a:x:1024:100:::\nb:x:1025:100:::\nc:x:1026:100:::\n#comment\n",
                            "a:ha:1:0:99999:7:::\nb:hb:1:0:99999:7:::\nc:hc:1:0:99999:7:::\n",
                            "#$_@UID__INDEX@_$1026$\n# record user misc, format "
                            "\"user_name:user_privilege:user_mail\"\nb:0:\nc:0:\n",
                            "# no lines\n"}));
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
        {"passwd cannot be read",
         [] {
             vakotest::RemoveFile(vakotest::kPasswdFile);
             vakotest::WriteFile(std::string(vakotest::kPasswdFile) + "/x", "x");
         },
         [] { std::filesystem::remove_all(vakotest::kPasswdFile); }, 0x0A00},
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
        // Removed on a failure before the renames.
        for (const char *f : {vakotest::kPasswdFile, vakotest::kShadowFile, vakotest::kSmbPasswdFile})
            EXPECT_FALSE(vakotest::FileExists(std::string(f) + ".tmp")) << f;
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

    // A target that no rename can replace: found before any file moves.
    vakotest::WriteFile(std::string(vakotest::kShadowFile) + ".tmp", "s\n");
    vakotest::RemoveFile(vakotest::kPasswdFile);
    vakotest::WriteFile(std::string(vakotest::kPasswdFile) + "/x", "x");
    vakotest::WriteFile(std::string(vakotest::kPasswdFile) + ".tmp", "new:x:1:1:::\n");
    vakotest::SyslogClear();
    SLIBErrorSet(0);
    EXPECT_EQ(UserRenameTmpFiles(), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x2800);
    EXPECT_EQ(vakotest::ReadFile(vakotest::kShadowFile), Fixture().shadow);
    EXPECT_TRUE(vakotest::SyslogMatches("user_rename_tmp_files:{L} rename /etc/passwd.tmp file failed!", LOG_WARNING));
    std::filesystem::remove_all(vakotest::kPasswdFile);

    vakotest::WriteFile(std::string(vakotest::kSmbPasswdFile) + ".tmp/x", "x"); // cannot be removed
    vakotest::SyslogClear();
    SLIBErrorSet(0);
    EXPECT_EQ(UserRemoveTmpFiles(), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x3900);
    EXPECT_FALSE(vakotest::FileExists(std::string(vakotest::kShadowFile) + ".tmp"));
    EXPECT_TRUE(vakotest::SyslogMatches(
        "user_remove_tmp_files:{L} remove /usr/vako/etc/private/smbpasswd.tmp file failed!", LOG_WARNING));
}

TEST(UserDbBuild, OddLinesAreKeptOutOfTheCache)
{
    // A line the cache cannot hold is logged and left out; the others work,
    // and a dump writes the line back as it stood.
    struct Case {
        const char *what;
        std::string passwdLine;
        const char *key; // the record the line must not make
        const char *why;
    } cases[] = {
        {"uid not a number", "x:x:abc:100:::", "X", "has a uid that is not a number of a uid"},
        {"uid with a tail", "x:x:12abc:100:::", "X", "has a uid that is not a number of a uid"},
        {"uid empty", "x:x::100:::", "X", "has a uid that is not a number of a uid"},
        {"uid negative", "x:x:-2:100:::", "X", "has a uid that is not a number of a uid"},
        {"uid out of range", "x:x:99999999999:100:::", "X", "has a uid that is not a number of a uid"},
        {"a name twice", "alice:x:1040:100:::", "ALICE", "repeats the name of an earlier line"},
        {"a name twice in another case", "ALICE:x:1040:100:::", "ALICE", "repeats the name of an earlier line"},
        {"a name too long for a key", std::string(600, 'n') + ":x:1040:100:::", nullptr,
         "has a name too long for a key"},
        {"a name that is no UTF-8 text", "caf\xe9:x:1040:100:::", nullptr, "has a name that is not UTF-8 text"},
        {"a NUL byte", accountroundtrip::WithNul("carol:x:1040:100:Ca", "rol:/h:/bin/sh"), "CAROL", "holds a NUL byte"},
        {"a NUL byte in the name", accountroundtrip::WithNul("car", "ol:x:1040:100:::"), "CAR", "holds a NUL byte"},
        {"a lookup entry", "+::::::", nullptr, "has a uid that is not a number of a uid"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        AccountFiles files = Fixture();
        files.passwd.insert(files.passwd.find("bob:"), c.passwdLine + "\n");
        vakotest::SyslogClear();
        DbPtr db = OpenFixture(files);
        ASSERT_NE(db, nullptr);
        if (c.key && std::string(c.key) == "ALICE") {
            EXPECT_EQ(Record(db->pPWDName, "ALICE"), "alice:x:1026:100:a;,b:/var/services/homes/alice:/bin/csh");
        } else if (c.key) {
            EXPECT_EQ(Record(db->pPWDName, c.key), userdb::kAbsent);
        }
        EXPECT_EQ(userdb::UidRecords(db.get(), 1040), std::vector<std::string>{});
        EXPECT_EQ(Record(db->pPWDName, "BOB"), "bob:x:1027:100::/var/services/homes/bob:/bin/csh");
        EXPECT_TRUE(vakotest::SyslogMatches("user_db_build:{L} /etc/passwd line 6 " + std::string(c.why) +
                                            ", kept as it stands: {*}"));
        ASSERT_EQ(VAKOUserDBDump(db.get()), 0);
        EXPECT_EQ(vakotest::ReadAccountFiles(), files);
        db.reset();
        for (const char *f : kCacheFiles)
            vakotest::RemoveFile(f);
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
    // the last line as it stood, without its line end.
    EXPECT_EQ(back.passwd, "high:x:4294967294:100:::\n" + Fixture().passwd + "long:x:1028:100:" + longDesc +
                               ":/h:/bin/sh\nshort:x:1029:100\nlast:x:1030:100:::");
    EXPECT_EQ(back.shadow, "high:h:1:0:99999:7:::\n" + Fixture().shadow + "long:h:1:0:99999:7:::\nshort:h:1\nlast:h");
    EXPECT_EQ(back.vakouserConf, Fixture().vakouserConf + "last:0:");
    EXPECT_EQ(back.smbpasswd, Fixture().smbpasswd + "last:1030:X:Y:[U          ]:LCT-00000000:");
}

TEST(UserDbBuild, SkippedLinesAreLogged)
{
    AccountFiles files = Fixture();
    files.passwd += "two:fields\n";
    files.shadow += "noseparator\nalice:second:1:0:99999:7:::\n"; // a name twice: the first line wins
    vakotest::SyslogClear();
    DbPtr db = OpenFixture(files);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(Record(db->pPWDName, "TWO"), userdb::kAbsent);
    EXPECT_EQ(Record(db->pPWDShadow, "ALICE"), "alice:$1$xy$GSi9DZ/itmn9/ge6aijPn/:15000:0:99999:7::20000:");
    EXPECT_TRUE(vakotest::SyslogMatches("user_db_build:{L} /etc/passwd format error, user name = two:fields"));
    EXPECT_TRUE(vakotest::SyslogMatches("user_db_build:{L} /etc/shadow format error, user name = noseparator"));
    EXPECT_TRUE(vakotest::SyslogMatches("user_db_build:{L} /etc/shadow line 8 repeats the name of an earlier line, "
                                        "kept as it stands: alice:second:1:0:99999:7:::"));
    // Both stay in the file.
    ASSERT_EQ(VAKOUserDBDump(db.get()), 0);
    EXPECT_EQ(vakotest::ReadAccountFiles(), files);
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

// ---- Round trips: the account files as old appliances hold them ----

namespace rt = accountroundtrip;

const std::string kNewDesc = "changed", kNewMail = "new@example.com", kNewHash = "$1$Nw$Zz9sRo/vB1WnRWhGbeBQd1",
                  kNewLm = "0123456789ABCDEF0123456789ABCDEF", kNewNt = "FEDCBA9876543210FEDCBA9876543210";

// An account as stored, nullptr when it cannot be read.
userdb::UserPtr Read(const std::string &name)
{
    PVAKOUSER raw = nullptr;
    userdb::UserPtr u(VAKOUserGet(name.c_str(), &raw) == 0 ? raw : nullptr);
    if (!u)
        VAKOUserFree(raw);
    return u;
}

// An account read and stored again with a new description and mail.
int SetAgain(const std::string &name)
{
    userdb::UserPtr u = Read(name);
    if (!u)
        return -1;
    PVAKOUSER copy = nullptr;
    if (VAKOUserAlloc(&copy, u->szName, u->szPasswd, u->uid, u->gid, kNewDesc.c_str(), u->szHome, u->szShell, u->expire,
                      u->disabled, kNewMail.c_str(), u->privilege) != 0)
        return -1;
    userdb::UserPtr changed(copy);
    return VAKOUserSet(name.c_str(), copy);
}

// An account's password set to other hashes.
int NewPassword(const std::string &name)
{
    userdb::UserPtr u = Read(name);
    if (!u)
        return -1;
    PVAKOUSER users[] = {u.get()};
    std::string hash = kNewHash, lm = kNewLm, nt = kNewNt;
    char *crypted[] = {hash.data()}, *lms[] = {lm.data()}, *nts[] = {nt.data()};
    return VAKOUserSetPasswd(users, crypted, lms, nts, 1);
}

// One shape of the files: made from the fixture (or from base), the change
// made on the account who.
struct Shape {
    const char *name;
    std::function<void(AccountFiles &)> make;
    std::function<AccountFiles()> base = Fixture;
    std::string who = "alice";
};

enum class Change { kSetAgain, kNewPassword };

// The row of a shape: the change and the lines of who it writes, as the
// operations write them (the day and the time of a change as they come).
rt::Row RowOf(const Shape &shape, Change change)
{
    AccountFiles files = shape.base();
    shape.make(files);
    const std::string who = shape.who, key = who + ":";
    rt::Row row{shape.name, files, groupdb::Fixture(), {}, {}};
    if (change == Change::kSetAgain) {
        row.change = [who] { return SetAgain(who); };
        row.touched = {
            {rt::File::kPasswd, rt::LineOf(files.passwd, key),
             rt::WithField(rt::LineOf(files.passwd, key), 4, kNewDesc)},
            {rt::File::kShadow, rt::LineOf(files.shadow, key), rt::WithField(rt::LineOf(files.shadow, key), 2, "{*}")},
            {rt::File::kVakoUserConf, rt::LineOf(files.vakouserConf, key),
             rt::WithField(rt::LineOf(files.vakouserConf, key), 2, kNewMail)},
            {rt::File::kSmbPasswd, rt::LineOf(files.smbpasswd, key),
             rt::WithField(rt::LineOf(files.smbpasswd, key), 5, "LCT-{*}")},
        };
    } else {
        row.change = [who] { return NewPassword(who); };
        std::string smb = rt::WithField(rt::LineOf(files.smbpasswd, key), 2, kNewLm);
        row.touched = {
            {rt::File::kShadow, rt::LineOf(files.shadow, key),
             rt::WithField(rt::LineOf(files.shadow, key), 1, kNewHash)},
            {rt::File::kSmbPasswd, rt::LineOf(files.smbpasswd, key), rt::WithField(smb, 3, kNewNt)},
        };
    }
    return row;
}

void RunAll(const std::vector<Shape> &shapes, Change change)
{
    for (const Shape &shape : shapes) {
        SCOPED_TRACE(shape.name);
        rt::Run(RowOf(shape, change));
    }
}

// Shapes every account file can have: its lines CRLF, the last one without
// its line feed, a 100 kB line, 50,000 accounts.
void AddCommonShapes(std::vector<Shape> &shapes, std::string AccountFiles::*file, const std::string &longLine)
{
    shapes.push_back({"CRLF", [file](AccountFiles &f) { f.*file = rt::Crlf(f.*file); }});
    shapes.push_back({"CRLF everywhere", [](AccountFiles &f) {
                          for (std::string *t : {&f.passwd, &f.shadow, &f.vakouserConf, &f.smbpasswd})
                              *t = rt::Crlf(*t);
                      }});
    shapes.push_back({"no last line feed", [file](AccountFiles &f) { f.*file = rt::WithoutLastNewline(f.*file); }});
    shapes.push_back({"a 100 kB line", [file, longLine](AccountFiles &f) { f.*file += longLine; }});
    shapes.push_back({"a 100 kB comment", [file](AccountFiles &f) {
                          f.*file = rt::Inserted(f.*file, "guest:", "#" + std::string(100000, 'c') + "\n");
                      }});
    shapes.push_back({"50,000 accounts and a comment",
                      [file](AccountFiles &f) { f.*file = rt::Inserted(f.*file, "user30000:", "# the middle\n"); },
                      [] { return vakotest::MadeUpAccounts(50000, 1024, 0, 51023); }, "user30000"});
}

TEST(UserDbRoundTrip, Passwd)
{
    std::vector<Shape> shapes = {
        {"a name twice in another case", [](AccountFiles &f) { f.passwd += "Bob:x:1031:100::/home/Bob:/bin/sh\n"; }},
        {"a name twice",
         [](AccountFiles &f) { f.passwd = rt::Inserted(f.passwd, "bob:", "alice:x:1040:100:2nd:/h:/bin/sh\n"); }},
        {"uid -2", [](AccountFiles &f) { f.passwd = rt::Inserted(f.passwd, "bob:", "neg:x:-2:100:::\n"); }},
        {"uid 99999999999",
         [](AccountFiles &f) { f.passwd = rt::Inserted(f.passwd, "bob:", "big:x:99999999999:100:::\n"); }},
        {"uid empty", [](AccountFiles &f) { f.passwd = rt::Inserted(f.passwd, "bob:", "empty:x::100:::\n"); }},
        {"uid no number", [](AccountFiles &f) { f.passwd = rt::Inserted(f.passwd, "bob:", "word:x:abc:100:::\n"); }},
        {"a Latin-1 name",
         [](AccountFiles &f) { f.passwd = rt::Inserted(f.passwd, "bob:", "caf\xe9:x:1041:100:::\n"); }},
        {"a 600-byte name",
         [](AccountFiles &f) {
             f.passwd = rt::Inserted(f.passwd, "bob:", std::string(600, 'n') + ":x:1042:100:::\n");
         }},
        {"a lookup entry", [](AccountFiles &f) { f.passwd += "+::::::\n"; }},
        {"a NUL in a field",
         [](AccountFiles &f) {
             f.passwd = rt::Inserted(f.passwd, "bob:", rt::WithNul("carol:x:1043:100:Ca", "rol:/home:/bin/sh\n"));
         }},
        {"a NUL in the name",
         [](AccountFiles &f) { f.passwd = rt::Inserted(f.passwd, "bob:", rt::WithNul("car", "ol:x:1044:100:::\n")); }},
        {"comments and an empty line",
         [](AccountFiles &f) { f.passwd = "# accounts\n" + rt::Inserted(f.passwd, "bob:", "\n#\n"); }},
        {"too few fields", [](AccountFiles &f) { f.passwd = rt::Inserted(f.passwd, "bob:", "short:x\n"); }},
        {"a domain name",
         [](AccountFiles &f) { f.passwd = rt::Inserted(f.passwd, "bob:", "CORP\\x:x:1045:100:::\n"); }},
    };
    AddCommonShapes(shapes, &AccountFiles::passwd, "long:x:1046:100:" + std::string(100000, 'd') + ":/h:/bin/sh\n");
    RunAll(shapes, Change::kSetAgain);
}

TEST(UserDbRoundTrip, Shadow)
{
    std::vector<Shape> shapes = {
        {"a name twice",
         [](AccountFiles &f) { f.shadow = rt::Inserted(f.shadow, "bob:", "alice:$1$zz$second:15000:0:99999:7:::\n"); }},
        {"a NUL",
         [](AccountFiles &f) { f.shadow = rt::Inserted(f.shadow, "bob:", rt::WithNul("carol:h", ":1:0:::::\n")); }},
        {"no separator", [](AccountFiles &f) { f.shadow = rt::Inserted(f.shadow, "bob:", "noseparator\n"); }},
        {"a Latin-1 name", [](AccountFiles &f) { f.shadow = rt::Inserted(f.shadow, "bob:", "caf\xe9:h:1:0:::::\n"); }},
        {"a 600-byte name",
         [](AccountFiles &f) { f.shadow = rt::Inserted(f.shadow, "bob:", std::string(600, 'n') + ":h:1:0:::::\n"); }},
        {"no account's",
         [](AccountFiles &f) { f.shadow = rt::Inserted(f.shadow, "bob:", "ghost:h:1:0:99999:7:::\n"); }},
        {"a comment", [](AccountFiles &f) { f.shadow = "# hashes\n" + f.shadow; }},
    };
    AddCommonShapes(shapes, &AccountFiles::shadow, "ghost:" + std::string(100000, 'h') + ":1:0:99999:7:::\n");
    RunAll(shapes, Change::kNewPassword);
}

TEST(UserDbRoundTrip, VakouserConf)
{
    std::vector<Shape> shapes = {
        {"a second marker line", [](AccountFiles &f) { f.vakouserConf += "#$_@UID__INDEX@_$1500$\n"; }},
        {"a name twice", [](AccountFiles &f) { f.vakouserConf += "ALICE:9:second@example.com\n"; }},
        {"a NUL",
         [](AccountFiles &f) {
             f.vakouserConf = rt::Inserted(f.vakouserConf, "alice:", rt::WithNul("carol:0:c", "@example.com\n"));
         }},
        {"no separator", [](AccountFiles &f) { f.vakouserConf = rt::Inserted(f.vakouserConf, "alice:", "alone\n"); }},
        {"a Latin-1 name",
         [](AccountFiles &f) { f.vakouserConf = rt::Inserted(f.vakouserConf, "alice:", "caf\xe9:0:\n"); }},
        {"no account's",
         [](AccountFiles &f) { f.vakouserConf = rt::Inserted(f.vakouserConf, "alice:", "ghost:3:\n"); }},
        {"comments", [](AccountFiles &f) { f.vakouserConf = rt::Inserted(f.vakouserConf, "alice:", "# mails\n\n"); }},
    };
    AddCommonShapes(shapes, &AccountFiles::vakouserConf, "ghost:0:" + std::string(100000, 'm') + "\n");
    RunAll(shapes, Change::kSetAgain);
}

TEST(UserDbRoundTrip, SmbPasswd)
{
    const std::string smb = ":1029:AAD3B435B51404EEAAD3B435B51404EE:31D6CFE0D16AE931B73C59D7E0C089C0:[U          ]:"
                            "LCT-5F5E1000:\n";
    std::vector<Shape> shapes = {
        {"a name twice", [smb](AccountFiles &f) { f.smbpasswd = rt::Inserted(f.smbpasswd, "bob:", "Alice" + smb); }},
        {"a NUL",
         [smb](AccountFiles &f) { f.smbpasswd = rt::Inserted(f.smbpasswd, "bob:", rt::WithNul("ca", "rol") + smb); }},
        {"no separator", [](AccountFiles &f) { f.smbpasswd = rt::Inserted(f.smbpasswd, "bob:", "alone\n"); }},
        {"a Latin-1 name",
         [smb](AccountFiles &f) { f.smbpasswd = rt::Inserted(f.smbpasswd, "bob:", "caf\xe9" + smb); }},
        {"no account's", [smb](AccountFiles &f) { f.smbpasswd = rt::Inserted(f.smbpasswd, "bob:", "ghost" + smb); }},
        {"a comment", [](AccountFiles &f) { f.smbpasswd = "# SMB passwords\n" + f.smbpasswd; }},
    };
    AddCommonShapes(shapes, &AccountFiles::smbpasswd, "ghost:1029:" + std::string(100000, 'A') + ":X:[U]:LCT-0:\n");
    RunAll(shapes, Change::kNewPassword);
}

// 24 bytes of the values that a cache file holds changed, at places and
// to bytes of a seed: the records damaged, the store's own pages whole.
void Damage(const char *path, const std::string &lines, unsigned seed)
{
    std::string bytes = vakotest::ReadFile(path);
    std::vector<size_t> places;
    for (std::string line : rt::Lines(lines)) {
        line.pop_back();
        for (size_t at = bytes.find(line); at != std::string::npos; at = bytes.find(line, at + 1))
            for (size_t i = 0; i < line.size(); i++)
                places.push_back(at + i);
    }
    ASSERT_FALSE(places.empty());
    std::mt19937 random(seed);
    for (int i = 0; i < 24; i++) {
        size_t at = places[random() % places.size()];
        bytes[at] = static_cast<char>(bytes[at] ^ (1 + random() % 255));
    }
    vakotest::WriteFile(path, bytes, vakotest::FileMode(path));
}

// The names of a file's lines (the text before the first ':'), in order.
std::vector<std::string> Names(const std::string &text)
{
    std::vector<std::string> names;
    for (const std::string &l : rt::Lines(text))
        if (l.find(':') != std::string::npos)
            names.push_back(l.substr(0, l.find(':')));
    return names;
}

TEST(UserDbDump, ARecordTheDumpCannotReadFailsItAndTheCacheIsRebuilt)
{
    struct Case {
        const char *what;
        std::function<void(VAKOUSERDB *)> damage;
        const char *log;
        int code;
    } cases[] = {
        {"a name record lost", [](VAKOUSERDB *db) { ASSERT_EQ(VAKOBDbDelete(db->pPWDName, "GUEST", 6), 0); },
         "user_db_dump:{L} VAKOBDbGet(pUserDb->pPWDName) [GUEST] failed. vakoerr=0x2000", 0x2000},
        {"a name record of another name",
         [](VAKOUSERDB *db) { ASSERT_EQ(VAKOBDbSet(db->pPWDName, "GUEST", 6, "guesx:x:1025:100:::", 20), 0); },
         "user_db_dump:{L} the record of pUserDb->pPWDName [GUEST] is damaged: the cache is rebuilt", 0x4000},
        {"a name record of another uid",
         [](VAKOUSERDB *db) { ASSERT_EQ(VAKOBDbSet(db->pPWDName, "GUEST", 6, "guest:x:1029:100:::", 20), 0); },
         "user_db_dump:{L} the record of pUserDb->pPWDName [GUEST] is damaged: the cache is rebuilt", 0x4000},
        {"a shadow record lost", [](VAKOUSERDB *db) { ASSERT_EQ(VAKOBDbDelete(db->pPWDShadow, "BOB", 4), 0); },
         "user_db_dump:{L} the record of pUserDb->pPWDShadow [BOB] is damaged: the cache is rebuilt", 0x2000},
        {"an SMB record lost", [](VAKOUSERDB *db) { ASSERT_EQ(VAKOBDbDelete(db->pPWDSMB, "GUEST", 6), 0); },
         "user_db_dump:{L} the record of pUserDb->pPWDSMB [GUEST] is damaged: the cache is rebuilt", 0x2000},
        {"a uid record of no account",
         [](VAKOUSERDB *db) { ASSERT_EQ(VAKOBDbSet(db->pPWDUID, "001030", 7, "GHOST", 6), 0); },
         "user_db_dump:{L} VAKOBDbGet(pUserDb->pPWDName) [GHOST] failed. vakoerr=0x2000", 0x2000},
        {"an account named twice", [](VAKOUSERDB *db) { ASSERT_EQ(VAKOBDbSet(db->pPWDUID, "001030", 7, "BOB", 4), 0); },
         "user_db_dump:{L} pUserDb->pPWDUID names [BOB] twice", 0x4000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        rt::Row row = RowOf({c.what, [](AccountFiles &) {}}, Change::kSetAgain);
        rt::RemoveCaches();
        vakotest::WriteAccountFiles(row.accounts);
        DbPtr db = userdb::Open();
        ASSERT_NE(db, nullptr);
        c.damage(db.get());
        vakotest::SyslogClear();
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOUserDBDump(db.get()), -1);
        EXPECT_EQ(SLIBErrorGet(), c.code);
        EXPECT_TRUE(vakotest::SyslogMatches(c.log));
        EXPECT_EQ(vakotest::ReadAccountFiles(), row.accounts);
        EXPECT_FALSE(AnyTmpText());
        // The holder of the damaged files is told to reopen; the files at the
        // live names are built anew.
        EXPECT_EQ(VAKOBDbDeprecatedGet(db->pPWDName), 1);
        db.reset();
        db = userdb::Open();
        ASSERT_NE(db, nullptr);
        EXPECT_EQ(Record(db->pPWDName, "GUEST"), "guest:x:1025:100:Guest:/nonexist:/sbin/nologin");
        EXPECT_EQ(userdb::UidRecords(db.get(), 1030), std::vector<std::string>{});
        db.reset();
        ASSERT_EQ(row.change(), 0);
        for (const auto &[before, now] : {std::pair{row.accounts.passwd, vakotest::ReadAccountFiles().passwd}})
            EXPECT_EQ(rt::Mismatch(before, {&row.touched[0]}, now), "");
    }
}

TEST(UserDbDump, ADamagedCacheNeverLosesAnAccount)
{
    // 24 bytes of the name cache's records changed, for 40 seeds: whatever a
    // get+set of alice then gives, every account has its line in every
    // file, once.
    AccountFiles files = Fixture();
    files.passwd += "nobody:x:65534:65534:nobody:/:/sbin/nologin\n";
    int rebuilt = 0;
    for (unsigned seed = 1; seed <= 40; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        rt::RemoveCaches();
        vakotest::WriteAccountFiles(files);
        ASSERT_NE(userdb::Open(), nullptr);
        Damage(vakotest::kUserDbName, files.passwd, seed);
        vakotest::SyslogClear();
        SetAgain("alice");
        rebuilt += vakotest::SyslogCount("user_db_dump:{*} the cache is rebuilt") +
                   vakotest::SyslogCount("user_db_dump:{L} VAKOBDbGet(pUserDb->pPWDName) [{*}] failed. {*}");
        AccountFiles now = vakotest::ReadAccountFiles();
        EXPECT_EQ(Names(now.passwd), Names(files.passwd));
        EXPECT_EQ(Names(now.shadow), Names(files.shadow));
        EXPECT_EQ(Names(now.vakouserConf), Names(files.vakouserConf));
        EXPECT_EQ(Names(now.smbpasswd), Names(files.smbpasswd));
    }
    // Some damages are in records that the dump reads.
    EXPECT_GT(rebuilt, 0);
}

} // namespace
