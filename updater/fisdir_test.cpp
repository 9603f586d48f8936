#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "flash.h"

namespace {

void Put32(std::string &raw, size_t off, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        raw[off + i] = static_cast<char>(v >> (24 - 8 * i));
}

TEST(FisDirImage, SixBigEndianRecordsAndZeroEverywhereElse)
{
    struct Row {
        const char *name;
        uint32_t base, size, datalen;
    } rows[] = {
        {"RedBoot", 0xfff00000, 0x40000, 0x3a448},        {"zImage", 0xffe00000, 0xd0000, 0xc5eda},
        {"rd.gz", 0xfff40000, 0xb0000, 0xaee2c},          {"vendor", 0xffed0000, 0x10000, 0x10000},
        {"RedBoot Config", 0xffee0000, 0x10000, 0x10000}, {"FIS Directory", 0xffff0000, 0x10000, 0x600},
    };
    std::string expected(1536, '\0');
    for (int i = 0; i < 6; ++i) {
        size_t at = 256 * i;
        memcpy(&expected[at], rows[i].name, strlen(rows[i].name));
        Put32(expected, at + 16, rows[i].base);
        Put32(expected, at + 20, rows[i].base);
        Put32(expected, at + 24, rows[i].size);
        Put32(expected, at + 32, rows[i].datalen);
    }
    std::string image(UPDT_FISDIR_IMAGE_SIZE, '\x55');
    UPDTGetFISDirImage(reinterpret_cast<unsigned char *>(image.data()));
    EXPECT_EQ(image, expected);
}

} // namespace
