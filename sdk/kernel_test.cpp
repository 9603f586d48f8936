#include "vako/kernel.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <mtd/mtd-user.h>

namespace {

// The 32-bit PowerPC encoding of an ioctl request: direction in bits 29-31
// (none 1, read 2, write 4), size in bits 16-28, type and number below.
constexpr uint32_t PpcIoc(uint32_t dir, char type, uint32_t nr, uint32_t size)
{
    return (dir << 29) | (size << 16) | (static_cast<uint32_t>(type) << 8) | nr;
}
constexpr uint32_t PpcIor(char t, uint32_t nr, uint32_t size) { return PpcIoc(2, t, nr, size); }
constexpr uint32_t PpcIow(char t, uint32_t nr, uint32_t size) { return PpcIoc(4, t, nr, size); }

TEST(KernelRequests, StandardOnesArePowerPcEncodingsOfLinuxDefinitions)
{
    EXPECT_EQ(sizeof(mtd_info_user), 32u);
    EXPECT_EQ(sizeof(erase_info_user), 8u);
    EXPECT_EQ(VAKO_MEMGETINFO, PpcIor('M', 1, sizeof(struct mtd_info_user)));
    EXPECT_EQ(VAKO_MEMERASE, PpcIow('M', 2, sizeof(struct erase_info_user)));
    EXPECT_EQ(VAKO_MEMLOCK, PpcIow('M', 5, sizeof(struct erase_info_user)));
    EXPECT_EQ(VAKO_MEMUNLOCK, PpcIow('M', 6, sizeof(struct erase_info_user)));
    // The same requests as this host's Linux headers define them: only the
    // direction bits are placed differently.
    EXPECT_EQ(_IOC_NR(MEMGETINFO), 1u);
    EXPECT_EQ(_IOC_TYPE(MEMGETINFO), static_cast<unsigned>('M'));
    EXPECT_EQ(_IOC_SIZE(MEMGETINFO), 32u);
    EXPECT_EQ(_IOC_DIR(MEMGETINFO), static_cast<unsigned>(_IOC_READ));
    for (unsigned long req : {MEMERASE, MEMLOCK, MEMUNLOCK}) {
        EXPECT_EQ(_IOC_SIZE(req), 8u);
        EXPECT_EQ(_IOC_DIR(req), static_cast<unsigned>(_IOC_WRITE));
    }
    EXPECT_EQ(_IOC_NR(MEMERASE), 2u);
    EXPECT_EQ(_IOC_NR(MEMLOCK), 5u);
    EXPECT_EQ(_IOC_NR(MEMUNLOCK), 6u);
}

TEST(KernelRequests, AppliancesOwnNumbers)
{
    // Set partition passes two u32 words and says so; set-FIS-entry passes
    // the 28-byte entry record.
    EXPECT_EQ(VAKO_MTD_SET_PARTITION, PpcIow('M', 0x16, 8));
    EXPECT_EQ(VAKO_MTD_SET_FIS_ENTRY, PpcIow('M', 0x17, 28));
    // The three partition-table requests all encode 4 bytes, whatever they pass.
    EXPECT_EQ(VAKO_MTD_FORMAT, PpcIow('M', 0x18, 4));
    EXPECT_EQ(VAKO_MTD_SET_PART_TABLE, PpcIow('M', 0x19, 4));
    EXPECT_EQ(VAKO_MTD_GET_PART_TABLE, PpcIor('M', 0x1a, 4));
}

} // namespace
