// libvako-kstub.so: the appliance kernel's own interfaces, answered in user
// space for every process of the throwaway appliance (see vakotest/kstub.h
// for the state directory and the journal).
//
// An open device is a real descriptor on an unlinked, empty file of the
// state directory, marked by its mode; the kernel then keeps what a device
// descriptor shares: the position (the file offset) across dup, fork and
// exec.  Everything that reads or moves data on such a descriptor is
// answered here from the chip image; every other descriptor and path goes
// straight to the C library.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "state.h"
#include "vako/flash.h"
#include "vako/kernel.h"

namespace {

using vakotest::kstub::Call;
using vakotest::kstub::Fault;
using vakotest::kstub::FaultKind;
using vakotest::kstub::MdArray;
using vakotest::kstub::Window;
namespace st = vakotest::kstub::state;

template <typename F> F Next(const char *name) { return reinterpret_cast<F>(dlsym(RTLD_NEXT, name)); }
// The C library's own function behind one of ours.
#define REAL(fn) ([] { static const auto p = Next<decltype(&::fn)>(#fn); return p; }())

// Mode of the file behind a device descriptor: no ordinary file has it.
constexpr mode_t kMarkerMode = 01666;

constexpr int kMtdMajor = 90, kMdMajor = 9;

const std::string *Dir()
{
    static const std::string *dir = [] {
        const char *e = getenv("VAKO_KSTUB_DIR");
        return e && *e ? new std::string(e) : nullptr;
    }();
    return dir;
}

std::string StatePath(const char *name) { return *Dir() + "/" + name; }

// A result and the errno that goes with it (0: success, errno untouched).
struct Res {
    long value = 0;
    int err = 0;
};
Res Err(int e) { return {-1, e}; }
long Finish(Res r, int savedErrno)
{
    errno = r.err ? r.err : savedErrno;
    return r.err ? -1 : r.value;
}

bool ReadAll(int fd, std::string &out)
{
    char buf[4096];
    for (;;) {
        ssize_t n = REAL(read)(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        out.append(buf, static_cast<size_t>(n));
    }
}

bool WriteAll(int fd, const void *data, size_t n, off_t at = -1)
{
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        ssize_t w = at < 0 ? REAL(write)(fd, p, n) : REAL(pwrite)(fd, p, n, at);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
        if (at >= 0)
            at += w;
    }
    return true;
}

bool ReadAt(int fd, void *data, size_t n, off_t at)
{
    char *p = static_cast<char *>(data);
    while (n > 0) {
        ssize_t r = REAL(pread)(fd, p, n, at);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
        at += r;
    }
    return true;
}

std::string Hex(uint64_t v)
{
    char b[24];
    snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(v));
    return b;
}

std::string ErrName(int e)
{
    const char *n = strerrorname_np(e);
    return n ? n : std::to_string(e);
}

// One operation on the shared state, under the state lock.
class Session {
public:
    Session() = default;
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    ~Session()
    {
        if (dirty_)
            Save();
        if (chip_ >= 0)
            close(chip_);
        if (lock_ >= 0)
            close(lock_);
    }

