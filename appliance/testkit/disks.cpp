#include "vakotest/disks.h"

#include <string>

#include "vakotest/files.h"
#include "vakotest/kstub.h"
#include "vakotest/paths.h"

namespace vakotest {

void SystemDiskListing(int n, uint32_t start, int64_t sectors)
{
    std::string part = "/dev/hda" + std::to_string(n);
    WriteFile(kSfdiskListings + std::string("hda.") + std::to_string(n), part + " " + std::to_string(start) + " " +
                                                                             std::to_string(start + sectors - 1) + " " +
                                                                             std::to_string(sectors) + " 83 Linux\n");
}

void SystemArray(uint64_t bytes, bool active)
{
    kstub::MdArray m;
    m.device = "/dev/md0";
    m.active = active;
    m.level = 1;
    m.componentKB = static_cast<int32_t>(bytes >> 10);
    m.raidDisks = 2;
    m.nrDisks = 2;
    m.deviceBytes = bytes;
    kstub::Install(kstub::kSandboxDir, kstub::Chip{.size = 65536, .eraseSize = 65536}, kstub::KernelCalls{}, {m});
    MountKernelFile("/sys/block/md0/md/dev-sda3/state", "in_sync\n");
    MountKernelFile("/sys/block/md0/md/dev-sdb3/state", "in_sync\n");
}

} // namespace vakotest
