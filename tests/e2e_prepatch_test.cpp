// The pre-patch migrations through whole updates on the normal flash road:
// installed builds old enough for each of them, and a migration whose
// failure ends the update before the flash is touched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <errno.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "vako/kernel.h"
#include "vakotest/accounts.h"
#include "vakotest/chips.h"
#include "vakotest/files.h"
#include "vakotest/fixture.h"
#include "vakotest/hashorder.h"
#include "vakotest/kstub.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/run.h"

namespace {

namespace ks = vakotest::kstub;
using vakotest::FileExists;
using vakotest::ReadFile;

// The migrations, as bits of a row.
enum : unsigned {
    kRecoverFISDir = 1 << 0,
    kFTPPorts = 1 << 1,
    kRsyncdConf = 1 << 2,
    kRsyncdSecrets = 1 << 3,
    kSmmspGroup = 1 << 4,
    kUSBBackup = 1 << 5,
    kNetBackup = 1 << 6,
    kCodepage = 1 << 7,
};

// ---- the appliance's settings before and after ----

const vakotest::Keys kInfo{{"hostname", "nas"},
                           {"ftplowport", "55000"},
                           {"ftphighport", "55300"},
                           {"codepage", "950"},
                           {"codepage_mediaservice", "932"},
                           {"codepage_apple", "10000"},
                           {"usbbkpshares", ""},
                           {"usbbkpid", "20080131235959-0001"},
                           {"usbbkpresult", "ok"}};

const std::string kRsyncdConfBefore = "uid = root\nlock file = /var/run/rsyncd.lock\nsecrets file = /etc/rsyncd.secrets\n";
const std::string kRsyncdConfAfter =
    "uid = root\nlock file = /var/run/rsyncd.lock\nuse chroot = no\nsecrets file = /etc/rsyncd.secrets\n";

const std::string kSecretsBefore = "root:abcdefghijklm|QUJD\nrsync:nopqrstuvwxyz|pa$$\nno bar\n";
const std::string kSecretsAfter = "root:abcdefghijklm|QUJD\nrsync:nopqrstuvwxyz|cGEkJAA=\n";

// The mail services' groups of newer builds are there already: only the
// mail group's own line may change.
std::string Groups(const std::string &smmsp)
{
    return "root:x:0:\n" + smmsp + "\nusers:x:100:\npostfix:x:125:postfix\nmaildrop:x:126:\ndovecot:x:143:dovecot\n";
}

const std::string kShares = "[global]\n\tworkgroup=WORKGROUP\n"
                            "[public]\n\tpath=/volume1/public\n"
                            "[usbshare1]\n\tpath=/volumeUSB1/usbshare\n"
                            "[photo]\n\tpath=/volume1/photo\n";

const std::string kUsbSchedule = "30\t2\t*\t*\t1,3,5\troot\t/usr/vako/bin/vakousbbkp -b\n";
const std::string kOtherSchedule = "15 4 * * * root /usr/vako/bin/other\n";
const std::string kMovedSchedule = "30\t2\t*\t*\t1,3,5\troot\t/usr/vako/bin/vakolocalbkp -a \"MyBackupSet\"\n";

const std::string kNetSetsBefore = "[office]\n\tbkp_server=\"nas2\"\n\tserver_pass=\"p1\"\n\tbkp_shares=\"music\"\n";
// Re-saved: the section's pairs, then the record's (its nine texts and five
// numbers), each key in its first place of the section's map.
const std::string kNetSetsAfter = "[office]\n" + vakotest::BackupSetLines({{"bkp_server", "nas2"},
                                                                          {"server_pass", "p1"},
                                                                          {"bkp_shares", "music"},
                                                                          {"bkp_server", "nas2"},
                                                                          {"bkp_ip", ""},
                                                                          {"bkp_auth_user", ""},
                                                                          {"server_pass", "p1"},
                                                                          {"last_bkp_time", ""},
                                                                          {"bkp_module", ""},
                                                                          {"server_pass2", ""},
                                                                          {"bkp_shares", "office"},
                                                                          {"bkp_apps", ""},
                                                                          {"last_bkp_status", "-1"},
                                                                          {"ssh", "0"},
                                                                          {"server_type", "1"},
                                                                          {"blockbkp", "0"},
                                                                          {"incrbkp", "0"}});

const std::string kLocalSet = "\n[MyBackupSet]\n" + vakotest::BackupSetLines({{"dest_type", "usbbkp"},
                                                                              {"dest_share", "usbbackup"},
                                                                              {"bkp_shares", "photo,public"},
                                                                              {"bkp_apps", ""},
                                                                              {"last_bkp_time", "2008/01/31 23:59"},
                                                                              {"last_bkp_result", "ok"},
                                                                              {"dest_id", "20080131235959-0001"},
                                                                              {"incrbkp", "0"}});

const std::string kSavedConfig = std::string(vakotest::kNetBackupDir) + "/office/configbackup.dss";
const std::string kMovedConfig = std::string(vakotest::kNetBackupDir) + "/office/@app/configbackup.dss";

// The settings `before` after the migrations of `ran`.
std::string InfoAfter(unsigned ran, vakotest::Keys info = kInfo)
{
    if (ran & kFTPPorts)
        info.Set("ftphighport", "55127");
    if (ran & kUSBBackup)
        info.Erase("usbbkpshares").Erase("usbbkpid").Erase("usbbkpresult");
    if (ran & kCodepage)
        info.Set("codepage", "cht").Set("codepage_mediaservice", "jpn").Erase("codepage_apple");
    return info.Text();
}

// ---- the runs ----

struct Installed {
    vakotest::Layout layout = vakotest::Layout::Normal;
    std::string unique = "vakora_powerpc_demo";
    int build = 1000;
};

class PrePatchUpdate {
public:
    // The appliance with every file a pre-patch migration changes, and a
    // package without images (the flash road writes nothing of its own).
    void Install(const Installed &installed)
    {
        vakotest::Appliance appliance;
        appliance.layout = installed.layout;
        appliance.version.Set("buildnumber", std::to_string(installed.build));
        appliance.defaults.Set("unique", installed.unique).Set("maxshares", "32");
        appliance.info = kInfo;
        appliance.files[vakotest::kRsyncdConf] = kRsyncdConfBefore;
        appliance.files[vakotest::kRsyncdSecrets] = kSecretsBefore;
        appliance.files[vakotest::kSmbConf] = kShares;
        appliance.files[vakotest::kCrontab] = "SHELL=/bin/sh\n" + kUsbSchedule + kOtherSchedule;
        appliance.files[vakotest::kNetBkpConf] = kNetSetsBefore;
        appliance.files[kSavedConfig] = "office cfg";
        appliance.flash = vakotest::LayoutFlash(installed.layout);
        vakotest::Install(appliance);
        vakotest::WriteAccountFiles(vakotest::MadeUpAccounts(1));
        vakotest::WriteGroupFiles({Groups("smmsp:x:25:mailer,nobody"), ""});
        ASSERT_EQ(chmod(vakotest::kRsyncdConf, 0600), 0);
        ASSERT_EQ(chmod(vakotest::kNetBkpConf, 0600), 0);
        ASSERT_EQ(chmod(vakotest::kRsyncdSecrets, 0644), 0);
        ASSERT_EQ(chown(vakotest::kRsyncdSecrets, 0, 0), 0);

        package_.version.Set("unique", installed.unique);
        vakotest::Install(package_);
        chip_ = ks::Load(ks::kSandboxDir);
        vakotest::SyslogClear();
    }
    vakotest::RunResult Update() { return vakotest::Run({package_.UpdaterPath()}, {.cwd = "/"}); }

