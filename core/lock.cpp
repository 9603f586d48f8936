#include "slib/lock.h"
#include "slib/error.h"
#include "slibcxx/border.h"
#include "slibcxx/raii.h"
#include "slibcxx/trusted.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <exception>

namespace {

SLIBFILELOCKENTRY gLockTable[] = {
    {nullptr, SZD_SLIB_LOCK "lock_vakoinfo", SLIB_LOCK_VAKOINFO, 0, 0},
    {nullptr, SZD_SLIB_LOCK "lock_pw", SLIB_LOCK_PW, 0, 0},
    {nullptr, SZD_SLIB_LOCK "lock_gr", SLIB_LOCK_GR, 0, 0},
    {nullptr, SZD_SLIB_LOCK "lock_rc", SLIB_LOCK_RC, 0, 0},
    {nullptr, SZD_SLIB_LOCK "lock_host", SLIB_LOCK_HOST, 0, 0},
    {nullptr, SZD_SLIB_LOCK "lock_smb", SLIB_LOCK_SMB, 0, 0},
    {nullptr, SZD_SLIB_LOCK "lock_exports", SLIB_LOCK_EXPORTS, 0, 0},
    {nullptr, SZD_SLIB_LOCK "lock_nw", SLIB_LOCK_NW, 0, 0},
    {nullptr, SZD_SLIB_LOCK "lock_apple", SLIB_LOCK_APPLE, 0, 0},
    {nullptr, SZD_SLIB_LOCK "lock_snmp", SLIB_LOCK_SNMP, 0, 0},
    {nullptr, SZD_SLIB_LOCK "lock_win", SLIB_LOCK_WIN, 0, 0},
    {nullptr, SZD_SLIB_LOCK "lock_tapebkp", SLIB_LOCK_TAPEBKP, 0, 0},
    {nullptr, SZD_SLIB_LOCK "lock_connect", SLIB_LOCK_CONNECT, 0, 0},
    {nullptr, SZD_SLIB_LOCK "lock_usbidmap", SLIB_LOCK_USBIDMAP, 0, 0},
    {nullptr, SZD_SLIB_LOCK "lock_duseruid", SLIB_LOCK_DUSERUID, 0, 0},
    {nullptr, SZD_SLIB_LOCK "lock_dusergid", SLIB_LOCK_DUSERGID, 0, 0},
    {nullptr, SZD_SLIB_LOCK "lock_fstab", SLIB_LOCK_FSTAB, 0, 0},
    {nullptr, SZD_SLIB_LOCK "lock_hotswap", SLIB_LOCK_HOTSWAP, 0, 0},
    {nullptr, nullptr, 0, 0, 0},
};

constexpr unsigned kOpBits = 0xF;
// Without its trailing slash, so that a link in its place is seen, not followed.
constexpr auto kLockDirBuf = [] {
    std::array<char, sizeof SZD_SLIB_LOCK - 1> dir{};
    for (size_t i = 0; i + 1 < dir.size(); ++i)
        dir[i] = SZD_SLIB_LOCK[i];
    return dir;
}();
constexpr const char *kLockDir = kLockDirBuf.data();
constexpr long kPollMs = 50;
constexpr mode_t kLockFileMode = 0600;
constexpr mode_t kLockDirMode = 0755;

// The operations' own source names, recorded with their error codes.
constexpr const char *kSrcCheckDir = "file_lock_check_dir";
constexpr const char *kSrcLock = "file_lock";
constexpr const char *kSrcUnlock = "file_unlock";

template <typename F> void ForEachRow(F f)
{
    for (SLIBFILELOCKENTRY *row = gLockTable; row->mask; ++row)
        f(*row);
}

// Lock files are root's (or this account's), readable by their owner
// alone: a file that another account could open could be held by it for
// ever.  Anything else at a lock file's name is removed and made anew.
slib::TrustedName LockFile(const char *szPath, const char *src)
{
    return {.path = szPath,
            .flags = O_RDONLY,
            .mode = kLockFileMode,
            .checks = slib::kTrustOwnFile | slib::kTrustModeWithin,
            .replace = true,
            .src = src};
}

bool OwnedByUs(const struct stat &st) { return st.st_uid == geteuid() || st.st_uid == 0; }

bool SetDirMode()
{
    slib::Fd dir(open(kLockDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return dir.ok() && fchmod(dir.get(), kLockDirMode) == 0;
}

// The lock directory, the meeting point of every process of the appliance:
// root's own (or this account's), writable by its owner alone, for nobody
// else may place or replace the lock files.  Whatever another account made
// at its name is removed (a directory moved aside first) and the directory
// made anew; a non-directory of this account's is no lock directory.
bool LockDirReady()
{
    for (int round = 0; round < 2; ++round) {
        struct stat st;
        if (lstat(kLockDir, &st) == 0) {
            if (OwnedByUs(st) && !S_ISDIR(st.st_mode))
                return false;
            if (OwnedByUs(st)) {
                if (!(st.st_mode & 022))
                    return true;
                bool ok = SetDirMode();
                syslog(LOG_ERR, "%s:%d [%s] is of mode %04o: %s", kSrcCheckDir, __LINE__, kLockDir,
                       static_cast<unsigned>(st.st_mode & 07777), ok ? "made 0755" : "cannot be changed");
                return ok;
            }
            if (!slib::RemoveName(kLockDir)) {
                syslog(LOG_ERR, "%s:%d [%s] is owned by uid %u: cannot be removed, errno=[%d/%m]", kSrcCheckDir,
                       __LINE__, kLockDir, static_cast<unsigned>(st.st_uid), errno);
                return false;
            }
            syslog(LOG_ERR, "%s:%d [%s] is owned by uid %u: removed", kSrcCheckDir, __LINE__, kLockDir,
                   static_cast<unsigned>(st.st_uid));
        } else if (errno != ENOENT) {
            return false;
        }
        if (mkdir(kLockDir, 0700) == 0)
            return SetDirMode();
        // Made by another process meanwhile: looked at again.
        if (errno != EEXIST)
            return false;
    }
    return false;
}

FILE *OpenForLock(const char *szPath)
{
    slib::Fd fd = slib::OpenTrusted(LockFile(szPath, kSrcLock));
    if (!fd.ok())
        return nullptr;
    FILE *fp = fdopen(fd.get(), "r");
    if (fp)
        fd.release(); // the stream owns it now
    return fp;
}

void SleepMs(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

enum class Attempt { Taken, NotAll, Contended, Upgrade };

// Releases the rows a pass touched when an exception ends it (a lock file
// that could not be made anew for want of memory), as a refused lock does.
class PassUndo {
public:
    explicit PassUndo(const unsigned &touched) : touched_(touched) {}
    ~PassUndo()
    {
        if (std::uncaught_exceptions() > exceptions_)
            ErrSLIBFileUnlock(static_cast<int>(touched_));
    }
    PassUndo(const PassUndo &) = delete;
    PassUndo &operator=(const PassUndo &) = delete;

private:
    const unsigned &touched_;
    int exceptions_ = std::uncaught_exceptions();
};

// One pass over the table; on anything but Taken no hold of this pass stays.
Attempt TryOnce(unsigned want, int op)
{
    unsigned taken = 0, touched = 0;
    PassUndo undo(touched);
    for (SLIBFILELOCKENTRY *row = gLockTable; row->mask; ++row) {
        if (!(row->mask & want))
            continue;
        if (row->fp) {
            ++row->refCount;
            taken |= row->mask;
            touched |= row->mask;
            if (row->op == SLIB_LOCK_SH && op == SLIB_LOCK_EX) {
                ErrSLIBFileUnlock(static_cast<int>(touched));
                return Attempt::Upgrade;
            }
            continue;
        }
        FILE *fp = OpenForLock(row->szPath);
        if (!fp)
            continue;
        row->fp = fp;
        row->refCount = 1;
        touched |= row->mask;
        if (flock(fileno(fp), op) != 0) {
            ErrSLIBFileUnlock(static_cast<int>(touched));
            return Attempt::Contended;
        }
        row->op = op;
        taken |= row->mask;
    }
    if (taken == want)
        return Attempt::Taken;
    ErrSLIBFileUnlock(static_cast<int>(taken));
    return Attempt::NotAll;
}

} // namespace

extern "C" {

int SLIBFileLockCheckDir(void)
{
    return slib::Guarded(kSrcCheckDir, -1, [&] {
        if (!LockDirReady()) {
            SLIB_ERR_IN(kSrcCheckDir, SLIB_ERR_LOCK_DIR);
            return -1;
        }
        int result = 0;
        ForEachRow([&](SLIBFILELOCKENTRY &row) {
            if (result != 0)
                return;
            // The name's status first: a lock file that passes needs no open.
            const slib::TrustedName name = LockFile(row.szPath, kSrcCheckDir);
            struct stat st;
            char why[64];
            if (lstat(row.szPath, &st) == 0 && !slib::TrustRefusal(st, name, why, sizeof why))
                return;
            if (!slib::OpenTrusted(name).ok())
                result = -1;
        });
        return result;
    });
}

int ErrSLIBFileLock(int request, int timeoutSec)
{
    return slib::Guarded(kSrcLock, -1, [&] {
        if (SLIBFileLockCheckDir() != 0)
            return -1;
        unsigned want = static_cast<unsigned>(request) & ~kOpBits;
        int op = static_cast<int>(static_cast<unsigned>(request) & kOpBits);
        int64_t limit = static_cast<int64_t>(timeoutSec) * 100;
        for (int64_t i = 0; i <= limit; i += kPollMs / 10) {
            Attempt a = TryOnce(want, op);
            if (a == Attempt::Taken)
                return 0;
            if (a == Attempt::Upgrade || timeoutSec == 0)
                break;
            SleepMs(kPollMs);
        }
        SLIB_ERR_IN(kSrcLock, SLIB_ERR_LOCK_TIMEOUT);
        return -1;
    });
}

int ErrSLIBFileUnlock(int mask)
{
    unsigned bits = static_cast<unsigned>(mask) & ~kOpBits;
    int result = 0;
    ForEachRow([&](SLIBFILELOCKENTRY &row) {
        if (!row.fp || !(row.mask & bits))
            return;
        if (row.refCount > 1) {
            --row.refCount;
            return;
        }
        if (flock(fileno(row.fp), LOCK_UN) != 0) {
            SLIB_ERR_IN(kSrcUnlock, SLIB_ERR_LOCK_RELEASE);
            result = -1;
        }
        if (fclose(row.fp) != 0)
            result = -1;
        row.fp = nullptr;
        row.refCount = 0;
    });
    return result;
}

int SLIBFileLockCloseAll(void)
{
    int result = 0;
    ForEachRow([&](SLIBFILELOCKENTRY &row) {
        row.refCount = 0;
        if (row.fp) {
            // A plain close: the parent shares this open file and keeps its lock.
            if (fclose(row.fp) != 0)
                result = -1;
            row.fp = nullptr;
        }
    });
    return result;
}

} // extern "C"
