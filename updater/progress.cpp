// Progress, message and update-log files.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "slib/conf_read.h"
#include "slib/conf_write.h"
#include "slib/error.h"
#include "slibcxx/raii.h"
#include "updater.h"

namespace {

constexpr int kLockRetries = 20;
constexpr useconds_t kLockPauseUs = 337;

constexpr const char *kWriter = "UPDTWriteFileLocked";
constexpr const char *kMessageKey = "extramsg";

// A file that only the updater made and names: regular, its own, one link.
bool OwnPlainFile(const struct stat &st) { return S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1; }

// Removes a name that is not a plain file of the updater: 0, or -1; logged
// under szFunc's name.
int Drop(const char *szFunc, const char *szPath)
{
    syslog(LOG_ERR, "%s(%d): [%s] is not a plain file of the updater, made anew", szFunc, __LINE__, szPath);
    if (unlink(szPath) != 0 && errno != ENOENT) {
        syslog(LOG_ERR, "%s(%d): fail to remove [%s], errno = %d", szFunc, __LINE__, szPath, errno);
        return -1;
    }
    return 0;
}

// The fixed names lie in the world-writable /tmp and are opened by root.
// Whatever another user planted there (a link that would redirect the
// write, a FIFO that would block it, a file of its own, a second name of
// another file) is removed and a fresh file made in its place; nothing
// here waits.  The descriptor, or none when no file of our own can be had.
slib::Fd OpenInPlace(const char *szPath)
{
    slib::Fd fd(open(szPath, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (fd.ok() && fstat(fd.get(), &st) == 0 && OwnPlainFile(st))
        return fd;
    if (fd.ok() || errno == ELOOP || errno == ENXIO) {
        fd.reset();
        if (Drop(kWriter, szPath) < 0)
            return fd;
    } else if (errno != ENOENT) {
        return fd;
    }
    // Exclusive: a name planted since is not ours to write through.
    fd.reset(open(szPath, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd.ok())
        syslog(LOG_ERR, "%s(%d): fail to create [%s], errno = %d", kWriter, __LINE__, szPath, errno);
    return fd;
}

bool TryLock(int fd) { return flock(fd, LOCK_EX | LOCK_NB) == 0; }

// UPDTWriteFileLocked; on success *pAfter is the file's status after the write.
int WriteLocked(const char *szPath, const char *szText, int fWait, struct stat *pAfter)
{
    if (!szPath)
        return -1;
    if (!szText)
        return -3;
    slib::Fd fd = OpenInPlace(szPath);
    if (!fd.ok())
        return -1;
    bool locked = TryLock(fd.get());
    if (!locked && fWait) {
        for (int i = 0; i < kLockRetries && !locked; ++i) {
            locked = TryLock(fd.get());
            if (!locked)
                usleep(kLockPauseUs);
        }
    }
    if (!locked)
        return -2;
    // Over the first bytes, without shortening the file; written before the
    // lock goes, so a reader holding the lock sees it whole.
    size_t len = strlen(szText);
    int ret = pwrite(fd.get(), szText, len, 0) == static_cast<ssize_t>(len) ? 0 : -3;
    if (ret == 0 && fstat(fd.get(), pAfter) != 0)
        ret = -3;
    flock(fd.get(), LOCK_UN);
    return ret;
}

// The progress text last written and the file it went to.  The same text
// over the same, unchanged file changes nothing that a reader can see: a
// copy block after block writes only the values that differ.
struct LastProgress {
    char szText[64] = "";
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {};
} gLastProgress;

bool SameFile(const struct stat &a, const LastProgress &b)
{
    return a.st_dev == b.dev && a.st_ino == b.ino && a.st_size == b.size && a.st_mtim.tv_sec == b.mtime.tv_sec &&
           a.st_mtim.tv_nsec == b.mtime.tv_nsec;
}

} // namespace

extern "C" {

int UPDTDropPlantedFile(const char *szPath)
{
    struct stat st;
    if (!szPath || lstat(szPath, &st) != 0 || OwnPlainFile(st))
        return 0;
    return Drop(__func__, szPath) == 0 ? 1 : -1;
}

int UPDTWriteFileLocked(const char *szPath, const char *szText, int fWait)
{
    struct stat after;
    return WriteLocked(szPath, szText, fWait, &after);
}

void UPDTSetProgress(char stage, int value)
{
    char szText[sizeof(gLastProgress.szText)];
    snprintf(szText, sizeof(szText), "%c:%d:      ", stage, value);
    struct stat st;
    if (gLastProgress.szText[0] && !strcmp(szText, gLastProgress.szText) && lstat(UPDT_PROGRESS_FILE, &st) == 0 &&
        SameFile(st, gLastProgress))
        return;
    gLastProgress.szText[0] = '\0';
    if (WriteLocked(UPDT_PROGRESS_FILE, szText, 1, &st) != 0)
        return; // a failure is not reported; the next value tries again
    memcpy(gLastProgress.szText, szText, sizeof(szText));
    gLastProgress.dev = st.st_dev;
    gLastProgress.ino = st.st_ino;
    gLastProgress.size = st.st_size;
    gLastProgress.mtime = st.st_mtim;
}

void UPDTSetMessage(const char *szKey, const char *szValue)
{
    char szText[1024];
    snprintf(szText, sizeof(szText), "%s=\"%s\"", szKey ? szKey : "", szValue ? szValue : "");
    UPDTWriteFileLocked(UPDT_MESSAGE_FILE, szText, 1);
}

void UPDTWriteMessage(const char *szText)
{
    constexpr const char *kFormat = "%s=\"%s\"\n";
    // The writer refuses a name that another user left in /tmp; that name
    // goes, so that the user still gets the message.
    if (SLIBFileSetKeyValue(UPDT_MESSAGE_FILE, kMessageKey, szText, kFormat) < 0 &&
        UPDTDropPlantedFile(UPDT_MESSAGE_FILE) == 1)
        SLIBFileSetKeyValue(UPDT_MESSAGE_FILE, kMessageKey, szText, kFormat);
}

void UPDTDropMessage(const char *szText)
{
    char szValue[1024];
    if (szText && SLIBFileGetKeyValue(UPDT_MESSAGE_FILE, kMessageKey, szValue, sizeof(szValue), 0) > 0 &&
        strcmp(szValue, szText) == 0)
        SLIBFileRemoveKey(UPDT_MESSAGE_FILE, kMessageKey);
}

void UPDTWriteLog(const char *szText)
{
    if (!szText)
        return;
    // The log is shown as it stands (the web page shows it): a control byte
    // of a text that came from a package would move the cursor, clear the
    // screen or start a line of its own.  Each one is written as \xNN.
    size_t cbLine = 4 * strlen(szText) + 24;
    slib::HeapPtr<char> szLine(static_cast<char *>(malloc(cbLine)));
    if (!szLine)
        return;
    char szTime[64] = "";
    time_t now = time(nullptr);
    struct tm tmNow;
    if (localtime_r(&now, &tmNow))
        strftime(szTime, sizeof(szTime), "%Y/%m/%d %H:%M:%S", &tmNow);
    char *p = szLine.get() + snprintf(szLine.get(), cbLine, "%s\t", szTime);
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(szText); *c; ++c) {
        if (*c < 0x20 || *c == 0x7f)
            p += sprintf(p, "\\x%02x", *c);
        else
            *p++ = static_cast<char>(*c);
    }
    *p = '\0';
    SLIBErrorLogSet(UPDT_LOG_FILE, szLine.get());
}

void UPDTCheckLogSize(void)
{
    // A link at the log's name is not the log: its target is never emptied.
    struct stat st;
    if (lstat(UPDT_LOG_FILE, &st) == 0 && S_ISREG(st.st_mode) && static_cast<int64_t>(st.st_size) > 10000)
        SLIBErrorLogReset(UPDT_LOG_FILE);
}

} // extern "C"
