// The walk over the shares that the share operations and the rename
// propagations share (not part of the C interface).
#pragma once

#include <syslog.h>

#include "slib/error.h"
#include "slibcxx/raii.h"
#include "vako/share_record.h"

namespace share_internal {

// Walks the shares of db from its cursor on, one record block reused for
// all: fn(share) returns 0 to go on, 1 to stop, -1 to fail. 0 at the end of
// the database or when fn stopped; -1 when fn failed, or when a read failed
// other than at the end (logged with src, its code recorded): a walk that
// misses shares is no walk.
template <class Fn> int WalkShares(VAKOSHAREDB *db, const char *src, Fn fn)
{
    slib::OwnedPtr<VAKOSHARE, VAKOShareFree> share;
    for (;;) {
        VAKOSHARE *raw = share.release();
        int r = VAKOShareDBCursorGet(db, &raw);
        share.reset(raw);
        if (r != 0) {
            if (SLIBErrorGet() == SLIB_ERR_END_OF_ENUM)
                return 0;
            syslog(LOG_ERR, "%s:%d VAKOShareDBCursorGet() error. vakoerr=0x%04X", src, __LINE__, SLIBErrorGet());
            return -1;
        }
        int next = fn(share.get());
        if (next != 0)
            return next < 0 ? -1 : 0;
    }
}

} // namespace share_internal
