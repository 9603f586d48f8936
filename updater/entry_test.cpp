#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "updater.h"
#include "vakotest/files.h"
#include "vakotest/logs.h"

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

TEST(Execute, FailureIsLoggedWithTheExitStatus)
{
    vakotest::SyslogClear();
    EXPECT_EQ(UPDTExecute("exit 3"), -1);
    EXPECT_EQ(UPDTExecute("true"), 0);
    EXPECT_EQ(UPDTExecute(nullptr), -1);
    auto lines = vakotest::SyslogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, LOG_ERR);
    EXPECT_TRUE(vakotest::LogPatternMatches("UPDTExecute({L}): failed to execute cmd=[exit 3], ret = 3", lines[0].text))
        << lines[0].text;
}

TEST(Execute, CommandEndedBySignalFails)
{
    // The shell itself is killed: system() reports a signal, not an exit status.
    EXPECT_EQ(UPDTExecute("kill -9 $$"), -1);
    EXPECT_EQ(UPDTExecute("kill -TERM $$"), -1);
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
