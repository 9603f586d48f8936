// The throwaway appliance seen from inside: what the runner set up, the
// system-log stand-in's records, and the test kit and fixture builder.
#include <gtest/gtest.h>

#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "vakotest/chips.h"
#include "vakotest/fixture.h"
#include "vakotest/kstub.h"
#include "vakotest/files.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/run.h"

using vakotest::ReadFile;
using vakotest::SyslogLine;

namespace {

// Started with VAKOTEST_SYSINFO set, this binary prints what sysinfo()
// reports as the uptime and the boot-time clock around it (both within one
// second), then ends before any test runs.
const int gSysinfoProbe = [] {
    if (getenv("VAKOTEST_SYSINFO")) {
        struct sysinfo si;
        struct timespec before, after;
        do {
            clock_gettime(CLOCK_BOOTTIME, &before);
            if (sysinfo(&si) != 0)
                si.uptime = -1;
            clock_gettime(CLOCK_BOOTTIME, &after);
        } while (before.tv_sec != after.tv_sec);
        printf("%ld %ld.%09ld\n", si.uptime, static_cast<long>(before.tv_sec), before.tv_nsec);
        fflush(stdout);
        _exit(0);
    }
    return 0;
}();

// Slack for a loaded machine: how much later than asked a child may start.
constexpr double kSlack = 30;

constexpr const char *kSandbox = VAKO_SANDBOX_PROGRAM;

std::string Self() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

int Mtu(const char *name)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", name);
    int r = ioctl(s, SIOCGIFMTU, &ifr);
    close(s);
    return r == 0 ? ifr.ifr_mtu : -1;
}

TEST(Appliance, LoopbackAndVethPairAreUpAndTakeAnMtu)
{
    for (const char *name : {"lo", "eth0", "eth1"}) {
        SCOPED_TRACE(name);
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        ifreq ifr{};
        snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", name);
        ASSERT_EQ(ioctl(s, SIOCGIFFLAGS, &ifr), 0);
        EXPECT_TRUE(ifr.ifr_flags & IFF_UP);
        close(s);
    }
    EXPECT_EQ(Mtu("eth0"), 1500);
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "eth0");
    ifr.ifr_mtu = 9000;
    ASSERT_EQ(ioctl(s, SIOCSIFMTU, &ifr), 0);
    close(s);
    EXPECT_EQ(Mtu("eth0"), 9000);
    EXPECT_EQ(Mtu("eth1"), 1500);
}

