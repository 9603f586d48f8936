// libvako-kstub.so: the appliance kernel's own interfaces, answered in user
// space for every process of the throwaway appliance (see vakotest/kstub.h
// for the state directory and the journal).  This file is its face: the C
// library's functions it stands in for.
//
// An open device is a real descriptor on an unlinked, empty file of the
// state directory, marked by its mode and time; the kernel then keeps what
// a device descriptor shares: the position (the file offset) across dup,
// fork and exec.  Everything that reads or moves data on such a descriptor is
// answered here from the chip image; every other descriptor and path goes
// straight to the C library.
#include <errno.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "device.h"
#include "ioctl.h"
#include "kill.h"
#include "stream.h"

using namespace kstublib;

namespace {

int OpenPath(const char *path, int flags, mode_t mode, int (*pass)(const char *, int, ...))
{
    int saved = errno;
    if (DeviceExists(path))
        return static_cast<int>(Finish(OpenDevice(path, flags), saved));
    return pass(path, flags, mode);
}

int OpenAtPath(int dirfd, const char *path, int flags, mode_t mode, int (*pass)(int, const char *, int, ...))
{
    int saved = errno;
    if (path && path[0] == '/' && DeviceExists(path))
        return static_cast<int>(Finish(OpenDevice(path, flags), saved));
    return pass(dirfd, path, flags, mode);
}

mode_t ModeArg(int flags, va_list ap)
{
    return (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE ? va_arg(ap, mode_t) : 0;
}

FILE *OpenStream(const char *path, const char *mode, FILE *(*pass)(const char *, const char *))
{
    int saved = errno;
    if (!DeviceExists(path))
        return pass(path, mode);
    int flags = FlagsOfMode(mode);
    if (flags < 0) {
        errno = EINVAL;
        return nullptr;
    }
    Res r = OpenDevice(path, flags);
    if (r.err) {
        errno = r.err;
        return nullptr;
    }
    FILE *f = DeviceStream(static_cast<int>(r.value), mode);
    if (!f) {
        int e = errno;
        close(static_cast<int>(r.value));
        errno = e;
        return nullptr;
    }
    errno = saved;
    return f;
}

template <typename S> int StatPath(const char *path, S *buf, int (*pass)(const char *, S *))
{
    if (DeviceExists(path)) {
        FakeStat(path, buf);
        return 0;
    }
    return pass(path, buf);
}

template <typename S> int StatFd(int fd, S *buf, int (*pass)(int, S *))
{
    int r = pass(fd, buf);
    if (r == 0 && Dir()) {
        int saved = errno;
        struct stat s;
        memcpy(&s, buf, sizeof s);
        if (auto d = DeviceOfStat(s))
            FakeStat(d->path, buf);
        errno = saved;
    }
    return r;
}

template <typename S>
int StatAt(int dirfd, const char *path, S *buf, int flags, int (*pass)(int, const char *, S *, int))
{
    if (path[0] == '/' && DeviceExists(path)) {
        FakeStat(path, buf);
        return 0;
    }
    int r = pass(dirfd, path, buf, flags);
    if (r == 0 && !path[0] && (flags & AT_EMPTY_PATH))
        if (auto d = DeviceOf(dirfd))
            FakeStat(d->path, buf);
    return r;
}

int Refuse(int e)
{
    errno = e;
    return -1;
}

int AccessDevice(int mode) { return mode & X_OK ? Refuse(EACCES) : 0; }

// Device descriptors have no page cache or file behind them to splice.
bool AnyDevice(int a, int b) { return DeviceOf(a) || DeviceOf(b); }

} // namespace

// Everything else of the library is hidden; these are the C library's names.
#pragma GCC visibility push(default)

extern "C" {

int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    return OpenPath(path, flags, mode, REAL(open));
}

int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    return OpenPath(path, flags, mode, REAL(open64));
}

int __open_2(const char *path, int flags) { return OpenPath(path, flags, 0, REAL(open)); }
int __open64_2(const char *path, int flags) { return OpenPath(path, flags, 0, REAL(open64)); }

int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    return OpenAtPath(dirfd, path, flags, mode, REAL(openat));
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    return OpenAtPath(dirfd, path, flags, mode, REAL(openat64));
}

int __openat_2(int dirfd, const char *path, int flags) { return OpenAtPath(dirfd, path, flags, 0, REAL(openat)); }
int __openat64_2(int dirfd, const char *path, int flags) { return OpenAtPath(dirfd, path, flags, 0, REAL(openat64)); }

int creat(const char *path, mode_t mode) { return open(path, O_CREAT | O_WRONLY | O_TRUNC, mode); }
int creat64(const char *path, mode_t mode) { return open64(path, O_CREAT | O_WRONLY | O_TRUNC, mode); }

