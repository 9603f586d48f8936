// Fixture builder: a short description of an appliance and of an update
// package, written either inside a sandbox at the real paths (Install) or
// on the host as a tree for `vako-sandbox --fixture DIR` (Build).
#pragma once

#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vakotest/chips.h"
#include "vakotest/paths.h"

namespace vakotest {

// The lines of a key/value file, in order, written as key="value".
class Keys {
public:
    Keys() = default;
    Keys(std::initializer_list<std::pair<std::string, std::string>> items);
    // Replaces the key's value, or appends the key.
    Keys &Set(const std::string &key, const std::string &value);
    Keys &Erase(const std::string &key);
    std::optional<std::string> Get(const std::string &key) const;
    std::string Text() const;

private:
    std::vector<std::pair<std::string, std::string>> items_;
};

struct Appliance {
    // Junior: the first line of /proc/sys/kernel/vako_hw_version ends in "-j".
    Layout layout = Layout::Normal;
    // That first line (without its line end); empty: one that fits the layout.
    std::string hwVersion;
    // /etc.defaults/VERSION
    Keys version{{"majorversion", "3"}, {"minorversion", "1"}, {"buildphase", "0"}, {"buildnumber", "1000"}};
    // /etc.defaults/vakoinfo.conf (factory description) and /etc/vakoinfo.conf (settings)
    Keys defaults{{"unique", "vakora_powerpc_demo"}, {"supportraid", "no"}};
    Keys info;
    bool initrd = true;
    // Further files: absolute appliance path -> content.  By default the
    // partition tool's listings of a system disk with room for any package:
    // /dev/hda1 of 4 GiB, /dev/hda3 after it.
    std::map<std::string, std::string> files{
        {"/.sandbox/sfdisk/hda.1", "/dev/hda1 63 8388670 8388608 83 Linux\n"},
        {"/.sandbox/sfdisk/hda.3", "/dev/hda3 8913024 16777215 7864192 83 Linux\n"}};
    // Further appliance-only kernel files (below /proc/sys/kernel, /sys/block
    // or /sys/class/net, e.g. a bond's bonding/slaves): path -> content.
    std::map<std::string, std::string> kernelFiles;
    // The flash and the kernel calls as the kernel stand-in shows them
    // (vakotest/chips.h: LayoutFlash, SecondRoadFlash); none: the stand-in
    // keeps what it has.
    std::optional<Flash> flash;
};

struct Package {
    // The package directory; the updater runs from here (argv[0]'s directory).
    std::string dir = kPackageDir;
    // <dir>/VERSION
    Keys version{{"unique", "vakora_powerpc_demo"}, {"majorversion", "3"},  {"minorversion", "1"}, {"buildphase", "0"},
                 {"buildnumber", "1001"},           {"extractsize", "1024"}};
    // Image files of <dir>: name -> bytes.
    std::map<std::string, std::string> images;
    // <dir>/hda1.tgz, the disk archive.
    std::optional<std::string> hda1;
    // Copies the updater program (<build>/updater/updater) to <dir>/updater.
    bool withUpdater = true;

    std::string UpdaterPath() const { return dir + "/updater"; }
};

// Inside a sandbox: copies the updater program built in this tree into
// `dir` as "updater" (mode 0755), as a package brings it; its path.
std::string InstallUpdater(const std::string &dir = kPackageDir);

// Inside a sandbox, at the real paths; kernel files through MountKernelFile.
void Install(const Appliance &appliance);
void Install(const Package &package);

// On the host: DIR/root/... and DIR/kernel/{proc-sys-kernel,sys-block,sys-class-net}/...
void Build(const Appliance &appliance, const std::string &fixtureDir);
void Build(const Package &package, const std::string &fixtureDir);

} // namespace vakotest
