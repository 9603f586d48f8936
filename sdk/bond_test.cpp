#include "vako/bond.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "vakotest/logs.h"
#include "slib/error.h"
#include "slib/szlist.h"
#include "vakotest/testkit.h"

namespace {

using vakotest::FileExists;
using vakotest::ReadFile;
using vakotest::WriteFile;

const std::string kScripts = "/etc/sysconfig/network-scripts";
const std::string kCalls = "/.sandbox/calls";
const std::string kNetworkLog = "/.sandbox/rc.network.log";

std::string Ifcfg(const std::string &name) { return kScripts + "/ifcfg-" + name; }

const std::string kAddr = "IPADDR=192.168.1.10\nNETMASK=255.255.255.0\nBROADCAST=192.168.1.255\n";
// The interfaces' own files, before any bond and after one is removed.
const std::string kEth0 = "DEVICE=eth0\nBOOTPROTO=static\nONBOOT=yes\n" + kAddr;
const std::string kEth1 = "DEVICE=eth1\nBOOTPROTO=dhcp\nONBOOT=yes\n";
const std::string kEth2 = "DEVICE=eth2\nBOOTPROTO=dhcp\nONBOOT=yes\n";

const char *kAlbOpts = "mode=balance-alb use_carrier=0 miimon=100 updelay=100";
const char *kBackupOpts = "mode=active-backup use_carrier=0 miimon=100 updelay=100 primary=eth0";
const char *kLacpOpts = "mode=4 use_carrier=0 miimon=100 updelay=100 lacp_rate=fast";

// bond0 made from kEth0: its address settings, the new keys appended in
// the string hash's slot order.
std::string BondFile(const char *opts)
{
    return "DEVICE=bond0\nBOOTPROTO=static\nONBOOT=yes\n" + kAddr + "USERCTL=no\nBONDING_OPTS=\"" + opts + "\"\n";
}

// A slave of bond0 made from kEth0, kEth1 or kEth2.
std::string SlaveFile(const std::string &name)
{
    return "DEVICE=" + name + "\nBOOTPROTO=none\nONBOOT=yes\nUSERCTL=no\nSLAVE=yes\nMASTER=bond0\n";
}

std::string ReadOr(const std::string &path) { return FileExists(path) ? ReadFile(path) : ""; }

bool IsTmpfs(const std::string &dir)
{
    struct statfs s;
    return statfs(dir.c_str(), &s) == 0 && s.f_type == 0x01021994;
}

// What the kernel shows of bond0.
void KernelBond(const std::string &slaves, const std::string &mode)
{
    vakotest::MountKernelFile("/sys/class/net/bond0/bonding/slaves", slaves);
    vakotest::MountKernelFile("/sys/class/net/bond0/bonding/mode", mode);
}

VAKOLINKAGGR Record(const char *name, int mode, std::vector<const char *> slaves)
{
    VAKOLINKAGGR a;
    memset(&a, 0, sizeof(a));
    snprintf(a.szName, sizeof(a.szName), "%s", name);
    a.mode = mode;
    for (const char *s : slaves)
        EXPECT_EQ(VAKONetLinkAggrOptSlaveAdd(&a, s), 0) << s;
    return a;
}

std::vector<std::string> Slaves(const VAKOLINKAGGR &a)
{
    std::vector<std::string> v;
    for (int i = 0; i < a.nSlave; ++i)
        v.emplace_back(a.szSlave[i]);
    return v;
}

// The files of the network-scripts directory, as rc.network's stand-in
// lists them.
std::string Listing(const std::vector<std::pair<std::string, std::string>> &files)
{
    std::string s;
    for (const auto &[name, content] : files)
        s += "== " + Ifcfg(name) + "\n" + content;
    return s;
}

class Bond : public testing::Test {
protected:
    void SetUp() override
    {
        std::error_code ec;
        std::filesystem::remove_all(kScripts, ec);
        vakotest::MakeDirs(kScripts);
        if (IsTmpfs("/sys/class/net"))
            std::filesystem::remove_all("/sys/class/net/bond0", ec);
        std::filesystem::remove_all("/proc/net/bonding", ec);
        vakotest::RemoveFile(kCalls);
        vakotest::RemoveFile(kNetworkLog);
        SLIBErrorSet(0);
    }

