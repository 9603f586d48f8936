#include "slib/lock.h"
#include "slib/error.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdint.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "vakotest/files.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/planted.h"
#include "vakotest/run.h"
#include "vakotest/sleeps.h"

namespace fs = std::filesystem;
using vakotest::ForkChild;
using vakotest::MonotonicMs;
using vakotest::ReadFile;
using vakotest::WaitChild;
using vakotest::WriteFile;

namespace {

void SleepMs(int ms) { usleep(static_cast<useconds_t>(ms) * 1000); }

constexpr int64_t kPollMicros = 50000;

// Another process asks for request: 0 taken (and let go at exit), 1 refused
// with 0x0400, 2 refused with another code.
int TryInChild(int request, int timeoutSec)
{
    return WaitChild(ForkChild([=] {
        SLIBFileLockCloseAll();
        if (ErrSLIBFileLock(request, timeoutSec) == 0)
            return 0;
        return SLIBErrorGet() == SLIB_ERR_LOCK_TIMEOUT ? 1 : 2;
    }));
}

// A process that holds request until told to release it, and reports the
// moment right before its release.
class Holder {
public:
    explicit Holder(int request)
    {
        EXPECT_EQ(pipe(up_), 0);
        EXPECT_EQ(pipe(down_), 0);
        pid_ = ForkChild([=, this] {
            close(up_[0]);
            close(down_[1]);
            SLIBFileLockCloseAll();
            char ok = ErrSLIBFileLock(request, 0) == 0 ? 'y' : 'n';
            if (write(up_[1], &ok, 1) != 1 || ok != 'y')
                return 1;
            int32_t delayMs = 0;
            if (read(down_[0], &delayMs, sizeof delayMs) != sizeof delayMs)
                return 0;
            SleepMs(delayMs);
            int64_t t = MonotonicMs();
            ErrSLIBFileUnlock(request);
            return write(up_[1], &t, sizeof t) == sizeof t ? 0 : 1;
        });
        close(up_[1]);
        close(down_[0]);
        char ok = 0;
        EXPECT_EQ(read(up_[0], &ok, 1), 1);
        EXPECT_EQ(ok, 'y') << "holder could not take 0x" << std::hex << request;
    }
    ~Holder()
    {
        close(down_[1]);
        close(up_[0]);
        WaitChild(pid_);
    }
    // The holder lets go delayMs after this call.
    void ReleaseAfter(int32_t delayMs)
    {
        ASSERT_EQ(write(down_[1], &delayMs, sizeof delayMs), static_cast<ssize_t>(sizeof delayMs));
    }
    int64_t ReleaseTime()
    {
        int64_t t = 0;
        EXPECT_EQ(read(up_[0], &t, sizeof t), static_cast<ssize_t>(sizeof t));
        return t;
    }

private:
    int up_[2] = {-1, -1}, down_[2] = {-1, -1};
    pid_t pid_ = -1;
};

TEST(LockTable, ContentionTimesOutAfterFiveSeconds)
{
    Holder other(0x806);
    vakotest::SleepLog sleeps;
    int64_t t0 = MonotonicMs();
    EXPECT_EQ(ErrSLIBFileLock(0x806, 5), -1);
    int64_t spent = MonotonicMs() - t0;
    EXPECT_EQ(SLIBErrorGet(), 0x0400);
    EXPECT_STREQ(SLIBErrorGetFile(), "file_lock");
    // 101 attempts, each refused one followed by a pause of 50 ms.
    EXPECT_EQ(sleeps.Micros(), std::vector<int64_t>(101, kPollMicros));
    EXPECT_GE(spent, 4950);
    // A shared request against the exclusive hold is refused too.
    EXPECT_EQ(ErrSLIBFileLock(0x805, 0), -1);
}

TEST(LockTable, TakenWithinPollIntervalOfRelease)
{
    Holder other(0x806);
    vakotest::SleepLog sleeps;
    other.ReleaseAfter(700);
    ASSERT_EQ(ErrSLIBFileLock(0x806, 5), 0);
    int64_t got = MonotonicMs();
    int64_t released = other.ReleaseTime();
    EXPECT_GE(got, released);
    // Polled every 50 ms: taken at the first attempt after the release.
    for (int64_t pause : sleeps.Micros())
        EXPECT_EQ(pause, kPollMicros);
    // Now this process holds it: another one is kept out.
    EXPECT_EQ(TryInChild(0x806, 0), 1);
    EXPECT_EQ(ErrSLIBFileUnlock(0x800), 0);
    EXPECT_EQ(TryInChild(0x806, 0), 0);
}

TEST(LockTable, SharedHoldsCoexist)
{
    Holder other(0x805);
    EXPECT_EQ(ErrSLIBFileLock(0x805, 0), 0);
    EXPECT_EQ(ErrSLIBFileUnlock(0x800), 0);
    EXPECT_EQ(ErrSLIBFileLock(0x806, 0), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0400);
}

TEST(LockTable, SharedToExclusiveUpgradeRefusedAtOnce)
{
    ASSERT_EQ(ErrSLIBFileLock(0x805, 5), 0);
    vakotest::SleepLog sleeps;
    EXPECT_EQ(ErrSLIBFileLock(0x806, 5), -1);
    EXPECT_TRUE(sleeps.Micros().empty());
    EXPECT_EQ(SLIBErrorGet(), 0x0400);
    // Still held shared, and only once.
    EXPECT_EQ(TryInChild(0x805, 0), 0);
    EXPECT_EQ(TryInChild(0x806, 0), 1);
    EXPECT_EQ(ErrSLIBFileUnlock(0x800), 0);
    EXPECT_EQ(TryInChild(0x806, 0), 0);
}

TEST(LockTable, NestedHoldsKeepFirstModeAndCount)
{
    ASSERT_EQ(ErrSLIBFileLock(0x806, 5), 0);
    vakotest::SleepLog sleeps;
    ASSERT_EQ(ErrSLIBFileLock(0x805, 5), 0);
    EXPECT_TRUE(sleeps.Micros().empty());
    EXPECT_EQ(ErrSLIBFileUnlock(0x800), 0);
    // One hold left, still exclusive.
    EXPECT_EQ(TryInChild(0x805, 0), 1);
    EXPECT_EQ(ErrSLIBFileUnlock(0x800), 0);
    EXPECT_EQ(TryInChild(0x806, 0), 0);
    // Unlocking what is not held changes nothing.
    EXPECT_EQ(ErrSLIBFileUnlock(0x800), 0);
}

TEST(LockTable, UnlockOfRowsNotHeldChangesNothing)
{
    ASSERT_EQ(ErrSLIBFileLock(0x806, 5), 0);
    EXPECT_EQ(ErrSLIBFileUnlock(0x10 | 0x20 | 0x200000), 0);
    EXPECT_EQ(TryInChild(0x806, 0), 1);
    EXPECT_EQ(ErrSLIBFileUnlock(0x800), 0);
}

TEST(LockTable, SeveralRowsTakenAndReleasedTogether)
{
    ASSERT_EQ(ErrSLIBFileLock(0x76, 5), 0);
    for (int r : {0x16, 0x26, 0x46, 0x15})
        EXPECT_EQ(TryInChild(r, 0), 1) << std::hex << r;
    EXPECT_EQ(TryInChild(0x806, 0), 0);
    // The low four bits of an unlock mask are ignored.
    EXPECT_EQ(ErrSLIBFileUnlock(0x76), 0);
    for (int r : {0x16, 0x26, 0x46})
        EXPECT_EQ(TryInChild(r, 0), 0) << std::hex << r;
}

TEST(LockTable, NoRowStaysHeldWhileWaitingForAnother)
{
    Holder other(0x26);
    // While this process waits for the group row, the account row is free.
    pid_t prober = ForkChild([] {
        SleepMs(300);
        SLIBFileLockCloseAll();
        return ErrSLIBFileLock(0x16, 1) == 0 ? 0 : 1;
    });
    int64_t t0 = MonotonicMs();
    EXPECT_EQ(ErrSLIBFileLock(0x36, 2), -1);
    EXPECT_GE(MonotonicMs() - t0, 1950);
    EXPECT_EQ(SLIBErrorGet(), 0x0400);
    EXPECT_EQ(WaitChild(prober), 0);
    EXPECT_EQ(TryInChild(0x16, 0), 0);
}

TEST(LockTable, ZeroAndNegativeTimeOuts)
{
    EXPECT_EQ(ErrSLIBFileLock(0x806, 0), 0);
    EXPECT_EQ(ErrSLIBFileUnlock(0x800), 0);
    // A negative time-out makes no attempt, even on a free row.
    EXPECT_EQ(ErrSLIBFileLock(0x806, -1), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0400);
    EXPECT_EQ(TryInChild(0x806, 0), 0);

    Holder other(0x806);
    SLIBErrorSet(0);
    vakotest::SleepLog sleeps;
    EXPECT_EQ(ErrSLIBFileLock(0x806, 0), -1);
    EXPECT_TRUE(sleeps.Micros().empty());
    EXPECT_EQ(SLIBErrorGet(), 0x0400);
}

TEST(LockTable, CloseAllInForkedChildLeavesParentLock)
{
    ASSERT_EQ(ErrSLIBFileLock(0x806, 5), 0);
    int rc = WaitChild(ForkChild([] {
        if (SLIBFileLockCloseAll() != 0)
            return 3;
        // The child no longer counts the parent's hold as its own...
        if (ErrSLIBFileLock(0x806, 0) != -1 || SLIBErrorGet() != 0x0400)
            return 4;
        // ...and releasing in the child does not reach the parent's lock.
        return ErrSLIBFileUnlock(0x800) == 0 ? 0 : 5;
    }));
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(TryInChild(0x806, 0), 1);
    EXPECT_EQ(ErrSLIBFileUnlock(0x800), 0);
    EXPECT_EQ(TryInChild(0x806, 0), 0);
}

using vakotest::kLockFileNames;

TEST(LockDir, DeletedDirectoryIsRecreatedWithEveryFile)
{
    umask(077);
    fs::remove_all("/tmp/lock");
    ASSERT_EQ(ErrSLIBFileLock(0x805, 5), 0);
    struct stat st;
    ASSERT_EQ(lstat("/tmp/lock", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    size_t n = 0;
    for (const auto &e : fs::directory_iterator("/tmp/lock")) {
        (void)e;
        ++n;
    }
    EXPECT_EQ(n, std::size(kLockFileNames));
    for (const char *name : kLockFileNames) {
        std::string p = std::string("/tmp/lock/") + name;
        ASSERT_EQ(lstat(p.c_str(), &st), 0) << p;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << p;
        EXPECT_EQ(st.st_size, 0) << p;
    }
    EXPECT_EQ(ErrSLIBFileUnlock(0x800), 0);
}

TEST(LockDir, SomethingElseInPlaceOfTheDirectory)
{
    fs::remove_all("/tmp/lock");
    WriteFile("/tmp/lock", "not a directory");
    EXPECT_EQ(ErrSLIBFileLock(0x805, 5), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0C00);
    EXPECT_STREQ(SLIBErrorGetFile(), "file_lock_check_dir");
    EXPECT_EQ(ReadFile("/tmp/lock"), "not a directory");

    // A link to another directory is not followed.
    fs::remove("/tmp/lock");
    fs::create_directory("/tmp/elsewhere");
    fs::create_directory_symlink("/tmp/elsewhere", "/tmp/lock");
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBFileLockCheckDir(), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0C00);
    EXPECT_TRUE(fs::is_empty("/tmp/elsewhere"));
}

// The name holds a lock file of root's: a regular, empty file of mode 0600
// with no other link.
void ExpectRootsLockFile(const std::string &path)
{
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
    EXPECT_TRUE(S_ISREG(st.st_mode)) << path;
    EXPECT_EQ(st.st_mode & 07777, 0600u) << path;
    EXPECT_EQ(st.st_uid, 0u) << path;
    EXPECT_EQ(st.st_nlink, 1u) << path;
    EXPECT_EQ(st.st_size, 0) << path;
}

// Takes request in a child (a blocking open would hang it, not the test):
// 0 when it was taken.
int LockGuarded(int request)
{
    return vakotest::RunGuarded([=] { return ErrSLIBFileLock(request, 0) == 0 ? 0 : 1; });
}

TEST(LockDir, LockFilesAreRootsAndReadableByRootAlone)
{
    umask(0);
    fs::remove_all("/tmp/lock");
    ASSERT_EQ(SLIBFileLockCheckDir(), 0);
    for (const char *name : kLockFileNames)
        ExpectRootsLockFile(std::string("/tmp/lock/") + name);
}

// Whatever stands at a lock file's name and is not root's own lock file is
// removed (never followed) and made anew; the lock is then taken, also
// while another process holds the file that was there.
TEST(LockDir, WhatIsPlantedAtALockFileIsReplaced)
{
    const std::string path = "/tmp/lock/lock_gr";
    for (vakotest::Plant plant : vakotest::kEveryPlant) {
        SCOPED_TRACE(vakotest::PlantName(plant));
        fs::remove_all("/tmp/lock");
        ASSERT_EQ(SLIBFileLockCheckDir(), 0);
        vakotest::Planted planted(plant, path);
        vakotest::SyslogClear();
        EXPECT_EQ(LockGuarded(0x26), 0);
        ExpectRootsLockFile(path);
        EXPECT_TRUE(planted.VictimsUntouched());
        const std::string why = vakotest::RefusalText(plant);
        EXPECT_TRUE(vakotest::SyslogMatches("file_lock_check_dir:{L} [/tmp/lock/lock_gr] is " + why + ": removed"))
            << testing::PrintToString(vakotest::SyslogTexts());
    }
}

TEST(LockDir, AnOldLockFileThatOthersCouldOpenIsReplacedWhileHeld)
{
    // Old builds made the lock files 0644: any account can open one and
    // hold its lock for ever.
    fs::remove_all("/tmp/lock");
    ASSERT_EQ(SLIBFileLockCheckDir(), 0);
    WriteFile("/tmp/lock/lock_pw", "", 0644);
    vakotest::AccountProcess holder([] {
        int fd = open("/tmp/lock/lock_pw", O_RDONLY);
        return fd >= 0 && flock(fd, LOCK_SH) == 0;
    });
    ASSERT_TRUE(holder.ok());
    vakotest::SyslogClear();
    EXPECT_EQ(LockGuarded(0x16), 0);
    ExpectRootsLockFile("/tmp/lock/lock_pw");
    EXPECT_TRUE(vakotest::SyslogMatches("file_lock_check_dir:{L} [/tmp/lock/lock_pw] is of mode 0644: removed"));
    // A planted directory, empty or not, goes too.
    ASSERT_EQ(unlink("/tmp/lock/lock_pw"), 0);
    WriteFile("/tmp/lock/lock_pw/deep/er/file", "x");
    EXPECT_EQ(LockGuarded(0x16), 0);
    ExpectRootsLockFile("/tmp/lock/lock_pw");
    // Root's own lock file of the right mode stays as it is, content and all.
    WriteFile("/tmp/lock/lock_pw", "keep", 0600);
    EXPECT_EQ(LockGuarded(0x16), 0);
    EXPECT_EQ(ReadFile("/tmp/lock/lock_pw"), "keep");
}

// A lock directory made by another account (who could place or swap the
// lock files in it at will) is removed and made anew, even while that
// account holds a lock in it; nothing of it is followed.
TEST(LockDir, ALockDirectoryOfAnotherAccountIsReplaced)
{
    fs::remove_all("/tmp/lock");
    vakotest::AccountProcess holder([] {
        if (mkdir("/tmp/lock", 0777) != 0 || chmod("/tmp/lock", 0777) != 0)
            return false;
        int fd = open("/tmp/lock/lock_pw", O_RDONLY | O_CREAT, 0666);
        return fd >= 0 && flock(fd, LOCK_EX) == 0;
    });
    ASSERT_TRUE(holder.ok());
    vakotest::SyslogClear();
    EXPECT_EQ(LockGuarded(0x16), 0);
    struct stat st;
    ASSERT_EQ(lstat("/tmp/lock", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ExpectRootsLockFile("/tmp/lock/lock_pw");
    EXPECT_TRUE(vakotest::SyslogMatches("file_lock_check_dir:{L} [/tmp/lock] is owned by uid 65534: removed"));
    // What was moved aside is gone as well.
    for (const std::string &n : vakotest::ListDir("/tmp"))
        EXPECT_FALSE(n.starts_with(".refused.")) << n;

    // Its link to a directory of its own.
    fs::remove_all("/tmp/lock");
    ASSERT_TRUE(vakotest::RunAs(vakotest::kNoRightsUid, [] {
        return mkdir("/tmp/theirs", 0777) == 0 && symlink("/tmp/theirs", "/tmp/lock") == 0;
    }));
    EXPECT_EQ(LockGuarded(0x16), 0);
    EXPECT_TRUE(vakotest::IsDirectory("/tmp/lock"));
    EXPECT_EQ(vakotest::LinkTarget("/tmp/lock"), "<no link>");
    EXPECT_TRUE(fs::is_empty("/tmp/theirs"));

    // Root's own directory that others may write keeps only its owner's write.
    fs::remove_all("/tmp/lock");
    ASSERT_EQ(mkdir("/tmp/lock", 0777), 0);
    ASSERT_EQ(chmod("/tmp/lock", 0777), 0);
    vakotest::SyslogClear();
    EXPECT_EQ(LockGuarded(0x16), 0);
    EXPECT_EQ(vakotest::FileMode("/tmp/lock"), 0755u);
    EXPECT_TRUE(vakotest::SyslogMatches("file_lock_check_dir:{L} [/tmp/lock] is of mode 0777: made 0755"));
}

// Another account can neither take nor hold a row of root's table, and
// what it tries leaves root's files as they are.
TEST(LockDir, AnotherAccountCannotTakeALock)
{
    fs::remove_all("/tmp/lock");
    ASSERT_EQ(SLIBFileLockCheckDir(), 0);
    EXPECT_TRUE(vakotest::RunAs(vakotest::kNoRightsUid, [] {
        vakotest::SleepLog pauses(vakotest::Pauses::Skipped);
        return open("/tmp/lock/lock_pw", O_RDONLY) < 0 && errno == EACCES && SLIBFileLockCheckDir() == 0 &&
               ErrSLIBFileLock(0x16, 1) == -1 && SLIBErrorGet() == 0x0400;
    }));
    for (const char *name : kLockFileNames)
        ExpectRootsLockFile(std::string("/tmp/lock/") + name);
    EXPECT_EQ(TryInChild(0x16, 0), 0);
}

} // namespace
