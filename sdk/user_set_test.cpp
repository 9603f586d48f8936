#include "vako/user_set.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <crypt.h>

#include <regex>
#include <string>
#include <vector>

#include "slib/base64.h"
#include "slib/error.h"
#include "vako/cipher.h"
#include "vako/user_op.h"
#include "vakotest/accounts.h"
#include "vakotest/cryptfault.h"
#include "vakotest/files.h"
#include "vakotest/lockhold.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/run.h"
#include "vakotest/scemd.h"
#include "vakotest/sharedb.h"

using sharedb::Section;
using userdb::UserPtr;
using vakotest::AccountFiles;
using vakotest::FileExists;
using vakotest::ReadFile;
using vakotest::WriteFile;

namespace {

constexpr char kFtpChroot[] = "/usr/vako/etc/ftpchroot.conf";
constexpr char kAfpdConf[] = "/usr/vako/etc/afpd.conf";
constexpr char kAfpdConfTmp[] = "/usr/vako/etc/afpd.conf.tmp";
constexpr char kRsyncdConf[] = "/etc/rsyncd.conf";
constexpr char kRsyncdSecrets[] = "/etc/rsyncd.secrets";
constexpr char kSchedulerPid[] = "/var/run/scheduler.pid";

const std::string kAfpdGuest = "- -tcp -noddp -uamlist uams_dhx.so,uams_guest.so -nosavepassword\n";
const std::string kAfpdNoGuest = "- -tcp -noddp -uamlist uams_dhx.so,uams_noguest.so -nosavepassword\n";

std::string Replace(const std::string &text, const std::string &from, const std::string &to)
{
    return std::regex_replace(text, std::regex(from), to);
}

std::string Home(const std::string &name) { return std::string(vakotest::kUserHomes) + "/" + name; }

// The accounts, groups and shares of the fixtures, alice in the FTP chroot
// list, homes for alice and bob, home folders enabled.
void WriteAppliance()
{
    sharedb::WriteFixture();
    WriteFile(kFtpChroot, "alice\ncarol\n");
    WriteFile(vakotest::kInfoFile, "userHomeEnable=\"yes\"\n");
    WriteFile(Home("alice") + "/notes", "alice's\n");
    WriteFile(Home("bob") + "/notes", "bob's\n");
    vakotest::SyslogClear();
}

// An account as stored, renamed (the password left as its stored hash).
UserPtr Stored(const char *name, const char *newName)
{
    PVAKOUSER u = nullptr;
    EXPECT_EQ(VAKOUserGet(name, &u), 0) << name;
    UserPtr stored(u);
    if (!u)
        return nullptr;
    PVAKOUSER copy = nullptr;
    EXPECT_EQ(VAKOUserAlloc(&copy, newName, u->szPasswd, u->uid, u->gid, u->szDesc, u->szHome, u->szShell, u->expire,
                            u->disabled, u->szMail, u->privilege),
              0);
    return UserPtr(copy);
}

// A new account's record: no home, shell, description or mail.
UserPtr NewUser(const char *name, const char *password, int uid = -1, int gid = -1)
{
    PVAKOUSER u = nullptr;
    EXPECT_EQ(VAKOUserAlloc(&u, name, password, uid, gid, nullptr, nullptr, nullptr, -1, 0, nullptr, 0), 0);
    return UserPtr(u);
}

std::vector<std::string> Messages() { return vakotest::SyslogTextsFrom("user_set"); }

void ExpectMessages(const std::vector<std::string> &patterns)
{
    EXPECT_EQ(vakotest::SyslogMismatch("user_set", patterns), "");
}

std::string Calls() { return FileExists(vakotest::kStandinCalls) ? ReadFile(vakotest::kStandinCalls) : ""; }

// The account files: passwd and vakouser.conf exactly, shadow and
// smbpasswd as log patterns, since a line written anew carries the day
// and the time it was written.
void ExpectAccounts(const AccountFiles &expected)
{
    AccountFiles now = vakotest::ReadAccountFiles();
    EXPECT_EQ(now.passwd, expected.passwd);
    EXPECT_EQ(now.vakouserConf, expected.vakouserConf);
    EXPECT_TRUE(vakotest::LogPatternMatches(expected.shadow, now.shadow)) << now.shadow;
    EXPECT_TRUE(vakotest::LogPatternMatches(expected.smbpasswd, now.smbpasswd)) << now.smbpasswd;
}

// The fixture's account files with alice renamed to alicia, her password kept.
AccountFiles AliceRenamed()
{
    AccountFiles f = userdb::Fixture();
    f.passwd = Replace(f.passwd, "alice:x:1026:100:a;,b:/var/services/homes/alice:",
                       "alicia:x:1026:100:a;,b:/var/services/homes/alicia:");
    f.shadow = Replace(f.shadow, "\nalice:.*\n", "\nalicia:$$1$$xy$$GSi9DZ/itmn9/ge6aijPn/:{*}:0:99999:7::20000:\n");
    f.vakouserConf = Replace(f.vakouserConf, "\nalice:", "\nalicia:");
    f.smbpasswd = Replace(f.smbpasswd, "\nalice:(.*):LCT-5F5E1000:", "\nalicia:$1:LCT-{*}:");
    return f;
}

TEST(UserSet, ARenameReachesEveryPlaceThatKnowsTheName)
{
    WriteAppliance();
    vakotest::ScemdStandIn scemd;
    UserPtr alicia = Stored("alice", "alicia");
    ASSERT_NE(alicia, nullptr);
    // The stored home follows the name, whatever the record asks for.
    std::string elsewhere = "/volume1/elsewhere";
    alicia->szHome = elsewhere.data();
    alicia->uid = -1;
    alicia->gid = -1;

    ASSERT_EQ(VAKOUserSet("alice", alicia.get()), 0);

    EXPECT_EQ(alicia->uid, 1026);
    EXPECT_EQ(alicia->gid, 100);
    EXPECT_EQ(alicia->szHome, elsewhere.data());
    ExpectAccounts(AliceRenamed());
    vakotest::GroupFiles groups = groupdb::Fixture();
    groups.group = Replace(groups.group, "staff:x:65536:alice,bob", "staff:x:65536:alicia,bob");
    EXPECT_EQ(vakotest::ReadGroupFiles(), groups);
    Section team = sharedb::Team();
    team.valid = sharedb::HashOrder({"alicia", "@staff"});
    team.read = "alicia";
    EXPECT_EQ(ReadFile(vakotest::kSmbConf),
              sharedb::kGlobal + sharedb::Everyone().Text() + sharedb::Public().Text() + team.Text());
    EXPECT_EQ(ReadFile(kFtpChroot), "carol\nalicia\n");
    EXPECT_FALSE(FileExists(Home("alice")));
    EXPECT_EQ(ReadFile(Home("alicia") + "/notes"), "alice's\n");
    EXPECT_EQ(Calls(), ""); // no network-backup account
    EXPECT_EQ(scemd.Signals(), (std::vector<int>{47}));
    EXPECT_TRUE(Messages().empty());
    EXPECT_TRUE(vakotest::OtherProcessCanLock(0x76));
}

TEST(UserSet, ACaseOnlyRenameIsARename)
{
    WriteAppliance();
    WriteFile(kFtpChroot, "bob\n");
    UserPtr bob = Stored("bob", "Bob");
    ASSERT_EQ(VAKOUserSet("bob", bob.get()), 0);
    AccountFiles f = userdb::Fixture();
    EXPECT_EQ(vakotest::ReadAccountFiles().passwd, Replace(f.passwd, "bob:x:1027:100::/var/services/homes/bob:",
                                                           "Bob:x:1027:100::/var/services/homes/Bob:"));
    EXPECT_EQ(vakotest::ReadGroupFiles().group,
              Replace(Replace(groupdb::Fixture().group, "alice,bob", "alice,Bob"), "65537:bob", "65537:Bob"));
    EXPECT_EQ(ReadFile(kFtpChroot), "Bob\n");
    EXPECT_FALSE(FileExists(Home("bob")));
    EXPECT_EQ(ReadFile(Home("Bob") + "/notes"), "bob's\n");
    EXPECT_TRUE(Messages().empty());
}

TEST(UserSet, NewAccountsAndTheLastUidHandedOut)
{
    WriteAppliance();
    UserPtr carol = NewUser("carol", "pw");
    ASSERT_EQ(VAKOUserSet(nullptr, carol.get()), 0);
    EXPECT_EQ(carol->uid, 1028);
    EXPECT_EQ(carol->gid, 100);
    // A uid given: the last uid handed out stays.
    UserPtr dave = NewUser("dave", "pw", 2000, 101);
    ASSERT_EQ(VAKOUserSet(nullptr, dave.get()), 0);

    AccountFiles f = userdb::Fixture();
    f.passwd += "carol:x:1028:100:::\ndave:x:2000:101:::\n";
    f.vakouserConf = Replace(f.vakouserConf, "\\$1027\\$", "$$1028$$") + "carol:0:\ndave:0:\n";
    f.shadow += "carol:$1${*}:{*}:0:99999:7:::\ndave:$1${*}:{*}:0:99999:7:::\n";
    f.smbpasswd += "carol:1028:{*}:LCT-{*}:\ndave:2000:{*}:LCT-{*}:\n";
    ExpectAccounts(f);
    // An update that asks for the stored uid keeps it.
    UserPtr again = NewUser("carol", "pw2", -1, -1);
    ASSERT_EQ(VAKOUserSet("carol", again.get()), 0);
    EXPECT_EQ(again->uid, 1028);
    EXPECT_EQ(vakotest::ReadAccountFiles().vakouserConf, f.vakouserConf);

    // Home folders: the account's own, 0755.
    for (const char *name : {"carol", "dave"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(vakotest::IsDirectory(Home(name)));
        EXPECT_EQ(vakotest::FileMode(Home(name)), 0755u);
    }
    EXPECT_EQ(vakotest::FileUid(Home("carol")), 1028u);
    EXPECT_EQ(vakotest::FileGid(Home("carol")), 100u);
    EXPECT_EQ(vakotest::FileUid(Home("dave")), 2000u);
    EXPECT_EQ(vakotest::FileGid(Home("dave")), 101u);
    EXPECT_TRUE(Messages().empty());
}

TEST(UserSetBatch, EntriesFailOneByOne)
{
    WriteAppliance();
    vakotest::ScemdStandIn scemd;
    UserPtr alicia = Stored("alice", "alicia"), al = Stored("alice", "al"), bobAdmin = Stored("bob", "admin");
    UserPtr ghost = NewUser("ghost", "pw"), ghost2 = NewUser("ghost2", "pw"), carol = NewUser("Carol", "pw");
    UserPtr bigBob = NewUser("BOB", "pw"), bob = Stored("bob", "bob"), ghost3 = NewUser("ghost3", "pw");
    VAKOUSER empty = {};
    std::string none;
    empty.szName = none.data();
    const char *oldNames[] = {"alice", nullptr, "ALICE", "bob", "ghost", "ghost", nullptr, nullptr, nullptr, "bob", ""};
    PVAKOUSER users[] = {alicia.get(), carol.get(),  al.get(), bobAdmin.get(), ghost.get(), ghost2.get(),
                         nullptr,      bigBob.get(), &empty,   bob.get(),      ghost3.get()};
    ASSERT_EQ(UserSetBatch(oldNames, users, 11), 0);

    ExpectMessages({
        "user_set:{L} Duplicated key:[ALICE]",
        "user_set:{L} UserSetUpdate() failed. vakoerr=0x{*}",
        "user_set:{L} pUser->szName[admin] is EXIST.",
        "user_set:{L} UserSetUpdate() failed. vakoerr=0x1C00",
        "user_set:{L} szOldName=[ghost] is NOT EXIST.",
        "user_set:{L} UserSetUpdate() failed. vakoerr=0x1D00",
        "user_set:{L} szOldName=[ghost] is NOT EXIST.",
        "user_set:{L} UserSetUpdate() failed. vakoerr=0x1D00",
        "user_set:{L} pUser->szName[BOB] is EXIST.",
        "user_set:{L} UserSetNew() failed. vakoerr=0x1C00",
        "user_set:{L} pUser->szName[] is BAD.",
        "user_set:{L} UserSetNew() failed. vakoerr=0x1A00",
        // An empty old name names no account.
        "user_set:{L} szOldName=[] is NOT EXIST.",
        "user_set:{L} UserSetUpdate() failed. vakoerr=0x1D00",
    });
    AccountFiles f = AliceRenamed();
    // bob is written again as given.
    f.passwd += "Carol:x:1028:100:::\n";
    f.vakouserConf = Replace(f.vakouserConf, "\\$1027\\$", "$$1028$$") + "bob:0:\nCarol:0:\n";
    f.shadow = Replace(f.shadow, "\nbob:.*\n", "\nbob:$$1$$Bb$$5lG8yGdLMGwHzHpyKyQ7B.:{*}:99999:7:::\n") +
               "Carol:$1${*}:{*}:0:99999:7:::\n";
    f.smbpasswd = Replace(f.smbpasswd, "\nbob:(.*):LCT-5F5E1000:", "\nbob:$1:LCT-{*}:") + "Carol:1028:{*}:LCT-{*}:\n";
    ExpectAccounts(f);
    EXPECT_EQ(carol->uid, 1028);
    EXPECT_EQ(vakotest::ReadGroupFiles().group, Replace(groupdb::Fixture().group, "alice,bob", "alicia,bob"));
    EXPECT_EQ(ReadFile(kFtpChroot), "carol\nalicia\n");
    // bob saved under his own name is no rename: his home stays.
    EXPECT_EQ(ReadFile(Home("bob") + "/notes"), "bob's\n");
    EXPECT_TRUE(vakotest::IsDirectory(Home("Carol")));
    EXPECT_EQ(scemd.Signals(), (std::vector<int>{47}));
}

TEST(UserSetBatch, AnAccountThatCannotBeStoredWholeStaysAsItWas)
{
    WriteAppliance();
    // alice renamed with a new password that cannot be hashed; bob saved as he is.
    UserPtr alicia = Stored("alice", "alicia"), bob = Stored("bob", "bob");
    std::string password = "new password";
    alicia->szPasswd = password.data();
    const char *oldNames[] = {"alice", "bob"};
    PVAKOUSER users[] = {alicia.get(), bob.get()};
    vakotest::gCryptFails = true;
    vakotest::gCryptResult = nullptr;
    int r = UserSetBatch(oldNames, users, 2);
    vakotest::gCryptFails = false;
    EXPECT_EQ(r, 0);
    ExpectMessages({"user_set:{L} UserSetUpdate() failed. vakoerr=0x{*}"});

    // alice as she was in every account file, bob written again as given.
    AccountFiles f = userdb::Fixture();
    f.vakouserConf += "bob:0:\n";
    f.shadow = Replace(f.shadow, "\nbob:.*\n", "\nbob:$$1$$Bb$$5lG8yGdLMGwHzHpyKyQ7B.:{*}:99999:7:::\n");
    f.smbpasswd = Replace(f.smbpasswd, "\nbob:(.*):LCT-5F5E1000:", "\nbob:$1:LCT-{*}:");
    ExpectAccounts(f);
    // The rename that did not happen reaches no group, share, list or folder.
    EXPECT_EQ(vakotest::ReadGroupFiles(), groupdb::Fixture());
    EXPECT_EQ(ReadFile(vakotest::kSmbConf), sharedb::Fixture());
    EXPECT_EQ(ReadFile(kFtpChroot), "alice\ncarol\n");
    EXPECT_EQ(ReadFile(Home("alice") + "/notes"), "alice's\n");
    EXPECT_FALSE(FileExists(Home("alicia")));
}

TEST(UserSetBatch, NothingToDoOrNothingDone)
{
    WriteAppliance();
    {
        vakotest::ScemdStandIn scemd;
        const char *oldNames[] = {nullptr};
        PVAKOUSER users[] = {nullptr};
        // n = 0 opens nothing, and the daemon still hears of it.
        EXPECT_EQ(UserSetBatch(oldNames, users, 0), 0);
        EXPECT_FALSE(FileExists(vakotest::kUserDbName));
        SLIBErrorSet(0);
        EXPECT_EQ(UserSetBatch(nullptr, users, 1), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        EXPECT_EQ(UserSetBatch(oldNames, users, -1), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        // Entries that all fail: the files are not rewritten.
        SLIBErrorSet(0);
        EXPECT_EQ(UserSetBatch(oldNames, users, 1), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        UserPtr admin = NewUser("admin", "pw");
        EXPECT_EQ(VAKOUserSet(nullptr, admin.get()), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x1C00);
        EXPECT_EQ(scemd.Signals(), (std::vector<int>{47, 47, 47, 47, 47}));
    }
    EXPECT_EQ(vakotest::ReadAccountFiles(), userdb::Fixture());
    struct stat st;
    ASSERT_EQ(stat(vakotest::kPasswdFile, &st), 0);
    EXPECT_EQ(st.st_mtime, vakotest::kAccountsMtime);
    // No record at all: nothing is done, not even the signal.
    vakotest::ScemdStandIn scemd;
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOUserSet("alice", nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_TRUE(scemd.Signals().empty());
}

TEST(UserSetBatch, FailuresBeforeAnyEntry)
{
    WriteAppliance();
    UserPtr carol = NewUser("carol", "pw");
    {
        vakotest::ScemdStandIn scemd;
        vakotest::OtherLockHolder holder(0x16);
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOUserSet(nullptr, carol.get()), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x0400);
        EXPECT_EQ(scemd.Signals(), (std::vector<int>{47}));
    }
    // The account files cannot be read: the database does not open.
    vakotest::RemoveFile(vakotest::kPasswdFile);
    vakotest::MakeDirs(vakotest::kPasswdFile);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOUserSet(nullptr, carol.get()), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
    EXPECT_TRUE(vakotest::OtherProcessCanLock(0x76));
}

TEST(UserSet, AFailedFtpChrootStepFailsTheSetAfterTheFilesAreWritten)
{
    WriteAppliance();
    vakotest::RemoveFile(kFtpChroot);
    vakotest::MakeDirs(std::string(kFtpChroot) + "/sub");
    UserPtr alicia = Stored("alice", "alicia");
    EXPECT_EQ(VAKOUserSet("alice", alicia.get()), -1);
    ExpectAccounts(AliceRenamed());
    EXPECT_FALSE(FileExists(Home("alice")));
    ExpectMessages({"user_set:{L} VAKOFTPEnumChrootUser failed!! vakoerr=0x{*}"});
}

// The value of a network-backup account's secrets line for password pw.
std::string Secret(const char *pw)
{
    char cipher[769];
    EXPECT_EQ(VAKOStrCrypt(pw, cipher, sizeof cipher), 0);
    return std::string(crypt(pw, "rydn")) + "|" + SzBase64EncodeOneLine(cipher, sizeof cipher);
}

TEST(UserSet, NetworkBackupAccountsKeepTheirGroupAndSecret)
{
    WriteAppliance();
    WriteFile(vakotest::kInfoFile, "userHomeEnable=\"no\"\n");
    const std::string conf = "uid = root\nauth users = root\nsecrets file = /etc/rsyncd.secrets\n";
    WriteFile(kRsyncdConf, conf);
    WriteFile(kRsyncdSecrets, "root:ADMINSECRET\n", 0640);
    const std::string smmsp = "smmsp:x:25:admin\n";

    // A new "rsync" account joins the mail group and gets its secret.
    UserPtr rsync = NewUser("rsync", "pw");
    ASSERT_EQ(VAKOUserSet(nullptr, rsync.get()), 0);
    EXPECT_EQ(vakotest::ReadGroupFiles().group, Replace(groupdb::Fixture().group, smmsp, "smmsp:x:25:admin,rsync\n"));
    EXPECT_EQ(ReadFile(kRsyncdConf), Replace(conf, "auth users = root", "auth users = root,rsync"));
    const std::string rsyncLine = "rsync:" + Secret("pw") + "\n";
    EXPECT_EQ(ReadFile(kRsyncdSecrets), "root:ADMINSECRET\n" + rsyncLine);
    EXPECT_EQ(Calls(), "S84rsyncd.sh stop\nS84rsyncd.sh start\n");

    // admin renamed in its case only, its password kept: its secret is the
    // one stored for "root", and moves to the new name.
    vakotest::RemoveFile(vakotest::kStandinCalls);
    UserPtr admin = Stored("admin", "ADMIN");
    ASSERT_EQ(VAKOUserSet("admin", admin.get()), 0);
    EXPECT_EQ(vakotest::ReadGroupFiles().group, Replace(groupdb::Fixture().group, smmsp, "smmsp:x:25:ADMIN,rsync\n"));
    EXPECT_EQ(ReadFile(kRsyncdConf), Replace(conf, "auth users = root", "auth users = ADMIN,rsync"));
    EXPECT_EQ(ReadFile(kRsyncdSecrets), "ADMIN:ADMINSECRET\n" + rsyncLine);
    EXPECT_EQ(Calls(), "S84rsyncd.sh stop\nS84rsyncd.sh start\n");

    // rsync renamed to an ordinary name leaves both.
    vakotest::RemoveFile(vakotest::kStandinCalls);
    UserPtr backup = Stored("rsync", "backup");
    ASSERT_EQ(VAKOUserSet("rsync", backup.get()), 0);
    // Not kept in the group under its new name by the rename of the members.
    EXPECT_EQ(vakotest::ReadGroupFiles().group, Replace(groupdb::Fixture().group, smmsp, "smmsp:x:25:ADMIN\n"));
    EXPECT_EQ(ReadFile(kRsyncdConf), Replace(conf, "auth users = root", "auth users = ADMIN"));
    EXPECT_EQ(ReadFile(kRsyncdSecrets), "ADMIN:ADMINSECRET\n");
    EXPECT_EQ(Calls(), "S84rsyncd.sh stop\nS84rsyncd.sh start\n");
    EXPECT_EQ(Messages(), std::vector<std::string>{});
}

TEST(UserSet, ANetworkBackupAccountWithoutItsSecretStillLeaves)
{
    WriteAppliance();
    WriteFile(vakotest::kInfoFile, "userHomeEnable=\"no\"\n");
    WriteFile(kRsyncdConf, "uid = root\nauth users = root\nsecrets file = /etc/rsyncd.secrets\n");
    WriteFile(kRsyncdSecrets, "root:ADMINSECRET\n", 0640);
    UserPtr rsync = NewUser("rsync", "pw");
    ASSERT_EQ(VAKOUserSet(nullptr, rsync.get()), 0);
    WriteFile(kRsyncdSecrets, "root:ADMINSECRET\n", 0640);
    vakotest::SyslogClear();

    // Its stored password: the secret is looked up although leaving needs none.
    UserPtr backup = Stored("rsync", "backup");
    ASSERT_EQ(VAKOUserSet("rsync", backup.get()), 0);
    EXPECT_EQ(vakotest::ReadGroupFiles().group, groupdb::Fixture().group);
    ExpectMessages({"user_set:{L} VAKONetBackupGetServerPasswd() failed!! szOldName=[rsync], vakoerr=[0x{*}]"});
}

TEST(UserSet, TheGuestAccountSwitchesTheAfpGuestLogin)
{
    struct Case {
        const char *what;
        const char *before; // NULL: no configuration
        const char *password;
        const char *after;
        std::vector<std::string> messages;
    } cases[] = {
        {"empty password", kAfpdNoGuest.c_str(), "", kAfpdGuest.c_str(), {}},
        {"no password given", kAfpdNoGuest.c_str(), nullptr, kAfpdGuest.c_str(), {}},
        {"a password", kAfpdGuest.c_str(), "pw", kAfpdNoGuest.c_str(), {}},
        {"no uam list", "- -tcp -noddp uams_guest.so\n", "pw", "- -tcp -noddp uams_guest.so\n", {}},
        {"no configuration", nullptr, "pw", nullptr, {"user_set:{L} /usr/vako/etc/afpd.conf not found!"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        WriteAppliance();
        if (c.before)
            WriteFile(kAfpdConf, c.before, 0640);
        else
            vakotest::RemoveFile(kAfpdConf);
        UserPtr guest = Stored("guest", "guest");
        guest->szPasswd = const_cast<char *>(c.password);
        EXPECT_EQ(VAKOUserSet("guest", guest.get()), 0);
        if (c.after) {
            EXPECT_EQ(ReadFile(kAfpdConf), c.after);
            EXPECT_EQ(vakotest::FileMode(kAfpdConf), 0640u);
        } else {
            EXPECT_FALSE(FileExists(kAfpdConf));
        }
        EXPECT_FALSE(FileExists(kAfpdConfTmp));
        ExpectMessages(c.messages);
    }
    // Only the account named exactly "guest".
    WriteAppliance();
    WriteFile(kAfpdConf, kAfpdNoGuest);
    UserPtr other = NewUser("Guest2", "");
    ASSERT_EQ(VAKOUserSet(nullptr, other.get()), 0);
    EXPECT_EQ(ReadFile(kAfpdConf), kAfpdNoGuest);
}

TEST(UserSet, AnUnfinishedCopyOfTheAfpConfigurationIsNotPutInPlace)
{
    // Room for the configuration and the other files here, not for a second copy.
    ASSERT_EQ(mount("tmpfs", "/usr/vako/etc", "tmpfs", 0, "size=64k"), 0);
    WriteAppliance();
    const std::string conf = kAfpdNoGuest + std::string(40000, '#') + "\n";
    WriteFile(kAfpdConf, conf);
    UserPtr guest = Stored("guest", "guest");
    guest->szPasswd = const_cast<char *>("");
    EXPECT_EQ(VAKOUserSet("guest", guest.get()), 0);
    EXPECT_EQ(ReadFile(kAfpdConf), conf);
    EXPECT_FALSE(FileExists(kAfpdConfTmp));
    ExpectMessages({
        "user_set:{L} /bin/cp -Rf /usr/vako/etc/afpd.conf /usr/vako/etc/afpd.conf.tmp failed!",
        "user_set:{L} SDKISetGuestAfpd failed. vakoerr=0x2A00",
    });
}

TEST(UserSet, HomeFoldersOnlyWhenEnabled)
{
    WriteAppliance();
    WriteFile(vakotest::kInfoFile, "userHomeEnable=\"no\"\n");
    UserPtr carol = NewUser("carol", "pw");
    ASSERT_EQ(VAKOUserSet(nullptr, carol.get()), 0);
    UserPtr alicia = Stored("alice", "alicia");
    ASSERT_EQ(VAKOUserSet("alice", alicia.get()), 0);
    EXPECT_EQ(vakotest::ListDir(vakotest::kUserHomes), (std::vector<std::string>{"alice", "bob"}));
}

TEST(UserSet, AHomeFolderIsNeverMovedOntoAnother)
{
    WriteAppliance();
    WriteFile(Home("robert") + "/notes", "robert's\n");
    UserPtr robert = Stored("bob", "robert");
    ASSERT_EQ(VAKOUserSet("bob", robert.get()), 0);
    EXPECT_EQ(vakotest::ReadAccountFiles().passwd.find("\nbob:"), std::string::npos);
    EXPECT_EQ(vakotest::ListDir(Home("robert")), (std::vector<std::string>{"notes"}));
    EXPECT_EQ(ReadFile(Home("robert") + "/notes"), "robert's\n");
    EXPECT_EQ(ReadFile(Home("bob") + "/notes"), "bob's\n");
    ExpectMessages({"user_set:{L} /var/services/homes/robert exists already, /var/services/homes/bob not moved."});
}

TEST(UserSet, AMissingHomeFolderIsLoggedAsTheFailedMove)
{
    WriteAppliance();
    vakotest::RemoveFile(Home("bob") + "/notes");
    ASSERT_EQ(rmdir(Home("bob").c_str()), 0);
    UserPtr robert = Stored("bob", "robert");
    ASSERT_EQ(VAKOUserSet("bob", robert.get()), 0);
    EXPECT_FALSE(FileExists(Home("robert")));
    ExpectMessages({"user_set:{L} cmd failed:mv '/var/services/homes/bob' '/var/services/homes/robert' > /dev/null "
                    "2>&1."});
}

TEST(UserSet, AnOldNameFromThePasswordFileNeverReachesAShell)
{
    // The shell would run in the directory the process is in.
    ASSERT_EQ(chdir("/tmp"), 0);
    const std::string name = "x';touch pwned;'";
    AccountFiles files = userdb::Fixture();
    vakotest::AccountLines lines = vakotest::MadeUpAccount(name, 1030);
    files.passwd += lines.passwd + "\n";
    files.shadow += lines.shadow + "\n";
    files.smbpasswd += lines.smb + "\n";
    WriteAppliance();
    vakotest::WriteAccountFiles(files);
    WriteFile(Home(name) + "/notes", "odd\n");
    UserPtr safe = Stored(name.c_str(), "safe");
    ASSERT_EQ(VAKOUserSet(name.c_str(), safe.get()), 0);
    EXPECT_FALSE(FileExists("/tmp/pwned"));
    EXPECT_FALSE(FileExists(Home(name)));
    EXPECT_EQ(ReadFile(Home("safe") + "/notes"), "odd\n");
}

TEST(UserSet, DotNamesGetNoHomeFolder)
{
    WriteAppliance();
    struct stat before;
    ASSERT_EQ(stat("/var/services", &before), 0);
    for (const char *name : {".", ".."}) {
        SCOPED_TRACE(name);
        UserPtr dot = NewUser(name, "pw");
        ASSERT_EQ(VAKOUserSet(nullptr, dot.get()), 0);
    }
    for (const char *dir : {"/var/services", "/var/services/homes"}) {
        SCOPED_TRACE(dir);
        EXPECT_EQ(vakotest::FileUid(dir), before.st_uid);
        EXPECT_EQ(vakotest::FileGid(dir), before.st_gid);
    }
    ExpectMessages({"user_set:{L} no home folder for [.].", "user_set:{L} no home folder for [..]."});
}

TEST(UserSet, AHomeFolderThatCannotBeMadeEndsTheHomeStep)
{
    WriteAppliance();
    vakotest::RemoveFile(Home("alice") + "/notes");
    vakotest::RemoveFile(Home("bob") + "/notes");
    ASSERT_EQ(rmdir(Home("alice").c_str()), 0);
    ASSERT_EQ(rmdir(Home("bob").c_str()), 0);
    ASSERT_EQ(rmdir(vakotest::kUserHomes), 0);
    UserPtr carol = NewUser("carol", "pw"), dave = NewUser("dave", "pw");
    const char *oldNames[] = {nullptr, nullptr};
    PVAKOUSER users[] = {carol.get(), dave.get()};
    ASSERT_EQ(UserSetBatch(oldNames, users, 2), 0);
    ExpectMessages({"user_set:{L} mkdir user home folder failed. errno:2, message:No such file or directory"});
}

// Runs fn as the first process (pid 1) of a new PID namespace, where a
// signal to pid 1 reaches it only through a handler it set: its exit status.
int RunAsPidOne(int (*fn)())
{
    return vakotest::WaitChild(vakotest::ForkChild([fn] {
        if (unshare(CLONE_NEWPID) != 0)
            return 101;
        pid_t init = fork();
        if (init == 0)
            _exit(fn());
        return init > 0 ? vakotest::WaitChild(init) : 102;
    }));
}

volatile sig_atomic_t gSignalled = 0;

TEST(UserSet, SignalsTheDaemonAndTheSchedulerButNeverPidOne)
{
    struct Case {
        const char *supportDownload; // NULL: no key
        int schedulerStatus;         // the scheduler's end
    } cases[] = {{"yes", 128 + SIGUSR1}, {"YES", 128 + SIGUSR1}, {"no", 128 + SIGTERM}, {nullptr, 128 + SIGTERM}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.supportDownload ? c.supportDownload : "no key");
        WriteAppliance();
        WriteFile(vakotest::kInfoDefaultsFile,
                  c.supportDownload ? std::string("support_download=\"") + c.supportDownload + "\"\n" : "");
        pid_t scheduler = vakotest::ForkChild([] {
            for (;;)
                pause();
            return 0;
        });
        WriteFile(kSchedulerPid, std::to_string(scheduler) + "\n");
        vakotest::ScemdStandIn scemd;
        UserPtr alicia = Stored("alice", "alicia");
        EXPECT_EQ(VAKOUserSet("alice", alicia.get()), 0);
        kill(scheduler, SIGTERM);
        EXPECT_EQ(vakotest::WaitChild(scheduler), c.schedulerStatus);
        EXPECT_EQ(scemd.Signals(), (std::vector<int>{47}));
    }

    WriteAppliance();
    WriteFile(vakotest::kInfoDefaultsFile, "support_download=\"yes\"\n");
    WriteFile(kSchedulerPid, "1\n");
    WriteFile(vakotest::kScemdPid, "1\n");
    int status = RunAsPidOne([] {
        struct sigaction sa = {};
        sa.sa_handler = [](int) { gSignalled = 1; };
        if (sigaction(SIGUSR1, &sa, nullptr) != 0 || sigaction(47, &sa, nullptr) != 0)
            return 103;
        PVAKOUSER u = nullptr;
        if (VAKOUserGet("alice", &u) != 0)
            return 104;
        int r = VAKOUserSet("alice", u);
        VAKOUserFree(u);
        return r != 0 ? 105 : gSignalled ? 106 : 0;
    });
    EXPECT_EQ(status, 0);
}

} // namespace
