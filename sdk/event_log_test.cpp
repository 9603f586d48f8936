#include "vako/event_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "slib/error.h"
#include "vakotest/eventlog.h"
#include "vakotest/accounts.h"
#include "vakotest/flockhold.h"
#include "vakotest/planted.h"
#include "vakotest/sleeps.h"
#include "vako/event_log_size.h"
#include "vakotest/testkit.h"

using evtest::Be16;
using evtest::Be32;
using evtest::Events;
using evtest::Get16;
using evtest::Get32;
using evtest::Header;
using evtest::Live;
using evtest::Rec;
using vakotest::FileExists;
using vakotest::ReadFile;
using vakotest::WriteFile;

namespace {

constexpr const char *kLog = "/var/log/test.log";
constexpr const char *kVictims = "/var/log/victims";
constexpr const char *kVictim = "/var/log/victims/victim";

class EventLog : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("USERNAME", "u", 1);
        LogSizeLimitSet(65536);
    }
};

// Writes a record of exactly len bytes (event id ev) with the library.
int Put(uint32_t ev, size_t len, const char *path = kLog)
{
    size_t text = len - 24 - evtest::Source().size() - 1;
    return LogWriteRecord(path, 1, ev, std::string(text, 'a').c_str(), "", "", "");
}

// A record as the library writes it for this program and user "u".
Rec Expected(uint16_t level, uint32_t ev, uint32_t time, std::vector<std::string> s)
{
    Rec r;
    r.level = level;
    r.time = time;
    r.source = evtest::Source();
    r.user = "u";
    r.event = ev;
    for (int i = 0; i < 4; i++)
        r.s[i] = s[static_cast<size_t>(i)];
    return r;
}

TEST_F(EventLog, FirstRecordIntoAMissingFile)
{
    uint32_t t0 = static_cast<uint32_t>(time(nullptr));
    ASSERT_EQ(LogWriteRecord(kLog, 3, 0x11100800, "disk full", "b", "", "dd"), 0);
    uint32_t t1 = static_cast<uint32_t>(time(nullptr));
    std::string b = ReadFile(kLog);
    ASSERT_GE(b.size(), 40u);
    uint32_t t = Get32(b, 16 + 4);
    EXPECT_GE(t, t0);
    EXPECT_LE(t, t1);
    std::string rec = evtest::Encode(Expected(3, 0x11100800, t, {"disk full", "b", "", "dd"}));
    // The head spelled out: length, level, time, source and user lengths, event, four lengths.
    std::string head = Be16(static_cast<uint16_t>(rec.size())) + Be16(3) + Be32(t) +
                       Be16(static_cast<uint16_t>(evtest::Source().size())) + Be16(1) +
                       std::string("\x11\x10\x08\x00", 4) + Be16(9) + Be16(1) + Be16(0) + Be16(2);
    EXPECT_EQ(rec.substr(0, 24), head);
    EXPECT_EQ(b, std::string("VAKO") + std::string(4, '\0') + Be32(16) + Be32(16 + static_cast<uint32_t>(rec.size())) +
                     rec);
    EXPECT_EQ(vakotest::FileMode(kLog), 0600u);
}

