#include "slib/lock.h"
#include "slib/error.h"
#include "slibcxx/raii.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <array>

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

// The operations' own source names, recorded with their error codes.
constexpr const char *kSrcCheckDir = "file_lock_check_dir";
constexpr const char *kSrcLock = "file_lock";
constexpr const char *kSrcUnlock = "file_unlock";

template <typename F> void ForEachRow(F f)
{
    for (SLIBFILELOCKENTRY *row = gLockTable; row->mask; ++row)
        f(*row);
}

// The lock directory is world-writable ground: never follow a planted
// link, never block on a planted FIFO, never truncate.
slib::Fd OpenLockFile(const char *szPath, int flags)
{
    slib::Fd fd(open(szPath, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    struct stat st;
    if (fd.ok() && (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)))
        fd.reset();
    return fd;
}

bool IsRegular(const char *szPath)
{
    struct stat st;
    return lstat(szPath, &st) == 0 && S_ISREG(st.st_mode);
}

bool IsDirectory(const char *szPath)
{
    struct stat st;
    return lstat(szPath, &st) == 0 && S_ISDIR(st.st_mode);
}

FILE *OpenForLock(const char *szPath)
{
    slib::Fd fd = OpenLockFile(szPath, O_RDONLY);
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

// One pass over the table; on anything but Taken no hold of this pass stays.
Attempt TryOnce(unsigned want, int op)
{
    unsigned taken = 0, touched = 0;
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
    if (!IsDirectory(kLockDir)) {
        if (mkdir(kLockDir, 0700) != 0 || chmod(kLockDir, 0755) != 0) {
            SLIB_ERR_IN(kSrcCheckDir, SLIB_ERR_LOCK_DIR);
            return -1;
        }
    }
    int result = 0;
    ForEachRow([&](SLIBFILELOCKENTRY &row) {
        if (result != 0 || IsRegular(row.szPath))
            return;
        if (!OpenLockFile(row.szPath, O_WRONLY | O_CREAT).ok()) {
            SLIB_ERR_IN(kSrcCheckDir, SLIB_ERR_OPEN);
            result = -1;
        }
    });
    return result;
}

int ErrSLIBFileLock(int request, int timeoutSec)
{
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
