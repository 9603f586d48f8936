// The stand-in's journal and state as the kit writes and reads them.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "kstub_testutil.h"

namespace {

using namespace kstubtest;

// ---- journal and fixture ----

TEST(KstubJournal, OneLinePerRequestWithProcessDeviceArgumentsAndResult)
{
    InstallTestChip();
    Probe({"open", "/dev/mtd2", "rw", "erase", "0x10000", "0x20000", "lock", "0", "0x40000", "unlock", "0", "0x40000",
           "setpart", "0x60000", "0x10000", "ioctl", "0x12345678"});
    auto j = ks::Journal(kDir);
    ASSERT_EQ(j.size(), 5u);
    const std::string pre = "\tkstub-probe\t/dev/mtd2\t";
    std::string first = j[0].substr(0, j[0].find('\t'));
    EXPECT_FALSE(first.empty());
    EXPECT_TRUE(std::all_of(first.begin(), first.end(), ::isdigit));
    EXPECT_EQ(j[0], first + pre + "MEMERASE\tstart=0x10000 length=0x20000\t0");
    EXPECT_EQ(j[1], first + pre + "MEMLOCK\tstart=0x0 length=0x40000\t0");
    EXPECT_EQ(j[2], first + pre + "MEMUNLOCK\tstart=0x0 length=0x40000\t0");
    EXPECT_EQ(j[3], first + pre + "SET_PARTITION\toffset=0x60000 size=0x10000\t0");
    EXPECT_EQ(j[4], first + pre + "0x12345678\t-\t-1 ENOTTY");
}

TEST(KstubFixture, EncodeFisEntryIsBigEndianWithNamePadded)
{
    auto e = ks::EncodeFisEntry("zImage", 0x01020304, 0x05060708, 0x090a0b0c, 0x0d0e0f10, 0x11121314);
    ASSERT_EQ(e.size(), 256u);
    EXPECT_EQ(Hex({e.begin(), e.begin() + 40}), "7a496d61676500000000000000000000"
                                                "01020304"
                                                "05060708"
                                                "090a0b0c"
                                                "0d0e0f10"
                                                "11121314"
                                                "00000000");
    EXPECT_TRUE(std::all_of(e.begin() + 36, e.end(), [](uint8_t c) { return c == 0; }));
    auto longName = ks::EncodeFisEntry("ABCDEFGHIJKLMNOPQRS", 0, 0, 0, 0, 0);
    EXPECT_EQ(Str({longName.begin(), longName.begin() + 17}), std::string("ABCDEFGHIJKLMNOP\0", 17));
}

TEST(KstubFixture, InstallRefusesWhatNoKernelWouldHave)
{
    ks::Chip outside = TestChip();
    outside.windows.push_back({"/dev/mtd5", 0xF0000, 0x20000});
    EXPECT_THROW(ks::Install(kDir, outside, {}), std::invalid_argument);
    ks::Chip badName = TestChip();
    badName.windows.push_back({"/dev/sda1", 0, 0x10000});
    EXPECT_THROW(ks::Install(kDir, badName, {}), std::invalid_argument);
    ks::Chip twice = TestChip();
    twice.windows.push_back({"mtd1", 0, 0x10000});
    EXPECT_THROW(ks::Install(kDir, twice, {}), std::invalid_argument);
    ks::Chip big = TestChip();
    big.image.push_back(0);
    EXPECT_THROW(ks::Install(kDir, big, {}), std::invalid_argument);

    ks::Chip blank{kChip, kErase, {{"mtd6", 0, 0x10000}}, {}};
    ks::Install(kDir, blank, {});
    ks::Chip back = ks::Load(kDir);
    EXPECT_EQ(back.image, std::vector<uint8_t>(kChip, 0xFF));
    ASSERT_EQ(back.windows.size(), 1u);
    EXPECT_EQ(back.windows[0].device, "/dev/mtd6");
    EXPECT_EQ(back.windows[0].dataLength, 0x10000u);
}

} // namespace