    // Every file of the migrations: as `ran` changed it, or as it was.
    static void ExpectFiles(unsigned ran, const vakotest::Keys &info = kInfo)
    {
        EXPECT_EQ(ReadFile(vakotest::kInfoFile), InfoAfter(ran, info));

        EXPECT_EQ(ReadFile(vakotest::kRsyncdConf), ran & kRsyncdConf ? kRsyncdConfAfter : kRsyncdConfBefore);
        EXPECT_EQ(vakotest::FileMode(vakotest::kRsyncdConf), ran & kRsyncdConf ? 0644u : 0600u);
        EXPECT_EQ(ReadFile(vakotest::kRsyncdSecrets), ran & kRsyncdSecrets ? kSecretsAfter : kSecretsBefore);
        bool fSecretsRestricted = ran & (kRsyncdConf | kRsyncdSecrets);
        EXPECT_EQ(vakotest::FileMode(vakotest::kRsyncdSecrets), fSecretsRestricted ? 0640u : 0644u);
        EXPECT_EQ(vakotest::FileGid(vakotest::kRsyncdSecrets), fSecretsRestricted ? 25u : 0u);
        EXPECT_EQ(vakotest::FileUid(vakotest::kRsyncdSecrets), 0u);
        EXPECT_FALSE(FileExists(std::string(vakotest::kRsyncdSecrets) + ".tmp"));

        EXPECT_EQ(ReadFile(vakotest::kGroupFile),
                  Groups(ran & kSmmspGroup ? "smmsp:x:25:mailer,admin,nobody" : "smmsp:x:25:mailer,nobody"));

        if (ran & kUSBBackup) {
            EXPECT_EQ(ReadFile(vakotest::kLocalBkpConf), kLocalSet);
        } else {
            EXPECT_FALSE(FileExists(vakotest::kLocalBkpConf));
        }
        EXPECT_EQ(ReadFile(vakotest::kCrontab), ran & kUSBBackup ? "SHELL=/bin/sh\n" + kOtherSchedule + kMovedSchedule
                                                                 : "SHELL=/bin/sh\n" + kUsbSchedule + kOtherSchedule);

        EXPECT_EQ(ReadFile(vakotest::kNetBkpConf), ran & kNetBackup ? kNetSetsAfter : kNetSetsBefore);
        EXPECT_EQ(vakotest::FileMode(vakotest::kNetBkpConf), 0600u);
        EXPECT_EQ(ReadFile(ran & kNetBackup ? kMovedConfig : kSavedConfig), "office cfg");
        EXPECT_FALSE(FileExists(ran & kNetBackup ? kSavedConfig : kMovedConfig));
    }

