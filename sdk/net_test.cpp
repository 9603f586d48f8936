#include "vako/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "slib/error.h"
#include "vakotest/files.h"
#include "vakotest/lockhold.h"
#include "vakotest/logs.h"
#include "vakotest/sleeps.h"

namespace {

using vakotest::FileExists;
using vakotest::ReadFile;

void Ip(const std::string &args)
{
    std::string cmd = "/bin/ip " + args;
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
}

bool HasInterface(const std::string &name) { return FileExists("/sys/class/net/" + name); }

void DropInterface(const std::string &name)
{
    if (HasInterface(name))
        Ip("link del " + name);
}

// A veth pair whose two ends are up (so both are running).
void MakeVethPair(const std::string &a, const std::string &b)
{
    DropInterface(a);
    DropInterface(b);
    Ip("link add " + a + " type veth peer name " + b);
    Ip("link set " + a + " up");
    Ip("link set " + b + " up");
}

void MakeTunDevice()
{
    mkdir("/dev/net", 0755);
    if (!FileExists("/dev/net/tun")) {
        ASSERT_EQ(mknod("/dev/net/tun", S_IFCHR | 0600, makedev(10, 200)), 0);
    }
}

// A tap device: unlike veth, its driver takes link settings.
void MakeTap(const std::string &name, uint32_t speed, uint8_t duplex)
{
    MakeTunDevice();
    DropInterface(name);
    Ip("tuntap add " + name + " mode tap");
    Ip("link set " + name + " up");
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    struct ethtool_cmd cmd;
    memset(&cmd, 0, sizeof(cmd));
    cmd.cmd = ETHTOOL_GSET;
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", name.c_str());
    ifr.ifr_data = reinterpret_cast<char *>(&cmd);
    ASSERT_EQ(ioctl(fd, SIOCETHTOOL, &ifr), 0);
    cmd.cmd = ETHTOOL_SSET;
    ethtool_cmd_speed_set(&cmd, speed);
    cmd.duplex = duplex;
    cmd.autoneg = AUTONEG_DISABLE;
    ASSERT_EQ(ioctl(fd, SIOCETHTOOL, &ifr), 0) << strerror(errno);
    close(fd);
}

std::string Sys(const std::string &name, const char *attr)
{
    std::string s = ReadFile("/sys/class/net/" + name + "/" + attr);
    while (!s.empty() && s.back() == '\n')
        s.pop_back();
    return s;
}

std::string MacText(const unsigned char mac[6])
{
    char buf[18];
    snprintf(buf, sizeof(buf), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return buf;
}

std::vector<std::string> Names(const VAKONETIFINFO *p, int n)
{
    std::vector<std::string> v;
    for (int i = 0; i < n; ++i)
        v.emplace_back(p[i].szName);
    return v;
}

// The code recorded, and the source name of the operation that recorded it.
void ExpectError(int code, const char *file = nullptr)
{
    EXPECT_EQ(SLIBErrorGet(), code);
    if (file) {
        EXPECT_STREQ(SLIBErrorGetFile(), file);
    }
}

// --- interface listing ---

TEST(NetInterfaceInfo, ListsUpInterfacesSortedWithAddresses)
{
    MakeVethPair("eth0", "eth1");
    Ip("addr add 10.1.2.3/24 dev eth0");
    Ip("link set lo up");
    DropInterface("eth2");
    Ip("link add eth2 type veth peer name eth3");
    Ip("link set eth2 up"); // up, but its peer is down: not running
    MakeTunDevice();
    Ip("tuntap add tun0 mode tun");
    Ip("link set tun0 up"); // point-to-point: left out
    Ip("link add down0 type veth peer name down1");

    VAKONETIFINFO ifs[8];
    memset(ifs, 0, sizeof(ifs));
    for (VAKONETIFINFO &e : ifs)
        snprintf(e.szIP, sizeof(e.szIP), "untouched");
    // The kernel registers eth1 before eth0: the result is sorted by name.
    ASSERT_EQ(VAKONetGetInterfaceInfo(ifs, 8, 3), 3);
    EXPECT_EQ(Names(ifs, 3), (std::vector<std::string>{"eth0", "eth1", "eth2"}));
    EXPECT_STREQ(ifs[0].szIP, "10.1.2.3");
    EXPECT_STREQ(ifs[1].szIP, "untouched");
    EXPECT_EQ(ifs[0].link, 2);
    EXPECT_EQ(ifs[1].link, 2);
    EXPECT_EQ(ifs[2].link, 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(MacText(ifs[i].mac), Sys(ifs[i].szName, "address"));
        // sysfs shows the flags without the operational state.
        EXPECT_EQ(ifs[i].flags & ~IFF_RUNNING, std::stoi(Sys(ifs[i].szName, "flags"), nullptr, 16));
        EXPECT_TRUE(ifs[i].flags & IFF_UP);
        EXPECT_EQ(!!(ifs[i].flags & IFF_RUNNING), ifs[i].link == 2);
    }

    // Kinds 1 and 2 differ only for bond masters and slaves.
    EXPECT_EQ(VAKONetGetInterfaceInfo(ifs, 8, 1), 3);
    EXPECT_EQ(VAKONetGetInterfaceInfo(ifs, 8, 2), 3);
    EXPECT_EQ(VAKONetGetInterfaceInfo(nullptr, 8, 2), 3);
    EXPECT_EQ(VAKONetGetInterfaceInfo(nullptr, 2, 2), 2);
}

TEST(NetInterfaceInfo, MaxLimitsTheEntriesWritten)
{
    MakeVethPair("eth0", "eth1");
    VAKONETIFINFO ifs[2];
    memset(ifs, 0x5a, sizeof(ifs));
    ASSERT_EQ(VAKONetGetInterfaceInfo(ifs, 1, 3), 1);
    // The first interface up in the kernel's order.
    EXPECT_STREQ(ifs[0].szName, "eth1");
    EXPECT_EQ(ifs[1].szName[0], 0x5a);
}

TEST(NetInterfaceInfo, RefusesBadArguments)
{
    VAKONETIFINFO ifs[8];
    for (int kind : {0, 4}) {
        SLIBErrorSet(0);
        EXPECT_EQ(VAKONetGetInterfaceInfo(ifs, 8, kind), -1);
        ExpectError(SLIB_ERR_BAD_PARAMETER, "net_get_interface_info");
    }
    SLIBErrorSet(0);
    EXPECT_EQ(VAKONetGetInterfaceInfo(ifs, -1, 2), -1);
    ExpectError(SLIB_ERR_BAD_PARAMETER, "net_get_interface_info");
    MakeVethPair("eth0", "eth1");
    EXPECT_EQ(VAKONetGetInterfaceInfo(ifs, 0, 2), 0);
}

TEST(NetInterfaceInfo, MoreThanEightInterfaces)
{
    MakeVethPair("eth0", "eth1");
    std::vector<std::string> want = {"eth0", "eth1"};
    for (int i = 0; i < 7; ++i) {
        std::string a = "va" + std::to_string(i), b = "vb" + std::to_string(i);
        MakeVethPair(a, b);
        want.push_back(a);
        want.push_back(b);
    }
    std::sort(want.begin(), want.end());
    std::vector<VAKONETIFINFO> ifs(20);
    int n = VAKONetGetInterfaceInfo(ifs.data(), static_cast<int>(ifs.size()), 3);
    ASSERT_EQ(n, 16);
    EXPECT_EQ(Names(ifs.data(), n), want);
    EXPECT_EQ(VAKONetGetInterfaceInfo(ifs.data(), 8, 3), 8);
}

// In a child with its own /proc: the listing read is `procNetDev`; the
// names found come back through a pipe.
std::vector<std::string> ListWithProcNetDev(const std::string &procNetDev)
{
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/proc", "tmpfs", 0, nullptr) != 0 || mkdir("/proc/net", 0755) != 0)
            _exit(2);
        int fd = open("/proc/net/dev", O_CREAT | O_WRONLY, 0644);
        if (fd < 0 || write(fd, procNetDev.data(), procNetDev.size()) != static_cast<ssize_t>(procNetDev.size()))
            _exit(3);
        close(fd);
        VAKONETIFINFO ifs[32];
        memset(ifs, 0, sizeof(ifs));
        int n = VAKONetGetInterfaceInfo(ifs, 32, 3);
        std::string out;
        for (int i = 0; i < n; ++i)
            out += std::string(ifs[i].szName, strnlen(ifs[i].szName, sizeof(ifs[i].szName))) + "\n";
        if (write(fds[1], out.data(), out.size()) != static_cast<ssize_t>(out.size()))
            _exit(4);
        _exit(n < 0 ? 5 : 0);
    }
    close(fds[1]);
    std::string got;
    char buf[256];
    ssize_t r;
    while ((r = read(fds[0], buf, sizeof(buf))) > 0)
        got.append(buf, r);
    close(fds[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    std::vector<std::string> names;
    size_t pos = 0, nl;
    while ((nl = got.find('\n', pos)) != std::string::npos) {
        names.push_back(got.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return names;
}

TEST(NetInterfaceInfo, NamesOfSixteenBytesOrMoreAreSkipped)
{
    // The kernel cuts a request's name at 15 characters: the 16-character
    // name would reach the 15-character interface.
    MakeVethPair("abcdefghijklmno", "p15");
    std::string dev = "Inter-|   Receive\n face |bytes\n"
                      "abcdefghijklmnop: 0 0 0\n"
                      "abcdefghijklmnopqrstuvwxyz0123456789: 0 0 0\n"
                      "\t abcdefghijklmno: 0 0 0\n"
                      "no colon here\n"
                      "   p15:0 0 0\n";
    EXPECT_EQ(ListWithProcNetDev(dev), (std::vector<std::string>{"abcdefghijklmno", "p15"}));
}

// --- link settings and MTU ---

TEST(NetEthInfo, VethReportsFullDuplexAndAnUnlistedSpeed)
{
    MakeVethPair("eth0", "eth1");
    Ip("link set eth0 mtu 1400");
    VAKOETHINFO info = {0, 0, 0};
    ASSERT_EQ(VAKONetGetEthInfo(&info, "eth0"), 0);
    EXPECT_EQ(info.speed, -1); // veth says 10000
    EXPECT_EQ(info.duplex, 1);
    EXPECT_EQ(info.mtu, 1400);
}

TEST(NetEthInfo, SpeedsAndDuplexFromTheDriver)
{
    struct Case {
        uint32_t speed;
        uint8_t duplex;
        int wantSpeed, wantDuplex;
    } cases[] = {
        {SPEED_10, DUPLEX_HALF, 10, 0},
        {SPEED_100, DUPLEX_FULL, 100, 1},
        {SPEED_1000, DUPLEX_FULL, 1000, 1},
        {SPEED_2500, DUPLEX_HALF, -1, 0},
    };
    for (const Case &c : cases) {
        MakeTap("tap0", c.speed, c.duplex);
        VAKOETHINFO info = {7, 7, 7};
        ASSERT_EQ(VAKONetGetEthInfo(&info, "tap0"), 0) << c.speed;
        EXPECT_EQ(info.speed, c.wantSpeed) << c.speed;
        EXPECT_EQ(info.duplex, c.wantDuplex) << c.speed;
        EXPECT_EQ(info.mtu, 1500);
    }
}

TEST(NetEthInfo, DriverWithoutLinkSettingsKeepsCallersValues)
{
    DropInterface("ifb0");
    Ip("link add ifb0 type ifb");
    VAKOETHINFO info = {77, 88, 0};
    ASSERT_EQ(VAKONetGetEthInfo(&info, "ifb0"), 0);
    EXPECT_EQ(info.speed, 77);
    EXPECT_EQ(info.duplex, 88);
    EXPECT_EQ(info.mtu, 1500);
}

TEST(NetEthInfo, FailsForMissingInterfaceAndBadNames)
{
    VAKOETHINFO info = {5, 5, 5};
    EXPECT_EQ(VAKONetGetEthInfo(&info, "nosuch0"), -1);
    EXPECT_EQ(info.mtu, 5); // the MTU is not read after a failed query
    SLIBErrorSet(0);
    EXPECT_EQ(VAKONetGetEthInfo(&info, "abcdefghijklmnopq"), -1);
    ExpectError(SLIB_ERR_BAD_PARAMETER, "net_get_eth_info");
    // 16 characters pass the length check; no interface can carry the name.
    SLIBErrorSet(0);
    EXPECT_EQ(VAKONetGetEthInfo(&info, "abcdefghijklmnop"), -1);
    ExpectError(0);
    EXPECT_EQ(info.mtu, 5);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKONetGetEthInfo(nullptr, "eth0"), -1);
    ExpectError(SLIB_ERR_BAD_PARAMETER, "net_get_eth_info");
}

TEST(NetMtu, SetAndReadBack)
{
    MakeVethPair("eth0", "eth1");
    EXPECT_EQ(VAKONetGetMTUSetting("eth0"), 1500);
    ASSERT_EQ(VAKONetSetMTUEth("9000", "eth0"), 0);
    EXPECT_EQ(VAKONetGetMTUSetting("eth0"), 9000);
    EXPECT_EQ(Sys("eth0", "mtu"), "9000");
    ASSERT_EQ(VAKONetSetMTUEth("1500", "eth0"), 0);
    EXPECT_EQ(VAKONetGetMTUSetting("eth0"), 1500);
    // The kernel refuses an MTU below the minimum.
    EXPECT_EQ(VAKONetSetMTUEth("10", "eth0"), -1);
    EXPECT_EQ(VAKONetGetMTUSetting("eth0"), 1500);
}

TEST(NetMtu, MissingInterfaceAndBadNames)
{
    EXPECT_EQ(VAKONetGetMTUSetting("nosuch0"), 0);
    EXPECT_EQ(VAKONetSetMTUEth("1500", "nosuch0"), -1);

    SLIBErrorSet(0);
    vakotest::SyslogClear();
    EXPECT_EQ(VAKONetGetMTUSetting("abcdefghijklmnopq"), -1);
    ExpectError(0); // logged, no code
    EXPECT_TRUE(vakotest::SyslogMatches("net_get_mtu_setting:{L} interface name is too long", LOG_ERR));
    EXPECT_EQ(VAKONetGetMTUSetting(nullptr), -1);
    ExpectError(SLIB_ERR_BAD_PARAMETER, "net_get_mtu_setting");
    SLIBErrorSet(0);
    EXPECT_EQ(VAKONetSetMTUEth("1500", "abcdefghijklmnopq"), -1);
    ExpectError(SLIB_ERR_BAD_PARAMETER, "net_set_mtu_eth");
    // 16 characters: answered as an unknown interface, never cut to 15.
    MakeVethPair("abcdefghijklmno", "p15");
    SLIBErrorSet(0);
    EXPECT_EQ(VAKONetGetMTUSetting("abcdefghijklmnop"), 0);
    EXPECT_EQ(VAKONetSetMTUEth("1400", "abcdefghijklmnop"), -1);
    ExpectError(0);
    EXPECT_EQ(VAKONetGetMTUSetting("abcdefghijklmno"), 1500);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKONetSetMTUEth(nullptr, "eth0"), -1);
    ExpectError(SLIB_ERR_BAD_PARAMETER, "net_set_mtu_eth");
}

TEST(NetIfAddr, AddressAndMaskInNetworkOrder)
{
    MakeVethPair("eth0", "eth1");
    Ip("addr add 192.168.7.20/20 dev eth0");
    uint32_t addr = 0, mask = 0;
    ASSERT_EQ(SLIBNetIfAddrGet("eth0", &addr, &mask), 1);
    EXPECT_EQ(addr, htonl(0xC0A80714));
    EXPECT_EQ(mask, htonl(0xFFFFF000));
    EXPECT_EQ(SLIBNetIfAddrGet("eth1", &addr, &mask), 0); // no address
    EXPECT_EQ(SLIBNetIfAddrGet("nosuch0", &addr, &mask), 0);
    EXPECT_EQ(SLIBNetIfAddrGet("abcdefghijklmnop", &addr, &mask), 0);
}

// --- the MTU road ---

constexpr const char *kInfoConf = "/etc/vakoinfo.conf";

double SecondsOf(const std::function<void()> &f)
{
    auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

TEST(NetSetMTUValue, SlowLinkRecordsOnlyTheKey)
{
    MakeTap("eth0", SPEED_100, DUPLEX_FULL);
    Ip("link set eth0 mtu 9000");
    vakotest::WriteFile(kInfoConf, "other=\"x\"\neth0_mtu=\"9000\"\n");
    vakotest::SleepLog sleeps;
    EXPECT_EQ(VAKONetSetMTUValue("1500", "eth0"), 0);
    // No wait for a link that is not set.
    EXPECT_TRUE(sleeps.Micros().empty());
    EXPECT_EQ(VAKONetGetMTUSetting("eth0"), 9000);
    EXPECT_EQ(ReadFile(kInfoConf), "other=\"x\"\neth0_mtu=\"1500\"\n");
}

TEST(NetSetMTUValue, GigabitLinkSetsTheInterfaceWaitsAndRecords)
{
    MakeTap("eth0", SPEED_1000, DUPLEX_FULL);
    Ip("link set eth0 mtu 9000");
    vakotest::RemoveFile(kInfoConf);
    int rc = -2;
    vakotest::SleepLog sleeps;
    double s = SecondsOf([&] { rc = VAKONetSetMTUValue("1500", "eth0"); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(sleeps.Micros(), std::vector<int64_t>{5000000});
    EXPECT_GE(s, 5.0);
    EXPECT_EQ(VAKONetGetMTUSetting("eth0"), 1500);
    EXPECT_EQ(ReadFile(kInfoConf), "eth0_mtu=\"1500\"\n");
}

TEST(NetSetMTUValue, RefusedOnTheInterfaceStillWaitsAndRecords)
{
    MakeTap("eth0", SPEED_1000, DUPLEX_FULL);
    vakotest::RemoveFile(kInfoConf);
    vakotest::SyslogClear();
    int rc = 0;
    vakotest::SleepLog sleeps;
    double s = SecondsOf([&] { rc = VAKONetSetMTUValue("10", "eth0"); }); // below the kernel's minimum
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(sleeps.Micros(), std::vector<int64_t>{5000000});
    EXPECT_GE(s, 5.0);
    EXPECT_EQ(VAKONetGetMTUSetting("eth0"), 1500);
    EXPECT_EQ(ReadFile(kInfoConf), "eth0_mtu=\"10\"\n");
    EXPECT_TRUE(vakotest::SyslogMatches("net_set_mtu_value:{L} Failed to ifconfig MTU Value(0x{*})", LOG_ERR));
}

TEST(NetSetMTUValue, DriverWithoutLinkSettingsOnlyRecords)
{
    DropInterface("eth0");
    Ip("link add eth0 type ifb");
    Ip("link set eth0 mtu 9000");
    vakotest::RemoveFile(kInfoConf);
    EXPECT_EQ(VAKONetSetMTUValue("1500", "eth0"), 0);
    EXPECT_EQ(VAKONetGetMTUSetting("eth0"), 9000);
    EXPECT_EQ(ReadFile(kInfoConf), "eth0_mtu=\"1500\"\n");
}

TEST(NetSetMTUValue, MissingInterfaceStillRecordsButFails)
{
    vakotest::RemoveFile(kInfoConf);
    vakotest::SyslogClear();
    EXPECT_EQ(VAKONetSetMTUValue("1500", "eth9"), -1);
    EXPECT_EQ(ReadFile(kInfoConf), "eth9_mtu=\"1500\"\n");
    EXPECT_TRUE(vakotest::SyslogMatches("net_set_mtu_value:{L} Can not get EthInfo({*}).", LOG_ERR));
    SLIBErrorSet(0);
    EXPECT_EQ(VAKONetSetMTUValue(nullptr, "eth0"), -1);
    ExpectError(SLIB_ERR_BAD_PARAMETER, "net_set_mtu_value");
}

TEST(NetConfSetMTUValue, KeyThatWouldNotFitIsRefused)
{
    vakotest::RemoveFile(kInfoConf);
    ASSERT_EQ(VAKONetConfSetMTUValue("1400", "bond012"), 0); // "bond012_mtu": 11 characters
    SLIBErrorSet(0);
    EXPECT_EQ(VAKONetConfSetMTUValue("1400", "bond0123"), -1);
    ExpectError(SLIB_ERR_BAD_PARAMETER, "net_conf_set_mtu_value");
    EXPECT_EQ(VAKONetSetMTUValue("1400", "bond0123"), -1);
    EXPECT_EQ(ReadFile(kInfoConf), "bond012_mtu=\"1400\"\n");
    SLIBErrorSet(0);
    EXPECT_EQ(VAKONetConfSetMTUValue(nullptr, "eth0"), -1);
    ExpectError(SLIB_ERR_BAD_PARAMETER, "net_conf_set_mtu_value");
}

TEST(NetConfSetMTUValue, FailedWriteIsLoggedAndReleasesTheLock)
{
    vakotest::RemoveFile(kInfoConf);
    vakotest::MakeDirs(kInfoConf);
    vakotest::SyslogClear();
    EXPECT_EQ(VAKONetConfSetMTUValue("1500", "eth0"), -1);
    EXPECT_TRUE(vakotest::SyslogMatches("net_conf_set_mtu_value ({L}) Failed to set MTU value({*})", LOG_ERR));
    EXPECT_TRUE(vakotest::OtherProcessCanLock(0x806));
}

TEST(NetConfSetMTUValue, WritesOnlyUnderTheAppliancesLock)
{
    mkdir("/tmp/lock", 0755);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0) {
        // Root's lock file as the lock table makes it.
        int fd = open("/tmp/lock/lock_vakoinfo", O_CREAT | O_RDONLY, 0600);
        if (fd < 0 || flock(fd, LOCK_EX) != 0)
            _exit(1);
        if (write(ready[1], "x", 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    vakotest::RemoveFile(kInfoConf);
    int rc = 0;
    double s = SecondsOf([&] { rc = VAKONetConfSetMTUValue("1500", "eth0"); });
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(rc, -1);
    EXPECT_GE(s, 4.5);
    EXPECT_FALSE(FileExists(kInfoConf));
    EXPECT_TRUE(vakotest::SyslogMatches("net_conf_set_mtu_value ({L}) Failed to lock vakoinfo(400)", LOG_ERR));
    // Released after the write: another process can take it at once.
    ASSERT_EQ(VAKONetConfSetMTUValue("1500", "eth0"), 0);
    int fd = open("/tmp/lock/lock_vakoinfo", O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    close(fd);
}

// --- IPv4 address texts ---

TEST(NetSepIP, PartsAndErrors)
{
    struct Case {
        const char *text;
        int result;
        std::vector<int> parts;
        int code;
    } cases[] = {
        {"192.168.1.2", 4, {192, 168, 1, 2}, 0},
        {"1..2.3", 4, {1, 0, 2, 3}, 0},
        {"0x0A.1.1.1", 4, {10, 1, 1, 1}, 0},
        {"010.8.-1. 7", 4, {8, 8, -1, 7}, 0},
        {"1.2.3.4x", 3, {1, 2, 3}, VAKO_ERR_NOT_IP_ADDR},
        {"1.2", 1, {1}, VAKO_ERR_NOT_IP_ADDR},
        {"abc", 0, {}, VAKO_ERR_NOT_IP_ADDR},
        {"1.2.3.4.5", 3, {1, 2, 3}, VAKO_ERR_NOT_IP_ADDR},
    };
    for (const Case &c : cases) {
        SLIBErrorSet(0);
        int part[4] = {-9, -9, -9, -9};
        EXPECT_EQ(VAKONetSepIP(c.text, part), c.result) << c.text;
        for (size_t i = 0; i < c.parts.size(); ++i)
            EXPECT_EQ(part[i], c.parts[i]) << c.text << " part " << i;
        ExpectError(c.code, c.code ? "net_sep_ip" : nullptr);
    }
    // Only the first 31 characters are read.
    std::string text31 = "1.2.3." + std::string(24, '0') + "4";
    ASSERT_EQ(text31.size(), 31u);
    int part[4];
    EXPECT_EQ(VAKONetSepIP(text31.c_str(), part), 4);
    EXPECT_EQ(part[3], 4);
    EXPECT_EQ(VAKONetSepIP(("1.2.3.0" + text31.substr(6)).c_str(), part), 4);
    EXPECT_EQ(part[3], 0);
}

TEST(NetIsIPAddr, UsableUnicastAddresses)
{
    // file: the source that records the refusal (the split's, or the range check's).
    struct Case {
        const char *text;
        int result;
        const char *file;
    } cases[] = {
        {"10.0.0.254", 1, nullptr},
        {"223.255.255.0", 1, nullptr},
        {"1.0.0.0", 1, nullptr},
        {"127.0.0.1", 0, "net_is_ip_addr"},
        {"224.0.0.1", 0, "net_is_ip_addr"},
        {"0.1.2.3", 0, "net_is_ip_addr"},
        {"10.0.0.255", 0, "net_is_ip_addr"},
        {"10.256.0.1", 0, "net_is_ip_addr"},
        {"10.0.-1.1", 0, "net_is_ip_addr"},
        {"-10.0.0.1", 0, "net_is_ip_addr"},
        {"4294967306.0.0.1", 0, "net_is_ip_addr"},
        {"10.0.0", 0, "net_sep_ip"},
        {"10.0.0.1 ", 0, "net_sep_ip"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        SLIBErrorSet(0);
        EXPECT_EQ(VAKONetIsIPAddr(c.text), c.result);
        ExpectError(c.result ? 0 : VAKO_ERR_NOT_IP_ADDR, c.file);
    }
}

} // namespace
