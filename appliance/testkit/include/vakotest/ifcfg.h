// The interface files of eth0 and eth1, and with a bond bond0 made of them
// in the files and the kernel.
#pragma once

#include <filesystem>
#include <string>

#include "vakotest/files.h"
#include "vakotest/kstub.h"

namespace vakotest {

inline const std::string kNetworkScripts = "/etc/sysconfig/network-scripts";

inline std::string Ifcfg(const char *name) { return kNetworkScripts + "/ifcfg-" + name; }

// The files anew; bonded, the kernel's bond0 gives slaves as its slaves.
inline void Interfaces(bool bonded, const char *slaves = "eth0 eth1\n")
{
    std::filesystem::remove_all(kNetworkScripts);
    if (!bonded) {
        WriteFile(Ifcfg("eth0"), "DEVICE=eth0\nBOOTPROTO=static\nONBOOT=yes\nIPADDR=192.168.1.10\n", 0644);
        WriteFile(Ifcfg("eth1"), "DEVICE=eth1\nBOOTPROTO=dhcp\nONBOOT=yes\n", 0640);
        return;
    }
    WriteFile(Ifcfg("bond0"), "DEVICE=bond0\nBOOTPROTO=static\nONBOOT=yes\nIPADDR=192.168.1.10\nUSERCTL=no\n"
                              "BONDING_OPTS=\"mode=balance-alb use_carrier=0 miimon=100 updelay=100\"\n");
    for (const char *slave : {"eth0", "eth1"})
        WriteFile(Ifcfg(slave), std::string("DEVICE=") + slave +
                                    "\nBOOTPROTO=none\nONBOOT=yes\nUSERCTL=no\n"
                                    "SLAVE=yes\nMASTER=bond0\n");
    MountKernelFile("/sys/class/net/bond0/bonding/slaves", slaves);
    MountKernelFile("/sys/class/net/bond0/bonding/mode", "balance-alb 6\n");
}

} // namespace vakotest
