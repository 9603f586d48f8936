// Whole updates from installed builds chosen so that every migration flag is
// set by at least one of them, on the normal flash road: an appliance with
// a small file of every kind the migrations change, and each of those files
// checked after the run, as the flags of the build changed it or as it was.
// Beside the table: a bond that is not balance-alb stays as it is; and the
// updates that a migration ends: a pre-patch migration that must succeed
// (its result, the flash untouched) and an early configuration step (17,
// the flash rolled back).
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>

#include <errno.h>

#include <iterator>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "vako/kernel.h"
#include "vakotest/accounts.h"
#include "vakotest/autoblock.h"
#include "vakotest/chips.h"
#include "vakotest/eventlog.h"
#include "vakotest/files.h"
#include "vakotest/fixture.h"
#include "vakotest/hashorder.h"
#include "vakotest/kstub.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/pattern.h"
#include "vakotest/pgsql.h"
#include "vakotest/run.h"

namespace {

namespace ks = vakotest::kstub;
namespace pg = vakotest::pgsql;
using vakotest::FileExists;
using vakotest::FileMode;
using vakotest::ReadFile;

// ---- the flags: one bit each (gPhotoDbSteps as its two bits) ----

using Flags = uint64_t;
enum : Flags {
    kRemoveRcAtalk = Flags{1} << 0,
    kRemovePapdConf = Flags{1} << 1,
    kAddFTPAccounts = Flags{1} << 2,
    kRemoveProfile = Flags{1} << 3,
    kRemoveJumboFrameScript = Flags{1} << 4,
    kOldWriteableLayout = Flags{1} << 5,
    kRecoverFISDir = Flags{1} << 6,
    kLowerMTUValue = Flags{1} << 7,
    kPhotoColumns = Flags{1} << 8,
    kPhotoVideoTables = Flags{1} << 9,
    kUpdateRsyncdConf = Flags{1} << 10,
    kMoveMTUValue = Flags{1} << 11,
    kUpdateRsyncdSecrets = Flags{1} << 12,
    kUpdateSmmspGroup = Flags{1} << 13,
    kLimitFTPPortRange = Flags{1} << 14,
    kConvertUSBBackup = Flags{1} << 15,
    kChmodPhotoEaDir = Flags{1} << 16,
    kRewritePasswdHomes = Flags{1} << 17,
    kCreateUserConf = Flags{1} << 18,
    kConvertNetBackup = Flags{1} << 19,
    kAddMailUsers = Flags{1} << 20,
    kConvertCodepage = Flags{1} << 21,
    kCopyBond0MTU = Flags{1} << 22,
    kDropMediaServerDb = Flags{1} << 23,
    kConvertFTPWriteOnly = Flags{1} << 24,
    kDumpPgsqlDbs = Flags{1} << 25,
    kRemoveALB = Flags{1} << 26,
    kConvertFTPBlockIP = Flags{1} << 27,
    kLinkSqueezeCenterErrmsg = Flags{1} << 28,
    kRemoveEventTest = Flags{1} << 29,
    kRestrictSecretFiles = Flags{1} << 30,
};

const std::pair<Flags, const char *> kFlagNames[] = {
    {kRemoveRcAtalk, "gfRemoveRcAtalk"},
    {kRemovePapdConf, "gfRemovePapdConf"},
    {kAddFTPAccounts, "gfAddFTPAccounts"},
    {kRemoveProfile, "gfRemoveProfile"},
    {kRemoveJumboFrameScript, "gfRemoveJumboFrameScript"},
    {kOldWriteableLayout, "gfOldWriteableLayout"},
    {kRecoverFISDir, "gfRecoverFISDir"},
    {kLowerMTUValue, "gfLowerMTUValue"},
    {kPhotoColumns, "gPhotoDbSteps bit value 1"},
    {kPhotoVideoTables, "gPhotoDbSteps bit value 2"},
    {kUpdateRsyncdConf, "gfUpdateRsyncdConf"},
    {kMoveMTUValue, "gfMoveMTUValue"},
    {kUpdateRsyncdSecrets, "gfUpdateRsyncdSecrets"},
    {kUpdateSmmspGroup, "gfUpdateSmmspGroup"},
    {kLimitFTPPortRange, "gfLimitFTPPortRange"},
    {kConvertUSBBackup, "gfConvertUSBBackup"},
    {kChmodPhotoEaDir, "gfChmodPhotoEaDir"},
    {kRewritePasswdHomes, "gfRewritePasswdHomes"},
    {kCreateUserConf, "gfCreateUserConf"},
    {kConvertNetBackup, "gfConvertNetBackup"},
    {kAddMailUsers, "gfAddMailUsers"},
    {kConvertCodepage, "gfConvertCodepage"},
    {kCopyBond0MTU, "gfCopyBond0MTU"},
    {kDropMediaServerDb, "gfDropMediaServerDb"},
    {kConvertFTPWriteOnly, "gfConvertFTPWriteOnly"},
    {kDumpPgsqlDbs, "gfDumpPgsqlDbs"},
    {kRemoveALB, "gfRemoveALB"},
    {kConvertFTPBlockIP, "gfConvertFTPBlockIP"},
    {kLinkSqueezeCenterErrmsg, "gfLinkSqueezeCenterErrmsg"},
    {kRemoveEventTest, "gfRemoveEventTest"},
    {kRestrictSecretFiles, "gfRestrictSecretFiles"},
};

// What only the normal flash road runs: the pre-patch migrations, the photo
// folders' rights and the databases.
constexpr Flags kNormalRoadOnly = kRecoverFISDir | kLimitFTPPortRange | kUpdateRsyncdConf | kUpdateRsyncdSecrets |
                                  kUpdateSmmspGroup | kConvertUSBBackup | kConvertNetBackup | kConvertCodepage |
                                  kChmodPhotoEaDir | kPhotoColumns | kPhotoVideoTables | kDropMediaServerDb |
                                  kDumpPgsqlDbs;

// ---- the appliance before the update ----

const vakotest::Keys kInfo{{"hostname", "nas"},
                           {"ftplowport", "55000"},
                           {"ftphighport", "55300"},
                           {"codepage", "950"},
                           {"codepage_mediaservice", "932"},
                           {"codepage_apple", "10000"},
                           {"usbbkpshares", ""},
                           {"usbbkpid", "20080131235959-0001"},
                           {"usbbkpresult", "ok"},
                           {"MTUValue", "9000"},
                           {"eth0_mtu", "7000"},
                           {"download_enabled", "yes"},
                           {"ftpipautodeny", "yes"},
                           {"eventtest", "yes"},
                           {"autoblock_attempts", "3"},
                           {"autoblock_attempt_min", "10"},
                           {"autoblock_expriedday", "7"},
                           {"autoblock_notify", "no"}};

// Obsolete files: the ones flags remove, and the two every update removes.
struct Obsolete {
    const char *path;
    Flags flag; // 0: every update
};
const Obsolete kObsolete[] = {
    {"/usr/vako/etc/rc.atalk", kRemoveRcAtalk}, {"/usr/vako/etc/papd.conf", kRemovePapdConf},
    {"/etc/profile", kRemoveProfile},           {"/usr/vako/etc/rc.d/S78JumboFrame.sh", kRemoveJumboFrameScript},
    {"/usr/vako/etc/manutil.conf", 0},          {"/etc/rc", kOldWriteableLayout},
    {"/etc/fstab", kOldWriteableLayout},        {"/usr/vako/etc/php.ini", 0}};

// The old writeable layout's configuration and logs, saved on the volume.
const std::string kSavedDir = "/volume1/s@vedconfig";

// The rsync service.
const std::string kRsyncdConfBefore =
    "uid = root\nlock file = /var/run/rsyncd.lock\nsecrets file = /etc/rsyncd.secrets\n";
const std::string kRsyncdConfAfter =
    "uid = root\nlock file = /var/run/rsyncd.lock\nuse chroot = no\nsecrets file = /etc/rsyncd.secrets\n";
const std::string kSecretsBefore = "root:abcdefghijklm|QUJD\nrsync:nopqrstuvwxyz|pa$$\nno bar\n";
const std::string kSecretsAfter = "root:abcdefghijklm|QUJD\nrsync:nopqrstuvwxyz|cGEkJAA=\n";

// Accounts: a user-made account "ftp", homes of an older layout, the mail
// group without admin, no mail service accounts yet.
constexpr char kEventLog[] = "/var/log/vakosys.log";
const vakotest::AccountFiles kAccounts = {
    "root:x:0:0:root:/root:/bin/sh\n"
    "admin:x:1024:100:System default user:/home/admin:/bin/sh\n"
    "guest:x:1025:100:Guest:/nonexist:/sbin/nologin\n"
    "alice:x:1026:100:Alice:/home/alice:/bin/sh\n"
    "ftp:x:1030:100:FTP fan:/home/ftp:/bin/sh\n",
    "root:$1$Rt$Ea9sRo/vB1WnRWhGbeBQd1:15000:0:99999:7:::\n"
    "admin:$1$Ad$0.1Vy4C2TzX9HskzOZ2gi/:15000:0:99999:7:::\n"
    "guest:!:15000:0:99999:7:::\n"
    "alice:$1$xy$GSi9DZ/itmn9/ge6aijPn/:15000:0:99999:7:::\n"
    "ftp:$1$Ft$k0zTvJbDuLFMUE3qVDTZS/:15000:0:99999:7::20000:\n",
    "#$_@UID__INDEX@_$1030$\n"
    "# record user misc, format \"user_name:user_privilege:user_mail\"\n"
    "admin:5:\n"
    "alice:0:\n"
    "ftp:0:\n",
    "admin:1024:E52CAC67419A9A224A3B108F3FA6CB6D:8846F7EAEE8FB117AD06BDD830B7586C:[U          ]:LCT-5F5E1000:\n"
    "guest:1025:AAD3B435B51404EEAAD3B435B51404EE:31D6CFE0D16AE931B73C59D7E0C089C0:[U          ]:LCT-5F5E1000:\n"
    "alice:1026:E52CAC67419A9A224A3B108F3FA6CB6D:8846F7EAEE8FB117AD06BDD830B7586C:[U          ]:LCT-5F5E1000:\n"
    "ftp:1030:0123456789ABCDEF0123456789ABCDEF:FEDCBA9876543210FEDCBA9876543210:[U          ]:LCT-5F5E1000:\n",
};
std::string Groups(const std::string &smmsp)
{
    return "#$_@GID__INDEX@_$65536$\nroot:x:0:\n" + smmsp + "\nusers:x:100:\nstaff:x:65536:alice\n";
}
const vakotest::GroupFiles kGroups = {Groups("smmsp:x:25:mailer,nobody"), "users:All local users\n"};

// Shares: one whose FTP users may only upload, one named after the option.
const std::string kShares = "[global]\n\tworkgroup=WORKGROUP\n"
                            "[public]\n\tpath=/volume1/public\n\tftp write only=yes\n"
                            "[ftp write only]\n\tpath=/volume1/ftp write only\n\tftp write only=no\n"
                            "[usbshare1]\n\tpath=/volumeUSB1/usbshare\n"
                            "[photo]\n\tpath=/volume1/photo\n";
const std::string kSharesAfter = "[global]\n\tworkgroup=WORKGROUP\n"
                                 "[public]\n\tpath=/volume1/public\n"
                                 "\tftp disable list=yes\n\tftp disable modify=yes\n\tftp disable download=yes\n"
                                 "[ftp write only]\n\tpath=/volume1/ftp write only\n"
                                 "[usbshare1]\n\tpath=/volumeUSB1/usbshare\n"
                                 "[photo]\n\tpath=/volume1/photo\n";

// The crontab: the old USB backup's schedule, and the lines every update drops.
const std::string kUsbSchedule = "30\t2\t*\t*\t1,3,5\troot\t/usr/vako/bin/vakousbbkp -b\n";
const std::string kDroppedSchedules = "0 3 * * * root /usr/bin/vacuumdb -a\n"
                                      "10 1 * * * root /bin/rm -f /var/log/*.html\n";
const std::string kOtherSchedule = "15 4 * * * root /usr/vako/bin/other\n";
const std::string kMovedSchedule = "30\t2\t*\t*\t1,3,5\troot\t/usr/vako/bin/vakolocalbkp -a \"MyBackupSet\"\n";

// Backup sets: a network set, its saved configuration, the local set the
// USB backup keys become.
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
const std::string kLocalSet = "\n[MyBackupSet]\n" +
                              vakotest::BackupSetLines({{"dest_type", "usbbkp"},
                                                        {"dest_share", "usbbackup"},
                                                        {"bkp_shares", "ftp write only,photo,public"},
                                                        {"bkp_apps", ""},
                                                        {"last_bkp_time", "2008/01/31 23:59"},
                                                        {"last_bkp_result", "ok"},
                                                        {"dest_id", "20080131235959-0001"},
                                                        {"incrbkp", "0"}});
const std::string kSavedConfig = std::string(vakotest::kNetBackupDir) + "/office/configbackup.dss";
const std::string kMovedConfig = std::string(vakotest::kNetBackupDir) + "/office/@app/configbackup.dss";

// The FTP deny list: two FTP clients and a rule of another service.
const std::string kHostsDeny = "in.ftpd: 10.0.0.9\nALL: 10.0.0.0/8\nin.ftpd: 192.168.1.20\n";

// The photo folders' thumbnail directories.
const std::string kEaDir = "/var/services/photo/trip/@eaDir";
const std::string kThumb = kEaDir + "/a.jpg";

// Network: bond0 in balance-alb mode over eth0 and eth1.
const std::string kScripts = "/etc/sysconfig/network-scripts";
std::string Ifcfg(const std::string &name) { return kScripts + "/ifcfg-" + name; }
const std::string kAlbBond = "DEVICE=bond0\nBOOTPROTO=static\nONBOOT=yes\nIPADDR=192.168.7.2\nNETMASK=255.255.255.0\n"
                             "USERCTL=no\nBONDING_OPTS=\"mode=balance-alb use_carrier=0 miimon=100 updelay=100\"\n";
const std::string kBackupBond =
    "DEVICE=bond0\nBOOTPROTO=static\nONBOOT=yes\nIPADDR=192.168.7.2\nNETMASK=255.255.255.0\nUSERCTL=no\n"
    "BONDING_OPTS=\"mode=active-backup use_carrier=0 miimon=100 updelay=100 primary=eth0\"\n";
std::string Slave(const std::string &name)
{
    return "DEVICE=" + name + "\nBOOTPROTO=none\nONBOOT=yes\nUSERCTL=no\nSLAVE=yes\nMASTER=bond0\n";
}

// The slaves do not count as interfaces; bond0 stands alone.
void MakeBond0Alone()
{
    for (const char *args : {"link del eth0", "link add bond0 type veth peer name bondpeer", "link set bond0 up"}) {
        std::string cmd = std::string("/bin/ip ") + args;
        ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
    }
}

// The calls of the network service script.
std::string NetworkCalls()
{
    std::string calls, line;
    std::istringstream in(FileExists(vakotest::kStandinCalls) ? ReadFile(vakotest::kStandinCalls) : "");
    while (std::getline(in, line))
        if (line.starts_with("rc.network"))
            calls += line + "\n";
    return calls;
}

// ---- the appliance after the update ----

// The settings as the analysis and the migrations of `ran` rewrite them,
// in the order they run.
std::string InfoAfter(Flags ran, vakotest::Keys info = kInfo)
{
    if (ran & kOldWriteableLayout)
        info.Set("defaultfs", "ext3");
    if (ran & kLimitFTPPortRange)
        info.Set("ftphighport", "55127");
    if (ran & kConvertUSBBackup)
        info.Erase("usbbkpshares").Erase("usbbkpid").Erase("usbbkpresult");
    if (ran & kConvertCodepage)
        info.Set("codepage", "cht").Set("codepage_mediaservice", "jpn").Erase("codepage_apple");
    if (ran & kLowerMTUValue)
        info.Set("MTUValue", "8000");
    if (ran & kMoveMTUValue)
        info.Set("eth0_mtu", *info.Get("MTUValue")).Erase("MTUValue");
    if (ran & kCopyBond0MTU)
        info.Set("bond0_mtu", *info.Get("eth0_mtu"));
    if (ran & kConvertFTPBlockIP)
        info.Set("autoblock_attempts", "5").Set("autoblock_expriedday", "0").Erase("ftpipautodeny");
    if (ran & kRemoveEventTest)
        info.Erase("eventtest");
    return info.Text();
}

// The accounts steps: the FTP accounts (the user-made "ftp" gets a copy
// named ftp1 and keeps its name, so only "anonymous" and the group are
// added), the homes, the per-user file and the mail service accounts.
void ExpectAccounts(Flags ran)
{
    const std::string mailGroups = "dovecot:x:143:dovecot\nmaildrop:x:126:\npostfix:x:125:postfix\n";
    const std::string mailPasswd = "dovecot:x:143:143:Dovecot User:/nonexist:/sbin/nologin\n"
                                   "postfix:x:125:125:Postfix User:/nonexist:/sbin/nologin\n";
    const std::string mailShadow = "dovecot:*:10933:0:99999:7:::\npostfix:*:10933:0:99999:7:::\n";
    bool ftp = ran & kAddFTPAccounts, mail = ran & kAddMailUsers, homes = ran & kRewritePasswdHomes;

    std::string passwd = mail ? mailPasswd : "";
    std::string shadow = mail ? mailShadow : "";
    std::string group = mail ? mailGroups : "";
    std::string smbpasswd = kAccounts.smbpasswd;
    if (ftp) {
        passwd += "anonymous:x:21:21:Anonymous FTP User:/nonexist:/sbin/nologin\n";
        shadow += "anonymous:*:10933:0:99999:7:::\n";
        group += "ftp:x:21:nobody,ftp,nobody\n";
        smbpasswd += "ftp1:1031:0123456789ABCDEF0123456789ABCDEF:FEDCBA9876543210FEDCBA9876543210:[U          ]:"
                     "LCT-{*}:\n";
    }
    passwd += homes ? "root:x:0:0:root:/root:/bin/sh\n"
                      "admin:x:1024:100:System default user:/var/services/homes/admin:/bin/sh\n"
                      "guest:x:1025:100:Guest:/nonexist:/sbin/nologin\n"
                      "alice:x:1026:100:Alice:/var/services/homes/alice:/bin/sh\n"
                      "ftp:x:1030:100:FTP fan:/var/services/homes/ftp:/bin/sh\n"
                    : kAccounts.passwd;
    if (ftp) {
        passwd += "ftp1:x:1031:100:FTP fan:/var/services/homes/ftp1:\n";
        shadow += "root:{*}\nalice:$1$xy$GSi9DZ/itmn9/ge6aijPn/:15000:0:99999:7:::\n"
                  "ftp:$1$Ft$k0zTvJbDuLFMUE3qVDTZS/:15000:0:99999:7::20000:\n"
                  "ftp1:$1$Ft$k0zTvJbDuLFMUE3qVDTZS/:{*}:0:99999:7::20000:\n";
    } else {
        shadow += kAccounts.shadow;
    }
    std::string userConf = kAccounts.vakouserConf;
    if (ran & kCreateUserConf)
        userConf = ftp ? "alice:11:alice@example.com\nftp:11:\nftp1:11:\n" : "alice:11:alice@example.com\nftp:11:\n";

    vakotest::AccountFiles now = vakotest::ReadAccountFiles();
    EXPECT_EQ(now.passwd, passwd);
    EXPECT_TRUE(vakotest::LogPatternMatches(shadow, now.shadow)) << now.shadow;
    EXPECT_EQ(now.vakouserConf, userConf);
    EXPECT_TRUE(vakotest::LogPatternMatches(smbpasswd, now.smbpasswd)) << now.smbpasswd;
    group += Groups(ran & kUpdateSmmspGroup ? "smmsp:x:25:mailer,admin,nobody" : "smmsp:x:25:mailer,nobody");
    EXPECT_EQ(vakotest::ReadGroupFiles(), (vakotest::GroupFiles{group, kGroups.groupDesc}));

    // Files holding password hashes lose the rights of others.
    unsigned secret = ran & kRestrictSecretFiles ? 0640 : 0644;
    EXPECT_EQ(FileMode(vakotest::kShadowFile), secret);
    EXPECT_EQ(FileMode(vakotest::kSmbPasswdFile), secret);
}

void ExpectPrePatchFiles(Flags ran)
{
    EXPECT_EQ(ReadFile(vakotest::kRsyncdConf), ran & kUpdateRsyncdConf ? kRsyncdConfAfter : kRsyncdConfBefore);
    EXPECT_EQ(FileMode(vakotest::kRsyncdConf), ran & kUpdateRsyncdConf ? 0644u : 0600u);
    EXPECT_EQ(ReadFile(vakotest::kRsyncdSecrets), ran & kUpdateRsyncdSecrets ? kSecretsAfter : kSecretsBefore);
    bool fSecretsRestricted = ran & (kUpdateRsyncdConf | kUpdateRsyncdSecrets);
    EXPECT_EQ(FileMode(vakotest::kRsyncdSecrets), fSecretsRestricted ? 0640u : 0644u);
    EXPECT_EQ(vakotest::FileGid(vakotest::kRsyncdSecrets), fSecretsRestricted ? 25u : 0u);
    EXPECT_EQ(vakotest::FileUid(vakotest::kRsyncdSecrets), 0u);
    EXPECT_FALSE(FileExists(std::string(vakotest::kRsyncdSecrets) + ".tmp"));

    if (ran & kConvertUSBBackup) {
        EXPECT_EQ(ReadFile(vakotest::kLocalBkpConf), kLocalSet);
    } else {
        EXPECT_FALSE(FileExists(vakotest::kLocalBkpConf));
    }
    EXPECT_EQ(ReadFile(vakotest::kNetBkpConf), ran & kConvertNetBackup ? kNetSetsAfter : kNetSetsBefore);
    EXPECT_EQ(FileMode(vakotest::kNetBkpConf), 0600u);
    EXPECT_EQ(ReadFile(ran & kConvertNetBackup ? kMovedConfig : kSavedConfig), "office cfg");
    EXPECT_FALSE(FileExists(ran & kConvertNetBackup ? kSavedConfig : kMovedConfig));
}

// The configuration update filters the crontab on every update; the USB
// backup's schedule moves.
std::string CrontabAfter(Flags ran, bool fConfigUpdate)
{
    return "SHELL=/bin/sh\n" + (ran & kConvertUSBBackup ? kOtherSchedule + kMovedSchedule : kUsbSchedule) +
           (fConfigUpdate ? "" : kDroppedSchedules) + (ran & kConvertUSBBackup ? "" : kOtherSchedule);
}

void ExpectObsoleteFiles(Flags ran, bool fConfigUpdate)
{
    for (const Obsolete &o : kObsolete)
        EXPECT_EQ(FileExists(o.path), o.flag ? !(ran & o.flag) : !fConfigUpdate) << o.path;
    if (ran & kOldWriteableLayout) {
        EXPECT_EQ(vakotest::ListDir(kSavedDir), (std::vector<std::string>{"messages", "network.conf"}));
        EXPECT_EQ(ReadFile(kSavedDir + "/network.conf"), "config\n");
        EXPECT_EQ(ReadFile(kSavedDir + "/messages"), "log\n");
    } else {
        EXPECT_FALSE(FileExists(kSavedDir));
    }
    EXPECT_EQ(FileMode(kEaDir), ran & kChmodPhotoEaDir ? 0777u : 0700u);
    EXPECT_EQ(FileMode(kThumb), ran & kChmodPhotoEaDir ? 0777u : 0600u);
    EXPECT_EQ(FileMode("/var/services/photo/trip"), 0755u);
}

// The system event log: the copy of the user-made "ftp", then each FTP
// client blocked (event and first text).
void ExpectEvents(Flags ran)
{
    std::vector<std::pair<uint32_t, std::string>> want, events;
    if (ran & kAddFTPAccounts)
        want.emplace_back(0x11800e02, "ftp");
    if (ran & kConvertFTPBlockIP) {
        want.emplace_back(0x12A00003, "10.0.0.9");
        want.emplace_back(0x12A00003, "192.168.1.20");
    }
    if (FileExists(kEventLog))
        for (const vakotest::evlog::Rec &r : vakotest::evlog::Live(ReadFile(kEventLog)))
            events.emplace_back(r.event, r.s[0]);
    EXPECT_EQ(events, want);
}

// The FTP deny list's clients in the auto-block list, added during the run
// [t0, t1]; the media server's message files linked to the system's.
void ExpectServiceFiles(Flags ran, uint32_t t0, uint32_t t1)
{
    EXPECT_EQ(ReadFile(vakotest::kSmbConf), ran & kConvertFTPWriteOnly ? kSharesAfter : kShares);
    if (ran & kConvertFTPBlockIP) {
        EXPECT_EQ(ReadFile(vakotest::kHostsDeny), "ALL: 10.0.0.0/8\n");
        std::string list = ReadFile(vakotest::kAutoBlockList);
        ASSERT_EQ(list.size(), 16u);
        uint32_t added[2] = {vakotest::AutoBlockTime(list, 0), vakotest::AutoBlockTime(list, 1)};
        for (uint32_t t : added) {
            EXPECT_GE(t, t0);
            EXPECT_LE(t, t1);
        }
        EXPECT_EQ(list, vakotest::AutoBlockRecord(added[0], "10.0.0.9") +
                            vakotest::AutoBlockRecord(added[1], "192.168.1.20"));
    } else {
        EXPECT_EQ(ReadFile(vakotest::kHostsDeny), kHostsDeny);
        EXPECT_FALSE(FileExists(vakotest::kAutoBlockList));
    }
    bool linked = ran & kLinkSqueezeCenterErrmsg;
    EXPECT_EQ(vakotest::LinkTarget(vakotest::kSqueezeErrmsgSys), linked ? vakotest::kSystemErrmsgSys : "<no link>");
    EXPECT_EQ(vakotest::LinkTarget(vakotest::kSqueezeErrmsgTxt), linked ? vakotest::kSystemErrmsgTxt : "<no link>");
    EXPECT_EQ(ReadFile(vakotest::kSqueezeErrmsgSys), linked ? "system sys\n" : "package sys\n");
    EXPECT_EQ(ReadFile(vakotest::kSqueezeErrmsgTxt), linked ? "system txt\n" : "package txt\n");
}

void ExpectNetworkFiles(Flags ran)
{
    EXPECT_EQ(vakotest::ListDir(kScripts), (std::vector<std::string>{"ifcfg-bond0", "ifcfg-eth0", "ifcfg-eth1"}));
    EXPECT_EQ(ReadFile(Ifcfg("bond0")), ran & kRemoveALB ? kBackupBond : kAlbBond);
    EXPECT_EQ(ReadFile(Ifcfg("eth0")), Slave("eth0"));
    EXPECT_EQ(ReadFile(Ifcfg("eth1")), Slave("eth1"));
}

// The calls of the database service, its tools and the indexer; the
// databases as the migration left them.
void ExpectDatabases(Flags ran)
{
    bool columns = ran & kPhotoColumns, video = ran & kPhotoVideoTables, drop = ran & kDropMediaServerDb,
         dump = ran & kDumpPgsqlDbs;
    const std::string dumpDir = std::string(vakotest::kVolume) + "/.@pgsql_upgrade";
    if (!columns && !video && !drop && !dump) {
        EXPECT_EQ(pg::Calls(), "");
        EXPECT_FALSE(FileExists(dumpDir));
        return;
    }
    std::string calls = pg::kCallStart;
    if (columns)
        calls += std::string(pg::kCallAlterTimetaken) + pg::kCallAddAdmin;
    if (video)
        calls += std::string(pg::kCallVideoComment) + pg::kCallVideoDesc;
    if (drop)
        calls += pg::kCallDrop;
    if (dump)
        calls += pg::kCallDumps;
    EXPECT_EQ(pg::Calls(), calls + pg::kCallIndex);
    EXPECT_EQ(vakotest::SyslogCount("Update photo db to add video tables", LOG_ERR), video ? 1 : 0);

    // The service the updater started still runs.
    ASSERT_EQ(pg::Service("status"), 0);
    EXPECT_EQ(pg::PhotoSchema(), pg::PhotoSchemaAfter(columns, video));
    EXPECT_EQ(pg::HasDatabase("mediaserver"), !drop);
    for (const std::string db : pg::kDumped)
        EXPECT_TRUE(pg::HasDatabase(db)) << db;
    if (!dump) {
        EXPECT_FALSE(FileExists(dumpDir));
        return;
    }
    EXPECT_EQ(vakotest::ListDir(dumpDir),
              std::vector<std::string>(std::begin(pg::kDumpFiles), std::end(pg::kDumpFiles)));
    for (const std::string db : pg::kDumped)
        EXPECT_EQ(pg::MaskRestrictKey(ReadFile(dumpDir + "/" + db + ".sql")), pg::Dump(db)) << db;
}

// ---- the runs ----

enum class Road { Normal, Second };

struct Installed {
    vakotest::Layout layout = vakotest::Layout::Normal;
    std::string unique = "vakora_powerpc_demo";
    int build = 1000;
    bool bond0Alone = false; // bond0 is the only interface up
    Road road = Road::Normal;
};

class MigrationsUpdate {
public:
    void Install(const Installed &installed, bool fWithImage = false)
    {
        vakotest::Appliance appliance;
        appliance.layout = installed.layout;
        appliance.version.Set("buildnumber", std::to_string(installed.build));
        appliance.defaults.Set("unique", installed.unique).Set("maxshares", "32").Set("defaultfs", "ext3");
        appliance.info = kInfo;
        for (const Obsolete &o : kObsolete)
            appliance.files[o.path] = "obsolete\n";
        appliance.files["/writeable/configs/network.conf"] = "config\n";
        appliance.files["/writeable/logs/messages"] = "log\n";
        appliance.files[vakotest::kRsyncdConf] = kRsyncdConfBefore;
        appliance.files[vakotest::kRsyncdSecrets] = kSecretsBefore;
        appliance.files[vakotest::kMailKeys] = "alice=\"alice@example.com\"\n";
        appliance.files[vakotest::kSmbConf] = kShares;
        appliance.files[vakotest::kCrontab] = "SHELL=/bin/sh\n" + kUsbSchedule + kDroppedSchedules + kOtherSchedule;
        appliance.files[vakotest::kNetBkpConf] = kNetSetsBefore;
        appliance.files[kSavedConfig] = "office cfg";
        appliance.files[vakotest::kHostsDeny] = kHostsDeny;
        appliance.files[vakotest::kSqueezeErrmsgSys] = "package sys\n";
        appliance.files[vakotest::kSqueezeErrmsgTxt] = "package txt\n";
        appliance.files[vakotest::kSystemErrmsgSys] = "system sys\n";
        appliance.files[vakotest::kSystemErrmsgTxt] = "system txt\n";
        appliance.files[Ifcfg("bond0")] = kAlbBond;
        appliance.files[Ifcfg("eth0")] = Slave("eth0");
        appliance.files[Ifcfg("eth1")] = Slave("eth1");
        appliance.kernelFiles["/sys/class/net/bond0/bonding/slaves"] = "eth0 eth1\n";
        appliance.kernelFiles["/sys/class/net/bond0/bonding/mode"] = "balance-alb 6\n";
        appliance.flash = installed.road == Road::Second ? vakotest::SecondRoadFlash(vakotest::kNormalUnits, {1})
                                                         : vakotest::LayoutFlash(installed.layout);
        vakotest::Install(appliance);
        vakotest::WriteAccountFiles(kAccounts);
        vakotest::WriteGroupFiles(kGroups);
        vakotest::MakeDirs("/home/admin");
        vakotest::WriteFile(kThumb, "thumbnail\n", 0600);
        ASSERT_EQ(chmod(kEaDir.c_str(), 0700), 0);
        // Old builds left the files of password hashes readable by all.
        ASSERT_EQ(chmod(vakotest::kShadowFile, 0644), 0);
        ASSERT_EQ(chmod(vakotest::kSmbPasswdFile, 0644), 0);
        ASSERT_EQ(chmod(vakotest::kRsyncdConf, 0600), 0);
        ASSERT_EQ(chmod(vakotest::kNetBkpConf, 0600), 0);
        ASSERT_EQ(chmod(vakotest::kRsyncdSecrets, 0644), 0);
        ASSERT_EQ(chown(vakotest::kRsyncdSecrets, 0, 0), 0);
        if (installed.bond0Alone)
            MakeBond0Alone();

        package_.version.Set("unique", installed.unique);
        if (installed.road == Road::Second)
            package_.images["zImage"] = vakotest::Pattern(100 * vakotest::kUnit + 3, 43);
        else if (fWithImage)
            package_.images["zImage"] = std::string(0x30000, 'z');
        vakotest::Install(package_);
        chip_ = ks::Load(ks::kSandboxDir);
        vakotest::SyslogClear();
    }

