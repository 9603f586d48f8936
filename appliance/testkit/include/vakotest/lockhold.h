// Rows of the lock table (slib/lock.h) held or tried by another process.
// Header only: the test binaries that use it link the core library.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "slib/lock.h"
#include "vakotest/testkit.h"

namespace vakotest {

// Another process holds the lock request from construction to destruction.
class OtherLockHolder {
public:
    explicit OtherLockHolder(int request)
    {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        pid_ = ForkChild([&] {
            SLIBFileLockCloseAll();
            char ok = ErrSLIBFileLock(request, 0) == 0 ? 'y' : 'n';
            if (write(ready[1], &ok, 1) != 1)
                return 1;
            pause();
            return 0;
        });
        close(ready[1]);
        char ok = 0;
        EXPECT_EQ(read(ready[0], &ok, 1), 1);
        EXPECT_EQ(ok, 'y');
        close(ready[0]);
    }
    ~OtherLockHolder()
    {
        kill(pid_, SIGKILL);
        WaitChild(pid_);
    }
    OtherLockHolder(const OtherLockHolder &) = delete;
    OtherLockHolder &operator=(const OtherLockHolder &) = delete;

private:
    pid_t pid_;
};

// True when another process can take request at once.
inline bool OtherProcessCanLock(int request)
{
    return WaitChild(ForkChild([=] {
               SLIBFileLockCloseAll();
               return ErrSLIBFileLock(request, 0) == 0 ? 0 : 1;
           })) == 0;
}

} // namespace vakotest
