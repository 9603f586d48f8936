// The network settings of old builds through a whole update on the normal
// flash road: bond0's MTU key and the balance-alb bond.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "vakotest/chips.h"
#include "vakotest/files.h"
#include "vakotest/fixture.h"
#include "vakotest/paths.h"
#include "vakotest/run.h"

namespace {

using vakotest::ReadFile;

const std::string kScripts = "/etc/sysconfig/network-scripts";
std::string Ifcfg(const std::string &name) { return kScripts + "/ifcfg-" + name; }

const std::string kAlbBond = "DEVICE=bond0\nBOOTPROTO=static\nONBOOT=yes\nIPADDR=192.168.7.2\nNETMASK=255.255.255.0\n"
                             "USERCTL=no\nBONDING_OPTS=\"mode=balance-alb use_carrier=0 miimon=100 updelay=100\"\n";
const std::string kBackupBond =
    "DEVICE=bond0\nBOOTPROTO=static\nONBOOT=yes\nIPADDR=192.168.7.2\nNETMASK=255.255.255.0\nUSERCTL=no\n"
    "BONDING_OPTS=\"mode=active-backup use_carrier=0 miimon=100 updelay=100 primary=eth0\"\n";
const std::string kLacpBond = "DEVICE=bond0\nBOOTPROTO=dhcp\nONBOOT=yes\nUSERCTL=no\n"
                              "BONDING_OPTS=\"mode=4 use_carrier=0 miimon=100 updelay=100 lacp_rate=fast\"\n";
std::string Slave(const std::string &name)
{
    return "DEVICE=" + name + "\nBOOTPROTO=none\nONBOOT=yes\nUSERCTL=no\nSLAVE=yes\nMASTER=bond0\n";
}

const std::string kInfoKeys = "hostname=\"nas\"\neth0_mtu=\"9000\"\n";
const std::string kNetworkCalls = "rc.network stop\nrc.network start\n";

struct Row {
    const char *name;
    const char *build;
    bool bond0Alone;   // bond0 is the only interface up
    const char *mode;  // the kernel's bonding mode line
    std::string bond;  // bond0's file before
    std::string after; // and after
    std::string info;  // /etc/vakoinfo.conf after
    std::string calls; // the network service's calls
};

void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

void Ip(const std::string &args)
{
    std::string cmd = "/bin/ip " + args;
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
}

class NetworkMigrationUpdate : public testing::TestWithParam<Row> {};

TEST_P(NetworkMigrationUpdate, FilesAfterTheUpdate)
{
    const Row &row = GetParam();
    vakotest::Appliance appliance;
    appliance.version.Set("buildnumber", row.build);
    appliance.flash = vakotest::LayoutFlash(vakotest::Layout::Normal);
    appliance.info = vakotest::Keys{{"hostname", "nas"}, {"eth0_mtu", "9000"}};
    appliance.files[Ifcfg("bond0")] = row.bond;
    appliance.files[Ifcfg("eth0")] = Slave("eth0");
    appliance.files[Ifcfg("eth1")] = Slave("eth1");
    appliance.kernelFiles["/sys/class/net/bond0/bonding/slaves"] = "eth0 eth1\n";
    appliance.kernelFiles["/sys/class/net/bond0/bonding/mode"] = row.mode;
    vakotest::Install(appliance);
    if (row.bond0Alone) {
        // The slaves do not count as interfaces; bond0 stands alone.
        Ip("link del eth0");
        Ip("link add bond0 type veth peer name bondpeer");
        Ip("link set bond0 up");
    }
    vakotest::Package package;
    package.images["zImage"] = std::string(0x30000, 'z');
    vakotest::Install(package);

    vakotest::RunResult r = vakotest::Run({package.UpdaterPath()}, {.cwd = "/"});
    EXPECT_EQ(r.status, 0) << r.err;

    EXPECT_EQ(vakotest::ListDir(kScripts), (std::vector<std::string>{"ifcfg-bond0", "ifcfg-eth0", "ifcfg-eth1"}));
    EXPECT_EQ(ReadFile(Ifcfg("bond0")), row.after);
    EXPECT_EQ(ReadFile(Ifcfg("eth0")), Slave("eth0"));
    EXPECT_EQ(ReadFile(Ifcfg("eth1")), Slave("eth1"));
    EXPECT_EQ(ReadFile(vakotest::kInfoFile), row.info);
    std::string calls, line;
    std::istringstream in(vakotest::FileExists(vakotest::kStandinCalls) ? ReadFile(vakotest::kStandinCalls) : "");
    while (std::getline(in, line))
        if (line.starts_with("rc.network"))
            calls += line + "\n";
    EXPECT_EQ(calls, row.calls);
}

// Installed builds up to 865 with bond0 alone and no key of its own copy
// eth0's MTU to bond0; up to 886 a balance-alb bond becomes active-backup;
// other bonds and newer builds stay as they are.
INSTANTIATE_TEST_SUITE_P(
    Builds, NetworkMigrationUpdate,
    testing::Values(Row{"Build865Bond0Alone", "865", true, "balance-alb 6\n", kAlbBond, kBackupBond,
                        kInfoKeys + "bond0_mtu=\"9000\"\n", kNetworkCalls},
                    Row{"Build884", "884", false, "balance-alb 6\n", kAlbBond, kBackupBond, kInfoKeys, kNetworkCalls},
                    Row{"Build886Lacp", "886", true, "802.3ad 4\n", kLacpBond, kLacpBond, kInfoKeys, ""},
                    Row{"Build887", "887", false, "balance-alb 6\n", kAlbBond, kAlbBond, kInfoKeys, ""}),
    [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

} // namespace
