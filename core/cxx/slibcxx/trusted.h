// Fixed names in places that other accounts can write (/tmp, /tmp/lock, a
// user's folder): reached without following a link or blocking on a FIFO,
// trusted only once the descriptor is checked, and their flock waited for
// with a bound.  For the implementation of the libraries and the updater
// (not part of the C interface); header-only, not exported (the libraries
// build with -fvisibility-inlines-hidden).
#pragma once

#include <dirent.h>
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

#include <string>
#include <vector>

#include "slib/error.h"
#include "slibcxx/raii.h"

namespace slib {

// What a file must be to be trusted; each caller names the checks that apply.
enum TrustCheck : unsigned {
    kTrustRegular = 1u << 0,      // a regular file: no FIFO, device, socket or directory
    kTrustOwner = 1u << 1,        // owned by the effective user, or by root
    kTrustOneLink = 1u << 2,      // its only name: no hard link elsewhere
    kTrustNoOtherWrite = 1u << 3, // no write for its group or others
    kTrustModeWithin = 1u << 4,   // no permission bit beyond the mode it is made with
};
// A file that only its owner's processes are to write.
inline constexpr unsigned kTrustOwnFile = kTrustRegular | kTrustOwner | kTrustOneLink;

// A fixed name and the rules it is opened by.
struct TrustedName {
    const char *path;
    // The access mode, with O_CREAT when a missing file is made (never
    // O_TRUNC or O_EXCL).
    int flags = O_RDONLY;
    // The mode of a file made here, set whatever the process mask.
    mode_t mode = 0600;
    unsigned checks = kTrustOwnFile | kTrustNoOtherWrite;
    // A refused name is removed (never followed) and the file made anew;
    // otherwise the open fails.
    bool replace = false;
    // The caller's source name: error codes are recorded and messages
    // logged under it, as the caller's own.
    const char *src = "";
};

// Why an open file of status st is refused under name's checks (written
// into why, e.g. "owned by uid 1000"): false when it is trusted.
inline bool TrustRefusal(const struct stat &st, const TrustedName &name, char *why, size_t cbWhy)
{
    const unsigned c = name.checks;
    const mode_t perm = st.st_mode & 07777;
    if ((c & kTrustRegular) && !S_ISREG(st.st_mode))
        snprintf(why, cbWhy, "%s", S_ISLNK(st.st_mode) ? "a symbolic link" : "not a regular file");
    else if ((c & kTrustOwner) && st.st_uid != geteuid() && st.st_uid != 0)
        snprintf(why, cbWhy, "owned by uid %u", static_cast<unsigned>(st.st_uid));
    else if ((c & kTrustOneLink) && st.st_nlink != 1)
        snprintf(why, cbWhy, "linked %lu times", static_cast<unsigned long>(st.st_nlink));
    else if (((c & kTrustNoOtherWrite) && (perm & 022)) || ((c & kTrustModeWithin) && (perm & ~name.mode)))
        snprintf(why, cbWhy, "of mode %04o", static_cast<unsigned>(perm));
    else
        return false;
    return true;
}

namespace trusted_detail {

// A directory stream of its own over a copy of the open directory dir,
// from its first entry (the copy shares dir's offset); NULL when it cannot
// be made. dir itself stays open.
inline DIR *StreamOf(int dir)
{
    Fd copy(dup(dir));
    DIR *d = copy.ok() ? fdopendir(copy.get()) : nullptr;
    if (!d)
        return nullptr;
    copy.release(); // the stream owns it now
    rewinddir(d);
    return d;
}

} // namespace trusted_detail

// The names in the open directory dir but "." and ".." (none when it
// cannot be read); dir itself stays open.
inline std::vector<std::string> DirNames(int dir)
{
    std::vector<std::string> names;
    DIR *d = trusted_detail::StreamOf(dir);
    if (!d)
        return names;
    while (const dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    closedir(d);
    return names;
}

namespace trusted_detail {

// How deep a refused directory is emptied; what lies deeper stays in the
// private directory it was moved into.
constexpr int kTreeDepth = 16;
// Removals of a name that is planted again each time.
constexpr int kRounds = 3;

// Empties the open directory dir, depth levels down, never following a
// link: true when nothing is left in it. Only the C library's directory
// streams are allocated: a refused tree, once moved aside, is never left
// half removed for want of memory.
inline bool EmptyDirAt(int dir, int depth)
{
    DIR *d = StreamOf(dir);
    if (!d)
        return false;
    bool empty = true;
    while (const dirent *e = readdir(d)) {
        const char *n = e->d_name;
        if (strcmp(n, ".") == 0 || strcmp(n, "..") == 0 || unlinkat(dir, n, 0) == 0 || errno == ENOENT)
            continue;
        Fd sub(depth > 0 && (errno == EISDIR || errno == EPERM)
                   ? openat(dir, n, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                   : -1);
        if (!sub.ok() || !EmptyDirAt(sub.get(), depth - 1) || unlinkat(dir, n, AT_REMOVEDIR) != 0)
            empty = false;
    }
    closedir(d);
    return empty;
}

// What stands at path, as the refusal of a name that could not be opened
// (errno kept when it is no refusal).
inline bool RefusedName(const char *path, struct stat &st, char *why, size_t cbWhy)
{
    const int err = errno;
    if (lstat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        snprintf(why, cbWhy, "%s", S_ISLNK(st.st_mode) ? "a symbolic link" : "not a regular file");
        return true;
    }
    errno = err;
    return false;
}

// Sleeps ms milliseconds (less when a signal comes).
inline void Pause(int ms)
{
    const struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// -1 with 0x0900 recorded under the caller's source name, errno kept.
inline Fd Failed(const char *src, int line)
{
    const int err = errno;
    SLIBErrorSetEx(SLIB_ERR_OPEN, src, line);
    errno = err;
    return Fd();
}

} // namespace trusted_detail

// Removes whatever stands at path without following it: a directory with
// entries is first moved into a private directory beside it (so that
// nobody can refill it meanwhile), then emptied. True when the name is free.
inline bool RemoveName(const char *path)
{
    if (unlink(path) == 0 || errno == ENOENT)
        return true;
    if (errno != EISDIR && errno != EPERM)
        return false;
    if (rmdir(path) == 0 || errno == ENOENT)
        return true;
    if (errno != ENOTEMPTY && errno != EEXIST)
        return false;
    std::string aside(path);
    aside.erase(aside.rfind('/') + 1);
    aside += ".refused.XXXXXX";
    // Both names are whole before anything is made: memory running out
    // leaves nothing behind.
    std::string moved = aside + "/refused";
    if (!mkdtemp(aside.data()))
        return false;
    moved.replace(0, aside.size(), aside);
    if (rename(path, moved.c_str()) != 0) {
        rmdir(aside.c_str());
        return false;
    }
    Fd dir(open(aside.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.ok() && trusted_detail::EmptyDirAt(dir.get(), trusted_detail::kTreeDepth))
        rmdir(aside.c_str());
    return true;
}

// Opens name.path with O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC and checks the
// descriptor.  A link, FIFO or file that fails a check is refused and
// logged; with name.replace it is removed and the file made anew with
// O_EXCL.  The descriptor (*made tells that the file was made by this
// call), or -1 with 0x0900 recorded under name.src (errno of the failing
// call; *refused tells a refusal).
inline Fd OpenTrusted(const TrustedName &name, bool *refused = nullptr, bool *made = nullptr,
                      int line = __builtin_LINE())
{
    constexpr int kAlways = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    const int access = name.flags & O_ACCMODE;
    const bool create = (name.flags & O_CREAT) || name.replace;
    if (refused)
        *refused = false;
    if (made)
        *made = false;
    char why[64];
    for (int round = 0; round < trusted_detail::kRounds; ++round) {
        Fd fd(open(name.path, access | kAlways));
        struct stat st;
        if (fd.ok()) {
            if (fstat(fd.get(), &st) != 0)
                return trusted_detail::Failed(name.src, line);
            // Removed or replaced right after the open: the name is looked at again.
            if (st.st_nlink == 0)
                continue;
            if (!TrustRefusal(st, name, why, sizeof why))
                return fd;
            fd.reset();
        } else if (errno == ENOENT) {
            if (!create)
                return trusted_detail::Failed(name.src, line);
            fd.reset(open(name.path, access | O_CREAT | O_EXCL | kAlways, name.mode));
            if (fd.ok() && fchmod(fd.get(), name.mode) == 0) {
                if (made)
                    *made = true;
                return fd;
            }
            if (fd.ok()) {
                const int err = errno;
                unlink(name.path);
                errno = err;
                return trusted_detail::Failed(name.src, line);
            }
            if (errno == EEXIST)
                continue; // planted meanwhile: looked at again
            return trusted_detail::Failed(name.src, line);
        } else if (!trusted_detail::RefusedName(name.path, st, why, sizeof why)) {
            return trusted_detail::Failed(name.src, line);
        }
        if (refused)
            *refused = true;
        if (!name.replace) {
            syslog(LOG_ERR, "%s:%d [%s] is %s: refused", name.src, line, name.path, why);
            errno = EPERM;
            return trusted_detail::Failed(name.src, line);
        }
        // Only what was refused: another process may have made the file anew.
        struct stat now;
        if (lstat(name.path, &now) == 0 && (now.st_dev != st.st_dev || now.st_ino != st.st_ino))
            continue;
        if (!RemoveName(name.path)) {
            syslog(LOG_ERR, "%s:%d [%s] is %s: cannot be removed, errno=[%d/%m]", name.src, line, name.path, why,
                   errno);
            return trusted_detail::Failed(name.src, line);
        }
        syslog(LOG_ERR, "%s:%d [%s] is %s: removed", name.src, line, name.path, why);
    }
    errno = EEXIST;
    return trusted_detail::Failed(name.src, line);
}

// The waits for a flock that another process holds: a try, then one a
// pause after each failed one.
struct LockTries {
    int lockOp = LOCK_EX; // LOCK_SH or LOCK_EX; LOCK_NB is added
    int opens = 1;        // tries at opening the name
    int locks = 0;        // tries at the lock of an open file; 0: a refused lock closes it and counts as an open's try
    int pauseMs = 1000;   // the pause between two tries
};
enum class LockedOpen { kHeld, kMissing, kRefused, kOpen, kLock };

// Opens name as OpenTrusted does and takes its flock within tries; a file
// replaced at the name meanwhile (its device and inode no longer those of
// the name's lstat) is released and opened again.  The locked descriptor
// (*why kHeld), or -1 with *why the step that failed, errno its last
// call's, 0x0900 recorded under name.src by a failed open.
inline Fd OpenLocked(const TrustedName &name, const LockTries &tries, LockedOpen *why, int line = __builtin_LINE())
{
    int opens = 0, locks = 0;
    for (;;) {
        bool refused = false;
        Fd fd = OpenTrusted(name, &refused, nullptr, line);
        if (!fd.ok()) {
            const bool creates = (name.flags & O_CREAT) || name.replace;
            if (refused || (errno == ENOENT && !creates)) {
                *why = refused ? LockedOpen::kRefused : LockedOpen::kMissing;
                return fd;
            }
            if (++opens >= tries.opens) {
                *why = LockedOpen::kOpen;
                return fd;
            }
            trusted_detail::Pause(tries.pauseMs);
            continue;
        }
        bool locked = flock(fd.get(), tries.lockOp | LOCK_NB) == 0;
        if (tries.locks > 0) {
            while (!locked && ++locks < tries.locks) {
                trusted_detail::Pause(tries.pauseMs);
                locked = flock(fd.get(), tries.lockOp | LOCK_NB) == 0;
            }
            if (!locked) {
                *why = LockedOpen::kLock;
                return Fd();
            }
        } else if (!locked) {
            const int err = errno;
            fd.reset();
            errno = err;
            if (++opens >= tries.opens) {
                *why = LockedOpen::kLock;
                return fd;
            }
            trusted_detail::Pause(tries.pauseMs);
            continue;
        }
        struct stat held, now;
        if (fstat(fd.get(), &held) == 0 && lstat(name.path, &now) == 0 && held.st_dev == now.st_dev &&
            held.st_ino == now.st_ino) {
            *why = LockedOpen::kHeld;
            return fd;
        }
        // Replaced while this process waited: the file at the name is the one now.
        const int err = errno;
        flock(fd.get(), LOCK_UN);
        fd.reset();
        errno = err;
        if (++opens >= tries.opens) {
            *why = LockedOpen::kOpen;
            return fd;
        }
    }
}

} // namespace slib
