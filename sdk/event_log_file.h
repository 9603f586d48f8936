// Pieces of the event-log file shared by its writer and its shrink.
#pragma once

#include <stdint.h>
#include <sys/types.h>

// The library's own C++ (not part of the C interface): never exported.
#pragma GCC visibility push(hidden)

namespace vakolog {

// Each open and each lock is tried once more a second, this many times.
constexpr int kRetries = 10;

// Stored integers are big-endian on every processor.
inline uint16_t GetBe16(const unsigned char *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t GetBe32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}
inline void PutBe16(unsigned char *p, uint16_t v)
{
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}
inline void PutBe32(unsigned char *p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

enum class OpenFailure { kNone, kOpen, kLock };

// Opens path with flags (never through a link, never blocking) and takes an
// exclusive flock, each retried once a second; what is not a regular file of
// this account's (or root's) with one link is refused at once.  A file that
// was replaced at its path while this process waited for the lock (a shrink
// renamed a new one over it) is reopened, so that nobody writes into an
// unlinked file.  The locked descriptor, or -1 with *why telling the step
// that failed.
int OpenLocked(const char *path, int flags, mode_t mode, OpenFailure *why);

// Releases the lock and closes.
void CloseLocked(int fd);

// The u16 at off; false when it cannot be read whole.
bool ReadU16At(int fd, uint32_t off, uint16_t *value);
// n bytes at off: true when all were read / written.
bool ReadAt(int fd, uint32_t off, void *p, int n);
bool WriteAt(int fd, uint32_t off, const void *p, int n);

} // namespace vakolog

#pragma GCC visibility pop