FILE *fopen(const char *path, const char *mode) { return OpenStream(path, mode, REAL(fopen)); }
FILE *fopen64(const char *path, const char *mode) { return OpenStream(path, mode, REAL(fopen64)); }

FILE *fdopen(int fd, const char *mode) noexcept
{
    if (DeviceOf(fd))
        return DeviceStream(fd, mode);
    return REAL(fdopen)(fd, mode);
}

ssize_t read(int fd, void *buf, size_t n) { return Read(fd, buf, n, std::nullopt); }
ssize_t write(int fd, const void *buf, size_t n) { return Write(fd, buf, n, std::nullopt); }
ssize_t pread(int fd, void *buf, size_t n, off_t at) { return Read(fd, buf, n, at); }
ssize_t pread64(int fd, void *buf, size_t n, off64_t at) { return Read(fd, buf, n, at); }
ssize_t pwrite(int fd, const void *buf, size_t n, off_t at) { return Write(fd, buf, n, at); }
ssize_t pwrite64(int fd, const void *buf, size_t n, off64_t at) { return Write(fd, buf, n, at); }

ssize_t __read_chk(int fd, void *buf, size_t n, size_t buflen)
{
    if (n > buflen)
        abort();
    return read(fd, buf, n);
}
ssize_t __pread_chk(int fd, void *buf, size_t n, off_t at, size_t buflen)
{
    if (n > buflen)
        abort();
    return pread(fd, buf, n, at);
}
ssize_t __pread64_chk(int fd, void *buf, size_t n, off64_t at, size_t buflen)
{
    if (n > buflen)
        abort();
    return pread64(fd, buf, n, at);
}

ssize_t readv(int fd, const struct iovec *iov, int cnt)
{
    auto d = DeviceOf(fd);
    if (!d)
        return REAL(readv)(fd, iov, cnt);
    size_t total = 0;
    for (int i = 0; i < cnt; ++i)
        total += iov[i].iov_len;
    std::vector<char> buf(total);
    int saved = errno;
    Res r = DeviceRead(fd, *d, buf.data(), total, std::nullopt);
    if (!r.err) {
        size_t off = 0;
        for (int i = 0; i < cnt && off < static_cast<size_t>(r.value); ++i) {
            size_t k = std::min(iov[i].iov_len, static_cast<size_t>(r.value) - off);
            memcpy(iov[i].iov_base, buf.data() + off, k);
            off += k;
        }
    }
    return Finish(r, saved);
}

ssize_t writev(int fd, const struct iovec *iov, int cnt)
{
    auto d = DeviceOf(fd);
    if (!d)
        return REAL(writev)(fd, iov, cnt);
    std::vector<char> buf;
    for (int i = 0; i < cnt; ++i)
        buf.insert(buf.end(), static_cast<char *>(iov[i].iov_base),
                   static_cast<char *>(iov[i].iov_base) + iov[i].iov_len);
    int saved = errno;
    ssize_t r = Finish(DeviceWrite(fd, *d, buf.data(), buf.size(), std::nullopt), saved);
    KillIfArmed();
    return r;
}

off_t lseek(int fd, off_t off, int whence) noexcept
{
    if (auto d = DeviceOf(fd)) {
        int saved = errno;
        return Finish(DeviceSeek(fd, *d, off, whence), saved);
    }
    return REAL(lseek)(fd, off, whence);
}

off64_t lseek64(int fd, off64_t off, int whence) noexcept
{
    if (auto d = DeviceOf(fd)) {
        int saved = errno;
        return Finish(DeviceSeek(fd, *d, off, whence), saved);
    }
    return REAL(lseek64)(fd, off, whence);
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (auto d = DeviceOf(fd)) {
        int saved = errno;
        return static_cast<int>(Finish(DeviceIoctl(fd, *d, request, arg), saved));
    }
    return REAL(ioctl)(fd, request, arg);
}

long syscall(long n, ...) noexcept
{
    va_list ap;
    va_start(ap, n);
    long a[6];
    for (long &x : a)
        x = va_arg(ap, long);
    va_end(ap);
    long ret;
    if (KernelCall(n, a[0], &ret))
        return ret;
    ret = REAL(syscall)(n, a[0], a[1], a[2], a[3], a[4], a[5]);
    if (n == SYS_close)
        Forget(static_cast<int>(a[0]));
    else if (n == SYS_close_range && ret == 0 && !(a[2] & CLOSE_RANGE_CLOEXEC))
        ForgetRange(static_cast<unsigned>(a[0]), static_cast<unsigned>(a[1]));
    return ret;
}

