#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>

#include "updater.h"
#include "vakotest/flockhold.h"
#include "vakotest/files.h"
#include "vakotest/logs.h"
#include "vakotest/planted.h"
#include "vakotest/progress.h"
#include "vakotest/run.h"

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
    vakotest::MountSmallVolume("/tmp/full", 4096);
    WriteFile("/tmp/full/f", "");
    vakotest::FillVolume("/tmp/full");
    EXPECT_EQ(UPDTWriteFileLocked("/tmp/full/f", "x", 1), -3);
}

// Whatever another user left at the fixed name neither redirects the write
// nor stalls it: it goes, and the text lands in a fresh file of the
// updater's own.
TEST(Progress, PlantedNamesAreReplacedByAFileOfItsOwn)
{
    for (vakotest::Plant plant : vakotest::kEveryPlant) {
        SCOPED_TRACE(vakotest::PlantName(plant));
        vakotest::Planted planted(plant, UPDT_PROGRESS_FILE);
        vakotest::SyslogClear();
        EXPECT_EQ(vakotest::RunGuarded([] { return UPDTWriteFileLocked(UPDT_PROGRESS_FILE, "A:10:      ", 1); }), 0);
        struct stat st;
        ASSERT_EQ(lstat(UPDT_PROGRESS_FILE, &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_uid, geteuid());
        EXPECT_EQ(st.st_nlink, 1u);
        EXPECT_EQ(ReadFile(UPDT_PROGRESS_FILE), "A:10:      ");
        EXPECT_TRUE(planted.VictimsUntouched());
        EXPECT_TRUE(vakotest::SyslogMatches(
            "UPDTWriteFileLocked({L}): [/tmp/update.progress] is not a plain file of the updater, made anew"));
    }
    // A file of its own is written in place, without a word.
    vakotest::SyslogClear();
    EXPECT_EQ(UPDTWriteFileLocked(UPDT_PROGRESS_FILE, "P:0:", 1), 0);
    EXPECT_EQ(ReadFile(UPDT_PROGRESS_FILE), "P:0::      ");
    EXPECT_TRUE(vakotest::SyslogLines().empty());
}

// Each value goes to the file only when its text differs from what the
// file holds: a reader sees the same content as if every value were
// written, with a fraction of the writes.
TEST(Progress, OnlyAChangedTextIsWritten)
{
    VAKOTEST_SKIP_UNLESS_PROGRESS_RECORDABLE();
    {
        vakotest::ProgressRecorder recorder;
        for (int value : {60, 60, 60, 61, 61, 60, 60})
            UPDTSetProgress('P', value);
        UPDTSetProgress('C', 60);
        UPDTSetProgress('C', 60);
        EXPECT_EQ(recorder.Values(), (std::vector<std::string>{"P:60", "P:61", "P:60", "C:60"}));
    }
    // The file is no longer what the last write left: the same text again
    // is written.
    UPDTSetProgress('P', 70);
    vakotest::RemoveFile(UPDT_PROGRESS_FILE);
    UPDTSetProgress('P', 70);
    EXPECT_EQ(ReadFile(UPDT_PROGRESS_FILE), "P:70:      ");
    WriteFile(UPDT_PROGRESS_FILE, "x");
    UPDTSetProgress('P', 70);
    EXPECT_EQ(ReadFile(UPDT_PROGRESS_FILE), "P:70:      ");
    // A value dropped for a held lock is tried again with the same text.
    WriteFile(UPDT_PROGRESS_FILE, "A:10:      ");
    {
        vakotest::FlockHolder holder(UPDT_PROGRESS_FILE);
        UPDTSetProgress('P', 80);
    }
    EXPECT_EQ(ReadFile(UPDT_PROGRESS_FILE), "A:10:      ");
    UPDTSetProgress('P', 80);
    EXPECT_EQ(ReadFile(UPDT_PROGRESS_FILE), "P:80:      ");
}

TEST(Progress, HeldLockDropsTheValueAfterTwentyOneTries)
{
    WriteFile(UPDT_PROGRESS_FILE, "A:10:      ");
    std::optional<vakotest::FlockHolder> holder(std::in_place, UPDT_PROGRESS_FILE);
    EXPECT_EQ(UPDTWriteFileLocked(UPDT_PROGRESS_FILE, "X", 0), -2);
    auto t0 = std::chrono::steady_clock::now();
    // It gives up rather than waiting for the holder.
    EXPECT_EQ(UPDTWriteFileLocked(UPDT_PROGRESS_FILE, "P:0:      ", 1), -2);
    auto waited = std::chrono::steady_clock::now() - t0;
    // Twenty pauses of 337 us at least, however fast the machine.
    EXPECT_GE(waited, std::chrono::microseconds(20 * 337));
    UPDTSetProgress('P', 20); // dropped, not reported
    EXPECT_EQ(ReadFile(UPDT_PROGRESS_FILE), "A:10:      ");
    holder.reset();
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

// Only the message given leaves the file; any other stays as it is.
TEST(Message, DropMessageRemovesOnlyThatText)
{
    const std::string other = "extramsg=\"Please reboot the system and upgrade immediately.\"\n";
    WriteFile(UPDT_MESSAGE_FILE, other);
    UPDTDropMessage("The flash could not be restored.");
    EXPECT_EQ(ReadFile(UPDT_MESSAGE_FILE), other);

    UPDTWriteMessage("The flash could not be restored. Its backup is kept in /v/b@ckup.");
    UPDTDropMessage("The flash could not be restored. Its backup is kept in /v/b@ckup.");
    EXPECT_EQ(ReadFile(UPDT_MESSAGE_FILE), "");
    unlink(UPDT_MESSAGE_FILE);
    UPDTDropMessage("The flash could not be restored.");
    EXPECT_FALSE(vakotest::FileExists(UPDT_MESSAGE_FILE));
}

// What a package brings reaches the log as text: a control byte neither
// moves the cursor nor starts a line of its own.
TEST(UpdateLog, ControlBytesAreWrittenEscaped)
{
    mkdir("/var/log", 0755);
    unlink(UPDT_LOG_FILE);
    UPDTWriteLog("3.1.0\x1b[2J\rFAKE\tx\x7f\ny \\ \xc3\xa9");
    std::vector<vakotest::UpdateLogLine> lines = vakotest::UpdateLogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "3.1.0\\x1b[2J\\x0dFAKE\\x09x\\x7f\\x0ay \\ \xc3\xa9");
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