TEST_F(EventLog, AppendsAfterTheEndAndKeepsTheReservedWord)
{
    WriteFile(kLog, Header(16, 16, 0x01020304), 0644);
    ASSERT_EQ(Put(1, 60), 0);
    ASSERT_EQ(Put(2, 70), 0);
    std::string b = ReadFile(kLog);
    EXPECT_EQ(b.substr(0, 16), Header(16, 146, 0x01020304));
    EXPECT_EQ(Events(Live(b)), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(vakotest::FileMode(kLog), 0600u);
}

TEST_F(EventLog, NoRoomBeforeTheLimitDropsTheOldestAndWrapsToTheHeader)
{
    LogSizeLimitSet(300);
    for (uint32_t ev = 1; ev <= 4; ev++)
        ASSERT_EQ(Put(ev, 60), 0); // end 256
    // 256 + 70 + 2 > 300: marker at 256, records 1 and 2 dropped (120 > 70).
    ASSERT_EQ(Put(5, 70), 0);
    std::string b = ReadFile(kLog);
    EXPECT_EQ(Get32(b, 8), 136u);
    EXPECT_EQ(Get32(b, 12), 86u);
    EXPECT_EQ(Get16(b, 256), 0u);
    EXPECT_EQ(Events(Live(b)), (std::vector<uint32_t>{3, 4, 5}));
}

TEST_F(EventLog, ExactlyTheRoomLeftBeforeTheMarkerFits)
{
    LogSizeLimitSet(16 + 60 + 2);
    ASSERT_EQ(Put(1, 60), 0);
    std::string b = ReadFile(kLog);
    EXPECT_EQ(Get32(b, 8), 16u);
    EXPECT_EQ(Get32(b, 12), 76u);
}

TEST_F(EventLog, WrappedRingWritesIntoTheGapAndDropsWhenItIsTooSmall)
{
    LogSizeLimitSet(300);
    for (uint32_t ev = 1; ev <= 4; ev++)
        ASSERT_EQ(Put(ev, 60), 0);
    ASSERT_EQ(Put(5, 70), 0); // S 136, E 86
    // Gap 50 > 40: written at 86.
    ASSERT_EQ(Put(6, 40), 0);
    std::string b = ReadFile(kLog);
    EXPECT_EQ(Get32(b, 8), 136u);
    EXPECT_EQ(Get32(b, 12), 126u);
    // Gap 10: record 3 dropped (gap 70 > 50), written at 126.
    ASSERT_EQ(Put(7, 50), 0);
    b = ReadFile(kLog);
    EXPECT_EQ(Get32(b, 8), 196u);
    EXPECT_EQ(Get32(b, 12), 176u);
    EXPECT_EQ(Events(Live(b)), (std::vector<uint32_t>{4, 5, 6, 7}));
}

TEST_F(EventLog, WrappedRingWhoseOlderPartRunsOutContinuesAfterTheEnd)
{
    // Older part: one record at 200 (up to the marker at 260); newer part 16..100.
    LogSizeLimitSet(400);
    Rec a = evtest::Sized(84, 1), c = evtest::Sized(60, 3);
    std::string b = Header(200, 100) + evtest::Encode(a) + std::string(100, 'z');
    b += evtest::Encode(c) + Be16(0);
    WriteFile(kLog, b);
    // Gap 100 + 60 = 160 <= 170: the older part is gone; 400 - 100 - 2 > 170: written at 100.
    ASSERT_EQ(Put(4, 170), 0);
    b = ReadFile(kLog);
    EXPECT_EQ(Get32(b, 8), 16u);
    EXPECT_EQ(Get32(b, 12), 270u);
    EXPECT_EQ(Events(Live(b)), (std::vector<uint32_t>{1, 4}));
}

TEST_F(EventLog, WrappedRingWithoutRoomAfterTheEndWrapsAgain)
{
    // Newer part 16..200 (records 1, 2, 3); older part: record 9 at 220 and
    // the marker at 260.
    LogSizeLimitSet(280);
    std::string b = Header(220, 200) + evtest::Encode(evtest::Sized(60, 1)) + evtest::Encode(evtest::Sized(60, 2)) +
                    evtest::Encode(evtest::Sized(64, 3)) + std::string(20, 'z') + evtest::Encode(evtest::Sized(40, 9)) +
                    Be16(0);
    WriteFile(kLog, b);
    // Gap 20 + 40 <= 100 and 280 - 200 - 2 < 100: marker at 200, records 1
    // and 2 dropped (120 > 100), written at 16.
    ASSERT_EQ(Put(4, 100), 0);
    b = ReadFile(kLog);
    EXPECT_EQ(Get16(b, 200), 0u);
    EXPECT_EQ(Get32(b, 8), 136u);
    EXPECT_EQ(Get32(b, 12), 116u);
    EXPECT_EQ(Events(Live(b)), (std::vector<uint32_t>{3, 4}));
}

TEST_F(EventLog, WrappedRingThatEmptiesWhileWrappingAgainStartsAtTheHeader)
{
    // Newer part 16..100 (records 1 and 2), older part record 3 at 200.
    LogSizeLimitSet(280);
    std::string b = Header(200, 100) + evtest::Encode(evtest::Sized(40, 1)) + evtest::Encode(evtest::Sized(44, 2)) +
                    std::string(100, 'z') + evtest::Encode(evtest::Sized(60, 3)) + Be16(0);
    WriteFile(kLog, b);
    // Every record dropped leaves 160 < 200 free: the ring is empty, and
    // 16 + 200 + 2 <= 280.
    ASSERT_EQ(Put(4, 200), 0);
    b = ReadFile(kLog);
    EXPECT_EQ(Get32(b, 8), 16u);
    EXPECT_EQ(Get32(b, 12), 216u);
    EXPECT_EQ(Events(Live(b)), (std::vector<uint32_t>{4}));
}

TEST_F(EventLog, RecordThatFitsOnlyAfterTheRingEmptiedGoesToTheHeader)
{
    LogSizeLimitSet(200);
    ASSERT_EQ(Put(1, 100), 0); // end 116
    // 116 + 120 + 2 > 200, and dropping record 1 frees only 100: the ring is
    // empty then, and 16 + 120 + 2 <= 200.
    ASSERT_EQ(Put(2, 120), 0);
    std::string b = ReadFile(kLog);
    EXPECT_EQ(Get32(b, 8), 16u);
    EXPECT_EQ(Get32(b, 12), 136u);
    EXPECT_EQ(Events(Live(b)), (std::vector<uint32_t>{2}));
}

TEST_F(EventLog, RecordLargerThanTheRingIsRefused)
{
    LogSizeLimitSet(200);
    // 16 + 183 + 2 > 200: the marker goes to 16, nothing can make room.
    EXPECT_EQ(Put(1, 183), -1);
    std::string b = ReadFile(kLog);
    EXPECT_EQ(b.substr(0, 16), Header(16, 16));
    EXPECT_EQ(Get16(b, 16), 0u);
    // One byte less fits.
    EXPECT_EQ(Put(2, 182), 0);
}

TEST_F(EventLog, EndPastALoweredLimitIsNoRoom)
{
    // End already beyond the limit: the room is negative, never a huge number.
    LogSizeLimitSet(100);
    std::string b = Header(16, 156) + evtest::Encode(evtest::Sized(70, 1)) + evtest::Encode(evtest::Sized(70, 2));
    WriteFile(kLog, b);
    ASSERT_EQ(Put(3, 50), 0);
    b = ReadFile(kLog);
    EXPECT_EQ(b.size(), 158u); // nothing written past the old end but its marker
    EXPECT_EQ(Get32(b, 8), 86u);
    EXPECT_EQ(Get32(b, 12), 66u);
    EXPECT_EQ(Events(Live(b)), (std::vector<uint32_t>{2, 3}));
}

TEST_F(EventLog, RecordsLongerThan65535BytesAreRefused)
{
    char *rec = reinterpret_cast<char *>(1);
    std::string big(65535 - 24 - evtest::Source().size() - 1, 'x');
    EXPECT_EQ(LogRecordBuild(&rec, 1, 1, big.c_str(), "", "", ""), 65535);
    free(rec);
    EXPECT_EQ(LogRecordBuild(&rec, 1, 1, big.c_str(), "y", "", ""), 0);
    EXPECT_EQ(rec, nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(LogWriteRecord(kLog, 1, 1, big.c_str(), "", "", "y"), -1);
    std::string b = ReadFile(kLog);
    EXPECT_EQ(b, Header(16, 16));
}

TEST_F(EventLog, CorruptMagicGetsAFreshHeaderAndKeepsTheReservedBytes)
{
    WriteFile(kLog, std::string("XAKOrsvd") + Be32(500) + Be32(900) + std::string(40, 'q'));
    ASSERT_EQ(Put(1, 40), 0);
    std::string b = ReadFile(kLog);
    EXPECT_EQ(b.substr(0, 16), std::string("VAKOrsvd") + Be32(16) + Be32(56));
    EXPECT_EQ(Events(Live(b)), (std::vector<uint32_t>{1}));
}

TEST_F(EventLog, HeaderCutShortOrOffsetsOutsideTheRecordsStartAfresh)
{
    for (const std::string &content : {std::string("VAKO\0\0", 6), Header(4, 16), Header(16, 0), Header(16, 1u << 30),
                                       Header(0xFFFFFFF0, 16) + std::string(40, 'r')}) {
        WriteFile(kLog, content);
        ASSERT_EQ(Put(7, 40), 0);
        std::string b = ReadFile(kLog);
        EXPECT_EQ(Get32(b, 8), 16u);
        EXPECT_EQ(Get32(b, 12), 56u);
        EXPECT_EQ(Events(Live(b)), (std::vector<uint32_t>{7}));
    }
}

TEST_F(EventLog, BadRecordsWhileDroppingFailWithoutLosingTheLog)
{
    LogSizeLimitSet(200);
    struct Case {
        const char *name;
        std::string content;
    };
    Rec a = evtest::Sized(100, 1);
    std::string ra = evtest::Encode(a);
    const Case cases[] = {
        // A zero length before the end.
        {"zero length", Header(16, 176) + std::string(60, '\0') + ra},
        // Cut in the middle of the record at the start.
        {"truncated", Header(16, 176) + ra.substr(0, 1)},
        // A length that runs past the end.
        {"past the end", Header(16, 116) + Be16(150) + ra.substr(2)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(kLog, c.content);
        EXPECT_EQ(Put(2, 120), -1);
        // The header and the records as they were (the end marker may follow them).
        EXPECT_EQ(ReadFile(kLog).substr(0, c.content.size()), c.content);
    }
}

TEST_F(EventLog, WrappedRingWithAnEmptyNewerPartFails)
{
    // End at 100 but nothing readable at the header: the ring is not sound.
    LogSizeLimitSet(280);
    std::string b = Header(200, 100) + std::string(184, '\0') + evtest::Encode(evtest::Sized(60, 3)) + Be16(0);
    WriteFile(kLog, b);
    EXPECT_EQ(Put(4, 170), -1);
    EXPECT_TRUE(vakotest::SyslogHas("sdk/vakolog1 : lline 150"));
}

TEST_F(EventLog, TextsAreStoredAsGivenByTheWriterAndBlankedByTheClassCall)
{
    WriteFile("/etc/vakolog.conf", "syslogfile=\"/var/log/vakosys.log\"\n");
    ASSERT_EQ(VAKOLogSet1(1, 2, 0x12A00003, nullptr, "", "x", "yz"), 0);
    std::vector<Rec> recs = Live(ReadFile("/var/log/vakosys.log"));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].s[0], "");
    EXPECT_EQ(recs[0].s[1], " ");
    EXPECT_EQ(recs[0].s[2], "x");
    EXPECT_EQ(recs[0].s[3], "yz");
    EXPECT_EQ(recs[0].level, 2);
    EXPECT_EQ(recs[0].event, 0x12A00003u);
}

TEST_F(EventLog, UserName)
{
    struct Case {
        const char *env; // nullptr: unset
        std::string want;
    };
    const Case cases[] = {
        {"bob", "bob"},
        {"root", "admin"},
        {"", ""},
    };
    for (const Case &c : cases) {
        if (c.env)
            setenv("USERNAME", c.env, 1);
        else
            unsetenv("USERNAME");
        EXPECT_EQ(LogCurrentUserName(), c.want) << (c.env ? c.env : "(unset)");
    }
    setenv("USERNAME", std::string(300, 'n').c_str(), 1);
    EXPECT_EQ(LogCurrentUserName(), std::string(255, 'n'));
}

TEST_F(EventLog, UserNameOfTheEffectiveUid)
{
    // The tests run with the effective uid 0.
    unsetenv("USERNAME");
    struct Case {
        const char *what;
        const char *passwd, *shadow;
        std::string want;
    } cases[] = {
        {"root", "root:x:0:0:root:/root:/bin/sh\n", "root:*:15000:0:99999:7:::\n", "admin"},
        {"another name", "sysop:x:0:0::/root:/bin/sh\n", "sysop:*:15000:0:99999:7:::\n", "sysop"},
        {"no account of the uid", "bob:x:1026:100::/:/bin/sh\n", "bob:*:15000:0:99999:7:::\n", ""},
        {"no shadow record", "root:x:0:0:root:/root:/bin/sh\n", "", ""},
    };
    time_t mtime = vakotest::kAccountsMtime;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        // A new modification time: the user database is rebuilt from these.
        vakotest::WriteAccountFiles({c.passwd, c.shadow, "", ""}, mtime++);
        EXPECT_EQ(LogCurrentUserName(), c.want);
    }
}

