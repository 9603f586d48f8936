#include "vako/schedule.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "slib/error.h"
#include "vakotest/testkit.h"

using vakotest::ReadFile;
using vakotest::SyslogHas;
using vakotest::WriteFile;

namespace {

constexpr const char *kCrontab = "/etc/crontab";
constexpr const char *kHead = "# system crontab\nMAILTO=\"\"\n0\t1\t*\t*\t*\troot\t/usr/bin/other --x\n";

VAKOSCHEDULE Schedule(int weekdays, int start, int end, int interval, int minute, const std::string &cmd)
{
    VAKOSCHEDULE s;
    memset(&s, 0, sizeof s);
    s.weekdays = weekdays;
    s.startHour = start;
    s.endHour = end;
    s.interval = interval;
    s.minute = minute;
    snprintf(s.szCommand, sizeof s.szCommand, "%s", cmd.c_str());
    return s;
}

// A crond stand-in: a process whose pid stands in /var/run/crond.pid and
// that SIGHUP ends.
pid_t StartCrond()
{
    pid_t pid = vakotest::ForkChild([] {
        pause();
        return 0;
    });
    WriteFile("/var/run/crond.pid", std::to_string(pid) + "\n");
    return pid;
}

void ExpectHupped(pid_t crond) { EXPECT_EQ(vakotest::WaitChild(crond), 128 + SIGHUP); }

TEST(Schedule, SetAppendsTheLineAndSignalsCrond)
{
    WriteFile(kCrontab, kHead);
    pid_t crond = StartCrond();
    VAKOSCHEDULE s = Schedule(0x7F, 3, 3, 0, 30, "/usr/bin/backup --task 7");
    ASSERT_EQ(VAKOScheduleSet(&s), 0);
    EXPECT_EQ(ReadFile(kCrontab), std::string(kHead) + "30\t3\t*\t*\t*\troot\t/usr/bin/backup --task 7\n");
    ExpectHupped(crond);
}

TEST(Schedule, LineFormats)
{
    struct Case {
        int weekdays, start, end, interval, minute;
        const char *line;
    };
    const Case cases[] = {
        {0x2A, 1, 13, 4, 0, "0\t1-13/4\t*\t*\t1,3,5\troot\t/bin/job"},
        {0xFF, 0, 23, 1, 59, "59\t0-23/1\t*\t*\t0,1,2,3,4,5,6\troot\t/bin/job"},
        {0x61, 5, 5, 2, 15, "15\t5\t*\t*\t0,5,6\troot\t/bin/job"},
        {0x7F, 4, 20, 0, 7, "7\t4\t*\t*\t*\troot\t/bin/job"},
    };
    for (const Case &c : cases) {
        WriteFile(kCrontab, "");
        VAKOSCHEDULE s = Schedule(c.weekdays, c.start, c.end, c.interval, c.minute, "/bin/job");
        ASSERT_EQ(VAKOScheduleSet(&s), 0) << c.line;
        EXPECT_EQ(ReadFile(kCrontab), std::string(c.line) + "\n");
    }
}

TEST(Schedule, SetReplacesTheLineHoldingTheCommandInPlace)
{
    WriteFile(kCrontab,
              std::string(kHead) + "0\t2\t*\t*\t*\troot\t/usr/bin/backup --task 7\n5\t5\t*\t*\t*\troot\t/bin/last\n");
    VAKOSCHEDULE s = Schedule(0x01, 6, 6, 0, 45, "/usr/bin/backup --task 7");
    ASSERT_EQ(VAKOScheduleSet(&s), 0);
    EXPECT_EQ(ReadFile(kCrontab),
              std::string(kHead) + "45\t6\t*\t*\t0\troot\t/usr/bin/backup --task 7\n5\t5\t*\t*\t*\troot\t/bin/last\n");
}

TEST(Schedule, BadSchedulesAreRefused)
{
    struct Case {
        VAKOSCHEDULE s;
        const char *message;
    };
    const Case cases[] = {
        {Schedule(0x80, 1, 1, 0, 0, "/bin/job"), "time or command error 1,0,0,1,/bin/job"},
        {Schedule(0x7F, 1, 1, 0, 60, "/bin/job"), "time or command error 1,60,0,1,/bin/job"},
        {Schedule(0x7F, 9, 8, 1, 0, "/bin/job"), "time or command error 9,0,1,8,/bin/job"},
        {Schedule(0x7F, 24, 24, 0, 0, "/bin/job"), "time or command error 24,0,0,24,/bin/job"},
        {Schedule(0x7F, 1, 2, 24, 0, "/bin/job"), "time or command error 1,0,24,2,/bin/job"},
        {Schedule(0x7F, -1, 2, 0, 0, "/bin/job"), "time or command error -1,0,0,2,/bin/job"},
        {Schedule(0x7F, 1, 1, 0, -1, "/bin/job"), "time or command error 1,-1,0,1,/bin/job"},
        // Nothing to run, or a second line of its own.
        {Schedule(0x7F, 1, 1, 0, 0, ""), "time or command error 1,0,0,1,"},
        {Schedule(0x7F, 1, 1, 0, 0, "/bin/job\n* * * * * root /bin/evil"),
         "time or command error 1,0,0,1,/bin/job\n* * * * * root /bin/evil"},
        {Schedule(0x7F, 1, 1, 0, 0, "/bin/job\r"), "time or command error 1,0,0,1,/bin/job\r"},
    };
    WriteFile(kCrontab, kHead);
    for (const Case &c : cases) {
        vakotest::SyslogClear();
        VAKOSCHEDULE s = c.s;
        EXPECT_EQ(VAKOScheduleSet(&s), -1) << c.message;
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        EXPECT_STREQ(SLIBErrorGetFile(), "crontab_schedule_set");
        std::vector<std::string> texts = vakotest::SyslogTexts();
        ASSERT_EQ(texts.size(), 1u) << c.message;
        EXPECT_TRUE(texts[0].starts_with("VAKOScheduleSet(")) << texts[0];
        EXPECT_TRUE(texts[0].ends_with(std::string("): ") + c.message)) << texts[0];
    }
    EXPECT_EQ(ReadFile(kCrontab), kHead);
    EXPECT_EQ(VAKOScheduleSet(nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
}

TEST(Schedule, LineThatWouldBeCutIsRefused)
{
    WriteFile(kCrontab, kHead);
    // 1023 characters fit the line buffer; the command makes the line longer.
    std::string prefix = "30\t3\t*\t*\t*\troot\t";
    VAKOSCHEDULE fits = Schedule(0x7F, 3, 3, 0, 30, "/bin/" + std::string(1023 - prefix.size() - 5, 'c'));
    ASSERT_EQ(VAKOScheduleSet(&fits), 0);
    std::string content = ReadFile(kCrontab);
    VAKOSCHEDULE cut = Schedule(0x7F, 3, 3, 0, 30, "/bin/" + std::string(1023 - prefix.size() - 4, 'd'));
    EXPECT_EQ(VAKOScheduleSet(&cut), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(ReadFile(kCrontab), content);
}

TEST(Schedule, GetReadsTheLineBack)
{
    WriteFile(kCrontab, std::string(kHead) + "0\t1-13/4\t*\t*\t1,3,5\troot\t/usr/bin/backup --task 7\n");
    VAKOSCHEDULE s = Schedule(0, 0, 0, 0, 0, "");
    ASSERT_EQ(VAKOScheduleGet("backup --task 7", &s), 1);
    EXPECT_EQ(s.weekdays, 0x2A);
    EXPECT_EQ(s.startHour, 1);
    EXPECT_EQ(s.endHour, 13);
    EXPECT_EQ(s.interval, 4);
    EXPECT_EQ(s.minute, 0);
    EXPECT_EQ(s.runsPerDay, 4);
    EXPECT_STREQ(s.szCommand, "/usr/bin/backup");
}

TEST(Schedule, GetFields)
{
    struct Case {
        const char *hours, *wdays;
        int weekdays, start, end, interval, runs;
    };
    const Case cases[] = {
        {"*", "*", 0x7F, 0, 0, 0, 1},         {"7", "0,7,9", 0x01, 7, 7, 0, 1},    {"23", "6", 0x40, 23, 23, 0, 1},
        {"2-20/6", "1,2", 0x06, 2, 20, 6, 4}, {"20-2/3", "3", 0x08, 20, 2, 3, -5},
    };
    for (const Case &c : cases) {
        WriteFile(kCrontab, std::string("15\t") + c.hours + "\t*\t*\t" + c.wdays + "\troot\t/bin/job arg\n");
        VAKOSCHEDULE s = Schedule(0, 0, 0, 0, 0, "");
        vakotest::SyslogClear();
        ASSERT_EQ(VAKOScheduleGet("/bin/job", &s), 1) << c.hours;
        EXPECT_EQ(s.weekdays, c.weekdays) << c.wdays;
        EXPECT_EQ(s.startHour, c.start) << c.hours;
        EXPECT_EQ(s.endHour, c.end) << c.hours;
        EXPECT_EQ(s.interval, c.interval) << c.hours;
        EXPECT_EQ(s.runsPerDay, c.runs) << c.hours;
        EXPECT_EQ(s.minute, 15);
    }
    EXPECT_TRUE(vakotest::SyslogTexts().empty());
    // 9 is reported and passed over.
    WriteFile(kCrontab, "15\t7\t*\t*\t0,7,9\troot\t/bin/job\n");
    VAKOSCHEDULE s = Schedule(0, 0, 0, 0, 0, "");
    vakotest::SyslogClear();
    ASSERT_EQ(VAKOScheduleGet("/bin/job", &s), 1);
    std::vector<std::string> texts = vakotest::SyslogTexts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_TRUE(texts[0].starts_with("VAKOScheduleGet(")) << texts[0];
    EXPECT_TRUE(texts[0].ends_with("): wday field exceeded. : 9")) << texts[0];
}

TEST(Schedule, GetRefusesBadFields)
{
    struct Case {
        std::string line;
        std::string message;
    };
    const Case cases[] = {
        {"15\t1-5\t*\t*\t*\troot\t/bin/job", "): hour field format error. : 1-5"},
        {"15\t1,5\t*\t*\t*\troot\t/bin/job", "): hour field format error. : 1,5"},
        {"15\t24\t*\t*\t*\troot\t/bin/job", "): hour field exceeded. : "},
        {"15\t1-30/2\t*\t*\t*\troot\t/bin/job", "): hour field exceeded. : "},
        {"/bin/job", "): wday or hours field from /etc/crontab is empty "},
        // Fields longer than 19 characters.
        {"15\t1-2/" + std::string(16, '0') + "1\t*\t*\t*\troot\t/bin/job",
         "): wday or hours field from /etc/crontab is too long"},
        {"15\t1\t*\t*\t" + std::string(20, '1') + "\troot\t/bin/job",
         "): wday or hours field from /etc/crontab is too long"},
    };
    for (const Case &c : cases) {
        WriteFile(kCrontab, c.line + "\n");
        VAKOSCHEDULE s = Schedule(0, 0, 0, 0, 0, "");
        vakotest::SyslogClear();
        EXPECT_EQ(VAKOScheduleGet("/bin/job", &s), -1) << c.line;
        std::vector<std::string> texts = vakotest::SyslogTexts();
        ASSERT_EQ(texts.size(), 1u) << c.line;
        EXPECT_TRUE(texts[0].starts_with("VAKOScheduleGet(")) << texts[0];
        EXPECT_TRUE(texts[0].ends_with(c.message)) << texts[0];
    }
}

TEST(Schedule, GetOfACommandThatStandsInNoLine)
{
    WriteFile(kCrontab, std::string(kHead) + "#0\t1\t*\t*\t*\troot\t/bin/job\n;0\t1\t*\t*\t*\troot\t/bin/job\n");
    VAKOSCHEDULE s = Schedule(0, 0, 0, 0, 0, "keep");
    EXPECT_EQ(VAKOScheduleGet("/bin/job", &s), 0);
    EXPECT_EQ(SLIBErrorGet(), 0x2000);
    EXPECT_STREQ(SLIBErrorGetFile(), "crontab_schedule_get");
    EXPECT_STREQ(s.szCommand, "keep");
    EXPECT_EQ(VAKOScheduleGet(nullptr, &s), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(VAKOScheduleGet("/bin/job", nullptr), -1);
    vakotest::RemoveFile(kCrontab);
    EXPECT_EQ(VAKOScheduleGet("/bin/job", &s), -1);
}

TEST(Schedule, LongLinesAndCommentsAroundTheSchedule)
{
    std::string longOther = "0\t1\t*\t*\t*\troot\t/bin/other " + std::string(5000, 'o');
    std::string crontab = "# /bin/job in a comment " + std::string(3000, '#') + "\n" + longOther + "\n" +
                          "0\t2\t*\t*\t*\troot\t/bin/job\n";
    WriteFile(kCrontab, crontab);
    VAKOSCHEDULE s = Schedule(0, 0, 0, 0, 0, "");
    ASSERT_EQ(VAKOScheduleGet("/bin/job", &s), 1);
    EXPECT_EQ(s.startHour, 2);
    // The schedule's own line too long to read: an error, the file as it was.
    std::string longJob = "0\t2\t*\t*\t*\troot\t/bin/job " + std::string(1100, 'j');
    WriteFile(kCrontab, crontab + longJob + "\n");
    std::string before = ReadFile(kCrontab);
    EXPECT_EQ(VAKOScheduleGet("/bin/job jjjjjjjjjj", &s), -1);
    EXPECT_EQ(ReadFile(kCrontab), before);
}

TEST(Schedule, MatchingLineTooLongForTheProbeIsReplaced)
{
    // 128 characters and more: found all the same, and replaced.
    std::string cmd = "/bin/job";
    std::string old = "0\t2\t*\t*\t*\troot\t/bin/job " + std::string(200, 'a');
    WriteFile(kCrontab, std::string(kHead) + old + "\n" + "1\t1\t*\t*\t*\troot\t/bin/z\n");
    VAKOSCHEDULE s = Schedule(0x7F, 4, 4, 0, 10, cmd);
    ASSERT_EQ(VAKOScheduleSet(&s), 0);
    EXPECT_EQ(ReadFile(kCrontab), std::string(kHead) + "10\t4\t*\t*\t*\troot\t/bin/job\n1\t1\t*\t*\t*\troot\t/bin/z\n");
}

TEST(Schedule, RemoveDropsTheLineOrFindsNone)
{
    WriteFile(kCrontab, std::string(kHead) + "0\t2\t*\t*\t*\troot\t/bin/job -x\n");
    pid_t crond = StartCrond();
    ASSERT_EQ(VAKOScheduleRemove("/bin/job"), 0);
    EXPECT_EQ(ReadFile(kCrontab), kHead);
    ExpectHupped(crond);
    crond = StartCrond();
    ASSERT_EQ(VAKOScheduleRemove("/bin/job"), 0);
    EXPECT_EQ(ReadFile(kCrontab), kHead);
    ExpectHupped(crond);
    EXPECT_EQ(VAKOScheduleRemove(nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    // An empty command would match the first line.
    EXPECT_EQ(VAKOScheduleRemove(""), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(ReadFile(kCrontab), kHead);
}

TEST(Schedule, MovingAScheduleToANewCommand)
{
    WriteFile(kCrontab, std::string(kHead) + "30\t4\t*\t*\t1,2\troot\t/usr/bin/usbbkp --old\n");
    VAKOSCHEDULE s = Schedule(0, 0, 0, 0, 0, "");
    ASSERT_EQ(VAKOScheduleGet("/usr/bin/usbbkp --old", &s), 1);
    snprintf(s.szCommand, sizeof s.szCommand, "%s", "/usr/bin/localbkp --task 1");
    ASSERT_EQ(VAKOScheduleSet(&s), 0);
    ASSERT_EQ(VAKOScheduleRemove("/usr/bin/usbbkp --old"), 0);
    EXPECT_EQ(ReadFile(kCrontab), std::string(kHead) + "30\t4\t*\t*\t1,2\troot\t/usr/bin/localbkp --task 1\n");
}

TEST(Schedule, NoCrondIsOnlyLogged)
{
    WriteFile(kCrontab, kHead);
    vakotest::SyslogClear();
    VAKOSCHEDULE s = Schedule(0x7F, 1, 1, 0, 0, "/bin/job");
    ASSERT_EQ(VAKOScheduleSet(&s), 0);
    EXPECT_TRUE(vakotest::SyslogTexts().size() == 1 &&
                vakotest::SyslogTexts()[0].starts_with("crontab_update_crontab (") &&
                vakotest::SyslogTexts()[0].ends_with(") Failed to hup crond"));
}

TEST(Schedule, FileEngineFailuresAreReported)
{
    // No crontab: the existence test cannot read it.
    vakotest::SyslogClear();
    VAKOSCHEDULE s = Schedule(0x7F, 1, 1, 0, 0, "/bin/job");
    EXPECT_EQ(VAKOScheduleSet(&s), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
    std::vector<std::string> texts = vakotest::SyslogTexts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_TRUE(std::regex_match(
        texts[0], std::regex(R"(crontab_update_crontab \(\d+\) Failed to get line in crontab \(0x900\))")))
        << texts[0];
    EXPECT_TRUE(texts[1].starts_with("VAKOScheduleSet(") &&
                texts[1].ends_with("): fail to set the schedule to /etc/crontab"))
        << texts[1];
}

} // namespace