    vakotest::Package package_;
    ks::Chip chip_;
};

// ---- every flag set by at least one installed build ----

struct Row {
    const char *name;
    Installed installed;
    unsigned ran; // the migrations that build needs
};
void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

constexpr unsigned kAll = kRecoverFISDir | kFTPPorts | kRsyncdConf | kRsyncdSecrets | kSmmspGroup | kUSBBackup |
                          kNetBackup | kCodepage;

class PrePatchMigrations : public testing::TestWithParam<Row>, public PrePatchUpdate {};

TEST_P(PrePatchMigrations, FilesAfterTheUpdate)
{
    const Row &row = GetParam();
    Install(row.installed);
    ASSERT_FALSE(HasFatalFailure());
    vakotest::RunResult r = Update();
    EXPECT_EQ(r.status, 0) << r.err;
    ExpectFiles(row.ran);
    if (row.ran & kRecoverFISDir) {
        EXPECT_EQ(vakotest::RecoveredJuniorDirectoryMismatch(), "");
    } else {
        EXPECT_EQ(ks::Load(ks::kSandboxDir).image, chip_.image);
    }
    EXPECT_TRUE(vakotest::SyslogHas("Congratulation!! The update has been completed!!"));
}

// Each row is the newest installed build that needs one more migration than
// the row after it.
INSTANTIATE_TEST_SUITE_P(
    Builds, PrePatchMigrations,
    testing::Values(Row{"Junior284OfTheModel", {vakotest::Layout::Junior, "vakora_powerpc_m88_1hd", 284}, kAll},
                    Row{"Build483", {.build = 483}, kAll & ~kRecoverFISDir},
                    Row{"Build552", {.build = 552}, kRsyncdSecrets | kSmmspGroup | kFTPPorts | kUSBBackup | kNetBackup |
                                                        kCodepage},
                    Row{"Build555", {.build = 555}, kSmmspGroup | kFTPPorts | kUSBBackup | kNetBackup | kCodepage},
                    Row{"Build659", {.build = 659}, kFTPPorts | kUSBBackup | kNetBackup | kCodepage},
                    Row{"Build681", {.build = 681}, kUSBBackup | kNetBackup | kCodepage},
                    Row{"Build770", {.build = 770}, kNetBackup | kCodepage},
                    Row{"Build807", {.build = 807}, kCodepage},
                    Row{"Build808", {.build = 808}, 0}),
    [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

// ---- a migration that must succeed fails ----

struct Failure {
    const char *name;
    Installed installed;
    int result;
    const char *message;
};
void PrintTo(const Failure &f, std::ostream *os) { *os << f.name; }

class PrePatchFailure : public testing::TestWithParam<Failure>, public PrePatchUpdate {};

// The update ends before the partition list is read: the flash byte for
// byte as it was, no backup made, and no later migration has run.
TEST_P(PrePatchFailure, EndsTheUpdateWithTheFlashUntouched)
{
    const Failure &f = GetParam();
    Install(f.installed);
    ASSERT_FALSE(HasFatalFailure());
    vakotest::Keys info = kInfo;
    if (f.result == 21) {
        // Longer than the port key's room: it cannot be read.
        info.Set("ftplowport", std::string(128, '5'));
        vakotest::WriteFile(vakotest::kInfoFile, info.Text());
    } else {
        ks::SetFault(ks::kSandboxDir, {"/dev/mtd5", ks::FaultKind::FailIoctl, 1, VAKO_MEMUNLOCK, EPERM});
    }

    vakotest::RunResult r = Update();
    EXPECT_EQ(r.status, f.result) << r.err;
    EXPECT_TRUE(vakotest::SyslogMatches(f.message));
    EXPECT_TRUE(vakotest::SyslogHas("Failed to accomplish the update! (errno = " + std::to_string(f.result) + ")"));
    EXPECT_EQ(ks::Load(ks::kSandboxDir).image, chip_.image);
    EXPECT_FALSE(FileExists(package_.dir + "/b@ckup"));
    EXPECT_EQ(ReadFile(vakotest::kProgressFile).substr(0, 12), "A:-" + std::to_string(f.result) + ":      ");
    ExpectFiles(0, info);
    ASSERT_FALSE(HasFailure()) << testing::PrintToString(vakotest::SyslogTexts());
}

INSTANTIATE_TEST_SUITE_P(
    Each, PrePatchFailure,
    testing::Values(Failure{"FTPPortKeyUnreadable",
                            {.build = 659},
                            21,
                            "updater:{L}(UpdateFTPPassivePortRange) SLIBFileGetKeyValue(SZF_VAKO_INFO, "
                            "SZK_FTP_LOW_PORT) fail"},
                    Failure{"DirectoryNotUnlockable",
                            {vakotest::Layout::Junior, "vakora_powerpc_m88_1hd", 284},
                            20,
                            "updater:{L}(RecoverFISDirTable_M88_V284) VAKOMTDUnlockPartition(/dev/mtd5) fail"}),
    [](const testing::TestParamInfo<Failure> &info) { return std::string(info.param.name); });

} // namespace
