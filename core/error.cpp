#include "slib/error.h"

#include <execinfo.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "slibcxx/raii.h"
#include "slibcxx/replace.h"

namespace {

constexpr const char *kConsole = "/dev/console";
constexpr const char *kSrcLogSet = "error_log_set";

SLIBERRORSTATE gErrorState;

// Runs at normal exit; the program's only exit-time destructor of its own.
__attribute__((destructor)) void ErrorStateAtExit() { SLIBErrorBacktraceFree(); }

// Only the return addresses: failures that callers expect ("not found")
// are frequent, and their frames are seldom printed.
void RecordBacktrace()
{
    SLIBErrorBacktraceFree();
    int n = backtrace(gErrorState.pFrame, SLIB_ERROR_MAX_FRAMES);
    gErrorState.nFrame = n > 0 ? n : 0;
}

// The texts of the recorded frames, made when first asked for: false when
// none are recorded or they cannot be made (the record then holds none).
bool FrameTexts()
{
    if (gErrorState.ppszFrame)
        return true;
    if (gErrorState.nFrame <= 0)
        return false;
    gErrorState.ppszFrame = backtrace_symbols(gErrorState.pFrame, gErrorState.nFrame);
    if (!gErrorState.ppszFrame)
        gErrorState.nFrame = 0;
    return gErrorState.ppszFrame != nullptr;
}

// Opens a text log, created when missing (the permissions of a plain
// create), without following a link at its name; what is there must be a
// regular file, so that nothing waits on a FIFO or writes to a device.
slib::Fd OpenLog(const char *szPath, int flags)
{
    slib::Fd fd(open(szPath, flags | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    struct stat st;
    if (fd.ok() && (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)))
        fd.reset();
    return fd;
}

} // namespace

extern "C" {

void SLIBErrorSetEx(int code, const char *szFile, int line)
{
    gErrorState.code = code;
    gErrorState.szFile = szFile;
    gErrorState.line = line;
    RecordBacktrace();
}

void SLIBErrorSet(int code) { SLIBErrorSetEx(code, nullptr, 0); }

int SLIBErrorGet(void) { return gErrorState.code; }

const char *SLIBErrorGetFile(void) { return gErrorState.szFile; }

int SLIBErrorGetLine(void) { return gErrorState.line; }

void SLIBErrorBacktraceFree(void)
{
    free(gErrorState.ppszFrame);
    gErrorState.ppszFrame = nullptr;
    gErrorState.nFrame = 0;
}

void SLIBErrorBacktracePrint(void)
{
    if (!FrameTexts())
        return;
    for (int i = 0; i < gErrorState.nFrame; ++i)
        puts(gErrorState.ppszFrame[i]);
}

void SLIBErrorBacktraceLog(void)
{
    if (!FrameTexts())
        return;
    if (slib::FilePtr fp{fopen(kConsole, "w")}) {
        for (int i = 0; i < gErrorState.nFrame; ++i)
            fprintf(fp.get(), "%s\n", gErrorState.ppszFrame[i]);
    }
    for (int i = 0; i < gErrorState.nFrame; ++i)
        syslog(LOG_ERR, "%s\n", gErrorState.ppszFrame[i]);
}

void SLIBErrorLogReset(const char *szPath)
{
    if (!szPath)
        return;
    slib::Fd fd = OpenLog(szPath, O_WRONLY);
    if (!fd.ok() || ftruncate(fd.get(), 0) != 0)
        return;
    fsync(fd.get());
}

int SLIBErrorLogSet(const char *szPath, const char *szText)
{
    if (!szPath || !szText) {
        SLIB_ERR_IN(kSrcLogSet, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    slib::Fd fd = OpenLog(szPath, O_RDWR | O_APPEND);
    FILE *fp = fd.ok() ? fdopen(fd.get(), "a+") : nullptr;
    if (!fp) {
        SLIB_ERR_IN(kSrcLogSet, SLIB_ERR_OPEN);
        return -1;
    }
    fd.release(); // the stream owns it now
    // Unbuffered, so a full disk fails the write itself rather than the
    // flush, whose failure would go unreported.
    setvbuf(fp, nullptr, _IONBF, 0);
    if (fputs(szText, fp) == EOF || fputs("\n", fp) == EOF) {
        SLIB_ERR_IN(kSrcLogSet, SLIB_ERR_WRITE);
        fclose(fp);
        return -1;
    }
    // Synced and closed; nothing of these steps is reported.
    (void)slib::CloseSynced(fp);
    return 0;
}

} // extern "C"
