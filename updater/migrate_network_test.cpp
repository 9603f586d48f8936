#include <gtest/gtest.h>
#include <string.h>
#include <sys/mount.h>
#include <syslog.h>

#include <filesystem>
#include <string>
#include <vector>

#include "migrate.h"
#include "vakotest/files.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"

namespace {

using vakotest::FileExists;
using vakotest::ReadFile;
using vakotest::WriteFile;

const std::string kInfo = vakotest::kInfoFile;
const std::string kScripts = "/etc/sysconfig/network-scripts";
const std::string kNetworkLog = "/.sandbox/rc.network.log";

// Keys around the ones the steps change, which must stay as they are.
const std::string kHead = "unique=\"vakora_powerpc_demo\"\n";
const std::string kTail = "eventtest=\"no\"\n";

std::string Ifcfg(const std::string &name) { return kScripts + "/ifcfg-" + name; }

// bond0 in balance-alb mode over eth0 and eth1, as an old build left it.
const std::string kAlbBond = "DEVICE=bond0\nBOOTPROTO=static\nONBOOT=yes\nIPADDR=10.17.0.5\nNETMASK=255.255.0.0\n"
                             "USERCTL=no\nBONDING_OPTS=\"mode=balance-alb use_carrier=0 miimon=100 updelay=100\"\n";
const std::string kLacpBond = "DEVICE=bond0\nBOOTPROTO=dhcp\nONBOOT=yes\nUSERCTL=no\n"
                              "BONDING_OPTS=\"mode=4 use_carrier=0 miimon=100 updelay=100 lacp_rate=fast\"\n";
std::string Slave(const std::string &name)
{
    return "DEVICE=" + name + "\nBOOTPROTO=none\nONBOOT=yes\nUSERCTL=no\nSLAVE=yes\nMASTER=bond0\n";
}
// The same bond in active-backup mode: the bond keeps its address settings.
const std::string kBackupBond =
    "DEVICE=bond0\nBOOTPROTO=static\nONBOOT=yes\nIPADDR=10.17.0.5\nNETMASK=255.255.0.0\nUSERCTL=no\n"
    "BONDING_OPTS=\"mode=active-backup use_carrier=0 miimon=100 updelay=100 primary=eth0\"\n";

// The steps' messages begin with the program's name.
const std::string kSource = "updater";

std::string Calls() { return FileExists(vakotest::kStandinCalls) ? ReadFile(vakotest::kStandinCalls) : ""; }

// Writes of the settings file fail while this lives: the file is a mount
// point, which no rename can replace.
class SettingsFileUnwritable {
public:
    SettingsFileUnwritable() { EXPECT_EQ(mount(kInfo.c_str(), kInfo.c_str(), nullptr, MS_BIND, nullptr), 0); }
    ~SettingsFileUnwritable() { umount(kInfo.c_str()); }
};

class NetworkMigration : public testing::Test {
protected:
    void SetUp() override
    {
        std::error_code ec;
        std::filesystem::remove_all(kScripts, ec);
        vakotest::MakeDirs(kScripts);
        vakotest::RemoveFile(vakotest::kStandinCalls);
        vakotest::RemoveFile(kNetworkLog);
        vakotest::SyslogClear();
    }

    static void Info(const std::string &keys) { WriteFile(kInfo, kHead + keys + kTail); }
    static std::string Info() { return ReadFile(kInfo); }

    // What the kernel shows of bond0.
    static void KernelBond(const std::string &slaves, const std::string &mode)
    {
        vakotest::MountKernelFile("/sys/class/net/bond0/bonding/slaves", slaves);
        vakotest::MountKernelFile("/sys/class/net/bond0/bonding/mode", mode);
    }

    static void AlbBond()
    {
        WriteFile(Ifcfg("bond0"), kAlbBond);
        WriteFile(Ifcfg("eth0"), Slave("eth0"));
        WriteFile(Ifcfg("eth1"), Slave("eth1"));
        KernelBond("eth0 eth1\n", "balance-alb 6\n");
    }

