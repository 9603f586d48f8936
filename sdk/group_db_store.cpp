// The keyed operations on an open group database: store and delete a
// group, existence of a name, the walk over the groups, a free group id.
#include "vako/group_db.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "keydb_internal.h"
#include "slib/error.h"
#include "slibcxx/border.h"
#include "slibcxx/raii.h"
#include "vako/user.h"

namespace {

using keydb_internal::Buf;
using keydb_internal::kIdKeySize;
using keydb_internal::Put;
using keydb_internal::Stored;

// The operations' own source names: log prefixes and the file recorded with
// an error code.
constexpr const char *kSrcSet = "group_db_set";
constexpr const char *kSrcDelete = "group_db_delete";
constexpr const char *kSrcCheckExists = "group_db_check_exists";
constexpr const char *kSrcGetByCursor = "group_db_get_by_cursor";
constexpr const char *kSrcFreeGid = "group_get_free_gid";

constexpr int kKeySize = 129;

using GroupPtr = slib::OwnedPtr<VAKOGROUP, VAKOGroupFree>;

bool IsSystemGid(int gid) { return static_cast<uint32_t>(gid) <= VAKO_GID_SYSTEM_MAX; }

bool Open(const VAKOGROUPDB *db) { return db && db->pGRPName && db->pGRPGID && db->pGRPDesc; }

// A group's .name record unpacked: 0, or -1 (absent or unreadable: 0x1800
// from src; the unpack's code, logged).
int ReadGroup(VAKOGROUPDB *db, const std::string &key, GroupPtr &group, std::string &line, const char *src)
{
    Buf value;
    if (VAKOBDbGet(db->pGRPName, key.c_str(), static_cast<int>(key.size()) + 1, &value.p, &value.cb) != 0) {
        SLIB_ERR_IN(src, VAKO_ERR_GROUP_NOT_FOUND);
        return -1;
    }
    line = Stored(value);
    PVAKOGROUP raw = nullptr;
    int r = VAKOGroupDBUnpack(line.c_str(), &raw);
    group.reset(raw);
    if (r != 0) {
        syslog(LOG_ERR, "%s:%d VAKOGroupDBUnpack failed. vakoerr=0x%04X", src, __LINE__, SLIBErrorGet());
        return -1;
    }
    return 0;
}

// Removes one record, an absent one included: 0, or -1.
int DeleteIfThere(VAKOBDB *bdb, const std::string &key)
{
    if (VAKOBDbDelete(bdb, key.c_str(), static_cast<int>(key.size()) + 1) == 0)
        return 0;
    return SLIBErrorGet() == SLIB_ERR_NOT_FOUND ? 0 : -1;
}

std::string IdKeyOf(int gid)
{
    char key[kIdKeySize];
    keydb_internal::IdKey(gid, key);
    return key;
}

// The next record of the name file that is no reserved one, unpacked.
int NextGroup(VAKOGROUPDB *db, PVAKOGROUP *ppGroup, std::string &key)
{
    Buf k, v;
    if (VAKOBDbCursorGet(db->pGRPName, 1, &k.p, &k.cb, &v.p, &v.cb) != 0) {
        if (SLIBErrorGet() != SLIB_ERR_END_OF_ENUM)
            SLIB_ERR_IN(kSrcGetByCursor, VAKO_ERR_GROUP_NOT_FOUND);
        return -1;
    }
    key = Stored(k);
    if (VAKOGroupDBUnpack(Stored(v).c_str(), ppGroup) != 0) {
        syslog(LOG_ERR, "%s:%d VAKOGroupDBUnpack failed. vakoerr=0x%04X", kSrcGetByCursor, __LINE__, SLIBErrorGet());
        return -1;
    }
    return 0;
}

} // namespace

