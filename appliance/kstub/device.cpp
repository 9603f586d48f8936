#include "device.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string_view>

#include "journal.h"
#include "kill.h"

namespace kstublib {

namespace {

// Mode of the file behind a device descriptor: no ordinary file has it.
constexpr mode_t kMarkerMode = 01666;
// Its modification time names the device (so that reads and writes need not
// ask the kernel for the file's name): these seconds, and nanoseconds
// kMdCode + N for /dev/mdN, N for /dev/mtdN.
constexpr time_t kMarkerSeconds = 0x6b7374;
constexpr long kMdCode = 10000;

bool IsMarker(const struct stat &s)
{
    return S_ISREG(s.st_mode) && (s.st_mode & 07777) == kMarkerMode && s.st_size == 0 &&
           s.st_mtim.tv_sec == kMarkerSeconds && s.st_mtim.tv_nsec < 2 * kMdCode;
}

bool Readable(int fd) { return AccessMode(fd) != O_WRONLY; }

// to[i] &= from[i], sixteen bytes at a time (in the processor's vector
// registers where it has them).
void ClearBits(uint8_t *to, const uint8_t *from, size_t n)
{
    typedef uint8_t Bytes16 __attribute__((vector_size(16)));
    size_t i = 0;
    for (; i + sizeof(Bytes16) <= n; i += sizeof(Bytes16)) {
        Bytes16 a, b;
        memcpy(&a, to + i, sizeof a);
        memcpy(&b, from + i, sizeof b);
        a &= b;
        memcpy(to + i, &a, sizeof a);
    }
    for (; i < n; ++i)
        to[i] &= from[i];
}

} // namespace

bool IsDevicePath(const char *path) { return Dir() && path && (st::IsMtdName(path) || st::IsMdName(path)); }

bool DeviceExists(const char *path)
{
    if (!IsDevicePath(path))
        return false;
    Session s;
    if (!s.Begin(false))
        return false;
    return s.state.FindWindow(path) || s.state.FindMd(path);
}

std::optional<Dev> DeviceOfStat(const struct stat &s)
{
    if (!IsMarker(s))
        return std::nullopt;
    long code = s.st_mtim.tv_nsec;
    return Dev{(code >= kMdCode ? "/dev/md" : "/dev/mtd") + std::to_string(code % kMdCode)};
}

std::string DescriptorName(int fd)
{
    char link[32], target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return {};
    std::string_view t(target, static_cast<size_t>(n));
    constexpr std::string_view kDeleted = " (deleted)";
    if (t.size() > kDeleted.size() && t.substr(t.size() - kDeleted.size()) == kDeleted)
        t.remove_suffix(kDeleted.size());
    return std::string(t.substr(t.rfind('/') + 1));
}

std::optional<Dev> DeviceOf(int fd)
{
    if (!Dir() || fd < 0)
        return std::nullopt;
    int saved = errno;
    struct stat s;
    std::optional<Dev> d;
    if (REAL(fstat)(fd, &s) == 0)
        d = DeviceOfStat(s);
    errno = saved;
    return d;
}

int AccessMode(int fd) { return fcntl(fd, F_GETFL) & O_ACCMODE; }
bool Writable(int fd) { return AccessMode(fd) != O_RDONLY; }

Res OpenDevice(const char *path, int flags)
{
    if (flags & O_DIRECTORY)
        return Err(ENOTDIR);
    if ((flags & O_CREAT) && (flags & O_EXCL))
        return Err(EEXIST);
    std::string dir = *Dir() + "/" + st::kFdDir;
    mkdir(dir.c_str(), 0755);
    static std::atomic<unsigned> seq{0};
    std::string base = std::string(path).substr(5) + "@" + std::to_string(getpid()) + ".";
    for (int tries = 0; tries < 100; ++tries) {
        std::string file = dir + "/" + base + std::to_string(seq++);
        int fd = REAL(open)(file.c_str(), O_CREAT | O_EXCL | (flags & (O_ACCMODE | O_CLOEXEC)), 0600);
        if (fd >= 0) {
            const std::string_view dev(path + 5);
            long n = atol(path + (st::IsMtdName(path) ? 8 : 7));
            struct timespec times[2] = {{0, UTIME_OMIT}, {kMarkerSeconds, dev.starts_with("md") ? kMdCode + n : n}};
            fchmod(fd, kMarkerMode);
            futimens(fd, times);
            unlink(file.c_str());
            return {fd, 0};
        }
        if (errno != EEXIST)
            return Err(errno);
    }
    return Err(EEXIST);
}

void FakeStatx(const std::string &dev, struct statx *out)
{
    struct stat s;
    FakeStat(dev, &s);
    memset(out, 0, sizeof *out);
    out->stx_mask = STATX_BASIC_STATS;
    out->stx_blksize = static_cast<uint32_t>(s.st_blksize);
    out->stx_nlink = static_cast<uint32_t>(s.st_nlink);
    out->stx_mode = static_cast<uint16_t>(s.st_mode);
    out->stx_ino = s.st_ino;
    out->stx_rdev_major = major(s.st_rdev);
    out->stx_rdev_minor = minor(s.st_rdev);
    out->stx_dev_major = major(s.st_dev);
    out->stx_dev_minor = minor(s.st_dev);
}

// ---- data ----

Res DeviceRead(int fd, const Dev &d, void *buf, size_t count, std::optional<off_t> at)
{
    if (!Readable(fd))
        return Err(EBADF);
    Session s;
    if (!s.Begin(false))
        return Err(ENXIO);
    if (s.state.FindMd(d.path))
        return {0, 0};
    const Window *w = s.state.FindWindow(d.path);
    if (!w)
        return Err(ENXIO);
    // The position moves on by what is asked at once (one request to the
    // kernel when the read is whole), then back to where the read ended.
    const uint64_t want = std::min<uint64_t>(count, w->size);
    off_t pos = at ? *at : REAL(lseek)(fd, static_cast<off_t>(want), SEEK_CUR);
    if (pos < 0)
        return Err(EINVAL);
    if (!at)
        pos -= static_cast<off_t>(want);
    size_t n = static_cast<uint64_t>(pos) >= w->size
                   ? 0
                   : static_cast<size_t>(std::min<uint64_t>(want, w->size - static_cast<uint64_t>(pos)));
    bool ok = s.ChipRead(static_cast<uint64_t>(w->offset) + static_cast<uint64_t>(pos), buf, n);
    if (!at && (!ok || n != want))
        REAL(lseek)(fd, pos + static_cast<off_t>(ok ? n : 0), SEEK_SET);
    if (!ok)
        return Err(EIO);
    return {static_cast<long>(n), 0};
}

Res DeviceWrite(int fd, const Dev &d, const void *buf, size_t count, std::optional<off_t> at)
{
    if (!Writable(fd))
        return Err(EBADF);
    Session s;
    if (!s.Begin(true))
        return Err(ENXIO);
    if (s.state.FindMd(d.path))
        return Err(EROFS);
    Window *w = s.state.FindWindow(d.path);
    if (!w)
        return Err(ENXIO);
    if (count == 0)
        return {0, 0};
    if (w->locked)
        return Err(EROFS);
    off_t pos = at ? *at : REAL(lseek)(fd, 0, SEEK_CUR);
    if (pos < 0)
        return Err(EINVAL);
    if (static_cast<uint64_t>(pos) >= w->size)
        return Err(ENOSPC);
    size_t n = static_cast<size_t>(std::min<uint64_t>(count, w->size - static_cast<uint64_t>(pos)));

    const Fault *failed = nullptr, *corrupt = nullptr, *ender = nullptr;
    bool shortened = false;
    for (auto &f : s.state.faults) {
        if (f.device != d.path)
            continue;
        if (f.kind == FaultKind::ShortWrite && f.maxBytes > 0 && n > f.maxBytes) {
            n = f.maxBytes;
            shortened = true;
        } else if (f.kind == FaultKind::FailWrite || f.kind == FaultKind::CorruptWrite) {
            s.Dirty();
            if (st::Acts(f))
                (f.kind == FaultKind::FailWrite ? failed : corrupt) = &f;
        } else if (f.kind == FaultKind::KillAfterWrite) {
            s.Dirty();
            if (++f.seen == f.nth)
                ender = &f;
        }
    }
    uint64_t chipAt = static_cast<uint64_t>(w->offset) + static_cast<uint64_t>(pos);
    std::string args = "pos=" + Hex(static_cast<uint64_t>(pos)) + " length=" + Hex(n) + " fault=";
    if (failed) {
        Res r = Err(failed->error);
        s.Journal(d.path, "write", args + "fail", r);
        return r;
    }
    // NOR flash: a write can only clear bits.  The flash of the second road
    // (kernel call 401 with bit 0 set) erases as it writes.
    const auto &calls = s.state.calls;
    bool nor = !(calls.msys401 == Call::Present && (calls.msysWord & 1));
    const uint8_t *src = static_cast<const uint8_t *>(buf);
    bool corrupts = corrupt && corrupt->offset < n;
    if (!nor && !corrupts) {
        if (!s.ChipWrite(chipAt, src, n))
            return Err(EIO);
    } else {
        // A block at a time: the memory stays that of one block whatever the write.
        std::unique_ptr<uint8_t[]> data(new uint8_t[std::min(n, kChipBlock)]);
        for (size_t done = 0; done < n;) {
            size_t m = std::min(n - done, kChipBlock);
            if (nor) {
                if (!s.ChipRead(chipAt + done, data.get(), m))
                    return Err(EIO);
                ClearBits(data.get(), src + done, m);
            } else {
                memcpy(data.get(), src + done, m);
            }
            if (corrupts && corrupt->offset >= done && corrupt->offset < done + m)
                data[corrupt->offset - done] ^= corrupt->mask;
            if (!s.ChipWrite(chipAt + done, data.get(), m))
                return Err(EIO);
            done += m;
        }
    }
    if (!at)
        REAL(lseek)(fd, pos + static_cast<off_t>(n), SEEK_SET);
    Res r{static_cast<long>(n), 0};
    if (corrupt)
        s.Journal(d.path, "write", args + "corrupt", r);
    else if (shortened)
        s.Journal(d.path, "write", args + "short", r);
    if (ender) {
        s.Journal(d.path, "write", args + "kill", r);
        // Ended once the write is stored and the state saved (Write).
        ArmKill(ender->program);
    }
    return r;
}

Res DeviceSeek(int fd, const Dev &d, off_t off, int whence)
{
    Session s;
    if (!s.Begin(false))
        return Err(ENXIO);
    uint64_t size;
    if (const Window *w = s.state.FindWindow(d.path))
        size = w->size;
    else if (const MdArray *m = s.state.FindMd(d.path))
        size = m->active ? m->deviceBytes : 0;
    else
        return Err(ENXIO);
    off_t cur = REAL(lseek)(fd, 0, SEEK_CUR);
    long long np;
    switch (whence) {
    case SEEK_SET:
        np = off;
        break;
    case SEEK_CUR:
        np = static_cast<long long>(cur) + off;
        break;
    case SEEK_END:
        np = static_cast<long long>(size) + off;
        break;
    default:
        return Err(EINVAL);
    }
    if (np < 0 || static_cast<uint64_t>(np) > size)
        return Err(EINVAL);
    REAL(lseek)(fd, static_cast<off_t>(np), SEEK_SET);
    return {static_cast<long>(np), 0};
}

ssize_t Read(int fd, void *buf, size_t n, std::optional<off_t> at)
{
    if (auto d = DeviceOf(fd)) {
        int saved = errno;
        return Finish(DeviceRead(fd, *d, buf, n, at), saved);
    }
    return at ? REAL(pread)(fd, buf, n, *at) : REAL(read)(fd, buf, n);
}

ssize_t Write(int fd, const void *buf, size_t n, std::optional<off_t> at)
{
    if (auto d = DeviceOf(fd)) {
        int saved = errno;
        ssize_t r = Finish(DeviceWrite(fd, *d, buf, n, at), saved);
        KillIfArmed();
        return r;
    }
    return at ? REAL(pwrite)(fd, buf, n, *at) : REAL(write)(fd, buf, n);
}

} // namespace kstublib
