// Fixtures of the system partition for the analysis tests (in-process and
// end to end): the partition tool's listings and the system RAID array.
#pragma once

#include <stdint.h>

#include <string>

#include "vakotest/kstub.h"
#include "vakotest/testkit.h"

namespace analysistest {

// The partition tool's listing of /dev/hda partition n.
inline void Listing(int n, uint32_t start, int64_t sectors)
{
    vakotest::WriteFile("/.sandbox/sfdisk/hda." + std::to_string(n),
                        "/dev/hda" + std::to_string(n) + " " + std::to_string(start) + " " +
                            std::to_string(start + sectors - 1) + " " + std::to_string(sectors) + " 83 Linux\n");
}

// /dev/md0 of `bytes` as the kernel stand-in answers it, two members in sync.
inline void SystemArray(uint64_t bytes, bool active = true)
{
    vakotest::kstub::MdArray m;
    m.device = "/dev/md0";
    m.active = active;
    m.level = 1;
    m.componentKB = static_cast<int32_t>(bytes >> 10);
    m.raidDisks = 2;
    m.nrDisks = 2;
    m.deviceBytes = bytes;
    vakotest::kstub::Install(vakotest::kstub::kSandboxDir, vakotest::kstub::Chip{.size = 65536, .eraseSize = 65536},
                             vakotest::kstub::KernelCalls{}, {m});
    vakotest::MountKernelFile("/sys/block/md0/md/dev-sda3/state", "in_sync\n");
    vakotest::MountKernelFile("/sys/block/md0/md/dev-sdb3/state", "in_sync\n");
}

} // namespace analysistest