    // False when there is no state: the caller passes through.
    bool Begin(bool exclusive)
    {
        if (!Dir())
            return false;
        lock_ = REAL(open)(StatePath(st::kLockFile).c_str(), O_RDWR | O_CLOEXEC);
        if (lock_ < 0)
            return false;
        while (flock(lock_, exclusive ? LOCK_EX : LOCK_SH) != 0)
            if (errno != EINTR)
                return false;
        int fd = REAL(open)(StatePath(st::kStateFile).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        std::string text;
        bool ok = ReadAll(fd, text);
        close(fd);
        return ok && st::Parse(text, state);
    }

    void Dirty() { dirty_ = true; }

    int Chip()
    {
        if (chip_ < 0)
            chip_ = REAL(open)(StatePath(st::kChipFile).c_str(), O_RDWR | O_CLOEXEC);
        return chip_;
    }

    bool ChipRead(uint64_t at, void *data, size_t n)
    {
        return n == 0 || (Chip() >= 0 && ReadAt(chip_, data, n, static_cast<off_t>(at)));
    }
    bool ChipWrite(uint64_t at, const void *data, size_t n)
    {
        return n == 0 || (Chip() >= 0 && WriteAll(chip_, data, n, static_cast<off_t>(at)));
    }

    void Journal(std::string_view device, std::string_view request, const std::string &args, Res r)
    {
        std::string line = std::to_string(getpid()) + "\t" + program_invocation_short_name + "\t";
        line.append(device).append("\t").append(request).append("\t");
        line += args.empty() ? "-" : args;
        line += "\t" + (r.err ? "-1 " + ErrName(r.err) : std::to_string(r.value)) + "\n";
        int fd = REAL(open)(StatePath(st::kJournalFile).c_str(),
                            O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            WriteAll(fd, line.data(), line.size());
            close(fd);
        }
    }

    st::State state;

private:
    void Save()
    {
        std::string tmp = StatePath(st::kStateFile) + ".new";
        int fd = REAL(open)(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            return;
        std::string text = st::Format(state);
        bool ok = WriteAll(fd, text.data(), text.size());
        close(fd);
        if (ok)
            rename(tmp.c_str(), StatePath(st::kStateFile).c_str());
    }

    int lock_ = -1, chip_ = -1;
    bool dirty_ = false;
};

// ---- which paths and descriptors are devices ----

bool IsDevicePath(const char *path)
{
    return Dir() && path && (st::IsMtdName(path) || st::IsMdName(path));
}

// True when the state has `path` as a device.
bool DeviceExists(const char *path)
{
    if (!IsDevicePath(path))
        return false;
    Session s;
    if (!s.Begin(false))
        return false;
    return s.state.FindWindow(path) || s.state.FindMd(path);
}

struct Dev {
    std::string path;  // "/dev/mtd1"
    std::string desc;  // the open descriptor's own name
};

std::string FdDir()
{
    // Never destroyed: stdio flushes streams of ours after the destructors ran.
    static std::string *canon = new std::string;
    if (canon->empty()) {
        char buf[PATH_MAX];
        if (realpath((*Dir() + "/" + st::kFdDir).c_str(), buf))
            *canon = buf;
    }
    return *canon;
}

bool IsMarker(const struct stat &s)
{
    return S_ISREG(s.st_mode) && (s.st_mode & 07777) == kMarkerMode && s.st_size == 0;
}

// The device behind `fd`, whose real status is `s`.
std::optional<Dev> DeviceOfStat(int fd, const struct stat &s)
{
    if (!IsMarker(s))
        return std::nullopt;
    char link[32], target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return std::nullopt;
    std::string_view t(target, static_cast<size_t>(n));
    constexpr std::string_view kDeleted = " (deleted)";
    if (t.size() > kDeleted.size() && t.substr(t.size() - kDeleted.size()) == kDeleted)
        t.remove_suffix(kDeleted.size());
    std::string dir = FdDir();
    if (dir.empty() || t.size() <= dir.size() + 1 || t.substr(0, dir.size()) != dir ||
        t[dir.size()] != '/')
        return std::nullopt;
    std::string_view name = t.substr(dir.size() + 1);
    size_t at = name.find('@');
    if (at == std::string_view::npos)
        return std::nullopt;
    return Dev{"/dev/" + std::string(name.substr(0, at)), std::string(name)};
}

std::optional<Dev> DeviceOf(int fd)
{
    if (!Dir() || fd < 0)
        return std::nullopt;
    int saved = errno;
    struct stat s;
    std::optional<Dev> d;
    if (REAL(fstat)(fd, &s) == 0)
        d = DeviceOfStat(fd, s);
    errno = saved;
    return d;
}

int AccessMode(int fd) { return fcntl(fd, F_GETFL) & O_ACCMODE; }
bool Readable(int fd) { return AccessMode(fd) != O_WRONLY; }
bool Writable(int fd) { return AccessMode(fd) != O_RDONLY; }

// A new descriptor for the device at `path`.
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
            fchmod(fd, kMarkerMode);
            unlink(file.c_str());
            return {fd, 0};
        }
        if (errno != EEXIST)
            return Err(errno);
    }
    return Err(EEXIST);
}

