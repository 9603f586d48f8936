// A hold of a row of the lock table (slib/lock.h) on the appliance
// information file for one call, released on every path.
#pragma once

#include "slib/lock.h"
#include "vako/info.h"

namespace vakoinfo {

class InfoLock {
public:
    InfoLock(int request, int timeoutSec) : held_(ErrSLIBFileLock(request, timeoutSec) == 0) {}
    ~InfoLock()
    {
        if (held_)
            ErrSLIBFileUnlock(VAKO_INFO_LOCK_RELEASE);
    }
    InfoLock(const InfoLock &) = delete;
    InfoLock &operator=(const InfoLock &) = delete;
    bool held() const { return held_; }

private:
    bool held_;
};

} // namespace vakoinfo
