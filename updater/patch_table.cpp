// Device tables and the patch table.
#include "unbuilt.h"
#include "updater.h"

extern "C" {

const PARTITIONDEV gJuniorDeviceTemplate[UPDT_MAX_PARTITIONS + 1] = {
    {"RedBoot", "/dev/mtd0"},        {"zImage", "/dev/mtd1"},        {"rd.gz", "/dev/mtd2"},
    {"vendor", "/dev/mtd3"},         {"RedBoot Config", "/dev/mtd4"}, {"FIS Directory", "/dev/mtd5"},
    {nullptr, nullptr},
};

const PARTITIONDEV gNormalDeviceTemplate[UPDT_MAX_PARTITIONS + 1] = {
    {"RedBoot", "/dev/mtd0"},       {"zImage", "/dev/mtd1"},         {"rd.gz", "/dev/mtd2"},
    {"AllLib.tgz", "/dev/mtd3"},    {"vendor", "/dev/mtd4"},         {"vakocfg", "/dev/mtd5"},
    {"RedBoot Config", "/dev/mtd6"}, {"FIS Directory", "/dev/mtd7"}, {nullptr, nullptr},
};

const PATCHINFO gJuniorPatchTemplate[UPDT_MAX_PARTITIONS] = {
    {"RedBoot", "RedBoot.msys", 0, 0, 0, 0, 0, 0},
    {"zImage", "zImage", 0, 0, 0, 0, 0, 0},
    {"rd.gz", "rd.bin", 0, 0, 0, 0, 0, 0},
    {"vendor", "vendor", 0, 0, 0, 0, 0, 0},
    {"RedBoot Config", "RedBoot Config", 0, 0, 0, 0, 0, 0},
    {"FIS Directory", "FIS Directory", 0, 0, 0, 0, 0, 0},
};

const PATCHINFO gNormalPatchTemplate[UPDT_MAX_PARTITIONS] = {
    {"RedBoot", "RedBoot.msys", 0, 0, 0, 0, 0, 0},
    {"zImage", "zImage", 0, 0, 0, 0, 0, 0},
    {"rd.gz", "rd.bin", 0, 0, 0, 0, 0, 0},
    {"AllLib.tgz", "AllLib.tgz", 0, 0, 0, 0, 0, 0},
    {"vendor", "vendor", 0, 0, 0, 0, 0, 0},
    {"vakocfg", "vakocfg", 0, 0, 0, 0, 0, 0},
    {"RedBoot Config", "RedBoot Config", 0, 0, 0, 0, 0, 0},
    {"FIS Directory", "FIS Directory", 0, 0, 0, 0, 0, 0},
};

PARTITIONDEV gDeviceTable[UPDT_MAX_PARTITIONS + 1];
PATCHINFO gPatchInfo[UPDT_MAX_PARTITIONS];
uint32_t gEraseBlockSize;

const char *SzUPDTGetDeviceByName(const char *) { UPDT_UNBUILT(); return nullptr; }
int GetIdxByName(const char *, const VAKOFISENTRY *, int) { UPDT_UNBUILT(); return -1; }
int UPDTInitPatchInfo(const VAKOFISENTRY *, int) { UPDT_UNBUILT(); return -1; }
int HasNegativeBalance(const PATCHINFO *, int) { UPDT_UNBUILT(); return 0; }
int IsFixedPartition(const char *) { UPDT_UNBUILT(); return 0; }
int ErrUPDTAdjustPartitionSize(PATCHINFO *, int) { UPDT_UNBUILT(); return -1; }

} // extern "C"
