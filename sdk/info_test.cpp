#include "vako/info.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "slib/error.h"
#include "slib/lock.h"
#include "vakotest/files.h"
#include "vakotest/lockhold.h"
#include "vakotest/logs.h"
#include "vakotest/run.h"
#include "vakotest/sleeps.h"

using vakotest::FileExists;
using vakotest::ForkChild;
using vakotest::MonotonicMs;
using vakotest::ReadFile;
using vakotest::WaitChild;
using vakotest::WriteFile;

namespace {

TEST(InfoSetKeyValue, WritesKeyLines)
{
    // Missing file: created.
    ASSERT_EQ(VAKOINFOSetKeyValue("first", "1"), 0);
    EXPECT_EQ(ReadFile("/etc/vakoinfo.conf"), "first=\"1\"\n");
    // Absent key: appended.
    ASSERT_EQ(VAKOINFOSetKeyValue("supportMTU", "yes"), 0);
    EXPECT_EQ(ReadFile("/etc/vakoinfo.conf"), "first=\"1\"\nsupportMTU=\"yes\"\n");
    // Present twice: one line left, where the first was.
    WriteFile("/etc/vakoinfo.conf", "eth0_mtu=\"1500\"\nother=\"x\"\neth0_mtu=\"9000\"\n");
    ASSERT_EQ(VAKOINFOSetKeyValue("eth0_mtu", "4000"), 0);
    EXPECT_EQ(ReadFile("/etc/vakoinfo.conf"), "eth0_mtu=\"4000\"\nother=\"x\"\n");
    // Released after each write.
    EXPECT_TRUE(vakotest::OtherProcessCanLock(0x806));
}

TEST(InfoSetKeyValue, NullArgumentsTakeNoLock)
{
    vakotest::RemoveFile("/etc/vakoinfo.conf");
    EXPECT_EQ(VAKOINFOSetKeyValue(nullptr, "v"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_STREQ(SLIBErrorGetFile(), "info_set_key_value");
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOINFOSetKeyValue("k", nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_STREQ(SLIBErrorGetFile(), "info_set_key_value");
    EXPECT_FALSE(FileExists("/tmp/lock"));
    EXPECT_FALSE(FileExists("/etc/vakoinfo.conf"));
}

TEST(InfoSetKeyValue, HeldLockTimesOutAndWritesNothing)
{
    WriteFile("/etc/vakoinfo.conf", "k=\"old\"\n");
    vakotest::OtherLockHolder other(0x806);
    vakotest::SleepLog sleeps;
    int64_t t0 = MonotonicMs();
    EXPECT_EQ(VAKOINFOSetKeyValue("k", "new"), -1);
    int64_t spent = MonotonicMs() - t0;
    EXPECT_EQ(SLIBErrorGet(), 0x0400);
    // The lock's 5 seconds: 101 attempts, a pause of 50 ms after each.
    EXPECT_EQ(sleeps.Micros(), std::vector<int64_t>(101, 50000));
    EXPECT_GE(spent, 4950);
    EXPECT_EQ(ReadFile("/etc/vakoinfo.conf"), "k=\"old\"\n");
}

TEST(InfoSetKeyValue, FailedWriteReleasesTheLock)
{
    WriteFile("/etc/vakoinfo.conf", "k=\"old\"\n");
    // A value with a line end would add a line of its own: the writer refuses it.
    EXPECT_EQ(VAKOINFOSetKeyValue("k", "a\ninjected=\"1\""), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(ReadFile("/etc/vakoinfo.conf"), "k=\"old\"\n");
    EXPECT_TRUE(vakotest::OtherProcessCanLock(0x806));

    vakotest::RemoveFile("/etc/vakoinfo.conf");
    vakotest::MakeDirs("/etc/vakoinfo.conf");
    EXPECT_EQ(VAKOINFOSetKeyValue("k", "v"), -1);
    EXPECT_NE(SLIBErrorGet(), 0x0400);
    EXPECT_TRUE(vakotest::OtherProcessCanLock(0x806));
}

TEST(InfoSetKeyValue, NestsInACallersHold)
{
    ASSERT_EQ(ErrSLIBFileLock(0x806, 5), 0);
    EXPECT_EQ(VAKOINFOSetKeyValue("k", "v"), 0);
    EXPECT_EQ(ReadFile("/etc/vakoinfo.conf"), "k=\"v\"\n");
    // The caller's hold is still in force.
    EXPECT_FALSE(vakotest::OtherProcessCanLock(0x805));
    EXPECT_EQ(ErrSLIBFileUnlock(0x800), 0);
    EXPECT_TRUE(vakotest::OtherProcessCanLock(0x806));
}

TEST(SupportRaid, AnswersFromTheFactoryKey)
{
    struct Case {
        const char *conf;
        int raid;
    } cases[] = {
        {"supportraid=\"yes\"\n", 1}, {"supportraid=\"YES\"\n", 1},
        {"supportraid=\"yEs\"\n", 1}, {"supportraid=\"yessir, with a long tail\"\n", 1},
        {"supportraid=\"no\"\n", 0},  {"supportraid=\"ye\"\n", 0},
        {"supportraid=\"\"\n", 0},    {"unique=\"vakora_powerpc_m88_1hd\"\n", 0},
    };
    WriteFile("/etc/vakoinfo.conf", "supportraid=\"yes\"\n"); // never consulted
    for (const Case &c : cases) {
        SCOPED_TRACE(c.conf);
        WriteFile("/etc.defaults/vakoinfo.conf", c.conf);
        EXPECT_EQ(VAKOConfSupportRaid(), c.raid);
    }
    std::string calls;
    for (size_t i = 0; i < std::size(cases); ++i)
        calls += "get_key_value /etc.defaults/vakoinfo.conf supportraid\n";
    EXPECT_EQ(ReadFile("/.sandbox/calls"), calls);
}

TEST(SupportRaid, OnlyTheFirstOutputLineCounts)
{
    // A program of this test's own in place of the stand-in prints exactly this.
    struct Case {
        const char *out;
        int raid;
    } cases[] = {
        {"Yes\n", 1}, {"yes", 1}, {"no\nyes\n", 0}, {"\nyes\n", 0}, {"", 0}, {" yes\n", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.out);
        WriteFile("/tmp/gkv.out", c.out);
        WriteFile("/bin/get_key_value", "#!/bin/sh\nexec cat /tmp/gkv.out\n", 0755);
        EXPECT_EQ(VAKOConfSupportRaid(), c.raid);
    }
}

TEST(SupportRaid, MissingProgramAnswersNo)
{
    WriteFile("/etc.defaults/vakoinfo.conf", "supportraid=\"yes\"\n");
    vakotest::RemoveFile("/bin/get_key_value");
    EXPECT_EQ(VAKOConfSupportRaid(), 0);
}

TEST(SupportRaid, CommandThatCannotStartIsLogged)
{
    WriteFile("/etc.defaults/vakoinfo.conf", "supportraid=\"yes\"\n");
    openlog(nullptr, LOG_NDELAY, LOG_USER); // connected before the descriptors run out
    struct rlimit old;
    getrlimit(RLIMIT_NOFILE, &old);
    struct rlimit low = {64, old.rlim_max};
    setrlimit(RLIMIT_NOFILE, &low);
    std::vector<int> fds;
    for (int fd; (fd = dup(0)) >= 0;)
        fds.push_back(fd);
    int raid = VAKOConfSupportRaid();
    for (int fd : fds)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(raid, 0);
    std::vector<vakotest::SyslogLine> lines = vakotest::SyslogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, LOG_ERR);
    EXPECT_TRUE(vakotest::LogPatternMatches("conf_support_raid:{L} Failed to popen cmd = '/bin/get_key_value "
                                            "/etc.defaults/vakoinfo.conf supportraid', errno=Too many open files",
                                            lines[0].text))
        << lines[0].text;
}

TEST(IsJunior, FromTheModelIdentifier)
{
    // The kernel file says "not junior" throughout: the identifier decides.
    vakotest::MountKernelFile("/proc/sys/kernel/vako_hw_version", "4.1\n");
    struct Case {
        const char *conf;
        int junior;
    } cases[] = {
        {"unique=\"sdkdebug\"\n", 1},
        {"unique=\"sdkdebug_anything\"\n", 1},
        {"unique=\"SDKDEBUG_x\"\n", 0},
        {"unique=\"vakora_powerpc_m88_1hd_junior\"\n", 1},
        {"unique=\"_junior\"\n", 1},
        {"unique=\"vakora_powerpc_m88_1hd_JUNIOR\"\n", 0},
        {"unique=\"vakora_powerpc_m88_1hd\"\n", 0},
        {"maxshares=\"256\"\n", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.conf);
        WriteFile("/etc.defaults/vakoinfo.conf", c.conf);
        EXPECT_EQ(VAKOIsJunior(), c.junior);
    }
    vakotest::RemoveFile("/etc.defaults/vakoinfo.conf");
    EXPECT_EQ(VAKOIsJunior(), 0);
}

TEST(IsJunior, FromTheKernelFile)
{
    WriteFile("/etc.defaults/vakoinfo.conf", "unique=\"vakora_powerpc_m88_1hd_JUNIOR\"\n");
    struct Case {
        std::string line;
        int junior;
    } cases[] = {
        {"4.1-j\n", 1},
        {"4.1-J\n", 0},
        {"-j\n", 1},
        {"-j", 0}, // the dropped last character is the j
        {"4.1-j", 0},
        {"4.1-jj\n", 0},
        {"j\n", 0},
        {"4.1-j\nsecond line\n", 1},
        {"4.1\n4.1-j\n", 0},
        {"", 0},
        {std::string(96, 'x') + "-j\n", 1},
        {std::string(97, 'x') + "-j\n", 0}, // only 99 characters are read
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        vakotest::MountKernelFile("/proc/sys/kernel/vako_hw_version", c.line);
        EXPECT_EQ(VAKOIsJunior(), c.junior);
    }
    vakotest::RemoveFile("/proc/sys/kernel/vako_hw_version");
    EXPECT_EQ(VAKOIsJunior(), 0);
}

TEST(IsJunior, ShortOrOverlongIdentifierAnswersNo)
{
    vakotest::MountKernelFile("/proc/sys/kernel/vako_hw_version", "4.1-j\n");
    for (const std::string &unique : {std::string("abcde"), std::string(100, 'a')}) {
        SCOPED_TRACE(unique);
        WriteFile("/etc.defaults/vakoinfo.conf", "unique=\"" + unique + "\"\n");
        EXPECT_EQ(VAKOIsJunior(), 0);
    }
    WriteFile("/etc.defaults/vakoinfo.conf", "unique=\"abcdef\"\n");
    EXPECT_EQ(VAKOIsJunior(), 1);
}

} // namespace
