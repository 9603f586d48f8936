#include <gtest/gtest.h>

#include <utility>

#include "updater.h"

namespace {

TEST(ResultWords, Table)
{
    const std::pair<int, const char *> words[] = {
        {0, "upgrade_success"},       {1, "error_dirop"},          {2, "error_dirop"},
        {3, "error_dirop"},           {4, "error_bootmediaop"},    {5, "error_bootmediaop"},
        {6, "error_read_ver"},        {7, "error_read_patch_ver"}, {8, "error_read_mod"},
        {9, "error_read_patch_mod"},  {10, "error_version"},       {11, "error_model"},
        {12, "error_company"},        {13, "error_patch"},         {14, "error_update_unknown"},
        {22, "error_update_unknown"}, {23, "error_memory"},        {24, "error_reboot"}};
    for (auto [code, word] : words)
        EXPECT_STREQ(SzUPDTResultWord(code), word) << code;
    EXPECT_EQ(SzUPDTResultWord(-1), nullptr);
    EXPECT_EQ(SzUPDTResultWord(25), nullptr);
}

} // namespace
