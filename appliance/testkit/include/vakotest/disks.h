// The system disk and the system RAID array as the analysis sees them: the
// partition tool's listings and the kernel stand-in's md device.
#pragma once

#include <stdint.h>

namespace vakotest {

// The partition tool's listing of partition n of the system disk /dev/hda:
// its start and size in 512-byte sectors.
void SystemDiskListing(int n, uint32_t start, int64_t sectors);

// /dev/md0 of `bytes` as the kernel stand-in answers it, two members in sync.
void SystemArray(uint64_t bytes, bool active = true);

} // namespace vakotest
