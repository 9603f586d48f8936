#include "slib/error.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <syslog.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "vakotest/files.h"
#include "vakotest/logs.h"
#include "vakotest/planted.h"
#include "vakotest/run.h"

using vakotest::ReadFile;

namespace {

// Each case runs in a process of its own (one sandbox per case), so the
// process-wide state starts zeroed in every case.
TEST(ErrorState, StartsZeroed)
{
    EXPECT_EQ(SLIBErrorGet(), 0);
    EXPECT_EQ(SLIBErrorGetFile(), nullptr);
    EXPECT_EQ(SLIBErrorGetLine(), 0);
}

TEST(ErrorState, LastFailureWinsAndStaysAfterSuccess)
{
    SLIBErrorSetEx(0x0900, "first_file", 10);
    SLIBErrorSetEx(0x2000, "second_file", 20);
    EXPECT_EQ(SLIBErrorGet(), 0x2000);
    EXPECT_STREQ(SLIBErrorGetFile(), "second_file");
    EXPECT_EQ(SLIBErrorGetLine(), 20);
    // A successful operation does not clear it.
    ASSERT_EQ(SLIBErrorLogSet("/tmp/ok.log", "fine"), 0);
    EXPECT_EQ(SLIBErrorGet(), 0x2000);
}

TEST(ErrorState, SetWithoutPosition)
{
    SLIBErrorSetEx(0x0900, "somewhere", 5);
    SLIBErrorSet(0x0D00);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(SLIBErrorGetFile(), nullptr);
    EXPECT_EQ(SLIBErrorGetLine(), 0);
}

TEST(ErrorState, MacroRecordsThisFileAndLine)
{
    int line = __LINE__ + 1;
    SLIB_ERR(SLIB_ERR_NOT_FOUND);
    EXPECT_EQ(SLIBErrorGet(), 0x2000);
    EXPECT_STREQ(SLIBErrorGetFile(), "error_test.cpp");
    EXPECT_EQ(SLIBErrorGetLine(), line);
}

std::string CaptureStdout(void (*fn)())
{
    fflush(stdout);
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(ErrorBacktrace, PrintsFramesUntilFreed)
{
    SLIBErrorSet(0x0200);
    std::string out = CaptureStdout(SLIBErrorBacktracePrint);
    EXPECT_FALSE(out.empty());
    SLIBErrorBacktraceFree();
    EXPECT_EQ(CaptureStdout(SLIBErrorBacktracePrint), "");
    // A later recording works again.
    SLIBErrorSet(0x0200);
    EXPECT_FALSE(CaptureStdout(SLIBErrorBacktracePrint).empty());
}

// Records a code `depth` calls below the caller, or prints the frames there.
__attribute__((noinline)) void RecordBelow(int depth)
{
    if (depth > 0)
        RecordBelow(depth - 1);
    else
        SLIBErrorSet(0x0200);
    asm volatile(""); // no tail call: each level keeps its frame
}

__attribute__((noinline)) void PrintBelow(int depth, std::string *pOut)
{
    if (depth > 0)
        PrintBelow(depth - 1, pOut);
    else
        *pOut = CaptureStdout(SLIBErrorBacktracePrint);
    asm volatile("");
}

// The frames printed are those of the moment the code was recorded,
// wherever and however often they are printed.
TEST(ErrorBacktrace, FramesAreThoseOfTheRecording)
{
    RecordBelow(6);
    std::string deep = CaptureStdout(SLIBErrorBacktracePrint), again;
    PrintBelow(9, &again);
    EXPECT_EQ(again, deep);
    EXPECT_EQ(CaptureStdout(SLIBErrorBacktracePrint), deep);
    RecordBelow(0);
    std::string shallow = CaptureStdout(SLIBErrorBacktracePrint);
    EXPECT_EQ(std::count(deep.begin(), deep.end(), '\n') - std::count(shallow.begin(), shallow.end(), '\n'), 6);
}

TEST(ErrorBacktrace, LogWritesConsoleLines)
{
    vakotest::WriteFile("/dev/console", "");
    SLIBErrorSet(0x0200);
    std::string printed = CaptureStdout(SLIBErrorBacktracePrint);
    SLIBErrorBacktraceLog();
    // The console gets the same lines that print writes.
    EXPECT_EQ(ReadFile("/dev/console"), printed);
    SLIBErrorBacktraceFree();
    vakotest::WriteFile("/dev/console", "");
    SLIBErrorBacktraceLog();
    EXPECT_EQ(ReadFile("/dev/console"), "");
}

TEST(ErrorBacktrace, LogSendsEachFrameToTheSystemLog)
{
    SLIBErrorSet(0x0200);
    std::string printed = CaptureStdout(SLIBErrorBacktracePrint);
    vakotest::SyslogClear();
    SLIBErrorBacktraceLog();
    // One LOG_ERR record per frame, each with the "\n" of the format.
    std::string logged;
    for (const auto &line : vakotest::SyslogLines()) {
        EXPECT_EQ(line.level, LOG_ERR);
        ASSERT_FALSE(line.text.empty());
        EXPECT_EQ(line.text.back(), '\n');
        logged += line.text;
    }
    EXPECT_EQ(logged, printed);
    // Also without a console to write to.
    unlink("/dev/console");
    vakotest::SyslogClear();
    SLIBErrorBacktraceLog();
    EXPECT_EQ(vakotest::SyslogLines().size(), static_cast<size_t>(std::count(printed.begin(), printed.end(), '\n')));
    SLIBErrorBacktraceFree();
    vakotest::SyslogClear();
    SLIBErrorBacktraceLog();
    EXPECT_TRUE(vakotest::SyslogLines().empty());
}

TEST(TextLog, AppendCreatesAndJoinsUnterminatedLine)
{
    const char *p = "/tmp/text.log";
    ASSERT_EQ(SLIBErrorLogSet(p, "one"), 0);
    EXPECT_EQ(ReadFile(p), "one\n");
    vakotest::WriteFile(p, "partial");
    ASSERT_EQ(SLIBErrorLogSet(p, "rest"), 0);
    EXPECT_EQ(ReadFile(p), "partialrest\n");
}

TEST(TextLog, TextIsNeverAFormat)
{
    const char *p = "/tmp/fmt.log";
    ASSERT_EQ(SLIBErrorLogSet(p, "100% %d %s %n"), 0);
    EXPECT_EQ(ReadFile(p), "100% %d %s %n\n");
}

TEST(TextLog, Errors)
{
    EXPECT_EQ(SLIBErrorLogSet(nullptr, "x"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_STREQ(SLIBErrorGetFile(), "error_log_set");
    EXPECT_EQ(SLIBErrorLogSet("/tmp/x", nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(SLIBErrorLogSet("/tmp/no/such/dir/x.log", "x"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
    EXPECT_STREQ(SLIBErrorGetFile(), "error_log_set");
    mkdir("/tmp/adir", 0755);
    EXPECT_EQ(SLIBErrorLogSet("/tmp/adir", "x"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
}

TEST(TextLog, WriteFailureIsReported)
{
    // A volume with no byte left accepts the open and fails every write,
    // short or long.
    vakotest::MountSmallVolume("/tmp/full", 4096);
    vakotest::WriteFile("/tmp/full/text.log", "");
    vakotest::FillVolume("/tmp/full");
    for (size_t len : {size_t{0}, size_t{1}, size_t{70000}}) {
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBErrorLogSet("/tmp/full/text.log", std::string(len, 'x').c_str()), -1) << len;
        EXPECT_EQ(SLIBErrorGet(), 0x0B00) << len;
        EXPECT_EQ(ReadFile("/tmp/full/text.log"), "");
    }
}

// A log whose name another user could reach must not make its writer
// append to, or empty, a file the name points at, nor wait on a FIFO.
TEST(TextLog, OnlyARegularFileIsALog)
{
    const char *p = "/tmp/text.log";
    for (vakotest::Plant plant :
         {vakotest::Plant::kLinkToFile, vakotest::Plant::kDanglingLink, vakotest::Plant::kFullFifo}) {
        SCOPED_TRACE(vakotest::PlantName(plant));
        vakotest::Planted planted(plant, p);
        EXPECT_EQ(vakotest::RunGuarded([&] {
                      SLIBErrorSet(0);
                      bool refused = SLIBErrorLogSet(p, "line") == -1 && SLIBErrorGet() == 0x0900;
                      SLIBErrorLogReset(p);
                      return refused ? 0 : 1;
                  }),
                  0);
        EXPECT_TRUE(planted.VictimsUntouched());
    }
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBErrorLogSet("/dev/null", "line"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
}

TEST(TextLog, Reset)
{
    const char *p = "/tmp/reset.log";
    SLIBErrorLogReset(nullptr);
    SLIBErrorLogReset(p);
    ASSERT_TRUE(vakotest::FileExists(p));
    EXPECT_EQ(ReadFile(p), "");
    vakotest::WriteFile(p, "old content\n");
    SLIBErrorLogReset(p);
    EXPECT_EQ(ReadFile(p), "");
}

} // namespace