extern "C" {

int VAKOGroupDBSet(VAKOGROUPDB *pDb, const char *szOldKey, int cbOldKey, PVAKOGROUP pGroup)
{
    return slib::Guarded(kSrcSet, -1, [&] {
        if (!Open(pDb) || !pGroup || (szOldKey && cbOldKey < 0)) {
            SLIB_ERR_IN(kSrcSet, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        if (!VAKOGroupIsValidName(pGroup->szName)) {
            SLIB_ERR_IN(kSrcSet, VAKO_ERR_GROUP_BAD_NAME);
            return -1;
        }
        char upper[kKeySize];
        int n = keydb_internal::UpperKey(pGroup->szName, upper, sizeof upper);
        if (n < 0) {
            syslog(LOG_ERR, "%s:%d SLIBUnicodeUTF8StrUpper failed, str=%s.", kSrcSet, __LINE__, pGroup->szName);
            if (n == keydb_internal::kKeyTooLong)
                SLIB_ERR_IN(kSrcSet, VAKO_ERR_GROUP_BAD_NAME);
            return -1;
        }
        const std::string key(upper, static_cast<size_t>(n));

        std::string oldKey;
        GroupPtr old;
        bool sameKey = false, keepId = false, hadDesc = false;
        std::string newDesc;
        if (szOldKey) {
            oldKey.assign(szOldKey, static_cast<size_t>(cbOldKey));
            oldKey.resize(strlen(oldKey.c_str()));
            sameKey = oldKey == key;
            Buf desc;
            bool descRead = VAKOBDbGet(pDb->pGRPDesc, oldKey.c_str(), static_cast<int>(oldKey.size()) + 1, &desc.p,
                                       &desc.cb) == 0;
            if (!descRead && SLIBErrorGet() != SLIB_ERR_NOT_FOUND)
                return -1;
            // The old group must be one that the delete would remove: its
            // refusals and their codes are the delete's. Domain groups are never
            // stored here.
            if (oldKey.find('\\') != std::string::npos)
                return -1;
            std::string oldLine;
            if (ReadGroup(pDb, oldKey, old, oldLine, kSrcDelete) != 0)
                return -1;
            if (IsSystemGid(old->gid)) {
                // A system group keeps its name and id records; "users" is never changed.
                if (!sameKey || strcasecmp(oldKey.c_str(), SZ_GROUP_USERS) == 0) {
                    SLIB_ERR_IN(kSrcDelete, VAKO_ERR_SYSTEM_GROUP);
                    return -1;
                }
                keepId = true;
            }
            if (descRead) {
                std::string d = Stored(desc);
                size_t colon = d.find(':');
                if (colon == std::string::npos) {
                    SLIB_ERR_IN(kSrcSet, VAKO_ERR_BAD_FORMAT);
                    return -1;
                }
                hadDesc = true;
                newDesc = std::string(pGroup->szName) + d.substr(colon);
            }
        }

        // The whole new line before any store: a member list that cannot be made
        // changes nothing.
        struct group gr;
        if (VAKOGroupToUnixGroup(pGroup, &gr) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOGroupToUnixGroup failed. vakoerr=0x%04X", kSrcSet, __LINE__, SLIBErrorGet());
            return -1;
        }
        char *packed = nullptr;
        int cbPacked = 0;
        int cbLine = VAKOGroupDBPackFromUnix(&gr, &packed, &cbPacked);
        slib::HeapPtr<char> packedOwner(packed);
        if (cbLine < 0) {
            syslog(LOG_ERR, "%s:%d VAKOGroupDBPackFromUnix failed. vakoerr=0x%04X", kSrcSet, __LINE__, SLIBErrorGet());
            return -1;
        }
        const std::string line(packed);

        // Stored over another group, the new line would leave that group's id
        // record naming it: the next dump would write it twice.
        // A name that a line of /etc/group holds which the cache keeps out is
        // no new group's either.
        int held = sameKey ? 0 : keydb_internal::IsHeld(pDb->pGRPName, key);
        if (held < 0)
            return -1;
        if (!sameKey &&
            (held == 1 || VAKOGroupDBCheckExists(pDb, key.c_str(), static_cast<int>(key.size()), nullptr, 0))) {
            SLIB_ERR_IN(kSrcSet, VAKO_ERR_GROUP_EXISTS);
            return -1;
        }
        // A check that could not be made for want of memory found nothing.
        if (!sameKey && slib::OutOfMemory())
            return -1;

        // The new records, then the old ones removed: each group is whole in
        // every file, or the files are as they were.
        keydb_internal::Changes changes;
        if (changes.Put(pDb->pGRPName, key, line) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOBDbSet pGRPName failed, str=%s. vakoerr=0x%04X", kSrcSet, __LINE__, upper,
                   SLIBErrorGet());
            return -1;
        }
        if (hadDesc && changes.Put(pDb->pGRPDesc, key, newDesc) != 0)
            return -1;
        bool sameId = old && (keepId || (sameKey && old->gid == pGroup->gid));
        if (!sameId && changes.Add(pDb->pGRPGID, IdKeyOf(pGroup->gid), key) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOBDbSet pGRPGID failed. vakoerr=0x%04X", kSrcSet, __LINE__, SLIBErrorGet());
            return -1;
        }
        // Of the old gid only the old group's own record goes.
        if (old && !sameId && changes.RemoveDup(pDb->pGRPGID, IdKeyOf(old->gid), oldKey) != 0)
            return -1;
        if (old && !sameKey &&
            (changes.Remove(pDb->pGRPName, oldKey) != 0 || changes.Remove(pDb->pGRPDesc, oldKey) != 0))
            return -1;
        changes.Keep();
        return 0;
    });
}

int VAKOGroupDBDelete(VAKOGROUPDB *pDb, const char *szKey, int cbKey)
{
    return slib::Guarded(kSrcDelete, -1, [&] {
        if (!Open(pDb) || !szKey || cbKey < 0) {
            SLIB_ERR_IN(kSrcDelete, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        std::string key(szKey, strnlen(szKey, static_cast<size_t>(cbKey)));
        if (key.find('\\') != std::string::npos)
            return -1;
        GroupPtr group;
        std::string line;
        if (ReadGroup(pDb, key, group, line, kSrcDelete) != 0)
            return -1;
        if (IsSystemGid(group->gid)) {
            SLIB_ERR_IN(kSrcDelete, VAKO_ERR_SYSTEM_GROUP);
            return -1;
        }
        // Other groups may share the gid: only this group's record goes.
        std::string idKey = IdKeyOf(group->gid);
        if (keydb_internal::DeleteDupRecord(pDb->pGRPGID, idKey.c_str(), static_cast<int>(idKey.size()) + 1, key) != 0)
            return -1;
        if (DeleteIfThere(pDb->pGRPName, key) != 0 || DeleteIfThere(pDb->pGRPDesc, key) != 0)
            return -1;
        return 0;
    });
}

int VAKOGroupDBCheckExists(VAKOGROUPDB *pDb, const char *szKey, int cbKey, char *szOut, int cbOut)
{
    return slib::Guarded(kSrcCheckExists, 0, [&] {
        if (!Open(pDb) || !szKey || cbKey < 0 || (!szOut && cbOut != 0)) {
            SLIB_ERR_IN(kSrcCheckExists, SLIB_ERR_BAD_PARAMETER);
            return 0;
        }
        std::string key(szKey, strnlen(szKey, static_cast<size_t>(cbKey)));
        Buf value;
        if (VAKOBDbGet(pDb->pGRPName, key.c_str(), static_cast<int>(key.size()) + 1, &value.p, &value.cb) != 0) {
            SLIB_ERR_IN(kSrcCheckExists, VAKO_ERR_GROUP_NOT_FOUND);
            return 0;
        }
        if (!szOut)
            return 1;
        if (cbOut <= 0)
            return 0;
        keydb_internal::NameField got = keydb_internal::CopyNameField(Stored(value), szOut, cbOut);
        if (got == keydb_internal::NameField::NoSeparator)
            SLIB_ERR_IN(kSrcCheckExists, VAKO_ERR_BAD_FORMAT);
        return got == keydb_internal::NameField::Copied ? 1 : 0;
    });
}

int VAKOGroupDBGetByCursor(VAKOGROUPDB *pDb, PVAKOGROUP *ppGroup, int typeMask, int bAll)
{
    return slib::Guarded(kSrcGetByCursor, -1, [&] {
        if (!Open(pDb) || !ppGroup) {
            SLIB_ERR_IN(kSrcGetByCursor, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        std::string key;
        for (;;) {
            if (NextGroup(pDb, ppGroup, key) != 0)
                return -1;
            int type = key.find('\\') != std::string::npos ? VAKO_GROUP_TYPE_DOMAIN : VAKO_GROUP_TYPE_LOCAL;
            if (!(typeMask & type))
                continue;
            const VAKOGROUP *g = *ppGroup;
            if (!bAll && (typeMask & VAKO_GROUP_TYPE_LOCAL) && !strchr(g->szName, '\\') && IsSystemGid(g->gid) &&
                strcmp(g->szName, SZ_GROUP_USERS) != 0)
                continue;
            return 0;
        }
    });
}

int VAKOGroupGetFreeGid(VAKOGROUPDB *pDb)
{
    return slib::Guarded(kSrcFreeGid, -1, [&] {
        if (!Open(pDb))
            return -1;
        return keydb_internal::FreeId(pDb->pGRPGID, SZK_BDB_CURRENT_GID, CB_BDB_CURRENT_GID, VAKO_GID_FIRST,
                                      VAKO_GID_LAST, VAKO_ERR_NO_FREE_GID, kSrcFreeGid);
    });
}

} // extern "C"
