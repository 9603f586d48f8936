// Lists of account names: validation, rename propagation into the shares
// and the groups, and the domain accounts that the shares name.
#include "vako/user_list.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <syslog.h>

#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "keydb_internal.h"
#include "share_internal.h"
#include "slib/error.h"
#include "slib/szhash.h"
#include "slib/szlist.h"
#include "slibcxx/border.h"
#include "slibcxx/raii.h"
#include "vako/group_op.h"
#include "vako/service.h"
#include "vako/share_db.h"
#include "vako/user_op.h"

namespace {

using keydb_internal::kKeyTooLong;

// The source's own name: log prefix and the file recorded with an error code.
constexpr const char *kSrc = "user_list";

#define LIST_ERR(code) SLIBErrorSetEx((code), kSrc, __LINE__)

constexpr int kNameKeySize = 493;
constexpr int kGroupKeySize = 492;
constexpr int kWinsSize = 1024;
constexpr char kNobody[] = "nobody";
constexpr char kDomainUsers[] = "\\domain users";

using keydb_internal::ListPtr;
using ShareDbPtr = slib::OwnedPtr<VAKOSHAREDB, VAKOShareDBClose>;
using GroupDbPtr = slib::OwnedPtr<VAKOGROUPDB, VAKOGroupDBClose>;
using UserDbPtr = slib::OwnedPtr<VAKOUSERDB, VAKOUserDBClose>;
using GroupOwner = slib::OwnedPtr<VAKOGROUP, VAKOGroupFree>;

// What the upper-casing of one name in a list gave.
enum class Upper { Ok, NoKey, Failed };

// A name upper-cased for a lookup. A name that the upper-caser refuses as
// text, or whose upper-cased form does not fit a key, names nothing that
// is stored: it is told apart from a failure of the upper-caser itself.
Upper UpperName(const char *name, char *key, int cb, const char *message)
{
    int n = keydb_internal::UpperKey(name, key, cb);
    if (n >= 0)
        return Upper::Ok;
    syslog(LOG_ERR, message, kSrc, __LINE__, name);
    if (n == kKeyTooLong || SLIBErrorGet() == SLIB_ERR_UNICODE)
        return Upper::NoKey;
    return Upper::Failed;
}

// The domain state and the freshness of the domain records, learnt at the
// first domain name of a list: most lists hold none, and the domain state
// is read from smb.conf.
class DomainState {
public:
    DomainState(VAKOGROUPDB *groupDb, VAKOUSERDB *userDb) : groupDb_(groupDb), userDb_(userDb) {}
    bool Member()
    {
        Learn();
        return isDomain_ && isSamba_;
    }
    bool GroupsStale()
    {
        Learn();
        return groupsStale_;
    }
    bool UsersStale()
    {
        Learn();
        return usersStale_;
    }

private:
    void Learn()
    {
        if (known_)
            return;
        known_ = true;
        groupsStale_ = groupDb_ && VAKOBDbDomainIsNeedToRebuild(groupDb_->pGRPName) == 1;
        usersStale_ = VAKOBDbDomainIsNeedToRebuild(userDb_->pPWDName) == 1;
        char workgroup[kWinsSize];
        // Flags that the query does not set count as 0, but a query that
        // fails for want of memory ends the operation.
        if (slib::StepOutOfMemory([&] { VAKOWinsQuery1(workgroup, sizeof workgroup, &isDomain_, &isSamba_); }))
            throw std::bad_alloc();
    }
    VAKOGROUPDB *groupDb_;
    VAKOUSERDB *userDb_;
    bool known_ = false, groupsStale_ = false, usersStale_ = false;
    int isDomain_ = 0, isSamba_ = 0;
};

// Joins entries with ',' into the caller's growing buffer (at least 1 byte).
int Join(const std::vector<std::string> &entries, char **ppOut, int *pcbOut)
{
    size_t need = 1;
    for (const std::string &e : entries)
        need += e.size() + 1;
    if (need > INT32_MAX ||
        VAKOCheckAndRealloc(reinterpret_cast<void **>(ppOut), pcbOut, static_cast<int>(need)) != 0) {
        syslog(LOG_ERR, "%s:%d VAKOCheckAndRealloc() failed. vakoerr=0x%04X", kSrc, __LINE__, SLIBErrorGet());
        return -1;
    }
    std::string text;
    text.reserve(need);
    for (const std::string &e : entries) {
        if (!text.empty())
            text += ',';
        text += e;
    }
    memcpy(*ppOut, text.c_str(), text.size() + 1);
    return 0;
}

int UserValidListBuild(char **ppszNames, char **ppOut, int *pcbOut, VAKOGROUPDB *pGroupDb, VAKOUSERDB *pUserDb)
{
    if (!ppszNames || !ppOut || !pcbOut || !pUserDb) {
        LIST_ERR(SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    DomainState domain(pGroupDb, pUserDb);
    std::unordered_set<std::string> seen;
    std::vector<std::string> entries;
    for (char **p = ppszNames; *p; p++) {
        const char *name = *p;
        if (strcasecmp(name, kNobody) == 0)
            continue;
        bool isDomain = strchr(name, '\\') != nullptr;
        if (isDomain && !domain.Member())
            continue;
        char key[kNameKeySize];
        Upper u = UpperName(name, key, sizeof key, "%s:%d SLIBUnicodeUTF8StrUpper failed, str=%s");
        if (u == Upper::Failed)
            return -1;
        if (u == Upper::NoKey || !seen.insert(key).second)
            continue;
        char stored[kNameKeySize];
        if (name[0] == '@') {
            if (!pGroupDb) {
                LIST_ERR(VAKO_ERR_BAD_FORMAT);
                return -1;
            }
            if (isDomain && domain.GroupsStale())
                entries.emplace_back(name);
            else if (VAKOGroupDBCheckExists(pGroupDb, key + 1, static_cast<int>(strlen(key + 1)), stored,
                                            sizeof stored))
                entries.push_back(std::string("@") + stored);
            else if (slib::OutOfMemory())
                return -1; // a group not looked up is not left out
        } else if (isDomain && domain.UsersStale()) {
            entries.emplace_back(name);
        } else if (VAKOUserDBCheckExists(pUserDb, key, static_cast<int>(strlen(key)), stored, sizeof stored)) {
            entries.emplace_back(stored);
        } else if (slib::OutOfMemory()) {
            return -1; // an account not looked up is not left out
        }
    }
    return Join(entries, ppOut, pcbOut);
}

// The entries of a comma list, empty ones too.
int SplitList(const char *list, std::vector<std::string> &entries) { return keydb_internal::Split(list, ",", entries); }

// Each entry of a list as a NULL-terminated array of pointers into entries.
std::vector<char *> Array(std::vector<std::string> &entries)
{
    std::vector<char *> array;
    array.reserve(entries.size() + 1);
    for (std::string &e : entries)
        array.push_back(e.data());
    array.push_back(nullptr);
    return array;
}

// A growing buffer that VAKOUserModifyListConfig may fill, or leave
// pointing at the caller's list.
struct ListOut {
    char *p = nullptr;
    int cb = 0;
    bool owned = false;
    ~ListOut()
    {
        if (owned)
            free(p);
    }
};

// The map applied to one list: 1 changed, 0 unchanged, -1.
int Apply(const char *list, ListOut &out, PSLIBSZHASH map)
{
    int r = VAKOUserModifyListConfig(list, &out.p, &out.cb, map);
    // The buffer is grown before a failure too: whatever is not the list
    // itself is ours to free.
    out.owned = out.p && out.p != list;
    return r;
}

// Pushes a domain account's name once: 1 pushed, 0 not, -1.
int UserPushDUser(const char *szName, PSLIBSZLIST *ppList, std::unordered_set<std::string> &seen)
{
    if (!szName || !ppList) {
        LIST_ERR(SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    if (!strchr(szName, '\\') || !seen.insert(szName).second)
        return 0;
    if (SLIBSzListPush(ppList, szName) < 0) {
        syslog(LOG_ERR, "%s:%d ListPush %s fail", kSrc, __LINE__, szName);
        return -1;
    }
    return 1;
}

// Pushes every name of a list with UserPushDUser: the number pushed, or -1.
int PushEach(PSLIBSZLIST names, PSLIBSZLIST *ppList, std::unordered_set<std::string> &seen)
{
    int count = 0;
    for (int i = 0; i < names->nItem; i++) {
        int r = UserPushDUser(SLIBSzListGet(names, i), ppList, seen);
        if (r < 0)
            return -1;
        count += r;
    }
    return count;
}

} // namespace

extern "C" {

int VAKOUserGetValidUserList(char **ppszNames, char **ppOut, int *pcbOut)
{
    return slib::Guarded(kSrc, -1, [&] {
        if (!ppszNames) {
            LIST_ERR(SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        UserDbPtr db(VAKOUserDBOpen());
        if (!db) {
            if (!slib::OutOfMemory())
                LIST_ERR(SLIB_ERR_OPEN);
            return -1;
        }
        return UserValidListBuild(ppszNames, ppOut, pcbOut, nullptr, db.get());
    });
}

int VAKOUserGetValidUserList2(const char *szList, char **ppOut, int *pcbOut, VAKOGROUPDB *pGroupDb, VAKOUSERDB *pUserDb)
{
    return slib::Guarded(kSrc, -1, [&] {
        if (!szList || !ppOut || !pUserDb) {
            LIST_ERR(SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        std::vector<std::string> entries;
        if (SplitList(szList, entries) != 0)
            return -1;
        std::vector<char *> array = Array(entries);
        return UserValidListBuild(array.data(), ppOut, pcbOut, pGroupDb, pUserDb);
    });
}

int VAKOUserModifyListConfig(const char *szList, char **ppOut, int *pcbOut, PSLIBSZHASH pRenameMap)
{
    return slib::Guarded(kSrc, -1, [&] {
        if (!szList || !ppOut || !pcbOut || !pRenameMap) {
            LIST_ERR(SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        if (!*szList) {
            *ppOut = const_cast<char *>(szList);
            *pcbOut = 1;
            return 0;
        }
        // A comma list always splits: only memory can fail it, and its code (0x0200) stays.
        std::vector<std::string> entries;
        if (SplitList(szList, entries) != 0)
            return -1;
        bool changed = false;
        for (std::string &entry : entries) {
            char key[kNameKeySize];
            Upper u = UpperName(entry.c_str(), key, sizeof key, "%s:%d SLIBUnicodeUTF8StrUpper failed [%s]");
            if (u == Upper::Failed)
                return -1;
            if (u == Upper::NoKey)
                continue;
            if (const char *renamed = SzSLIBSzHashGetValue(pRenameMap, key)) {
                entry = renamed;
                changed = true;
            }
        }
        if (!changed) {
            *ppOut = const_cast<char *>(szList);
            *pcbOut = static_cast<int>(strlen(szList)) + 1;
            return 0;
        }
        std::vector<std::string> kept;
        for (std::string &entry : entries)
            if (!entry.empty())
                kept.push_back(std::move(entry));
        return Join(kept, ppOut, pcbOut) == 0 ? 1 : -1;
    });
}

int VAKOUserModifySmbConf(PSLIBSZHASH pRenameMap)
{
    return slib::Guarded(kSrc, -1, [&] {
        if (!pRenameMap) {
            LIST_ERR(SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        ShareDbPtr db(VAKOShareDBOpen());
        if (!db) {
            if (!slib::OutOfMemory())
                LIST_ERR(SLIB_ERR_OPEN);
            return -1;
        }
        std::unordered_set<std::string> handled;
        int walked = 0;
        int end = share_internal::WalkShares(db.get(), kSrc, [&](VAKOSHARE *share) {
            if (!handled.insert(share->szName).second)
                return 0;
            walked++;
            ListOut invalid, write, read;
            int ri = Apply(share->szInvalidUsers, invalid, pRenameMap);
            int rw = ri < 0 ? -1 : Apply(share->szWriteList, write, pRenameMap);
            int rr = rw < 0 ? -1 : Apply(share->szReadList, read, pRenameMap);
            if (rr < 0)
                return -1;
            if (ri == 1 || rw == 1 || rr == 1) {
                VAKOSHARE changed = *share;
                changed.szInvalidUsers = invalid.p;
                changed.szWriteList = write.p;
                changed.szReadList = read.p;
                if (VAKOShareDBSet(db.get(), share->szName, &changed) != 0) {
                    syslog(LOG_ERR, "%s:%d VAKOShareDBSet %s failed. vakoerr=0x%04X", kSrc, __LINE__, share->szName,
                           SLIBErrorGet());
                    return -1;
                }
            }
            return 0;
        });
        if (end != 0)
            return -1;
        if (walked > 0 && VAKOShareDBDump(db.get()) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOShareDBDump failed. vakoerr=0x%04X", kSrc, __LINE__, SLIBErrorGet());
            return -1;
        }
        return 0;
    });
}

int VAKOUserModifyGroup(PSLIBSZHASH pRenameMap)
{
    return slib::Guarded(kSrc, -1, [&] {
        if (!pRenameMap) {
            LIST_ERR(SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        GroupDbPtr db(VAKOGroupDBOpen());
        if (!db) {
            if (!slib::OutOfMemory())
                LIST_ERR(SLIB_ERR_OPEN);
            return -1;
        }
        std::unordered_set<std::string> handled;
        PVAKOGROUP raw = nullptr;
        bool stored = false;
        // System groups too: a renamed account keeps its memberships.
        while (VAKOGroupDBGetByCursor(db.get(), &raw, VAKO_GROUP_TYPE_LOCAL, 1) == 0) {
            GroupOwner group(raw);
            raw = nullptr;
            char key[kGroupKeySize];
            int n = keydb_internal::UpperKey(group->szName, key, sizeof key);
            if (n < 0) {
                syslog(LOG_ERR, "%s:%d SLIBUnicodeUTF8StrUpper [%s] failed", kSrc, __LINE__, group->szName);
                if (n == kKeyTooLong)
                    LIST_ERR(VAKO_ERR_GROUP_BAD_NAME);
                return -1;
            }
            // Every account is a member of "users", whose record never changes.
            if (!handled.insert(key).second || strcmp(group->szName, SZ_GROUP_USERS) == 0) {
                raw = group.release();
                continue;
            }
            std::vector<std::string> members;
            bool changed = false;
            for (char **m = group->ppMembers; *m; m++) {
                members.emplace_back(*m);
                if (!**m)
                    continue;
                char memberKey[kNameKeySize];
                Upper u = UpperName(*m, memberKey, sizeof memberKey, "%s:%d SLIBUnicodeUTF8StrUpper failed, str=%s");
                if (u == Upper::Failed)
                    return -1;
                const char *renamed = u == Upper::Ok ? SzSLIBSzHashGetValue(pRenameMap, memberKey) : nullptr;
                if (renamed) {
                    members.back() = renamed;
                    changed = true;
                }
            }
            if (changed) {
                std::vector<char *> array = Array(members);
                VAKOGROUP record = {group->szName, group->gid, array.data(), group->type, 0};
                if (VAKOGroupDBSet(db.get(), key, n, &record) != 0) {
                    syslog(LOG_ERR, "%s:%d VAKOGroupDBSet %s failed. vakoerr=0x%04X", kSrc, __LINE__, group->szName,
                           SLIBErrorGet());
                    return -1;
                }
                stored = true;
            }
            raw = group.release();
        }
        VAKOGroupFree(raw);
        if (SLIBErrorGet() != SLIB_ERR_END_OF_ENUM) {
            syslog(LOG_ERR, "%s:%d VAKOGroupDBGetByCursor() error. vakoerr=0x%04X", kSrc, __LINE__, SLIBErrorGet());
            return -1;
        }
        if (stored && VAKOGroupDBDump(db.get()) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOGroupDBDump failed. vakoerr=0x%04X", kSrc, __LINE__, SLIBErrorGet());
            return -1;
        }
        return 0;
    });
}

int VAKOUserPushDUserUsed(PSLIBSZLIST *ppList)
{
    return slib::Guarded(kSrc, -1, [&] {
        if (!ppList || !*ppList) {
            LIST_ERR(SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        ShareDbPtr db(VAKOShareDBOpen());
        if (!db) {
            if (!slib::OutOfMemory())
                LIST_ERR(SLIB_ERR_OPEN);
            return -1;
        }
        ListPtr names(PslSLIBSzListAlloc(512));
        if (!names) {
            LIST_ERR(SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
        std::unordered_set<std::string> seen;
        int count = 0;
        int end = share_internal::WalkShares(db.get(), kSrc, [&](VAKOSHARE *share) {
            std::vector<std::string> entries;
            if (SplitList(share->szWriteList, entries) != 0) {
                syslog(LOG_ERR, "%s:%d SLIBStrSep failed", kSrc, __LINE__);
                return -1;
            }
            for (const std::string &entry : entries) {
                if (entry[0] != '@') {
                    int pushed = UserPushDUser(entry.c_str(), ppList, seen);
                    if (pushed < 0)
                        return -1;
                    count += pushed;
                    continue;
                }
                SLIBSzListRemoveAll(names.get());
                PSLIBSZLIST list = names.release();
                bool all = entry.find(kDomainUsers) != std::string::npos;
                int got = all ? VAKOUserEnum(&list, VAKO_USER_ENUM_DOMAIN)
                              : VAKOGroupListMember(entry.c_str() + 1, &list);
                names.reset(list);
                // A group removed since the list was written has no members.
                if (got < 0 && (all || SLIBErrorGet() != VAKO_ERR_GROUP_NOT_FOUND))
                    return -1;
                int pushed = got < 0 ? 0 : PushEach(names.get(), ppList, seen);
                if (pushed < 0)
                    return -1;
                count += pushed;
                // Every loaded domain account is in: nothing more can be found.
                if (all)
                    return 1;
            }
            return 0;
        });
        if (end != 0)
            return -1;
        return count;
    });
}

} // extern "C"
