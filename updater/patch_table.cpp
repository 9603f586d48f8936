// Device tables and the patch table.
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>

#include <algorithm>

#include "flash.h"

extern "C" {

const PARTITIONDEV gJuniorDeviceTemplate[UPDT_MAX_PARTITIONS + 1] = {
    {"RedBoot", UPDT_MTD_DEVICE(0)},
    {"zImage", UPDT_MTD_DEVICE(1)},
    {"rd.gz", UPDT_MTD_DEVICE(2)},
    {"vendor", UPDT_MTD_DEVICE(3)},
    {"RedBoot Config", UPDT_MTD_DEVICE(4)},
    {"FIS Directory", UPDT_MTD_DEVICE(5)},
    {nullptr, nullptr},
};

const PARTITIONDEV gNormalDeviceTemplate[UPDT_MAX_PARTITIONS + 1] = {
    {"RedBoot", UPDT_MTD_DEVICE(0)},        {"zImage", UPDT_MTD_DEVICE(1)},        {"rd.gz", UPDT_MTD_DEVICE(2)},
    {"AllLib.tgz", UPDT_MTD_DEVICE(3)},     {"vendor", UPDT_MTD_DEVICE(4)},        {"vakocfg", UPDT_MTD_DEVICE(5)},
    {"RedBoot Config", UPDT_MTD_DEVICE(6)}, {"FIS Directory", UPDT_MTD_DEVICE(7)}, {nullptr, nullptr},
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

char gszDevMtdPartition[UPDT_DEV_ROOM];
int gPartitionCount;
PARTITIONDEV gDeviceTable[UPDT_MAX_PARTITIONS + 1];
PATCHINFO gPatchInfo[UPDT_MAX_PARTITIONS];
uint32_t gEraseBlockSize;

namespace {

constexpr const char *kFixedPartitions[] = {"vakocfg", "vendor", "RedBoot Config", "FIS Directory"};

// Erase blocks needed for `bytes`, rounded up.
uint64_t BlocksFor(uint64_t bytes) { return bytes / gEraseBlockSize + (bytes % gEraseBlockSize ? 1 : 0); }

} // namespace

void UPDTSelectLayout(int fJunior)
{
    snprintf(gszDevMtdPartition, sizeof(gszDevMtdPartition), "%s", fJunior ? UPDT_MTD_DEVICE(5) : UPDT_MTD_DEVICE(7));
    memcpy(gPatchInfo, fJunior ? gJuniorPatchTemplate : gNormalPatchTemplate, sizeof(gPatchInfo));
    memcpy(gDeviceTable, fJunior ? gJuniorDeviceTemplate : gNormalDeviceTemplate, sizeof(gDeviceTable));
    gPartitionCount = fJunior ? UPDT_JUNIOR_PARTITIONS : UPDT_MAX_PARTITIONS;
    gfJunior = fJunior ? 1 : 0;
}

int UPDTLockAll(int lock)
{
    for (const PARTITIONDEV *row = gDeviceTable; row->szDevice; ++row) {
        if (!strcasecmp(row->szPartition, "RedBoot Config") || !strcasecmp(row->szPartition, "FIS Directory"))
            continue;
        if (lock == 1) {
            if (VAKOMTDLockPartition(row->szDevice) < 0) {
                syslog(LOG_ERR, "%s: VAKOMTDLockPartition(%s) fail", __func__, row->szDevice);
                return -1;
            }
        } else if (VAKOMTDUnlockPartition(row->szDevice) < 0) {
            syslog(LOG_ERR, "%s: VAKOMTDUnlockPartition(%s) fail", __func__, row->szDevice);
            return -1;
        }
    }
    return 0;
}

const char *SzUPDTGetDeviceByName(const char *szPartition)
{
    if (!szPartition) {
        syslog(LOG_ERR, "%s(%d): parameter error", __func__, __LINE__);
        return nullptr;
    }
    for (int i = 0; i <= UPDT_MAX_PARTITIONS && gDeviceTable[i].szPartition; ++i) {
        if (!strcasecmp(gDeviceTable[i].szPartition, szPartition))
            return gDeviceTable[i].szDevice;
    }
    syslog(LOG_ERR, "%s(%d): unknown partition name [%s]", __func__, __LINE__, szPartition);
    return nullptr;
}

int GetIdxByName(const char *szPartition, const VAKOFISENTRY *pList, int count)
{
    if (!szPartition || !pList) {
        syslog(LOG_ERR, "%s(%d): parameter error", __func__, __LINE__);
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        if (VAKOFISEntryNameIs(&pList[i], szPartition))
            return i;
    }
    syslog(LOG_ERR, "%s(%d): unknown partition name [%s]", __func__, __LINE__, szPartition);
    return -1;
}

int UPDTInitPatchInfo(const VAKOFISENTRY *pList, int count)
{
    if (!pList || count <= 0) {
        syslog(LOG_ERR, "%s(%d): parameter error ", __func__, __LINE__);
        return -1;
    }
    const char *szFisDev = SzUPDTGetDeviceByName("FIS Directory");
    mtd_info_user info;
    if (!szFisDev || VAKOMTDGetDeviceInfo(szFisDev, &info, sizeof(info)) < 0) {
        syslog(LOG_ERR, "%s(%d): fail to get device info", __func__, __LINE__);
        return -1;
    }
    gEraseBlockSize = info.erasesize;
    if (gEraseBlockSize == 0) {
        syslog(LOG_ERR, "%s(%d): gEraseBlockSize == 0", __func__, __LINE__);
        return -1;
    }

    uint32_t fisBase = 0, fisSize = 0, zImageBase = 0;
    for (int i = 0; i < count; ++i) {
        if (VAKOFISEntryNameIs(&pList[i], "FIS Directory")) {
            fisBase = pList[i].flash_base;
            fisSize = pList[i].size;
        } else if (VAKOFISEntryNameIs(&pList[i], "zImage")) {
            zImageBase = pList[i].flash_base;
        }
    }
    if (!(zImageBase < fisBase && fisSize != 0)) {
        syslog(LOG_ERR, "%s(%d): ulAddrMtd7 = %lx, ulAddrMtd0 = %lx, ulSizeMtd7 = %lx", __func__, __LINE__,
               static_cast<unsigned long>(fisBase), static_cast<unsigned long>(zImageBase),
               static_cast<unsigned long>(fisSize));
        syslog(LOG_ERR, "%s(%d): flashsize == 0", __func__, __LINE__);
        return -1;
    }
    uint32_t flashsize = fisBase - zImageBase + fisSize;
    if (flashsize == 0) {
        syslog(LOG_ERR, "%s(%d): flashsize == 0", __func__, __LINE__);
        return -1;
    }
    syslog(LOG_ERR, "flashsize = 0x%08X, eraseblock = 0x%08X", flashsize, gEraseBlockSize);
    // A directory that an interrupted resize left half rewritten is not a plan.
    if (UPDTCheckDirectoryLayout(pList, count) < 0)
        return -1;

    uint64_t total = 0;
    for (int r = 0; r < gPartitionCount; ++r) {
        PATCHINFO &row = gPatchInfo[r];
        int idx = GetIdxByName(row.part, pList, count);
        if (idx < 0) {
            syslog(LOG_ERR, "%s(%d): get idx of partition %d [%s] fail", __func__, __LINE__, r, row.part);
            return -1;
        }
        const VAKOFISENTRY &entry = pList[idx];
        row.start = entry.flash_base;
        row.size = entry.size;
        uint64_t blocks;
        struct stat st;
        if (stat(row.file, &st) == 0) {
            row.datalen = static_cast<uint32_t>(st.st_size);
            blocks = BlocksFor(static_cast<uint64_t>(st.st_size));
            row.fneedupdate = 1;
        } else {
            syslog(LOG_ERR, "%s(%d): file [%s] not included in the patch package ", __func__, __LINE__, row.file);
            row.datalen = entry.data_length;
            blocks = BlocksFor(row.datalen);
            row.fneedupdate = 0;
        }
        row.nblockdelta = 0;
        row.balance = static_cast<int32_t>(static_cast<int64_t>(row.size / gEraseBlockSize) -
                                           static_cast<int64_t>(blocks));
        syslog(LOG_ERR,
               "PATCHINFO: part[%s] file[%s] start = [0x%08X] size[0x%d] datalen=[0x%08X] nblock[%d] balance[%d] "
               "fneedupdate[%d]",
               row.part, row.file, row.start, static_cast<int>(row.size), row.datalen, static_cast<int>(blocks),
               row.balance, static_cast<int>(row.fneedupdate));
        total += blocks;
    }
    if (total > flashsize / gEraseBlockSize) {
        syslog(LOG_ERR, "%s(%d): the binary size exceeds flash size limit(total = %d)", __func__, __LINE__,
               static_cast<int>(total));
        return -1;
    }
    return 0;
}

int HasNegativeBalance(const PATCHINFO *pTable, int n)
{
    for (int i = 0; pTable && i < n; ++i) {
        if (pTable[i].balance < 0)
            return 1;
    }
    return 0;
}

int IsFixedPartition(const char *szPartition)
{
    if (!szPartition)
        return 0;
    for (const char *szFixed : kFixedPartitions) {
        if (!strcasecmp(szPartition, szFixed))
            return 1;
    }
    return 0;
}

int ErrUPDTAdjustPartitionSize(PATCHINFO *pTable, int n)
{
    if (!pTable) {
        syslog(LOG_ERR, "%s(%d): parameter error", __func__, __LINE__);
        return -1;
    }
    // Phase 1: move erase blocks to each row in deficit from the row with
    // the most to spare (the earlier one on equal balances).
    for (int i = 0; i < n; ++i) {
        while (pTable[i].balance < 0) {
            int donor = 0;
            for (int j = 0; j < n; ++j) {
                if (j == i || IsFixedPartition(pTable[j].part))
                    continue;
                if (pTable[donor].balance < pTable[j].balance)
                    donor = j;
            }
            if (pTable[donor].balance <= 0) {
                syslog(LOG_ERR, "%s(%d): negative balance", __func__, __LINE__);
                return -1;
            }
            --pTable[donor].balance;
            --pTable[donor].nblockdelta;
            ++pTable[i].balance;
            ++pTable[i].nblockdelta;
        }
    }
    // Phase 2: lay the rows out again in table order.
    int32_t shift = 0;
    for (int i = 0; i < n; ++i) {
        PATCHINFO &row = pTable[i];
        if (IsFixedPartition(row.part) || (shift == 0 && row.nblockdelta == 0))
            continue;
        row.start += static_cast<uint32_t>(shift) * gEraseBlockSize;
        row.size += static_cast<uint32_t>(row.nblockdelta) * gEraseBlockSize;
        row.fneedupdate = 1;
        shift += row.nblockdelta;
    }
    return 0;
}

int UPDTCheckDirectoryLayout(const VAKOFISENTRY *pList, int count)
{
    if (!pList || count <= 0) {
        syslog(LOG_ERR, "%s(%d): parameter error", __func__, __LINE__);
        return -1;
    }
    // The directory partition ends the flash, and nothing of the flash lies
    // past the 32-bit address space: its own entry is held to that too.
    constexpr uint64_t kAddressSpaceEnd = uint64_t{1} << 32;
    uint64_t flashEnd = 0;
    for (int i = 0; i < count; ++i) {
        if (VAKOFISEntryNameIs(&pList[i], "FIS Directory"))
            flashEnd = std::min(uint64_t{pList[i].flash_base} + pList[i].size, kAddressSpaceEnd);
    }
    for (int i = 0; i < count; ++i) {
        const VAKOFISENTRY &e = pList[i];
        char szName[VAKO_FIS_NAME_SIZE + 1];
        VAKOFISEntryGetName(&e, szName);
        uint64_t hi = uint64_t{e.flash_base} + e.size;
        if (hi > flashEnd) {
            syslog(LOG_ERR, "%s(%d): [%s] at 0x%08X size 0x%08X ends past the flash at 0x%08llX", __func__, __LINE__,
                   szName, e.flash_base, e.size, static_cast<unsigned long long>(flashEnd));
            return -1;
        }
        for (int j = 0; j < i; ++j) {
            const VAKOFISENTRY &o = pList[j];
            if (e.size == 0 || o.size == 0 || !(e.flash_base < uint64_t{o.flash_base} + o.size && o.flash_base < hi))
                continue;
            char szOther[VAKO_FIS_NAME_SIZE + 1];
            VAKOFISEntryGetName(&o, szOther);
            syslog(LOG_ERR, "%s(%d): [%s] at 0x%08X size 0x%08X overlaps [%s] at 0x%08X size 0x%08X", __func__,
                   __LINE__, szName, e.flash_base, e.size, szOther, o.flash_base, o.size);
            return -1;
        }
    }
    return 0;
}

int UPDTCheckResizedLayout(const PATCHINFO *pTable, int n, const VAKOFISENTRY *pList, int count)
{
    if (!pTable || !pList || count <= 0 || gEraseBlockSize == 0) {
        syslog(LOG_ERR, "%s(%d): parameter error", __func__, __LINE__);
        return -1;
    }
    // The flash is known only through its directory: the span of its entries.
    uint64_t flashLo = UINT64_MAX, flashHi = 0;
    for (int i = 0; i < count; ++i) {
        flashLo = std::min<uint64_t>(flashLo, pList[i].flash_base);
        flashHi = std::max<uint64_t>(flashHi, uint64_t{pList[i].flash_base} + pList[i].size);
    }
    for (int r = 0; r < n; ++r) {
        const PATCHINFO &row = pTable[r];
        int idx = GetIdxByName(row.part, pList, count);
        if (idx < 0)
            return -1;
        if (row.start == pList[idx].flash_base && row.size == pList[idx].size)
            continue;
        uint64_t lo = row.start, hi = uint64_t{row.start} + row.size;
        if (row.size == 0 || lo < flashLo || hi > flashHi) {
            syslog(LOG_ERR, "%s(%d): [%s] at 0x%08X size 0x%08X lies outside the flash 0x%08llX-0x%08llX", __func__,
                   __LINE__, row.part, row.start, row.size, static_cast<unsigned long long>(flashLo),
                   static_cast<unsigned long long>(flashHi));
            return -1;
        }
        if (row.start % gEraseBlockSize || row.size % gEraseBlockSize) {
            syslog(LOG_ERR, "%s(%d): [%s] at 0x%08X size 0x%08X is not aligned to erase blocks of 0x%08X", __func__,
                   __LINE__, row.part, row.start, row.size, gEraseBlockSize);
            return -1;
        }
        for (int s = 0; s < n; ++s) {
            const PATCHINFO &other = pTable[s];
            if (s == r || other.size == 0)
                continue;
            if (lo < uint64_t{other.start} + other.size && other.start < hi) {
                syslog(LOG_ERR, "%s(%d): [%s] at 0x%08X size 0x%08X overlaps [%s] at 0x%08X size 0x%08X", __func__,
                       __LINE__, row.part, row.start, row.size, other.part, other.start, other.size);
                return -1;
            }
        }
    }
    return 0;
}

} // extern "C"