template <typename S> void FakeStat(const std::string &dev, S *out)
{
    memset(out, 0, sizeof *out);
    struct stat d;
    if (REAL(stat)("/dev", &d) == 0)
        out->st_dev = d.st_dev;
    bool mtd = st::IsMtdName(dev);
    unsigned n = static_cast<unsigned>(atoi(dev.c_str() + (mtd ? 8 : 7)));
    out->st_ino = (mtd ? 0x6d7464000u : 0x6d64000u) + n;
    out->st_mode = mtd ? (S_IFCHR | 0600) : (S_IFBLK | 0660);
    out->st_nlink = 1;
    out->st_rdev = mtd ? makedev(kMtdMajor, 2 * n) : makedev(kMdMajor, n);
    out->st_blksize = 4096;
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
    off_t pos = at ? *at : REAL(lseek)(fd, 0, SEEK_CUR);
    if (pos < 0)
        return Err(EINVAL);
    size_t n = static_cast<uint64_t>(pos) >= w->size
                   ? 0
                   : static_cast<size_t>(std::min<uint64_t>(count, w->size - static_cast<uint64_t>(pos)));
    if (!s.ChipRead(static_cast<uint64_t>(w->offset) + static_cast<uint64_t>(pos), buf, n))
        return Err(EIO);
    if (!at)
        REAL(lseek)(fd, pos + static_cast<off_t>(n), SEEK_SET);
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

    const Fault *failed = nullptr, *corrupt = nullptr;
    bool shortened = false;
    for (auto &f : s.state.faults) {
        if (f.device != d.path)
            continue;
        if (f.kind == FaultKind::ShortWrite && f.maxBytes > 0 && n > f.maxBytes) {
            n = f.maxBytes;
            shortened = true;
        } else if (f.kind == FaultKind::FailWrite || f.kind == FaultKind::CorruptWrite) {
            s.Dirty();
            if (++f.seen == f.nth)
                (f.kind == FaultKind::FailWrite ? failed : corrupt) = &f;
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
    std::vector<uint8_t> data(n);
    const uint8_t *src = static_cast<const uint8_t *>(buf);
    if (nor) {
        if (!s.ChipRead(chipAt, data.data(), n))
            return Err(EIO);
        for (size_t i = 0; i < n; ++i)
            data[i] &= src[i];
    } else {
        memcpy(data.data(), src, n);
    }
    if (corrupt && corrupt->offset < n)
        data[corrupt->offset] ^= corrupt->mask;
    if (!s.ChipWrite(chipAt, data.data(), n))
        return Err(EIO);
    if (!at)
        REAL(lseek)(fd, pos + static_cast<off_t>(n), SEEK_SET);
    Res r{static_cast<long>(n), 0};
    if (corrupt)
        s.Journal(d.path, "write", args + "corrupt", r);
    else if (shortened)
        s.Journal(d.path, "write", args + "short", r);
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
    case SEEK_SET: np = off; break;
    case SEEK_CUR: np = static_cast<long long>(cur) + off; break;
    case SEEK_END: np = static_cast<long long>(size) + off; break;
    default: return Err(EINVAL);
    }
    if (np < 0 || static_cast<uint64_t>(np) > size)
        return Err(EINVAL);
    REAL(lseek)(fd, static_cast<off_t>(np), SEEK_SET);
    return {static_cast<long>(np), 0};
}

// ---- ioctls ----

uint32_t GetU32(const unsigned char *p) { uint32_t v; memcpy(&v, p, 4); return v; }
// The appliance's own requests pass big-endian records, as its kernel reads them.
uint32_t GetBe32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
struct FisInfo {
    char name[VAKO_FIS_NAME_SIZE];
    uint32_t flash_base, size, data_length;
};
FisInfo GetFisInfo(const unsigned char *p)
{
    FisInfo e;
    memcpy(e.name, p, sizeof e.name);
    e.flash_base = GetBe32(p + 16);
    e.size = GetBe32(p + 20);
    e.data_length = GetBe32(p + 24);
    return e;
}
void PutBe32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

std::string Printable(const char *s, size_t max)
{
    std::string out;
    for (size_t i = 0; i < max && s[i]; ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c > ' ' && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char b[8];
            snprintf(b, sizeof b, "\\x%02x", c);
            out += b;
        }
    }
    return out;
}

