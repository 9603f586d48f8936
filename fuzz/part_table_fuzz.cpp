// The second road's partition table as the kernel hands it over: decoded,
// the patch table built from it, and the units moved between partitions
// when an image has outgrown its own.
#include "flash.h"
#include "fuzz.h"
#include "updater.h"

VAKOFUZZ_QUIET_LOG

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    unsigned char raw[UPDT_MAX_PARTITIONS * 8] = {};
    if (size < 1)
        return 0;
    memcpy(raw, data + 1, std::min(size - 1, sizeof raw));
    UPDTSelectLayout(data[0] & 1);
    VAKOFISENTRY list[UPDT_MAX_PARTITIONS] = {};
    UPDTMSysDecodePartitionTable(raw, list);
    if (UPDTMSysInitPatchInfo(list, UPDT_MAX_PARTITIONS) < 0)
        return 0;
    if (HasNegativeBalance(gPatchInfo, gPartitionCount))
        ErrUPDTAdjustPartitionSize(gPatchInfo, gPartitionCount);
    return 0;
}
