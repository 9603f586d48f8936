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
    const char *cases[] = {"plain",      "with blank", "it's", "$HOME", "`id`",        "a\"b",
                           "semi;colon", "new\nline",  "'",    "",      "back\\slash", "*?[x]"};
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

// A name the shell reads as it stands goes into the command as it stands;
// any other is quoted, and the shell reads each as the name.
TEST(ShellWord, PlainNamesStandQuotedOthersAreQuoted)
{
    const std::pair<const char *, const char *> cases[] = {
        {"/volume1", "/volume1"},
        {"/volume1/.@pgsql_upgrade", "/volume1/.@pgsql_upgrade"},
        {"/volume_2-x+y", "/volume_2-x+y"},
        {"/v o", "'/v o'"},
        {"/it's", "'/it'\\''s'"},
        {"/$(id)", "'/$(id)'"},
        {"/*", "'/*'"},
        {"~", "'~'"},
        {"", "''"},
    };
    for (const auto &[text, word] : cases) {
        char out[64];
        ASSERT_EQ(UPDTShellWord(text, out, sizeof(out)), static_cast<int>(strlen(word))) << text;
        EXPECT_STREQ(out, word);
        std::string cmd = std::string("printf '%s' ") + out + " > /tmp/arg";
        ASSERT_EQ(UPDTExecute(cmd.c_str()), 0) << cmd;
        EXPECT_EQ(ReadFile("/tmp/arg"), text) << cmd;
    }
    char out[8];
    EXPECT_EQ(UPDTShellWord("/volume", out, 8), 7);
    EXPECT_EQ(UPDTShellWord("/volume1", out, 8), -1);
    EXPECT_EQ(UPDTShellWord("/v o", out, 6), -1);
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

} // namespace