struct RequestName {
    uint32_t req;
    const char *name;
};
constexpr RequestName kRequests[] = {
    {VAKO_MEMGETINFO, "MEMGETINFO"},         {VAKO_MEMERASE, "MEMERASE"},
    {VAKO_MEMLOCK, "MEMLOCK"},               {VAKO_MEMUNLOCK, "MEMUNLOCK"},
    {VAKO_MTD_SET_PARTITION, "SET_PARTITION"}, {VAKO_MTD_SET_FIS_ENTRY, "SET_FIS_ENTRY"},
    {VAKO_MTD_FORMAT, "FORMAT"},             {VAKO_MTD_SET_PART_TABLE, "SET_PART_TABLE"},
    {VAKO_MTD_GET_PART_TABLE, "GET_PART_TABLE"}, {VAKO_MD_GET_ARRAY_INFO, "GET_ARRAY_INFO"},
    {VAKO_BLKGETSIZE64, "BLKGETSIZE64"},     {VAKO_MD_GET_SYNC_STATUS, "SYNC_STATUS"},
};

std::string RequestText(uint32_t req)
{
    for (const auto &r : kRequests)
        if (r.req == req)
            return r.name;
    char b[16];
    snprintf(b, sizeof b, "0x%08x", req);
    return b;
}

// What one request passed, for the journal (the caller has checked `arg`).
std::string ArgsText(uint32_t req, const void *arg)
{
    auto p = static_cast<const unsigned char *>(arg);
    switch (req) {
    case VAKO_MEMERASE:
    case VAKO_MEMLOCK:
    case VAKO_MEMUNLOCK:
        return "start=" + Hex(GetU32(p)) + " length=" + Hex(GetU32(p + 4));
    case VAKO_MTD_SET_PARTITION:
        return "offset=" + Hex(GetBe32(p)) + " size=" + Hex(GetBe32(p + 4));
    case VAKO_MTD_SET_FIS_ENTRY: {
        FisInfo e = GetFisInfo(p);
        return "name=" + Printable(e.name, sizeof e.name) + " flash_base=" + Hex(e.flash_base) +
               " size=" + Hex(e.size) + " data_length=" + Hex(e.data_length);
    }
    case VAKO_MTD_FORMAT:
        return "units=" + std::to_string(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg)));
    case VAKO_MTD_SET_PART_TABLE: {
        std::string s = "units=";
        for (int i = 0; i < 8; ++i) {
            auto u = static_cast<int32_t>(GetBe32(p + 4 * i));
            s += (i ? "," : "") + std::to_string(u);
        }
        return s;
    }
    default:
        return "";
    }
}

bool TakesPointer(uint32_t req) { return req != VAKO_MTD_FORMAT; }

bool NeedsWrite(uint32_t req)
{
    switch (req) {
    case VAKO_MEMERASE:
    case VAKO_MTD_SET_PARTITION:
    case VAKO_MTD_SET_FIS_ENTRY:
    case VAKO_MTD_FORMAT:
    case VAKO_MTD_SET_PART_TABLE:
        return true;
    default:
        return false;
    }
}

bool Aligned(uint64_t v, uint32_t unit) { return unit && v % unit == 0; }

