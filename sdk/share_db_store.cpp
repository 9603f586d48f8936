// The keyed operations on an open share database: store, delete and
// existence of a share, the walk, and the close.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include <new>
#include <string>
#include <string_view>

#include "keydb_internal.h"
#include "share_internal.h"
#include "slib/error.h"
#include "slib/unicode.h"
#include "slibcxx/border.h"
#include "slibcxx/raii.h"
#include "vako/share.h"
#include "vako/share_db.h"

namespace {

// The operations' own source names: log prefixes and the file recorded with
// an error code.
constexpr const char *kSrcSet = "share_db_set";
constexpr const char *kSrcDelete = "share_db_delete";
constexpr const char *kSrcCheckExists = "share_db_check_exists";
constexpr const char *kSrcCursorGet = "share_db_cursor_get";
constexpr const char *kSrcClose = "share_db_close";

#define SHARE_ERR(src, code) SLIBErrorSetEx((code), (src), __LINE__)

using namespace share_internal::packed;
using ShareOwner = slib::OwnedPtr<VAKOSHARE, VAKOShareFree>;
using share_internal::UpperKey;

// The read buffer of a keyed get, freed on every path.
struct Buffer {
    void *p = nullptr;
    int cb = 0;
    ~Buffer() { VAKOBDbDataFree(p); }
};

int Set(VAKOSHAREDB *db, const char *oldName, const VAKOSHARE *share)
{
    if (!db || !db->pDb || !share || !share->szName) {
        SHARE_ERR(kSrcSet, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    char key[VAKO_SHARE_KEY_SIZE];
    int cchKey = UpperKey(kSrcSet, share->szName, key);
    if (cchKey < 0)
        return -1;
    // Names that differ only in letter case collide here. A check that
    // could not read for want of memory is no "absent"; an absent name, the
    // everyday case of a build, records nothing.
    auto exists = [&] {
        int r = keydb_internal::Find(db->pDb, key, cchKey + 1, nullptr);
        if (r < 0 && slib::OutOfMemory())
            throw std::bad_alloc();
        return r == 1;
    };
    if (!oldName && exists()) {
        SHARE_ERR(kSrcSet, VAKO_ERR_SHARE_EXISTS);
        return -1;
    }
    VAKOSHAREINFO info = {share->szName,         share->szComment,   share->szPath,
                          share->szInvalidUsers, share->szWriteList, share->szReadList,
                          share->fType,          share->fBrowseable, share->ftpFlags};
    ShareOwner copy(VAKOShareAlloc(&info));
    if (!copy)
        return -1;
    slib::HeapPtr<void> value(VAKOShareDBPack(copy.get()));
    if (!value)
        return -1;
    // The old name is upper-cased as the removal of a share does it.
    char oldKey[VAKO_SHARE_KEY_SIZE];
    int cchOldKey = oldName ? UpperKey(kSrcDelete, oldName, oldKey) : 0;
    if (cchOldKey < 0)
        return -1;
    bool rename = oldName && strcmp(oldKey, key) != 0;
    bool stored = oldName && !rename && exists();
    // A rename stores the new record before it removes the old one, so that
    // a failed store loses nothing.
    keydb_internal::Changes changes;
    VAKOBDB *bdb = db->pDb;
    auto bytes = [](const void *p, int cb) {
        return std::string_view(static_cast<const char *>(p), static_cast<size_t>(cb));
    };
    if (changes.PutBytes(bdb, key, bytes(value.get(), copy->cbAlloc + kValueRecord)) != 0)
        return -1;
    if (rename && changes.Remove(bdb, oldKey) != 0)
        return -1;
    // The share's place in smb.conf goes with it. A share new to the
    // database has none: a place left by one removed before is not its own.
    std::string placeKey = share_internal::place::ShareKey(key);
    if (rename) {
        std::string oldPlaceKey = share_internal::place::ShareKey(oldKey);
        Buffer place;
        if (VAKOBDbGet(bdb, oldPlaceKey.c_str(), static_cast<int>(oldPlaceKey.size()) + 1, &place.p, &place.cb) == 0) {
            if (changes.PutBytes(bdb, placeKey, bytes(place.p, place.cb)) != 0 || changes.Remove(bdb, oldPlaceKey) != 0)
                return -1;
        } else if (SLIBErrorGet() != SLIB_ERR_NOT_FOUND || changes.Remove(bdb, placeKey) != 0) {
            return -1;
        }
    } else if (!stored && changes.Remove(bdb, placeKey) != 0) {
        return -1;
    }
    changes.Keep();
    return 0;
}

int Delete(VAKOSHAREDB *db, const char *name)
{
    if (!db || !db->pDb || !name) {
        SHARE_ERR(kSrcDelete, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    char key[VAKO_SHARE_KEY_SIZE];
    int cchKey = UpperKey(kSrcDelete, name, key);
    if (cchKey < 0)
        return -1;
    // Its place in smb.conf goes too. One left behind is harmless: a share
    // stored anew under the name drops it, and a dump passes it over. Its
    // key is made first: once the share is removed nothing fails.
    std::string placeKey = share_internal::place::ShareKey(key);
    if (VAKOBDbDelete(db->pDb, key, cchKey + 1) != 0)
        return -1;
    if (VAKOBDbDelete(db->pDb, placeKey.c_str(), static_cast<int>(placeKey.size()) + 1) != 0 &&
        SLIBErrorGet() != SLIB_ERR_NOT_FOUND)
        syslog(LOG_WARNING, "%s:%d the place of share [%s] in smb.conf stays behind. vakoerr=0x%04X", kSrcDelete,
               __LINE__, name, SLIBErrorGet());
    return 0;
}

} // namespace

int share_internal::UpperKey(const char *src, const char *name, char *key)
{
    int n = SLIBUnicodeUTF8StrUpper(name, key, VAKO_SHARE_KEY_SIZE);
    if (n >= 0 && n < VAKO_SHARE_KEY_SIZE)
        return n;
    // The upper-caser leaves key empty then, and the share would be stored
    // under an empty key.
    if (n >= 0)
        SHARE_ERR(src, SLIB_ERR_BUFFER_SMALL);
    syslog(LOG_ERR, "%s:%d SLIBUnicodeUTF8StrUpper [%s] failed.", src, __LINE__, name);
    return -1;
}

extern "C" {

int VAKOShareDBSet(VAKOSHAREDB *db, const char *oldName, const VAKOSHARE *share)
{
    return slib::Guarded(kSrcSet, -1, [&] { return Set(db, oldName, share); });
}

int VAKOShareDBDelete(VAKOSHAREDB *db, const char *name)
{
    return slib::Guarded(kSrcDelete, -1, [&] { return Delete(db, name); });
}

int VAKOShareDBCheckExists(VAKOSHAREDB *db, const char *key, int cbKey, char *out, int cbOut)
{
    if (!db || !db->pDb || !key || cbKey < 0 || cbKey == INT32_MAX || (!out && cbOut != 0) || (out && cbOut <= 0)) {
        SHARE_ERR(kSrcCheckExists, SLIB_ERR_BAD_PARAMETER);
        return 0;
    }
    Buffer value;
    if (VAKOBDbGet(db->pDb, key, cbKey + 1, &value.p, &value.cb) != 0) {
        // Memory that ran out is no "not read": the caller tells it apart.
        if (!slib::OutOfMemory())
            SHARE_ERR(kSrcCheckExists, VAKO_ERR_SHARE_NO_VALUE);
        return 0;
    }
    if (!out)
        return 1;
    // The name ends within the value, by its real length and its own.
    const auto *v = static_cast<const unsigned char *>(value.p);
    int32_t end = value.cb;
    if (end >= kValueStrings && GetWord(v + kValueLength) < end)
        end = GetWord(v + kValueLength);
    int32_t at = end >= kValueStrings ? GetWord(v + kValueOffsets) : -1;
    out[0] = '\0';
    if (at < kHeader || at >= end - kValueRecord) {
        SHARE_ERR(kSrcCheckExists, VAKO_ERR_SHARE_BAD_VALUE);
        return 0;
    }
    at += kValueRecord;
    for (int i = 0; i < cbOut; i++, at++) {
        if (at >= end) {
            out[0] = '\0';
            SHARE_ERR(kSrcCheckExists, VAKO_ERR_SHARE_BAD_VALUE);
            return 0;
        }
        out[i] = static_cast<char>(v[at]);
        if (!out[i])
            return 1;
    }
    // Not terminated within the caller's buffer: no name is handed back.
    out[0] = '\0';
    SHARE_ERR(kSrcCheckExists, SLIB_ERR_BUFFER_SMALL);
    return 0;
}

int VAKOShareDBCursorGet(VAKOSHAREDB *db, VAKOSHARE **pp)
{
    if (!db || !db->pDb || !pp) {
        SHARE_ERR(kSrcCursorGet, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    Buffer key, value;
    if (VAKOBDbCursorGet(db->pDb, 1, &key.p, &key.cb, &value.p, &value.cb) != 0)
        return -1;
    return VAKOShareDBUnPackBounded(value.p, value.cb, pp);
}

void VAKOShareDBClose(VAKOSHAREDB *db)
{
    if (!db) {
        SHARE_ERR(kSrcClose, SLIB_ERR_BAD_PARAMETER);
        return;
    }
    if (db->pDb)
        VAKOBDbClose(db->pDb);
    free(db);
}

} // extern "C"
