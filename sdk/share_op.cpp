// The share operations: the name patterns of the external disks' shares, the
// filtered walk over the share database, and the enumeration under the
// share lock.
#include "vako/share_op.h"

#include <ctype.h>
#include <errno.h>
#include <strings.h>
#include <syslog.h>

#include "keydb_internal.h"
#include "share_internal.h"
#include "slib/error.h"
#include "slib/lock.h"
#include "slibcxx/border.h"
#include "slibcxx/raii.h"

namespace {

// The operations' own source names: log prefixes and the file recorded with
// an error code.
constexpr const char *kSrcEnum = "share_enum";
constexpr const char *kSrcInternal = "share_db_enum_internal";
constexpr const char *kSrcMatched = "share_db_enum_type_matched";

#define SHARE_ERR(src, code) SLIBErrorSetEx((code), (src), __LINE__)

constexpr char kUsbShare[] = "usbshare";
constexpr size_t kUsbShareLen = sizeof kUsbShare - 1;
constexpr int kAllKinds = VAKO_SHARE_KIND_NORMAL | VAKO_SHARE_KIND_USB | VAKO_SHARE_KIND_SATA;

// Calls the filter's finish, when it has one, as the walk ends on any path.
struct Finish {
    const VAKOSHAREENUMFILTER *filter;
    ~Finish()
    {
        if (filter && filter->pfnFinish)
            filter->pfnFinish(filter);
    }
};

} // namespace

extern "C" {

int ShareIsUsbName(const char *name)
{
    if (!name)
        return 0;
    if (strncasecmp(name, kUsbShare, kUsbShareLen) == 0) {
        const char *p = name + kUsbShareLen;
        while (isdigit(static_cast<unsigned char>(*p)))
            p++;
        if (!*p)
            return 1;
    }
    return strcmp(name, "usbbackup") == 0 ? 1 : 0;
}

int ShareIsSataName(const char *name)
{
    return name && (strcmp(name, "satashare") == 0 || strcmp(name, "satabackup") == 0) ? 1 : 0;
}

int ShareDBEnumTypeMatched(const VAKOSHARE *share, int kindMask)
{
    if (!share || !share->szName || kindMask < 1 || kindMask > kAllKinds) {
        SHARE_ERR(kSrcMatched, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    bool usb = ShareIsUsbName(share->szName), sata = ShareIsSataName(share->szName);
    if ((kindMask & VAKO_SHARE_KIND_USB) && usb)
        return 0;
    if ((kindMask & VAKO_SHARE_KIND_SATA) && sata)
        return 0;
    if ((kindMask & VAKO_SHARE_KIND_NORMAL) && !usb && !sata)
        return 0;
    return -1;
}

int ShareEnumTypeMatch(const VAKOSHAREENUMFILTER *, const VAKOSHARE *share, int kindMask)
{
    return ShareDBEnumTypeMatched(share, kindMask);
}

int VAKOShareDBEnumInternal(VAKOSHAREDB *db, PSLIBSZLIST *pList, const VAKOSHAREENUMFILTER *filter, void *initArg,
                            int matchArg)
{
    Finish finish{filter};
    if (!db || !pList || !filter || !filter->pfnMatch || !filter->pfnInit != !filter->pfnFinish) {
        SHARE_ERR(kSrcInternal, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    if (filter->pfnInit && filter->pfnInit(filter, initArg) != 0)
        return -1;
    int count = 0;
    int end = share_internal::WalkShares(db, kSrcInternal, [&](VAKOSHARE *share) {
        if (filter->pfnMatch(filter, share, matchArg) != 0)
            return 0;
        if (SLIBSzListPush(pList, share->szName) < 0) {
            syslog(LOG_WARNING, "%s:%d SLIBSzListPush error. errno=%d/%m", kSrcInternal, __LINE__, errno);
            return -1;
        }
        count++;
        return 0;
    });
    if (end != 0)
        return -1;
    return count;
}

int VAKOShareEnum(PSLIBSZLIST *pList, int kindMask)
{
    return slib::Guarded(kSrcEnum, -1, [&] {
        keydb_internal::LockHold lock(kSrcEnum, VAKO_SHARE_LOCK_RELEASE);
        if (lock.Take(VAKO_SHARE_LOCK_READ, VAKO_SHARE_LOCK_TIMEOUT) != 0)
            return -1;
        int result;
        {
            slib::OwnedPtr<VAKOSHAREDB, VAKOShareDBClose> db(VAKOShareDBOpen());
            if (!db) {
                if (!slib::OutOfMemory())
                    SHARE_ERR(kSrcEnum, SLIB_ERR_OPEN);
                result = -1;
            } else {
                const VAKOSHAREENUMFILTER filter = {nullptr, ShareEnumTypeMatch, nullptr};
                result = VAKOShareDBEnumInternal(db.get(), pList, &filter, nullptr, kindMask);
            }
        }
        // A mask that no share can match leaves its code, not that of the walk's end.
        if (result >= 0 && (kindMask < 1 || kindMask > kAllKinds))
            SHARE_ERR(kSrcEnum, SLIB_ERR_BAD_PARAMETER);
        // A failed release is recorded; the names are the caller's all the same.
        lock.Release(0);
        return result;
    });
}

} // extern "C"