Res MtdIoctl(Session &s, int fd, const Dev &d, Window &w, uint32_t req, void *arg)
{
    st::State &state = s.state;
    auto p = static_cast<unsigned char *>(arg);
    bool tableRequest = req == VAKO_MTD_GET_PART_TABLE || req == VAKO_MTD_FORMAT ||
                        req == VAKO_MTD_SET_PART_TABLE;
    if (tableRequest && d.path != "/dev/mtd0")
        return Err(ENOTTY);
    if (NeedsWrite(req) && !Writable(fd))
        return Err(EPERM);
    switch (req) {
    case VAKO_MEMGETINFO: {
        mtd_info_user info;
        memset(&info, 0, sizeof info);
        info.type = MTD_NORFLASH;
        info.flags = MTD_CAP_NORFLASH;
        info.size = w.size;
        info.erasesize = state.eraseSize;
        memcpy(p, &info, sizeof info);
        return {0, 0};
    }
    case VAKO_MEMERASE: {
        uint64_t start = GetU32(p), length = GetU32(p + 4);
        if (length == 0 || !Aligned(start, state.eraseSize) || !Aligned(length, state.eraseSize) ||
            start + length > w.size)
            return Err(EINVAL);
        if (w.locked)
            return Err(EROFS);
        std::vector<uint8_t> ff(length, 0xFF);
        if (!s.ChipWrite(w.offset + start, ff.data(), ff.size()))
            return Err(EIO);
        return {0, 0};
    }
    case VAKO_MEMLOCK:
    case VAKO_MEMUNLOCK: {
        uint64_t start = GetU32(p), length = GetU32(p + 4);
        if (start + length > w.size)
            return Err(EINVAL);
        w.locked = req == VAKO_MEMLOCK;
        s.Dirty();
        return {0, 0};
    }
    case VAKO_MTD_SET_PARTITION: {
        uint64_t offset = GetBe32(p), size = GetBe32(p + 4);
        if (size == 0 || !Aligned(offset, state.eraseSize) || !Aligned(size, state.eraseSize) ||
            offset + size > state.chipSize)
            return Err(EINVAL);
        w.offset = static_cast<uint32_t>(offset);
        w.size = static_cast<uint32_t>(size);
        w.dataLength = std::min(w.dataLength.value_or(w.size), w.size);
        s.Dirty();
        return {0, 0};
    }
    case VAKO_MTD_SET_FIS_ENTRY: {
        // The kernel rewrites the directory block itself: no NOR rule, no lock.
        FisInfo e = GetFisInfo(p);
        for (uint64_t off = 0; off + VAKO_FIS_ENTRY_SIZE <= w.size; off += VAKO_FIS_ENTRY_SIZE) {
            uint8_t rec[VAKO_FIS_ENTRY_SIZE];
            if (!s.ChipRead(w.offset + off, rec, sizeof rec))
                return Err(EIO);
            if (rec[0] == 0xFF)
                break;
            if (strncmp(reinterpret_cast<const char *>(rec), e.name, VAKO_FIS_NAME_SIZE) != 0)
                continue;
            PutBe32(rec + 16, e.flash_base);
            PutBe32(rec + 24, e.size);
            PutBe32(rec + 32, e.data_length);
            bool ok = s.ChipWrite(w.offset + off + 16, rec + 16, 4) &&
                      s.ChipWrite(w.offset + off + 24, rec + 24, 4) &&
                      s.ChipWrite(w.offset + off + 32, rec + 32, 4);
            return ok ? Res{0, 0} : Err(EIO);
        }
        return Err(ENOENT);
    }
    case VAKO_MTD_GET_PART_TABLE: {
        memset(p, 0, 64);
        for (int i = 0; i < 8; ++i)
            if (const Window *x = state.FindWindow("/dev/mtd" + std::to_string(i))) {
                PutBe32(p + 8 * i, x->size);
                PutBe32(p + 8 * i + 4, x->dataLength.value_or(x->size));
            }
        return {0, 0};
    }
    case VAKO_MTD_FORMAT: {
        uint32_t units = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg));
        if (state.chipSize % VAKO_MTD_UNIT_SIZE != 0 || units != state.chipSize / VAKO_MTD_UNIT_SIZE)
            return Err(EINVAL);
        std::vector<uint8_t> ff(state.chipSize, 0xFF);
        if (!s.ChipWrite(0, ff.data(), ff.size()))
            return Err(EIO);
        state.formatted = d.desc;
        return {0, 0};
    }
    case VAKO_MTD_SET_PART_TABLE: {
        // Only right after a format, on the descriptor that formatted.
        if (state.formatted != d.desc)
            return Err(EINVAL);
        int32_t units[8];
        for (int i = 0; i < 8; ++i)
            units[i] = static_cast<int32_t>(GetBe32(p + 4 * i));
        uint64_t total = 0;
        for (int32_t u : units) {
            if (u < 0)
                return Err(EINVAL);
            total += static_cast<uint64_t>(u) * VAKO_MTD_UNIT_SIZE;
        }
        if (total > state.chipSize)
            return Err(EINVAL);
        uint32_t offset = 0;
        for (int i = 0; i < 8; ++i) {
            std::string name = "/dev/mtd" + std::to_string(i);
            Window *x = state.FindWindow(name);
            if (!x) {
                Window fresh;
                fresh.device = name;
                state.windows.push_back(fresh);
                x = &state.windows.back();
            }
            x->offset = offset;
            x->size = static_cast<uint32_t>(units[i]) * VAKO_MTD_UNIT_SIZE;
            x->dataLength = x->size;
            x->locked = false;
            offset += x->size;
        }
        return {0, 0};
    }
    default:
        return Err(ENOTTY);
    }
}