    static std::vector<std::string> Dir() { return vakotest::ListDir(kScripts); }
};

// ---- the MTU keys ----

TEST_F(NetworkMigration, JumboFrameValuesAreLowered)
{
    struct Case {
        std::string before, after;
    } cases[] = {
        {"MTUValue=\"4074\"\n", "MTUValue=\"4000\"\n"}, {"MTUValue=\"9000\"\n", "MTUValue=\"8000\"\n"},
        {"MTUValue=9000\n", "MTUValue=\"8000\"\n"},     {"MTUValue=\"4075\"\n", "MTUValue=\"4075\"\n"},
        {"MTUValue=\"9001\"\n", "MTUValue=\"9001\"\n"}, {"MTUValue=\"90000\"\n", "MTUValue=\"90000\"\n"},
        {"MTUValue=\"\"\n", "MTUValue=\"\"\n"},         {"", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.before);
        Info(c.before);
        EXPECT_EQ(UPDTLowerMTUValue(), 0);
        EXPECT_EQ(Info(), kHead + c.after + kTail);
    }
    EXPECT_TRUE(vakotest::SyslogTextsFrom(kSource).empty());
    // No temporary file is left beside it.
    for (const std::string &name : vakotest::ListDir("/etc"))
        EXPECT_FALSE(name.starts_with("vakoinfo.conf") && name != "vakoinfo.conf") << name;
}

TEST_F(NetworkMigration, TheMTUKeyMovesToEth0)
{
    struct Case {
        std::string before, after;
    } cases[] = {
        {"MTUValue=\"9000\"\n", "eth0_mtu=\"9000\"\n"},
        // An eth0_mtu of its own is replaced in place.
        {"eth0_mtu=\"1500\"\nMTUValue=\"4000\"\n", "eth0_mtu=\"4000\"\n"},
        // Without MTUValue nothing is written and nothing removed.
        {"eth0_mtu=\"1500\"\n", "eth0_mtu=\"1500\"\n"},
        {"", ""},
        // A key without a value reads as absent: nothing is written, the
        // line goes.
        {"MTUValue=\n", ""},
        {"eth0_mtu=\"1500\"\nMTUValue=\n", "eth0_mtu=\"1500\"\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.before);
        Info(c.before);
        EXPECT_EQ(UPDTMoveMTUValue(), 0);
        // The appended key comes after the tail.
        std::string want = c.before.starts_with("MTUValue") ? kHead + kTail + c.after : kHead + c.after + kTail;
        EXPECT_EQ(Info(), want);
    }
    EXPECT_TRUE(vakotest::SyslogTextsFrom(kSource).empty());
}

// Installed builds up to 308 run both steps: eth0 gets the lowered value.
TEST_F(NetworkMigration, LoweredValueIsTheOneMoved)
{
    gfLowerMTUValue = gfMoveMTUValue = 1;
    Info("MTUValue=\"4074\"\n");
    UPDTUpdateConfig();
    gfLowerMTUValue = gfMoveMTUValue = 0;
    EXPECT_EQ(Info(), kHead + kTail + "eth0_mtu=\"4000\"\n");
}

TEST_F(NetworkMigration, Bond0GetsEth0sMTU)
{
    struct Case {
        std::string before, after;
    } cases[] = {
        {"eth0_mtu=\"9000\"\n", "eth0_mtu=\"9000\"\n" + kTail + "bond0_mtu=\"9000\"\n"},
        {"bond0_mtu=\"1500\"\neth0_mtu=\"4000\"\n", "bond0_mtu=\"4000\"\neth0_mtu=\"4000\"\n" + kTail},
        {"", kTail},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.before);
        Info(c.before);
        EXPECT_EQ(UPDTCopyBond0MTU(), 0);
        EXPECT_EQ(Info(), kHead + c.after);
    }
    EXPECT_TRUE(vakotest::SyslogTextsFrom(kSource).empty());
}

// 31 characters fit the 32-byte buffer and move whole; 32 do not fit: the
// value is never written back cut, nor lost.
TEST_F(NetworkMigration, AValueThatDoesNotFitIsLeftAsItIs)
{
    const std::string fits(31, '9'), tooLong(32, '9');
    Info("MTUValue=\"" + fits + "\"\n");
    EXPECT_EQ(UPDTMoveMTUValue(), 0);
    EXPECT_EQ(Info(), kHead + kTail + "eth0_mtu=\"" + fits + "\"\n");

    struct Case {
        int (*step)();
        std::string key;
    } cases[] = {
        {UPDTLowerMTUValue, "MTUValue"},
        {UPDTMoveMTUValue, "MTUValue"},
        {UPDTCopyBond0MTU, "eth0_mtu"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.key);
        vakotest::SyslogClear();
        const std::string keys = c.key + "=\"" + tooLong + "\"\n";
        Info(keys);
        EXPECT_EQ(c.step(), -1);
        EXPECT_EQ(Info(), kHead + keys + kTail);
        EXPECT_EQ(vakotest::SyslogMismatch(kSource, {"updater({L}) Failed to read " + c.key +
                                                     " in /etc/vakoinfo.conf, vakoerr=0x0100; left as it is."}),
                  "");
    }
}

TEST_F(NetworkMigration, FailedWritesAreLoggedAndTheFileStays)
{
    struct Case {
        int (*step)();
        std::string keys, message;
    } cases[] = {
        {UPDTLowerMTUValue, "MTUValue=\"9000\"\n", "updater({L}) Failed to update MTUValue in /etc/vakoinfo.conf."},
        {UPDTMoveMTUValue, "MTUValue=\"9000\"\n", "updater({L}) Failed to update MTUValue in /etc/vakoinfo.conf."},
        {UPDTCopyBond0MTU, "eth0_mtu=\"9000\"\n", "updater:{L} Failed to update [bond0_mtu] in /etc/vakoinfo.conf."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        vakotest::SyslogClear();
        Info(c.keys);
        {
            SettingsFileUnwritable unwritable;
            EXPECT_EQ(c.step(), -1);
        }
        EXPECT_EQ(Info(), kHead + c.keys + kTail);
        EXPECT_EQ(vakotest::SyslogMismatch(kSource, {c.message}), "");
    }
}

// /etc with room for one more page: eth0_mtu does not fit (the file would
// need a second page), while the removal of MTUValue alone would.  The
// value must not be lost: MTUValue stays.
TEST_F(NetworkMigration, MTUValueIsRemovedOnlyOnceEth0HasIt)
{
    ASSERT_EQ(mount("tmpfs", "/etc", "tmpfs", MS_NOSUID | MS_NODEV, "size=12k"), 0) << strerror(errno);
    WriteFile("/etc/filler", std::string(4096, 'x'));
    const std::string mtu = "MTUValue=\"9000\"\n";
    const std::string pad = "pad=\"" + std::string(4090 - kHead.size() - mtu.size() - kTail.size() - 8, 'p') + "\"\n";
    const std::string before = kHead + pad + mtu + kTail;
    ASSERT_LE(before.size(), 4096u);
    ASSERT_GT(before.size() + strlen("eth0_mtu=\"9000\"\n"), 4096u);
    WriteFile(kInfo, before);

    EXPECT_EQ(UPDTMoveMTUValue(), -1);
    EXPECT_EQ(Info(), before);
    EXPECT_EQ(vakotest::ListDir("/etc"), (std::vector<std::string>{"filler", "vakoinfo.conf"}));
    EXPECT_EQ(vakotest::SyslogMismatch(kSource, {"updater({L}) Failed to update MTUValue in /etc/vakoinfo.conf."}), "");
    umount("/etc");
}

// ---- balance-alb ----

TEST_F(NetworkMigration, BalanceAlbBecomesActiveBackup)
{
    AlbBond();
    EXPECT_EQ(UPDTRemoveALB(), 0);
    EXPECT_EQ(Dir(), (std::vector<std::string>{"ifcfg-bond0", "ifcfg-eth0", "ifcfg-eth1"}));
    EXPECT_EQ(ReadFile(Ifcfg("bond0")), kBackupBond);
    EXPECT_EQ(ReadFile(Ifcfg("eth0")), Slave("eth0"));
    EXPECT_EQ(ReadFile(Ifcfg("eth1")), Slave("eth1"));
    EXPECT_EQ(Calls(), "rc.network stop\nrc.network start\n");
    EXPECT_TRUE(vakotest::SyslogTextsFrom(kSource).empty());
}

TEST_F(NetworkMigration, OtherBondsAreLeftAlone)
{
    struct Case {
        const char *what;
        std::string slaves, mode, bond; // slaves "-": no bonding files
    } cases[] = {
        {"802.3ad", "eth0 eth1\n", "802.3ad 4\n", kLacpBond},
        {"active-backup", "eth0 eth1\n", "active-backup 1\n", kBackupBond},
        {"no bond", "-", "", ""},
        {"no slaves", "\n", "balance-alb 6\n", kAlbBond},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        std::error_code ec;
        std::filesystem::remove_all("/sys/class/net/bond0", ec);
        WriteFile(Ifcfg("eth0"), Slave("eth0"));
        WriteFile(Ifcfg("eth1"), Slave("eth1"));
        if (!c.bond.empty())
            WriteFile(Ifcfg("bond0"), c.bond);
        if (c.slaves != "-")
            KernelBond(c.slaves, c.mode);
        std::vector<std::string> dir = Dir();

        EXPECT_EQ(UPDTRemoveALB(), 0);
        EXPECT_EQ(Dir(), dir);
        if (!c.bond.empty()) {
            EXPECT_EQ(ReadFile(Ifcfg("bond0")), c.bond);
        }
        EXPECT_EQ(ReadFile(Ifcfg("eth0")), Slave("eth0"));
        EXPECT_EQ(Calls(), "");
        EXPECT_TRUE(vakotest::SyslogTextsFrom(kSource).empty());
    }
}

// A slave name that the kernel lists but that is no interface name never
// reaches a path or a command.
TEST_F(NetworkMigration, ABondWithAStrangeSlaveNameIsRefused)
{
    for (const char *slaves : {"eth0 eth1;reboot\n", "eth0 ../../../etc/passwd\n", "eth0 a123456789abcdef\n"}) {
        SCOPED_TRACE(slaves);
        SetUp();
        AlbBond();
        KernelBond(slaves, "balance-alb 6\n");
        EXPECT_EQ(UPDTRemoveALB(), -1);
        EXPECT_EQ(Dir(), (std::vector<std::string>{"ifcfg-bond0", "ifcfg-eth0", "ifcfg-eth1"}));
        EXPECT_EQ(ReadFile(Ifcfg("bond0")), kAlbBond);
        EXPECT_EQ(Calls(), "");
        EXPECT_EQ(vakotest::SyslogMismatch(kSource, {"updater ({L}) Failed to read bond0, vakoerr=0x0D00"}), "");
    }
}

// eth1's copy cannot be made (a directory stands where it goes): first the
// removal of the balance-alb bond and then the creation of the new one
// fail, and each undoes what it had changed, so every file is back as it
// was; the network is started again.
TEST_F(NetworkMigration, AFailedChangeIsUndone)
{
    AlbBond();
    vakotest::MakeDirs(Ifcfg("eth1") + ".saved/x");
    EXPECT_EQ(UPDTRemoveALB(), -1);
    EXPECT_EQ(Dir(), (std::vector<std::string>{"ifcfg-bond0", "ifcfg-eth0", "ifcfg-eth1", "ifcfg-eth1.saved"}));
    EXPECT_EQ(ReadFile(Ifcfg("bond0")), kAlbBond);
    EXPECT_EQ(ReadFile(Ifcfg("eth0")), Slave("eth0"));
    EXPECT_EQ(ReadFile(Ifcfg("eth1")), Slave("eth1"));
    EXPECT_EQ(Calls(), "rc.network stop\nrc.network start\n");
    EXPECT_EQ(vakotest::SyslogMismatch(kSource, {"updater ({L}) Failed to remove ALB"}), "");
}

// A balance-alb bond of one slave: the old bond is removed (its address
// settings go back to eth0), the new one is refused, and its refusal
// takes nothing of the removal back.
TEST_F(NetworkMigration, ABondOfOneSlaveEndsWithoutBond)
{
    WriteFile(Ifcfg("bond0"), kAlbBond);
    WriteFile(Ifcfg("eth0"), Slave("eth0"));
    KernelBond("eth0\n", "balance-alb 6\n");
    EXPECT_EQ(UPDTRemoveALB(), -1);
    EXPECT_EQ(Dir(), (std::vector<std::string>{"ifcfg-eth0", "ifcfg-eth0.saved"}));
    EXPECT_EQ(ReadFile(Ifcfg("eth0")),
              "DEVICE=eth0\nBOOTPROTO=static\nONBOOT=yes\nIPADDR=10.17.0.5\nNETMASK=255.255.0.0\n");
    EXPECT_EQ(ReadFile(Ifcfg("eth0") + ".saved"), Slave("eth0"));
    EXPECT_EQ(Calls(), "rc.network stop\nrc.network start\n");
    EXPECT_EQ(vakotest::SyslogMismatch(kSource, {"updater ({L}) Failed to remove ALB"}), "");
}

} // namespace
