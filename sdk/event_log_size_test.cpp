#include "vako/event_log_size.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "vako/event_log.h"
#include "vakotest/eventlog.h"
#include "vakotest/flockhold.h"
#include "vakotest/testkit.h"

using evtest::Be16;
using evtest::Encode;
using evtest::Events;
using evtest::Get32;
using evtest::Header;
using evtest::Live;
using evtest::Sized;
using vakotest::ReadFile;
using vakotest::WriteFile;

namespace {

constexpr const char *kSys = "/var/log/vakosys.log";

// Records of the given lengths from 16, events 0, 1, ...; end right after them.
std::string Linear(const std::vector<size_t> &lens, size_t padTo = 0)
{
    std::string recs;
    for (size_t i = 0; i < lens.size(); i++)
        recs += Encode(Sized(lens[i], static_cast<uint32_t>(i)));
    std::string b = Header(16, static_cast<uint32_t>(16 + recs.size())) + recs;
    if (b.size() < padTo)
        b += std::string(padTo - b.size(), '\0');
    return b;
}

std::vector<uint32_t> Range(uint32_t from, uint32_t to)
{
    std::vector<uint32_t> v;
    for (uint32_t i = from; i < to; i++)
        v.push_back(i);
    return v;
}

// The new file holds exactly the kept records from 16, start 16, end after them.
void ExpectCompact(const std::string &b, const std::vector<uint32_t> &events)
{
    EXPECT_EQ(b.substr(0, 8), std::string("VAKO") + std::string(4, '\0'));
    EXPECT_EQ(Get32(b, 8), 16u);
    EXPECT_EQ(Get32(b, 12), b.size());
    EXPECT_EQ(Events(Live(b)), events);
}

TEST(EventLogSize, SystemLogOverItsLimitDropsTheOldestAndIsReplaced)
{
    // 699 records of 100 bytes in a file of 70000.
    WriteFile(kSys, Linear(std::vector<size_t>(699, 100), 70000), 0644);
    struct stat before;
    ASSERT_EQ(stat(kSys, &before), 0);
    ASSERT_EQ(VAKOLogChangeSize(65536, 1), 0);
    std::string b = ReadFile(kSys);
    // 4464 bytes over: 45 records (4500 bytes) dropped.
    ExpectCompact(b, Range(45, 699));
    EXPECT_EQ(b.size(), 16u + 654 * 100);
    EXPECT_EQ(vakotest::FileMode(kSys), 0600u);
    struct stat after;
    ASSERT_EQ(stat(kSys, &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);
    // No temporary file left beside it.
    for (const std::string &n : vakotest::ListDir("/var/log"))
        EXPECT_TRUE(n == "vakosys.log" || n.find("vakosys.log") == std::string::npos) << n;
}

TEST(EventLogSize, FileWithinItsLimitIsUntouched)
{
    std::string content = Linear({100, 100});
    WriteFile(kSys, content, 0644);
    EXPECT_EQ(VAKOLogChangeSize(static_cast<int>(content.size()), 1), 0);
    EXPECT_EQ(ReadFile(kSys), content);
    EXPECT_EQ(vakotest::FileMode(kSys), 0644u);
}

TEST(EventLogSize, MissingFileAndUnknownTypes)
{
    vakotest::SyslogClear();
    EXPECT_EQ(VAKOLogChangeSize(100, 3), 0);
    EXPECT_EQ(vakotest::SyslogLines(),
              (std::vector<vakotest::SyslogLine>{
                  {LOG_ERR, "VAKOLogChangeSize : logfile /var/log/vakoconn.log not existed"}}));
    for (int type : {4, 0, 9, -1}) {
        vakotest::SyslogClear();
        EXPECT_EQ(VAKOLogChangeSize(100, type), 0);
        EXPECT_TRUE(vakotest::SyslogTexts().empty());
    }
    EXPECT_EQ(LogShrinkFile(10, "/var/log/none.log"), -1);
}

TEST(EventLogSize, EachTypeWorksOnItsDefaultFile)
{
    const std::pair<int, const char *> types[] = {
        {1, "/var/log/vakosys.log"},    {2, "/var/log/vakoman1.log"}, {3, "/var/log/vakoconn.log"},
        {5, "/var/log/vakobackup.log"}, {6, "/var/log/vakocopy.log"}, {7, "/var/log/vakonetbkp.log"},
        {8, "/var/log/vakosur.log"},
    };
    for (auto [type, file] : types) {
        WriteFile(file, Linear({100, 100, 100}));
        ASSERT_EQ(VAKOLogChangeSize(250, type), 0) << type;
        ExpectCompact(ReadFile(file), {1, 2});
    }
}

// A wrapped ring: older part records 10 (60 bytes) and 11 from 200 to the
// end marker, newer part records 0, 1 from 16 to 116.
std::string Wrapped(size_t len11 = 60)
{
    std::string b = Header(200, 116) + Encode(Sized(50, 0)) + Encode(Sized(50, 1)) + std::string(84, 'z');
    b += Encode(Sized(60, 10)) + Encode(Sized(len11, 11)) + Be16(0);
    return b;
}

TEST(EventLogSize, WrappedRingIsCopiedInOrder)
{
    std::string b = Wrapped();
    WriteFile(kSys, b);
    // One byte over: the oldest record goes.
    ASSERT_EQ(VAKOLogChangeSize(static_cast<int>(b.size()) - 1, 1), 0);
    ExpectCompact(ReadFile(kSys), {11, 0, 1});
}

TEST(EventLogSize, DroppingRunsOverTheWrap)
{
    WriteFile(kSys, Wrapped());
    // 130 bytes: records 10, 11 (120) and record 0 (50).
    ASSERT_EQ(LogShrinkFile(130, kSys), 0);
    ExpectCompact(ReadFile(kSys), {1});
}

// Every live record after the dropped ones is copied, byte for byte,
// whatever its length.
TEST(EventLogSize, LongRecordsAreCopiedLikeAnyOther)
{
    const std::string wrapped = Wrapped(300), linear = Linear({50, 50, 300, 50}), longest = Linear({50, 65535, 50}),
                      first = Linear({300, 50});
    struct Case {
        const char *what;
        std::string before;
        std::vector<uint32_t> kept;
        std::string records; // the new file's records
    } cases[] = {
        // Record 11 (300 bytes) from 260 up to the end marker, then 0 and 1.
        {"in a wrapped ring", wrapped, {11, 0, 1}, wrapped.substr(260, 300) + wrapped.substr(16, 100)},
        {"in a ring that does not wrap", linear, {1, 2, 3}, linear.substr(16 + 50)},
        {"the longest a record can be", longest, {1, 2}, longest.substr(16 + 50)},
        {"the oldest, dropped", first, {1}, first.substr(16 + 300)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(kSys, c.before);
        ASSERT_EQ(LogShrinkFile(1, kSys), 0);
        std::string after = ReadFile(kSys);
        ExpectCompact(after, c.kept);
        EXPECT_EQ(after.substr(16), c.records);
    }

    // Six records, the fourth with a text of 280 characters, and the limit
    // lowered by one byte: only the oldest goes.
    std::vector<size_t> lens(6, 60);
    lens[3] = 28 + 280;
    std::string b = Linear(lens);
    WriteFile(kSys, b);
    ASSERT_EQ(VAKOLogChangeSize(static_cast<int>(b.size()) - 1, 1), 0);
    ExpectCompact(ReadFile(kSys), {1, 2, 3, 4, 5});
}

TEST(EventLogSize, TruncatedFileKeepsItsWholeRecords)
{
    std::string full = Linear({100, 100, 100, 100});
    // Cut in the middle of the last record.
    WriteFile(kSys, full.substr(0, full.size() - 30));
    ASSERT_EQ(LogShrinkFile(1, kSys), 0);
    ExpectCompact(ReadFile(kSys), {1, 2});
}

TEST(EventLogSize, CorruptOffsetsGiveAnEmptyLog)
{
    // Offsets unreadable: both taken as 16 (the read-only descriptor refuses
    // to store them, with the writers' messages).
    WriteFile(kSys, std::string("VAKO1234") + std::string(2, '\0'));
    vakotest::SyslogClear();
    ASSERT_EQ(LogShrinkFile(1, kSys), 0);
    ExpectCompact(ReadFile(kSys), {});
    EXPECT_TRUE(vakotest::SyslogHas("sdk/vakolog1: line 160"));
    EXPECT_TRUE(vakotest::SyslogHas("sdk/vakolog1: line 138"));
}

TEST(EventLogSize, OffsetsPastTheFilesEndGiveAnEmptyLog)
{
    WriteFile(kSys, Header(16, 1u << 30) + Encode(Sized(60, 1)));
    ASSERT_EQ(LogShrinkFile(1, kSys), 0);
    ExpectCompact(ReadFile(kSys), {});
}

TEST(EventLogSize, RingOfZeroLengthsEndsTheDropping)
{
    // A start pointing at zeros in a wrapped ring: no endless loop.
    WriteFile(kSys, Header(300, 16) + std::string(400, '\0'));
    ASSERT_EQ(LogShrinkFile(1000, kSys), 0);
    ExpectCompact(ReadFile(kSys), {});
}

TEST(EventLogSize, ShrinkWaitsForTheLogsLockAndReplacesItAfter)
{
    WriteFile(kSys, Linear({100, 100, 100}));
    struct stat held;
    ASSERT_EQ(stat(kSys, &held), 0);
    vakotest::FlockHolder holder(kSys);
    pid_t shrink = vakotest::ForkChild([] { return VAKOLogChangeSize(250, 1) == 0 ? 0 : 1; });
    // It has the log open and waits: the log is not replaced while the lock is held.
    vakotest::WaitUntilOpen(shrink, kSys);
    struct stat now;
    ASSERT_EQ(stat(kSys, &now), 0);
    EXPECT_EQ(now.st_ino, held.st_ino);
    EXPECT_EQ(holder.Release(), 0);
    EXPECT_EQ(vakotest::WaitChild(shrink), 0);
    ExpectCompact(ReadFile(kSys), {1, 2});
}

TEST(EventLogSize, TempNames)
{
    char out[64];
    memset(out, 'x', sizeof out);
    ASSERT_EQ(LogTempNameMake("/var/log/a.log", out, sizeof out), 0);
    std::string first = out;
    std::string prefix = "/var/log/a.log" + std::to_string(getpid()) + "-";
    ASSERT_EQ(first.substr(0, prefix.size()), prefix);
    int n = std::stoi(first.substr(prefix.size()));
    ASSERT_EQ(LogTempNameMake("/var/log/a.log", out, sizeof out), 0);
    EXPECT_EQ(std::string(out), prefix + std::to_string(n + 1));

    EXPECT_EQ(LogTempNameMake(nullptr, out, sizeof out), -1);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(LogTempNameMake("/a", nullptr, 10), -1);
    EXPECT_EQ(LogTempNameMake("/a", out, -1), -1);
    // Exactly the room for the name and its NUL, and one byte less.
    std::string want = "/a" + std::to_string(getpid()) + "-" + std::to_string(n + 2);
    ASSERT_EQ(LogTempNameMake("/a", out, static_cast<int>(want.size()) + 1), 0);
    EXPECT_EQ(std::string(out), want);
    memset(out, 'x', sizeof out);
    std::string next = "/a" + std::to_string(getpid()) + "-" + std::to_string(n + 3);
    EXPECT_EQ(LogTempNameMake("/a", out, static_cast<int>(next.size())), -1);
    EXPECT_EQ(std::string(out, next.size()), std::string(next.size(), '\0'));
    // A base near the shrink's 1024 bytes.
    std::vector<char> big(VAKOLOG_TEMP_NAME_SIZE);
    std::string longBase = "/var/log/" + std::string(1012, 'l');
    EXPECT_EQ(LogTempNameMake(longBase.c_str(), big.data(), static_cast<int>(big.size())), -1);
}

TEST(EventLogSize, PathTooLongForATempNameFailsAndKeepsTheLog)
{
    std::string dir = "/var/log/" + std::string(200, 'd');
    std::string path = dir + "/" + std::string(200, 'a') + "/" + std::string(200, 'b') + "/" + std::string(200, 'c') +
                       "/" + std::string(200, 'e') + "/" + std::string(200, 'f') + ".log";
    vakotest::MakeDirs(path.substr(0, path.rfind('/')));
    std::string content = Linear({100, 100});
    WriteFile(path, content);
    EXPECT_EQ(LogShrinkFile(1, path.c_str()), -1);
    EXPECT_EQ(ReadFile(path), content);
}

} // namespace
