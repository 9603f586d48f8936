// Partition backup, copy and verify.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "slibcxx/raii.h"
#include "slibcxx/replace.h"

#include <memory>
#include <string>

#include "flash.h"

namespace {

constexpr int kDumpBlock = 16384;

using slib::Fd;

using Buffer = slib::HeapPtr<unsigned char>;

ssize_t ReadRetry(int fd, void *buf, size_t n)
{
    ssize_t got;
    do {
        errno = 0;
        got = read(fd, buf, n);
    } while (got < 0 && errno == EINTR);
    return got;
}

// Reads szSrc block by block to its end and hands each block to onBlock
// (device descriptor, file bytes, count, scratch buffer, offset) with the
// device opened by devFlags; onBlock logs its own failures.
template <class OnBlock>
int StreamFile(const char *szFunc, const char *szSrc, const char *szDev, int64_t len, int blockSize, int devFlags,
               bool fScratch, bool fProgress, OnBlock onBlock)
{
    if (!szSrc || !szDev || len <= 0 || blockSize <= 0)
        return -1;
    Fd src(open(szSrc, O_RDONLY | O_CLOEXEC));
    if (src.get() <= 0) {
        syslog(LOG_ERR, "%s:%d(%s) open [%s] error: (%d) %s.", UPDT_SOURCE_FILE, __LINE__, szFunc, szSrc, errno,
               strerror(errno));
        return -1;
    }
    Fd dev(open(szDev, devFlags | O_CLOEXEC));
    if (dev.get() <= 0) {
        syslog(LOG_ERR, "%s:%d(%s) open [%s] error: (%d) %s.", UPDT_SOURCE_FILE, __LINE__, szFunc, szDev, errno,
               strerror(errno));
        return -1;
    }
    Buffer data(static_cast<unsigned char *>(malloc(blockSize)));
    Buffer scratch(fScratch ? static_cast<unsigned char *>(malloc(blockSize)) : nullptr);
    if (!data || (fScratch && !scratch)) {
        syslog(LOG_ERR, "%s:%d(%s) malloc [%d] fail: (%d) %s.", UPDT_SOURCE_FILE, __LINE__, szFunc, blockSize, errno,
               strerror(errno));
        return -1;
    }
    uint64_t done = 0;
    for (;;) {
        ssize_t n = ReadRetry(src.get(), data.get(), blockSize);
        if (n == 0)
            break;
        if (n < 0) {
            syslog(LOG_ERR, "%s:%d(%s) read file [%s] error: (%d) %s.", UPDT_SOURCE_FILE, __LINE__, szFunc, szSrc,
                   errno, strerror(errno));
            return -1;
        }
        if (!onBlock(dev.get(), data.get(), n, scratch.get(), done))
            return -1;
        done += n;
        if (fProgress) {
            gullProgressDone += n;
            UPDTSetCopyProgress();
        }
    }
    if (done != static_cast<uint64_t>(len))
        syslog(LOG_ERR, "%s:%d(%s) read file [%s] only %llu bytes, %llu bytes needed: (%d) %s.", UPDT_SOURCE_FILE,
               __LINE__, szFunc, szSrc, static_cast<unsigned long long>(done), static_cast<unsigned long long>(len),
               errno, strerror(errno));
    return 0;
}

// Reads the device beside the file and compares them block by block.
int Compare(const char *szFunc, const char *szSrc, const char *szDev, int64_t len, int blockSize, bool fProgress)
{
    return StreamFile(szFunc, szSrc, szDev, len, blockSize, O_RDONLY, true, fProgress,
                      [&](int dev, const unsigned char *data, ssize_t n, unsigned char *onDev, uint64_t offset) {
                          if (ReadRetry(dev, onDev, n) != n) {
                              syslog(LOG_ERR, "%s:%d(%s) read file [%s] error: (%d) %s.", UPDT_SOURCE_FILE, __LINE__,
                                     szFunc, szDev, errno, strerror(errno));
                              return false;
                          }
                          if (memcmp(data, onDev, n) != 0) {
                              syslog(LOG_ERR, "%s:%d(%s) compare file [%s] vs [%s] error at offset 0x%llX",
                                     UPDT_SOURCE_FILE, __LINE__, szFunc, szSrc, szDev,
                                     static_cast<unsigned long long>(offset));
                              return false;
                          }
                          return true;
                      });
}

constexpr const char *kSecondRoad = "second", *kNormalRoad = "normal";

// A path in the package directory: the name, or the mark when NULL.
bool PackagePath(const char *szName, char *szOut, size_t cbOut)
{
    int n = snprintf(szOut, cbOut, "%s/%s", gszUpdateDir, szName);
    return n >= 0 && static_cast<size_t>(n) < cbOut;
}

// The mark's text: the road, then "<bytes> <partition name>" per dump.
bool MarkText(const VAKOFISENTRY *pList, int count, bool fSecondRoad, std::string &text)
{
    text = std::string(fSecondRoad ? kSecondRoad : kNormalRoad) + "\n";
    for (int k = 0; k < count; ++k) {
        char szName[VAKO_FIS_NAME_SIZE + 1], szDump[UPDT_PATH_ROOM];
        VAKOFISEntryGetName(&pList[k], szName);
        struct stat st;
        // The dump reaches the disk before the mark can say it is there.
        if (UPDTBackupPath(szName, szDump, sizeof(szDump)) < 0 || stat(szDump, &st) != 0 || !S_ISREG(st.st_mode) ||
            !slib::SyncPath(szDump)) {
            syslog(LOG_ERR, "%s(%d): dump of [%s] cannot be read or flushed, errno = %d", "UPDTMarkBackup", __LINE__,
                   szName, errno);
            return false;
        }
        text += std::to_string(static_cast<long long>(st.st_size)) + " " + szName + "\n";
    }
    return true;
}

// The message that says where the backup of a flash not known good is kept.
void KeptBackupMessage(char *szDir, size_t cbDir, char *szText, size_t cbText)
{
    if (UPDTBackupPath(nullptr, szDir, static_cast<int>(cbDir)) < 0)
        snprintf(szDir, cbDir, "%s", UPDT_BACKUP_DIR);
    snprintf(szText, cbText, "The flash could not be restored. Its backup is kept in %s.", szDir);
}

} // namespace

