#include "vako/autoblock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "slib/error.h"
#include "slib/str.h"
#include "vakotest/eventlog.h"
#include "vakotest/flockhold.h"
#include "vakotest/lockhold.h"
#include "vakotest/planted.h"
#include "vakotest/sleeps.h"
#include "vakotest/smtp.h"
#include "vakotest/testkit.h"

using vakotest::ReadFile;
using vakotest::WriteFile;
namespace smtp = vakotest::smtp;

namespace {

constexpr const char *kList = "/etc/vakoIPs.deny";
constexpr const char *kInfo = "/etc/vakoinfo.conf";
constexpr const char *kTemplate = "/usr/vako/vakoman/webman/texts/enu/mails";
constexpr uint32_t kDay = 86400;

uint32_t Addr(const char *ip)
{
    struct in_addr in;
    EXPECT_NE(inet_aton(ip, &in), 0) << ip;
    return in.s_addr;
}

// One record: the time in this processor's own byte order, the address
// as inet_aton stores it.
std::string Rec(uint32_t time, uint32_t addr)
{
    std::string r(8, '\0');
    memcpy(r.data(), &time, 4);
    memcpy(r.data() + 4, &addr, 4);
    return r;
}
std::string Rec(uint32_t time, const char *ip) { return Rec(time, Addr(ip)); }

struct Entry {
    uint32_t time;
    std::string ip;
    bool operator==(const Entry &) const = default;
};

std::vector<Entry> Entries(const std::string &b)
{
    std::vector<Entry> v;
    for (size_t at = 0; at + 8 <= b.size(); at += 8) {
        uint32_t t, a;
        memcpy(&t, b.data() + at, 4);
        memcpy(&a, b.data() + at + 4, 4);
        struct in_addr in;
        in.s_addr = a;
        v.push_back({t, inet_ntoa(in)});
    }
    return v;
}

uint32_t Now() { return static_cast<uint32_t>(time(nullptr)); }

std::vector<std::string> EtcTemps()
{
    std::vector<std::string> v;
    for (const std::string &n : vakotest::ListDir("/etc"))
        if (n.starts_with("vakoIPs.deny.") || n.starts_with("vakoinfo.conf."))
            v.push_back(n);
    return v;
}

class AutoBlock : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("USERNAME", "u", 1);
        ASSERT_EQ(sethostname("nas1", 4), 0);
        Settings(10, 5, 0, "no");
        WriteFile("/etc.defaults/vakoinfo.conf", "mailfrom=\"Harbox Inc\"\n");
        WriteFile(kTemplate, "[AutoBlockAdd]\nSubject: Blocked %CLIENT_IP%\n"
                             "%CLIENT_IP% at %AUTOBLOCK_TIME%: %AUTOBLOCK_ATTEMPTS% in %AUTOBLOCK_ATTEMPT_MIN%\n");
    }
    static void Settings(int attempts, int minutes, int days, const char *notify)
    {
        WriteFile(kInfo, "eventsmtp=\"127.0.0.1\"\neventmail1=\"admin@example.com\"\nautoblock_attempts=\"" +
                             std::to_string(attempts) + "\"\nautoblock_attempt_min=\"" + std::to_string(minutes) +
                             "\"\nautoblock_expriedday=\"" + std::to_string(days) + "\"\nautoblock_notify=\"" + notify +
                             "\"\n");
    }
};

std::string CtimeText(uint32_t t)
{
    time_t tt = t;
    char buf[64];
    ctime_r(&tt, buf);
    SLIBStrTrimSpace(buf, nullptr);
    return buf;
}

