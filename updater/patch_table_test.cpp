#include <gtest/gtest.h>
#include <string.h>

#include <utility>
#include <vector>

#include "flash.h"
#include "vakotest/logs.h"

namespace {

constexpr uint32_t kBlock = 0x10000;

void UseLayout(bool junior) { UPDTSelectLayout(junior); }

VAKOFISENTRY Entry(const char *name, uint32_t base, uint32_t size, uint32_t datalen = 0)
{
    VAKOFISENTRY e;
    memset(&e, 0, sizeof(e));
    memcpy(e.name, name, strnlen(name, sizeof(e.name)));
    e.flash_base = e.mem_base = base;
    e.size = size;
    e.data_length = datalen;
    return e;
}

// The normal layout, rows in address order from 0xfe000000.
std::vector<VAKOFISENTRY> NormalDirectory()
{
    return {Entry("RedBoot", 0xfe000000, 4 * kBlock),    Entry("zImage", 0xfe040000, 16 * kBlock),
            Entry("rd.gz", 0xfe140000, 16 * kBlock),     Entry("AllLib.tgz", 0xfe240000, 16 * kBlock),
            Entry("vendor", 0xfe340000, kBlock),         Entry("vakocfg", 0xfe350000, kBlock),
            Entry("RedBoot Config", 0xfe360000, kBlock), Entry("FIS Directory", 0xfe370000, kBlock)};
}

// The junior directory of the recovery image: zImage lowest, RedBoot above it.
std::vector<VAKOFISENTRY> JuniorDirectory()
{
    return {Entry("RedBoot", 0xfff00000, 0x40000),        Entry("zImage", 0xffe00000, 0xd0000),
            Entry("rd.gz", 0xfff40000, 0xb0000),          Entry("vendor", 0xffed0000, 0x10000),
            Entry("RedBoot Config", 0xffee0000, 0x10000), Entry("FIS Directory", 0xffff0000, 0x10000)};
}

// Rows filled from the directory as the table builder leaves them, with
// the balances given.
void FillRows(const std::vector<VAKOFISENTRY> &dir, std::vector<int> balances)
{
    gEraseBlockSize = kBlock;
    for (int r = 0; r < gPartitionCount; ++r) {
        gPatchInfo[r].start = dir[r].flash_base;
        gPatchInfo[r].size = dir[r].size;
        gPatchInfo[r].datalen = 0x1000;
        gPatchInfo[r].balance = r < static_cast<int>(balances.size()) ? balances[r] : 0;
        gPatchInfo[r].nblockdelta = 0;
        gPatchInfo[r].fneedupdate = gPatchInfo[r].balance < 0 ? 1 : 0;
    }
}

struct Expect {
    uint32_t start, size;
    int balance, delta;
    uint32_t update;
};

void ExpectRows(const std::vector<Expect> &rows)
{
    for (size_t r = 0; r < rows.size(); ++r) {
        SCOPED_TRACE(gPatchInfo[r].part);
        EXPECT_EQ(gPatchInfo[r].start, rows[r].start);
        EXPECT_EQ(gPatchInfo[r].size, rows[r].size);
        EXPECT_EQ(gPatchInfo[r].balance, rows[r].balance);
        EXPECT_EQ(gPatchInfo[r].nblockdelta, rows[r].delta);
        EXPECT_EQ(gPatchInfo[r].fneedupdate, rows[r].update);
    }
}

TEST(DeviceTables, LookupIgnoresCaseAndRefusesUnknownNames)
{
    UseLayout(false);
    vakotest::SyslogClear();
    EXPECT_STREQ(SzUPDTGetDeviceByName("FIS Directory"), "/dev/mtd7");
    EXPECT_STREQ(SzUPDTGetDeviceByName("alllib.TGZ"), "/dev/mtd3");
    EXPECT_EQ(SzUPDTGetDeviceByName("swap"), nullptr);
    EXPECT_EQ(SzUPDTGetDeviceByName(nullptr), nullptr);
    EXPECT_TRUE(vakotest::SyslogMatches("SzUPDTGetDeviceByName({L}): unknown partition name [swap]"));
    EXPECT_TRUE(vakotest::SyslogMatches("SzUPDTGetDeviceByName({L}): parameter error"));
    UseLayout(true);
    EXPECT_STREQ(SzUPDTGetDeviceByName("FIS Directory"), "/dev/mtd5");
    EXPECT_STREQ(SzUPDTGetDeviceByName("vendor"), "/dev/mtd3");
    EXPECT_EQ(SzUPDTGetDeviceByName("AllLib.tgz"), nullptr);
    EXPECT_EQ(gPatchInfo[6].part, nullptr);
    EXPECT_EQ(gPatchInfo[7].part, nullptr);
}

TEST(DeviceTables, IndexByNameInTheDirectory)
{
    std::vector<VAKOFISENTRY> dir = JuniorDirectory();
    dir.push_back(Entry("zImage", 1, 2));
    memcpy(dir[3].name, "ABCDEFGHIJKLMNOP", 16); // a name without NUL
    vakotest::SyslogClear();
    EXPECT_EQ(GetIdxByName("ZIMAGE", dir.data(), dir.size()), 1);
    EXPECT_EQ(GetIdxByName("FIS Directory", dir.data(), dir.size()), 5);
    EXPECT_EQ(GetIdxByName("ABCDEFGHIJKLMNOP", dir.data(), dir.size()), 3);
    EXPECT_EQ(GetIdxByName("ABCDEFGHIJKLMNOPQ", dir.data(), dir.size()), -1);
    EXPECT_EQ(GetIdxByName("vendor", dir.data(), dir.size()), -1);
    EXPECT_EQ(GetIdxByName("zImage", dir.data(), 0), -1);
    EXPECT_EQ(GetIdxByName(nullptr, dir.data(), dir.size()), -1);
    EXPECT_EQ(GetIdxByName("zImage", nullptr, 3), -1);
    EXPECT_TRUE(vakotest::SyslogMatches("GetIdxByName({L}): unknown partition name [vendor]"));
    EXPECT_TRUE(vakotest::SyslogMatches("GetIdxByName({L}): unknown partition name [zImage]")); // count 0
    EXPECT_EQ(vakotest::SyslogCount("GetIdxByName({L}): parameter error"), 2);
}

TEST(DeviceTables, FixedPartitionsAndNegativeBalance)
{
    for (const char *name : {"vakocfg", "VENDOR", "RedBoot Config", "fis directory"})
        EXPECT_EQ(IsFixedPartition(name), 1) << name;
    for (const char *name : {"RedBoot", "zImage", "rd.gz", "AllLib.tgz", "FIS", ""})
        EXPECT_EQ(IsFixedPartition(name), 0) << name;
    EXPECT_EQ(IsFixedPartition(nullptr), 0);

    PATCHINFO rows[3] = {};
    rows[2].balance = -1;
    EXPECT_EQ(HasNegativeBalance(rows, 3), 1);
    EXPECT_EQ(HasNegativeBalance(rows, 2), 0);
    EXPECT_EQ(HasNegativeBalance(rows, 0), 0);
    EXPECT_EQ(HasNegativeBalance(rows, -1), 0);
}

TEST(Resize, LargestBalanceDonatesAndLaterRowsMoveUp)
{
    UseLayout(false);
    std::vector<VAKOFISENTRY> dir = NormalDirectory();
    FillRows(dir, {2, -1, 3, 3, 5, 5, 0, 0});
    ASSERT_EQ(ErrUPDTAdjustPartitionSize(gPatchInfo, gPartitionCount), 0);
    ExpectRows({
        {0xfe000000, 4 * kBlock, 2, 0, 0},
        {0xfe040000, 17 * kBlock, 0, 1, 1},
        {0xfe150000, 15 * kBlock, 2, -1, 1},
        {0xfe240000, 16 * kBlock, 3, 0, 0},
        {0xfe340000, kBlock, 5, 0, 0},
        {0xfe350000, kBlock, 5, 0, 0},
        {0xfe360000, kBlock, 0, 0, 0},
        {0xfe370000, kBlock, 0, 0, 0},
    });
    EXPECT_EQ(UPDTCheckResizedLayout(gPatchInfo, gPartitionCount, dir.data(), dir.size()), 0);
}

TEST(Resize, BootLoaderDonatesWhenItHasMostAndLaterRowsMoveDown)
{
    UseLayout(false);
    std::vector<VAKOFISENTRY> dir = NormalDirectory();
    FillRows(dir, {3, -2, 1, 0});
    ASSERT_EQ(ErrUPDTAdjustPartitionSize(gPatchInfo, gPartitionCount), 0);
    ExpectRows({
        {0xfe000000, 2 * kBlock, 1, -2, 1},
        {0xfe020000, 18 * kBlock, 0, 2, 1},
        {0xfe140000, 16 * kBlock, 1, 0, 0},
        {0xfe240000, 16 * kBlock, 0, 0, 0},
    });
    EXPECT_EQ(UPDTCheckResizedLayout(gPatchInfo, gPartitionCount, dir.data(), dir.size()), 0);
}

TEST(Resize, RefusedWhenNoMovableRowHasRoom)
{
    struct Case {
        const char *what;
        std::vector<int> balances;
    } cases[] = {
        {"boot loader itself in deficit", {-1, 0, 0, -2, 9, 9, 9, 9}},
        {"only fixed rows have room", {0, -1, 0, 0, 4, 3, 2, 1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        UseLayout(false);
        FillRows(NormalDirectory(), c.balances);
        vakotest::SyslogClear();
        EXPECT_EQ(ErrUPDTAdjustPartitionSize(gPatchInfo, gPartitionCount), -1);
        EXPECT_TRUE(vakotest::SyslogMatches("ErrUPDTAdjustPartitionSize({L}): negative balance"));
        // Nothing was laid out: no row moved or marked for writing.
        EXPECT_EQ(gPatchInfo[2].start, 0xfe140000u);
        EXPECT_EQ(gPatchInfo[2].fneedupdate, 0u);
    }
}

TEST(Resize, FailureKeepsWhatThePhaseOfMovingDid)
{
    UseLayout(false);
    FillRows(NormalDirectory(), {0, -3, 2, 0});
    EXPECT_EQ(ErrUPDTAdjustPartitionSize(gPatchInfo, gPartitionCount), -1);
    ExpectRows({
        {0xfe000000, 4 * kBlock, 0, 0, 0},
        {0xfe040000, 16 * kBlock, -1, 2, 1},
        {0xfe140000, 16 * kBlock, 0, -2, 0},
    });
}

TEST(DirectoryLayout, FlashEndingAtTheTopOfTheAddressSpaceIsAccepted)
{
    // The recovery image's directory ends at exactly 4 GiB.
    std::vector<VAKOFISENTRY> junior = JuniorDirectory();
    EXPECT_EQ(UPDTCheckDirectoryLayout(junior.data(), junior.size()), 0);
    std::vector<VAKOFISENTRY> normal = NormalDirectory();
    EXPECT_EQ(UPDTCheckDirectoryLayout(normal.data(), normal.size()), 0);
}

TEST(DirectoryLayout, OverlapsAndRegionsPastTheFlashAreRefused)
{
    struct Case {
        const char *what;
        int row;
        uint32_t base, size;
        const char *message;
    } cases[] = {
        {"vendor reaching into vakocfg", 4, 0xfe340000, 2 * kBlock,
         "UPDTCheckDirectoryLayout({L}): [vakocfg] at 0xFE350000 size 0x00010000 overlaps [vendor] at 0xFE340000 "
         "size 0x00020000"},
        {"rd.gz beginning inside zImage", 2, 0xfe130000, 16 * kBlock,
         "UPDTCheckDirectoryLayout({L}): [rd.gz] at 0xFE130000 size 0x00100000 overlaps [zImage] at 0xFE040000 "
         "size 0x00100000"},
        {"AllLib.tgz past the directory", 3, 0xfe380000, kBlock,
         "UPDTCheckDirectoryLayout({L}): [AllLib.tgz] at 0xFE380000 size 0x00010000 ends past the flash at "
         "0xFE380000"},
        {"RedBoot wrapping past 4 GiB", 0, 0xfff00000, 0x200000,
         "UPDTCheckDirectoryLayout({L}): [RedBoot] at 0xFFF00000 size 0x00200000 ends past the flash at "
         "0xFE380000"},
        // The directory's own entry is held to the 32-bit address space.
        {"the directory's entry past 4 GiB", 7, 0xffff0000, 0x20000,
         "UPDTCheckDirectoryLayout({L}): [FIS Directory] at 0xFFFF0000 size 0x00020000 ends past the flash at "
         "0x100000000"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        vakotest::SyslogClear();
        std::vector<VAKOFISENTRY> dir = NormalDirectory();
        dir[c.row].flash_base = c.base;
        dir[c.row].size = c.size;
        EXPECT_EQ(UPDTCheckDirectoryLayout(dir.data(), dir.size()), -1);
        EXPECT_TRUE(vakotest::SyslogMatches(c.message));
    }
    // The directory of the recovery image with its own entry grown by a block.
    vakotest::SyslogClear();
    std::vector<VAKOFISENTRY> junior = JuniorDirectory();
    junior.back().size = 0x20000;
    EXPECT_EQ(UPDTCheckDirectoryLayout(junior.data(), junior.size()), -1);
    EXPECT_TRUE(vakotest::SyslogMatches("UPDTCheckDirectoryLayout({L}): [FIS Directory] at 0xFFFF0000 size 0x00020000 "
                                        "ends past the flash at 0x100000000"));
}

TEST(ResizedLayout, TableOrderThatIsNotAddressOrderIsRefused)
{
    struct Case {
        const char *what;
        std::vector<int> balances;
    } cases[] = {
        // RedBoot shrinks, so zImage (lowest on the flash) moves below it.
        {"zImage moved below the flash", {2, -1, 1}},
        // rd.gz donates: zImage grows into vendor.
        {"zImage grown into vendor", {0, -1, 2}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        UseLayout(true);
        std::vector<VAKOFISENTRY> dir = JuniorDirectory();
        FillRows(dir, c.balances);
        ASSERT_EQ(ErrUPDTAdjustPartitionSize(gPatchInfo, gPartitionCount), 0);
        EXPECT_EQ(UPDTCheckResizedLayout(gPatchInfo, gPartitionCount, dir.data(), dir.size()), -1);
    }
}

TEST(ResizedLayout, MovedRowMustStayErasedAligned)
{
    UseLayout(false);
    std::vector<VAKOFISENTRY> dir = NormalDirectory();
    dir[2].size = 16 * kBlock - 0x800;
    FillRows(dir, {0, -1, 3, 0});
    ASSERT_EQ(ErrUPDTAdjustPartitionSize(gPatchInfo, gPartitionCount), 0);
    EXPECT_EQ(UPDTCheckResizedLayout(gPatchInfo, gPartitionCount, dir.data(), dir.size()), -1);
}

TEST(ResizedLayout, RowShrunkToNothingIsRefused)
{
    UseLayout(false);
    std::vector<VAKOFISENTRY> dir = NormalDirectory();
    FillRows(dir, {0, -4, 0, 0});
    gPatchInfo[0].size = 4 * kBlock;
    gPatchInfo[0].balance = 4;
    ASSERT_EQ(ErrUPDTAdjustPartitionSize(gPatchInfo, gPartitionCount), 0);
    EXPECT_EQ(gPatchInfo[0].size, 0u);
    EXPECT_EQ(UPDTCheckResizedLayout(gPatchInfo, gPartitionCount, dir.data(), dir.size()), -1);
}

class LockAll : public testing::Test {
protected:
    void TearDown() override { memset(gDeviceTable, 0, sizeof(gDeviceTable)); }
};

TEST_F(LockAll, EmptyTableLocksNothing)
{
    memset(gDeviceTable, 0, sizeof(gDeviceTable));
    vakotest::SyslogClear();
    EXPECT_EQ(UPDTLockAll(1), 0);
    EXPECT_EQ(UPDTLockAll(0), 0);
    EXPECT_TRUE(vakotest::SyslogLines().empty());
}

TEST_F(LockAll, PassesOverTheDirectoryRowsAndStopsAtTheFirstFailure)
{
    // Neither device exists: the first row not passed over fails.
    gDeviceTable[0] = {"redboot CONFIG", "/dev/no-config"};
    gDeviceTable[1] = {"fis directory", "/dev/no-fis"};
    gDeviceTable[2] = {"zImage", "/dev/no-such-mtd"};
    gDeviceTable[3] = {"rd.gz", "/dev/no-other-mtd"};
    gDeviceTable[4] = {nullptr, nullptr};
    const std::pair<int, const char *> cases[] = {
        {1, "UPDTLockAll: VAKOMTDLockPartition(/dev/no-such-mtd) fail"},
        {0, "UPDTLockAll: VAKOMTDUnlockPartition(/dev/no-such-mtd) fail"},
        {2, "UPDTLockAll: VAKOMTDUnlockPartition(/dev/no-such-mtd) fail"},
    };
    for (auto [lock, message] : cases) {
        vakotest::SyslogClear();
        EXPECT_EQ(UPDTLockAll(lock), -1) << lock;
        EXPECT_TRUE(vakotest::SyslogHas(message)) << lock;
        for (const auto &t : vakotest::SyslogTexts()) {
            EXPECT_EQ(t.find("no-config"), std::string::npos) << t;
            EXPECT_EQ(t.find("no-fis"), std::string::npos) << t;
            EXPECT_EQ(t.find("no-other-mtd"), std::string::npos) << t;
        }
    }
}

} // namespace