TEST_F(EventLog, ClassesWithoutAFile)
{
    vakotest::SyslogClear();
    EXPECT_EQ(VAKOLogSet1(4, 1, 1, "a", "b", "c", "d"), -1);
    EXPECT_TRUE(vakotest::SyslogTexts().empty());
    for (int cls : {0, 9, -1}) {
        vakotest::SyslogClear();
        EXPECT_EQ(VAKOLogSet1(cls, 1, 1, "a", "b", "c", "d"), -1);
        EXPECT_EQ(vakotest::SyslogLines(), (std::vector<vakotest::SyslogLine>{{LOG_ERR, "logclass error!"}}));
    }
    EXPECT_FALSE(FileExists("/etc/vakolog.conf"));
}

TEST_F(EventLog, MissingConfigurationIsWrittenAndTheClassDefaultUsedOnce)
{
    ASSERT_EQ(VAKOLogSet1(1, 1, 1, "a", "b", "c", "d"), 0);
    EXPECT_EQ(ReadFile("/etc/vakolog.conf"), "syslogfile\t=\t\"/var/log/vakosys.log\"\n"
                                             "syslogfilesize_MAX\t=\t\"65536\"\n"
                                             "manlogfile\t=\t\"/var/log/vakoman1.log\"\n"
                                             "manlogfilesize_MAX\t=\t\"65536\"\n"
                                             "connlogfile\t=\t\"/var/log/vakoconn.log\"\n"
                                             "connlogfilesize_MAX\t=\t\"65536\"\n"
                                             "bkplogfile\t=\t\"/var/log/vakobackup.log\"\n"
                                             "bkplogfilesize_MAX\t=\t\"65536\"\n"
                                             "copylogfile\t=\t\"/var/log/vakocopy.log\"\n"
                                             "copylogfilesize_MAX\t=\t\"65536\"\n"
                                             "netbkplogfile\t=\t\"/var/log/vakonetbkp.log\"\n"
                                             "netbkplogfilesize_MAX\t=\t\"65536\"\n"
                                             "surlogfile\t=\t\"/var/log/vakosur.log\"\n"
                                             "surlogfilesize_MAX\t=\t\"65536\"\n");
    EXPECT_EQ(LogSizeLimitGet(), 131072u);
    EXPECT_EQ(Live(ReadFile("/var/log/vakosys.log")).size(), 1u);
    ASSERT_EQ(VAKOLogSet1(2, 1, 2, "a", "b", "c", "d"), 0);
    EXPECT_EQ(LogSizeLimitGet(), 65536u);
    EXPECT_EQ(Live(ReadFile("/var/log/vakosys.log")).size(), 2u);
}

