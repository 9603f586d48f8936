// The second flash road: the kernel keeps the partition table itself
// (on /dev/mtd0); position i of that table is /dev/mtd<i> and row i of the
// patch table.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <endian.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "slibcxx/raii.h"

#include <algorithm>
#include <iterator>

#include "flash.h"
#include "migrate.h"
#include "vako/kernel.h"

namespace {

constexpr int kPositions = UPDT_MAX_PARTITIONS;
constexpr int kFlashUnits = 967;
constexpr uint32_t kUnitSize = VAKO_MTD_UNIT_SIZE;
constexpr const char *kTableDevice = UPDT_MTD_DEVICE(0);

using slib::Fd;

// Rows that have a device: on the junior layout the last positions are empty.
int RowsWithDevice(int count) { return std::clamp(std::min(gPartitionCount, count), 0, kPositions); }

uint32_t Be32At(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

uint32_t UnitsOf(uint32_t cb, uint32_t cbUnit = kUnitSize) { return cb / cbUnit + (cb % cbUnit ? 1 : 0); }

bool FileExists(const char *szPath)
{
    struct stat st;
    return stat(szPath, &st) == 0;
}

constexpr long long kWhole = -1;

// The dd command that writes `szQuotedSrc` to the device of position `pos`,
// stopping after `units` units unless that is kWhole.
bool FormatDd(char *szCmd, const char *szQuotedSrc, int pos, long long units)
{
    if (units != kWhole)
        return UPDTFormatCommand(szCmd, UPDT_CMD_ROOM,
                                 UPDT_BIN_DD " if=%s of=\"" UPDT_MTD_PREFIX "%d\" bs=%u count=%lld", szQuotedSrc, pos,
                                 kUnitSize, units) >= 0;
    return UPDTFormatCommand(szCmd, UPDT_CMD_ROOM, UPDT_BIN_DD " if=%s of=\"" UPDT_MTD_PREFIX "%d\" bs=%u", szQuotedSrc,
                             pos, kUnitSize) >= 0;
}

// The dump of the partition of `entry`, quoted.
bool QuoteDump(const VAKOFISENTRY &entry, char *szOut, int cbOut)
{
    char szName[VAKO_FIS_NAME_SIZE + 1];
    VAKOFISEntryGetName(&entry, szName);
    return UPDTQuoteBackupPath(szName, szOut, cbOut) >= 0;
}

// The positions the last patch began to write.
bool gWritten[kPositions];

// The dump of `entry` written back to the device of position `pos`, up to
// three attempts (fOnlyWhenDiffers: not when the device already holds it);
// true when done.
bool RestorePosition(const char *szFunc, const VAKOFISENTRY &entry, int pos, bool fOnlyWhenDiffers)
{
    char szName[VAKO_FIS_NAME_SIZE + 1], szDev[32], szSrc[UPDT_QUOTED_ROOM], szCmd[UPDT_CMD_ROOM];
    VAKOFISEntryGetName(&entry, szName);
    snprintf(szDev, sizeof(szDev), UPDT_MTD_PREFIX "%d", pos);
    if (!QuoteDump(entry, szSrc, sizeof(szSrc)) || !FormatDd(szCmd, szSrc, pos, kWhole))
        return false;
    for (int k = 0; k < UPDT_ATTEMPTS; ++k) {
        if (fOnlyWhenDiffers && UPDTVerifyDump(szName, szDev) == 0)
            return true;
        syslog(LOG_ERR, "%s(%d): command=[%s]", szFunc, __LINE__, szCmd);
        if (UPDTExecute(szCmd) == 0 && UPDTVerifyDump(szName, szDev) == 0)
            return true;
    }
    syslog(LOG_ERR, "%s(%d): fail to restore [%s] after %d attempts", szFunc, __LINE__, szName, UPDT_ATTEMPTS);
    return false;
}

// The flash formatted and laid out as `units` says, up to three attempts.
bool FormatWithAttempts(const char *szFunc, const int *units)
{
    for (int k = 0; k < UPDT_ATTEMPTS; ++k) {
        if (UPDTMSysFormat(units, kPositions) == 0)
            return true;
    }
    syslog(LOG_ERR, "%s(%d): fail to resize", szFunc, __LINE__);
    return false;
}

} // namespace

extern "C" {

int UPDTMSysGetPartitionInfo(VAKOFISENTRY *pList)
{
    if (!pList) {
        syslog(LOG_ERR, "%s(%d): parameter error ", __func__, __LINE__);
        return -1;
    }
    // The appliance kernel's records are big-endian.
    uint32_t table[kPositions * 2];
    memset(table, 0, sizeof(table));
    Fd fd(open(kTableDevice, O_RDWR | O_CLOEXEC));
    if (fd.get() < 0) {
        syslog(LOG_ERR, "%s(%d): fail to open " UPDT_MTD_DEVICE(0) ", errno = %d", __func__, __LINE__, errno);
        return -1;
    }
    if (ioctl(fd.get(), VAKO_MTD_GET_PART_TABLE, table) < 0) {
        syslog(LOG_ERR, "%s(%d): fail to get partition information, errno = %d", __func__, __LINE__, errno);
        return -1;
    }
    UPDTMSysDecodePartitionTable(reinterpret_cast<const unsigned char *>(table), pList);
    return kPositions;
}

void UPDTMSysDecodePartitionTable(const unsigned char *pRaw, VAKOFISENTRY *pList)
{
    uint32_t base = 0;
    for (int i = 0; i < kPositions; ++i) {
        VAKOFISENTRY &entry = pList[i];
        // Rows past the layout's count have no name.
        if (i < gPartitionCount && gPatchInfo[i].part)
            strncpy(entry.name, gPatchInfo[i].part, sizeof(entry.name));
        entry.size = Be32At(pRaw + 8 * i);
        entry.data_length = Be32At(pRaw + 8 * i + 4);
        entry.flash_base = base;
        base += entry.size;
    }
}

int UPDTMSysInitPatchInfo(const VAKOFISENTRY *pList, int count)
{
    if (!pList || count <= 0) {
        syslog(LOG_ERR, "%s(%d): parameter error ", __func__, __LINE__);
        return -1;
    }
    gEraseBlockSize = kUnitSize;
    syslog(LOG_ERR, "Available flash units = %d blocks, eraseblock = %d bytes", kFlashUnits,
           static_cast<int>(gEraseBlockSize));
    // The table lays the partitions out one after the other: one that a
    // broken update left may reach past the flash.
    uint64_t span = 0;
    for (int i = 0; i < std::min(count, kPositions); ++i)
        span += pList[i].size;
    const uint64_t flash = uint64_t{kFlashUnits} * kUnitSize;
    if (span > flash) {
        syslog(LOG_ERR, "%s(%d): the partition table spans 0x%llX bytes, past the flash's 0x%llX", __func__, __LINE__,
               static_cast<unsigned long long>(span), static_cast<unsigned long long>(flash));
        return -1;
    }

    long long total = 0;
    for (int r = 0; r < RowsWithDevice(count); ++r) {
        const VAKOFISENTRY &entry = pList[r];
        PATCHINFO &row = gPatchInfo[r];
        struct stat st;
        long long blocks;
        row.start = entry.flash_base;
        row.size = entry.size;
        if (stat(row.file, &st) == 0) {
            row.datalen = static_cast<uint32_t>(st.st_size);
            blocks = st.st_size / gEraseBlockSize + (st.st_size % gEraseBlockSize ? 1 : 0);
            row.fneedupdate = 1;
        } else {
            syslog(LOG_ERR, "%s(%d): file [%s] not included in the patch package ", __func__, __LINE__, row.file);
            row.datalen = entry.data_length;
            blocks = UnitsOf(row.datalen, gEraseBlockSize);
            row.fneedupdate = 0;
        }
        row.nblockdelta = 0;
        row.balance = static_cast<int32_t>(row.size / gEraseBlockSize - blocks);
        syslog(LOG_ERR,
               "PATCHINFO: partition[%s] file[%s] start = [0x%08X] size[0x%d] datalen=[0x%08X] nblock[%lld] "
               "balance[%d] fneedupdate[%d]",
               row.part, row.file, row.start, static_cast<int>(row.size), row.datalen, blocks, row.balance,
               static_cast<int>(row.fneedupdate));
        total += blocks;
    }
    if (total > kFlashUnits) {
        syslog(LOG_ERR, "%s(%d): the binary size exceeds flash size limit(total = %lld blocks)", __func__, __LINE__,
               total);
        return -1;
    }
    return 0;
}

int UPDTMSysFormat(const int *pUnits, int n)
{
    if (!pUnits || n != kPositions) {
        syslog(LOG_ERR, "%s(%d): parameter error", __func__, __LINE__);
        return -1;
    }
    int32_t table[kPositions];
    for (int i = 0; i < kPositions; ++i)
        table[i] = static_cast<int32_t>(htobe32(static_cast<uint32_t>(pUnits[i])));
    Fd fd(open(kTableDevice, O_RDWR | O_CLOEXEC));
    if (fd.get() < 0) {
        syslog(LOG_ERR, "%s(%d): failed to open " UPDT_MTD_DEVICE(0) ", errno = %d", __func__, __LINE__, errno);
        return -1;
    }
    // The unit count goes by value, not by address.
    if (ioctl(fd.get(), VAKO_MTD_FORMAT, static_cast<unsigned long>(kFlashUnits)) < 0) {
        syslog(LOG_ERR, "%s(%d): failed to format, errno = %d", __func__, __LINE__, errno);
        return -1;
    }
    if (ioctl(fd.get(), VAKO_MTD_SET_PART_TABLE, table) < 0) {
        syslog(LOG_ERR, "%s(%d): failed to partition, errno = %d", __func__, __LINE__, errno);
        return -1;
    }
    return 0;
}

int UPDTMSysDoPatch(const VAKOFISENTRY *pList, int count, int *pRepartitioned)
{
    std::fill(std::begin(gWritten), std::end(gWritten), false);
    if (!pList || count <= 0 || !pRepartitioned) {
        syslog(LOG_ERR, "%s(%d): parameter error ", __func__, __LINE__);
        return -1;
    }
    const int rows = RowsWithDevice(count);

    if (HasNegativeBalance(gPatchInfo, gPartitionCount) == 1) {
        syslog(LOG_ERR, "%s(%d): NEED RE-PARTITION!!", __func__, __LINE__);
        if (gfGroupUpdate) {
            // No backup to fall back on: every row must bring its image.
            for (int r = 0; r < rows; ++r) {
                if (!FileExists(gPatchInfo[r].file)) {
                    syslog(LOG_ERR, "%s(%d): failed to update. [%s] does not exist", __func__, __LINE__,
                           gPatchInfo[r].file);
                    return -1;
                }
            }
        }
        if (ErrUPDTAdjustPartitionSize(gPatchInfo, gPartitionCount) < 0) {
            syslog(LOG_ERR, "%s(%d): fail to resize", __func__, __LINE__);
            return -1;
        }
        // Positions past the layout keep the kernel's sizes, so the table
        // still spans the same flash.
        int units[kPositions];
        for (int i = 0; i < kPositions; ++i) {
            uint32_t cb = i < gPartitionCount ? gPatchInfo[i].size : i < count ? pList[i].size : 0;
            units[i] = static_cast<int>(UnitsOf(cb));
        }
        // A format that failed may have erased the flash or laid out part of
        // the table: the rollback lays out the old one in any case.
        *pRepartitioned = 1;
        if (UPDTMSysFormat(units, kPositions) < 0) {
            syslog(LOG_ERR, "%s(%d): fail to resize", __func__, __LINE__);
            return -1;
        }
    }

    for (int r = 0; r < rows; ++r) {
        const PATCHINFO &row = gPatchInfo[r];
        if (*pRepartitioned == 0 && row.fneedupdate == 0) {
            syslog(LOG_ERR, "%s: skip updating [%s]", __func__, row.part);
            continue;
        }
        char szImage[UPDT_PATH_ROOM], szSrc[UPDT_QUOTED_ROOM], szCmd[UPDT_CMD_ROOM];
        long long units = kWhole;
        int n = snprintf(szImage, sizeof(szImage), "%s/%s", gszUpdateDir, row.file);
        bool fOk;
        if (n >= 0 && n < static_cast<int>(sizeof(szImage)) && FileExists(szImage)) {
            fOk = UPDTShellQuote(szImage, szSrc, sizeof(szSrc)) >= 0;
        } else {
            // A dump holds the old partition whole; a donor is smaller now.
            fOk = QuoteDump(pList[r], szSrc, sizeof(szSrc));
            units = UnitsOf(row.size);
        }
        if (!fOk) {
            syslog(LOG_ERR, "%s(%d): source of [%s] does not fit a command", __func__, __LINE__, row.part);
            return -1;
        }
        if (!FormatDd(szCmd, szSrc, r, units))
            return -1;
        syslog(LOG_ERR, "szCmd=[%s]", szCmd);
        gWritten[r] = true;
        if (UPDTExecute(szCmd) < 0)
            return -1;
        UPDTSetProgress('P', 65 + 5 * r);
        syslog(LOG_ERR, "%s: Finish updating [%s]", __func__, row.part);
    }
    return 0;
}

int UPDTMSysRollBack(const VAKOFISENTRY *pList, int count, int repartitioned)
{
    if (!pList || count <= 0) {
        syslog(LOG_ERR, "%s(%d): parameter error ", __func__, __LINE__);
        return -1;
    }
    const int rows = RowsWithDevice(count);
    if (repartitioned != 1 && std::none_of(gWritten, gWritten + rows, [](bool w) { return w; })) {
        syslog(LOG_ERR, "%s(%d): the patch changed no partition: nothing to roll back", __func__, __LINE__);
        return 0;
    }
    if (repartitioned == 1) {
        int units[kPositions];
        for (int i = 0; i < kPositions; ++i)
            units[i] = i < count ? static_cast<int>(UnitsOf(pList[i].size)) : 0;
        // The dumps fit no other table.
        if (!FormatWithAttempts(__func__, units))
            return -1;
    }
    // Every position is tried: one that cannot be restored stops no other.
    int result = 0;
    for (int r = 0; r < rows; ++r) {
        if (repartitioned != 1 && !gWritten[r]) {
            syslog(LOG_ERR, "%s: skip recoverying [%s]", __func__, gPatchInfo[r].part);
            continue;
        }
        if (!RestorePosition(__func__, pList[r], r, false)) {
            result = -1;
            continue;
        }
        UPDTSetProgress('P', 65 + 5 * r);
        syslog(LOG_ERR, "%s: Finish updating [%s]", __func__, gPatchInfo[r].part);
    }
    return result;
}

int UPDTMSysRecoverFromBackup(void)
{
    VAKOFISENTRY list[kPositions];
    memset(list, 0, sizeof(list));
    int count = UPDTMSysGetPartitionInfo(list);
    if (count < 0)
        return -1;
    const int rows = RowsWithDevice(count);
    // The old table: the dumps' sizes; positions past the layout have no
    // dump and keep the kernel's.
    bool fOtherTable = false;
    int units[kPositions];
    for (int i = 0; i < kPositions; ++i) {
        if (i < rows) {
            char szName[VAKO_FIS_NAME_SIZE + 1];
            VAKOFISEntryGetName(&list[i], szName);
            int64_t size = UPDTDumpSize(szName);
            if (size <= 0 || size > static_cast<int64_t>(kFlashUnits) * kUnitSize) {
                syslog(LOG_ERR, "%s(%d): no dump of [%s]", __func__, __LINE__, szName);
                return -1;
            }
            fOtherTable = fOtherTable || static_cast<uint32_t>(size) != list[i].size;
            list[i].size = static_cast<uint32_t>(size);
        }
        units[i] = static_cast<int>(UnitsOf(list[i].size));
    }
    if (fOtherTable && !FormatWithAttempts(__func__, units))
        return -1;
    int result = 0;
    for (int r = 0; r < rows; ++r) {
        if (!RestorePosition(__func__, list[r], r, true))
            result = -1;
    }
    return result;
}

int UPDTMSysUpdate(char *pStage)
{
    VAKOFISENTRY list[kPositions];
    memset(list, 0, sizeof(list));
    int repartitioned = 0;
    int result = UPDT_SUCCESS;
    char stage = 'P';
    if (!pStage)
        pStage = &stage;

    *pStage = 'P';
    UPDTSetProgress(*pStage, 0);

    int count = UPDTMSysGetPartitionInfo(list);
    if (count < 0)
        return UPDT_ERR_PART_INFO;
    syslog(LOG_ERR, "number of partitions = [%d]", count);
    for (int i = 0; i < count; ++i)
        syslog(LOG_ERR, "[%.*s]  0x%08lX  0x%08lX  0x%08lX\n", VAKO_FIS_NAME_SIZE, list[i].name,
               static_cast<unsigned long>(list[i].flash_base), static_cast<unsigned long>(list[i].size),
               static_cast<unsigned long>(list[i].data_length));
    UPDTSetProgress(*pStage, 10);

    if (UPDTMSysInitPatchInfo(list, count) < 0) {
        syslog(LOG_ERR, "%s(%d): fail to initialize patch info ", __func__, __LINE__);
        return UPDT_ERR_PATCH_INFO;
    }
    UPDTSetProgress(*pStage, 20);

    // Only the positions that have a device can be dumped.
    if (!gfGroupUpdate && (UPDTBackupOldPartition(list, RowsWithDevice(count)) < 0 ||
                           UPDTMarkBackup(list, RowsWithDevice(count), 1) < 0)) {
        syslog(LOG_ERR, "%s(%d): fail to backup old patch info ", __func__, __LINE__);
        return UPDT_ERR_BACKUP;
    }
    UPDTSetProgress(*pStage, 60);

    if (UPDTMSysDoPatch(list, count, &repartitioned) < 0) {
        syslog(LOG_ERR, "%s(%d): fail to patch new binaries!!", __func__, __LINE__);
        result = UPDT_ERR_FLASH;
    } else {
        syslog(LOG_ERR, "%s(%d): Turn on the reinstall library flag...!!", __func__, __LINE__);
        UPDTSetProgress(*pStage, 100);
        *pStage = 'C';
        UPDTSetProgress(*pStage, 0);
        if (!gfGroupUpdate && UPDTUpdateConfig() == -1) {
            result = UPDT_ERR_CONFIG;
        } else {
            UPDTSetProgress(*pStage, 100);
            *pStage = 'R';
            UPDTSetProgress(*pStage, 0);
            syslog(LOG_ERR, "Congratulation!! The update has been completed!!");
            UPDTWriteLog("Congratulation!! The update has been completed!!");
        }
    }

    bool fFlashGood = true;
    if (result != UPDT_SUCCESS && !gfGroupUpdate) {
        fFlashGood = UPDTMSysRollBack(list, count, repartitioned) == 0;
        if (!fFlashGood)
            syslog(LOG_ERR, "%s: UPDTRollBack() fail", __func__);
        syslog(LOG_ERR, "%s(%d): Turn on the reinstall library flag...!!", __func__, __LINE__);
    }

    UPDTMoveArchive("UPDTMSysUpdate");
    // The backup is the only good copy of a flash that was not restored.
    if (fFlashGood)
        UPDTRemoveBackupDir();
    else
        UPDTKeepBackup(__func__);
    return result;
}

} // extern "C"