    // Installed builds up to 350 ask for a fresh boot: the clock starts at 10 s.
    vakotest::RunResult Update()
    {
        t0_ = static_cast<uint32_t>(time(nullptr));
        vakotest::RunResult r = vakotest::Run({package_.UpdaterPath()}, {.cwd = "/", .uptime = 10});
        t1_ = static_cast<uint32_t>(time(nullptr));
        return r;
    }

    // Every file a migration changes: as `ran` changed it, or as it was;
    // the configuration update's steps of every update ran or not.
    void ExpectFiles(Flags ran, bool fConfigUpdate = true, const vakotest::Keys &info = kInfo)
    {
        EXPECT_EQ(ReadFile(vakotest::kInfoFile), InfoAfter(ran, info));
        ExpectPrePatchFiles(ran);
        ExpectAccounts(ran);
        EXPECT_EQ(ReadFile(vakotest::kCrontab), CrontabAfter(ran, fConfigUpdate));
        ExpectObsoleteFiles(ran, fConfigUpdate);
        ExpectServiceFiles(ran, t0_, t1_);
        ExpectNetworkFiles(ran);
        ExpectEvents(ran);
        EXPECT_EQ(NetworkCalls(), ran & kRemoveALB ? "rc.network stop\nrc.network start\n" : "");
        ExpectDatabases(ran);
    }

