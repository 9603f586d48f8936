// Progress, message and update-log files.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "slib/conf_write.h"
#include "slib/error.h"
#include "slibcxx/raii.h"
#include "updater.h"

namespace {

constexpr int kLockRetries = 20;
constexpr useconds_t kLockPauseUs = 337;

// The fixed names lie in the world-writable /tmp and are opened by root:
// a planted symbolic link must not redirect the write.
slib::FilePtr OpenInPlace(const char *szPath)
{
    slib::Fd fd(open(szPath, O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    const char *mode = "r+";
    if (!fd.ok()) {
        fd.reset(open(szPath, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
        mode = "w";
    }
    if (!fd.ok())
        return nullptr;
    slib::FilePtr fp(fdopen(fd.get(), mode));
    if (fp)
        fd.release(); // the stream owns it now
    return fp;
}

bool TryLock(FILE *fp) { return flock(fileno(fp), LOCK_EX | LOCK_NB) == 0; }

} // namespace

extern "C" {

int UPDTWriteFileLocked(const char *szPath, const char *szText, int fWait)
{
    if (!szPath)
        return -1;
    if (!szText)
        return -3;
    slib::FilePtr fp = OpenInPlace(szPath);
    if (!fp)
        return -1;
    bool locked = TryLock(fp.get());
    if (!locked && fWait) {
        for (int i = 0; i < kLockRetries && !locked; ++i) {
            locked = TryLock(fp.get());
            if (!locked)
                usleep(kLockPauseUs);
        }
    }
    if (!locked)
        return -2;
    // Flushed before the lock goes, so a reader holding the lock sees it whole.
    int ret = (fputs(szText, fp.get()) == EOF || fflush(fp.get()) != 0) ? -3 : 0;
    flock(fileno(fp.get()), LOCK_UN);
    return ret;
}

void UPDTSetProgress(char stage, int value)
{
    char szText[64];
    snprintf(szText, sizeof(szText), "%c:%d:      ", stage, value);
    UPDTWriteFileLocked(UPDT_PROGRESS_FILE, szText, 1);
}

void UPDTSetMessage(const char *szKey, const char *szValue)
{
    char szText[1024];
    snprintf(szText, sizeof(szText), "%s=\"%s\"", szKey ? szKey : "", szValue ? szValue : "");
    UPDTWriteFileLocked(UPDT_MESSAGE_FILE, szText, 1);
}

void UPDTWriteMessage(const char *szText)
{
    SLIBFileSetKeyValue(UPDT_MESSAGE_FILE, "extramsg", szText, "%s=\"%s\"\n");
}

void UPDTWriteLog(const char *szText)
{
    if (!szText)
        return;
    size_t cbLine = strlen(szText) + 24;
    slib::HeapPtr<char> szLine(static_cast<char *>(malloc(cbLine)));
    if (!szLine)
        return;
    char szTime[64] = "";
    time_t now = time(nullptr);
    struct tm tmNow;
    if (localtime_r(&now, &tmNow))
        strftime(szTime, sizeof(szTime), "%Y/%m/%d %H:%M:%S", &tmNow);
    snprintf(szLine.get(), cbLine, "%s\t%s", szTime, szText);
    SLIBErrorLogSet(UPDT_LOG_FILE, szLine.get());
}

void UPDTCheckLogSize(void)
{
    struct stat st;
    if (stat(UPDT_LOG_FILE, &st) == 0 && static_cast<int64_t>(st.st_size) > 10000)
        SLIBErrorLogReset(UPDT_LOG_FILE);
}

} // extern "C"