Res MdIoctl(const Dev &d, MdArray &m, uint32_t req, void *arg)
{
    switch (req) {
    case VAKO_MD_GET_ARRAY_INFO: {
        if (!m.active)
            return Err(ENODEV);
        int32_t info[18] = {};
        info[1] = 90;  // minor_version
        info[4] = m.level;
        info[5] = m.componentKB;
        info[6] = m.nrDisks;
        info[7] = m.raidDisks;
        info[8] = atoi(d.path.c_str() + 7);  // md_minor
        memcpy(arg, info, sizeof info);
        return {0, 0};
    }
    case VAKO_BLKGETSIZE64: {
        uint64_t bytes = m.active ? m.deviceBytes : 0;
        memcpy(arg, &bytes, sizeof bytes);
        return {0, 0};
    }
    case VAKO_MD_GET_SYNC_STATUS:
        if (!m.active)
            return Err(ENODEV);
        memcpy(arg, m.sync.data(), sizeof(uint32_t) * 3);
        return {0, 0};
    default:
        return Err(ENOTTY);
    }
}

// The fault knob of the request, when its turn has come.
const Fault *IoctlFault(Session &s, const Dev &d, uint32_t req)
{
    const Fault *hit = nullptr;
    for (auto &f : s.state.faults) {
        if (f.device != d.path)
            continue;
        bool counts = (f.kind == FaultKind::FailIoctl && f.request == req) ||
                      (f.kind == FaultKind::FailErase && req == VAKO_MEMERASE);
        if (!counts)
            continue;
        s.Dirty();
        if (++f.seen == f.nth && !hit)
            hit = &f;
    }
    return hit;
}

Res DeviceIoctl(int fd, const Dev &d, unsigned long request, void *arg)
{
    auto req = static_cast<uint32_t>(request);
    Session s;
    if (!s.Begin(true))
        return Err(ENXIO);
    std::string name = RequestText(req);
    Res r;
    std::string args;
    Window *w = s.state.FindWindow(d.path);
    MdArray *m = s.state.FindMd(d.path);
    if (!w && !m) {
        r = Err(ENXIO);
    } else if (TakesPointer(req) && !arg) {
        r = Err(EFAULT);
    } else {
        args = ArgsText(req, arg);
        if (const Fault *f = IoctlFault(s, d, req))
            r = Err(f->error);
        else
            r = w ? MtdIoctl(s, fd, d, *w, req, arg) : MdIoctl(d, *m, req, arg);
    }
    // A format's mark lasts until the next request.
    if (req != VAKO_MTD_FORMAT || r.err)
        s.state.formatted.clear();
    s.Journal(d.path, name, args, r);
    s.Dirty();
    return r;
}

// ---- kernel calls ----

bool KernelCall(long n, long arg, long *ret)
{
    if (n != VAKO_SYSCALL_MSYS_FLAG && n != VAKO_SYSCALL_MTD_BUFFER)
        return false;
    Session s;
    if (!s.Begin(true))
        return false;
    const auto &c = s.state.calls;
    Res r;
    std::string args;
    if (n == VAKO_SYSCALL_MSYS_FLAG) {
        if (c.msys401 == Call::Absent)
            r = Err(ENOSYS);
        else if (c.msys401 == Call::Refused)
            r = Err(c.errno401);
        else if (!arg)
            r = Err(EFAULT);
        else
            memcpy(reinterpret_cast<void *>(arg), &c.msysWord, sizeof c.msysWord);
    } else {
        args = "arg=" + std::to_string(static_cast<int>(arg));
        if (c.mtdBuf405 == Call::Absent)
            r = Err(ENOSYS);
        else if (c.mtdBuf405 == Call::Refused)
            r = Err(c.errno405);
    }
    s.Journal("-", "syscall" + std::to_string(n), args, r);
    *ret = Finish(r, errno);
    return true;
}