TEST(Appliance, FreshTmpDevAndMarker)
{
    EXPECT_TRUE(vakotest::InSandbox());
    EXPECT_EQ(vakotest::FileMode("/tmp"), 01777u);
    EXPECT_EQ(vakotest::ListDir("/tmp"), std::vector<std::string>{});
    struct stat st;
    ASSERT_EQ(stat("/dev/console", &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    ASSERT_EQ(stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    // A PID namespace of its own: only the runner's few helpers came before.
    EXPECT_LT(getpid(), 10);
}

TEST(Appliance, EnvironmentPreparesThePreloadAndSanitizers)
{
    const char *asan = getenv("ASAN_OPTIONS");
    ASSERT_NE(asan, nullptr);
    EXPECT_NE(std::string(asan).find("verify_asan_link_order=0"), std::string::npos);
    ASSERT_TRUE(vakotest::FileExists(vakotest::kstub::LibraryFile()));
    const char *preload = getenv("LD_PRELOAD");
    const char *dir = getenv("VAKO_KSTUB_DIR");
    ASSERT_NE(preload, nullptr);
    EXPECT_NE(std::string(preload).find(vakotest::kstub::LibraryPath()), std::string::npos);
    ASSERT_NE(dir, nullptr);
    EXPECT_STREQ(dir, vakotest::kstub::kSandboxDir);
}

TEST(Appliance, StandInsAreInPlace)
{
    EXPECT_EQ(vakotest::FileMode("/bin/get_key_value"), 0755u);
    vakotest::WriteFile("/etc/t.conf", "a=\"1\"\nsupportraid=\"yes\"\nsupportraid=\"no\"\nb=2\n");
    auto r = vakotest::Run({"/bin/get_key_value", "/etc/t.conf", "supportraid"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "yes\n");
    EXPECT_EQ(vakotest::Run({"/bin/get_key_value", "/etc/t.conf", "b"}).out, "2\n");
    EXPECT_EQ(vakotest::Run({"/bin/get_key_value", "/etc/t.conf", "support"}).out, "");
    EXPECT_NE(ReadFile("/.sandbox/calls").find("get_key_value /etc/t.conf supportraid\n"), std::string::npos);
}

// Datagrams as the C library and other senders write them, and the record
// the stand-in must make of each.
struct RawCase {
    std::string datagram;
    SyslogLine want;
};

TEST(Syslog, StripsTheHeaderAndKeepsTheLevel)
{
    const std::vector<RawCase> cases = {
        {"<11>Mar  5 14:07:09 updater[42]: main(12): Start", {3, "main(12): Start"}},
        {"<14>Mar 15 01:02:03 updater: no pid: colon kept", {6, "no pid: colon kept"}},
        {"<191>Jan  1 00:00:00 t: local7 debug", {7, "local7 debug"}},
        {"<8>Jan  1 00:00:00 : empty tag", {0, "empty tag"}},
        {"<27>: glibc without time", {3, "glibc without time"}},
        {"<13>no header at all", {5, "no header at all"}},
        {"bare text", {5, "bare text"}},
        {"<11>Mar  5 14:07:09 x: ends in a line end\n", {3, "ends in a line end\n"}},
        {"<11>Mar  5 14:07:09 x: back\\slash \\n", {3, "back\\slash \\n"}},
        {"<11>Mar  5 14:07:09 x: ", {3, ""}},
    };
    vakotest::SyslogClear();
    int s = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    strcpy(sa.sun_path, "/dev/log");
    for (const RawCase &c : cases)
        ASSERT_EQ(sendto(s, c.datagram.data(), c.datagram.size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)),
                  static_cast<ssize_t>(c.datagram.size()));
    close(s);
    std::vector<SyslogLine> want;
    for (const RawCase &c : cases)
        want.push_back(c.want);
    EXPECT_EQ(vakotest::SyslogLines(), want);
    // On disk: one line per record, the line end and the backslash escaped.
    std::string file = ReadFile("/.sandbox/syslog");
    EXPECT_NE(file.find("3\tends in a line end\\n\n"), std::string::npos);
    EXPECT_NE(file.find("3\tback\\\\slash \\\\n\n"), std::string::npos);
    EXPECT_NE(file.find("3\t\n"), std::string::npos);
}

TEST(Syslog, RecordsOfTheCLibraryFromThisAndOtherProcesses)
{
    vakotest::SyslogClear();
    syslog(LOG_ERR, "%s(%d): plain", "main", 7);
    openlog("tagged", LOG_PID, LOG_DAEMON);
    syslog(LOG_WARNING, "with pid: and %s", "colon");
    closelog();
    syslog(LOG_DEBUG, "two\nlines\n");
    pid_t p = fork();
    if (p == 0) {
        syslog(LOG_NOTICE, "from a child");
        _exit(0);
    }
    waitpid(p, nullptr, 0);
    std::vector<SyslogLine> want = {
        {3, "main(7): plain"}, {4, "with pid: and colon"}, {7, "two\nlines\n"}, {5, "from a child"}};
    EXPECT_EQ(vakotest::SyslogLines(), want);
    EXPECT_TRUE(vakotest::SyslogHas("from a child"));
    EXPECT_FALSE(vakotest::SyslogHas("from a"));
    EXPECT_EQ(vakotest::SyslogTexts().size(), 4u);
    vakotest::SyslogClear();
    EXPECT_TRUE(vakotest::SyslogLines().empty());
}

TEST(Syslog, PatternsStandForLineNumbersAndAnyTextAndNothingElse)
{
    struct Case {
        const char *pattern, *text;
        bool match;
    } cases[] = {
        {"main({L}): fail", "main(123): fail", true},
        {"main({L}): fail", "main(): fail", false},
        {"main({L}): fail", "main(12a): fail", false},
        {"a {*} b", "a x\ny b", true},
        {"a {*} b", "a  b", true},
        {"a.b [c] (d) $e^ *f+ ?|\\ {x}", "a.b [c] (d) $e^ *f+ ?|\\ {x}", true},
        {"a.b", "axb", false},
        {"text", "text and more", false},
        {"text", "more text", false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(vakotest::LogPatternMatches(c.pattern, c.text), c.match) << c.pattern << " | " << c.text;
    vakotest::SyslogClear();
    syslog(LOG_DEBUG, "raid.cpp:%d Failed", 42);
    EXPECT_EQ(vakotest::SyslogCount("raid.cpp:{L} Failed", LOG_DEBUG), 1);
    EXPECT_EQ(vakotest::SyslogCount("raid.cpp:{L} Failed", LOG_ERR), 0);
    EXPECT_TRUE(vakotest::SyslogMatches("raid.cpp:{L} {*}"));
}

TEST(UpdateLog, LinesWithoutTheirStampComeBackMarked)
{
    EXPECT_TRUE(vakotest::UpdateLogTexts().empty());
    vakotest::WriteFile(vakotest::kUpdateLog, "2024/01/02 03:04:05\tone\nno stamp\n2024/1/02 03:04:05\tshort\n"
                                              "2024/01/02 03:04:05\tlast without its line end");
    EXPECT_EQ(vakotest::UpdateLogTexts(),
              (std::vector<std::string>{"one", "unstamped: no stamp", "unstamped: 2024/1/02 03:04:05\tshort",
                                        "unstamped: 2024/01/02 03:04:05\tlast without its line end"}));
    EXPECT_EQ(vakotest::UpdateLogLines().front().stamp, "2024/01/02 03:04:05");
    EXPECT_TRUE(vakotest::UpdateLogHas("o{*}"));
    EXPECT_FALSE(vakotest::UpdateLogHas("no stamp"));
}

TEST(Run, CapturesOutputStatusAndTakesCwdEnvAndEmptyStdin)
{
    auto r = vakotest::Run({"sh", "-c", "echo out; echo err >&2; pwd; echo \"$VAKO_X\"; cat; exit 3"},
                           {.cwd = "/etc", .env = {"VAKO_X=set", "HOME=/nowhere"}});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "out\n/etc\nset\n");
    EXPECT_EQ(r.err, "err\n");
    EXPECT_EQ(vakotest::Run({"sh", "-c", "echo $HOME"}, {.env = {"HOME=/nowhere"}}).out, "/nowhere\n");
    EXPECT_EQ(vakotest::Run({"sh", "-c", "kill -9 $$"}).status, 128 + 9);
    EXPECT_EQ(vakotest::Run({"/no/such/program"}).status, 127);
}

double ProcUptime(const std::string &text) { return strtod(text.c_str(), nullptr); }

TEST(Run, UptimeStartsAtTheGivenValue)
{
    auto r = vakotest::Run({"cat", "/proc/uptime"}, {.uptime = 1000});
    ASSERT_EQ(r.status, 0);
    EXPECT_GE(ProcUptime(r.out), 1000.0);
    EXPECT_LT(ProcUptime(r.out), 1000.0 + kSlack);
    // sysinfo() sees the same clock and rounds a fraction of a second up.
    for (double uptime : {1000.0, 299.5}) {
        SCOPED_TRACE(uptime);
        auto s = vakotest::Run({Self()}, {.env = {"VAKOTEST_SYSINFO=1"}, .uptime = uptime});
        long reported = -1, sec = -1, nsec = -1;
        ASSERT_EQ(sscanf(s.out.c_str(), "%ld %ld.%ld", &reported, &sec, &nsec), 3) << s.out << s.err;
        EXPECT_GE(sec + nsec / 1e9, uptime);
        EXPECT_LT(sec + nsec / 1e9, uptime + kSlack);
        EXPECT_EQ(reported, sec + (nsec > 0 ? 1 : 0));
    }
    auto low = vakotest::Run({"cat", "/proc/uptime"}, {.uptime = 0.25});
    EXPECT_GE(ProcUptime(low.out), 0.25);
    EXPECT_LT(ProcUptime(low.out), 0.25 + kSlack);
    // Without the option the child has the sandbox's own clock.
    double own = ProcUptime(ReadFile("/proc/uptime"));
    double child = ProcUptime(vakotest::Run({"cat", "/proc/uptime"}).out);
    EXPECT_GE(child, own);
    EXPECT_LT(child, own + kSlack);
}

TEST(KernelFiles, MaskTheirDirectoryAndKeepTheUsualSysctls)
{
    std::string ostype = ReadFile("/proc/sys/kernel/ostype");
    vakotest::MountKernelFile("/proc/sys/kernel/vako_hw_version", "hw-1-j\n");
    vakotest::MountKernelFile("/proc/sys/kernel/other", "x");
    EXPECT_EQ(ReadFile("/proc/sys/kernel/vako_hw_version"), "hw-1-j\n");
    EXPECT_EQ(ReadFile("/proc/sys/kernel/other"), "x");
    EXPECT_EQ(ReadFile("/proc/sys/kernel/ostype"), ostype);
    vakotest::MountKernelFile("/sys/block/md0/md/dev-sda1/state", "in_sync\n");
    vakotest::MountKernelFile("/sys/block/md0/md/dev-sda1/slot", "0\n");
    EXPECT_EQ(ReadFile("/sys/block/md0/md/dev-sda1/state"), "in_sync\n");
    EXPECT_EQ(vakotest::ListDir("/sys/block"), std::vector<std::string>{"md0"});
    EXPECT_THROW(vakotest::MountKernelFile("/etc/x", ""), std::invalid_argument);
}

// Bonding files: /sys/class/net keeps its interfaces under the mask; the
// status files of /proc/net/bonding are the calling process's own.
TEST(KernelFiles, BondingFilesBesideTheRealOnes)
{
    vakotest::MountKernelFile("/sys/class/net/bond0/bonding/mode", "balance-alb 6\n");
    EXPECT_EQ(ReadFile("/sys/class/net/bond0/bonding/mode"), "balance-alb 6\n");
    EXPECT_TRUE(vakotest::FileExists("/sys/class/net/eth0/address"));
    EXPECT_EQ(vakotest::Run({"cat", "/sys/class/net/bond0/bonding/mode"}).out, "balance-alb 6\n");

    vakotest::MountKernelFile("/proc/net/bonding/bond0", "status\n");
    EXPECT_EQ(ReadFile("/proc/net/bonding/bond0"), "status\n");
    EXPECT_NE(ReadFile("/proc/net/dev").find("eth0:"), std::string::npos);
    EXPECT_NE(vakotest::Run({"cat", "/proc/net/bonding/bond0"}).status, 0);
}

TEST(Fixture, InstallsAnApplianceAtTheRealPaths)
{
    vakotest::Appliance a;
    a.layout = vakotest::Layout::Junior;
    a.version.Set("buildnumber", "284");
    a.defaults.Set("unique", "vakora_powerpc_m88_1hd");
    a.info.Set("eth0_mtu", "9000");
    a.files["/etc/extra"] = "more";
    a.flash = vakotest::LayoutFlash(vakotest::Layout::Junior);
    vakotest::Install(a);
    EXPECT_EQ(ReadFile("/proc/sys/kernel/vako_hw_version"), "vako-hw-ppc-1-j\n");
    EXPECT_EQ(ReadFile("/etc.defaults/VERSION"),
              "majorversion=\"3\"\nminorversion=\"1\"\nbuildphase=\"0\"\nbuildnumber=\"284\"\n");
    EXPECT_EQ(ReadFile("/etc.defaults/vakoinfo.conf"), "unique=\"vakora_powerpc_m88_1hd\"\nsupportraid=\"no\"\n");
    EXPECT_EQ(ReadFile("/etc/vakoinfo.conf"), "eth0_mtu=\"9000\"\n");
    EXPECT_EQ(ReadFile("/etc/extra"), "more");
    EXPECT_TRUE(vakotest::IsDirectory("/initrd"));
    vakotest::kstub::Chip chip = vakotest::kstub::Load(vakotest::kstub::kSandboxDir);
    EXPECT_EQ(chip.windows.size(), 6u);
    EXPECT_TRUE(chip.image == a.flash->chip.image);

    a.layout = vakotest::Layout::Normal;
    a.initrd = false;
    a.version.Erase("buildphase");
    vakotest::Install(a);
    EXPECT_EQ(ReadFile("/proc/sys/kernel/vako_hw_version"), "vako-hw-ppc-1\n");
    EXPECT_FALSE(vakotest::FileExists("/initrd"));
    EXPECT_EQ(ReadFile("/etc.defaults/VERSION"), "majorversion=\"3\"\nminorversion=\"1\"\nbuildnumber=\"284\"\n");
}

TEST(Fixture, InstallsAPackage)
{
    vakotest::Package p;
    p.images["zImage"] = std::string("\0\x01kernel", 8);
    p.hda1 = "archive";
    p.withUpdater = false;
    vakotest::Install(p);
    EXPECT_EQ(ReadFile("/volume1/upd@te/VERSION"),
              "unique=\"vakora_powerpc_demo\"\nmajorversion=\"3\"\nminorversion=\"1\"\nbuildphase=\"0\"\n"
              "buildnumber=\"1001\"\nextractsize=\"1024\"\n");
    EXPECT_EQ(ReadFile("/volume1/upd@te/zImage"), std::string("\0\x01kernel", 8));
    EXPECT_EQ(ReadFile("/volume1/upd@te/hda1.tgz"), "archive");
    EXPECT_EQ(vakotest::ListDir("/volume1/upd@te"), (std::vector<std::string>{"VERSION", "hda1.tgz", "zImage"}));
    p.images["../escape"] = "";
    EXPECT_THROW(vakotest::Install(p), std::invalid_argument);
}

// A tree made by the builder, run by a second runner inside this one: the
// runner's --fixture, --uptime, --cwd and --out from end to end.
TEST(Fixture, TreeRunsUnderTheRunner)
{
    vakotest::Appliance a;
    a.layout = vakotest::Layout::Junior;
    a.files["/tmp/seen"] = "in tmp";
    a.files["/bin/get_key_value"] = "#!/bin/sh\necho shadowed\n";
    a.flash = vakotest::LayoutFlash(vakotest::Layout::Junior);
    vakotest::Build(a, "/tmp/fx");
    EXPECT_EQ(vakotest::kstub::Load("/tmp/fx/root/.sandbox/kstub").size, 0x200000u);
    vakotest::WriteFile("/tmp/fx/kernel/sys-block/md0/md/dev-sda1/slot", "1\n");
    chmod("/tmp/fx/root/bin/get_key_value", 0755);
    vakotest::WriteFile("/tmp/fx/root/etc/secret", "s", 0600);
    ASSERT_EQ(chown("/tmp/fx/root/etc/secret", 1234, 4321), 0);

    auto r = vakotest::Run({kSandbox, "--fixture", "/tmp/fx", "--uptime", "500", "--cwd", "/etc.defaults", "--out",
                            "/tmp/out", "--out-path", "/tmp", "--", "sh", "-c",
                            "cat /proc/sys/kernel/vako_hw_version /sys/block/md0/md/dev-sda1/slot /tmp/seen; echo;"
                            "wc -c < /.sandbox/kstub/chip; get_key_value; stat -c '%a %u %g' /etc/secret;"
                            "stat -c '%a' /tmp; pwd; test -e /proc/sys/kernel/ostype && echo sysctls;"
                            "cut -d' ' -f1 /proc/uptime; echo made > /tmp/made; exit 4"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 4);
    std::string out = r.out;
    std::string uptime = out.substr(out.rfind('\n', out.size() - 2) + 1);
    EXPECT_EQ(out.substr(0, out.size() - uptime.size()),
              "vako-hw-ppc-1-j\n1\nin tmp\n2097152\nshadowed\n600 1234 4321\n1777\n/etc.defaults\nsysctls\n");
    EXPECT_GE(ProcUptime(uptime), 500.0);
    EXPECT_LT(ProcUptime(uptime), 500.0 + kSlack);
    EXPECT_EQ(ReadFile("/tmp/out/tmp/made"), "made\n");
    EXPECT_FALSE(vakotest::FileExists("/tmp/out/etc"));
    // Nothing of the inner run is left here.
    EXPECT_FALSE(vakotest::FileExists("/tmp/made"));
    for (const std::string &name : vakotest::ListDir("/tmp"))
        EXPECT_TRUE(name == "fx" || name == "out") << name;
    EXPECT_EQ(ReadFile("/bin/get_key_value").find("shadowed"), std::string::npos);
}

// A fixture tree's sys-class-net files, under the runner.
TEST(Fixture, TreeServesBondingFiles)
{
    vakotest::WriteFile("/tmp/fb/kernel/sys-class-net/bond0/bonding/slaves", "eth0 eth1\n");
    auto r = vakotest::Run({kSandbox, "--fixture", "/tmp/fb", "--", "sh", "-c",
                            "cat /sys/class/net/bond0/bonding/slaves;"
                            "test -e /sys/class/net/eth1/address && echo eth1"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "eth0 eth1\neth1\n");
}

} // namespace
