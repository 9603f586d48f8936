// Partition backup, copy and verify.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include "slibcxx/raii.h"

#include <memory>

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
               bool fScratch, OnBlock onBlock)
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
        gullProgressDone += n;
        UPDTSetCopyProgress();
    }
    if (done != static_cast<uint64_t>(len))
        syslog(LOG_ERR, "%s:%d(%s) read file [%s] only %llu bytes, %llu bytes needed: (%d) %s.", UPDT_SOURCE_FILE,
               __LINE__, szFunc, szSrc, static_cast<unsigned long long>(done), static_cast<unsigned long long>(len),
               errno, strerror(errno));
    return 0;
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

int UPDTQuoteBackupPath(const char *szName, char *szOut, int cbOut)
{
    char szPath[UPDT_PATH_ROOM];
    int n = szName ? snprintf(szPath, sizeof(szPath), "%s/%s/mtd_%s", gszUpdateDir, UPDT_BACKUP_DIR, szName)
                   : snprintf(szPath, sizeof(szPath), "%s/%s", gszUpdateDir, UPDT_BACKUP_DIR);
    if (n < 0 || n >= static_cast<int>(sizeof(szPath)))
        return -1;
    return UPDTShellQuote(szPath, szOut, cbOut);
}

int UPDTBackupOldPartition(const VAKOFISENTRY *pList, int count)
{
    if (!pList || count <= 0) {
        syslog(LOG_ERR, "%s(%d): parameter error ", __func__, __LINE__);
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
    return StreamFile(__func__, szSrc, szDev, len, blockSize, O_WRONLY, false,
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
    return StreamFile(__func__, szSrc, szDev, len, blockSize, O_RDONLY, true,
                      [&](int dev, const unsigned char *data, ssize_t n, unsigned char *onDev, uint64_t offset) {
                          if (ReadRetry(dev, onDev, n) != n) {
                              syslog(LOG_ERR, "%s:%d(%s) read file [%s] error: (%d) %s.", UPDT_SOURCE_FILE, __LINE__,
                                     "UPDTVerifyFile", szDev, errno, strerror(errno));
                              return false;
                          }
                          if (memcmp(data, onDev, n) != 0) {
                              syslog(LOG_ERR, "%s:%d(%s) compare file [%s] vs [%s] error at offset 0x%llX",
                                     UPDT_SOURCE_FILE, __LINE__, "UPDTVerifyFile", szSrc, szDev,
                                     static_cast<unsigned long long>(offset));
                              return false;
                          }
                          return true;
                      });
}

void UPDTRemoveBackupDir(void)
{
    char szQuoted[UPDT_QUOTED_ROOM], szCmd[UPDT_CMD_ROOM];
    if (UPDTQuoteBackupPath(nullptr, szQuoted, sizeof(szQuoted)) < 0 ||
        UPDTFormatCommand(szCmd, sizeof(szCmd), UPDT_BIN_RM " -rf %s", szQuoted) < 0)
        return;
    syslog(LOG_ERR, "szCmd=[%s]", szCmd);
    UPDTExecute(szCmd);
}

} // extern "C"
