#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "updater.h"
#include "vakotest/testkit.h"

namespace {

constexpr uint32_t kUnit = 16384;

class MSysPatchInfo : public testing::Test {
protected:
    void SetUp() override
    {
        memcpy(gPatchInfo, gNormalPatchTemplate, sizeof(gPatchInfo));
        gPartitionCount = UPDT_MAX_PARTITIONS;
        memset(list_, 0, sizeof(list_));
        // A table of the kernel's: sizes in units, laid out from 0.
        const uint32_t units[UPDT_MAX_PARTITIONS] = {16, 120, 300, 400, 8, 100, 4, 19};
        uint32_t base = 0;
        for (int i = 0; i < UPDT_MAX_PARTITIONS; ++i) {
            strncpy(list_[i].name, gPatchInfo[i].part, sizeof(list_[i].name));
            list_[i].flash_base = base;
            list_[i].size = units[i] * kUnit;
            list_[i].data_length = units[i] * kUnit / 2 + 1;
            base += list_[i].size;
        }
        std::filesystem::create_directories("/tmp/pkg");
        ASSERT_EQ(chdir("/tmp/pkg"), 0);
    }
    VAKOFISENTRY list_[UPDT_MAX_PARTITIONS];
};

TEST_F(MSysPatchInfo, RowsComeFromTheKernelTableAndThePackage)
{
    vakotest::WriteFile("/tmp/pkg/zImage", std::string(kUnit * 121 + 1, 'z'));
    vakotest::WriteFile("/tmp/pkg/rd.bin", std::string(kUnit * 7, 'r'));
    gEraseBlockSize = 0;

    ASSERT_EQ(UPDTMSysInitPatchInfo(list_, UPDT_MAX_PARTITIONS), 0);
    EXPECT_EQ(gEraseBlockSize, kUnit);

    const PATCHINFO &z = gPatchInfo[1];
    EXPECT_EQ(z.start, 16 * kUnit);
    EXPECT_EQ(z.size, 120 * kUnit);
    EXPECT_EQ(z.datalen, kUnit * 121 + 1);
    EXPECT_EQ(z.balance, 120 - 122);
    EXPECT_EQ(z.fneedupdate, 1u);

    const PATCHINFO &rd = gPatchInfo[2];
    EXPECT_EQ(rd.datalen, kUnit * 7);
    EXPECT_EQ(rd.balance, 300 - 7);
    EXPECT_EQ(rd.fneedupdate, 1u);

    // No image: the kernel's data length decides the blocks.
    const PATCHINFO &lib = gPatchInfo[3];
    EXPECT_EQ(lib.start, (16 + 120 + 300) * kUnit);
    EXPECT_EQ(lib.datalen, 200 * kUnit + 1);
    EXPECT_EQ(lib.balance, 400 - 201);
    EXPECT_EQ(lib.fneedupdate, 0u);
    EXPECT_EQ(lib.nblockdelta, 0);
}

TEST_F(MSysPatchInfo, TheWholeFlashIsTheLimit)
{
    // The other rows need 9+151+201+5+51+3+10 units by their data lengths.
    const long long others = 430;
    vakotest::WriteFile("/tmp/pkg/zImage", std::string(kUnit * (967 - others), 'z'));
    EXPECT_EQ(UPDTMSysInitPatchInfo(list_, UPDT_MAX_PARTITIONS), 0);

    vakotest::WriteFile("/tmp/pkg/zImage", std::string(kUnit * (967 - others) + 1, 'z'));
    EXPECT_EQ(UPDTMSysInitPatchInfo(list_, UPDT_MAX_PARTITIONS), -1);
}

TEST_F(MSysPatchInfo, ParametersAreChecked)
{
    EXPECT_EQ(UPDTMSysInitPatchInfo(nullptr, 8), -1);
    EXPECT_EQ(UPDTMSysInitPatchInfo(list_, 0), -1);
    const int units[UPDT_MAX_PARTITIONS] = {};
    EXPECT_EQ(UPDTMSysFormat(units, 6), -1);
    EXPECT_EQ(UPDTMSysFormat(nullptr, 8), -1);
}

} // namespace