TEST_F(EventLog, EachClassWritesItsOwnFile)
{
    ASSERT_EQ(LogSetLogConf(), 0);
    const std::pair<int, const char *> files[] = {
        {1, "/var/log/vakosys.log"},    {2, "/var/log/vakosys.log"},  {3, "/var/log/vakoconn.log"},
        {5, "/var/log/vakobackup.log"}, {6, "/var/log/vakocopy.log"}, {7, "/var/log/vakonetbkp.log"},
        {8, "/var/log/vakosur.log"},
    };
    for (auto [cls, file] : files) {
        vakotest::SyslogClear();
        ASSERT_EQ(VAKOLogSet1(cls, 1, static_cast<uint32_t>(cls), "a", "", "", ""), 0) << cls;
        EXPECT_EQ(Events(Live(ReadFile(file))).back(), static_cast<uint32_t>(cls));
        std::vector<vakotest::SyslogLine> lines = vakotest::SyslogLines();
        vakotest::SyslogLine opened{LOG_INFO, "VAKO : log file /etc/vakolog.conf opened"};
        EXPECT_EQ(std::count(lines.begin(), lines.end(), opened), cls >= 3 ? 1 : 0) << cls;
    }
    // The limit of the last class read from the file.
    EXPECT_EQ(LogSizeLimitGet(), 65536u);
}