// ---- streams on a device ----

ssize_t CookieRead(void *c, char *buf, size_t n);
ssize_t CookieWrite(void *c, const char *buf, size_t n);
int CookieSeek(void *c, off64_t *pos, int whence);
int CookieClose(void *c);

int FlagsOfMode(const char *mode)
{
    int flags;
    switch (mode[0]) {
    case 'r': flags = O_RDONLY; break;
    case 'w': flags = O_WRONLY | O_CREAT | O_TRUNC; break;
    case 'a': flags = O_WRONLY | O_CREAT | O_APPEND; break;
    default: return -1;
    }
    for (const char *m = mode + 1; *m && *m != ','; ++m) {
        if (*m == '+')
            flags = (flags & ~O_ACCMODE) | O_RDWR;
        else if (*m == 'e')
            flags |= O_CLOEXEC;
        else if (*m == 'x')
            flags |= O_EXCL;
    }
    return flags;
}

FILE *DeviceStream(int fd, const char *mode)
{
    cookie_io_functions_t io{CookieRead, CookieWrite, CookieSeek, CookieClose};
    FILE *f = fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(fd)), mode, io);
    // So that fileno() gives the descriptor, for its ioctls.
    if (f)
        f->_fileno = fd;
    return f;
}

// stdio reads and writes a stream through the C library's inner system
// calls, which pass by these functions: a standard stream on a device
// (a shell's "> /dev/mtd1" before exec) becomes a stream of ours.
__attribute__((constructor)) void AdoptStandardStreams()
{
    if (!Dir())
        return;
    FILE **streams[3] = {&stdin, &stdout, &stderr};
    for (int fd = 0; fd < 3; ++fd) {
        if (!DeviceOf(fd))
            continue;
        int acc = AccessMode(fd);
        FILE *f = DeviceStream(fd, acc == O_RDONLY ? "r" : acc == O_WRONLY ? "w" : "r+");
        if (!f)
            continue;
        if (fd == 2)
            setvbuf(f, nullptr, _IONBF, 0);
        *streams[fd] = f;
    }
}

// ---- the entry points, shared by their variants ----

int OpenPath(const char *path, int flags, mode_t mode, int (*pass)(const char *, int, ...))
{
    int saved = errno;
    if (DeviceExists(path))
        return static_cast<int>(Finish(OpenDevice(path, flags), saved));
    return pass(path, flags, mode);
}

int OpenAtPath(int dirfd, const char *path, int flags, mode_t mode,
               int (*pass)(int, const char *, int, ...))
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
        if (auto d = DeviceOfStat(fd, s))
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
        return Finish(DeviceWrite(fd, *d, buf, n, at), saved);
    }
    return at ? REAL(pwrite)(fd, buf, n, *at) : REAL(write)(fd, buf, n);
}

ssize_t CookieRead(void *c, char *buf, size_t n)
{
    return Read(static_cast<int>(reinterpret_cast<intptr_t>(c)), buf, n, std::nullopt);
}
ssize_t CookieWrite(void *c, const char *buf, size_t n)
{
    return Write(static_cast<int>(reinterpret_cast<intptr_t>(c)), buf, n, std::nullopt);
}
int CookieSeek(void *c, off64_t *pos, int whence)
{
    off_t r = lseek(static_cast<int>(reinterpret_cast<intptr_t>(c)), *pos, whence);
    if (r < 0)
        return -1;
    *pos = r;
    return 0;
}
int CookieClose(void *c) { return close(static_cast<int>(reinterpret_cast<intptr_t>(c))); }

// Device descriptors have no page cache or file behind them to splice.
bool AnyDevice(int a, int b) { return DeviceOf(a) || DeviceOf(b); }

} // namespace

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

int __openat_2(int dirfd, const char *path, int flags)
{
    return OpenAtPath(dirfd, path, flags, 0, REAL(openat));
}
int __openat64_2(int dirfd, const char *path, int flags)
{
    return OpenAtPath(dirfd, path, flags, 0, REAL(openat64));
}

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
    return Finish(DeviceWrite(fd, *d, buf.data(), buf.size(), std::nullopt), saved);
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
    return REAL(syscall)(n, a[0], a[1], a[2], a[3], a[4], a[5]);
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