    void TearDown() override
    {
        if (IsTmpfs(kScripts))
            umount(kScripts.c_str());
    }

    // The appliance before any bond.
    static void Unbonded()
    {
        WriteFile(Ifcfg("eth0"), kEth0);
        WriteFile(Ifcfg("eth1"), kEth1);
    }

    // A balance-alb bond0 of eth0 and eth1, in the files and in the kernel.
    static void AlbBond()
    {
        WriteFile(Ifcfg("bond0"), BondFile(kAlbOpts));
        WriteFile(Ifcfg("eth0"), SlaveFile("eth0"));
        WriteFile(Ifcfg("eth1"), SlaveFile("eth1"));
        KernelBond("eth0 eth1\n", "balance-alb 6\n");
    }

    static std::vector<std::string> Dir() { return vakotest::ListDir(kScripts); }
};

// ---- reading a bond ----

TEST_F(Bond, GetReadsSlavesSortedAndMode)
{
    KernelBond("eth1\teth0 \n", "balance-alb 6\n");
    VAKOLINKAGGR a;
    memset(&a, 0x5a, sizeof(a));
    ASSERT_EQ(VAKONetLinkAggrGet("bond0", &a), 0);
    VAKOLINKAGGR want = Record("bond0", VAKO_BOND_MODE_BALANCE_ALB, {"eth0", "eth1"});
    EXPECT_EQ(memcmp(&a, &want, sizeof(a)), 0);
    EXPECT_EQ(Slaves(a), (std::vector<std::string>{"eth0", "eth1"}));
    EXPECT_EQ(a.partnerMissing, 0);
}

TEST_F(Bond, GetModes)
{
    struct Case {
        const char *line;
        int mode;
    } cases[] = {
        {"802.3ad 4\n", VAKO_BOND_MODE_8023AD},
        {"balance-alb 6\n", VAKO_BOND_MODE_BALANCE_ALB},
        {"active-backup 1\n", VAKO_BOND_MODE_ACTIVE_BACKUP},
        {"active-backup 1", VAKO_BOND_MODE_ACTIVE_BACKUP},
        {"balance-rr 0\n", VAKO_BOND_MODE_NONE},
        {"802.3ad\n", VAKO_BOND_MODE_NONE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        KernelBond("eth0 eth1\n", c.line);
        VAKOLINKAGGR a;
        ASSERT_EQ(VAKONetLinkAggrGet("bond0", &a), 0);
        EXPECT_EQ(a.mode, c.mode);
        EXPECT_EQ(a.nSlave, 2);
    }
    EXPECT_TRUE(vakotest::SyslogMatches("net_link_aggr_get:{L} Non-supported bonding mode [balance-rr 0\n]"));
    EXPECT_TRUE(vakotest::SyslogMatches("net_link_aggr_get:{L} Non-supported bonding mode [802.3ad\n]"));
}

TEST_F(Bond, GetWithoutBondIsModeZero)
{
    // No bonding directory at all, then one whose bond has no slaves.
    VAKOLINKAGGR a;
    memset(&a, 0x5a, sizeof(a));
    ASSERT_EQ(VAKONetLinkAggrGet("bond0", &a), 0);
    VAKOLINKAGGR want = Record("bond0", VAKO_BOND_MODE_NONE, {});
    EXPECT_EQ(memcmp(&a, &want, sizeof(a)), 0);
    KernelBond("\n", "balance-alb 6\n");
    ASSERT_EQ(VAKONetLinkAggrGet("bond0", &a), 0);
    EXPECT_EQ(memcmp(&a, &want, sizeof(a)), 0);
}

TEST_F(Bond, GetFailures)
{
    // The code is recorded under the source name of the operation that failed.
    struct Case {
        const char *what;
        std::string slaves, mode;
        int code;
        const char *file;
    } cases[] = {
        {"no mode file", "eth0 eth1\n", "", SLIB_ERR_OPEN, "net_link_aggr_get"},
        {"empty mode file", "eth0 eth1\n", "-", SLIB_ERR_READ, "net_link_aggr_get"},
        {"nine slaves", "e1 e2 e3 e4 e5 e6 e7 e8 e9\n", "balance-alb 6\n", VAKO_ERR_BOND_FULL,
         "net_link_aggr_opt_slave_add"},
        {"a slave twice", "eth0 eth0\n", "balance-alb 6\n", VAKO_ERR_BOND_SLAVE_EXISTS, "net_link_aggr_opt_slave_add"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        vakotest::MountKernelFile("/sys/class/net/bond0/bonding/slaves", c.slaves);
        if (c.mode == "-")
            vakotest::MountKernelFile("/sys/class/net/bond0/bonding/mode", "");
        else if (!c.mode.empty())
            vakotest::MountKernelFile("/sys/class/net/bond0/bonding/mode", c.mode);
        VAKOLINKAGGR a;
        EXPECT_EQ(VAKONetLinkAggrGet("bond0", &a), -1);
        EXPECT_EQ(SLIBErrorGet(), c.code);
        EXPECT_STREQ(SLIBErrorGetFile(), c.file);
    }
    EXPECT_EQ(VAKONetLinkAggrGet(nullptr, nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
    EXPECT_STREQ(SLIBErrorGetFile(), "net_link_aggr_get");
}

TEST_F(Bond, PartnerOf8023adBond)
{
    const std::string head = "Ethernet Channel Bonding Driver: v3.7.1\n\nBonding Mode: IEEE 802.3ad Dynamic link "
                             "aggregation\n\n802.3ad info\nLACP rate: fast\nActive Aggregator Info:\n"
                             "\tAggregator ID: 1\n\tNumber of ports: 2\n\tActor Key: 17\n\tPartner Key: 1\n";
    const std::string tail = "\nSlave Interface: eth0\nMII Status: up\n";
    struct Case {
        const char *what;
        const char *mode;
        std::string status; // "-": no status file
        int missing;
    } cases[] = {
        {"partner", "802.3ad 4\n", head + "\tPartner Mac Address: 00:11:22:33:44:55\n" + tail, 0},
        {"zero partner", "802.3ad 4\n", head + "\tPartner Mac Address: 00:00:00:00:00:00\n" + tail, 1},
        {"blank partner", "802.3ad 4\n", head + "\tPartner Mac Address: \t \n" + tail, 1},
        {"no partner line", "802.3ad 4\n", head + tail, 1},
        {"no status file", "802.3ad 4\n", "-", 1},
        // The last line without a line end keeps its last character.
        {"zero partner last", "802.3ad 4\n", head + "\tPartner Mac Address: 00:00:00:00:00:00", 1},
        {"balance-alb", "balance-alb 6\n", head + "\tPartner Mac Address: 00:00:00:00:00:00\n", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        KernelBond("eth0 eth1\n", c.mode);
        if (c.status != "-")
            vakotest::MountKernelFile("/proc/net/bonding/bond0", c.status);
        VAKOLINKAGGR a;
        ASSERT_EQ(VAKONetLinkAggrGet("bond0", &a), 0);
        EXPECT_EQ(a.partnerMissing, c.missing);
    }
}

TEST_F(Bond, PhyGetAppendsTheSlaveNames)
{
    PSLIBSZLIST list = PslSLIBSzListAlloc(1024);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(SLIBSzListPush(&list, "kept"), 0);
    EXPECT_EQ(VAKONetLinkAggrPhyGet("bond0", &list), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_OPEN);
    EXPECT_STREQ(SLIBErrorGetFile(), "net_link_aggr_phy_get");
    KernelBond("", "balance-alb 6\n");
    EXPECT_EQ(VAKONetLinkAggrPhyGet("bond0", &list), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_READ);
    EXPECT_STREQ(SLIBErrorGetFile(), "net_link_aggr_phy_get");
    KernelBond("eth2 \teth0\n eth9\n", "balance-alb 6\n");
    EXPECT_EQ(VAKONetLinkAggrPhyGet("bond0", &list), 2);
    ASSERT_EQ(list->nItem, 3);
    EXPECT_STREQ(SLIBSzListGet(list, 0), "kept");
    EXPECT_STREQ(SLIBSzListGet(list, 1), "eth2");
    EXPECT_STREQ(SLIBSzListGet(list, 2), "eth0");
    SLIBSzListFree(list);
    EXPECT_EQ(VAKONetLinkAggrPhyGet("bond0", nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
}

TEST_F(Bond, SlaveAddKeepsNamesSortedAndRefusesANinthOrATwin)
{
    VAKOLINKAGGR a = Record("bond0", 0, {"eth1", "eth0"});
    EXPECT_EQ(Slaves(a), (std::vector<std::string>{"eth0", "eth1"}));
    EXPECT_EQ(VAKONetLinkAggrOptSlaveAdd(&a, "eth1"), -1);
    EXPECT_EQ(SLIBErrorGet(), VAKO_ERR_BOND_SLAVE_EXISTS);
    for (const char *s : {"eth7", "eth2", "eth6", "eth3", "eth5", "eth4"})
        ASSERT_EQ(VAKONetLinkAggrOptSlaveAdd(&a, s), 0);
    EXPECT_EQ(VAKONetLinkAggrOptSlaveAdd(&a, "eth8"), -1);
    EXPECT_EQ(SLIBErrorGet(), VAKO_ERR_BOND_FULL);
    EXPECT_EQ(Slaves(a), (std::vector<std::string>{"eth0", "eth1", "eth2", "eth3", "eth4", "eth5", "eth6", "eth7"}));
    EXPECT_EQ(VAKONetLinkAggrOptSlaveAdd(nullptr, "eth0"), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
}

// Names end up in paths and configuration lines: only interface names.
TEST_F(Bond, InterfaceNamesOutsideTheirCharactersOrLengthAreRefused)
{
    const char *bad[] = {"",          ".",        "..",    "../eth0", "eth0/x", "eth 0",           "eth0;reboot",
                         "$(reboot)", "eth0`id`", "eth0'", "eth0\"",  "eth0\n", "a123456789abcdef" /* 16 bytes */};
    Unbonded();
    for (const char *name : bad) {
        SCOPED_TRACE(name);
        VAKOLINKAGGR a = Record("bond0", 0, {});
        SLIBErrorSet(0);
        EXPECT_EQ(VAKONetLinkAggrOptSlaveAdd(&a, name), -1);
        EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
        EXPECT_EQ(a.nSlave, 0);
        SLIBErrorSet(0);
        EXPECT_EQ(VAKONetLinkAggrGet(name, &a), -1);
        EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);

        // As a bond or as a slave of a request: nothing runs, nothing changes.
        VAKOLINKAGGR req = Record("bond0", VAKO_BOND_MODE_ACTIVE_BACKUP, {"eth0"});
        memcpy(req.szSlave[1], name, strnlen(name, sizeof(req.szSlave[1])));
        req.nSlave = 2;
        EXPECT_EQ(VAKONetLinkAggrSet(&req), -1);
        EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
        req = Record("x", VAKO_BOND_MODE_ACTIVE_BACKUP, {"eth0", "eth1"});
        memcpy(req.szName, name, strnlen(name, sizeof(req.szName)));
        if (name[0]) {
            EXPECT_EQ(VAKONetLinkAggrSet(&req), -1);
            EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
        }
    }
    // A 16-byte field without its NUL.
    VAKOLINKAGGR req = Record("bond0", VAKO_BOND_MODE_ACTIVE_BACKUP, {"eth0", "eth1"});
    memset(req.szName, 'b', sizeof(req.szName));
    EXPECT_EQ(VAKONetLinkAggrSet(&req), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);

    EXPECT_EQ(ReadOr(kCalls), "");
    EXPECT_EQ(Dir(), (std::vector<std::string>{"ifcfg-eth0", "ifcfg-eth1"}));
    EXPECT_EQ(ReadFile(Ifcfg("eth0")), kEth0);
    EXPECT_EQ(ReadFile(Ifcfg("eth1")), kEth1);

    // 15 bytes is the longest name.
    VAKOLINKAGGR a = Record("bond0", 0, {"a123456789abcde"});
    EXPECT_STREQ(a.szSlave[0], "a123456789abcde");
}

TEST_F(Bond, KernelSlaveNamesAreCheckedToo)
{
    KernelBond("eth0 ../../etc/passwd\n", "balance-alb 6\n");
    VAKOLINKAGGR a;
    EXPECT_EQ(VAKONetLinkAggrGet("bond0", &a), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
}

// ---- changing a bond ----

TEST_F(Bond, SameBondAgainDoesNothing)
{
    AlbBond();
    VAKOLINKAGGR a;
    ASSERT_EQ(VAKONetLinkAggrGet("bond0", &a), 0);
    EXPECT_EQ(VAKONetLinkAggrSet(&a), 0);
    VAKOLINKAGGR built = Record("bond0", VAKO_BOND_MODE_BALANCE_ALB, {"eth1", "eth0"});
    EXPECT_EQ(VAKONetLinkAggrSet(&built), 0);
    EXPECT_EQ(ReadOr(kCalls), "");
    EXPECT_EQ(Dir(), (std::vector<std::string>{"ifcfg-bond0", "ifcfg-eth0", "ifcfg-eth1"}));
    EXPECT_EQ(ReadFile(Ifcfg("bond0")), BondFile(kAlbOpts));
}

TEST_F(Bond, BalanceAlbBecomesActiveBackup)
{
    AlbBond();
    VAKOLINKAGGR a;
    ASSERT_EQ(VAKONetLinkAggrGet("bond0", &a), 0);
    a.mode = VAKO_BOND_MODE_ACTIVE_BACKUP;
    ASSERT_EQ(VAKONetLinkAggrSet(&a), 0);

    EXPECT_EQ(Dir(), (std::vector<std::string>{"ifcfg-bond0", "ifcfg-eth0", "ifcfg-eth1"}));
    EXPECT_EQ(ReadFile(Ifcfg("bond0")), BondFile(kBackupOpts));
    EXPECT_EQ(ReadFile(Ifcfg("eth0")), SlaveFile("eth0"));
    EXPECT_EQ(ReadFile(Ifcfg("eth1")), SlaveFile("eth1"));
    EXPECT_EQ(ReadFile(kCalls), "rc.network stop\nrc.network start\n");
    // Every file was rewritten while the network was stopped.
    EXPECT_EQ(
        ReadFile(kNetworkLog),
        "rc.network stop\n" +
            Listing({{"bond0", BondFile(kAlbOpts)}, {"eth0", SlaveFile("eth0")}, {"eth1", SlaveFile("eth1")}}) +
            "rc.network start\n" +
            Listing({{"bond0", BondFile(kBackupOpts)}, {"eth0", SlaveFile("eth0")}, {"eth1", SlaveFile("eth1")}}));
}

TEST_F(Bond, CreateFromUnbondedInterfacesPerMode)
{
    struct Case {
        int mode;
        const char *opts;
    } cases[] = {
        {VAKO_BOND_MODE_8023AD, kLacpOpts},
        {VAKO_BOND_MODE_BALANCE_ALB, kAlbOpts},
        {VAKO_BOND_MODE_ACTIVE_BACKUP, kBackupOpts},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        SetUp();
        Unbonded();
        // Left by an earlier change: the copies go on success.
        WriteFile(Ifcfg("eth0") + ".saved", "OLD\n");
        VAKOLINKAGGR a = Record("bond0", c.mode, {"eth0", "eth1"});
        ASSERT_EQ(VAKONetLinkAggrSet(&a), 0);
        EXPECT_EQ(Dir(), (std::vector<std::string>{"ifcfg-bond0", "ifcfg-eth0", "ifcfg-eth1"}));
        EXPECT_EQ(ReadFile(Ifcfg("bond0")), BondFile(c.opts));
        EXPECT_EQ(ReadFile(Ifcfg("eth0")), SlaveFile("eth0"));
        EXPECT_EQ(ReadFile(Ifcfg("eth1")), SlaveFile("eth1"));
        EXPECT_EQ(ReadFile(kCalls), "rc.network stop\nrc.network start\n");
    }
}

// The bond's BOOTPROTO comes from its first slave's file when it is static
// or dhcp (any case), else it is dhcp.
TEST_F(Bond, CreateKeepsOrSetsTheBondsBootProto)
{
    const std::string opts = std::string("BONDING_OPTS=\"") + kBackupOpts + "\"\n";
    struct Case {
        const char *what;
        std::string eth0; // "-": no file
        std::string bond;
    } cases[] = {
        {"static", kEth0, BondFile(kBackupOpts)},
        {"upper case", "DEVICE=eth0\nBOOTPROTO=DHCP\n",
         "DEVICE=bond0\nBOOTPROTO=DHCP\nUSERCTL=no\nONBOOT=yes\n" + opts},
        {"none", "DEVICE=eth0\nBOOTPROTO=none\nIPADDR=10.0.0.2\n",
         "DEVICE=bond0\nBOOTPROTO=dhcp\nIPADDR=10.0.0.2\nUSERCTL=no\nONBOOT=yes\n" + opts},
        {"absent", "DEVICE=eth0\nIPADDR=10.0.0.2\n",
         "DEVICE=bond0\nIPADDR=10.0.0.2\nUSERCTL=no\nONBOOT=yes\nBOOTPROTO=dhcp\n" + opts},
        {"no file", "-", "DEVICE=bond0\nUSERCTL=no\nONBOOT=yes\nBOOTPROTO=dhcp\n" + opts},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        if (c.eth0 != "-")
            WriteFile(Ifcfg("eth0"), c.eth0);
        WriteFile(Ifcfg("eth1"), kEth1);
        VAKOLINKAGGR a = Record("bond0", VAKO_BOND_MODE_ACTIVE_BACKUP, {"eth0", "eth1"});
        ASSERT_EQ(VAKONetLinkAggrSet(&a), 0);
        EXPECT_EQ(ReadFile(Ifcfg("bond0")), c.bond);
    }
    // A slave without a file gets one.
    EXPECT_EQ(ReadFile(Ifcfg("eth0")), "DEVICE=eth0\nUSERCTL=no\nBOOTPROTO=none\nSLAVE=yes\nMASTER=bond0\n");
}

TEST_F(Bond, ModeZeroRemovesTheBondTheKernelLists)
{
    AlbBond();
    VAKOLINKAGGR a = Record("bond0", VAKO_BOND_MODE_NONE, {});
    ASSERT_EQ(VAKONetLinkAggrSet(&a), 0);
    // The caller's record got the slaves.
    EXPECT_EQ(Slaves(a), (std::vector<std::string>{"eth0", "eth1"}));
    // eth0 has the bond's address settings back; the copies stay.
    EXPECT_EQ(Dir(), (std::vector<std::string>{"ifcfg-eth0", "ifcfg-eth0.saved", "ifcfg-eth1", "ifcfg-eth1.saved"}));
    EXPECT_EQ(ReadFile(Ifcfg("eth0")), kEth0);
    EXPECT_EQ(ReadFile(Ifcfg("eth1")), kEth1);
    EXPECT_EQ(ReadFile(Ifcfg("eth0") + ".saved"), SlaveFile("eth0"));
    EXPECT_EQ(ReadFile(Ifcfg("eth1") + ".saved"), SlaveFile("eth1"));
    EXPECT_EQ(ReadFile(kCalls), "rc.network stop\nrc.network start\n");
}

TEST_F(Bond, OneSlaveRemovesTheBondAndCreatesNone)
{
    AlbBond();
    VAKOLINKAGGR a = Record("bond0", VAKO_BOND_MODE_ACTIVE_BACKUP, {"eth0"});
    EXPECT_EQ(VAKONetLinkAggrSet(&a), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
    EXPECT_STREQ(SLIBErrorGetFile(), "net_link_aggr_set");
    EXPECT_EQ(Dir(), (std::vector<std::string>{"ifcfg-eth0", "ifcfg-eth0.saved", "ifcfg-eth1", "ifcfg-eth1.saved"}));
    EXPECT_EQ(ReadFile(Ifcfg("eth0")), kEth0);
    EXPECT_EQ(ReadFile(Ifcfg("eth1")), kEth1);
    EXPECT_EQ(ReadFile(kCalls), "rc.network stop\nrc.network start\n");
}

TEST_F(Bond, BadRequestsStopNothing)
{
    AlbBond();
    VAKOLINKAGGR a = Record("bond0", 4, {"eth0", "eth1"});
    EXPECT_EQ(VAKONetLinkAggrSet(&a), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
    a.mode = -1;
    EXPECT_EQ(VAKONetLinkAggrSet(&a), -1);
    a = Record("", VAKO_BOND_MODE_ACTIVE_BACKUP, {"eth0", "eth1"});
    EXPECT_EQ(VAKONetLinkAggrSet(&a), -1);
    a = Record("bond0", VAKO_BOND_MODE_ACTIVE_BACKUP, {"eth0", "eth1"});
    a.nSlave = 9;
    EXPECT_EQ(VAKONetLinkAggrSet(&a), -1);
    a = Record("bond0", VAKO_BOND_MODE_ACTIVE_BACKUP, {"eth0", "bond0"});
    EXPECT_EQ(VAKONetLinkAggrSet(&a), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
    EXPECT_EQ(VAKONetLinkAggrSet(nullptr), -1);
    EXPECT_EQ(ReadOr(kCalls), "");
    EXPECT_EQ(ReadFile(Ifcfg("bond0")), BondFile(kAlbOpts));
}

// ---- failures and their undo ----

// The third slave's copy cannot be made: the second slave's file is not
// touched, the first one and the bond's file come back as they were, and
// a slave the change never reached keeps its own old copy.
TEST_F(Bond, FailedCreateRestoresOnlyWhatItChanged)
{
    Unbonded();
    ASSERT_EQ(chmod(Ifcfg("eth0").c_str(), 0640), 0);
    ASSERT_EQ(chown(Ifcfg("eth0").c_str(), 12, 34), 0);
    WriteFile(Ifcfg("eth0") + ".saved", "STALE\n", 0600);
    WriteFile(Ifcfg("eth2"), kEth2);
    WriteFile(Ifcfg("eth2") + ".saved", "STALE\n");
    WriteFile(Ifcfg("bond0"), "DEVICE=bond0\nLEFT=over\n"); // left by an earlier failure
    vakotest::MakeDirs(Ifcfg("eth1") + ".saved");
    VAKOLINKAGGR a = Record("bond0", VAKO_BOND_MODE_BALANCE_ALB, {"eth0", "eth1", "eth2"});
    EXPECT_EQ(VAKONetLinkAggrSet(&a), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_RENAME);

    EXPECT_EQ(ReadFile(Ifcfg("eth0")), kEth0);
    EXPECT_EQ(vakotest::FileMode(Ifcfg("eth0")), 0640u);
    EXPECT_EQ(vakotest::FileUid(Ifcfg("eth0")), 12u);
    EXPECT_EQ(vakotest::FileGid(Ifcfg("eth0")), 34u);
    EXPECT_EQ(ReadFile(Ifcfg("eth1")), kEth1);
    EXPECT_EQ(ReadFile(Ifcfg("eth2")), kEth2);
    EXPECT_EQ(ReadFile(Ifcfg("eth2") + ".saved"), "STALE\n");
    EXPECT_EQ(ReadFile(Ifcfg("bond0")), "DEVICE=bond0\nLEFT=over\n");
    EXPECT_EQ(Dir(), (std::vector<std::string>{"ifcfg-bond0", "ifcfg-eth0", "ifcfg-eth1", "ifcfg-eth1.saved",
                                               "ifcfg-eth2", "ifcfg-eth2.saved"}));
    EXPECT_EQ(ReadFile(kCalls), "rc.network stop\nrc.network start\n");
}

TEST_F(Bond, FailedCreateRemovesABondFileItMade)
{
    Unbonded();
    vakotest::MakeDirs(Ifcfg("eth1") + ".saved");
    VAKOLINKAGGR a = Record("bond0", VAKO_BOND_MODE_BALANCE_ALB, {"eth0", "eth1"});
    EXPECT_EQ(VAKONetLinkAggrSet(&a), -1);
    EXPECT_EQ(Dir(), (std::vector<std::string>{"ifcfg-eth0", "ifcfg-eth1", "ifcfg-eth1.saved"}));
    EXPECT_EQ(ReadFile(Ifcfg("eth0")), kEth0);
    EXPECT_EQ(ReadFile(Ifcfg("eth1")), kEth1);
}

// The first slave's file is saved before the bond's settings are copied
// over it, so that the undo gives it back as it was, not the bond's copy.
TEST_F(Bond, FailedRemoveRestoresTheFirstSlaveAsItWas)
{
    AlbBond();
    WriteFile(Ifcfg("eth0") + ".saved", "STALE\n");
    vakotest::MakeDirs(Ifcfg("eth1") + ".saved");
    VAKOLINKAGGR a = Record("bond0", VAKO_BOND_MODE_NONE, {});
    EXPECT_EQ(VAKONetLinkAggrSet(&a), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_RENAME);
    EXPECT_EQ(ReadFile(Ifcfg("bond0")), BondFile(kAlbOpts));
    EXPECT_EQ(ReadFile(Ifcfg("eth0")), SlaveFile("eth0"));
    EXPECT_EQ(ReadFile(Ifcfg("eth1")), SlaveFile("eth1"));
    EXPECT_EQ(Dir(), (std::vector<std::string>{"ifcfg-bond0", "ifcfg-eth0", "ifcfg-eth1", "ifcfg-eth1.saved"}));
    EXPECT_EQ(ReadFile(kCalls), "rc.network stop\nrc.network start\n");
}

TEST_F(Bond, RemoveWithoutTheBondsFileFails)
{
    AlbBond();
    vakotest::RemoveFile(Ifcfg("bond0"));
    VAKOLINKAGGR a = Record("bond0", VAKO_BOND_MODE_NONE, {});
    EXPECT_EQ(VAKONetLinkAggrSet(&a), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_EXEC);
    EXPECT_STREQ(SLIBErrorGetFile(), "net_link_aggr_set");
    EXPECT_EQ(Dir(), (std::vector<std::string>{"ifcfg-eth0", "ifcfg-eth1"}));
    EXPECT_EQ(ReadFile(Ifcfg("eth0")), SlaveFile("eth0"));
    EXPECT_EQ(ReadFile(Ifcfg("eth1")), SlaveFile("eth1"));
}

// A full disk: the write fails, every file stays whole, no temporary file
// is left.
TEST_F(Bond, FailedWriteKeepsTheOldFiles)
{
    ASSERT_EQ(mount("tmpfs", kScripts.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=12k"), 0) << strerror(errno);
    Unbonded();
    WriteFile(kScripts + "/filler", std::string(4096, 'x')); // the last free page
    VAKOLINKAGGR a = Record("bond0", VAKO_BOND_MODE_BALANCE_ALB, {"eth0", "eth1"});
    EXPECT_EQ(VAKONetLinkAggrSet(&a), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_WRITE);
    EXPECT_EQ(Dir(), (std::vector<std::string>{"filler", "ifcfg-eth0", "ifcfg-eth1"}));
    EXPECT_EQ(ReadFile(Ifcfg("eth0")), kEth0);
    EXPECT_EQ(ReadFile(Ifcfg("eth1")), kEth1);
}

} // namespace
