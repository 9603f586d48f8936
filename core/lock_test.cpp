#include "slib/lock.h"
#include "slib/error.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "vakotest/files.h"
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

const char *const kLockFiles[] = {
    "lock_vakoinfo", "lock_pw",       "lock_gr",       "lock_rc",       "lock_host",  "lock_smb",
    "lock_exports",  "lock_nw",       "lock_apple",    "lock_snmp",     "lock_win",   "lock_tapebkp",
    "lock_connect",  "lock_usbidmap", "lock_duseruid", "lock_dusergid", "lock_fstab", "lock_hotswap",
};

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
    EXPECT_EQ(n, std::size(kLockFiles));
    for (const char *name : kLockFiles) {
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

TEST(LockDir, PlantedEntriesAreRefusedUntouched)
{
    struct Case {
        const char *what;
        std::function<void(const std::string &)> plant;
        int result;
        std::function<void()> check;
    };
    const Case cases[] = {
        {"link to a missing file", [](const std::string &p) { fs::create_symlink("/tmp/victim-new", p); }, -1,
         [] { EXPECT_FALSE(fs::exists(fs::symlink_status("/tmp/victim-new"))); }},
        {"link to a file",
         [](const std::string &p) {
             WriteFile("/tmp/victim", "precious\n");
             fs::create_symlink("/tmp/victim", p);
         },
         -1, [] { EXPECT_EQ(ReadFile("/tmp/victim"), "precious\n"); }},
        {"fifo", [](const std::string &p) { ASSERT_EQ(mkfifo(p.c_str(), 0666), 0); }, -1, [] {}},
        {"directory", [](const std::string &p) { fs::create_directory(p); }, -1, [] {}},
        {"file with content", [](const std::string &p) { WriteFile(p, "keep"); }, 0,
         [] { EXPECT_EQ(ReadFile("/tmp/lock/lock_gr"), "keep"); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all("/tmp/lock");
        fs::remove("/tmp/victim");
        ASSERT_EQ(SLIBFileLockCheckDir(), 0);
        fs::remove("/tmp/lock/lock_gr");
        c.plant("/tmp/lock/lock_gr");
        SLIBErrorSet(0);
        alarm(5); // a blocking open would hang here
        EXPECT_EQ(ErrSLIBFileLock(0x805, 0), c.result);
        alarm(0);
        EXPECT_EQ(SLIBErrorGet(), c.result ? 0x0900 : 0);
        c.check();
        ErrSLIBFileUnlock(0x800);
    }
}

} // namespace
