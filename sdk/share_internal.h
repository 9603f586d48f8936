// What the share sources share (not part of the C interface): the layout of
// a packed share, and the walk over the shares that the share operations
// and the rename propagations make.
#pragma once

#include <stdint.h>
#include <string.h>
#include <syslog.h>

#include <string>
#include <string_view>

#include "slib/error.h"
#include "slibcxx/raii.h"
#include "vako/share.h"
#include "vako/share_db.h"

namespace share_internal {

namespace packed {

constexpr int kHeader = VAKO_SHARE_HEADER_SIZE;

// The packed value: word 0 zero, then the record with the header words at
// these offsets and its string area from kValueStrings on. String offsets
// count from byte 4, the record's start.
constexpr int kWord = 4;
constexpr int kValueRecord = 4;
constexpr int kValueOffsets = 4;
constexpr int kValueType = 28;
constexpr int kValueBrowseable = 32;
constexpr int kValueFtp = 36;
constexpr int kValueLength = 40;
constexpr int kValueCbRecord = 44;
constexpr int kValueStrings = kValueRecord + kHeader;

// 32-bit words in this processor's byte order, as the appliance writes them.
inline int32_t GetWord(const unsigned char *p)
{
    int32_t v;
    memcpy(&v, p, kWord);
    return v;
}

inline void PutWord(unsigned char *p, int32_t v) { memcpy(p, &v, kWord); }

} // namespace packed

// Where the sections of smb.conf stand, beside the records made of them:
// the dump rewrites only what a change touched and keeps every other line
// of the file, read again from the file itself (the database under /tmp is
// writable by every account: no text of it goes into smb.conf unchecked).
// Keys are text stored with their NUL; '#' keeps them out of the walk over
// the shares and out of what older dumps write.
namespace place {

// Size and hash of the smb.conf that the places describe: 4 words.
constexpr char kFileKey[] = "#VAKO@SMB@FILE";
// The sections kept as they are (no record made of them): their number,
// then their ordinals, a word each.
constexpr char kKeptKey[] = "#VAKO@SMB@KEPT";
// + a share's key: its section's ordinal (a word), then the packed share
// that section gave, its lists as the file gives them (or the share the
// last dump wrote there).
constexpr char kSharePrefix[] = "#VAKO@SMB@S@";
// + a reserved section's upper-cased name: its ordinal, then its record's
// value as the build stored it (or the last dump wrote it).
constexpr char kReservedPrefix[] = "#VAKO@SMB@R@";

// Sections are counted from 1 in the order of their lines; 0 is the text
// before the first.
using Ordinal = uint32_t;

inline std::string ShareKey(std::string_view shareKey) { return std::string(kSharePrefix).append(shareKey); }

} // namespace place

#pragma GCC visibility push(hidden)

// name upper-cased into key (VAKO_SHARE_KEY_SIZE bytes): its length, or -1
// (logged with src; 0x0100 when it does not fit).
int UpperKey(const char *src, const char *name, char *key);

#pragma GCC visibility pop

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
