#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "updater.h"
#include "vakotest/files.h"
#include "vakotest/logs.h"

using vakotest::FileExists;
using vakotest::ReadFile;
using vakotest::WriteFile;

namespace {

TEST(Progress, FirstWriteCreatesLaterWritesReuseInPlace)
{
    ASSERT_FALSE(FileExists(UPDT_PROGRESS_FILE));
    UPDTSetProgress('P', 100);
    EXPECT_EQ(ReadFile(UPDT_PROGRESS_FILE), "P:100:      ");
    // Shorter text over a longer one: the older text's tail stays.
    UPDTSetProgress('C', 0);
    EXPECT_EQ(ReadFile(UPDT_PROGRESS_FILE), "C:0:        ");
    UPDTSetProgress('A', -24);
    EXPECT_EQ(ReadFile(UPDT_PROGRESS_FILE), "A:-24:      ");
}

TEST(Progress, WriteFileLockedResults)
{
    EXPECT_EQ(UPDTWriteFileLocked("/tmp/no/such/dir/f", "x", 1), -1);
    EXPECT_EQ(UPDTWriteFileLocked("/tmp/f", "abc", 0), 0);
    EXPECT_EQ(ReadFile("/tmp/f"), "abc");
    EXPECT_EQ(UPDTWriteFileLocked("/tmp/f", "x", 1), 0);
    EXPECT_EQ(ReadFile("/tmp/f"), "xbc");
    // Missing arguments are refused without touching anything.
    EXPECT_EQ(UPDTWriteFileLocked(nullptr, "x", 1), -1);
    EXPECT_EQ(UPDTWriteFileLocked("/tmp/g", nullptr, 1), -3);
    EXPECT_FALSE(FileExists("/tmp/g"));
    // Text that cannot be written: -3.
    EXPECT_EQ(UPDTWriteFileLocked("/dev/full", "x", 1), -3);
}

TEST(Progress, SymbolicLinkIsNotFollowed)
{
    WriteFile("/tmp/target", "keep");
    ASSERT_EQ(symlink("/tmp/target", UPDT_PROGRESS_FILE), 0);
    EXPECT_EQ(UPDTWriteFileLocked(UPDT_PROGRESS_FILE, "A:0:      ", 1), -1);
    EXPECT_EQ(ReadFile("/tmp/target"), "keep");
}

// A process that holds the lock on `path` until it is killed.
pid_t HoldLock(const char *path)
{
    int pipefd[2];
    EXPECT_EQ(pipe(pipefd), 0);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(path, O_RDWR | O_CREAT, 0644);
        flock(fd, LOCK_EX);
        char c = 'x';
        (void)!write(pipefd[1], &c, 1);
        pause();
        _exit(0);
    }
    char c;
    EXPECT_EQ(read(pipefd[0], &c, 1), 1);
    close(pipefd[0]);
    close(pipefd[1]);
    return pid;
}

void Release(pid_t pid)
{
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

TEST(Progress, HeldLockDropsTheValueAfterTwentyOneTries)
{
    WriteFile(UPDT_PROGRESS_FILE, "A:10:      ");
    pid_t holder = HoldLock(UPDT_PROGRESS_FILE);
    EXPECT_EQ(UPDTWriteFileLocked(UPDT_PROGRESS_FILE, "X", 0), -2);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(UPDTWriteFileLocked(UPDT_PROGRESS_FILE, "P:0:      ", 1), -2);
    auto waited = std::chrono::steady_clock::now() - t0;
    // Twenty pauses of 337 us; it gives up quickly rather than blocking.
    EXPECT_GE(waited, std::chrono::microseconds(20 * 337));
    EXPECT_LT(waited, std::chrono::milliseconds(500));
    UPDTSetProgress('P', 20); // dropped, not reported
    EXPECT_EQ(ReadFile(UPDT_PROGRESS_FILE), "A:10:      ");
    Release(holder);
    UPDTSetProgress('P', 20);
    EXPECT_EQ(ReadFile(UPDT_PROGRESS_FILE), "P:20:      ");
}

TEST(Message, SetMessageWritesKeyAndQuotedValueWithoutLineEnd)
{
    UPDTSetMessage("extramsg", "say \"hi\"");
    EXPECT_EQ(ReadFile(UPDT_MESSAGE_FILE), "extramsg=\"say \"hi\"\"");
    std::string longText(2000, 'x');
    UPDTSetMessage("extramsg", longText.c_str());
    EXPECT_EQ(ReadFile(UPDT_MESSAGE_FILE).size(), 1023u);
}

time_t ParseLogTime(const std::string &stamp)
{
    struct tm tm = {};
    EXPECT_NE(strptime(stamp.c_str(), "%Y/%m/%d %H:%M:%S", &tm), nullptr);
    tm.tm_isdst = -1;
    return mktime(&tm);
}

TEST(UpdateLog, LinesAreTimeStampedAndAppended)
{
    mkdir("/var/log", 0755);
    unlink(UPDT_LOG_FILE);
    time_t before = time(nullptr);
    UPDTWriteLog("Start of the update...");
    UPDTWriteLog("");
    UPDTWriteLog(nullptr);
    UPDTWriteLog("100% %s");
    time_t after = time(nullptr);
    std::string log = ReadFile(UPDT_LOG_FILE);
    std::vector<std::string> texts;
    for (const vakotest::UpdateLogLine &l : vakotest::UpdateLogLines()) {
        ASSERT_FALSE(l.stamp.empty()) << l.text;
        time_t t = ParseLogTime(l.stamp);
        EXPECT_GE(t, before);
        EXPECT_LE(t, after);
        texts.push_back(l.text);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"Start of the update...", "", "100% %s"}));
    EXPECT_EQ(log.size(), 3 * 20 + strlen("Start of the update...") + strlen("100% %s") + 3);
}

TEST(UpdateLog, EmptiedOnlyWhenLargerThan10000Bytes)
{
    mkdir("/var/log", 0755);
    WriteFile(UPDT_LOG_FILE, std::string(10000, 'a'));
    UPDTCheckLogSize();
    EXPECT_EQ(ReadFile(UPDT_LOG_FILE).size(), 10000u);
    WriteFile(UPDT_LOG_FILE, std::string(10001, 'a'));
    UPDTCheckLogSize();
    EXPECT_EQ(ReadFile(UPDT_LOG_FILE), "");
    unlink(UPDT_LOG_FILE);
    UPDTCheckLogSize();
    EXPECT_FALSE(FileExists(UPDT_LOG_FILE));
}

} // namespace
