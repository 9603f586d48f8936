// Keyed database files over Berkeley DB's 1.85 interface.
#include "vako/keydb.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "keydb_internal.h"
#include "slib/error.h"
#include "slib/proc.h"
#include "slib/str.h"
#include "slib/szlist.h"
#include "slib/unicode.h"
#include "slibcxx/border.h"
#include "slibcxx/fields.h"
#include "slibcxx/lines.h"
#include "slibcxx/raii.h"
#include "slibcxx/trusted.h"
#include "vako/service.h"

namespace {

// The operations' own source names: log prefixes and the file recorded with
// an error code.
constexpr const char *kSrcOpen = "bdb_open";
constexpr const char *kSrcClose = "bdb_close";
constexpr const char *kSrcGet = "bdb_get";
constexpr const char *kSrcSet = "bdb_set";
constexpr const char *kSrcDelete = "bdb_delete";
constexpr const char *kSrcCursorGet = "bdb_cursor_get";
constexpr const char *kSrcCursorSetType = "bdb_cursor_set_type";
constexpr const char *kSrcCopyout = "bdb_dbt_copyout";
constexpr const char *kSrcDbtSet = "bdb_dbt_set";
constexpr const char *kSrcSyncTimeSet = "bdb_conf_sync_time_set";
constexpr const char *kSrcSyncTimeGet = "bdb_conf_sync_time_get";
constexpr const char *kSrcIsNeedToRebuild = "bdb_is_need_to_rebuild";
constexpr const char *kSrcDeprecatedSet = "bdb_deprecated_set";
constexpr const char *kSrcDeprecatedGet = "bdb_deprecated_get";
constexpr const char *kSrcExpireTimeSet = "bdb_domain_expire_time_set";
constexpr const char *kSrcExpireTimeGet = "bdb_domain_expire_time_get";
constexpr const char *kSrcDomainRebuild = "bdb_domain_is_need_to_rebuild";
constexpr const char *kSrcPack = "list_db_pack";
constexpr const char *kSrcUnpack = "list_db_unpack";
constexpr const char *kSrcListSet = "list_db_set";
constexpr const char *kSrcRealloc = "bsd_check_and_realloc";

#define BDB_ERR(src, code) SLIBErrorSetEx((code), (src), __LINE__)

constexpr int kWordSize = 4;
// Before the key of a name or id that a kept text line holds.
constexpr char kHeldPrefix[] = "#VAKO@HELD@";

// What a keyed file must be to be opened: a regular file of this account's
// (or root's), its only name, within the mode it is made with.
constexpr unsigned kCacheChecks = slib::kTrustOwnFile | slib::kTrustNoOtherWrite | slib::kTrustModeWithin;

// Store flags of the cursor types 1..5.
constexpr unsigned kSeqFlag[] = {0, R_CURSOR, R_FIRST, R_LAST, R_NEXT, R_PREV};

DBT Dbt(const void *data, int size)
{
    DBT d;
    d.data = const_cast<void *>(data);
    d.size = static_cast<size_t>(size);
    return d;
}

// The codes of a failed get or seq, put, del and close.
int GetCode(int err)
{
    return err == EIO ? VAKO_ERR_BDB_IO : err == EINTR ? VAKO_ERR_BDB_INTERRUPTED : VAKO_ERR_BDB_GET;
}

int WriteCode(int err, int other)
{
    switch (err) {
    case EIO:
        return VAKO_ERR_BDB_IO;
    case EINTR:
        return VAKO_ERR_BDB_INTERRUPTED;
    case ENOSPC:
        return VAKO_ERR_BDB_NO_SPACE;
    default:
        return other;
    }
}

// The store's delete of every record of key: 0, 1 absent, -1 failed (logged
// with src, code recorded when code is non-zero).
int StoreDelete(VAKOBDB *bdb, const void *key, int cbKey, const char *src, bool record)
{
    DBT k = Dbt(key, cbKey);
    int r = bdb->db->del(bdb->db, &k, 0);
    if (r < 0) {
        int err = errno;
        syslog(LOG_ERR, "%s:%d errno=%d/%m, db->del failed.", src, __LINE__, err);
        if (record)
            BDB_ERR(src, WriteCode(err, VAKO_ERR_BDB_DEL));
        return -1;
    }
    return r == 0 ? 0 : 1;
}

// The code of a failed open (of the name or by the store), recorded; the
// errno that no row names is logged.
void OpenFailed(int err)
{
    switch (err) {
    case EINVAL:
        BDB_ERR(kSrcOpen, VAKO_ERR_BDB_OPEN_ARGS);
        break;
    case EACCES:
        BDB_ERR(kSrcOpen, VAKO_ERR_BDB_ACCESS);
        break;
    case ENOENT:
        BDB_ERR(kSrcOpen, VAKO_ERR_BDB_NO_FILE);
        break;
    case ENOSPC:
        BDB_ERR(kSrcOpen, VAKO_ERR_BDB_NO_SPACE);
        break;
    default:
        syslog(LOG_NOTICE, "%s:%d errno=%d/%m, dbopen failed.", kSrcOpen, __LINE__, err);
        BDB_ERR(kSrcOpen, SLIB_ERR_OPEN);
        break;
    }
}

enum class Word { Ok, Absent, Malformed, Failed };

// A reserved 32-bit value: exactly 4 bytes in this processor's byte order.
Word ReadWord(VAKOBDB *bdb, const void *key, int cbKey, int32_t *pValue, const char *src)
{
    if (!bdb) {
        BDB_ERR(src, SLIB_ERR_BAD_PARAMETER);
        return Word::Failed;
    }
    void *p = nullptr;
    int cb = 0;
    int r = VAKOBDbGet(bdb, key, cbKey, &p, &cb);
    slib::HeapPtr<void> owner(p);
    if (r != 0)
        return SLIBErrorGet() == SLIB_ERR_NOT_FOUND ? Word::Absent : Word::Failed;
    if (cb != kWordSize) {
        syslog(LOG_ERR, "%s:%d reserved record [%.*s] holds %d bytes, not %d.", src, __LINE__, cbKey,
               static_cast<const char *>(key), cb, kWordSize);
        BDB_ERR(src, VAKO_ERR_BDB_GET);
        return Word::Malformed;
    }
    memcpy(pValue, p, kWordSize);
    return Word::Ok;
}

// The 4 stored bytes of a reserved time into the caller's buffer.
int GetWordBytes(VAKOBDB *bdb, const char *key, int cbKey, void **ppValue, const char *src)
{
    if (!bdb || !ppValue) {
        BDB_ERR(src, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    int32_t v;
    if (ReadWord(bdb, key, cbKey, &v, src) != Word::Ok)
        return -1;
    if (!*ppValue) {
        *ppValue = malloc(kWordSize);
        if (!*ppValue) {
            BDB_ERR(src, SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
    }
    memcpy(*ppValue, &v, kWordSize);
    return 0;
}

// Stores a reserved word; a missing handle is the calling operation's failure.
int SetWord(VAKOBDB *bdb, const char *key, int cbKey, int32_t value, const char *src)
{
    if (!bdb) {
        BDB_ERR(src, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    return VAKOBDbWordSet(bdb, key, cbKey, value);
}

} // namespace

extern "C" {

VAKOBDB *VAKOBDbOpen(const char *path, int oflags, int bDup)
{
    return slib::Guarded(kSrcOpen, static_cast<VAKOBDB *>(nullptr),
                         [&] { return keydb_internal::OpenDb(path, oflags, bDup, VAKO_BDB_MODE); });
}

int VAKOBDbClose(VAKOBDB *bdb)
{
    if (!bdb) {
        BDB_ERR(kSrcClose, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    if (bdb->db && bdb->db->close(bdb->db) != 0) {
        int err = errno;
        syslog(LOG_ERR, "%s:%d errno=%d/%m, db->close failed.", kSrcClose, __LINE__, err);
        if (err == EROFS)
            BDB_ERR(kSrcClose, VAKO_ERR_BDB_READ_ONLY);
        else if (err == EIO || err == EINTR || err == ENOSPC)
            BDB_ERR(kSrcClose, WriteCode(err, 0));
    }
    bdb->db = nullptr;
    free(bdb);
    return 0;
}

int VAKOBDbGet(VAKOBDB *bdb, const void *key, int cbKey, void **ppData, int *pcbData)
{
    if (!bdb || !bdb->db || !key || cbKey <= 0 || !ppData || !pcbData) {
        BDB_ERR(kSrcGet, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    DBT k = Dbt(key, cbKey), v = Dbt(nullptr, 0);
    int r = bdb->db->get(bdb->db, &k, &v, 0);
    if (r == 1) {
        BDB_ERR(kSrcGet, SLIB_ERR_NOT_FOUND);
        return -1;
    }
    if (r != 0) {
        int err = errno;
        syslog(LOG_ERR, "%s:%d errno=%d/%m, db->get failed.", kSrcGet, __LINE__, err);
        BDB_ERR(kSrcGet, GetCode(err));
        return -1;
    }
    return VAKOBDbDbtCopyout(&v, ppData, pcbData);
}

int VAKOBDbSet(VAKOBDB *bdb, const void *key, int cbKey, const void *data, int cbData)
{
    if (!bdb || !bdb->db || !key || cbKey <= 0 || !data || cbData <= 0) {
        BDB_ERR(kSrcSet, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    // Reserved records stay single, also in files that allow duplicates.
    if (*static_cast<const char *>(key) == '#' && StoreDelete(bdb, key, cbKey, kSrcSet, false) < 0)
        return -1;
    DBT k = Dbt(key, cbKey), v = Dbt(data, cbData);
    int r = bdb->db->put(bdb->db, &k, &v, 0);
    if (r == 0)
        return 0;
    if (r == -1) {
        int err = errno;
        syslog(LOG_ERR, "%s:%d errno=%d/%m, db->put failed.", kSrcSet, __LINE__, err);
        BDB_ERR(kSrcSet, WriteCode(err, VAKO_ERR_BDB_PUT));
    }
    return -1;
}

int VAKOBDbDelete(VAKOBDB *bdb, const void *key, int cbKey)
{
    if (!bdb || !bdb->db || !key || cbKey <= 0) {
        BDB_ERR(kSrcDelete, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    int r = StoreDelete(bdb, key, cbKey, kSrcDelete, true);
    if (r == 1)
        BDB_ERR(kSrcDelete, SLIB_ERR_NOT_FOUND);
    return r == 0 ? 0 : -1;
}

int VAKOBDbCursorSetType(VAKOBDB *bdb, int type)
{
    if (!bdb || type < VAKO_BDB_CURSOR_SET || type > VAKO_BDB_CURSOR_PREV) {
        BDB_ERR(kSrcCursorSetType, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    bdb->cursorType = type;
    return 0;
}

int VAKOBDbCursorGet(VAKOBDB *bdb, int bSkipSpecial, void **ppKey, int *pcbKey, void **ppData, int *pcbData)
{
    if (!bdb || !bdb->db || bdb->cursorType < VAKO_BDB_CURSOR_SET || bdb->cursorType > VAKO_BDB_CURSOR_PREV || !ppKey ||
        !pcbKey || !ppData || !pcbData) {
        BDB_ERR(kSrcCursorGet, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    for (;;) {
        DBT k = Dbt(nullptr, 0), v = Dbt(nullptr, 0);
        if (bdb->cursorType == VAKO_BDB_CURSOR_SET)
            k = Dbt(*ppKey, *ppKey && *pcbKey > 0 ? *pcbKey : 0);
        int r = bdb->db->seq(bdb->db, &k, &v, kSeqFlag[bdb->cursorType]);
        if (r == -1) {
            int err = errno;
            syslog(LOG_ERR, "%s:%d errno=%d/%m, db->seq failed.", kSrcCursorGet, __LINE__, err);
            BDB_ERR(kSrcCursorGet, GetCode(err));
            return -1;
        }
        if (r == 1) {
            BDB_ERR(kSrcCursorGet, SLIB_ERR_END_OF_ENUM);
            return -1;
        }
        if (r != 0)
            continue;
        bool special = k.size > 0 && *static_cast<const char *>(k.data) == '#';
        if (VAKOBDbDbtCopyout(&k, ppKey, pcbKey) != 0 || VAKOBDbDbtCopyout(&v, ppData, pcbData) != 0)
            return -1;
        if (bSkipSpecial != 1 || !special)
            return 0;
        // Passed over: go on in the walk's direction. A positioned read moves
        // on as well, or it would find the same record again.
        if (bdb->cursorType == VAKO_BDB_CURSOR_FIRST || bdb->cursorType == VAKO_BDB_CURSOR_SET)
            bdb->cursorType = VAKO_BDB_CURSOR_NEXT;
        else if (bdb->cursorType == VAKO_BDB_CURSOR_LAST)
            bdb->cursorType = VAKO_BDB_CURSOR_PREV;
    }
}

int VAKOBDbDbtCopyout(const DBT *dbt, void **ppBuf, int *pcbBuf)
{
    if (!dbt || !ppBuf || !pcbBuf || dbt->size > static_cast<size_t>(INT_MAX) || (dbt->size > 0 && !dbt->data)) {
        BDB_ERR(kSrcCopyout, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    int size = static_cast<int>(dbt->size);
    if (VAKOCheckAndRealloc(ppBuf, pcbBuf, size) != 0) {
        syslog(LOG_ERR, "%s:%d VAKOCheckAndRealloc failed. vakoerr=0x%04X", kSrcCopyout, __LINE__, SLIBErrorGet());
        return -1;
    }
    memcpy(*ppBuf, dbt->data, dbt->size);
    *pcbBuf = size;
    return 0;
}

int VAKOBDbDbtSet(DBT *dbt, const void *data, int size)
{
    if (!dbt || size < 0) {
        BDB_ERR(kSrcDbtSet, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    *dbt = Dbt(data, size);
    return 0;
}

void VAKOBDbDataFree(void *p)
{
    if (p)
        free(p);
}

int VAKOCheckAndRealloc(void **ppData, int *pcbAlloc, int cbNeed)
{
    if (!ppData || !pcbAlloc || cbNeed <= 0 || (*ppData && *pcbAlloc == 0)) {
        BDB_ERR(kSrcRealloc, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    if (!*ppData) {
        *ppData = calloc(static_cast<size_t>(cbNeed), 1);
        if (!*ppData) {
            // Logged before the code is recorded: recording may change errno.
            syslog(LOG_ERR, "%s:%d NULL == *ppData, NULL == malloc(%d). errno=%d/%m", kSrcRealloc, __LINE__, cbNeed,
                   errno);
            BDB_ERR(kSrcRealloc, SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
    } else {
        if (cbNeed <= *pcbAlloc)
            return 0;
        *ppData = SLIBMemRealloc(*ppData, static_cast<size_t>(cbNeed));
        if (!*ppData) {
            syslog(LOG_ERR, "%s:%d NULL != *ppData, cbNeed=[%d] > *pcbAlloc=[%d]. errno=%d/%m", kSrcRealloc, __LINE__,
                   cbNeed, *pcbAlloc, errno);
            *pcbAlloc = 0;
            BDB_ERR(kSrcRealloc, SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
    }
    *pcbAlloc = cbNeed;
    return 0;
}

int VAKOBDbWordGet(VAKOBDB *bdb, const void *key, int cbKey, int32_t *pValue)
{
    if (!pValue) {
        BDB_ERR(kSrcGet, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    return ReadWord(bdb, key, cbKey, pValue, kSrcGet) == Word::Ok ? 0 : -1;
}

int VAKOBDbWordSet(VAKOBDB *bdb, const void *key, int cbKey, int32_t value)
{
    unsigned char bytes[kWordSize];
    memcpy(bytes, &value, kWordSize);
    return VAKOBDbSet(bdb, key, cbKey, bytes, kWordSize);
}

int VAKOBDbConfSyncTimeSet(VAKOBDB *bdb, time_t t)
{
    return SetWord(bdb, SZK_BDB_SYNC_TIME, CB_BDB_SYNC_TIME, static_cast<int32_t>(t), kSrcSyncTimeSet);
}

int VAKOBDbConfSyncTimeGet(VAKOBDB *bdb, void **ppValue)
{
    return GetWordBytes(bdb, SZK_BDB_SYNC_TIME, CB_BDB_SYNC_TIME, ppValue, kSrcSyncTimeGet);
}

int VAKOBDbIsNeedToRebuild(VAKOBDB *bdb, time_t mtime)
{
    int32_t stored;
    if (ReadWord(bdb, SZK_BDB_SYNC_TIME, CB_BDB_SYNC_TIME, &stored, kSrcIsNeedToRebuild) != Word::Ok)
        return -1;
    return static_cast<uint32_t>(stored) != static_cast<uint32_t>(mtime) ? 1 : 0;
}

int VAKOBDbDeprecatedSet(VAKOBDB *bdb, int flag)
{
    return SetWord(bdb, SZK_BDB_DEPRECATED, CB_BDB_DEPRECATED, flag, kSrcDeprecatedSet);
}

int VAKOBDbDeprecatedGet(VAKOBDB *bdb)
{
    int32_t flag;
    return ReadWord(bdb, SZK_BDB_DEPRECATED, CB_BDB_DEPRECATED, &flag, kSrcDeprecatedGet) == Word::Ok ? flag : -1;
}

int VAKOBDbDomainExpireTimeSet(VAKOBDB *bdb)
{
    return SetWord(bdb, SZK_BDB_EXPIRE_TIME, CB_BDB_EXPIRE_TIME, static_cast<int32_t>(time(nullptr)),
                   kSrcExpireTimeSet) == 0
               ? 0
               : -1;
}

int VAKOBDbDomainExpireTimeGet(VAKOBDB *bdb, void **ppValue)
{
    return GetWordBytes(bdb, SZK_BDB_EXPIRE_TIME, CB_BDB_EXPIRE_TIME, ppValue, kSrcExpireTimeGet);
}

int VAKOBDbDomainIsNeedToRebuild(VAKOBDB *bdb)
{
    time_t now = time(nullptr);
    if (!bdb) {
        BDB_ERR(kSrcDomainRebuild, SLIB_ERR_BAD_PARAMETER);
        return 0;
    }
    int32_t stamp;
    switch (ReadWord(bdb, SZK_BDB_EXPIRE_TIME, CB_BDB_EXPIRE_TIME, &stamp, kSrcDomainRebuild)) {
    case Word::Ok:
        // Unsigned: a stamp from the future is stale too.
        return static_cast<uint32_t>(now) - static_cast<uint32_t>(stamp) >= VAKO_BDB_DOMAIN_STALE_SEC ? 1 : 0;
    case Word::Absent:
    case Word::Malformed:
        return 1;
    case Word::Failed:
        break;
    }
    return 0;
}

void *VAKOListDBPack(PSLIBSZLIST list, int cb)
{
    if (!list || cb <= 0 || cb != list->cbSize) {
        BDB_ERR(kSrcPack, SLIB_ERR_BAD_PARAMETER);
        return nullptr;
    }
    void *value = malloc(static_cast<size_t>(cb));
    if (!value) {
        BDB_ERR(kSrcPack, SLIB_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    // The list keeps its top, empty string and items as offsets from its
    // start, in this processor's byte order: the block is the value.
    memcpy(value, list, static_cast<size_t>(cb));
    return value;
}

PSLIBSZLIST VAKOListDBUnpack(const void *value, int cb)
{
    if (!value || cb <= 0) {
        BDB_ERR(kSrcUnpack, SLIB_ERR_BAD_PARAMETER);
        return nullptr;
    }
    slib::HeapPtr<SLIBSZLIST> list(static_cast<PSLIBSZLIST>(malloc(static_cast<size_t>(cb))));
    if (!list) {
        BDB_ERR(kSrcUnpack, SLIB_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    memcpy(list.get(), value, static_cast<size_t>(cb));
    // The cache files are writable by everyone: every size and offset must
    // lie inside the value before the list is used.
    if (!SLIBSzListCheck(list.get(), cb)) {
        syslog(LOG_ERR, "%s:%d list-db value of %d bytes is not a sound list.", kSrcUnpack, __LINE__, cb);
        BDB_ERR(kSrcUnpack, SLIB_ERR_BAD_PARAMETER);
        return nullptr;
    }
    return list.release();
}

int VAKOListDBSet(VAKOBDB *bdb, const char *section, PSLIBSZLIST list)
{
    if (!bdb || !section || !list) {
        BDB_ERR(kSrcListSet, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    size_t len = strlen(section);
    slib::HeapPtr<char> key(static_cast<char *>(malloc(len + 2)));
    if (!key) {
        BDB_ERR(kSrcListSet, SLIB_ERR_OUT_OF_MEMORY);
        return -1;
    }
    key.get()[0] = '#';
    for (size_t i = 0; i <= len; i++) {
        char ch = section[i];
        key.get()[i + 1] = ch >= 'a' && ch <= 'z' ? static_cast<char>(ch - 'a' + 'A') : ch;
    }
    int cbKey = static_cast<int>(len) + 2;
    slib::HeapPtr<void> value(VAKOListDBPack(list, list->cbSize));
    if (!value) {
        syslog(LOG_ERR, "%s (%d): errno=%d, VAKOListDBPack() failed, section[%s]\n", kSrcListSet, __LINE__,
               SLIBErrorGet(), section);
        return -1;
    }
    if (VAKOBDbSet(bdb, key.get(), cbKey, value.get(), list->cbSize) != 0) {
        syslog(LOG_ERR, "%s (%d): errno=%d, VAKOBDbSet() failed, section[%s]\n", kSrcListSet, __LINE__, SLIBErrorGet(),
               section);
        return -1;
    }
    return 0;
}

} // extern "C"

namespace keydb_internal {

using slib::LineReader;

VAKOBDB *OpenDb(const char *path, int oflags, int bDup, mode_t mode)
{
    if (!path || !*path) {
        BDB_ERR(kSrcOpen, SLIB_ERR_BAD_PARAMETER);
        return nullptr;
    }
    slib::HeapPtr<VAKOBDB> bdb(static_cast<VAKOBDB *>(calloc(1, sizeof(VAKOBDB))));
    if (!bdb) {
        BDB_ERR(kSrcOpen, SLIB_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    // The name is looked at first, never followed nor waited on: what any
    // account could have put there (a link, a FIFO, a file of its own or
    // one it may write, another name of a file) is refused; one that is to
    // be created is made anew instead.
    const bool create = (oflags & O_CREAT) != 0;
    const slib::TrustedName name = {.path = path,
                                    .flags = (oflags & O_ACCMODE) | (create ? O_CREAT : 0),
                                    .mode = mode,
                                    .checks = kCacheChecks,
                                    .replace = create,
                                    .src = kSrcOpen};
    bool refused = false, made = false;
    slib::Fd checked = slib::OpenTrusted(name, &refused, &made);
    struct stat want;
    if (!checked.ok() || fstat(checked.get(), &want) != 0) {
        if (!refused)
            OpenFailed(errno);
        return nullptr;
    }
    BTREEINFO info;
    memset(&info, 0, sizeof info);
    info.flags = R_DUP;
    // The store opens by name: the file checked is the one it must find.
    // Nobody but its owner (this account, or root) can unlink or rename a
    // file of theirs in the sticky /tmp. An empty file just made is the
    // store's to lay out (told so, it does not first complain of its
    // format).
    bdb->db = dbopen(path, (oflags & ~O_EXCL) | (made ? O_TRUNC : 0), mode, DB_BTREE, bDup == 1 ? &info : nullptr);
    if (!bdb->db) {
        const int err = errno;
        // No empty file of ours is left behind.
        if (made)
            unlink(path);
        OpenFailed(err);
        return nullptr;
    }
    struct stat got;
    if (fstat(bdb->db->fd(bdb->db), &got) != 0 || got.st_dev != want.st_dev || got.st_ino != want.st_ino) {
        syslog(LOG_ERR, "%s:%d [%s] was replaced while it was opened: refused", kSrcOpen, __LINE__, path);
        bdb->db->close(bdb->db);
        BDB_ERR(kSrcOpen, SLIB_ERR_OPEN);
        return nullptr;
    }
    bdb->cursorType = VAKO_BDB_CURSOR_NEXT;
    return bdb.release();
}

int UpperKey(const char *name, char *key, int cb)
{
    int n = SLIBUnicodeUTF8StrUpper(name, key, cb);
    if (n < 0)
        return -1;
    if (n >= cb) {
        if (cb > 0)
            *key = '\0';
        return kKeyTooLong;
    }
    return n;
}

int Split(const char *text, const char *delims, std::vector<std::string> &fields, const char *src)
{
    using ListPtr = slib::OwnedPtr<SLIBSZLIST, SLIBSzListFree>;
    ListPtr list(PslSLIBSzListAlloc(512));
    if (!list) {
        if (src)
            BDB_ERR(src, SLIB_ERR_OUT_OF_MEMORY);
        else
            SLIB_ERR(SLIB_ERR_OUT_OF_MEMORY);
        return -1;
    }
    PSLIBSZLIST raw = list.release();
    int n = SLIBStrSep(text, delims, &raw);
    list.reset(raw);
    if (n < 0)
        return -1;
    fields.clear();
    fields.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; i++)
        fields.emplace_back(SLIBSzListGet(list.get(), i));
    return 0;
}

int LargestIdKey(VAKOBDB *pIdDb, int *pId, const char *src)
{
    if (VAKOBDbCursorSetType(pIdDb, VAKO_BDB_CURSOR_LAST) != 0) {
        if (src)
            BDB_ERR(src, 0x8000);
        return -1;
    }
    Buf key, value;
    int r = VAKOBDbCursorGet(pIdDb, 1, &key.p, &key.cb, &value.p, &value.cb);
    VAKOBDbCursorSetType(pIdDb, VAKO_BDB_CURSOR_NEXT);
    if (r != 0) {
        if (SLIBErrorGet() == SLIB_ERR_END_OF_ENUM) {
            *pId = 0;
            return 0;
        }
        if (src)
            BDB_ERR(src, VAKO_ERR_BDB_GET);
        return -1;
    }
    *pId = atoi(Stored(key).c_str());
    return 0;
}

int LargestIdKey(VAKOBDB *pIdDb, int *pId) { return LargestIdKey(pIdDb, pId, __FILE_NAME__); }

int LastIdBuild(VAKOBDB *pIdDb, const char *textFile, const char *marker, int first, int last, const char *curKey,
                int cbCurKey, const char *src)
{
    LineReader in(textFile);
    if (!in.ok()) {
        BDB_ERR(src, SLIB_ERR_OPEN);
        return -1;
    }
    const std::string head = std::string("#$") + marker + "$";
    long taken = 0;
    while (char *line = in.Next()) {
        const char *hash = strchr(line, '#');
        if (!hash || strncmp(hash, head.c_str(), head.size()) != 0)
            continue;
        char *end;
        taken = strtol(hash + head.size(), &end, 10);
        if (*end == '$')
            break;
    }
    int value;
    if (taken >= first && taken <= last)
        value = static_cast<int>(taken);
    else if (LargestIdKey(pIdDb, &value, src) != 0)
        return -1;
    if (VAKOBDbWordSet(pIdDb, curKey, cbCurKey, value) != 0) {
        BDB_ERR(src, VAKO_ERR_BDB_PUT);
        return -1;
    }
    return 0;
}

bool MarkerLine(std::string_view content, const char *marker)
{
    size_t hash = content.find('#');
    return hash != std::string_view::npos && content.substr(hash).starts_with(std::string("#$") + marker + "$");
}

int FreeId(VAKOBDB *pIdDb, const char *curKey, int cbCurKey, int first, int last, int noneCode, const char *src)
{
    int32_t current;
    int64_t start;
    if (VAKOBDbWordGet(pIdDb, curKey, cbCurKey, &current) == 0) {
        start = static_cast<int64_t>(current) + 1;
    } else if (SLIBErrorGet() == SLIB_ERR_NOT_FOUND) {
        int largest;
        // The read's own code tells why.
        if (LargestIdKey(pIdDb, &largest, nullptr) != 0)
            return -1;
        start = static_cast<int64_t>(largest) + 1;
    } else {
        BDB_ERR(src, VAKO_ERR_BDB_GET);
        return -1;
    }
    if (start < first || start > last)
        start = first;
    int candidate = static_cast<int>(start);
    Buf value;
    do {
        char key[kIdKeySize];
        if (VAKOBDbGet(pIdDb, key, IdKey(candidate, key), &value.p, &value.cb) != 0) {
            // Only an absent record is a free id; a failed read is no answer.
            if (SLIBErrorGet() != SLIB_ERR_NOT_FOUND)
                return -1;
            // An id that a kept line of the text file holds is no free one.
            int held = IsHeld(pIdDb, key);
            if (held != 1)
                return held == 0 ? candidate : -1;
        }
        candidate = candidate == last ? first : candidate + 1;
    } while (candidate != start);
    BDB_ERR(src, noneCode);
    return -1;
}

bool ParseId(std::string_view field, int *pId)
{
    uint32_t id;
    if (!slib::DecimalU32(field, &id))
        return false;
    *pId = static_cast<int>(id);
    return true;
}

std::vector<std::string_view> Fields(std::string_view line) { return slib::ColonFields(line); }

const char kComment[] = "is a comment";

const char *Unreadable(std::string_view content)
{
    if (content.empty() || content[0] == '#')
        return kComment;
    return content.find('\0') == std::string_view::npos ? nullptr : "holds a NUL byte";
}

int Names::Claim(std::string_view name, std::string &key, const char **why)
{
    if (name.empty()) {
        *why = "has no name";
        return 0;
    }
    std::vector<char> upper(static_cast<size_t>(cbKey_));
    int n = UpperKey(std::string(name).c_str(), upper.data(), cbKey_);
    if (n == kKeyTooLong) {
        *why = "has a name too long for a key";
        return 0;
    }
    if (n < 0) {
        if (SLIBErrorGet() != SLIB_ERR_UNICODE)
            return -1;
        *why = "has a name that is not UTF-8 text";
        return 0;
    }
    key.assign(upper.data(), static_cast<size_t>(n));
    if (!seen_.insert(key).second) {
        *why = "repeats the name of an earlier line";
        return 0;
    }
    return 1;
}

const char kFormatError[] = "format error";

int KeyedLines::Take(std::string_view content, std::string &key, int *pId, const char **why)
{
    if ((*why = Unreadable(content)))
        return 0;
    std::vector<std::string_view> f = Fields(content);
    size_t at = content.find(shape_.sep);
    if (f.size() < shape_.minFields || at == std::string_view::npos) {
        *why = kFormatError;
        return 0;
    }
    if (shape_.maxFields && f.size() > shape_.maxFields) {
        *why = "has more fields than its format";
        return 0;
    }
    int id = 0;
    if (shape_.idWhy && !ParseId(f[2], &id)) {
        *why = shape_.idWhy;
        return 0;
    }
    if (shape_.check && (*why = shape_.check(f)))
        return 0;
    if (pId)
        *pId = id;
    return names_.Claim(content.substr(0, at), key, why);
}

std::function<int(std::string_view, std::string &)> KeyedLines::Rule() const
{
    return [self = *this](std::string_view content, std::string &key) mutable {
        const char *why;
        return self.Take(content, key, nullptr, &why);
    };
}

namespace {

// A line that a build keeps, in the log unless a comment.
void LogKept(const LinesRead &r, int lineNo, std::string_view content, const char *why)
{
    // Of a line that is no record, the log shows its start.
    constexpr size_t kLogged = 80;
    if (why == kComment)
        return;
    if (why == kFormatError)
        syslog(LOG_ERR, r.formatError, r.src, __LINE__, r.file, static_cast<int>(content.size()), content.data());
    else
        syslog(LOG_ERR, "%s:%d %s line %d %s, kept as it stands: %.*s", r.src, __LINE__, r.file, lineNo, why,
               static_cast<int>(std::min(content.size(), kLogged)), content.data());
}

} // namespace

int ReadLines(const LinesRead &r, const std::function<int(std::string_view, const std::string &, int)> &taken,
              const std::function<int(std::string_view)> &kept)
{
    LineReader in(r.file, r.src);
    if (!in.ok())
        return -1;
    KeyedLines rule(r.shape);
    for (int lineNo = 1; in.Next(); lineNo++) {
        std::string_view content = in.content();
        std::string key;
        int id = 0;
        const char *why;
        int took = rule.Take(content, key, &id, &why);
        if (took < 0) {
            syslog(LOG_ERR, "%s:%d SLIBUnicodeUTF8StrUpper failed [%.*s]", r.src, __LINE__,
                   static_cast<int>(content.size()), content.data());
            return -1;
        }
        if (took == 0)
            LogKept(r, lineNo, content, why);
        if (took == 0 ? kept && kept(content) != 0 : taken(content, key, id) != 0)
            return -1;
    }
    if (!in.AtEnd()) {
        syslog(LOG_ERR, r.endFailed, r.src, __LINE__, errno);
        BDB_ERR(r.src, SLIB_ERR_READ);
        return -1;
    }
    return 0;
}

int HoldLine(VAKOBDB *nameDb, VAKOBDB *idDb, std::string_view content, int cbKey)
{
    if (content.empty() || content[0] == '#')
        return 0;
    std::vector<std::string_view> f = Fields(content);
    std::string_view name = f[0];
    if (f.size() > 1 && !name.empty() && name.find('\0') == std::string_view::npos) {
        std::vector<char> upper(static_cast<size_t>(cbKey));
        int n = UpperKey(std::string(name).c_str(), upper.data(), cbKey);
        if (n < 0 && n != kKeyTooLong && SLIBErrorGet() != SLIB_ERR_UNICODE)
            return -1;
        if (n > 0 && Hold(nameDb, std::string_view(upper.data(), static_cast<size_t>(n))) != 0)
            return -1;
    }
    int id;
    if (f.size() > 3 && ParseId(f[2], &id)) {
        char key[kIdKeySize];
        IdKey(id, key);
        if (Hold(idDb, key) != 0)
            return -1;
    }
    return 0;
}

namespace {

// The reserved key of a held name or id, with its NUL.
std::string HeldKey(std::string_view key) { return std::string(kHeldPrefix).append(key); }

} // namespace

int Hold(VAKOBDB *bdb, std::string_view key)
{
    std::string held = HeldKey(key);
    return Put(bdb, held.c_str(), static_cast<int>(held.size()) + 1, "1");
}

int IsHeld(VAKOBDB *bdb, std::string_view key)
{
    std::string held = HeldKey(key);
    Buf value;
    if (VAKOBDbGet(bdb, held.c_str(), static_cast<int>(held.size()) + 1, &value.p, &value.cb) == 0)
        return 1;
    return SLIBErrorGet() == SLIB_ERR_NOT_FOUND ? 0 : -1;
}

int ReadValue(VAKOBDB *bdb, const std::string &key, std::string &value, bool *pWhole)
{
    Buf v;
    if (VAKOBDbGet(bdb, key.c_str(), static_cast<int>(key.size()) + 1, &v.p, &v.cb) != 0)
        return SLIBErrorGet() == SLIB_ERR_NOT_FOUND ? 0 : -1;
    value = Stored(v);
    *pWhole = value.size() + 1 == static_cast<size_t>(v.cb);
    return 1;
}

bool KeyedBy(const std::string &line, const std::string &key, int cbKey)
{
    size_t colon = line.find(':');
    if (colon == std::string::npos)
        return false;
    std::vector<char> upper(static_cast<size_t>(cbKey));
    int n = UpperKey(line.substr(0, colon).c_str(), upper.data(), cbKey);
    return n >= 0 && key.compare(0, std::string::npos, upper.data(), static_cast<size_t>(n)) == 0;
}

bool TextFile::Read(const char *path, const Rule &keyOf, const char *src)
{
    lines_.clear();
    index_.clear();
    LineReader in(path);
    if (!in.ok()) {
        // A file that is not there holds no line to keep.
        if (errno == ENOENT)
            return true;
        syslog(LOG_ERR, "%s:%d fopen(%s) failed. errno=%d/%m", src, __LINE__, path, errno);
        BDB_ERR(src, SLIB_ERR_OPEN);
        return false;
    }
    while (in.Next()) {
        Line line{std::string(in.view()), {}};
        int taken = keyOf(in.content(), line.key);
        if (taken < 0)
            return false;
        if (taken == 0)
            line.key.clear();
        else
            index_.emplace(line.key, lines_.size());
        lines_.push_back(std::move(line));
    }
    if (!in.AtEnd()) {
        syslog(LOG_ERR, "%s:%d read %s failed. errno=%d/%m", src, __LINE__, path, errno);
        BDB_ERR(src, SLIB_ERR_READ);
        return false;
    }
    return true;
}

bool TextFile::Write(slib::FileReplacer &out, const std::vector<DumpRecord> &records, const Lookup &lookup) const
{
    // What follows each record (index + 1; 0 the head): the kept lines, and
    // the lines of keys that the records leave out but the cache still holds.
    struct Item {
        size_t line;
        DumpRecord rec; // key empty: the line as it stands
    };
    std::unordered_map<std::string, size_t> order;
    for (size_t i = 0; i < records.size(); i++)
        order.emplace(records[i].key, i + 1);
    std::vector<std::vector<Item>> after(records.size() + 1);
    std::vector<size_t> lineOf(records.size() + 1, SIZE_MAX);
    size_t anchor = 0;
    for (size_t i = 0; i < lines_.size(); i++) {
        const Line &l = lines_[i];
        if (l.key.empty()) {
            after[anchor].push_back({i, {}});
            continue;
        }
        auto it = order.find(l.key);
        if (it != order.end()) {
            anchor = it->second;
            lineOf[anchor] = i;
            continue;
        }
        DumpRecord rec;
        int found = lookup(l.key, rec);
        if (found < 0)
            return false;
        if (found == 1) {
            rec.key = l.key;
            after[anchor].push_back({i, std::move(rec)});
        } else if (anchor < records.size() && !Holds(records[anchor].key)) {
            // The line's account or group is gone; the record that follows
            // and has no line of its own (a renamed one) takes its place.
            anchor++;
        }
    }

    // A line written as it stood may lack its last line feed: it gets one
    // only when more follows.
    bool open = false;
    auto put = [&](std::string_view bytes) {
        if (open && !out.Write("\n", 1))
            return false;
        open = !bytes.ends_with('\n');
        return out.Write(bytes);
    };
    auto putRecord = [&](size_t line, const DumpRecord &rec) {
        if (line != SIZE_MAX) {
            std::string_view raw = lines_[line].raw;
            std::string_view text = raw.ends_with('\n') ? raw.substr(0, raw.size() - 1) : raw;
            if (text.ends_with('\r'))
                text.remove_suffix(1);
            if (rec.value == text || (rec.asBuilt && rec.value == *rec.asBuilt))
                return put(raw);
        }
        return put(rec.value + "\n");
    };
    auto putAfter = [&](size_t at) {
        for (const Item &item : after[at])
            if (!(item.rec.key.empty() ? put(lines_[item.line].raw) : putRecord(item.line, item.rec)))
                return false;
        return true;
    };
    if (!putAfter(0))
        return false;
    for (size_t i = 0; i < records.size(); i++)
        if (!putRecord(lineOf[i + 1], records[i]) || !putAfter(i + 1))
            return false;
    return true;
}

namespace {

// A new empty file of mode marked current: the handle, or NULL (logged).
VAKOBDB *CreateEmpty(const char *src, const std::string &path, int bDup, mode_t mode)
{
    VAKOBDB *bdb = OpenDb(path.c_str(), O_RDWR | O_CREAT, bDup, mode);
    if (bdb && VAKOBDbDeprecatedSet(bdb, 0) != 0) {
        VAKOBDbClose(bdb);
        bdb = nullptr;
    }
    if (!bdb)
        syslog(LOG_ERR, "%s:%d VAKOBDbOpen [%s] failed. vakoerr=0x%04X", src, __LINE__, path.c_str(), SLIBErrorGet());
    return bdb;
}

} // namespace

int OpenFileSet(const char *src, const char *prefix, const std::vector<SetFile> &files,
                const std::function<int()> &build)
{
    constexpr size_t kPathSize = 4096;
    std::vector<std::string> paths;
    for (const SetFile &file : files) {
        paths.push_back(std::string(prefix) + file.suffix);
        if (paths.back().size() >= kPathSize) {
            BDB_ERR(src, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
    }
    std::vector<bool> created(files.size(), false);
    bool any = false;
    for (size_t i = 0; i < files.size(); i++) {
        VAKOBDB *&f = *files[i].handle;
        f = OpenDb(paths[i].c_str(), O_RDWR, files[i].bDup, files[i].mode);
        if (f)
            continue;
        // Another account's file that this one may not open is not its to
        // replace.
        if (SLIBErrorGet() == VAKO_ERR_BDB_ACCESS) {
            syslog(LOG_ERR, "%s:%d VAKOBDbOpen [%s] failed. vakoerr=0x%04X", src, __LINE__, paths[i].c_str(),
                   SLIBErrorGet());
            return -1;
        }
        f = CreateEmpty(src, paths[i], files[i].bDup, files[i].mode);
        if (!f)
            return -1;
        created[i] = any = true;
    }
    if (!any)
        return 0;
    // Holders of the old files are told to reopen.
    for (size_t i = 0; i < files.size(); i++) {
        if (created[i])
            continue;
        VAKOBDB *&f = *files[i].handle;
        VAKOBDbDeprecatedSet(f, 1);
        VAKOBDbClose(f);
        f = nullptr;
        if (unlink(paths[i].c_str()) != 0 && errno != ENOENT) {
            syslog(LOG_ERR, "%s:%d unlink(%s) failed. errno=%d/%m", src, __LINE__, paths[i].c_str(), errno);
            BDB_ERR(src, SLIB_ERR_OPEN);
            return -1;
        }
        f = CreateEmpty(src, paths[i], files[i].bDup, files[i].mode);
        if (!f)
            return -1;
    }
    if (build() != 0)
        return -1;
    for (size_t i = 0; i < files.size(); i++) {
        VAKOBDB *&f = *files[i].handle;
        VAKOBDbClose(f);
        f = OpenDb(paths[i].c_str(), O_RDWR, files[i].bDup, files[i].mode);
        if (!f) {
            syslog(LOG_ERR, "%s:%d VAKOBDbOpen [%s] failed. vakoerr=0x%04X", src, __LINE__, paths[i].c_str(),
                   SLIBErrorGet());
            return -1;
        }
    }
    return 1;
}

int DeleteDupRecord(VAKOBDB *bdb, const char *key, int cbKey, const std::string &value)
{
    int removed;
    return DeleteDupRecords(bdb, key, cbKey, value, &removed);
}

int DeleteDupRecords(VAKOBDB *bdb, const char *key, int cbKey, const std::string &value, int *pRemoved)
{
    *pRemoved = 0;
    if (!bdb || !bdb->db || !key || cbKey <= 0) {
        SLIB_ERR(SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    // Positioned on the first record of the key, each record of it whose
    // value matches is removed where the cursor stands.
    DBT k = Dbt(key, cbKey), v = Dbt(nullptr, 0);
    unsigned flag = R_CURSOR;
    for (;;) {
        int r = bdb->db->seq(bdb->db, &k, &v, flag);
        if (r == 1)
            break;
        if (r != 0) {
            int err = errno;
            syslog(LOG_ERR, "%s:%d errno=%d/%m, db->seq failed.", kSrcCursorGet, __LINE__, err);
            BDB_ERR(kSrcCursorGet, GetCode(err));
            return -1;
        }
        if (k.size != static_cast<size_t>(cbKey) || memcmp(k.data, key, k.size) != 0)
            break;
        if (strnlen(static_cast<const char *>(v.data), v.size) == value.size() &&
            memcmp(v.data, value.data(), value.size()) == 0) {
            if (bdb->db->del(bdb->db, &k, R_CURSOR) < 0) {
                int err = errno;
                syslog(LOG_ERR, "%s:%d errno=%d/%m, db->del failed.", kSrcDelete, __LINE__, err);
                BDB_ERR(kSrcDelete, WriteCode(err, VAKO_ERR_BDB_DEL));
                return -1;
            }
            ++*pRemoved;
        }
        flag = R_NEXT;
    }
    // The layer's walks start afresh from their own cursor type.
    bdb->cursorType = VAKO_BDB_CURSOR_NEXT;
    return 0;
}

int Find(VAKOBDB *bdb, const void *key, int cbKey, std::string *value)
{
    if (bdb && bdb->db && key && cbKey > 0) {
        DBT k = Dbt(key, cbKey), v = Dbt(nullptr, 0);
        int r = bdb->db->get(bdb->db, &k, &v, 0);
        if (r == 1)
            return 0;
        if (r == 0) {
            if (value)
                value->assign(static_cast<const char *>(v.data), v.size);
            return 1;
        }
    }
    // Anything else goes through the store's get, which logs and records it.
    Buf got;
    if (VAKOBDbGet(bdb, key, cbKey, &got.p, &got.cb) == 0) {
        if (value)
            value->assign(got.str(), static_cast<size_t>(got.cb));
        return 1;
    }
    return SLIBErrorGet() == SLIB_ERR_NOT_FOUND ? 0 : -1;
}

int Changes::Read(VAKOBDB *bdb, const std::string &key, std::string &old)
{
    return Find(bdb, key.c_str(), static_cast<int>(key.size()) + 1, &old);
}

int Changes::Put(VAKOBDB *bdb, const std::string &key, const std::string &value)
{
    return PutBytes(bdb, key, std::string_view(value.c_str(), value.size() + 1));
}

int Changes::PutBytes(VAKOBDB *bdb, const std::string &key, std::string_view value)
{
    Room();
    Step step{Kind::kPut, bdb, key, {}, false, {}, 0};
    int had = Read(bdb, key, step.old);
    if (had < 0)
        return -1;
    step.had = had == 1;
    // Taken back even when the store fails: a '#' key's old record is
    // removed before the new one is written.
    steps_.push_back(std::move(step));
    return VAKOBDbSet(bdb, key.c_str(), static_cast<int>(key.size()) + 1, value.data(),
                      static_cast<int>(value.size())) == 0
               ? 0
               : -1;
}

int Changes::Remove(VAKOBDB *bdb, const std::string &key)
{
    Room();
    Step step{Kind::kRemove, bdb, key, {}, false, {}, 0};
    int had = Read(bdb, key, step.old);
    if (had < 0)
        return -1;
    if (had == 0)
        return 0;
    if (VAKOBDbDelete(bdb, key.c_str(), static_cast<int>(key.size()) + 1) != 0)
        return -1;
    step.had = true;
    steps_.push_back(std::move(step));
    return 0;
}

int Changes::Add(VAKOBDB *bdb, const std::string &key, const std::string &value)
{
    Room();
    Step step{Kind::kAdd, bdb, key, value, false, {}, 0};
    if (keydb_internal::Put(bdb, key.c_str(), static_cast<int>(key.size()) + 1, value) != 0)
        return -1;
    steps_.push_back(std::move(step));
    return 0;
}

int Changes::RemoveDup(VAKOBDB *bdb, const std::string &key, const std::string &value)
{
    Room();
    Step step{Kind::kRemoveDup, bdb, key, value, false, {}, 0};
    // Records removed before a failure are taken back too.
    int r = DeleteDupRecords(bdb, key.c_str(), static_cast<int>(key.size()) + 1, value, &step.removed);
    if (step.removed > 0)
        steps_.push_back(std::move(step));
    return r;
}

Changes::~Changes()
{
    if (kept_)
        return;
    slib::SavedError saved;
    for (auto it = steps_.rbegin(); it != steps_.rend(); ++it) {
        const char *key = it->key.c_str();
        int cbKey = static_cast<int>(it->key.size()) + 1;
        switch (it->kind) {
        case Kind::kPut:
            if (it->had)
                VAKOBDbSet(it->bdb, key, cbKey, it->old.data(), static_cast<int>(it->old.size()));
            else
                VAKOBDbDelete(it->bdb, key, cbKey);
            break;
        case Kind::kRemove:
            VAKOBDbSet(it->bdb, key, cbKey, it->old.data(), static_cast<int>(it->old.size()));
            break;
        case Kind::kAdd:
            DeleteDupRecord(it->bdb, key, cbKey, it->value);
            break;
        case Kind::kRemoveDup:
            for (int i = 0; i < it->removed; i++)
                keydb_internal::Put(it->bdb, key, cbKey, it->value);
            break;
        }
    }
    saved.Restore();
}

void DomainFailEvent(const char *src, int line)
{
    // Started without a shell: the event is all that is asked of it.
    static constexpr char kEventLogProgram[] = "/usr/vako/bin/vakologset1";
    static constexpr char kDomainFailEvent[] = "0x1180050A";
    if (SLIBProcExec(kEventLogProgram, "sys", "err", kDomainFailEvent, nullptr) < 0)
        syslog(LOG_ERR, "%s:%d %s sys err %s failed. errno=%d/%m", src, line, kEventLogProgram, kDomainFailEvent,
               errno);
}

int DomainNamesBuild(VAKOBDB *pNameDb, const DomainNames &names)
{
    if (!pNameDb) {
        SLIBErrorSetEx(SLIB_ERR_BAD_PARAMETER, names.src, __LINE__);
        return -1;
    }
    std::vector<char> workgroup(static_cast<size_t>(names.cbWorkgroup));
    int isDomain = 0, isSamba = 0;
    if (VAKOWinsQuery1(workgroup.data(), names.cbWorkgroup, &isDomain, &isSamba) != 0 || !isSamba ||
        (isSamba == 1 && !isDomain))
        return 0;
    LineReader in(names.path);
    if (!in.ok()) {
        syslog(LOG_ERR, "%s:%d fopen(%s) failed. errno=%s", names.src, __LINE__, names.path, strerror(errno));
        SLIBErrorSetEx(SLIB_ERR_OPEN, names.src, __LINE__);
        return -1;
    }
    std::vector<char> key(static_cast<size_t>(names.cbKey));
    Buf value;
    int loaded = 0;
    while (char *line = in.Next()) {
        char *last = strrchr(line, ':');
        if (!last)
            continue;
        *last = '\0';
        int cbKey = names.upper(names.src, line, key.data(), names.cbKey);
        if (cbKey < 0)
            return -1;
        size_t need = strlen(line) + strlen(names.suffix) + 1;
        if (need > INT_MAX || VAKOCheckAndRealloc(&value.p, &value.cb, static_cast<int>(need)) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOCheckAndRealloc() failed! vakoerr=0x%04X", names.src, __LINE__, SLIBErrorGet());
            return -1;
        }
        snprintf(static_cast<char *>(value.p), need, "%s%s", line, names.suffix);
        if (Put(pNameDb, key.data(), cbKey + 1, value.str()) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOBDbSet() failed! vakoerr=0x%04X", names.src, __LINE__, SLIBErrorGet());
            return -1;
        }
        loaded++;
    }
    if (loaded == 0)
        syslog(LOG_ERR, "%s:%d %s", names.src, __LINE__, names.none);
    VAKOBDbDomainExpireTimeSet(pNameDb);
    return 0;
}

} // namespace keydb_internal
