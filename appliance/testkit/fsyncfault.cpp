#include "vakotest/fsyncfault.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "vakotest/newfault.h"

namespace vakotest {
int gFsyncCalls;
int gFsyncFailAt;
std::vector<unsigned> gFsyncModes;
std::vector<std::pair<dev_t, ino_t>> gFsyncFiles;
} // namespace vakotest

namespace {

constexpr size_t kKinds = static_cast<size_t>(vakotest::Watched::kCount);

std::vector<std::string> gDirs;
std::array<int, kKinds> gCalls, gFailAt;
// The watched files written since their last sync.
std::vector<std::pair<dev_t, ino_t>> gWritten;

std::pair<dev_t, ino_t> FileOf(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? std::pair{st.st_dev, st.st_ino} : std::pair<dev_t, ino_t>{};
}

// A write that goes through to a watched file; errno stays.
void NoteWrite(int fd)
{
    int e = errno;
    std::pair<dev_t, ino_t> f = FileOf(fd);
    if (std::find(gWritten.begin(), gWritten.end(), f) == gWritten.end())
        gWritten.push_back(f);
    errno = e;
}

template <class F> F Real(const char *name) { return reinterpret_cast<F>(dlsym(RTLD_NEXT, name)); }

bool IsWatchedDir(const std::string &dir)
{
    for (const std::string &d : gDirs)
        if (d == dir)
            return true;
    return false;
}

bool InWatchedDir(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return false;
    return IsWatchedDir(path.substr(0, slash == 0 ? 1 : slash));
}

// The path the descriptor is open on; "" when there is no watch.
std::string FdPath(int fd)
{
    if (gDirs.empty() || fd < 0)
        return "";
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : "";
}

bool WatchedFd(int fd, bool writing)
{
    if (gDirs.empty() || fd < 0)
        return false;
    if (writing && (fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY)
        return false;
    return InWatchedDir(FdPath(fd));
}

// A descriptor of a watched directory itself (a sync of the names in it).
bool SyncsWatchedDir(int fd) { return IsWatchedDir(FdPath(fd)); }

// Counts a call on a watched file: true when it is the one to fail.
bool Hit(vakotest::Watched kind)
{
    size_t k = static_cast<size_t>(kind);
    return ++gCalls[k] == gFailAt[k];
}

// A stream write on a watched file that is to fail: ENOSPC, and the stream
// in error as a failed write leaves it.
bool FailWrite(FILE *fp)
{
    int e = errno;
    if (!fp || !WatchedFd(fileno(fp), true)) {
        errno = e;
        return false;
    }
    errno = e;
    if (!Hit(vakotest::Watched::kWrite)) {
        NoteWrite(fileno(fp));
        return false;
    }
    fp->_flags |= _IO_ERR_SEEN;
    errno = ENOSPC;
    return true;
}

} // namespace

namespace vakotest {

void WatchDirs(const std::vector<std::string> &dirs)
{
    gDirs = dirs;
    gCalls.fill(0);
    gFailAt.fill(0);
    if (!dirs.empty())
        gWritten.clear();
}

bool WrittenSinceSync(dev_t dev, ino_t ino)
{
    return std::find(gWritten.begin(), gWritten.end(), std::pair{dev, ino}) != gWritten.end();
}

int WatchedCalls(Watched kind) { return gCalls[static_cast<size_t>(kind)]; }

void FailWatched(Watched kind, int n) { gFailAt[static_cast<size_t>(kind)] = n; }

} // namespace vakotest

extern "C" {

int fsync(int fd)
{
    vakotest::NewFaultPause pause;
    ++vakotest::gFsyncCalls;
    struct stat st;
    if (fstat(fd, &st) == 0) {
        vakotest::gFsyncModes.push_back(st.st_mode & 07777);
        vakotest::gFsyncFiles.emplace_back(st.st_dev, st.st_ino);
    }
    bool watchedFails = (WatchedFd(fd, false) || SyncsWatchedDir(fd)) && Hit(vakotest::Watched::kFsync);
    if (vakotest::gFsyncCalls == vakotest::gFsyncFailAt || watchedFails) {
        errno = EIO;
        return -1;
    }
    int r = static_cast<int>(syscall(SYS_fsync, fd));
    if (r == 0)
        std::erase(gWritten, FileOf(fd));
    return r;
}

int rename(const char *from, const char *to)
{
    vakotest::NewFaultPause pause;
    static auto real = Real<int (*)(const char *, const char *)>("rename");
    if (!gDirs.empty() && from && InWatchedDir(from) && Hit(vakotest::Watched::kRename)) {
        errno = EIO;
        return -1;
    }
    return real(from, to);
}

// A writer of its own descriptor (the stream's own writes do not come
// through here).
ssize_t write(int fd, const void *p, size_t n)
{
    vakotest::NewFaultPause pause;
    static auto real = Real<ssize_t (*)(int, const void *, size_t)>("write");
    int e = errno;
    if (WatchedFd(fd, true)) {
        if (Hit(vakotest::Watched::kWrite)) {
            errno = ENOSPC;
            return -1;
        }
        NoteWrite(fd);
    }
    errno = e;
    return real(fd, p, n);
}

size_t fwrite(const void *p, size_t size, size_t n, FILE *fp)
{
    vakotest::NewFaultPause pause;
    static auto real = Real<size_t (*)(const void *, size_t, size_t, FILE *)>("fwrite");
    return FailWrite(fp) ? 0 : real(p, size, n, fp);
}

int fputs(const char *s, FILE *fp)
{
    vakotest::NewFaultPause pause;
    static auto real = Real<int (*)(const char *, FILE *)>("fputs");
    return FailWrite(fp) ? EOF : real(s, fp);
}

int fputc(int c, FILE *fp)
{
    vakotest::NewFaultPause pause;
    static auto real = Real<int (*)(int, FILE *)>("fputc");
    return FailWrite(fp) ? EOF : real(c, fp);
}

int vfprintf(FILE *fp, const char *fmt, va_list ap)
{
    vakotest::NewFaultPause pause;
    static auto real = Real<int (*)(FILE *, const char *, va_list)>("vfprintf");
    return FailWrite(fp) ? -1 : real(fp, fmt, ap);
}

int fprintf(FILE *fp, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vfprintf(fp, fmt, ap);
    va_end(ap);
    return n;
}

// A flush or close writes only what the stream holds.
int fflush(FILE *fp)
{
    vakotest::NewFaultPause pause;
    static auto real = Real<int (*)(FILE *)>("fflush");
    return fp && __fpending(fp) > 0 && FailWrite(fp) ? EOF : real(fp);
}

int fclose(FILE *fp)
{
    vakotest::NewFaultPause pause;
    static auto real = Real<int (*)(FILE *)>("fclose");
    bool fail = __fpending(fp) > 0 && FailWrite(fp);
    int r = real(fp);
    if (!fail)
        return r;
    errno = ENOSPC;
    return EOF;
}

} // extern "C"
