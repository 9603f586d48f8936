// The keyed operations on an open share database: store, delete and
// existence of a share, the walk, and the close.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

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

// name upper-cased into key (VAKO_SHARE_KEY_SIZE bytes): its length, or -1
// (logged; 0x0100 when it does not fit, for then the upper-caser leaves key
// empty and the share would be stored under an empty key).
int UpperKey(const char *src, const char *name, char *key)
{
    int n = SLIBUnicodeUTF8StrUpper(name, key, VAKO_SHARE_KEY_SIZE);
    if (n >= 0 && n < VAKO_SHARE_KEY_SIZE)
        return n;
    if (n >= 0)
        SHARE_ERR(src, SLIB_ERR_BUFFER_SMALL);
    syslog(LOG_ERR, "%s:%d SLIBUnicodeUTF8StrUpper [%s] failed.", src, __LINE__, name);
    return -1;
}

// The read buffer of a keyed get, freed on every path.
struct Buffer {
    void *p = nullptr;
    int cb = 0;
    ~Buffer() { VAKOBDbDataFree(p); }
};

} // namespace

extern "C" {

int VAKOShareDBSet(VAKOSHAREDB *db, const char *oldName, const VAKOSHARE *share)
{
    if (!db || !db->pDb || !share || !share->szName) {
        SHARE_ERR(kSrcSet, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    char key[VAKO_SHARE_KEY_SIZE];
    int cchKey = UpperKey(kSrcSet, share->szName, key);
    if (cchKey < 0)
        return -1;
    // Names that differ only in letter case collide here.
    if (!oldName && VAKOShareDBCheckExists(db, key, cchKey, nullptr, 0) == 1) {
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
    // A rename stores the new record before it removes the old one, so that
    // a failed store loses nothing; what it overwrites is kept to undo it.
    Buffer replaced;
    bool hadReplaced = false;
    if (rename) {
        if (VAKOBDbGet(db->pDb, key, cchKey + 1, &replaced.p, &replaced.cb) == 0)
            hadReplaced = true;
        else if (SLIBErrorGet() != SLIB_ERR_NOT_FOUND)
            return -1;
    }
    if (VAKOBDbSet(db->pDb, key, cchKey + 1, value.get(), copy->cbAlloc + kValueRecord) != 0)
        return -1;
    if (rename && VAKOBDbDelete(db->pDb, oldKey, cchOldKey + 1) != 0 && SLIBErrorGet() != SLIB_ERR_NOT_FOUND) {
        slib::SavedError saved;
        if (hadReplaced)
            VAKOBDbSet(db->pDb, key, cchKey + 1, replaced.p, replaced.cb);
        else
            VAKOBDbDelete(db->pDb, key, cchKey + 1);
        saved.Restore();
        return -1;
    }
    return 0;
}

int VAKOShareDBDelete(VAKOSHAREDB *db, const char *name)
{
    if (!db || !db->pDb || !name) {
        SHARE_ERR(kSrcDelete, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    char key[VAKO_SHARE_KEY_SIZE];
    int cchKey = UpperKey(kSrcDelete, name, key);
    if (cchKey < 0)
        return -1;
    return VAKOBDbDelete(db->pDb, key, cchKey + 1) == 0 ? 0 : -1;
}

int VAKOShareDBCheckExists(VAKOSHAREDB *db, const char *key, int cbKey, char *out, int cbOut)
{
    if (!db || !db->pDb || !key || cbKey < 0 || cbKey == INT32_MAX || (!out && cbOut != 0) || (out && cbOut <= 0)) {
        SHARE_ERR(kSrcCheckExists, SLIB_ERR_BAD_PARAMETER);
        return 0;
    }
    Buffer value;
    if (VAKOBDbGet(db->pDb, key, cbKey + 1, &value.p, &value.cb) != 0) {
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
