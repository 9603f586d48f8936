#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "updater.h"
#include "vakotest/testkit.h"

using vakotest::ReadFile;

namespace {

std::string Quote(const char *text, int room = 4096)
{
    std::string out(room, '\0');
    int n = UPDTShellQuote(text, out.data(), room);
    return n < 0 ? std::string("<refused>") : out.substr(0, n);
}

TEST(ShellQuote, EveryTextStaysOneArgument)
{
    const char *cases[] = {"plain", "with blank", "it's", "$HOME", "`id`", "a\"b", "semi;colon", "new\nline",
                           "'", "", "back\\slash", "*?[x]"};
    for (const char *text : cases) {
        std::string cmd = "printf '%s' " + Quote(text) + " > /tmp/arg";
        ASSERT_EQ(UPDTExecute(cmd.c_str()), 0) << cmd;
        EXPECT_EQ(ReadFile("/tmp/arg"), text) << cmd;
    }
}

TEST(ShellQuote, RefusesWhatDoesNotFit)
{
    EXPECT_EQ(Quote("abc", 6), "'abc'");
    EXPECT_EQ(Quote("abc", 5), "<refused>");
    EXPECT_EQ(Quote("'", 7), "''\\'''");
    EXPECT_EQ(Quote("'", 6), "<refused>");
}

TEST(FormatCommand, RefusesACutCommand)
{
    char buf[16];
    EXPECT_EQ(UPDTFormatCommand(buf, sizeof(buf), "/bin/rm -rf %s", "/x"), 14);
    EXPECT_STREQ(buf, "/bin/rm -rf /x");
    EXPECT_EQ(UPDTFormatCommand(buf, sizeof(buf), "/bin/rm -rf %s", "/xy"), 15);
    EXPECT_EQ(UPDTFormatCommand(buf, sizeof(buf), "/bin/rm -rf %s", "/xyz"), -1);
    EXPECT_STREQ(buf, "");
}

TEST(Execute, ExitStatusDecides)
{
    EXPECT_EQ(UPDTExecute(nullptr), -1);
    EXPECT_EQ(UPDTExecute("true"), 0);
    EXPECT_EQ(UPDTExecute("exit 3"), -1);
    EXPECT_EQ(UPDTExecute("/no/such/program"), -1);
}

TEST(Execute, CommandEndedBySignalFails)
{
    // The shell itself is killed: system() reports a signal, not an exit status.
    EXPECT_EQ(UPDTExecute("kill -9 $$"), -1);
    EXPECT_EQ(UPDTExecute("kill -TERM $$"), -1);
}

TEST(ResultWords, Table)
{
    const std::pair<int, const char *> words[] = {
        {0, "upgrade_success"}, {1, "error_dirop"}, {2, "error_dirop"}, {3, "error_dirop"},
        {4, "error_bootmediaop"}, {5, "error_bootmediaop"}, {6, "error_read_ver"},
        {7, "error_read_patch_ver"}, {8, "error_read_mod"}, {9, "error_read_patch_mod"},
        {10, "error_version"}, {11, "error_model"}, {12, "error_company"}, {13, "error_patch"},
        {14, "error_update_unknown"}, {22, "error_update_unknown"}, {23, "error_memory"},
        {24, "error_reboot"}};
    for (auto [code, word] : words)
        EXPECT_STREQ(SzUPDTResultWord(code), word) << code;
    EXPECT_EQ(SzUPDTResultWord(-1), nullptr);
    EXPECT_EQ(SzUPDTResultWord(25), nullptr);
}

} // namespace
