#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "migrate.h"
#include "vakotest/files.h"
#include "vakotest/logs.h"

namespace {

using vakotest::FileExists;
using vakotest::ReadFile;
using vakotest::WriteFile;

// Every line kind the filter must drop or keep, in an order that shows the
// kept ones stay in place.
const std::string kCrontab = "MAILTO=\"\"\n"
                             "0 3 * * * root /usr/bin/vacuumdb -a\n"
                             "10 1 * * * root /bin/rm -f /var/log/*.html\n"
                             "20 2 * * * root /usr/vako/bin/backup.sh\n"
                             "30 4 * * * root /bin/rm -f /var/log/x.html\n"
                             "40 5 * * * root /usr/bin/vacuumdb --full photo\n"
                             "50 6 * * * root /bin/rm -f /var/log/*.htmlx\n";
const std::string kFilteredCrontab = "MAILTO=\"\"\n"
                                     "20 2 * * * root /usr/vako/bin/backup.sh\n"
                                     "30 4 * * * root /bin/rm -f /var/log/x.html\n";

int *const kAllFlags[] = {
    &gfRemoveRcAtalk,
    &gfRemovePapdConf,
    &gfAddFTPAccounts,
    &gfRemoveProfile,
    &gfRemoveJumboFrameScript,
    &gfOldWriteableLayout,
    &gfRecoverFISDir,
    &gfLowerMTUValue,
    &gPhotoDbSteps,
    &gfUpdateRsyncdConf,
    &gfMoveMTUValue,
    &gfUpdateRsyncdSecrets,
    &gfUpdateSmmspGroup,
    &gfLimitFTPPortRange,
    &gfConvertUSBBackup,
    &gfChmodPhotoEaDir,
    &gfRewritePasswdHomes,
    &gfCreateUserConf,
    &gfConvertNetBackup,
    &gfAddMailUsers,
    &gfConvertCodepage,
    &gfCopyBond0MTU,
    &gfDropMediaServerDb,
    &gfConvertFTPWriteOnly,
    &gfDumpPgsqlDbs,
    &gfRemoveALB,
    &gfConvertFTPBlockIP,
    &gfLinkSqueezeCenterErrmsg,
    &gfRemoveEventTest,
    &gfRestrictSecretFiles,
};

unsigned ModeOf(const std::string &path) { return vakotest::FileMode(path); }

// The messages of the configuration update: they begin with "updater".
std::vector<std::string> Messages() { return vakotest::SyslogTextsFrom("updater"); }

void ExpectMessages(const std::vector<std::string> &patterns)
{
    EXPECT_EQ(vakotest::SyslogMismatch("updater", patterns), "");
}

class ConfigUpdate : public testing::Test {
protected:
    void SetUp() override
    {
        for (int *flag : kAllFlags)
            *flag = 0;
        snprintf(gszVolume, sizeof(gszVolume), "%s", "/volume1");
        std::filesystem::create_directories("/usr/vako/etc/rc.d");
        WriteFile("/etc/crontab", kCrontab);
        vakotest::SyslogClear();
    }
};

TEST_F(ConfigUpdate, WithEveryFlagZeroTheTwoAlwaysStepsRun)
{
    for (const char *path :
         {"/usr/vako/etc/manutil.conf", "/usr/vako/etc/php.ini", "/usr/vako/etc/rc.atalk", "/usr/vako/etc/papd.conf",
          "/etc/profile", "/usr/vako/etc/rc.d/S78JumboFrame.sh", "/etc/rc", "/etc/fstab"})
        WriteFile(path, "x\n");
    WriteFile("/etc/crontab", kCrontab, 0640);
    ASSERT_EQ(chown("/etc/crontab", 12, 34), 0);

    EXPECT_EQ(UPDTUpdateConfig(), 0);

    EXPECT_FALSE(FileExists("/usr/vako/etc/manutil.conf"));
    EXPECT_FALSE(FileExists("/usr/vako/etc/php.ini"));
    for (const char *path : {"/usr/vako/etc/rc.atalk", "/usr/vako/etc/papd.conf", "/etc/profile",
                             "/usr/vako/etc/rc.d/S78JumboFrame.sh", "/etc/rc", "/etc/fstab"})
        EXPECT_TRUE(FileExists(path)) << path;
    EXPECT_EQ(ReadFile("/etc/crontab"), kFilteredCrontab);
    struct stat st;
    ASSERT_EQ(stat("/etc/crontab", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, 12u);
    EXPECT_EQ(st.st_gid, 34u);
    EXPECT_FALSE(FileExists("/tmp/crontab_tmp"));
    EXPECT_TRUE(Messages().empty());
}

TEST_F(ConfigUpdate, ObsoleteFilesAreRemovedAndAbsentOnesAreNoFailure)
{
    gfRemoveRcAtalk = gfRemovePapdConf = gfRemoveProfile = gfRemoveJumboFrameScript = 1;
    WriteFile("/usr/vako/etc/rc.atalk", "x\n");
    WriteFile("/etc/profile", "x\n");
    unlink("/usr/vako/etc/papd.conf");
    unlink("/usr/vako/etc/rc.d/S78JumboFrame.sh");
    unlink("/usr/vako/etc/manutil.conf");

    EXPECT_EQ(UPDTUpdateConfig(), 0);
    EXPECT_FALSE(FileExists("/usr/vako/etc/rc.atalk"));
    EXPECT_FALSE(FileExists("/etc/profile"));
    EXPECT_TRUE(Messages().empty());
}

// A removal that fails for another reason than a missing file: each message,
// and whether it fails the update.
struct RemovalCase {
    int *flag;
    const char *path;
    const char *message;
    int result;
};

TEST_F(ConfigUpdate, EachFailingRemovalLogsItsMessage)
{
    const RemovalCase cases[] = {
        {&gfRemoveRcAtalk, "/usr/vako/etc/rc.atalk",
         "updater:{L}(UPDTUpdateConfig) Failed to update [/usr/vako/etc/rc.atalk], errno=(21)[Is a directory]", -1},
        {&gfRemovePapdConf, "/usr/vako/etc/papd.conf",
         "updater:{L}(UPDTUpdateConfig) Failed to update [/usr/vako/etc/papd.conf], errno=(21)[Is a directory]", -1},
        {&gfRemoveProfile, "/etc/profile",
         "updater:{L}(UPDTUpdateConfig) Failed to remove /etc/profile, errno=(21)[Is a directory]", -1},
        {&gfRemoveJumboFrameScript, "/usr/vako/etc/rc.d/S78JumboFrame.sh",
         "updater:{L}(UPDTUpdateConfig) Failed to remove /usr/vako/etc/rc.d, errno=(21)[Is a directory]", -1},
        {nullptr, "/usr/vako/etc/manutil.conf",
         "updater:{L}(UPDTUpdateConfig) Failed to update [/usr/vako/etc/manutil.conf], errno=(21)[Is a directory]", -1},
        {nullptr, "/usr/vako/etc/php.ini",
         "updater:{L}(UPDTUpdateConfig) Failed to remove /usr/vako/etc/php.ini, errno=(21)[Is a directory]", 0},
    };
    for (const RemovalCase &c : cases) {
        SCOPED_TRACE(c.path);
        SetUp();
        if (c.flag)
            *c.flag = 1;
        std::filesystem::remove_all(c.path);
        std::filesystem::create_directories(std::string(c.path) + "/sub");
        EXPECT_EQ(UPDTUpdateConfig(), c.result);
        ExpectMessages({c.message});
        std::filesystem::remove_all(c.path);
    }
}

TEST_F(ConfigUpdate, AFailingEarlyStepGivesMinusOneAndTheRestStillRuns)
{
    gfRemovePapdConf = gfRemoveProfile = 1;
    // A directory cannot be unlinked: EISDIR, not ENOENT.
    std::filesystem::create_directories("/usr/vako/etc/papd.conf/sub");
    WriteFile("/etc/profile", "x\n");
    WriteFile("/usr/vako/etc/manutil.conf", "x\n");
    WriteFile("/etc/crontab", kCrontab);

    EXPECT_EQ(UPDTUpdateConfig(), -1);
    EXPECT_FALSE(FileExists("/etc/profile"));
    EXPECT_FALSE(FileExists("/usr/vako/etc/manutil.conf"));
    EXPECT_EQ(ReadFile("/etc/crontab"), kFilteredCrontab);
    EXPECT_EQ(Messages().size(), 1u);
}

TEST_F(ConfigUpdate, ACrontabOfOnlyDroppedLinesEndsUpEmpty)
{
    WriteFile("/etc/crontab", "0 3 * * * root vacuumdb\n10 1 * * * root /bin/rm -f /var/log/*.html\n");
    EXPECT_EQ(UPDTUpdateConfig(), 0);
    EXPECT_EQ(ReadFile("/etc/crontab"), "");
}

// The filter reads bytes, not characters of a locale: no byte of a line
// changes what happens to the other lines, and kept lines stay byte for byte.
TEST_F(ConfigUpdate, NoByteValueOfTheCrontabChangesWhatIsKept)
{
    using namespace std::string_literals;
    struct Case {
        const char *what;
        std::string before, after;
    } cases[] = {
        {"a NUL byte in a kept line",
         "MAILTO=\"\"\n1 1 * * * root /bin/a\0b\n0 3 * * * root vacuumdb\n2 2 * * * root /bin/c\n"s,
         "MAILTO=\"\"\n1 1 * * * root /bin/a\0b\n2 2 * * * root /bin/c\n"s},
        {"a NUL byte in a dropped line", "1 1 * * * root /bin/a\n0 3 * * * root \0vacuumdb\n2 2 * * * root /bin/c\n"s,
         "1 1 * * * root /bin/a\n2 2 * * * root /bin/c\n"},
        {"Latin-1 bytes", "1 1 * * * root /bin/caf\xe9\n0 3 * * * root vacuumdb\n2 2 * * * root /bin/\xff\xfe\n",
         "1 1 * * * root /bin/caf\xe9\n2 2 * * * root /bin/\xff\xfe\n"},
        {"CRLF lines", "1 1 * * * root /bin/a\r\n0 3 * * * root vacuumdb\r\n2 2 * * * root /bin/c\r\n",
         "1 1 * * * root /bin/a\r\n2 2 * * * root /bin/c\r\n"},
        {"a last line without its line feed", "0 3 * * * root vacuumdb\n2 2 * * * root /bin/c",
         "2 2 * * * root /bin/c"},
        {"a dropped last line without its line feed",
         "2 2 * * * root /bin/c\n10 1 * * * root /bin/rm -f /var/log/*.html", "2 2 * * * root /bin/c\n"},
        // As grep reads the pattern: the dot stands for any byte.
        {"the dot of the pattern", "1 1 * * * /bin/rm -f /var/log/*\0html\n1 2 * * * /bin/rm -f /var/log/x.html\n"s,
         "1 2 * * * /bin/rm -f /var/log/x.html\n"},
        {"a long line", std::string(100000, 'x') + "\n0 3 * * * root vacuumdb\n", std::string(100000, 'x') + "\n"},
    };
    // A locale in which a Latin-1 byte is no character.
    setenv("LC_ALL", "C.UTF-8", 1);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        WriteFile("/etc/crontab", c.before);
        EXPECT_EQ(UPDTUpdateConfig(), 0);
        EXPECT_EQ(ReadFile("/etc/crontab"), c.after);
        EXPECT_FALSE(FileExists("/tmp/crontab_tmp"));
        EXPECT_TRUE(Messages().empty());
    }
    unsetenv("LC_ALL");
}

TEST_F(ConfigUpdate, AMissingCrontabIsNotReplacedByAnEmptyOne)
{
    unlink("/etc/crontab");
    EXPECT_EQ(UPDTUpdateConfig(), 0);
    EXPECT_FALSE(FileExists("/etc/crontab"));
    EXPECT_FALSE(FileExists("/tmp/crontab_tmp"));
    ExpectMessages({
        "updater({L}) Failed to remove vacuumdb from crontab.",
        "updater({L}) Failed to remove \"rm -f /var/log/\\*.html\" from crontab.",
    });
}

TEST_F(ConfigUpdate, APlantedLinkInTmpIsNotWrittenThrough)
{
    WriteFile("/etc/crontab", kCrontab);
    WriteFile("/etc/victim", "keep\n");
    ASSERT_EQ(symlink("/etc/victim", "/tmp/crontab_tmp"), 0);
    EXPECT_EQ(UPDTUpdateConfig(), 0);
    EXPECT_EQ(ReadFile("/etc/victim"), "keep\n");
    EXPECT_EQ(ReadFile("/etc/crontab"), kFilteredCrontab);
}

TEST_F(ConfigUpdate, OldWriteableLayoutIsSavedOnAVolumeWhoseNameNeedsQuoting)
{
    gfOldWriteableLayout = 1;
    const std::string volume = "/tmp/v o'l$(x)";
    snprintf(gszVolume, sizeof(gszVolume), "%s", volume.c_str());
    WriteFile("/etc/rc", "x\n");
    WriteFile("/etc/fstab", "x\n");
    WriteFile("/writeable/configs/a.conf", "a\n");
    WriteFile("/writeable/logs/b.log", "b\n");
    std::filesystem::create_directories(volume);

    EXPECT_EQ(UPDTUpdateConfig(), 0);
    EXPECT_FALSE(FileExists("/etc/rc"));
    EXPECT_FALSE(FileExists("/etc/fstab"));
    EXPECT_EQ(ReadFile(volume + "/s@vedconfig/a.conf"), "a\n");
    EXPECT_EQ(ReadFile(volume + "/s@vedconfig/b.log"), "b\n");
}

// A source folder with nothing for "*" to match is no failure: what the
// other one holds is copied.
TEST_F(ConfigUpdate, OldWriteableLayoutWithAnEmptyFolderCopiesWhatExists)
{
    gfOldWriteableLayout = 1;
    struct Case {
        const char *what;
        std::vector<std::string> files; // below /writeable
        std::vector<std::string> saved; // below /volume1/s@vedconfig
    } cases[] = {
        {"empty logs", {"configs/a.conf"}, {"a.conf"}},
        {"empty configs", {"logs/b.log"}, {"b.log"}},
        {"both empty", {}, {}},
        {"only dot names in logs", {"configs/a.conf", "logs/.hidden"}, {"a.conf"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        gfOldWriteableLayout = 1;
        std::filesystem::remove_all("/writeable");
        std::filesystem::remove_all("/volume1/s@vedconfig");
        std::filesystem::create_directories("/writeable/configs");
        std::filesystem::create_directories("/writeable/logs");
        std::filesystem::create_directories("/volume1");
        for (const std::string &f : c.files)
            WriteFile("/writeable/" + f, f + "\n");

        EXPECT_EQ(UPDTUpdateConfig(), 0);
        EXPECT_TRUE(Messages().empty());
        EXPECT_EQ(vakotest::ListDir("/volume1/s@vedconfig"), c.saved);
    }
    // A missing folder holds nothing to copy either.
    std::filesystem::remove_all("/writeable/logs");
    WriteFile("/writeable/configs/a.conf", "a\n");
    EXPECT_EQ(UPDTUpdateConfig(), 0);
    EXPECT_EQ(ReadFile("/volume1/s@vedconfig/a.conf"), "a\n");
    std::filesystem::remove_all("/writeable");
}

TEST_F(ConfigUpdate, OldWriteableLayoutThatCannotBeSavedFails)
{
    gfOldWriteableLayout = 1;
    // A file where the volume should be: mkdir and cp both fail.
    WriteFile("/tmp/notadir", "x\n");
    snprintf(gszVolume, sizeof(gszVolume), "%s", "/tmp/notadir");
    WriteFile("/writeable/configs/a.conf", "a\n");
    WriteFile("/writeable/logs/b.log", "b\n");

    EXPECT_EQ(UPDTUpdateConfig(), -1);
    ExpectMessages({
        "updater:{L}(UPDTUpdateConfig) Failed to execute szCmd=[/bin/mkdir -p /tmp/notadir/s@vedconfig], errno=({*}",
        "updater:{L}(UPDTUpdateConfig) Failed to execute szCmd=[/bin/cp -a /writeable/configs/* /writeable/logs/* "
        "/tmp/notadir/s@vedconfig], errno=({*}",
    });
}

TEST_F(ConfigUpdate, FailuresOfLaterStepsDoNotChangeTheResult)
{
    gfRemoveEventTest = 1;
    WriteFile("/etc/vakoinfo.conf", "hostname=\"nas\"\n");
    std::filesystem::create_directories("/usr/vako/etc/php.ini/sub");

    EXPECT_EQ(UPDTUpdateConfig(), 0);
    ExpectMessages({
        "updater:{L}(UPDTUpdateConfig) Failed to remove /usr/vako/etc/php.ini, errno=(21)[Is a directory]",
        "updater:{L} Fail to remove key [eventtest] from /etc/vakoinfo.conf, vakoerr=[0x2000]",
    });
    std::filesystem::remove_all("/usr/vako/etc/php.ini");
}

TEST_F(ConfigUpdate, SecretFilesLoseTheirPermissionsForOthers)
{
    WriteFile("/usr/vako/etc/private/smbpasswd", "x\n", 0666);
    WriteFile("/etc/shadow", "x\n", 0645);

    UPDTUpdateConfig();
    EXPECT_EQ(ModeOf("/usr/vako/etc/private/smbpasswd"), 0666u);
    EXPECT_EQ(ModeOf("/etc/shadow"), 0645u);

    gfRestrictSecretFiles = 1;
    EXPECT_EQ(UPDTUpdateConfig(), 0);
    EXPECT_EQ(ModeOf("/usr/vako/etc/private/smbpasswd"), 0660u);
    EXPECT_EQ(ModeOf("/etc/shadow"), 0640u);

    unlink("/usr/vako/etc/private/smbpasswd");
    WriteFile("/etc/shadow", "x\n", 04757);
    EXPECT_EQ(UPDTUpdateConfig(), 0);
    EXPECT_EQ(ModeOf("/etc/shadow"), 04750u);
}

} // namespace
