#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "migrate.h"
#include "vakotest/accounts.h"
#include "vakotest/files.h"
#include "vakotest/fsyncfault.h"
#include "vakotest/hashorder.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/run.h"

namespace {

using vakotest::FileExists;
using vakotest::FileGid;
using vakotest::FileMode;
using vakotest::FileUid;
using vakotest::ReadFile;
using vakotest::SyslogCount;
using vakotest::SyslogMatches;
using vakotest::WriteFile;

using vakotest::kCrontab;
using vakotest::kGroupFile;
using vakotest::kInfoDefaultsFile;
using vakotest::kInfoFile;
using vakotest::kLocalBkpConf;
using vakotest::kNetBackupDir;
using vakotest::kNetBkpConf;
using vakotest::kRsyncdConf;
using vakotest::kRsyncdSecrets;
using vakotest::kSmbConf;

const std::string kSecretsTmp = std::string(kRsyncdSecrets) + ".tmp";

// The updater's own messages at `level` (any by default).
int UpdaterMessages(int level = vakotest::kAnyLevel) { return SyslogCount("updater{*}", level); }

std::string Logged() { return testing::PrintToString(vakotest::SyslogTexts()); }

// A file that cannot be replaced: a mount point cannot be renamed over.
void Pin(const char *szPath) { ASSERT_EQ(mount(szPath, szPath, nullptr, MS_BIND, nullptr), 0) << szPath; }

void Own(const char *szPath, uid_t uid, gid_t gid) { ASSERT_EQ(chown(szPath, uid, gid), 0) << szPath; }

// ---- FTP passive ports ----

struct PortCase {
    const char *name;
    std::string before, after;
};
void PrintTo(const PortCase &c, std::ostream *os) { *os << c.name; }

const PortCase kPortCases[] = {
    {"PortsUpTo128Stay", "ftplowport=\"55000\"\nftphighport=\"55127\"\n",
     "ftplowport=\"55000\"\nftphighport=\"55127\"\n"},
    {"OneMoreIsCut", "ftplowport=\"55000\"\nftphighport=\"55128\"\nhostname=\"nas\"\n",
     "ftplowport=\"55000\"\nftphighport=\"55127\"\nhostname=\"nas\"\n"},
    {"NoLowPortCountsAsZero", "hostname=\"nas\"\nftphighport=\"55000\"\n", "hostname=\"nas\"\nftphighport=\"127\"\n"},
    {"NoPortKeys", "hostname=\"nas\"\n", "hostname=\"nas\"\n"},
    {"HighBelowLow", "ftplowport=\"60000\"\nftphighport=\"50000\"\n", "ftplowport=\"60000\"\nftphighport=\"50000\"\n"},
};

class FTPPortRange : public testing::TestWithParam<PortCase> {};

TEST_P(FTPPortRange, CutTo128Ports)
{
    WriteFile(kInfoFile, GetParam().before);
    vakotest::SyslogClear();
    EXPECT_EQ(UpdateFTPPassivePortRange(), 0);
    EXPECT_EQ(ReadFile(kInfoFile), GetParam().after);
    EXPECT_EQ(UpdaterMessages(), 0) << Logged();
}

INSTANTIATE_TEST_SUITE_P(Each, FTPPortRange, testing::ValuesIn(kPortCases),
                         [](const testing::TestParamInfo<PortCase> &p) { return std::string(p.param.name); });

// A port key longer than its room cannot be read: the migration fails
// (the update ends) and nothing is written.
TEST(FTPPortRangeFailure, UnreadableKeyOrUnwritableFileFails)
{
    const std::string tooLong(128, '5');
    struct Case {
        std::string info;
        bool pin;
        const char *message;
    } cases[] = {
        {"ftplowport=\"" + tooLong + "\"\nftphighport=\"60000\"\n", false,
         "updater:{L}(UpdateFTPPassivePortRange) SLIBFileGetKeyValue(SZF_VAKO_INFO, SZK_FTP_LOW_PORT) fail"},
        {"ftplowport=\"55000\"\nftphighport=\"" + tooLong + "\"\n", false,
         "updater:{L}(UpdateFTPPassivePortRange) SLIBFileGetKeyValue(SZF_VAKO_INFO, SZK_FTP_HIGH_PORT) fail"},
        {"ftplowport=\"55000\"\nftphighport=\"60000\"\n", true,
         "updater:{L}(UpdateFTPPassivePortRange) VAKOINFOSetKeyValue(SZK_FTP_HIGH_PORT, szBuf=[55127]) fail"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        WriteFile(kInfoFile, c.info);
        if (c.pin)
            Pin(kInfoFile);
        vakotest::SyslogClear();
        EXPECT_EQ(UpdateFTPPassivePortRange(), -1);
        EXPECT_TRUE(SyslogMatches(c.message)) << Logged();
        EXPECT_EQ(ReadFile(kInfoFile), c.info);
        if (c.pin) {
            ASSERT_EQ(umount(kInfoFile), 0);
        }
    }
}

// ---- rsync configuration ----

const std::string kSecretsLines = "root:abcdefghijklm|QUJD\n";

struct RsyncdConfCase {
    const char *name;
    std::optional<std::string> before, after; // none: no file
};
void PrintTo(const RsyncdConfCase &c, std::ostream *os) { *os << c.name; }

const RsyncdConfCase kRsyncdConfCases[] = {
    {"InsertedAfterTheFirstLockFileLine",
     "uid = root\nlock file = /var/run/rsyncd.lock\n[backup]\nlock file = /tmp/x\n",
     "uid = root\nlock file = /var/run/rsyncd.lock\nuse chroot = no\n[backup]\nlock file = /tmp/x\n"},
    {"ACommentDoesNotCount", "# use chroot = no\nlock file = /var/run/rsyncd.lock",
     "# use chroot = no\nlock file = /var/run/rsyncd.lock\nuse chroot = no\n"},
    {"AlreadyThere", "lock file = /var/run/rsyncd.lock\n\tuse chroot = no\n",
     "lock file = /var/run/rsyncd.lock\n\tuse chroot = no\n"},
    {"NoLockFileLine", "uid = root\n", "uid = root\n"},
    {"NoConfiguration", std::nullopt, std::nullopt},
};

class RsyncdConf : public testing::TestWithParam<RsyncdConfCase> {};

// The configuration gains the line and mode 0644; the secrets file gets
// mode 0640, owner 0, group 25 in every case.
TEST_P(RsyncdConf, ChrootOffAndTheFilesModes)
{
    const RsyncdConfCase &c = GetParam();
    if (c.before)
        WriteFile(kRsyncdConf, *c.before, 0600);
    WriteFile(kRsyncdSecrets, kSecretsLines, 0644);
    Own(kRsyncdSecrets, 7, 8);
    vakotest::SyslogClear();

    UpdateRsyncdConf();
    if (c.after) {
        EXPECT_EQ(ReadFile(kRsyncdConf), *c.after);
        EXPECT_EQ(FileMode(kRsyncdConf), 0644u);
    } else {
        EXPECT_FALSE(FileExists(kRsyncdConf));
    }
    EXPECT_EQ(ReadFile(kRsyncdSecrets), kSecretsLines);
    EXPECT_EQ(FileMode(kRsyncdSecrets), 0640u);
    EXPECT_EQ(FileUid(kRsyncdSecrets), 0u);
    EXPECT_EQ(FileGid(kRsyncdSecrets), 25u);
    EXPECT_EQ(UpdaterMessages(), 0) << Logged();
}

INSTANTIATE_TEST_SUITE_P(Each, RsyncdConf, testing::ValuesIn(kRsyncdConfCases),
                         [](const testing::TestParamInfo<RsyncdConfCase> &p) { return std::string(p.param.name); });

// The configuration keeps its content and mode (a line holding the setting
// too long to read gains no second one after it); the secrets file is
// restricted all the same.
TEST(RsyncdConfFailure, TheConfigurationStaysTheSecretsAreRestricted)
{
    struct Case {
        std::string conf;
        bool pin;
        const char *message;
    } cases[] = {
        {"lock file = /var/run/rsyncd.lock\n", true,
         "updater UpdateRsyncdConf({L}) : SLIBFileAddLine(szFile=[/etc/rsyncd.conf] szKey=[lock file =] "
         "szLine=[use chroot = no] flag=OP_FIND_PREFIX) fail"},
        {"lock file = /var/run/rsyncd.lock\nuse chroot = no # " + std::string(60, 'c') + "\n", false,
         "updater UpdateRsyncdConf({L}) : the line holding [use chroot = no] in /etc/rsyncd.conf is longer than 63 "
         "characters; left as it is"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        WriteFile(kRsyncdConf, c.conf, 0600);
        WriteFile(kRsyncdSecrets, kSecretsLines, 0644);
        if (c.pin)
            Pin(kRsyncdConf);
        vakotest::SyslogClear();

        UpdateRsyncdConf();
        EXPECT_TRUE(SyslogMatches(c.message)) << Logged();
        EXPECT_EQ(ReadFile(kRsyncdConf), c.conf);
        EXPECT_EQ(FileMode(kRsyncdConf), 0600u);
        EXPECT_EQ(FileMode(kRsyncdSecrets), 0640u);
        EXPECT_EQ(FileGid(kRsyncdSecrets), 25u);
        if (c.pin) {
            ASSERT_EQ(umount(kRsyncdConf), 0);
        }
    }
}

// ---- rsync secrets ----

// Stored base64 stays; any other value becomes the base64 of its bytes and
// its NUL (the NUL drops out when it would start a group of three); lines
// are trimmed; a line without '|' goes.
const std::string kSecretsBefore = "root:abcdefghijklm|QUJD\n"
                                   "  rsync:nopqrstuvwxyz|secret  \n"
                                   "backup1:zzzzzzzzzzzzz|abc=\n"
                                   "bob:xxxxxxxxxxxxx|pa$$\n"
                                   "no bar here\n"
                                   "carol:yyyyyyyyyyyyy|\n"
                                   "\n"
                                   "dave:wwwwwwwwwwwww|a|b";
const std::string kSecretsAfter = "root:abcdefghijklm|QUJD\n"
                                  "rsync:nopqrstuvwxyz|c2VjcmV0\n"
                                  "backup1:zzzzzzzzzzzzz|abc=\n"
                                  "bob:xxxxxxxxxxxxx|cGEkJAA=\n"
                                  "carol:yyyyyyyyyyyyy|\n"
                                  "dave:wwwwwwwwwwwww|YXxi\n";

TEST(RsyncdSecrets, ValuesThatAreNotBase64AreEncoded)
{
    WriteFile(kRsyncdSecrets, kSecretsBefore, 0644);
    // A file an earlier run left: replaced, never written into.
    WriteFile(kSecretsTmp, "stale\n", 0666);
    vakotest::gFsyncModes.clear();
    vakotest::SyslogClear();

    CheckAndUpdateRsyncdSecrets();
    EXPECT_EQ(ReadFile(kRsyncdSecrets), kSecretsAfter);
    EXPECT_EQ(FileMode(kRsyncdSecrets), 0640u);
    EXPECT_EQ(FileUid(kRsyncdSecrets), 0u);
    EXPECT_EQ(FileGid(kRsyncdSecrets), 25u);
    EXPECT_FALSE(FileExists(kSecretsTmp));
    // On disk with its final mode before it took the old file's place.
    EXPECT_EQ(vakotest::gFsyncModes, std::vector<unsigned>{0640u});
    // The secrets show only in debug lines.
    EXPECT_EQ(UpdaterMessages(LOG_ERR) + UpdaterMessages(LOG_WARNING), 0) << Logged();
    EXPECT_TRUE(SyslogMatches("updater (CheckAndUpdateRsyncdSecrets):{L} szPtr=secret, len=6", LOG_DEBUG));
    EXPECT_TRUE(SyslogMatches("updater (CheckAndUpdateRsyncdSecrets):{L} szEncodePass=c2VjcmV0, len=8", LOG_DEBUG));
    EXPECT_TRUE(SyslogMatches("updater (CheckAndUpdateRsyncdSecrets):{L} szPtr=QUJD, len=4", LOG_DEBUG));
    EXPECT_TRUE(SyslogMatches("updater (CheckAndUpdateRsyncdSecrets):{L} szDecodePass=ABC, len=3", LOG_DEBUG));
}

TEST(RsyncdSecrets, AValueTooLongToEncodeIsDropped)
{
    // 512 groups of three bytes: one more than the encoder's text holds.
    WriteFile(kRsyncdSecrets, "eve:hash|" + std::string(1534, '#') + "\nroot:abcdefghijklm|QUJD\n", 0640);
    vakotest::SyslogClear();
    CheckAndUpdateRsyncdSecrets();
    EXPECT_EQ(ReadFile(kRsyncdSecrets), "root:abcdefghijklm|QUJD\n");
    EXPECT_TRUE(SyslogMatches(
        "updater (CheckAndUpdateRsyncdSecrets):{L} SzBase64EncodeOneLine() failed! inputBuf(auth:secret) = [eve:hash]",
        LOG_ERR))
        << Logged();
}

// Secrets larger than half the tmpfs holding /etc leave no room for a copy.
void SmallEtc()
{
    ASSERT_EQ(mount("tmpfs", "/etc", "tmpfs", 0, "size=64k"), 0);
    std::string lines;
    for (int i = 0; lines.size() < 40000; ++i)
        lines += "user" + std::to_string(i) + ":hash|not base64 " + std::string(60, 'p') + "\n";
    WriteFile(kRsyncdSecrets, lines, 0640);
}

struct SecretsFailure {
    const char *name;
    std::function<void()> arrange;
    const char *message;
    int level;
};
void PrintTo(const SecretsFailure &c, std::ostream *os) { *os << c.name; }

const SecretsFailure kSecretsFailures[] = {
    {"Missing", [] {},
     "updater (CheckAndUpdateRsyncdSecrets):{L} fail to open [/etc/rsyncd.secrets]! errno=2/No such file or directory",
     LOG_ERR},
    {"TemporaryNotCreatable",
     [] {
         WriteFile(kRsyncdSecrets, kSecretsBefore, 0640);
         vakotest::MakeDirs(kSecretsTmp + "/sub");
     },
     "updater (CheckAndUpdateRsyncdSecrets):{L} fail to open [/etc/rsyncd.secrets]! errno=21/Is a directory", LOG_ERR},
    {"DiskFull", SmallEtc,
     "updater (CheckAndUpdateRsyncdSecrets):{L} write /etc/rsyncd.secrets.tmp file failed! errno=28/No space left on "
     "device",
     LOG_ERR},
    {"SyncFails",
     [] {
         WriteFile(kRsyncdSecrets, kSecretsBefore, 0640);
         vakotest::gFsyncFailAt = vakotest::gFsyncCalls + 1;
     },
     "updater (CheckAndUpdateRsyncdSecrets):{L} write /etc/rsyncd.secrets.tmp file failed! errno=5/Input/output error",
     LOG_ERR},
    {"NotReplaceable",
     [] {
         WriteFile(kRsyncdSecrets, kSecretsBefore, 0640);
         Pin(kRsyncdSecrets);
     },
     "updater (CheckAndUpdateRsyncdSecrets):{L} rename /etc/rsyncd.secrets.tmp file failed! errno=16/Device or "
     "resource busy",
     LOG_WARNING},
};

class RsyncdSecretsFailure : public testing::TestWithParam<SecretsFailure> {};

TEST_P(RsyncdSecretsFailure, KeepsTheOldFile)
{
    GetParam().arrange();
    ASSERT_FALSE(HasFatalFailure());
    bool fOld = FileExists(kRsyncdSecrets);
    std::string before = fOld ? ReadFile(kRsyncdSecrets) : "";
    vakotest::SyslogClear();

    CheckAndUpdateRsyncdSecrets();
    vakotest::gFsyncFailAt = 0;
    EXPECT_TRUE(SyslogMatches(GetParam().message, GetParam().level)) << Logged();
    EXPECT_EQ(FileExists(kRsyncdSecrets), fOld);
    if (fOld) {
        EXPECT_EQ(ReadFile(kRsyncdSecrets), before);
        EXPECT_EQ(FileMode(kRsyncdSecrets), 0640u);
    }
    EXPECT_TRUE(!FileExists(kSecretsTmp) || vakotest::IsDirectory(kSecretsTmp));
}

INSTANTIATE_TEST_SUITE_P(Each, RsyncdSecretsFailure, testing::ValuesIn(kSecretsFailures),
                         [](const testing::TestParamInfo<SecretsFailure> &p) { return std::string(p.param.name); });

// ---- mail group ----

struct SmmspCase {
    const char *name;
    std::string before, after;
};
void PrintTo(const SmmspCase &c, std::ostream *os) { *os << c.name; }

const SmmspCase kSmmspCases[] = {
    {"NoMembers", "smmsp:x:25:", "smmsp:x:25:,admin"},
    {"MembersWithoutNobody", "smmsp:x:25:mail,www", "smmsp:x:25:mail,www,admin"},
    {"NobodyLast", "smmsp:x:25:mail,nobody", "smmsp:x:25:mail,admin,nobody"},
    {"NobodyAroundTheList", "smmsp:x:25:nobody,mail,nobody", "smmsp:x:25:nobody,mail,admin,nobody"},
    {"NobodyAlone", "smmsp:x:25:nobody", "smmsp:x:25:admin,nobody"},
    {"NobodyFirst", "smmsp:x:25:nobody,mail", "smmsp:x:25:mail,admin,nobody"},
    {"NobodyInTheMiddle", "smmsp:x:25:mail,nobody,www", "smmsp:x:25:mail,www,admin,nobody"},
    {"ALongerNameIsNoNobody", "smmsp:x:25:nobody2", "smmsp:x:25:nobody2,admin"},
    {"AdminThere", "smmsp:x:25:admin,nobody", "smmsp:x:25:admin,nobody"},
    {"AdminInALongerName", "smmsp:x:25:administrator", "smmsp:x:25:administrator"},
};

std::string GroupFile(const std::string &smmsp)
{
    return "root:x:0:\nxsmmsp:x:99:\n" + smmsp + "\nusers:x:100:\nsmmsp:x:26:later\n";
}

class SmmspGroup : public testing::TestWithParam<SmmspCase> {};

TEST_P(SmmspGroup, AdminJoinsBeforeNobody)
{
    WriteFile(kGroupFile, GroupFile(GetParam().before), 0644);
    Own(kGroupFile, 0, 3);
    vakotest::SyslogClear();
    CheckAndUpdateSmmspGroup();
    EXPECT_EQ(ReadFile(kGroupFile), GroupFile(GetParam().after));
    EXPECT_EQ(FileMode(kGroupFile), 0644u);
    EXPECT_EQ(FileGid(kGroupFile), 3u);
    EXPECT_EQ(UpdaterMessages(), 0) << Logged();
}

INSTANTIATE_TEST_SUITE_P(Each, SmmspGroup, testing::ValuesIn(kSmmspCases),
                         [](const testing::TestParamInfo<SmmspCase> &p) { return std::string(p.param.name); });

TEST(SmmspGroup, TheLineOfACrlfFileGetsAdminToo)
{
    // The line written anew ends as the step writes lines; the others stay.
    const struct {
        const char *smmsp, *after;
    } cases[] = {{"smmsp:x:25:mail,nobody\r\n", "smmsp:x:25:mail,admin,nobody\n"},
                 {"smmsp:x:25:\r\n", "smmsp:x:25:,admin\n"},
                 {"smmsp:x:25:admin\r\n", "smmsp:x:25:admin\r\n"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.smmsp);
        WriteFile(kGroupFile, std::string("root:x:0:\r\n") + c.smmsp + "users:x:100:\r\n", 0644);
        vakotest::SyslogClear();
        CheckAndUpdateSmmspGroup();
        EXPECT_EQ(ReadFile(kGroupFile), std::string("root:x:0:\r\n") + c.after + "users:x:100:\r\n");
        EXPECT_EQ(UpdaterMessages(), 0) << Logged();
    }
}

TEST(SmmspGroupFailure, TheFileStaysAsItWas)
{
    struct Case {
        std::string group;
        bool pin;
        const char *message;
    } cases[] = {
        {"root:x:0:\nusers:x:100:\n", false,
         "updater (CheckAndUpdateSmmspGroup):{L} SLIBFileGetLine() failed! file=[/etc/group] key=[smmsp:] "
         "errno=[0x2000]"},
        // Longer than the line buffer: refused whole, never cut.
        {"smmsp:x:25:" + std::string(1100, 'm') + "\n", false,
         "updater (CheckAndUpdateSmmspGroup):{L} SLIBFileGetLine() failed! file=[/etc/group] key=[smmsp:] "
         "errno=[0x0100]"},
        {"smmsp:x\n", false,
         "updater (CheckAndUpdateSmmspGroup):{L} the line of group smmsp has no member list: [smmsp:x]"},
        {"smmsp:x:25:mail\n", true,
         "updater (CheckAndUpdateSmmspGroup):{L} SLIBFileSetLine() write /etc/group failed! key=[smmsp:] "
         "errno=[0x2800]"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        WriteFile(kGroupFile, c.group);
        if (c.pin)
            Pin(kGroupFile);
        vakotest::SyslogClear();
        CheckAndUpdateSmmspGroup();
        EXPECT_TRUE(SyslogMatches(c.message)) << Logged();
        EXPECT_EQ(UpdaterMessages(), 1) << Logged();
        EXPECT_EQ(ReadFile(kGroupFile), c.group);
        if (c.pin) {
            ASSERT_EQ(umount(kGroupFile), 0);
        }
    }
}

// ---- USB backup ----

const std::string kUsbSchedule = "30\t2\t*\t*\t1,3,5\troot\t/usr/vako/bin/vakousbbkp -b\n";
const std::string kOtherSchedule = "15 4 * * * root /usr/vako/bin/other\n";
const std::string kMovedSchedule = "30\t2\t*\t*\t1,3,5\troot\t/usr/vako/bin/vakolocalbkp -a \"MyBackupSet\"\n";

// The local set as the migration writes it.
std::string LocalSet(const std::string &shares, const std::string &id, const std::string &time,
                     const std::string &result)
{
    return "\n[MyBackupSet]\n" + vakotest::BackupSetLines({{"dest_type", "usbbkp"},
                                                           {"dest_share", "usbbackup"},
                                                           {"bkp_shares", shares},
                                                           {"bkp_apps", ""},
                                                           {"last_bkp_time", time},
                                                           {"last_bkp_result", result},
                                                           {"dest_id", id},
                                                           {"incrbkp", "0"}});
}

class UsbBackup : public testing::Test {
protected:
    void SetUp() override
    {
        WriteFile(kInfoDefaultsFile, "unique=\"vakora_powerpc_demo\"\nmaxshares=\"32\"\n");
        WriteFile(kCrontab, "SHELL=/bin/sh\n" + kUsbSchedule + kOtherSchedule);
    }
    // Runs the migration on these settings.
    void Migrate(const std::string &info)
    {
        WriteFile(kInfoFile, info);
        vakotest::SyslogClear();
        UpdateUSBBackupToLocalBackup();
    }
    // Nothing was written.
    void ExpectUnchanged(const std::string &info)
    {
        EXPECT_EQ(ReadFile(kInfoFile), info);
        EXPECT_EQ(ReadFile(kCrontab), "SHELL=/bin/sh\n" + kUsbSchedule + kOtherSchedule);
        EXPECT_FALSE(FileExists(kLocalBkpConf));
    }
};

// A line that only names a key elsewhere is no line of that key: it stays.
const std::string kUsbInfo = "hostname=\"nas\"\n"
                             "usb_note=\"the usbbkpid of the last disk\"\n"
                             "usbbkpshares=\"photo,music\"\n"
                             "usbbkpid=\"20080131235959-0001\"\n"
                             "usbbkpresult=\"ok\"\n"
                             "codepage=\"950\"\n";
const std::string kUsbInfoAfter = "hostname=\"nas\"\n"
                                  "usb_note=\"the usbbkpid of the last disk\"\n"
                                  "codepage=\"950\"\n";

TEST_F(UsbBackup, BecomesTheLocalSetWithItsSchedule)
{
    Migrate(kUsbInfo);
    EXPECT_EQ(ReadFile(kLocalBkpConf), LocalSet("photo,music", "20080131235959-0001", "2008/01/31 23:59", "ok"));
    EXPECT_EQ(ReadFile(kInfoFile), kUsbInfoAfter);
    EXPECT_EQ(ReadFile(kCrontab), "SHELL=/bin/sh\n" + kOtherSchedule + kMovedSchedule);
}

// No share list: every ordinary share, in the order of the share database.
TEST_F(UsbBackup, NoShareListTakesTheLocalShares)
{
    // The share database checks its lists against the accounts and groups.
    vakotest::WriteAccountFiles(vakotest::MadeUpAccounts(1));
    vakotest::WriteGroupFiles({"root:x:0:\nusers:x:100:\n", ""});
    WriteFile(kSmbConf, "[global]\n\tworkgroup=WORKGROUP\n"
                        "[public]\n\tpath=/volume1/public\n"
                        "[usbshare1]\n\tpath=/volumeUSB1/usbshare\n"
                        "[photo]\n\tpath=/volume1/photo\n"
                        "[satashare]\n\tpath=/volumeSATA/satashare\n"
                        "[usbbackup]\n\tpath=/volumeUSB1/usbbackup\n");
    Migrate("usbbkpshares=\"\"\nusbbkpid=\"20080131235959-0001\"\nusbbkpresult=\"ok\"\n");
    EXPECT_EQ(ReadFile(kLocalBkpConf), LocalSet("photo,public", "20080131235959-0001", "2008/01/31 23:59", "ok"));
    EXPECT_EQ(ReadFile(kInfoFile), "");
    EXPECT_EQ(UpdaterMessages(), 0) << Logged();
}

TEST_F(UsbBackup, NoShareAtAllGivesAnEmptyList)
{
    vakotest::WriteAccountFiles(vakotest::MadeUpAccounts(1));
    vakotest::WriteGroupFiles({"root:x:0:\nusers:x:100:\n", ""});
    WriteFile(kSmbConf, "[global]\n\tworkgroup=WORKGROUP\n");
    Migrate("hostname=\"nas\"\n");
    EXPECT_EQ(ReadFile(kLocalBkpConf), LocalSet("", "", "", ""));
    EXPECT_EQ(ReadFile(kInfoFile), "hostname=\"nas\"\n");
    EXPECT_EQ(ReadFile(kCrontab), "SHELL=/bin/sh\n" + kOtherSchedule + kMovedSchedule);
    EXPECT_EQ(UpdaterMessages(), 0) << Logged();
}

// Without a share count the list still has room for one share's name.
TEST_F(UsbBackup, NoShareCountStillReadsOneName)
{
    WriteFile(kInfoDefaultsFile, "unique=\"vakora_powerpc_demo\"\n");
    Migrate("usbbkpshares=\"" + std::string(400, 's') + "\"\n");
    EXPECT_EQ(ReadFile(kLocalBkpConf), LocalSet(std::string(400, 's'), "", "", ""));
    EXPECT_EQ(ReadFile(kInfoFile), "");
}

TEST_F(UsbBackup, TheLocalSetsExistAlready)
{
    WriteFile(kLocalBkpConf, "[other]\n");
    WriteFile(kInfoFile, kUsbInfo);
    UpdateUSBBackupToLocalBackup();
    EXPECT_EQ(ReadFile(kLocalBkpConf), "[other]\n");
    EXPECT_EQ(ReadFile(kInfoFile), kUsbInfo);
    EXPECT_EQ(ReadFile(kCrontab), "SHELL=/bin/sh\n" + kUsbSchedule + kOtherSchedule);
}

TEST_F(UsbBackup, NoScheduleToMove)
{
    WriteFile(kCrontab, kOtherSchedule);
    Migrate(kUsbInfo);
    EXPECT_EQ(ReadFile(kCrontab), kOtherSchedule);
    EXPECT_EQ(ReadFile(kInfoFile), kUsbInfoAfter);
    EXPECT_TRUE(FileExists(kLocalBkpConf));
}

// A value longer than its room is not taken cut: the migration stops
// before anything is written.
TEST_F(UsbBackup, AKeyThatCannotBeReadStopsIt)
{
    struct Case {
        std::string defaults, info;
        const char *message;
    } cases[] = {
        {"maxshares=\"" + std::string(40, '9') + "\"\n", kUsbInfo,
         "updater:{L} SLIBFileGetKeyValue() failed!! szFile=[/etc.defaults/vakoinfo.conf], szKey=[maxshares], "
         "vakoerr=[0x0100]"},
        {"maxshares=\"1\"\n", "usbbkpshares=\"" + std::string(493, 's') + "\"\nusbbkpid=\"x\"\n",
         "updater:{L} SLIBFileGetKeyValue() failed!! szFile=[/etc/vakoinfo.conf], szKey=[usbbkpshares], "
         "vakoerr=[0x0100]"},
        {"maxshares=\"32\"\n", "usbbkpshares=\"photo\"\nusbbkpid=\"20080131235959-" + std::string(13, '0') + "\"\n",
         "updater:{L} SLIBFileGetKeyValue() failed!! szFile=[/etc/vakoinfo.conf], szKey=[usbbkpid], "
         "vakoerr=[0x0100]"},
        {"maxshares=\"32\"\n", "usbbkpshares=\"photo\"\nusbbkpresult=\"" + std::string(64, 'r') + "\"\n",
         "updater:{L} SLIBFileGetKeyValue() failed!! szFile=[/etc/vakoinfo.conf], szKey=[usbbkpresult], "
         "vakoerr=[0x0100]"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        WriteFile(kInfoDefaultsFile, c.defaults);
        Migrate(c.info);
        EXPECT_TRUE(SyslogMatches(c.message)) << Logged();
        ExpectUnchanged(c.info);
    }
}

// The keys go only once the set is written.
TEST_F(UsbBackup, ASetThatCannotBeWrittenKeepsTheKeys)
{
    // A link to nowhere: not there for the check, no file to write either.
    ASSERT_EQ(symlink("/nowhere/vakolocalbkp.conf", kLocalBkpConf), 0);
    WriteFile(kInfoFile, kUsbInfo);
    vakotest::SyslogClear();
    UpdateUSBBackupToLocalBackup();
    EXPECT_TRUE(SyslogMatches("updater:{L} VAKOLocalBkpConfSetOne() failed!! vakoerr=[0x0900]")) << Logged();
    EXPECT_EQ(ReadFile(kInfoFile), kUsbInfo);
    EXPECT_EQ(ReadFile(kCrontab), "SHELL=/bin/sh\n" + kUsbSchedule + kOtherSchedule);
}

// The old line goes only once the new one is written.
TEST_F(UsbBackup, AScheduleThatCannotBeSetStays)
{
    const std::string odd = "30\t5-3/1\t*\t*\t*\troot\t/usr/vako/bin/vakousbbkp\n";
    WriteFile(kCrontab, odd);
    Migrate(kUsbInfo);
    EXPECT_TRUE(SyslogMatches("updater:{L} VAKOScheduleSet() failed!! szCmd=[/usr/vako/bin/vakolocalbkp -a "
                              "\"MyBackupSet\"], errno=[0x0D00]"))
        << Logged();
    EXPECT_EQ(ReadFile(kCrontab), odd);
    EXPECT_EQ(ReadFile(kInfoFile), kUsbInfoAfter);
    EXPECT_TRUE(FileExists(kLocalBkpConf));
}

// ---- network backup sets ----

const std::string kNetSetsBefore = "[office]\n"
                                   "\tbkp_server=\"nas2\"\n"
                                   "\tbkp_ip=\"10.0.0.2\"\n"
                                   "\tserver_pass=\"p1\"\n"
                                   "\tbkp_shares=\"music\"\n"
                                   "\tssh=\"1\"\n"
                                   "\tfuture_key=\"kept\"\n"
                                   "[home]\n"
                                   "\tbkp_auth_user=\"backup\"\n";

// A set re-saved: its section's pairs, then the record's, each key in its
// first place.
std::string SavedSet(const std::string &name, const vakotest::Pairs &section, const vakotest::Pairs &record)
{
    vakotest::Pairs sets = section;
    sets.insert(sets.end(), record.begin(), record.end());
    return "[" + name + "]\n" + vakotest::BackupSetLines(sets);
}

// What the record of a set read from the file writes: its nine texts, then
// its five numbers.
vakotest::Pairs NetRecord(const std::string &server, const std::string &ip, const std::string &user,
                          const std::string &pass, const std::string &shares, const std::string &ssh)
{
    return {{"bkp_server", server},    {"bkp_ip", ip},         {"bkp_auth_user", user},
            {"server_pass", pass},     {"last_bkp_time", ""},  {"bkp_module", ""},
            {"server_pass2", ""},      {"bkp_shares", shares}, {"bkp_apps", ""},
            {"last_bkp_status", "-1"}, {"ssh", ssh},           {"server_type", "1"},
            {"blockbkp", "0"},         {"incrbkp", "0"}};
}

const std::string kNetSetsAfter = SavedSet("office",
                                           {{"bkp_server", "nas2"},
                                            {"bkp_ip", "10.0.0.2"},
                                            {"server_pass", "p1"},
                                            {"bkp_shares", "music"},
                                            {"ssh", "1"},
                                            {"future_key", "kept"}},
                                           NetRecord("nas2", "10.0.0.2", "", "p1", "office", "1")) +
                                  SavedSet("home", {{"bkp_auth_user", "backup"}},
                                           NetRecord("", "", "backup", "", "home", "0"));

// Set directories: one whose name no shell would take as one word, one with
// its "@app" already, one without a saved configuration, a plain file.
const std::string kOddName = "it's $(touch pwned); `x` \"y\"";

void WriteNetBackupDirs()
{
    const std::string dir = kNetBackupDir;
    WriteFile(dir + "/office/configbackup.dss", "office cfg", 0600);
    WriteFile(dir + "/" + kOddName + "/configbackup.dss", "odd cfg", 0600);
    vakotest::MakeDirs(dir + "/home/@app", 0750);
    WriteFile(dir + "/home/configbackup.dss", "home cfg", 0600);
    vakotest::MakeDirs(dir + "/empty");
    WriteFile(dir + "/notes.txt", "x");
    WriteFile(dir + "/clash/@app", "a file");
    WriteFile(dir + "/clash/configbackup.dss", "clash cfg");
}

void ExpectNetBackupDirsMoved()
{
    const std::string dir = kNetBackupDir;
    for (const std::string &set : {std::string("office"), kOddName, std::string("home")}) {
        SCOPED_TRACE(set);
        EXPECT_EQ(vakotest::ListDir(dir + "/" + set), std::vector<std::string>{"@app"});
        EXPECT_EQ(vakotest::ListDir(dir + "/" + set + "/@app"), std::vector<std::string>{"configbackup.dss"});
        EXPECT_EQ(FileMode(dir + "/" + set + "/@app/configbackup.dss"), 0600u);
    }
    EXPECT_EQ(ReadFile(dir + "/office/@app/configbackup.dss"), "office cfg");
    EXPECT_EQ(ReadFile(dir + "/" + kOddName + "/@app/configbackup.dss"), "odd cfg");
    EXPECT_EQ(ReadFile(dir + "/home/@app/configbackup.dss"), "home cfg");
    // Made whatever the process mask; one that existed keeps its mode.
    EXPECT_EQ(FileMode(dir + "/office/@app"), 0777u);
    EXPECT_EQ(FileMode(dir + "/home/@app"), 0750u);
    EXPECT_TRUE(vakotest::ListDir(dir + "/empty").empty());
    EXPECT_EQ(vakotest::ListDir(dir + "/clash"), (std::vector<std::string>{"@app", "configbackup.dss"}));
    EXPECT_FALSE(FileExists("pwned"));
    EXPECT_TRUE(SyslogMatches("updater:{L} [/var/services/NetBackup/clash/@app] is not a directory")) << Logged();
}

TEST(NetBackupSets, EachSetBacksUpItsOwnNameAndItsConfigurationMoves)
{
    WriteFile(kNetBkpConf, kNetSetsBefore, 0600);
    WriteNetBackupDirs();
    mode_t old = umask(022);
    vakotest::SyslogClear();
    UpdateNetBackupSets();
    umask(old);
    EXPECT_EQ(ReadFile(kNetBkpConf), kNetSetsAfter);
    EXPECT_EQ(FileMode(kNetBkpConf), 0600u);
    ExpectNetBackupDirsMoved();
    EXPECT_EQ(UpdaterMessages(), 1) << Logged();
}

TEST(NetBackupSets, UnreadableSetsStillMoveTheConfigurations)
{
    vakotest::MakeDirs(kNetBkpConf);
    WriteNetBackupDirs();
    vakotest::SyslogClear();
    UpdateNetBackupSets();
    EXPECT_TRUE(
        SyslogMatches("updater:{L} VAKOBackupConfGetAll() failed!! bkptype=[BACKUP_TYPE_NETBKP], vakoerr=[0x0A00]"))
        << Logged();
    ExpectNetBackupDirsMoved();
}

// Each set that cannot be written is logged and the next one follows.
TEST(NetBackupSets, ASetThatCannotBeWrittenIsLogged)
{
    WriteFile(kNetBkpConf, kNetSetsBefore, 0600);
    Pin(kNetBkpConf);
    vakotest::SyslogClear();
    UpdateNetBackupSets();
    EXPECT_TRUE(SyslogMatches("updater:{L} VAKONetBkpConfSetOne() failed!! szOldBkpset=[office], vakoerr=[0x2800]"))
        << Logged();
    EXPECT_TRUE(SyslogMatches("updater:{L} VAKONetBkpConfSetOne() failed!! szOldBkpset=[home], vakoerr=[0x2800]"))
        << Logged();
    EXPECT_EQ(ReadFile(kNetBkpConf), kNetSetsBefore);
}

// The set folders are their backup accounts' own: whatever link such an
// account made there is never followed, the step logs it and goes on with
// the next set.
struct NetBackupTrap {
    const char *name;
    std::function<bool()> plant; // run as the set's account, in the set's folder
    const char *message;         // {D}: the set's folder
};
void PrintTo(const NetBackupTrap &t, std::ostream *os) { *os << t.name; }

const NetBackupTrap kNetBackupTraps[] = {
    {"AppLinkToARootFolder", [] { return symlink("/etc/victim.d", "@app") == 0; },
     "updater:{L} [{D}/@app] is a symbolic link, not followed"},
    {"AppLinkToAMissingFolder", [] { return symlink("/etc/made", "@app") == 0; },
     "updater:{L} [{D}/@app] is a symbolic link, not followed"},
    {"AppFifo", [] { return mkfifo("@app", 0666) == 0; }, "updater:{L} [{D}/@app] is not a directory"},
    {"ConfigurationLinkToARootFile",
     [] { return unlink("configbackup.dss") == 0 && symlink("/etc/shadow", "configbackup.dss") == 0; },
     "updater:{L} [{D}/configbackup.dss] is not a regular file, not moved"},
};

class NetBackupTraps : public testing::TestWithParam<NetBackupTrap> {};

TEST_P(NetBackupTraps, ALinkInASetsFolderIsNotFollowed)
{
    const NetBackupTrap &t = GetParam();
    const std::string dir = kNetBackupDir, office = dir + "/office";
    WriteFile(office + "/configbackup.dss", "office cfg", 0600);
    WriteFile(dir + "/zeta/configbackup.dss", "zeta cfg", 0600);
    WriteFile("/etc/shadow", "root:x:::::::\n", 0600);
    vakotest::MakeDirs("/etc/victim.d");
    for (const std::string &p : {office, office + "/configbackup.dss"})
        Own(p.c_str(), vakotest::kNoRightsUid, vakotest::kNoRightsUid);
    ASSERT_TRUE(vakotest::RunAs(vakotest::kNoRightsUid, [&] { return chdir(office.c_str()) == 0 && t.plant(); }));
    const std::vector<std::string> left = vakotest::ListDir(office);
    vakotest::SyslogClear();
    UpdateNetBackupConfigPath();
    std::string message = t.message;
    message.replace(message.find("{D}"), 3, office);
    EXPECT_TRUE(SyslogMatches(message)) << Logged();
    EXPECT_EQ(UpdaterMessages(), 1) << Logged();
    EXPECT_TRUE(vakotest::ListDir("/etc/victim.d").empty());
    EXPECT_FALSE(FileExists("/etc/made"));
    EXPECT_EQ(ReadFile("/etc/shadow"), "root:x:::::::\n");
    EXPECT_EQ(FileMode("/etc/shadow"), 0600u);
    // The set stays as its account left it.
    EXPECT_EQ(vakotest::ListDir(office), left);
    // The next set is moved as usual.
    EXPECT_EQ(ReadFile(dir + "/zeta/@app/configbackup.dss"), "zeta cfg");
}

INSTANTIATE_TEST_SUITE_P(Each, NetBackupTraps, testing::ValuesIn(kNetBackupTraps),
                         [](const testing::TestParamInfo<NetBackupTrap> &info) { return info.param.name; });

// A set's folder that is itself a link (only root can make one there) is
// not followed either.
TEST(NetBackupSets, ASetFolderThatIsALinkIsNotFollowed)
{
    vakotest::MakeDirs(kNetBackupDir);
    WriteFile("/etc/configbackup.dss", "etc cfg", 0600);
    ASSERT_EQ(symlink("/etc", (std::string(kNetBackupDir) + "/office").c_str()), 0);
    vakotest::SyslogClear();
    UpdateNetBackupConfigPath();
    EXPECT_TRUE(SyslogMatches("updater:{L} [/var/services/NetBackup/office] is a symbolic link, not followed"))
        << Logged();
    EXPECT_FALSE(FileExists("/etc/@app"));
    EXPECT_EQ(ReadFile("/etc/configbackup.dss"), "etc cfg");
}

TEST(NetBackupSets, NoSetsAndNoDirectory)
{
    vakotest::SyslogClear();
    UpdateNetBackupSets();
    EXPECT_FALSE(FileExists(kNetBkpConf));
    EXPECT_FALSE(FileExists(kNetBackupDir));
    EXPECT_EQ(UpdaterMessages(), 0) << Logged();
}

// ---- code pages ----

struct CodepageCase {
    const char *name;
    std::optional<std::string> value; // none: no key
    std::string after;                // the file after
};
void PrintTo(const CodepageCase &c, std::ostream *os) { *os << c.name; }

std::string CodepageInfo(const std::string &line) { return "hostname=\"nas\"\n" + line + "lang=\"x\"\n"; }
std::string Codepage(const std::string &value) { return "codepage=\"" + value + "\"\n"; }

const CodepageCase kCodepageCases[] = {
    {"Chs", "936", CodepageInfo(Codepage("chs"))},
    {"Cht", "950", CodepageInfo(Codepage("cht"))},
    {"Krn", "949", CodepageInfo(Codepage("krn"))},
    {"Trk", "1254", CodepageInfo(Codepage("trk"))},
    {"Rus", "866", CodepageInfo(Codepage("rus"))},
    {"Jpn", "932", CodepageInfo(Codepage("jpn"))},
    {"Plk", "852", CodepageInfo(Codepage("plk"))},
    {"WesternIsEnu", "850", CodepageInfo(Codepage("enu"))},
    {"OtherNumberIsEnu", "437", CodepageInfo(Codepage("enu"))},
    {"NotANumberIsEnu", "abc", CodepageInfo(Codepage("enu"))},
    {"NegativeIsEnu", "-950", CodepageInfo(Codepage("enu"))},
    {"LeadingNumberCounts", "950x", CodepageInfo(Codepage("cht"))},
    {"NoKeyIsEnu", std::nullopt, CodepageInfo("") + Codepage("enu")},
    // An update run again (its flash patch failed) finds the key converted.
    {"ConvertedAlready", "cht", CodepageInfo(Codepage("cht"))},
};

class CodepageKey : public testing::TestWithParam<CodepageCase> {};

TEST_P(CodepageKey, NumberBecomesLanguageCode)
{
    const CodepageCase &c = GetParam();
    WriteFile(kInfoFile, CodepageInfo(c.value ? Codepage(*c.value) : ""));
    vakotest::SyslogClear();
    UpdateCodepageKey("codepage");
    EXPECT_EQ(ReadFile(kInfoFile), c.after);
    EXPECT_EQ(UpdaterMessages(), 0) << Logged();
}

INSTANTIATE_TEST_SUITE_P(Each, CodepageKey, testing::ValuesIn(kCodepageCases),
                         [](const testing::TestParamInfo<CodepageCase> &p) { return std::string(p.param.name); });

TEST(CodepageKeys, BothKeysConvertedAndTheAppleKeyGone)
{
    WriteFile(kInfoFile, "codepage=\"950\"\ncodepage_apple=\"10000\"\nhostname=\"nas\"\n"
                         "codepage_mediaservice=\"932\"\ncodepage_apple=\"10001\"\n");
    UpdateCodepageKeys();
    EXPECT_EQ(ReadFile(kInfoFile), "codepage=\"cht\"\nhostname=\"nas\"\ncodepage_mediaservice=\"jpn\"\n");
}

// A value longer than its room is left as it is, never read cut.
TEST(CodepageKeys, AValueTooLongStays)
{
    const std::string info = "codepage=\"95000000\"\n";
    WriteFile(kInfoFile, info);
    vakotest::SyslogClear();
    UpdateCodepageKey("codepage");
    EXPECT_EQ(ReadFile(kInfoFile), info);
    EXPECT_TRUE(SyslogMatches("updater ({L}) The value of key [codepage] is longer than 7 characters; left as it is"))
        << Logged();
}

TEST(CodepageKeys, AFailedWriteIsLogged)
{
    const std::string info = "codepage=\"950\"\n";
    WriteFile(kInfoFile, info);
    Pin(kInfoFile);
    vakotest::SyslogClear();
    UpdateCodepageKey("codepage");
    EXPECT_TRUE(SyslogMatches("updater ({L}) Failed to set key [codepage] to value [cht]")) << Logged();
    EXPECT_EQ(ReadFile(kInfoFile), info);
}

// ---- the order and the flags ----

class PrePatchFlags : public testing::Test {
protected:
    void SetUp() override { Clear(); }
    void TearDown() override { Clear(); }
    static void Clear()
    {
        for (int *f : {&gfRecoverFISDir, &gfLimitFTPPortRange, &gfUpdateRsyncdConf, &gfUpdateRsyncdSecrets,
                       &gfUpdateSmmspGroup, &gfConvertUSBBackup, &gfConvertNetBackup, &gfConvertCodepage})
            *f = 0;
    }
};

TEST_F(PrePatchFlags, NoFlagNoChange)
{
    const std::string info = "ftplowport=\"1000\"\nftphighport=\"9000\"\ncodepage=\"950\"\n";
    WriteFile(kInfoFile, info);
    WriteFile(kGroupFile, "smmsp:x:25:\n");
    EXPECT_EQ(UPDTRunPrePatchMigrations(), 0);
    EXPECT_EQ(ReadFile(kInfoFile), info);
    EXPECT_EQ(ReadFile(kGroupFile), "smmsp:x:25:\n");
}

// The FTP port range must succeed: its failure ends the road before the
// migrations after it.
TEST_F(PrePatchFlags, FailedPortRangeEndsWith21)
{
    const std::string info = "ftplowport=\"" + std::string(200, '1') + "\"\ncodepage=\"950\"\n";
    WriteFile(kInfoFile, info);
    gfLimitFTPPortRange = gfConvertCodepage = 1;
    EXPECT_EQ(UPDTRunPrePatchMigrations(), 21);
    EXPECT_EQ(ReadFile(kInfoFile), info);
}

// The other migrations only log: the road goes on.
TEST_F(PrePatchFlags, OtherFailuresAreOnlyLogged)
{
    WriteFile(kInfoFile, "codepage=\"950\"\ncodepage_mediaservice=\"932\"\n");
    gfUpdateSmmspGroup = gfUpdateRsyncdSecrets = gfConvertCodepage = 1;
    EXPECT_EQ(UPDTRunPrePatchMigrations(), 0);
    EXPECT_EQ(ReadFile(kInfoFile), "codepage=\"cht\"\ncodepage_mediaservice=\"jpn\"\n");
}

} // namespace
