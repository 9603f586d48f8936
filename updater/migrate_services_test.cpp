#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "migrate.h"
#include "vakotest/autoblock.h"
#include "vakotest/files.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"

namespace {

using vakotest::FileExists;
using vakotest::ReadFile;
using vakotest::SyslogCount;
using vakotest::SyslogMatches;
using vakotest::WriteFile;

using vakotest::kAutoBlockList;
using vakotest::kHostsDeny;
using vakotest::kInfoFile;
using vakotest::kSmbConf;
using vakotest::kSqueezeErrmsgSys;
using vakotest::kSqueezeErrmsgTxt;
using vakotest::kSystemErrmsgSys;
using vakotest::kSystemErrmsgTxt;
using vakotest::LinkTarget;

constexpr const char *kSmbConfTmp = "/usr/vako/etc/smb.conf.tmp";

// No message of the updater's own.
bool NoUpdaterMessage() { return SyslogCount("updater{*}") == 0; }

// ---- "ftp write only" ----

// A line longer than any line buffer: kept whole.
const std::string kLongLine = "\tcomment=" + std::string(5000, 'c') + "\n";

// Every kind of line that holds the words: only option lines whose key they
// are, and comment lines, change.  The last line has no line end.
const std::string kSmbBefore = "[global]\n"
                               "\tworkgroup=WORKGROUP\n"
                               "[ftp write only]\n"
                               "\tpath=/volume1/ftp write only\n"
                               "\tcomment=\"ftp write only = yes\"\n"
                               "\tftp write only=yes\n"
                               "[b]\n"
                               "\tpath=/volume1/b\n"
                               "\tftp write only = no\n"
                               "# ftp write only = yes\n"
                               "; ftp write only=yes\n"
                               "# no ftp write only here\n"
                               "[c]\n" +
                               kLongLine +
                               "\tftp write only=Yes\n"
                               "  ftp write only = \"yes\"  \n"
                               "\tftp write only=yes";
const std::string kDisabled = "\tftp disable list=yes\n\tftp disable modify=yes\n\tftp disable download=yes\n";
const std::string kSmbAfter = "[global]\n"
                              "\tworkgroup=WORKGROUP\n"
                              "[ftp write only]\n"
                              "\tpath=/volume1/ftp write only\n"
                              "\tcomment=\"ftp write only = yes\"\n" +
                              kDisabled +
                              "[b]\n"
                              "\tpath=/volume1/b\n" +
                              kDisabled + kDisabled + "[c]\n" + kLongLine + kDisabled + kDisabled;

TEST(ConvertFTPWriteOnlyFlag, OnlyOptionLinesOfTheOldKeyChange)
{
    WriteFile(kSmbConf, kSmbBefore, 0640);
    ASSERT_EQ(chown(kSmbConf, 12, 34), 0);
    vakotest::SyslogClear();

    EXPECT_EQ(ConvertFTPWriteOnlyFlag(), 0);
    EXPECT_EQ(ReadFile(kSmbConf), kSmbAfter);
    EXPECT_EQ(vakotest::FileMode(kSmbConf), 0640u);
    EXPECT_EQ(vakotest::FileUid(kSmbConf), 12u);
    EXPECT_EQ(vakotest::FileGid(kSmbConf), 34u);
    EXPECT_FALSE(FileExists(kSmbConfTmp));
    EXPECT_TRUE(NoUpdaterMessage());
}

// How each failure shows, and that smb.conf stays as it was.
struct SmbFailure {
    const char *name;
    void (*arrange)();
    const char *message;
};
void PrintTo(const SmbFailure &c, std::ostream *os) { *os << c.name; }

// A file system too small for a second copy of smb.conf.
void SmallFileSystem()
{
    ASSERT_EQ(mount("tmpfs", "/usr/vako/etc", "tmpfs", 0, "size=64k"), 0);
    WriteFile(kSmbConf, kSmbBefore + "\n" + std::string(40000, '#') + "\n");
}

const SmbFailure kSmbFailures[] = {
    {"Missing", [] {}, "updater ({L}) Failed to open /usr/vako/etc/smb.conf (No such file or directory)"},
    {"Unreadable", [] { vakotest::MakeDirs(kSmbConf); },
     "updater ({L}) Failed to read /usr/vako/etc/smb.conf (Is a directory)"},
    {"TemporaryNotCreatable",
     [] {
         WriteFile(kSmbConf, kSmbBefore);
         vakotest::MakeDirs(std::string(kSmbConfTmp) + "/sub");
     },
     "updater ({L}) Failed to open /usr/vako/etc/smb.conf.tmp (Is a directory)"},
    {"DiskFull", SmallFileSystem, "updater ({L}) Failed to write /usr/vako/etc/smb.conf.tmp (No space left on device)"},
    {"NotReplaceable",
     [] {
         // A mount point cannot be renamed over.
         WriteFile(kSmbConf, kSmbBefore);
         ASSERT_EQ(mount(kSmbConf, kSmbConf, nullptr, MS_BIND, nullptr), 0);
     },
     "updater ({L}) Failed to replace /usr/vako/etc/smb.conf (Device or resource busy)"},
};

class SmbConfFailure : public testing::TestWithParam<SmbFailure> {};

TEST_P(SmbConfFailure, KeepsTheOldFile)
{
    vakotest::MakeDirs("/usr/vako/etc");
    GetParam().arrange();
    ASSERT_FALSE(HasFatalFailure());
    bool fFile = FileExists(kSmbConf) && !vakotest::IsDirectory(kSmbConf);
    std::string before = fFile ? ReadFile(kSmbConf) : "";
    vakotest::SyslogClear();

    EXPECT_EQ(ConvertFTPWriteOnlyFlag(), -1);
    EXPECT_TRUE(SyslogMatches(GetParam().message)) << testing::PrintToString(vakotest::SyslogTexts());
    EXPECT_EQ(SyslogCount("updater{*}"), 1);
    if (fFile) {
        EXPECT_EQ(ReadFile(kSmbConf), before);
    }
    EXPECT_TRUE(!FileExists(kSmbConfTmp) || vakotest::IsDirectory(kSmbConfTmp));
}

INSTANTIATE_TEST_SUITE_P(Each, SmbConfFailure, testing::ValuesIn(kSmbFailures),
                         [](const testing::TestParamInfo<SmbFailure> &p) { return std::string(p.param.name); });

// ---- FTP deny list into the auto-block list ----

std::string Rec(uint32_t time, const char *ip) { return vakotest::AutoBlockRecord(time, ip); }

uint32_t Now() { return static_cast<uint32_t>(time(nullptr)); }

const std::string kDenyBefore = "# deny list\n"
                                "in.ftpd: 10.0.0.9\n"
                                "ALL: 192.168.1.20\n"
                                "sshd: 10.0.0.2 : deny\n"
                                "in.ftpd: 10.0.0.0/8\n"
                                "in.ftpd: ALL\n";
const std::string kDenyAfter = "# deny list\n"
                               "in.ftpd: 10.0.0.0/8\n"
                               "in.ftpd: ALL\n";
// Byte order of the addresses.
const char *const kMoved[] = {"10.0.0.2", "10.0.0.9", "192.168.1.20"};

std::string Info(const char *autoDeny, int attempts, int days)
{
    std::string text = "hostname=\"nas\"\n";
    if (autoDeny)
        text += std::string("ftpipautodeny=\"") + autoDeny + "\"\n";
    return text + "autoblock_attempts=\"" + std::to_string(attempts) +
           "\"\n"
           "autoblock_attempt_min=\"10\"\n"
           "autoblock_expriedday=\"" +
           std::to_string(days) +
           "\"\n"
           "autoblock_notify=\"no\"\n";
}

class FTPBlockIP : public testing::Test {
protected:
    void SetUp() override
    {
        WriteFile(kHostsDeny, kDenyBefore);
        old_ = Now() - 100;
        WriteFile(kAutoBlockList, Rec(old_, "172.16.0.1"), 0666);
        vakotest::SyslogClear();
    }
    // The list after a move at t0..t1: the old record, then the moved ones.
    void ExpectMoved(uint32_t t0, uint32_t t1)
    {
        std::string list = ReadFile(kAutoBlockList);
        std::string expected = Rec(old_, "172.16.0.1");
        for (size_t i = 0; i < std::size(kMoved); i++) {
            uint32_t t = vakotest::AutoBlockTime(list, i + 1);
            EXPECT_GE(t, t0);
            EXPECT_LE(t, t1);
            expected += Rec(t, kMoved[i]);
        }
        EXPECT_EQ(list, expected);
    }
    uint32_t old_ = 0;
};

// The old automatic FTP block (ftpipautodeny "yes" in any letter case)
// becomes the auto-block settings, of which only those that differ are
// rewritten; the key goes in every case.
struct AutoDenyCase {
    const char *autoDeny;
    int attempts, days;
};

TEST_F(FTPBlockIP, AddressesMoveAndTheSettingsFollowTheOldAutomaticBlock)
{
    const AutoDenyCase cases[] = {{"yes", 5, 0}, {"YES", 5, 0}, {"no", 3, 7}, {nullptr, 3, 7}};
    for (const AutoDenyCase &c : cases) {
        SCOPED_TRACE(c.autoDeny ? c.autoDeny : "absent");
        SetUp();
        WriteFile(kInfoFile, Info(c.autoDeny, 3, 7));
        uint32_t t0 = Now();
        EXPECT_EQ(AutoBlockConvertFTPBlockIP(), 0);
        uint32_t t1 = Now();

        ExpectMoved(t0, t1);
        EXPECT_EQ(ReadFile(kHostsDeny), kDenyAfter);
        EXPECT_EQ(ReadFile(kInfoFile), Info(nullptr, c.attempts, c.days));
        EXPECT_TRUE(NoUpdaterMessage());
    }
}

TEST_F(FTPBlockIP, NoAddressToMoveChangesNothing)
{
    for (const std::string deny : {"", "# nothing\nin.ftpd: ALL\nALL: 10.0.0.0/8\n"}) {
        SCOPED_TRACE(deny);
        WriteFile(kHostsDeny, deny);
        WriteFile(kInfoFile, Info("yes", 3, 7));
        EXPECT_EQ(AutoBlockConvertFTPBlockIP(), 0);
        EXPECT_EQ(ReadFile(kHostsDeny), deny);
        EXPECT_EQ(ReadFile(kInfoFile), Info("yes", 3, 7));
        EXPECT_EQ(ReadFile(kAutoBlockList), Rec(old_, "172.16.0.1"));
        EXPECT_TRUE(NoUpdaterMessage());
    }
}

TEST_F(FTPBlockIP, AddressesThatCannotBeBlockedStayDenied)
{
    WriteFile(kInfoFile, Info("yes", 3, 7));
    // A list that cannot be mapped: every add fails.
    ASSERT_EQ(mount("/sys/kernel/uevent_seqnum", kAutoBlockList, nullptr, MS_BIND, nullptr), 0);

    EXPECT_EQ(AutoBlockConvertFTPBlockIP(), 0);
    EXPECT_EQ(ReadFile(kHostsDeny), kDenyBefore);
    for (const char *ip : kMoved)
        EXPECT_TRUE(
            SyslogMatches(std::string("updater:{L} VAKOAutoBlockIPAdd() failed!! szIP=[") + ip + "], vakoerr=[0x3D00]"))
            << ip;
    EXPECT_EQ(SyslogCount("updater{*}"), 3);
}

TEST_F(FTPBlockIP, UnreadableOrUnprunableDenyListFails)
{
    WriteFile(kInfoFile, Info("yes", 3, 7));
    vakotest::RemoveFile(kHostsDeny);
    EXPECT_EQ(AutoBlockConvertFTPBlockIP(), -1);
    EXPECT_TRUE(SyslogMatches("updater:{L} Failed to get FTP blocked ip list."));
    EXPECT_EQ(ReadFile(kInfoFile), Info("yes", 3, 7));
    EXPECT_EQ(ReadFile(kAutoBlockList), Rec(old_, "172.16.0.1"));

    // Moved, but the deny list cannot be rewritten.
    WriteFile(kHostsDeny, kDenyBefore);
    vakotest::MakeDirs("/etc/hosts.deny.tmp/sub");
    vakotest::SyslogClear();
    uint32_t t0 = Now();
    EXPECT_EQ(AutoBlockConvertFTPBlockIP(), -1);
    uint32_t t1 = Now();
    EXPECT_TRUE(SyslogMatches("updater:{L} Failed to delete FTP blocked hosts. vakoerr=[0x0900]"));
    ExpectMoved(t0, t1);
    EXPECT_EQ(ReadFile(kHostsDeny), kDenyBefore);
}

// ---- message files of the media server ----

class ErrmsgLinks : public testing::Test {
protected:
    void SetUp() override
    {
        WriteFile(kSystemErrmsgSys, "system sys\n");
        WriteFile(kSystemErrmsgTxt, "system txt\n");
        vakotest::MakeDirs("/var/packages/SqueezeCenter/target/MySQL");
        vakotest::SyslogClear();
    }
    static bool IsLink(const char *path)
    {
        struct stat st;
        return lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
    }
};

TEST_F(ErrmsgLinks, CopiesBecomeLinksToTheSystemCopies)
{
    WriteFile(kSqueezeErrmsgSys, "package sys\n");
    WriteFile(kSqueezeErrmsgTxt, "package txt\n");
    EXPECT_EQ(UPDTLinkSqueezeCenterErrmsg(), 0);
    EXPECT_EQ(LinkTarget(kSqueezeErrmsgSys), kSystemErrmsgSys);
    EXPECT_EQ(LinkTarget(kSqueezeErrmsgTxt), kSystemErrmsgTxt);
    EXPECT_EQ(vakotest::ListDir("/var/packages/SqueezeCenter/target/MySQL"),
              (std::vector<std::string>{"errmsg.sys", "errmsg.txt"}));
    EXPECT_TRUE(NoUpdaterMessage());
}

TEST_F(ErrmsgLinks, MissingFilesAndLinksAreLeftAlone)
{
    ASSERT_EQ(symlink("/elsewhere/errmsg.txt", kSqueezeErrmsgTxt), 0);
    EXPECT_EQ(UPDTLinkSqueezeCenterErrmsg(), 0);
    EXPECT_FALSE(IsLink(kSqueezeErrmsgSys));
    EXPECT_FALSE(FileExists(kSqueezeErrmsgSys));
    EXPECT_EQ(LinkTarget(kSqueezeErrmsgTxt), "/elsewhere/errmsg.txt");
    EXPECT_TRUE(NoUpdaterMessage());
}

TEST_F(ErrmsgLinks, ACopyThatCannotBeReplacedStays)
{
    // No link can be made beside errmsg.sys; errmsg.txt is a directory.
    WriteFile(kSqueezeErrmsgSys, "package sys\n");
    vakotest::MakeDirs(std::string(kSqueezeErrmsgSys) + ".tmp/sub");
    vakotest::MakeDirs(std::string(kSqueezeErrmsgTxt) + "/sub");

    EXPECT_EQ(UPDTLinkSqueezeCenterErrmsg(), -1);
    EXPECT_EQ(ReadFile(kSqueezeErrmsgSys), "package sys\n");
    EXPECT_TRUE(vakotest::IsDirectory(std::string(kSqueezeErrmsgTxt) + "/sub"));
    EXPECT_FALSE(FileExists(std::string(kSqueezeErrmsgTxt) + ".tmp"));
    EXPECT_TRUE(SyslogMatches("updater({L}) Failed to link errmsg.sys in Squeeze Center from system."));
    EXPECT_TRUE(SyslogMatches("updater({L}) Failed to remove errmsg.txt in Squeeze Center."));
    EXPECT_EQ(SyslogCount("updater{*}"), 2);
}

// ---- eventtest ----

TEST(RemoveEventTest, EveryLineOfTheKeyGoes)
{
    WriteFile(kInfoFile, "eventtest=\"yes\"\nhostname=\"nas\"\neventtest=\"no\"\neventtest_x=\"1\"\n");
    vakotest::SyslogClear();
    EXPECT_EQ(UPDTRemoveEventTest(), 0);
    EXPECT_EQ(ReadFile(kInfoFile), "hostname=\"nas\"\neventtest_x=\"1\"\n");
    EXPECT_TRUE(NoUpdaterMessage());
}

TEST(RemoveEventTest, AnAbsentKeyIsLogged)
{
    WriteFile(kInfoFile, "hostname=\"nas\"\n");
    vakotest::SyslogClear();
    EXPECT_EQ(UPDTRemoveEventTest(), -1);
    EXPECT_EQ(ReadFile(kInfoFile), "hostname=\"nas\"\n");
    EXPECT_TRUE(SyslogMatches("updater:{L} Fail to remove key [eventtest] from /etc/vakoinfo.conf, vakoerr=[0x2000]"));
}

// ---- the four steps in the configuration update ----

TEST(ServiceSteps, RunByTheirFlagsAndTheirFailuresAreOnlyLogged)
{
    WriteFile("/etc/crontab", "");
    vakotest::MakeDirs("/usr/vako/etc/rc.d");
    WriteFile(kInfoFile, "hostname=\"nas\"\n");
    WriteFile(kHostsDeny, kDenyBefore);
    WriteFile(kSqueezeErrmsgSys, "package sys\n");
    vakotest::SyslogClear();

    // Flags clear: none runs.
    EXPECT_EQ(UPDTUpdateConfig(), 0);
    EXPECT_EQ(ReadFile(kHostsDeny), kDenyBefore);
    EXPECT_FALSE(LinkTarget(kSqueezeErrmsgSys) == kSystemErrmsgSys);
    EXPECT_TRUE(NoUpdaterMessage());

    // smb.conf missing, eventtest absent: both logged, the rest done.
    gfConvertFTPWriteOnly = gfConvertFTPBlockIP = gfLinkSqueezeCenterErrmsg = gfRemoveEventTest = 1;
    EXPECT_EQ(UPDTUpdateConfig(), 0);
    EXPECT_TRUE(SyslogMatches("updater ({L}) Failed to convert FTP write only flag"));
    EXPECT_TRUE(SyslogMatches("updater:{L} Fail to remove key [eventtest] from /etc/vakoinfo.conf, vakoerr=[0x2000]"));
    EXPECT_EQ(ReadFile(kHostsDeny), kDenyAfter);
    EXPECT_EQ(LinkTarget(kSqueezeErrmsgSys), kSystemErrmsgSys);

    // The deny list gone: the step's own line follows the reason.
    vakotest::RemoveFile(kHostsDeny);
    vakotest::SyslogClear();
    EXPECT_EQ(UPDTUpdateConfig(), 0);
    EXPECT_TRUE(SyslogMatches("updater:{L} AutoBlockConvertFTPBlockIP() failed!!"));
}

} // namespace
