// The devices of the stand-in: which paths and descriptors are MTD and md
// devices, their descriptors, their status, and their data with the rules
// of NOR flash.
#pragma once

#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>

#include <optional>
#include <string>

#include "session.h"

namespace kstublib {

constexpr int kMtdMajor = 90, kMdMajor = 9;

// An open device: its path ("/dev/mtd1").
struct Dev {
    std::string path;
};

bool IsDevicePath(const char *path);
// True when the state has `path` as a device.
bool DeviceExists(const char *path);
// The device behind a descriptor whose real status is `s`.
std::optional<Dev> DeviceOfStat(const struct stat &s);
std::optional<Dev> DeviceOf(int fd);
// The name of the file behind a device descriptor, one for each open.
std::string DescriptorName(int fd);

int AccessMode(int fd);
bool Writable(int fd);

// A new descriptor for the device at `path`.
Res OpenDevice(const char *path, int flags);

// The status of a device: a character device for MTD, a block device for md.
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
void FakeStatx(const std::string &dev, struct statx *out);

Res DeviceRead(int fd, const Dev &d, void *buf, size_t count, std::optional<off_t> at);
Res DeviceWrite(int fd, const Dev &d, const void *buf, size_t count, std::optional<off_t> at);
Res DeviceSeek(int fd, const Dev &d, off_t off, int whence);

// read and write for any descriptor: a device's answered here, the others
// passed to the C library.
ssize_t Read(int fd, void *buf, size_t n, std::optional<off_t> at);
ssize_t Write(int fd, const void *buf, size_t n, std::optional<off_t> at);

} // namespace kstublib