TEST_F(EventLog, LongPathFromTheConfigurationIsUsedWhole)
{
    std::string path = "/var/log/a-directory-with-a-long-name/connections-of-the-appliance.log";
    WriteFile("/etc/vakolog.conf", "connlogfile=\"" + path + "\"\nconnlogfilesize_MAX=\"4096\"\n");
    vakotest::MakeDirs("/var/log/a-directory-with-a-long-name");
    ASSERT_EQ(VAKOLogSet1(3, 1, 33, "a", "", "", ""), 0);
    EXPECT_EQ(Events(Live(ReadFile(path))), (std::vector<uint32_t>{33}));
    EXPECT_EQ(LogSizeLimitGet(), 4096u);
    EXPECT_EQ(vakotest::ListDir("/var/log/a-directory-with-a-long-name"),
              (std::vector<std::string>{"connections-of-the-appliance.log"}));
}

// A system log of 70000 bytes: 100-byte records from 16, end 69916.
std::string BigSystemLog()
{
    std::string b = Header(16, 16 + 699 * 100);
    for (uint32_t i = 0; i < 699; i++)
        b += evtest::Encode(evtest::Sized(100, i));
    b += std::string(70000 - b.size(), '\0');
    return b;
}

TEST_F(EventLog, SizeSettingThatIsNoNumberKeepsTheLogAndUsesTheClassDefault)
{
    for (const char *value : {"", "0", "abc", "-5", "12x", "99999999999", "\"\""}) {
        SCOPED_TRACE(value);
        std::string conf = "syslogfile=\"/var/log/vakosys.log\"\n";
        if (*value)
            conf += std::string("syslogfilesize_MAX=") + value + "\n";
        WriteFile("/etc/vakolog.conf", conf);
        WriteFile("/var/log/vakosys.log", BigSystemLog());
        ASSERT_EQ(VAKOLogSet1(1, 1, 5000, "a", "", "", ""), 0);
        EXPECT_EQ(LogSizeLimitGet(), 131072u);
        std::vector<Rec> recs = Live(ReadFile("/var/log/vakosys.log"));
        ASSERT_EQ(recs.size(), 700u);
        EXPECT_EQ(recs.front().event, 0u);
        EXPECT_EQ(recs.back().event, 5000u);
    }
}