    vakotest::Package package_;
    ks::Chip chip_;
    uint32_t t0_ = 0, t1_ = 0;
};

// ---- every flag set by at least one installed build ----

struct Row {
    const char *name;
    Installed installed;
    Flags flags; // the flags that build sets
};
void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

// Newest first: each build needs the migrations of the one before it and more.
constexpr Flags k960 = kRestrictSecretFiles;
constexpr Flags k902 = k960 | kRemoveEventTest;
constexpr Flags k887 = k902 | kLinkSqueezeCenterErrmsg;
constexpr Flags k886 = k887 | kRemoveALB | kConvertFTPBlockIP;
constexpr Flags k882 = k886 | kDumpPgsqlDbs;
constexpr Flags k867 = k882 | kDropMediaServerDb | kConvertFTPWriteOnly;
constexpr Flags k807 = k867 | kConvertCodepage;
constexpr Flags k775 = k807 | kAddMailUsers;
constexpr Flags k770 = k775 | kRewritePasswdHomes | kCreateUserConf | kConvertNetBackup;
constexpr Flags k702 = k770 | kChmodPhotoEaDir;
constexpr Flags k681 = k702 | kConvertUSBBackup;
constexpr Flags k659 = k681 | kLimitFTPPortRange;
constexpr Flags k555 = k659 | kUpdateSmmspGroup;
constexpr Flags k552 = k555 | kUpdateRsyncdSecrets;
constexpr Flags k547 = k552 | kMoveMTUValue;
constexpr Flags k483 = k547 | kUpdateRsyncdConf;
// The photo database's steps are due only for builds from 401 on.
constexpr Flags k481 = k483 | kPhotoVideoTables;
constexpr Flags k424 = k481 | kPhotoColumns;
constexpr Flags k308 = k483 | kLowerMTUValue;
constexpr Flags k251 = k308 | kRemoveJumboFrameScript;
constexpr Flags k250 = k251 | kRemoveProfile;
constexpr Flags k229 = k250 | kAddFTPAccounts;
constexpr Flags k210 = k229 | kRemovePapdConf;
constexpr Flags k107 = k210 | kRemoveRcAtalk;

const Row kRows[] = {
    {"Build107", {.build = 107}, k107},
    {"Build210", {.build = 210}, k210},
    {"Build229", {.build = 229}, k229},
    {"Build250", {.build = 250}, k250},
    {"Build251", {.build = 251}, k251},
    // The old writeable layout: builds up to 261 of four models.
    {"Build261OldWriteableLayout", {.unique = "palvix_powerpc_1hd", .build = 261}, k308 | kOldWriteableLayout},
    // The FIS directory recovery: build 284 of one junior model.
    {"Junior284OfTheModel", {vakotest::Layout::Junior, "vakora_powerpc_m88_1hd", 284}, k308 | kRecoverFISDir},
    {"Build308", {.build = 308}, k308},
    {"Build424", {.build = 424}, k424},
    {"Build481", {.build = 481}, k481},
    {"Build483", {.build = 483}, k483},
    {"Build547", {.build = 547}, k547},
    {"Build552", {.build = 552}, k552},
    {"Build555", {.build = 555}, k555},
    {"Build659", {.build = 659}, k659},
    {"Build681", {.build = 681}, k681},
    {"Build702", {.build = 702}, k702},
    {"Build770", {.build = 770}, k770},
    {"Build775", {.build = 775}, k775},
    {"Build807", {.build = 807}, k807},
    // bond0's MTU key: builds up to 865 whose only interface is bond0.
    {"Build865Bond0Alone", {.build = 865, .bond0Alone = true}, k867 | kCopyBond0MTU},
    {"Build867", {.build = 867}, k867},
    {"Build882", {.build = 882}, k882},
    {"Build886", {.build = 886}, k886},
    {"Build887", {.build = 887}, k887},
    {"Build902", {.build = 902}, k902},
    {"Build960", {.build = 960}, k960},
    {"Build961", {.build = 961}, 0},
};

TEST(InstalledBuilds, EveryFlagIsSetByARow)
{
    Flags all = 0, covered = 0;
    for (const auto &[flag, name] : kFlagNames) {
        EXPECT_EQ(all & flag, 0u) << name << " shares its bit";
        all |= flag;
    }
    for (const Row &row : kRows)
        covered |= row.flags;
    for (const auto &[flag, name] : kFlagNames)
        EXPECT_TRUE(covered & flag) << name << " is set by no installed build of the table";
    EXPECT_EQ(covered & ~all, 0u) << "a row sets a flag that has no name";
}

class Migrations : public testing::TestWithParam<Row>, public MigrationsUpdate {
protected:
    void TearDown() override { EXPECT_EQ(pg::Service("stop"), 0); }
};

TEST_P(Migrations, FilesAfterTheUpdate)
{
    const Row &row = GetParam();
    Install(row.installed);
    ASSERT_FALSE(HasFatalFailure());
    vakotest::RunResult r = Update();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(vakotest::SyslogHas("Congratulation!! The update has been completed!!"));

    // The migrations' own messages tell of failures; the old writeable
    // layout's analysis notes the file system type it had to look up.
    std::vector<std::string> messages;
    for (const vakotest::SyslogLine &l : vakotest::SyslogLines())
        if (l.level == LOG_ERR && l.text.starts_with("updater"))
            messages.push_back(l.text);
    if (row.flags & kOldWriteableLayout) {
        ASSERT_EQ(messages.size(), 1u) << testing::PrintToString(messages);
        EXPECT_TRUE(vakotest::LogPatternMatches(
            "updater:{L}(ErrUPDTIAnalyze_WholeSystem): can not get [defaultfs] in [/etc/vakoinfo.conf]", messages[0]));
    } else {
        EXPECT_EQ(messages, std::vector<std::string>{});
    }
    Flags ran = row.installed.road == Road::Normal ? row.flags : row.flags & ~kNormalRoadOnly;
    ExpectFiles(ran);
    if (ran & kRecoverFISDir) {
        EXPECT_EQ(vakotest::RecoveredJuniorDirectoryMismatch(), "");
    } else if (row.installed.road == Road::Normal) {
        // The package brings no image: the flash stays as it was.
        EXPECT_EQ(ks::Load(ks::kSandboxDir).image, chip_.image);
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, Migrations, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

// The second flash road runs the configuration update but neither the
// pre-patch migrations nor the photo folders and the databases.
INSTANTIATE_TEST_SUITE_P(SecondRoad, Migrations,
                         testing::Values(Row{"Build229OnTheSecondRoad", {.build = 229, .road = Road::Second}, k229}),
                         [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

// Build 886 still turns a balance-alb bond0 into active-backup; an 802.3ad
// bond0 keeps its files, and the network is not restarted.
TEST(NetworkMigrationUpdate, An8023adBondStaysAsItIs)
{
    const std::string lacpBond = "DEVICE=bond0\nBOOTPROTO=dhcp\nONBOOT=yes\nUSERCTL=no\n"
                                 "BONDING_OPTS=\"mode=4 use_carrier=0 miimon=100 updelay=100 lacp_rate=fast\"\n";
    vakotest::Appliance appliance;
    appliance.version.Set("buildnumber", "886");
    appliance.flash = vakotest::LayoutFlash(vakotest::Layout::Normal);
    appliance.info = vakotest::Keys{{"hostname", "nas"}, {"eth0_mtu", "9000"}};
    appliance.files[Ifcfg("bond0")] = lacpBond;
    appliance.files[Ifcfg("eth0")] = Slave("eth0");
    appliance.files[Ifcfg("eth1")] = Slave("eth1");
    appliance.kernelFiles["/sys/class/net/bond0/bonding/slaves"] = "eth0 eth1\n";
    appliance.kernelFiles["/sys/class/net/bond0/bonding/mode"] = "802.3ad 4\n";
    vakotest::Install(appliance);
    MakeBond0Alone();
    vakotest::Package package;
    package.images["zImage"] = std::string(0x30000, 'z');
    vakotest::Install(package);

    vakotest::RunResult r = vakotest::Run({package.UpdaterPath()}, {.cwd = "/"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(vakotest::ListDir(kScripts), (std::vector<std::string>{"ifcfg-bond0", "ifcfg-eth0", "ifcfg-eth1"}));
    EXPECT_EQ(ReadFile(Ifcfg("bond0")), lacpBond);
    EXPECT_EQ(ReadFile(Ifcfg("eth0")), Slave("eth0"));
    EXPECT_EQ(ReadFile(Ifcfg("eth1")), Slave("eth1"));
    EXPECT_EQ(ReadFile(vakotest::kInfoFile), appliance.info.Text());
    EXPECT_EQ(NetworkCalls(), "");
}

// ---- a migration that must succeed fails ----

struct Failure {
    const char *name;
    Installed installed;
    int result;
    const char *message;
};
void PrintTo(const Failure &f, std::ostream *os) { *os << f.name; }

class PrePatchFailure : public testing::TestWithParam<Failure>, public MigrationsUpdate {};

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
    ExpectFiles(0, false, info);
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

// A step of the configuration update that must succeed fails in an update
// from build 210: every later step and every migration before it still
// ran and their changes stay, the flash goes back to what it was byte for
// byte, and the update ends with 17.
class ConfigStepFailure : public testing::Test, public MigrationsUpdate {
protected:
    void TearDown() override { EXPECT_EQ(pg::Service("stop"), 0); }
};

TEST_F(ConfigStepFailure, RollsTheFlashBackAndKeepsTheMigrations)
{
    Install({.build = 210}, true);
    ASSERT_FALSE(HasFatalFailure());
    // A directory that is not empty cannot be unlinked.
    vakotest::RemoveFile("/usr/vako/etc/papd.conf");
    vakotest::WriteFile("/usr/vako/etc/papd.conf/keep", "");

    vakotest::RunResult r = Update();
    EXPECT_EQ(r.status, 17) << r.err;
    EXPECT_TRUE(vakotest::SyslogMatches(
        "updater:{L}(UPDTUpdateConfig) Failed to update [/usr/vako/etc/papd.conf], errno=(21)[Is a directory]"));
    EXPECT_TRUE(vakotest::SyslogHas("Failed to accomplish the update! (errno = 17)"));
    EXPECT_FALSE(vakotest::SyslogHas("Congratulation!! The update has been completed!!"));
    EXPECT_EQ(ks::Load(ks::kSandboxDir).image, chip_.image);
    EXPECT_FALSE(FileExists(package_.dir + "/b@ckup"));
    EXPECT_EQ(ReadFile(vakotest::kProgressFile).substr(0, 12), "C:-17:      ");
    EXPECT_TRUE(vakotest::IsDirectory("/usr/vako/etc/papd.conf"));
    ExpectFiles(k210 & ~kRemovePapdConf);
}

} // namespace
