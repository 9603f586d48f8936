#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "flash.h"
#include "vakotest/files.h"
#include "vakotest/logs.h"
#include "vakotest/pattern.h"

namespace {

// Plain files stand in for the devices: copy, verify and the dumps need
// nothing of a flash device but reads and writes.
using vakotest::Pattern;

std::string Progress() { return vakotest::ReadFile(UPDT_PROGRESS_FILE); }

class CopyVerify : public testing::Test {
protected:
    void SetUp() override
    {
        gullProgressTotal = 0;
        gullProgressDone = 0;
        vakotest::SyslogClear();
    }
};

TEST_F(CopyVerify, ImageWithAShortLastBlockReachesTheDeviceExactly)
{
    const std::string image = Pattern(40000, 7);
    vakotest::WriteFile("/tmp/image", image);
    vakotest::WriteFile("/tmp/dev", std::string(65536, '\xFF'));
    ASSERT_EQ(UPDTCopyFile("/tmp/image", "/tmp/dev", 40000, 16384), 0);
    EXPECT_EQ(vakotest::ReadFile("/tmp/dev"), image + std::string(65536 - 40000, '\xFF'));
    EXPECT_EQ(UPDTVerifyFile("/tmp/image", "/tmp/dev", 40000, 8192), 0);
    EXPECT_EQ(gullProgressDone, 80000u);
}

TEST_F(CopyVerify, CopyAndVerifyRunToTheEndOfTheFileNotToLen)
{
    const std::string image = Pattern(20000, 3);
    vakotest::WriteFile("/tmp/image", image);
    vakotest::WriteFile("/tmp/dev", std::string(32768, '\xFF'));
    EXPECT_EQ(UPDTCopyFile("/tmp/image", "/tmp/dev", 30000, 16384), 0);
    EXPECT_EQ(vakotest::ReadFile("/tmp/dev").substr(0, 20001), image + '\xFF');
    EXPECT_TRUE(vakotest::SyslogMatches("updater:{L}(UPDTCopyFile) read file [/tmp/image] only 20000 bytes, 30000 "
                                        "bytes needed: (0) Success."));
    EXPECT_EQ(UPDTVerifyFile("/tmp/image", "/tmp/dev", 10000, 8192), 0);
    EXPECT_TRUE(vakotest::SyslogMatches("updater:{L}(UPDTVerifyFile) read file [/tmp/image] only 20000 bytes, 10000 "
                                        "bytes needed: (0) Success."));
}

TEST_F(CopyVerify, VerifyFailsOnTheBlockHoldingTheFirstDifference)
{
    std::string image = Pattern(30000, 1);
    vakotest::WriteFile("/tmp/image", image);
    image[10000] ^= 0x01;
    vakotest::WriteFile("/tmp/dev", image);
    EXPECT_EQ(UPDTVerifyFile("/tmp/image", "/tmp/dev", 30000, 8192), -1);
    EXPECT_TRUE(vakotest::SyslogMatches(
        "updater:{L}(UPDTVerifyFile) compare file [/tmp/image] vs [/tmp/dev] error at offset 0x2000"));
    // One whole block verified before the failing one.
    EXPECT_EQ(gullProgressDone, 8192u);
}

TEST_F(CopyVerify, VerifyFailsWhenTheDeviceEndsFirst)
{
    vakotest::WriteFile("/tmp/image", Pattern(10000, 2));
    vakotest::WriteFile("/tmp/dev", Pattern(9000, 2));
    EXPECT_EQ(UPDTVerifyFile("/tmp/image", "/tmp/dev", 10000, 8192), -1);
    EXPECT_TRUE(vakotest::SyslogMatches("updater:{L}(UPDTVerifyFile) read file [/tmp/dev] error: (0) Success."));
}

TEST_F(CopyVerify, RefusedArgumentsAndFailures)
{
    vakotest::WriteFile("/tmp/image", Pattern(100, 0));
    vakotest::WriteFile("/tmp/empty", "");
    vakotest::WriteFile("/tmp/dev", std::string(256, '\xFF'));
    EXPECT_EQ(UPDTCopyFile("/tmp/image", "/tmp/dev", 0, 16384), -1);
    EXPECT_EQ(UPDTCopyFile("/tmp/image", "/tmp/dev", 100, 0), -1);
    EXPECT_EQ(UPDTCopyFile(nullptr, "/tmp/dev", 100, 16384), -1);
    EXPECT_EQ(UPDTCopyFile("/tmp/image", nullptr, 100, 16384), -1);
    EXPECT_EQ(UPDTVerifyFile("/tmp/image", "/tmp/dev", 0, 8192), -1);
    EXPECT_TRUE(vakotest::SyslogTexts().empty());
    EXPECT_EQ(UPDTCopyFile("/tmp/missing", "/tmp/dev", 100, 16384), -1);
    EXPECT_TRUE(
        vakotest::SyslogMatches("updater:{L}(UPDTCopyFile) open [/tmp/missing] error: (2) No such file or directory."));
    EXPECT_EQ(UPDTCopyFile("/tmp/image", "/tmp/no/dev", 100, 16384), -1);
    EXPECT_TRUE(
        vakotest::SyslogMatches("updater:{L}(UPDTCopyFile) open [/tmp/no/dev] error: (2) No such file or directory."));
    EXPECT_EQ(UPDTVerifyFile("/tmp/image", "/tmp/no/dev", 100, 8192), -1);
    EXPECT_TRUE(vakotest::SyslogMatches(
        "updater:{L}(UPDTVerifyFile) open [/tmp/no/dev] error: (2) No such file or directory."));
    EXPECT_EQ(UPDTCopyFile("/tmp/image", "/dev/full", 100, 16384), -1);
    EXPECT_TRUE(vakotest::SyslogMatches(
        "updater:{L}(UPDTCopyFile) write file [/dev/full] error: (28) No space left on device."));
    EXPECT_EQ(vakotest::ReadFile("/tmp/dev"), std::string(256, '\xFF'));
    EXPECT_EQ(UPDTCopyFile("/tmp/empty", "/tmp/dev", 100, 16384), 0);
}

TEST_F(CopyVerify, ProgressIsSixtyPlusFortiethsOfTheTotal)
{
    vakotest::WriteFile("/tmp/image", Pattern(50, 0));
    vakotest::WriteFile("/tmp/dev", std::string(50, '\xFF'));
    gullProgressTotal = 200;
    ASSERT_EQ(UPDTCopyFile("/tmp/image", "/tmp/dev", 50, 16384), 0);
    EXPECT_EQ(Progress(), "P:70:      ");
    gullProgressTotal = 300;
    ASSERT_EQ(UPDTVerifyFile("/tmp/image", "/tmp/dev", 50, 8192), 0);
    EXPECT_EQ(Progress(), "P:73:      ");
}

class Backup : public testing::Test {
protected:
    void SetUp() override
    {
        memcpy(gDeviceTable, gNormalDeviceTemplate, sizeof(gDeviceTable));
        devices_.reserve(UPDT_MAX_PARTITIONS);
        for (int i = 0; i < UPDT_MAX_PARTITIONS; ++i) {
            devices_.push_back("/tmp/flash/mtd" + std::to_string(i));
            gDeviceTable[i].szDevice = devices_.back().c_str();
            vakotest::WriteFile(devices_.back(), Pattern(4096 * (i + 1), i));
        }
        snprintf(gszUpdateDir, sizeof(gszUpdateDir), "%s", kDir);
        vakotest::SyslogClear();
    }
    void AddEntry(const char *name)
    {
        VAKOFISENTRY e;
        memset(&e, 0, sizeof(e));
        memcpy(e.name, name, strnlen(name, sizeof(e.name)));
        list_.push_back(e);
    }
    static constexpr const char *kDir = "/tmp/it's a $(pkg) `dir`";
    std::vector<std::string> devices_;
    std::vector<VAKOFISENTRY> list_;
};

TEST_F(Backup, DumpsEveryEntryIntoAFreshDirectoryWithProgress)
{
    const std::string dir = std::string(kDir) + "/b@ckup";
    vakotest::WriteFile(dir + "/stale", "old");
    for (int i = 0; i < UPDT_MAX_PARTITIONS; ++i)
        AddEntry(gNormalDeviceTemplate[i].szPartition);
    memcpy(list_[1].name, "ZIMAGE", 6); // spelled as the directory spells it
    ASSERT_EQ(UPDTBackupOldPartition(list_.data(), list_.size()), 0);
    EXPECT_FALSE(vakotest::FileExists(dir + "/stale"));
    for (int i = 0; i < UPDT_MAX_PARTITIONS; ++i) {
        std::string name(list_[i].name, strnlen(list_[i].name, 16));
        EXPECT_EQ(vakotest::ReadFile(dir + "/mtd_" + name), Pattern(4096 * (i + 1), i)) << name;
    }
    EXPECT_TRUE(vakotest::FileExists(dir + "/mtd_ZIMAGE"));
    EXPECT_EQ(Progress(), "P:65:      ");
    const std::string quoted = "'/tmp/it'\\''s a $(pkg) `dir`/b@ckup";
    EXPECT_TRUE(vakotest::SyslogHas("szCmd=[/bin/rm -rf " + quoted + "'; /bin/mkdir -p " + quoted + "']"));
    EXPECT_TRUE(vakotest::SyslogMatches("UPDTBackupOldPartition({L}): command=[/bin/dd if='/tmp/flash/mtd6' of=" +
                                        quoted + "/mtd_RedBoot Config' bs=16384]"));
}

TEST_F(Backup, UnknownNameStopsAndKeepsTheDumpsMade)
{
    const std::string dir = std::string(kDir) + "/b@ckup";
    AddEntry("RedBoot");
    AddEntry("zImage");
    AddEntry("swap");
    AddEntry("rd.gz");
    EXPECT_EQ(UPDTBackupOldPartition(list_.data(), list_.size()), -1);
    EXPECT_TRUE(vakotest::FileExists(dir + "/mtd_RedBoot"));
    EXPECT_TRUE(vakotest::FileExists(dir + "/mtd_zImage"));
    EXPECT_FALSE(vakotest::FileExists(dir + "/mtd_rd.gz"));
    EXPECT_EQ(Progress(), "P:35:      ");
    EXPECT_TRUE(vakotest::SyslogMatches("SzUPDTGetDeviceByName({L}): unknown partition name [swap]"));
    EXPECT_TRUE(vakotest::SyslogMatches("UPDTBackupOldPartition({L}): fail to get device path"));
}

// The longest package directory the updater takes, all quotes: each takes
// four characters once quoted, and the commands still fit.
TEST_F(Backup, PackageDirectoryOfQuotesUpToItsRoom)
{
    std::string longDir = "/tmp/" + std::string(250, '\'');
    ASSERT_EQ(longDir.size(), UPDT_UPDATE_DIR_ROOM - 1u);
    snprintf(gszUpdateDir, sizeof(gszUpdateDir), "%s", longDir.c_str());
    vakotest::WriteFile(longDir + "/b@ckup/stale", "x");
    AddEntry("RedBoot Config");
    EXPECT_EQ(UPDTBackupOldPartition(list_.data(), list_.size()), 0);
    EXPECT_EQ(vakotest::ListDir(longDir + "/b@ckup"), std::vector<std::string>{"mtd_RedBoot Config"});
    EXPECT_EQ(vakotest::ReadFile(longDir + "/b@ckup/mtd_RedBoot Config"), Pattern(4096 * 7, 6));
    EXPECT_FALSE(vakotest::SyslogMatches("{*}does not fit{*}"));
    UPDTRemoveBackupDir();
    EXPECT_FALSE(vakotest::FileExists(longDir + "/b@ckup"));
}

TEST_F(Backup, ParameterErrors)
{
    EXPECT_EQ(UPDTBackupOldPartition(nullptr, 1), -1);
    EXPECT_EQ(UPDTBackupOldPartition(list_.data(), 0), -1);
    EXPECT_EQ(vakotest::SyslogCount("UPDTBackupOldPartition({L}): parameter error "), 2);
}

TEST_F(Backup, MarkNamesTheRoadAndEveryDumpWithItsSize)
{
    const std::string dir = std::string(kDir) + "/b@ckup", mark = std::string(kDir) + "/b@ckup.mark";
    for (int i = 0; i < UPDT_MAX_PARTITIONS; ++i)
        AddEntry(gNormalDeviceTemplate[i].szPartition);
    ASSERT_EQ(UPDTBackupOldPartition(list_.data(), list_.size()), 0);
    EXPECT_EQ(UPDTCheckBackupMark(0), 0);
    ASSERT_EQ(UPDTMarkBackup(list_.data(), list_.size(), 0), 0);
    EXPECT_EQ(vakotest::ReadFile(mark), "normal\n4096 RedBoot\n8192 zImage\n12288 rd.gz\n16384 AllLib.tgz\n"
                                        "20480 vendor\n24576 vakocfg\n28672 RedBoot Config\n32768 FIS Directory\n");
    EXPECT_EQ(UPDTCheckBackupMark(0), 1);
    // A mark of the other road, a dump cut short or gone: not to be trusted.
    EXPECT_EQ(UPDTCheckBackupMark(1), -1);
    EXPECT_TRUE(
        vakotest::SyslogMatches("UPDTCheckBackupMark({L}): [{*}/b@ckup.mark] is not a mark of the second road"));
    vakotest::WriteFile(dir + "/mtd_vendor", Pattern(20479, 4));
    EXPECT_EQ(UPDTCheckBackupMark(0), -1);
    EXPECT_TRUE(vakotest::SyslogMatches("UPDTCheckBackupMark({L}): the dump [20480 vendor] is not as the mark {*}"));
    vakotest::WriteFile(dir + "/mtd_vendor", Pattern(20480, 4));
    EXPECT_EQ(UPDTCheckBackupMark(0), 1);
    vakotest::RemoveFile(dir + "/mtd_zImage");
    EXPECT_EQ(UPDTCheckBackupMark(0), -1);

    // While the mark is there the backup is never replaced; it goes with the mark first.
    vakotest::SyslogClear();
    EXPECT_EQ(UPDTBackupOldPartition(list_.data(), list_.size()), -1);
    EXPECT_TRUE(vakotest::SyslogMatches(
        "UPDTBackupOldPartition({L}): the backup of an interrupted update is kept, not replaced"));
    EXPECT_TRUE(vakotest::FileExists(dir + "/mtd_RedBoot"));
    UPDTRemoveBackupDir();
    EXPECT_FALSE(vakotest::FileExists(mark));
    EXPECT_FALSE(vakotest::FileExists(dir));
    EXPECT_EQ(UPDTCheckBackupMark(0), 0);
}

TEST_F(Backup, MarkIsRefusedForADumpThatIsNotThere)
{
    AddEntry("RedBoot");
    AddEntry("zImage");
    ASSERT_EQ(UPDTBackupOldPartition(list_.data(), 1), 0);
    EXPECT_EQ(UPDTMarkBackup(list_.data(), list_.size(), 1), -1);
    EXPECT_TRUE(vakotest::SyslogMatches("UPDTMarkBackup({L}): dump of [zImage] cannot be read or flushed, errno = 2"));
    EXPECT_FALSE(vakotest::FileExists(std::string(kDir) + "/b@ckup.mark"));
    EXPECT_EQ(UPDTMarkBackup(nullptr, 1, 1), -1);
}

} // namespace