TEST_F(EventLog, SizeSettingShrinksTheLogBeforeTheWrite)
{
    WriteFile("/etc/vakolog.conf", "syslogfile=\"/var/log/vakosys.log\"\nsyslogfilesize_MAX=\"65536\"\n");
    WriteFile("/var/log/vakosys.log", BigSystemLog());
    ASSERT_EQ(VAKOLogSet1(1, 1, 5000, "a", "", "", ""), 0);
    EXPECT_EQ(LogSizeLimitGet(), 65536u);
    std::vector<Rec> recs = Live(ReadFile("/var/log/vakosys.log"));
    // 4464 bytes over: 45 records of 100 dropped; 654 kept, then the new one.
    ASSERT_EQ(recs.size(), 655u);
    EXPECT_EQ(recs.front().event, 45u);
    EXPECT_EQ(recs.back().event, 5000u);
}

TEST_F(EventLog, OffsetAccessorsAreBigEndian)
{
    WriteFile(kLog, Header(0x01020304, 0x0A0B0C0D));
    int fd = open(kLog, O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(LogHeaderCheck(fd), 4);
    EXPECT_EQ(LogStartOffsetGet(fd), 0x01020304);
    EXPECT_EQ(LogEndOffsetGet(fd), 0x0A0B0C0D);
    EXPECT_EQ(LogStartOffsetSet(fd, 0xA1B2C3D4), 4);
    EXPECT_EQ(LogEndOffsetSet(fd, 0x00000111), 4);
    EXPECT_EQ(LogTell(fd), 16);
    close(fd);
    EXPECT_EQ(ReadFile(kLog), Header(0xA1B2C3D4, 0x111));
    WriteFile(kLog, "VAKO1234567");
    fd = open(kLog, O_RDONLY);
    EXPECT_EQ(LogStartOffsetGet(fd), -1);
    EXPECT_EQ(LogEndOffsetGet(fd), -1);
    // A read-only descriptor: the write fails with its messages.
    vakotest::SyslogClear();
    EXPECT_EQ(LogStartOffsetSet(fd, 16), -1);
    EXPECT_EQ(
        vakotest::SyslogTexts(),
        (std::vector<std::string>{"VAKOLogWriteByte(): write() error!, input count is [4]", "sdk/vakolog1: line 160"}));
    close(fd);
}

TEST_F(EventLog, WriterWaitingForTheLockWritesIntoAFileRenamedOverTheLog)
{
    WriteFile(kLog, Header(16, 16));
    WriteFile("/var/log/new.log", Header(16, 16));
    vakotest::FlockHolder holder(kLog, "/var/log/new.log");
    pid_t writer = vakotest::ForkChild([] { return Put(9, 40) == 0 ? 0 : 1; });
    vakotest::WaitUntilOpen(writer, kLog);
    EXPECT_EQ(holder.Release(), 0);
    EXPECT_EQ(vakotest::WaitChild(writer), 0);
    EXPECT_EQ(Events(Live(ReadFile(kLog))), (std::vector<uint32_t>{9}));
}

TEST_F(EventLog, LockHeldLongerThanTheRetriesFailsTheWrite)
{
    WriteFile(kLog, Header(16, 16));
    vakotest::FlockHolder holder(kLog);
    vakotest::SyslogClear();
    vakotest::SleepLog pauses(vakotest::Pauses::Skipped);
    EXPECT_EQ(Put(9, 40), -1);
    // Ten more tries, a second apart.
    EXPECT_EQ(pauses.Micros(), std::vector<int64_t>(10, 1000000));
    EXPECT_TRUE(vakotest::SyslogHas("logfile /var/log/test.log lock error while writing!"));
    EXPECT_EQ(ReadFile(kLog), Header(16, 16));
}

TEST_F(EventLog, UnopenableLogIsReported)
{
    // A log that cannot be made on a read-only file system: ten more tries.
    ASSERT_EQ(mount("tmpfs", "/var/log", "tmpfs", MS_RDONLY, nullptr), 0);
    vakotest::SyslogClear();
    vakotest::SleepLog pauses(vakotest::Pauses::Skipped);
    EXPECT_EQ(Put(9, 40), -1);
    EXPECT_EQ(pauses.Micros(), std::vector<int64_t>(10, 1000000));
    EXPECT_TRUE(vakotest::SyslogHas("logfile /var/log/test.log open error while writing!"));
}

// What is not a regular file of its own with one name is refused at once,
// and nothing is written through it: a link's target, a file of another
// account or another name of a file keep their bytes and their mode.
TEST_F(EventLog, WhatIsNoLogOfItsOwnAtThePathIsRefused)
{
    for (vakotest::Plant plant : vakotest::kEveryPlant) {
        SCOPED_TRACE(vakotest::PlantName(plant));
        // The files it points at beside it: a hard link stays on its file system.
        vakotest::Planted planted(plant, kLog, kVictims);
        ASSERT_EQ(chmod(kVictim, 0644), 0);
        const bool foreign = plant == vakotest::Plant::kFileOfAnotherUser;
        vakotest::SyslogClear();
        vakotest::SleepLog pauses(vakotest::Pauses::Skipped);
        EXPECT_EQ(vakotest::RunGuarded([] { return Put(9, 40) == -1 ? 0 : 1; }), 0);
        EXPECT_TRUE(pauses.Micros().empty());
        EXPECT_TRUE(planted.VictimsUntouched());
        EXPECT_EQ(vakotest::FileMode(kVictim), 0644u);
        const std::string why = vakotest::RefusalText(plant);
        EXPECT_TRUE(vakotest::SyslogMatches("event_log.cpp:{L} [/var/log/test.log] is " + why + ": refused"))
            << testing::PrintToString(vakotest::SyslogTexts());
        EXPECT_TRUE(vakotest::SyslogHas("logfile /var/log/test.log open error while writing!"));
        if (foreign) {
            EXPECT_EQ(ReadFile(kLog), vakotest::Planted::kForeignContent);
            EXPECT_EQ(vakotest::FileMode(kLog), 0666u);
        }
    }
    // A directory, and a shrink of a link: refused the same way.
    vakotest::RemoveFile(kLog);
    vakotest::MakeDirs(kLog);
    EXPECT_EQ(Put(9, 40), -1);
    ASSERT_EQ(rmdir(kLog), 0);
    vakotest::Planted link(vakotest::Plant::kLinkToFile, kLog, kVictims);
    EXPECT_EQ(LogShrinkFile(100, kLog), -1);
    EXPECT_TRUE(link.VictimsUntouched());
    EXPECT_EQ(vakotest::LinkTarget(kLog), kVictim);
}

TEST_F(EventLog, ALogOfAnotherModeIsWrittenAndKeptToItsOwner)
{
    WriteFile(kLog, Header(16, 16), 0666);
    ASSERT_EQ(Put(9, 40), 0);
    EXPECT_EQ(Events(Live(ReadFile(kLog))), (std::vector<uint32_t>{9}));
    EXPECT_EQ(vakotest::FileMode(kLog), 0600u);
    EXPECT_EQ(vakotest::FileUid(kLog), 0u);
}

TEST_F(EventLog, ConfigurationThatIsADirectoryOrCannotBeWritten)
{
    vakotest::MakeDirs("/etc/vakolog.conf");
    // A directory: it exists, the keys are not readable, the defaults apply.
    ASSERT_EQ(VAKOLogSet1(5, 1, 1, "a", "", "", ""), 0);
    EXPECT_EQ(Live(ReadFile("/var/log/vakobackup.log")).size(), 1u);
    // Its status cannot be taken (a link to itself): written afresh, which fails.
    ASSERT_EQ(rmdir("/etc/vakolog.conf"), 0);
    ASSERT_EQ(symlink("/etc/vakolog.conf", "/etc/vakolog.conf"), 0);
    EXPECT_EQ(VAKOLogSet1(5, 1, 2, "a", "", "", ""), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
    EXPECT_EQ(Live(ReadFile("/var/log/vakobackup.log")).size(), 1u);
    // Missing on a read-only file system: it cannot be created.
    ASSERT_EQ(mount("tmpfs", "/etc", "tmpfs", MS_RDONLY, nullptr), 0);
    EXPECT_EQ(LogSetLogConf(), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
    EXPECT_EQ(VAKOLogSet1(1, 1, 1, "a", "", "", ""), -1);
}

} // namespace