TEST_F(AutoBlock, FirstAddressIsListedLoggedAndMailed)
{
    Settings(10, 5, 0, "yes");
    uint32_t t0 = Now();
    ASSERT_EQ(VAKOAutoBlockIPAdd("203.0.113.5"), 0);
    uint32_t t1 = Now();
    smtp::WaitForSenders();
    std::string b = ReadFile(kList);
    ASSERT_EQ(b.size(), 8u);
    std::vector<Entry> e = Entries(b);
    EXPECT_GE(e[0].time, t0);
    EXPECT_LE(e[0].time, t1);
    EXPECT_EQ(b, Rec(e[0].time, "203.0.113.5"));
    EXPECT_EQ(vakotest::FileMode(kList), 0644u);
    EXPECT_EQ(vakotest::FileUid(kList), 0u);
    EXPECT_TRUE(EtcTemps().empty());

    std::vector<evtest::Rec> events = evtest::Live(ReadFile("/var/log/vakosys.log"));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].level, 2);
    EXPECT_EQ(events[0].event, 0x12A00003u);
    EXPECT_EQ(events[0].s[0], "203.0.113.5");
    EXPECT_EQ(events[0].s[1], CtimeText(e[0].time));
    EXPECT_EQ(events[0].s[2], " ");
    EXPECT_EQ(events[0].s[3], " ");

    std::vector<smtp::Mail> mails = smtp::Sent();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].body, "203.0.113.5 at " + CtimeText(e[0].time) + ": 10 in 5\n");
}

TEST_F(AutoBlock, EmptyListWithoutNotifyIsLoggedOnly)
{
    WriteFile(kList, "");
    ASSERT_EQ(VAKOAutoBlockIPAdd("10.1.2.3"), 0);
    smtp::WaitForSenders();
    EXPECT_EQ(Entries(ReadFile(kList)).size(), 1u);
    EXPECT_EQ(evtest::Live(ReadFile("/var/log/vakosys.log")).size(), 1u);
    EXPECT_TRUE(smtp::Sent().empty());
}

TEST_F(AutoBlock, ListedAddressMovesToTheEndWithoutEventOrMail)
{
    Settings(10, 5, 0, "yes");
    uint32_t now = Now();
    WriteFile(kList, Rec(now - 100, "10.0.0.1") + Rec(now - 90, "10.0.0.2") + Rec(now - 80, "10.0.0.3"), 0666);
    ASSERT_EQ(VAKOAutoBlockIPAdd("10.0.0.2"), 0);
    smtp::WaitForSenders();
    std::vector<Entry> e = Entries(ReadFile(kList));
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0], (Entry{now - 100, "10.0.0.1"}));
    EXPECT_EQ(e[1], (Entry{now - 80, "10.0.0.3"}));
    EXPECT_EQ(e[2].ip, "10.0.0.2");
    EXPECT_GE(e[2].time, now);
    EXPECT_FALSE(vakotest::FileExists("/var/log/vakosys.log"));
    EXPECT_TRUE(smtp::Sent().empty());
}

TEST_F(AutoBlock, ExpiredHolesAndShortTailAreDropped)
{
    uint32_t now = Now();
    std::string list = Rec(now - 3 * kDay, "10.0.0.1") + Rec(0, "10.0.0.2") + Rec(now, 0u) +
                       Rec(now - kDay, "10.0.0.4") +
                       // Far in the future: time + expiry is past 32 bits.
                       Rec(0xFFFFFF00u, "10.0.0.5") + std::string("\x01\x02\x03\x04\x05", 5);
    Settings(10, 5, 2, "no");
    WriteFile(kList, list);
    ASSERT_EQ(VAKOAutoBlockIPAdd("10.0.0.9"), 0);
    std::vector<Entry> e = Entries(ReadFile(kList));
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0], (Entry{now - kDay, "10.0.0.4"}));
    EXPECT_EQ(e[1], (Entry{0xFFFFFF00u, "10.0.0.5"}));
    EXPECT_EQ(e[2].ip, "10.0.0.9");
    EXPECT_EQ(ReadFile(kList).size(), 24u);

    // Days so many that the expiry is past 32 bits too: nothing expires.
    Settings(10, 5, 60000, "no");
    WriteFile(kList, Rec(now - 3 * kDay, "10.0.0.1"));
    ASSERT_EQ(VAKOAutoBlockIPAdd("10.0.0.9"), 0);
    EXPECT_EQ(Entries(ReadFile(kList)).size(), 2u);

    // No expiry at all.
    Settings(10, 5, 0, "no");
    WriteFile(kList, Rec(1, "10.0.0.1"));
    ASSERT_EQ(VAKOAutoBlockIPAdd("10.0.0.9"), 0);
    EXPECT_EQ(Entries(ReadFile(kList)).size(), 2u);
}

