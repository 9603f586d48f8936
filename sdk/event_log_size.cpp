#include "vako/event_log_size.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <optional>

#include "event_log_file.h"
#include "slibcxx/border.h"
#include "slibcxx/raii.h"
#include "slibcxx/replace.h"
#include "vako/event_log.h"

using vakolog::ReadAt;
using vakolog::ReadU16At;
using vakolog::WriteAt;

namespace {

constexpr uint32_t kHeader = VAKOLOG_HEADER_SIZE;
// The copy buffer holds the longest record a u16 length can give: every
// live record is copied, whatever its length.
constexpr size_t kCopyMax = UINT16_MAX;

const char *TypePath(int type)
{
    switch (type) {
    case 1:
        return SZF_VAKOLOG_SYS;
    case 2:
        return SZF_VAKOLOG_MAN;
    case 3:
        return SZF_VAKOLOG_CONN;
    case 5:
        return SZF_VAKOLOG_BACKUP;
    case 6:
        return SZF_VAKOLOG_COPY;
    case 7:
        return SZF_VAKOLOG_NETBKP;
    case 8:
        return SZF_VAKOLOG_SUR;
    default:
        return nullptr;
    }
}

int g_tempCounter = 0;

// Makes the temporary file of a shrink anew at its name (whatever stood
// there removed, never followed), with the writer's retries.
bool CreateTemp(slib::FileReplacer &out, const char *path)
{
    for (int tries = 0;; tries++) {
        if (out.CreateFixed(path, 0600))
            return true;
        if (tries >= vakolog::kRetries)
            return false;
        sleep(1);
    }
}

// Copies the live records from start to end into out (from offset 16):
// the new end, or -1 after a failed append or without the copy buffer.
int64_t CopyRecords(int in, int out, int64_t s, int64_t e)
{
    slib::HeapPtr<char> buf(static_cast<char *>(malloc(kCopyMax)));
    if (!buf)
        return -1;
    int64_t at = kHeader;
    auto append = [&](int64_t from, uint16_t len, int line) {
        if (!ReadAt(in, static_cast<uint32_t>(from), buf.get(), len))
            return true; // nothing read, nothing appended
        if (!WriteAt(out, static_cast<uint32_t>(at), buf.get(), len)) {
            syslog(LOG_ERR, "sdk/vakolog1 : line %d", line);
            return false;
        }
        at += len;
        return true;
    };
    if (s > e) {
        // Up to the end marker, then once from the header to the end.
        bool wrapLeft = true;
        while (wrapLeft || s < e) {
            uint16_t len;
            if (!ReadU16At(in, static_cast<uint32_t>(s), &len) || len == 0) {
                if (!wrapLeft)
                    break;
                wrapLeft = false;
                if (!ReadU16At(in, kHeader, &len) || len == 0)
                    break;
                s = kHeader;
            }
            if (!append(s, len, 533))
                return -1;
            s += len;
        }
    } else {
        while (s < e) {
            uint16_t len;
            if (!ReadU16At(in, static_cast<uint32_t>(s), &len) || len == 0)
                break;
            if (!append(s, len, 162))
                return -1;
            s += len;
        }
    }
    return at;
}

// The shrink of the locked log fd: the oldest records covering excess
// are dropped, the rest copied into a new file renamed over the log.
int ShrinkLocked(int fd, const char *path, uint32_t excess)
{
    int64_t s = LogStartOffsetGet(fd), e = LogEndOffsetGet(fd);
    if (s < kHeader || e < kHeader) {
        // Logs the writers' markers: the descriptor is read-only.
        LogStartOffsetSet(fd, kHeader);
        LogEndOffsetSet(fd, kHeader);
        s = e = kHeader;
    }
    bool wrap = s > e;
    for (uint64_t dropped = 0; dropped < excess;) {
        uint16_t len;
        if (ReadU16At(fd, static_cast<uint32_t>(s), &len) && len != 0) {
            s += len;
        } else {
            if (!wrap)
                break;
            wrap = false;
            if (!ReadU16At(fd, kHeader, &len) || len == 0)
                break;
            s = kHeader + len;
        }
        dropped += len;
        if (!wrap && s >= e)
            break;
    }

    char temp[VAKOLOG_TEMP_NAME_SIZE];
    if (LogTempNameMake(path, temp, sizeof temp) < 0)
        return -1;
    // Its callers never saw a code of the shrink's own.
    slib::FileReplacer out(nullptr);
    if (!CreateTemp(out, temp))
        return -1;
    out.ModeWhenWhole(0600);
    if (LogHeaderCheck(out.fd()) < 0)
        return -1;
    int64_t end = CopyRecords(fd, out.fd(), s, e);
    if (end < 0 || LogEndOffsetSet(out.fd(), static_cast<uint32_t>(end)) < 0 || !out.Finish())
        return -1;
    if (!out.RenameOver(path)) {
        syslog(LOG_ERR, "%s:%d rename %s to %s failed: %m", __FILE_NAME__, __LINE__, temp, path);
        return -1;
    }
    return 0;
}

// Opens and locks path; with maxSize, the excess is what the file holds
// beyond it under the lock (another process may have shrunk it already).
int Shrink(const char *path, std::optional<int> maxSize, uint32_t excess)
{
    vakolog::OpenFailure why;
    int fd = vakolog::OpenLocked(path, O_RDONLY, 0, &why);
    if (fd < 0) {
        if (why == vakolog::OpenFailure::kLock)
            syslog(LOG_ERR, "logfile %s lock error while shrinking!", path);
        return -1;
    }
    // Held through the rename (a writer waiting for it then finds the new
    // file), and released on every path.
    struct Held {
        int fd;
        ~Held() { vakolog::CloseLocked(fd); }
    } held{fd};
    int result = 0;
    if (maxSize) {
        struct stat st;
        if (fstat(fd, &st) != 0) {
            result = -1;
        } else if (st.st_size > *maxSize) {
            int64_t over = static_cast<int64_t>(st.st_size) - *maxSize;
            result = ShrinkLocked(fd, path, over > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(over));
        }
    } else {
        result = ShrinkLocked(fd, path, excess);
    }
    return result;
}

} // namespace

extern "C" {

int LogTempNameMake(const char *szBase, char *szOut, int cbOut)
{
    if (szOut && cbOut > 0)
        memset(szOut, 0, static_cast<size_t>(cbOut));
    if (!szBase || !szOut || cbOut < 0)
        return -1;
    int n = snprintf(szOut, static_cast<size_t>(cbOut), "%s%d-%d", szBase, getpid(), g_tempCounter++);
    if (n < 0 || n >= cbOut) {
        if (cbOut > 0)
            memset(szOut, 0, static_cast<size_t>(cbOut));
        return -1;
    }
    return 0;
}

int LogShrinkFile(uint32_t excess, const char *szPath)
{
    return slib::Guarded(__FILE_NAME__, -1, [&] {
        struct stat st;
        if (!szPath || stat(szPath, &st) != 0)
            return -1;
        return Shrink(szPath, std::nullopt, excess);
    });
}

int VAKOLogChangeSize(int maxSize, int logType)
{
    return slib::Guarded(__FILE_NAME__, -1, [&] {
        const char *path = TypePath(logType);
        if (!path)
            return 0;
        struct stat st;
        if (stat(path, &st) != 0) {
            syslog(LOG_ERR, "VAKOLogChangeSize : logfile %s not existed", path);
            return 0;
        }
        if (static_cast<int64_t>(st.st_size) <= maxSize)
            return 0;
        return Shrink(path, maxSize, 0);
    });
}

} // extern "C"
