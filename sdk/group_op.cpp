// The group operations: read, create and change a group under the
// account-file lock, carry a rename into the shares, list members, and keep
// the mail group.
#include "vako/group_op.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <syslog.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "keydb_internal.h"
#include "share_internal.h"
#include "slib/error.h"
#include "slib/szlist.h"
#include "slib/str.h"
#include "slib/unicode.h"
#include "slibcxx/border.h"
#include "slibcxx/raii.h"
#include "vako/group_db.h"
#include "vako/share_db.h"
#include "vako/user_list.h"
#include "vako/user_op.h"

namespace {

using keydb_internal::Buf;
using keydb_internal::kKeyTooLong;
using keydb_internal::LockHold;
using keydb_internal::Stored;

// The operations' own source names: log prefixes and the file recorded with
// an error code.
constexpr const char *kSrcGet = "group_get";
constexpr const char *kSrcSet = "group_set";
constexpr const char *kSrcListMember = "group_list_member";
constexpr const char *kSrcSmmsp = "group_smmsp_group_set";

constexpr int kKeySize = 128;
constexpr int kListSize = 512;

using keydb_internal::ListPtr;
using GroupDbPtr = slib::OwnedPtr<VAKOGROUPDB, VAKOGroupDBClose>;
using ShareDbPtr = slib::OwnedPtr<VAKOSHAREDB, VAKOShareDBClose>;
using GroupOwner = slib::OwnedPtr<VAKOGROUP, VAKOGroupFree>;

// A group name upper-cased into a key of kKeySize bytes: its length, or -1
// (the upper-caser's code; 0x0D00 for a name that gives no key, which an
// empty or too long one does).
int UpperKeyForSet(const char *name, char *key)
{
    int n = keydb_internal::UpperKey(name, key, kKeySize);
    if (n == -1)
        return -1;
    if (n == kKeyTooLong || n == 0) {
        SLIB_ERR_IN(kSrcSet, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    return n;
}

// The first reference "@old" of a comma list, as a whole entry, becomes
// "@new": 1 with a new heap string in *pszOut (freed by the caller), 0 with
// *pszOut = szList, or -1 (0x0D00, 0x0200).
int ReplaceGrpInString(const char *szList, char **pszOut, const char *szOldGrp, const char *szNewGrp)
{
    if (!szList || !pszOut || *pszOut || !szOldGrp || !szNewGrp) {
        SLIB_ERR_IN(kSrcSet, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    std::string work = std::string(szList) + ",";
    const std::string from = std::string("@") + szOldGrp + ",";
    const std::string to = std::string("@") + szNewGrp + ",";
    size_t at = 0;
    // Only a whole entry: "@staff," within "@old@staff," names another group.
    while ((at = work.find(from, at)) != std::string::npos && at != 0 && work[at - 1] != ',')
        at++;
    if (!*szList || at == std::string::npos) {
        *pszOut = const_cast<char *>(szList);
        return 0;
    }
    work.replace(at, from.size(), to);
    work.pop_back();
    *pszOut = strdup(work.c_str());
    if (!*pszOut) {
        SLIB_ERR_IN(kSrcSet, SLIB_ERR_OUT_OF_MEMORY);
        return -1;
    }
    return 1;
}

// One of a share's lists after the rename, owned when it is a new string.
struct Replaced {
    char *p = nullptr;
    bool owned = false;
    ~Replaced()
    {
        if (owned)
            free(p);
    }
};

// Carries the rename of group oldName to newName into the user lists of
// every share of db and rewrites smb.conf when one changed: 0, or -1.
int RenameInShares(VAKOSHAREDB *db, const char *oldName, const char *newName)
{
    std::unordered_set<std::string> handled;
    bool stored = false;
    int end = share_internal::WalkShares(db, kSrcSet, [&](VAKOSHARE *share) {
        if (!share->szName || !handled.insert(share->szName).second)
            return 0;
        Replaced lists[3];
        const char *from[3] = {share->szInvalidUsers, share->szWriteList, share->szReadList};
        bool changed = false;
        for (int i = 0; i < 3; i++) {
            int rr = ReplaceGrpInString(from[i], &lists[i].p, oldName, newName);
            if (rr < 0) {
                syslog(LOG_ERR, "%s:%d ReplaceGrpInString fail VAKOErr=[0x%04X]", kSrcSet, __LINE__, SLIBErrorGet());
                return -1;
            }
            lists[i].owned = rr == 1;
            changed = changed || rr == 1;
        }
        if (changed) {
            VAKOSHARE record = *share;
            record.szInvalidUsers = lists[0].p;
            record.szWriteList = lists[1].p;
            record.szReadList = lists[2].p;
            if (VAKOShareDBSet(db, share->szName, &record) != 0) {
                syslog(LOG_ERR, "%s:%d VAKOShareDBSet failed. vakoerr=0x%04X", kSrcSet, __LINE__, SLIBErrorGet());
                return -1;
            }
            stored = true;
        }
        return 0;
    });
    if (end != 0)
        return -1;
    if (stored && VAKOShareDBDump(db) != 0) {
        syslog(LOG_ERR, "%s:%d VAKOShareDBDump failed. vakoerr=0x%04X", kSrcSet, __LINE__, SLIBErrorGet());
        return -1;
    }
    return 0;
}

// VAKOGroupSet under the exclusive lock.
int SetLocked(const char *szOldName, PVAKOGROUP pGroup)
{
    GroupDbPtr db(VAKOGroupDBOpen());
    if (!db) {
        if (!slib::OutOfMemory())
            SLIB_ERR_IN(kSrcSet, SLIB_ERR_OPEN);
        return -1;
    }
    bool chosen = false;
    if (pGroup->gid == -1) {
        int gid = VAKOGroupGetFreeGid(db.get());
        if (gid == -1) {
            if (!slib::OutOfMemory())
                SLIB_ERR_IN(kSrcSet, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        pGroup->gid = gid;
        chosen = true;
    }
    if (!pGroup->szName) {
        SLIB_ERR_IN(kSrcSet, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    char key[kKeySize];
    int cchKey = UpperKeyForSet(pGroup->szName, key);
    if (cchKey < 0)
        return -1;
    bool exists = VAKOGroupDBCheckExists(db.get(), key, cchKey, nullptr, 0) == 1;
    if (!exists && slib::OutOfMemory())
        return -1;
    if (szOldName && SLIBUnicodeUTF8StrCaseCmp(szOldName, pGroup->szName) == 0) {
        if (!exists) {
            SLIB_ERR_IN(kSrcSet, VAKO_ERR_GROUP_NOT_FOUND);
            return -1;
        }
    } else if (exists) {
        SLIB_ERR_IN(kSrcSet, VAKO_ERR_GROUP_EXISTS);
        return -1;
    }
    char oldKey[kKeySize];
    char oldStored[kKeySize] = "";
    int cchOldKey = 0;
    ShareDbPtr shares;
    if (szOldName) {
        cchOldKey = UpperKeyForSet(szOldName, oldKey);
        if (cchOldKey < 0)
            return -1;
        if (!VAKOGroupDBCheckExists(db.get(), oldKey, cchOldKey, oldStored, sizeof oldStored)) {
            if (!slib::OutOfMemory())
                SLIB_ERR_IN(kSrcSet, VAKO_ERR_GROUP_NOT_FOUND);
            return -1;
        }
        // The share lists name the group: their database is opened (and
        // built if need be) while the old name still exists, or a build
        // would drop the references that the rename is to carry over.
        if (strcmp(oldStored, pGroup->szName) != 0) {
            shares.reset(VAKOShareDBOpen());
            if (!shares) {
                syslog(LOG_ERR, "%s:%d VAKOShareDBOpen failed. vakoerr=0x%04X", kSrcSet, __LINE__, SLIBErrorGet());
                if (!slib::OutOfMemory())
                    SLIB_ERR_IN(kSrcSet, SLIB_ERR_OPEN);
                return -1;
            }
        }
    }
    if (VAKOGroupDBSet(db.get(), szOldName ? oldKey : nullptr, cchOldKey, pGroup) != 0) {
        syslog(LOG_ERR, "%s:%d VAKOGroupDBSet failed. vakoerr=0x%04X", kSrcSet, __LINE__, SLIBErrorGet());
        return -1;
    }
    if (chosen) {
        // Replaced: the old record goes first (one that is missing is no
        // failure), then the gid just handed out is written.
        if (VAKOBDbDelete(db->pGRPGID, SZK_BDB_CURRENT_GID, CB_BDB_CURRENT_GID) != 0 &&
            SLIBErrorGet() != SLIB_ERR_NOT_FOUND) {
            SLIB_ERR_IN(kSrcSet, VAKO_ERR_BDB_DEL);
            return -1;
        }
        if (VAKOBDbWordSet(db->pGRPGID, SZK_BDB_CURRENT_GID, CB_BDB_CURRENT_GID, pGroup->gid) != 0) {
            SLIB_ERR_IN(kSrcSet, VAKO_ERR_BDB_PUT);
            return -1;
        }
    }
    if (VAKOGroupDBDump(db.get()) != 0) {
        syslog(LOG_ERR, "%s:%d VAKOGroupDBDump failed. vakoerr=0x%04X", kSrcSet, __LINE__, SLIBErrorGet());
        return -1;
    }
    db.reset();
    if (!shares)
        return 0;
    if (RenameInShares(shares.get(), oldStored, pGroup->szName) != 0) {
        syslog(LOG_ERR, "%s:%d Rename group in smb.conf failed.", kSrcSet, __LINE__);
        return -1;
    }
    return 0;
}

} // namespace

extern "C" {

int VAKOGroupGet(const char *szName, PVAKOGROUP *ppGroup)
{
    return slib::Guarded(kSrcGet, -1, [&] {
        if (!szName || !ppGroup) {
            SLIB_ERR_IN(kSrcGet, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        char key[kKeySize];
        int n = keydb_internal::UpperKey(szName, key, sizeof key);
        if (n < 0) {
            syslog(LOG_ERR, "%s:%d SLIBUnicodeUTF8StrUpper failed, str=%s.", kSrcGet, __LINE__, szName);
            // A name too long for a key is no group's.
            if (n == kKeyTooLong)
                SLIB_ERR_IN(kSrcGet, VAKO_ERR_GROUP_NOT_FOUND);
            return -1;
        }
        LockHold lock(kSrcGet, VAKO_GROUP_LOCK_RELEASE);
        if (lock.Take(VAKO_GROUP_LOCK_READ, VAKO_GROUP_LOCK_TIMEOUT) != 0)
            return -1;
        int result = -1;
        {
            GroupDbPtr db(VAKOGroupDBOpen());
            Buf line;
            if (!db) {
                if (!slib::OutOfMemory())
                    SLIB_ERR_IN(kSrcGet, SLIB_ERR_OPEN);
            } else if (VAKOBDbGet(db->pGRPName, key, n + 1, &line.p, &line.cb) != 0) {
                SLIB_ERR_IN(kSrcGet, VAKO_ERR_GROUP_NOT_FOUND);
            } else if (VAKOGroupDBUnpack(Stored(line).c_str(), ppGroup) != 0) {
                syslog(LOG_ERR, "%s:%d VAKOGroupDBUnpack failed. vakoerr=0x%04X", kSrcGet, __LINE__, SLIBErrorGet());
            } else {
                result = 0;
            }
        }
        return lock.Release(result);
    });
}

int VAKOGroupSet(const char *szOldName, PVAKOGROUP pGroup)
{
    return slib::Guarded(kSrcSet, -1, [&] {
        if (!pGroup) {
            SLIB_ERR_IN(kSrcSet, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        LockHold lock(kSrcSet, VAKO_GROUP_LOCK_WRITE_RELEASE);
        if (lock.Take(VAKO_GROUP_LOCK_WRITE, VAKO_GROUP_LOCK_TIMEOUT) != 0)
            return -1;
        return lock.Release(SetLocked(szOldName, pGroup));
    });
}

int VAKOGroupListMember(const char *szGroup, PSLIBSZLIST *ppList)
{
    return slib::Guarded(kSrcListMember, -1, [&] {
        if (!szGroup || !ppList) {
            SLIB_ERR_IN(kSrcListMember, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        ListPtr names(PslSLIBSzListAlloc(kListSize));
        if (!names) {
            SLIB_ERR_IN(kSrcListMember, SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
        // Every local account is a member of "users", whatever its record says.
        if (strcasecmp(szGroup, SZ_GROUP_USERS) == 0) {
            PSLIBSZLIST raw = names.release();
            int r = VAKOUserEnum(&raw, VAKO_USER_ENUM_LOCAL);
            names.reset(raw);
            if (r < 0)
                return -1;
        } else {
            PVAKOGROUP raw = nullptr;
            int r = VAKOGroupGet(szGroup, &raw);
            GroupOwner group(raw);
            if (r != 0)
                return -1;
            char *text = nullptr;
            int cbText = 0;
            r = VAKOUserGetValidUserList(group->ppMembers, &text, &cbText);
            slib::HeapPtr<char> textOwner(text);
            if (r != 0)
                return -1;
            PSLIBSZLIST list = names.release();
            r = SLIBStrSep(text, ",", &list);
            names.reset(list);
            if (r < 0)
                return -1;
        }
        for (int i = 0; i < names->nItem; i++) {
            const char *name = SLIBSzListGet(names.get(), i);
            if (*name && SLIBSzListPush(ppList, name) < 0)
                return -1;
        }
        return 0;
    });
}

int VAKOSmmspGroupSet(const char *szOldName, const char *szNewName, int op)
{
    return slib::Guarded(kSrcSmmsp, -1, [&] {
        if ((op == VAKO_SMMSP_ADD && !szNewName) || (op == VAKO_SMMSP_MODIFY && (!szOldName || !szNewName)) ||
            (op == VAKO_SMMSP_DELETE && !szOldName) || op < VAKO_SMMSP_ADD || op > VAKO_SMMSP_DELETE) {
            SLIB_ERR_IN(kSrcSmmsp, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        ListPtr current(PslSLIBSzListAlloc(kListSize));
        if (!current) {
            SLIB_ERR_IN(kSrcSmmsp, SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
        PSLIBSZLIST raw = current.release();
        int r = VAKOGroupListMember(SZ_GROUP_SMMSP, &raw);
        current.reset(raw);
        if (r != 0 && SLIBErrorGet() != VAKO_ERR_GROUP_NOT_FOUND) {
            syslog(LOG_ERR, "%s:%d VAKOGroupListMember [%s] failed. vakoerr=0x%04X", kSrcSmmsp, __LINE__,
                   SZ_GROUP_SMMSP, SLIBErrorGet());
            return -1;
        }
        std::vector<std::string> members;
        for (int i = 0; i < current->nItem; i++)
            members.emplace_back(SLIBSzListGet(current.get(), i));
        if (szOldName) {
            for (size_t i = members.size(); i-- > 0;) {
                if (SLIBUnicodeUTF8StrCaseCmp(members[i].c_str(), szOldName) != 0)
                    continue;
                if (op == VAKO_SMMSP_MODIFY)
                    members[i] = szNewName;
                else if (op == VAKO_SMMSP_DELETE)
                    members.erase(members.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        if (op == VAKO_SMMSP_ADD)
            members.emplace_back(szNewName);
        std::vector<char *> array;
        for (std::string &m : members)
            array.push_back(m.data());
        array.push_back(nullptr);
        char name[] = SZ_GROUP_SMMSP;
        VAKOGROUP record = {name, VAKO_GID_SMMSP, array.data(), VAKO_GROUP_TYPE_LOCAL, 0};
        if (VAKOGroupSet(SZ_GROUP_SMMSP, &record) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOGroupSet [%s] failed. vakoerr=0x%04X", kSrcSmmsp, __LINE__, SZ_GROUP_SMMSP,
                   SLIBErrorGet());
            return -1;
        }
        return 0;
    });
}

} // extern "C"