TEST_F(AutoBlock, TextThatIsNoAddressChangesNothing)
{
    std::string list = Rec(Now(), "10.0.0.1");
    WriteFile(kList, list);
    for (const char *bad : {"300.1.1.1", "no address", "", "1.2.3.4.5"}) {
        EXPECT_EQ(VAKOAutoBlockIPAdd(bad), -1) << bad;
        EXPECT_EQ(SLIBErrorGet(), 0x1000) << bad;
        EXPECT_STREQ(SLIBErrorGetFile(), "autoblock_ip_add") << bad;
    }
    EXPECT_EQ(VAKOAutoBlockIPAdd(nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(ReadFile(kList), list);
    EXPECT_TRUE(EtcTemps().empty());
    EXPECT_FALSE(vakotest::FileExists("/var/log/vakosys.log"));
}

TEST_F(AutoBlock, FullFileSystemKeepsTheOldList)
{
    // /etc on a small file system, filled up before the add.
    ASSERT_EQ(mount("tmpfs", "/etc", "tmpfs", 0, "size=64k"), 0);
    Settings(10, 5, 0, "no");
    std::string list;
    for (uint32_t i = 1; i <= 100; i++)
        list += Rec(Now(), htonl(0x0A000000u + i));
    WriteFile(kList, list, 0666);
    int fill = open("/etc/filler", O_WRONLY | O_CREAT, 0600);
    std::string block(4096, 'f');
    while (write(fill, block.data(), block.size()) > 0) {
    }
    while (write(fill, block.data(), 1) > 0) {
    }
    close(fill);
    EXPECT_EQ(VAKOAutoBlockIPAdd("10.9.9.9"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0B00);
    EXPECT_EQ(ReadFile(kList), list);
    EXPECT_TRUE(EtcTemps().empty());
}

TEST_F(AutoBlock, UnreadableListIsAnErrorNotAnEmptyList)
{
    // A file that cannot be mapped stands where the list is.
    WriteFile(kList, "");
    ASSERT_EQ(mount("/sys/kernel/uevent_seqnum", kList, nullptr, MS_BIND, nullptr), 0);
    vakotest::SyslogClear();
    EXPECT_EQ(VAKOAutoBlockIPAdd("10.9.9.9"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x3D00);
    EXPECT_TRUE(EtcTemps().empty());
    bool logged = false;
    for (const std::string &t : vakotest::SyslogTexts())
        logged |= std::regex_match(
            t, std::regex(R"(autoblock_ip_add:\d+ AutoBlockIMmapProcess\(\) failed, vakoerr=\[0x3D00\])"));
    EXPECT_TRUE(logged);
    umount(kList);
    EXPECT_EQ(ReadFile(kList), "");
}

TEST_F(AutoBlock, SettingsUnreadableKeepTheList)
{
    std::string list = Rec(Now(), "10.0.0.1");
    WriteFile(kList, list);
    vakotest::OtherLockHolder holder(0x806);
    vakotest::SleepLog pauses(vakotest::Pauses::Skipped);
    EXPECT_EQ(VAKOAutoBlockIPAdd("10.9.9.9"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0400);
    EXPECT_EQ(ReadFile(kList), list);
    EXPECT_TRUE(EtcTemps().empty());
}

// The new list keeps the mode its owner gave the old one, less any write
// for others; a missing list is made 0644.
TEST_F(AutoBlock, TheListKeepsItsOwnersModeWithoutWriteForOthers)
{
    const struct {
        int before; // -1: no list
        unsigned after;
    } cases[] = {{-1, 0644}, {0666, 0644}, {0644, 0644}, {0640, 0640}, {0600, 0600}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.before);
        vakotest::RemoveFile(kList);
        if (c.before >= 0) {
            WriteFile(kList, Rec(Now(), "10.0.0.1"));
            ASSERT_EQ(chmod(kList, static_cast<mode_t>(c.before)), 0);
        }
        umask(0);
        ASSERT_EQ(VAKOAutoBlockIPAdd("10.0.0.9"), 0);
        EXPECT_EQ(vakotest::FileMode(kList), c.after);
        EXPECT_EQ(vakotest::FileUid(kList), 0u);
        EXPECT_EQ(Entries(ReadFile(kList)).back().ip, "10.0.0.9");
    }
}

// What is not a regular file of root's with one name is refused at once,
// never read or written through, and left in place.
TEST_F(AutoBlock, WhatIsNoListOfItsOwnIsRefusedAtOnce)
{
    for (vakotest::Plant plant : vakotest::kEveryPlant) {
        SCOPED_TRACE(vakotest::PlantName(plant));
        // The files it points at in /etc: a hard link stays on its file system.
        vakotest::Planted planted(plant, kList, "/etc/victims");
        vakotest::SyslogClear();
        vakotest::SleepLog pauses(vakotest::Pauses::Skipped);
        EXPECT_EQ(vakotest::RunGuarded(
                      [] { return VAKOAutoBlockIPAdd("10.0.0.9") == -1 && SLIBErrorGet() == 0x0900 ? 0 : 1; }),
                  0);
        EXPECT_TRUE(pauses.Micros().empty());
        EXPECT_TRUE(planted.VictimsUntouched());
        EXPECT_EQ(vakotest::FileMode("/etc/victims/victim"), 0600u);
        EXPECT_TRUE(EtcTemps().empty());
        const std::string why = vakotest::RefusalText(plant);
        EXPECT_TRUE(vakotest::SyslogMatches("autoblock_file_open:{L} [/etc/vakoIPs.deny] is " + why + ": refused"))
            << testing::PrintToString(vakotest::SyslogTexts());
        if (plant == vakotest::Plant::kFileOfAnotherUser) {
            EXPECT_EQ(ReadFile(kList), vakotest::Planted::kForeignContent);
        }
    }
    vakotest::RemoveFile(kList);
    vakotest::MakeDirs(kList);
    EXPECT_EQ(VAKOAutoBlockIPAdd("10.0.0.9"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
    EXPECT_TRUE(vakotest::IsDirectory(kList));
}

TEST_F(AutoBlock, ListLockedLongerThanThirtySecondsFailsTheAdd)
{
    std::string list = Rec(Now(), "10.0.0.1");
    WriteFile(kList, list);
    vakotest::FlockHolder holder(kList);
    vakotest::SyslogClear();
    vakotest::SleepLog pauses(vakotest::Pauses::Skipped);
    EXPECT_EQ(VAKOAutoBlockIPAdd("10.9.9.9"), -1);
    // Thirty tries, a second apart.
    EXPECT_EQ(pauses.Micros(), std::vector<int64_t>(29, 1000000));
    EXPECT_EQ(SLIBErrorGet(), 0x0400);
    bool logged = false;
    for (const std::string &t : vakotest::SyslogTexts())
        logged |= std::regex_match(
            t,
            std::regex(
                R"(autoblock_file_open:\d+ Open and lock \[/etc/vakoIPs\.deny\] failed exceeds try count for 11\(.*\))"));
    EXPECT_TRUE(logged);
    EXPECT_EQ(ReadFile(kList), list);
    EXPECT_TRUE(EtcTemps().empty());
}

TEST_F(AutoBlock, AnAddWaitingForTheLockReadsTheListThatReplacedIt)
{
    std::string list = Rec(Now(), "10.0.0.1");
    WriteFile(kList, list);
    // Another add holds the old list, then renames a new one over it.
    WriteFile("/etc/other", list + Rec(Now(), "10.0.0.2"));
    vakotest::FlockHolder holder(kList, "/etc/other");
    // The add's first try opens the old list (and finds it locked).
    int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, kList, IN_OPEN), 0);
    pid_t add = vakotest::ForkChild([] { return VAKOAutoBlockIPAdd("10.0.0.3") == 0 ? 0 : 1; });
    struct pollfd p = {watch, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 60000), 1);
    close(watch);
    EXPECT_EQ(holder.Release(), 0);
    EXPECT_EQ(vakotest::WaitChild(add), 0);
    std::vector<Entry> e = Entries(ReadFile(kList));
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[1].ip, "10.0.0.2");
    EXPECT_EQ(e[2].ip, "10.0.0.3");
}

// --- the walk ---

constexpr const char *kWalkFile = "/tmp/walk";

AUTOBLOCKMMAPREQ Req(int op, int cb, int prot = PROT_READ, int openFlags = O_RDONLY)
{
    AUTOBLOCKMMAPREQ r;
    memset(&r, 0, sizeof r);
    r.prot = prot;
    r.mapFlags = MAP_SHARED;
    r.op = op;
    r.lockOp = LOCK_EX | LOCK_NB;
    r.openFlags = openFlags;
    r.cbFile = cb;
    r.szPath = kWalkFile;
    return r;
}

int g_calls;
std::vector<uint32_t> g_seen;
int Count(int arg, void *rec, void *)
{
    g_calls++;
    uint32_t a;
    memcpy(&a, static_cast<char *>(rec) + 4, 4);
    g_seen.push_back(a);
    return arg;
}

TEST(AutoBlockWalk, WindowsOfSixtyFourKilobytes)
{
    std::string b;
    for (uint32_t i = 1; i <= 8192; i++)
        b += Rec(1, i);
    b += "\x01\x02\x03\x04";
    WriteFile(kWalkFile, b);
    AUTOBLOCKMMAPREQ r = Req(AUTOBLOCK_OP_PROCESS, 65540);
    r.pfnProcess = Count;
    g_calls = 0;
    EXPECT_EQ(AutoBlockIMmapProcess(&r, 0, nullptr), 0);
    EXPECT_EQ(g_calls, 8192);
    // Past the file's end: only what is there.
    r.cbFile = 1 << 30;
    g_calls = 0;
    EXPECT_EQ(AutoBlockIMmapProcess(&r, 0, nullptr), 0);
    EXPECT_EQ(g_calls, 8192);
    // Records ending before offStart are passed over, and so is a whole window.
    r.offStart = 65536 + 1;
    g_calls = 0;
    EXPECT_EQ(AutoBlockIMmapProcess(&r, 0, nullptr), 0);
    EXPECT_EQ(g_calls, 0);
    r.offStart = 17;
    g_calls = 0;
    EXPECT_EQ(AutoBlockIMmapProcess(&r, 0, nullptr), 0);
    EXPECT_EQ(g_calls, 8190);
    // A 1 stops the walk at once.
    r.offStart = 0;
    g_calls = 0;
    EXPECT_EQ(AutoBlockIMmapProcess(&r, 1, nullptr), 1);
    EXPECT_EQ(g_calls, 1);
}

TEST(AutoBlockWalk, ExpiryAndHoles)
{
    WriteFile(kWalkFile, Rec(1000, 1u) + Rec(0, 2u) + Rec(1000, 0u) + Rec(2000, 4u) + Rec(0xFFFFFFFFu, 5u));
    AUTOBLOCKMMAPREQ r = Req(AUTOBLOCK_OP_PROCESS, 40);
    r.pfnProcess = Count;
    r.tNow = 2500;
    r.secExpire = 1500;
    g_seen.clear();
    EXPECT_EQ(AutoBlockIMmapProcess(&r, 0, nullptr), 0);
    // 1000 + 1500 <= 2500: expired; 0xFFFFFFFF + 1500 is not.
    EXPECT_EQ(g_seen, (std::vector<uint32_t>{4, 5}));
}

TEST(AutoBlockWalk, Operations)
{
    uint32_t a = Addr("10.0.0.1"), b = Addr("10.0.0.2"), c = Addr("10.0.0.3");
    std::string file = Rec(5, a) + Rec(6, b) + Rec(7, a) + Rec(8, c);
    WriteFile(kWalkFile, file);

    // 1: copies the others, 0 when the address was there.
    int out = open("/tmp/out", O_RDWR | O_CREAT | O_TRUNC, 0600);
    AUTOBLOCKMMAPREQ r = Req(AUTOBLOCK_OP_COPY_IF_DIFFER, 32);
    EXPECT_EQ(AutoBlockIMmapProcess(&r, out, &a), 0);
    close(out);
    EXPECT_EQ(ReadFile("/tmp/out"), Rec(6, b) + Rec(8, c));
    uint32_t none = Addr("10.9.9.9");
    out = open("/tmp/out", O_RDWR | O_CREAT | O_TRUNC, 0600);
    EXPECT_EQ(AutoBlockIMmapProcess(&r, out, &none), 1);
    close(out);
    EXPECT_EQ(ReadFile("/tmp/out"), file);

    // 2: copies all but the listed ones.
    uint32_t listed[] = {b, c, 0};
    r = Req(AUTOBLOCK_OP_COPY_UNLISTED, 32);
    out = open("/tmp/out", O_RDWR | O_CREAT | O_TRUNC, 0600);
    EXPECT_EQ(AutoBlockIMmapProcess(&r, out, listed), 0);
    close(out);
    EXPECT_EQ(ReadFile("/tmp/out"), Rec(5, a) + Rec(7, a));

    // 4: stops at the first match.
    r = Req(AUTOBLOCK_OP_MATCH, 32);
    EXPECT_EQ(AutoBlockIMmapProcess(&r, 0, &c), 1);
    EXPECT_EQ(AutoBlockIMmapProcess(&r, 0, &none), 0);

    // 3: zeroes every matching record in place.
    r = Req(AUTOBLOCK_OP_ZERO_IF_MATCH, 32, PROT_READ | PROT_WRITE, O_RDWR);
    EXPECT_EQ(AutoBlockIMmapProcess(&r, 0, &a), 0);
    EXPECT_EQ(ReadFile(kWalkFile), std::string(8, '\0') + Rec(6, b) + std::string(8, '\0') + Rec(8, c));
}

TEST(AutoBlockWalk, BadRequests)
{
    WriteFile(kWalkFile, Rec(5, 1u));
    uint32_t a = 1;
    struct Case {
        const char *name;
        AUTOBLOCKMMAPREQ r;
        int arg;
        void *p;
    };
    const Case cases[] = {
        {"no size", Req(AUTOBLOCK_OP_MATCH, 0), 0, &a},
        {"op 5", Req(5, 8), 0, &a},
        {"op -1", Req(-1, 8), 0, &a},
        {"copy without descriptor", Req(AUTOBLOCK_OP_COPY_IF_DIFFER, 8), -1, &a},
        {"copy without address", Req(AUTOBLOCK_OP_COPY_IF_DIFFER, 8), 1, nullptr},
        {"unlisted without list", Req(AUTOBLOCK_OP_COPY_UNLISTED, 8), 1, nullptr},
        {"match without address", Req(AUTOBLOCK_OP_MATCH, 8), 0, nullptr},
        // Zeroing through a read-only mapping would crash.
        {"zero read-only", Req(AUTOBLOCK_OP_ZERO_IF_MATCH, 8), 0, &a},
        {"process without function", Req(AUTOBLOCK_OP_PROCESS, 8), 0, nullptr},
    };
    for (const Case &c : cases) {
        vakotest::SyslogClear();
        AUTOBLOCKMMAPREQ r = c.r;
        EXPECT_EQ(AutoBlockIMmapProcess(&r, c.arg, c.p), -1) << c.name;
        EXPECT_EQ(SLIBErrorGet(), 0x0D00) << c.name;
        std::vector<std::string> t = vakotest::SyslogTexts();
        ASSERT_EQ(t.size(), 1u) << c.name;
        EXPECT_TRUE(std::regex_match(t[0], std::regex(R"(autoblock_mmap_process:\d+ Bad parameters)"))) << t[0];
    }
    EXPECT_EQ(AutoBlockIMmapProcess(nullptr, 0, &a), -1);
    EXPECT_EQ(ReadFile(kWalkFile), Rec(5, 1u));
    // A missing file: 0x0700, no message.
    vakotest::SyslogClear();
    AUTOBLOCKMMAPREQ r = Req(AUTOBLOCK_OP_MATCH, 8);
    r.szPath = "/tmp/none";
    EXPECT_EQ(AutoBlockIMmapProcess(&r, 0, &a), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0700);
    EXPECT_STREQ(SLIBErrorGetFile(), "autoblock_file_open");
    EXPECT_TRUE(vakotest::SyslogTexts().empty());
    EXPECT_EQ(AutoBlockFileOpen(nullptr, 0, 6), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(AutoBlockFileOpen(kWalkFile, -1, 6), -1);
    EXPECT_EQ(AutoBlockFileOpen(kWalkFile, 0, -1), -1);
}

// --- settings ---

TEST_F(AutoBlock, SettingsAreRead)
{
    struct Case {
        std::string info;
        VAKOAUTOBLOCKCONF want;
    };
    const Case cases[] = {
        {"autoblock_attempts=\"10\"\nautoblock_attempt_min=\"5\"\nautoblock_expriedday=\"3\"\nautoblock_notify="
         "\"yes\"\n",
         {10, 5, 3, 1}},
        {"autoblock_notify=\"YES\"\n", {0, 0, 0, 0}},
        {"other=\"1\"\n", {0, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        WriteFile(kInfo, c.info);
        VAKOAUTOBLOCKCONF got = {-1, -1, -1, -1};
        ASSERT_EQ(VAKOAutoBlockConfGet(&got), 0) << c.info;
        EXPECT_EQ(memcmp(&got, &c.want, sizeof got), 0) << c.info;
    }
    EXPECT_EQ(VAKOAutoBlockConfGet(nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_TRUE(vakotest::OtherProcessCanLock(0x806));
}

TEST_F(AutoBlock, SettingsReadFailures)
{
    vakotest::RemoveFile(kInfo);
    vakotest::SyslogClear();
    VAKOAUTOBLOCKCONF got;
    EXPECT_EQ(VAKOAutoBlockConfGet(&got), -1);
    std::vector<std::string> t = vakotest::SyslogTexts();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_TRUE(std::regex_match(
        t[0],
        std::regex(
            R"(autoblock_conf_get:\d+ SLIBFileGetKeys\(\) failed!! szFile=\[/etc/vakoinfo\.conf\], vakoerr=\[0x0900\])")))
        << t[0];
    EXPECT_TRUE(vakotest::OtherProcessCanLock(0x806));
    WriteFile(kInfo, "");
    vakotest::OtherLockHolder holder(0x806);
    vakotest::SyslogClear();
    vakotest::SleepLog pauses(vakotest::Pauses::Skipped);
    EXPECT_EQ(VAKOAutoBlockConfGet(&got), -1);
    t = vakotest::SyslogTexts();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_TRUE(std::regex_match(
        t[0],
        std::regex(
            R"(autoblock_conf_get:\d+ ErrSLIBFileLock\(\) failed!! file=\[/etc/vakoinfo\.conf\], vakoerr=\[0x0400\])")))
        << t[0];
}

// A stand-in FTP daemon: a process named ftpd (a copy of sleep) that SIGHUP ends.
pid_t StartFtpd()
{
    WriteFile("/usr/sbin/ftpd", ReadFile("/bin/sleep"), 0755);
    pid_t pid = vakotest::ForkChild([] {
        execl("/usr/sbin/ftpd", "ftpd", "600", static_cast<char *>(nullptr));
        return 127;
    });
    // Named so once it runs the program.
    std::string comm = "/proc/" + std::to_string(pid) + "/comm";
    int64_t deadline = vakotest::MonotonicMs() + 60000;
    while (ReadFile(comm) != "ftpd\n" && vakotest::MonotonicMs() < deadline)
        usleep(1000);
    return pid;
}

TEST_F(AutoBlock, SettingsWriteWhatDiffersAndSignalTheFtpDaemon)
{
    WriteFile(kInfo, "a=\"1\"\nautoblock_attempts=\"10\"\nautoblock_notify=\"no\"\nz=\"2\"\n");
    pid_t ftpd = StartFtpd();
    VAKOAUTOBLOCKCONF conf = {10, 7, 0, 1};
    ASSERT_EQ(VAKOAutoBlockConfSet(&conf), 0);
    EXPECT_EQ(vakotest::WaitChild(ftpd), 128 + SIGHUP);
    std::string text = ReadFile(kInfo);
    EXPECT_EQ(text.substr(0, text.find("z=")), "a=\"1\"\nautoblock_attempts=\"10\"\nautoblock_notify=\"yes\"\n");
    EXPECT_NE(text.find("autoblock_attempt_min=\"7\"\n"), std::string::npos);
    EXPECT_EQ(text.find("autoblock_expriedday"), std::string::npos);
    VAKOAUTOBLOCKCONF back;
    ASSERT_EQ(VAKOAutoBlockConfGet(&back), 0);
    EXPECT_EQ(memcmp(&back, &conf, sizeof back), 0);

    // The same values again: nothing to write, and still a signal.
    ftpd = StartFtpd();
    ASSERT_EQ(VAKOAutoBlockConfSet(&conf), 0);
    EXPECT_EQ(vakotest::WaitChild(ftpd), 128 + SIGHUP);
    EXPECT_EQ(ReadFile(kInfo), text);
    conf.notify = 0;
    ASSERT_EQ(VAKOAutoBlockConfSet(&conf), 0);
    EXPECT_NE(ReadFile(kInfo).find("autoblock_notify=\"no\"\n"), std::string::npos);
    // A notify of 2 differs from the stored 1: its key is written.
    WriteFile(kInfo, "autoblock_notify=yes\n");
    conf = {0, 0, 0, 2};
    ASSERT_EQ(VAKOAutoBlockConfSet(&conf), 0);
    EXPECT_EQ(ReadFile(kInfo), "autoblock_notify=\"yes\"\n");
    EXPECT_TRUE(vakotest::OtherProcessCanLock(0x806));
}

TEST_F(AutoBlock, NoFtpDaemonIsOnlyLogged)
{
    vakotest::SyslogClear();
    VAKOAUTOBLOCKCONF conf = {1, 2, 3, 0};
    ASSERT_EQ(VAKOAutoBlockConfSet(&conf), 0);
    std::vector<std::string> t = vakotest::SyslogTexts();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_TRUE(std::regex_match(t[0], std::regex(R"(autoblock_services_hup:\d+ Failed to hup ftpd)"))) << t[0];
    EXPECT_EQ(VAKOAutoBlockConfSet(nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
}

} // namespace