extern "C" {

uint64_t gullProgressTotal;
uint64_t gullProgressDone;

void UPDTSetCopyProgress(void)
{
    if (gullProgressTotal == 0)
        return;
    UPDTSetProgress('P', static_cast<int>(60 + gullProgressDone * 40 / gullProgressTotal));
}

int UPDTBackupPath(const char *szName, char *szOut, int cbOut)
{
    if (!szOut || cbOut <= 0)
        return -1;
    int n = szName ? snprintf(szOut, cbOut, "%s/%s/mtd_%s", gszUpdateDir, UPDT_BACKUP_DIR, szName)
                   : snprintf(szOut, cbOut, "%s/%s", gszUpdateDir, UPDT_BACKUP_DIR);
    return n >= 0 && n < cbOut ? n : -1;
}

int UPDTQuoteBackupPath(const char *szName, char *szOut, int cbOut)
{
    char szPath[UPDT_PATH_ROOM];
    if (UPDTBackupPath(szName, szPath, sizeof(szPath)) < 0)
        return -1;
    return UPDTShellQuote(szPath, szOut, cbOut);
}

int64_t UPDTDumpSize(const char *szName)
{
    char szPath[UPDT_PATH_ROOM];
    struct stat st;
    if (!szName || UPDTBackupPath(szName, szPath, sizeof(szPath)) < 0 || stat(szPath, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return st.st_size;
}

int UPDTVerifyDump(const char *szName, const char *szDev)
{
    char szPath[UPDT_PATH_ROOM];
    int64_t size = UPDTDumpSize(szName);
    if (size <= 0 || UPDTBackupPath(szName, szPath, sizeof(szPath)) < 0) {
        syslog(LOG_ERR, "%s(%d): no dump of [%s]", __func__, __LINE__, szName ? szName : "");
        return -1;
    }
    return Compare(__func__, szPath, szDev, size, kDumpBlock, false);
}

int UPDTMarkBackup(const VAKOFISENTRY *pList, int count, int fSecondRoad)
{
    if (!pList || count <= 0) {
        syslog(LOG_ERR, "%s(%d): parameter error ", __func__, __LINE__);
        return -1;
    }
    std::string text;
    char szDir[UPDT_PATH_ROOM], szMark[UPDT_PATH_ROOM], szNew[UPDT_PATH_ROOM];
    if (!MarkText(pList, count, fSecondRoad, text) || UPDTBackupPath(nullptr, szDir, sizeof(szDir)) < 0 ||
        !slib::SyncPath(szDir, O_DIRECTORY) || !PackagePath(UPDT_BACKUP_MARK, szMark, sizeof(szMark)) ||
        !PackagePath(UPDT_BACKUP_MARK ".new", szNew, sizeof(szNew))) {
        syslog(LOG_ERR, "%s(%d): the backup cannot be made safe, errno = %d", __func__, __LINE__, errno);
        return -1;
    }
    // Whole or not at all: written aside, flushed, renamed, the rename
    // flushed. The updater's steps record no codes.
    slib::FileReplacer out(nullptr);
    if (out.CreateFixed(szNew, 0600) && out.Write(text) && out.Finish() && out.RenameOver(szMark) &&
        out.SyncDirectory(szMark))
        return 0;
    syslog(LOG_ERR, "%s(%d): fail to write [%s], errno = %d", __func__, __LINE__, szMark, errno);
    out.Discard();
    // A mark that is not known to be on the disk names nothing.
    unlink(szMark);
    return -1;
}

int UPDTCheckBackupMark(int fSecondRoad)
{
    char szMark[UPDT_PATH_ROOM];
    if (!PackagePath(UPDT_BACKUP_MARK, szMark, sizeof(szMark)))
        return -1;
    slib::FilePtr fp(fopen(szMark, "re"));
    if (!fp) {
        if (errno == ENOENT)
            return 0;
        syslog(LOG_ERR, "%s(%d): fail to read [%s], errno = %d", __func__, __LINE__, szMark, errno);
        return -1;
    }
    char szLine[256];
    const char *szRoad = fSecondRoad ? kSecondRoad : kNormalRoad;
    if (!fgets(szLine, sizeof(szLine), fp.get()) || strcspn(szLine, "\n") != strlen(szRoad) ||
        strncmp(szLine, szRoad, strlen(szRoad)) != 0) {
        syslog(LOG_ERR, "%s(%d): [%s] is not a mark of the %s road", __func__, __LINE__, szMark, szRoad);
        return -1;
    }
    int dumps = 0;
    while (fgets(szLine, sizeof(szLine), fp.get())) {
        szLine[strcspn(szLine, "\n")] = '\0';
        char *szName = nullptr;
        long long size = strtoll(szLine, &szName, 10);
        if (szName == szLine || *szName != ' ' || size <= 0 || UPDTDumpSize(szName + 1) != size) {
            syslog(LOG_ERR, "%s(%d): the dump [%s] is not as the mark [%s] says", __func__, __LINE__, szLine, szMark);
            return -1;
        }
        ++dumps;
    }
    if (dumps == 0) {
        syslog(LOG_ERR, "%s(%d): the mark [%s] names no dump", __func__, __LINE__, szMark);
        return -1;
    }
    return 1;
}

void UPDTRemoveBackupMark(void)
{
    char szMark[UPDT_PATH_ROOM];
    if (PackagePath(UPDT_BACKUP_MARK, szMark, sizeof(szMark)) && unlink(szMark) == 0)
        slib::SyncPath(gszUpdateDir, O_DIRECTORY);
}

void UPDTKeepBackup(const char *szFunc)
{
    char szDir[UPDT_PATH_ROOM], szText[UPDT_PATH_ROOM + 128];
    KeptBackupMessage(szDir, sizeof(szDir), szText, sizeof(szText));
    syslog(LOG_ERR, "%s(%d): the flash is not restored; its backup is kept in [%s]", szFunc, __LINE__, szDir);
    UPDTWriteMessage(szText);
}

void UPDTForgetKeptBackup(void)
{
    char szDir[UPDT_PATH_ROOM], szText[UPDT_PATH_ROOM + 128];
    KeptBackupMessage(szDir, sizeof(szDir), szText, sizeof(szText));
    UPDTDropMessage(szText);
}

int UPDTBackupOldPartition(const VAKOFISENTRY *pList, int count)
{
    if (!pList || count <= 0) {
        syslog(LOG_ERR, "%s(%d): parameter error ", __func__, __LINE__);
        return -1;
    }
    char szMark[UPDT_PATH_ROOM];
    if (!PackagePath(UPDT_BACKUP_MARK, szMark, sizeof(szMark)) || access(szMark, F_OK) == 0) {
        // The only good copy of a flash that an update left changed.
        syslog(LOG_ERR, "%s(%d): the backup of an interrupted update is kept, not replaced", __func__, __LINE__);
        return -1;
    }
    char szDir[UPDT_QUOTED_ROOM], szCmd[UPDT_CMD_ROOM];
    if (UPDTQuoteBackupPath(nullptr, szDir, sizeof(szDir)) < 0 ||
        UPDTFormatCommand(szCmd, sizeof(szCmd), UPDT_BIN_RM " -rf %s; " UPDT_BIN_MKDIR " -p %s", szDir, szDir) < 0)
        return -1;
    syslog(LOG_ERR, "szCmd=[%s]", szCmd);
    if (UPDTExecute(szCmd) < 0)
        return -1;

    for (int k = 0; k < count; ++k) {
        char szName[VAKO_FIS_NAME_SIZE + 1];
        VAKOFISEntryGetName(&pList[k], szName);
        const char *szDev = SzUPDTGetDeviceByName(szName);
        if (!szDev) {
            syslog(LOG_ERR, "%s(%d): fail to get device path", __func__, __LINE__);
            return -1;
        }
        char szQuotedDev[UPDT_QUOTED_ROOM], szDump[UPDT_QUOTED_ROOM];
        if (UPDTShellQuote(szDev, szQuotedDev, sizeof(szQuotedDev)) < 0 ||
            UPDTQuoteBackupPath(szName, szDump, sizeof(szDump)) < 0 ||
            UPDTFormatCommand(szCmd, sizeof(szCmd), UPDT_BIN_DD " if=%s of=%s bs=%d", szQuotedDev, szDump, kDumpBlock) <
                0)
            return -1;
        syslog(LOG_ERR, "%s(%d): command=[%s]", __func__, __LINE__, szCmd);
        if (UPDTExecute(szCmd) < 0)
            return -1;
        UPDTSetProgress('P', 30 + 5 * k);
    }
    return 0;
}

int UPDTCopyFile(const char *szSrc, const char *szDev, int64_t len, int blockSize)
{
    return StreamFile(__func__, szSrc, szDev, len, blockSize, O_WRONLY, false, true,
                      [&](int dev, const unsigned char *data, ssize_t n, unsigned char *, uint64_t) {
                          if (write(dev, data, n) == n)
                              return true;
                          syslog(LOG_ERR, "%s:%d(%s) write file [%s] error: (%d) %s.", UPDT_SOURCE_FILE, __LINE__,
                                 "UPDTCopyFile", szDev, errno, strerror(errno));
                          return false;
                      });
}

int UPDTVerifyFile(const char *szSrc, const char *szDev, int64_t len, int blockSize)
{
    return Compare(__func__, szSrc, szDev, len, blockSize, true);
}

void UPDTRemoveBackupDir(void)
{
    // The mark goes first: it never names a backup that is not whole.
    UPDTRemoveBackupMark();
    char szQuoted[UPDT_QUOTED_ROOM], szCmd[UPDT_CMD_ROOM];
    if (UPDTQuoteBackupPath(nullptr, szQuoted, sizeof(szQuoted)) < 0 ||
        UPDTFormatCommand(szCmd, sizeof(szCmd), UPDT_BIN_RM " -rf %s", szQuoted) < 0)
        return;
    syslog(LOG_ERR, "szCmd=[%s]", szCmd);
    UPDTExecute(szCmd);
}

} // extern "C"