// The stand-in keeps descriptors of its own open: a program that closes
// their numbers (or puts another file there) makes it open them again.
int close(int fd)
{
    int r = REAL(close)(fd);
    Forget(fd);
    return r;
}

int dup2(int old, int fd) noexcept
{
    int r = REAL(dup2)(old, fd);
    if (r >= 0 && old != fd)
        Forget(fd);
    return r;
}

int dup3(int old, int fd, int flags) noexcept
{
    int r = REAL(dup3)(old, fd, flags);
    if (r >= 0)
        Forget(fd);
    return r;
}

int close_range(unsigned first, unsigned last, int flags) noexcept
{
    int r = REAL(close_range)(first, last, flags);
    if (r == 0 && !(flags & CLOSE_RANGE_CLOEXEC))
        ForgetRange(first, last);
    return r;
}

void closefrom(int lowfd) noexcept
{
    REAL(closefrom)(lowfd);
    ForgetRange(static_cast<unsigned>(std::max(lowfd, 0)), ~0u);
}

int fsync(int fd) { return DeviceOf(fd) ? 0 : REAL(fsync)(fd); }
int fdatasync(int fd) { return DeviceOf(fd) ? 0 : REAL(fdatasync)(fd); }
int ftruncate(int fd, off_t len) noexcept { return DeviceOf(fd) ? 0 : REAL(ftruncate)(fd, len); }
int ftruncate64(int fd, off64_t len) noexcept { return DeviceOf(fd) ? 0 : REAL(ftruncate64)(fd, len); }

int stat(const char *path, struct stat *buf) noexcept { return StatPath(path, buf, REAL(stat)); }
int stat64(const char *path, struct stat64 *buf) noexcept { return StatPath(path, buf, REAL(stat64)); }
int lstat(const char *path, struct stat *buf) noexcept { return StatPath(path, buf, REAL(lstat)); }
int lstat64(const char *path, struct stat64 *buf) noexcept { return StatPath(path, buf, REAL(lstat64)); }
int fstat(int fd, struct stat *buf) noexcept { return StatFd(fd, buf, REAL(fstat)); }
int fstat64(int fd, struct stat64 *buf) noexcept { return StatFd(fd, buf, REAL(fstat64)); }
int fstatat(int dirfd, const char *path, struct stat *buf, int flags) noexcept
{
    return StatAt(dirfd, path, buf, flags, REAL(fstatat));
}
int fstatat64(int dirfd, const char *path, struct stat64 *buf, int flags) noexcept
{
    return StatAt(dirfd, path, buf, flags, REAL(fstatat64));
}

int statx(int dirfd, const char *path, int flags, unsigned mask, struct statx *buf) noexcept
{
    if (path[0] == '/' && DeviceExists(path)) {
        FakeStatx(path, buf);
        return 0;
    }
    int r = REAL(statx)(dirfd, path, flags, mask, buf);
    if (r == 0 && !path[0] && (flags & AT_EMPTY_PATH))
        if (auto d = DeviceOf(dirfd))
            FakeStatx(d->path, buf);
    return r;
}

int access(const char *path, int mode) noexcept
{
    return DeviceExists(path) ? AccessDevice(mode) : REAL(access)(path, mode);
}
int eaccess(const char *path, int mode) noexcept
{
    return DeviceExists(path) ? AccessDevice(mode) : REAL(eaccess)(path, mode);
}
int euidaccess(const char *path, int mode) noexcept
{
    return DeviceExists(path) ? AccessDevice(mode) : REAL(euidaccess)(path, mode);
}
int faccessat(int dirfd, const char *path, int mode, int flags) noexcept
{
    if (path[0] == '/' && DeviceExists(path))
        return AccessDevice(mode);
    return REAL(faccessat)(dirfd, path, mode, flags);
}

ssize_t copy_file_range(int in, off64_t *inoff, int out, off64_t *outoff, size_t n, unsigned flags)
{
    return AnyDevice(in, out) ? Refuse(EINVAL) : REAL(copy_file_range)(in, inoff, out, outoff, n, flags);
}

ssize_t sendfile(int out, int in, off_t *off, size_t n) noexcept
{
    return AnyDevice(in, out) ? Refuse(EINVAL) : REAL(sendfile)(out, in, off, n);
}

ssize_t sendfile64(int out, int in, off64_t *off, size_t n) noexcept
{
    return AnyDevice(in, out) ? Refuse(EINVAL) : REAL(sendfile64)(out, in, off, n);
}

ssize_t splice(int in, off64_t *inoff, int out, off64_t *outoff, size_t n, unsigned flags)
{
    return AnyDevice(in, out) ? Refuse(EINVAL) : REAL(splice)(in, inoff, out, outoff, n, flags);
}

} // extern "C"

#pragma GCC visibility pop
