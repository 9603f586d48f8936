// The account operations: reads under the shared account lock, password
// hashes under the exclusive one, and the account daemon's signal.
#include "vako/user_op.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include <new>
#include <string>
#include <vector>

#include "keydb_internal.h"
#include "slib/conf_read.h"
#include "slib/error.h"
#include "slib/lock.h"
#include "slib/proc.h"
#include "slibcxx/border.h"
#include "slibcxx/raii.h"
#include "vako/info.h"
#include "vako/user_db.h"
#include "vako/user_list.h"

namespace {

using keydb_internal::Buf;
using keydb_internal::kIdKeySize;
using keydb_internal::Put;
using keydb_internal::Stored;

// The operations' own source names: log prefixes and the file recorded with
// an error code.
constexpr const char *kSrcGet = "user_get";
constexpr const char *kSrcGetByUid = "user_get_by_uid";
constexpr const char *kSrcGetSmbPasswd = "user_get_smb_passwd";
constexpr const char *kSrcEnum = "user_enum";
constexpr const char *kSrcTotalNum = "user_total_num";
constexpr const char *kSrcLocalInfoEnum = "local_user_info_enum";
constexpr const char *kSrcSetPasswd = "user_set_passwd";
constexpr const char *kSrcGuestSupport = "guest_support_get";
constexpr const char *kSrcRemainNum = "user_remain_num_get";

#define USER_ERR(src, code) SLIBErrorSetEx((code), (src), __LINE__)

constexpr int kKeySize = 492;
constexpr int kSmbFields = 7;
constexpr int kShadowFields = 9;
constexpr int kSmbHashText = 33;
constexpr int kGuestValueSize = 32;
constexpr int kMaxAccountsSize = 33;
constexpr int kListSize = 512;
constexpr int kGuestUid = 1025;
constexpr char kMaxAccountsKey[] = "maxaccounts";

using keydb_internal::ListPtr;
using UserDbPtr = slib::OwnedPtr<VAKOUSERDB, VAKOUserDBClose>;

// The account lock, released only when this call took it.
class AccountLock : public keydb_internal::LockHold {
public:
    explicit AccountLock(const char *src) : LockHold(src, VAKO_USER_LOCK_RELEASE) {}
    int Take(int request) { return LockHold::Take(request, VAKO_USER_LOCK_TIMEOUT); }
};

// The frame of the reading operations: the shared lock, the database open
// for work(db), closed, the lock released.
template <class Work> int WithUserDb(const char *src, Work work)
{
    AccountLock lock(src);
    if (lock.Take(VAKO_USER_LOCK_READ) != 0)
        return -1;
    int result;
    {
        UserDbPtr db(VAKOUserDBOpen());
        if (!db) {
            if (!slib::OutOfMemory())
                USER_ERR(src, SLIB_ERR_OPEN);
            result = -1;
        } else {
            result = work(db.get());
        }
    }
    return lock.Release(result);
}

// A name upper-cased into a key: true, or false (logged; 0x1D00 when it
// does not fit, for such a name cannot be an account's).
bool UpperKey(const char *src, const char *name, char *key, const char *message)
{
    int n = keydb_internal::UpperKey(name, key, kKeySize);
    if (n >= 0)
        return true;
    syslog(LOG_ERR, message, src, __LINE__, name);
    if (n == keydb_internal::kKeyTooLong)
        USER_ERR(src, VAKO_ERR_USER_NOT_FOUND);
    return false;
}

// The uid field of a stored passwd line (after its second ':'), as a
// 32-bit value; false when the line holds fewer fields.
bool LineUid(const std::string &line, std::string &name, int *pUid, int *pGid)
{
    size_t c1 = line.find(':');
    size_t c2 = c1 == std::string::npos ? c1 : line.find(':', c1 + 1);
    if (c2 == std::string::npos)
        return false;
    name = line.substr(0, c1);
    *pUid = static_cast<int>(static_cast<uint32_t>(strtoll(line.c_str() + c2 + 1, nullptr, 10)));
    if (pGid) {
        size_t c3 = line.find(':', c2 + 1);
        size_t c4 = c3 == std::string::npos ? c3 : line.find(':', c3 + 1);
        if (c4 == std::string::npos)
            return false;
        *pGid = static_cast<int>(static_cast<uint32_t>(strtoll(line.c_str() + c3 + 1, nullptr, 10)));
    }
    return true;
}

// Accounts that the enumerations list.
bool Listed(const std::string &name, int uid)
{
    if (name.find('\\') != std::string::npos || uid == -1)
        return true;
    if (static_cast<uint32_t>(uid) < VAKO_UID_FIRST)
        return false;
    if (uid != kGuestUid)
        return true;
    // A setting that cannot be read for want of memory ends the walk.
    int guest = 0;
    if (slib::StepOutOfMemory([&] { guest = VAKOGuestSupportGet(); }))
        throw std::bad_alloc();
    return guest != 0;
}

// Walks the name file in key order, handing each record to fn: 0 at the
// end of the file, -1 (0x9800) when a read fails, or fn's -1.
template <class Fn> int WalkNames(const char *src, VAKOUSERDB *db, Fn fn)
{
    Buf key, value;
    while (VAKOBDbCursorGet(db->pPWDName, 1, &key.p, &key.cb, &value.p, &value.cb) == 0)
        if (fn(Stored(key), Stored(value)) != 0)
            return -1;
    if (SLIBErrorGet() != SLIB_ERR_END_OF_ENUM) {
        USER_ERR(src, VAKO_ERR_USER_ENUM);
        return -1;
    }
    return 0;
}

// A text that the account files hold between ':' and line ends.
bool SafeField(const char *s) { return !strpbrk(s, ":\r\n"); }

// The new hash of one account into its shadow and SMB records: 1 written,
// 0 passed over, -1 failed.
int SetOnePasswd(VAKOUSERDB *db, PVAKOUSER user, const char *crypted, const char *lm, const char *nt)
{
    char key[kKeySize];
    if (!UpperKey(kSrcSetPasswd, user->szName, key, "%s:%d SLIBUnicodeUTF8StrUpper failed [%s]"))
        return -1;
    int cbKey = static_cast<int>(strlen(key)) + 1;
    Buf value;
    if (VAKOBDbGet(db->pPWDShadow, key, cbKey, &value.p, &value.cb) != 0) {
        syslog(LOG_NOTICE, "%s:%d VAKOBDbGet pPWDShadow [%s] failed. vakoerr=0x%04X", kSrcSetPasswd, __LINE__, key,
               SLIBErrorGet());
        return 0;
    }
    std::vector<std::string> f;
    // A split fails only for want of memory: no record to pass over.
    if (keydb_internal::Split(Stored(value).c_str(), ":", f) != 0)
        return -1;
    if (f.size() != kShadowFields)
        return 0;
    std::string shadow = f[0] + ":" + crypted + ":" + f[2] + ":" + f[3] + ":" + f[4] + ":7::" + f[7] + ":";
    if (Put(db->pPWDShadow, key, cbKey, shadow) != 0) {
        syslog(LOG_ERR, "%s:%d VAKOBDbSet pPWDShadow failed. vakoerr=0x%04X", kSrcSetPasswd, __LINE__, SLIBErrorGet());
        return -1;
    }
    // The shadow record is written: the account files must follow it, also
    // when the SMB record is passed over.
    if (VAKOBDbGet(db->pPWDSMB, key, cbKey, &value.p, &value.cb) != 0) {
        syslog(LOG_NOTICE, "%s:%d VAKOBDbGet pPWDSMB [%s] failed. vakoerr=0x%04X", kSrcSetPasswd, __LINE__, key,
               SLIBErrorGet());
        return 1;
    }
    if (keydb_internal::Split(Stored(value).c_str(), ":", f) != 0)
        return -1;
    if (f.size() != kSmbFields)
        return 1;
    std::string smb = f[0] + ":" + f[1] + ":" + lm + ":" + nt + ":" + f[4] + ":" + f[5] + ":";
    if (Put(db->pPWDSMB, key, cbKey, smb) != 0) {
        syslog(LOG_ERR, "%s:%d VAKOBDbSet pPWDSMB failed. vakoerr=0x%04X", kSrcSetPasswd, __LINE__, SLIBErrorGet());
        return -1;
    }
    return 1;
}

int SetPasswdLocked(PVAKOUSER *ppUsers, char **pszCrypted, char **pszLm, char **pszNt, int n)
{
    ListPtr list(PslSLIBSzListAlloc(kListSize));
    if (!list) {
        USER_ERR(kSrcSetPasswd, SLIB_ERR_OUT_OF_MEMORY);
        return -1;
    }
    AccountLock lock(kSrcSetPasswd);
    if (lock.Take(VAKO_USER_LOCK_WRITE) != 0)
        return -1;
    int result;
    {
        UserDbPtr db(VAKOUserDBOpen());
        if (!db) {
            if (!slib::OutOfMemory())
                USER_ERR(kSrcSetPasswd, SLIB_ERR_OPEN);
            return lock.Release(-1);
        }
        bool changed = false;
        result = 0;
        for (int i = 0; i < n && result == 0; i++) {
            if (!ppUsers[i] || !ppUsers[i]->szName || !pszLm[i] || !pszNt[i] || !pszCrypted[i])
                continue;
            int r = SetOnePasswd(db.get(), ppUsers[i], pszCrypted[i], pszLm[i], pszNt[i]);
            if (r < 0)
                result = -1;
            else if (r == 1)
                changed = true;
        }
        if (result == 0 && !changed)
            result = -1;
        if (result == 0 && VAKOUserDBDump(db.get()) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOUserDBDump failed. vakoerr=0x%04X", kSrcSetPasswd, __LINE__, SLIBErrorGet());
            result = -1;
        }
    }
    return lock.Release(result);
}

} // namespace

extern "C" {

int VAKOUserGet(const char *szName, PVAKOUSER *ppUser)
{
    return slib::Guarded(kSrcGet, -1, [&] {
        if (!szName || !ppUser) {
            USER_ERR(kSrcGet, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        char key[kKeySize];
        if (!UpperKey(kSrcGet, szName, key, "%s:%d SLIBUnicodeUTF8StrUpper failed, str=%s"))
            return -1;
        return WithUserDb(kSrcGet, [&](VAKOUSERDB *db) { return VAKOUserDBGet(db, key, ppUser); });
    });
}

int VAKOUserGetByUID(int uid, PVAKOUSER *ppUser)
{
    return slib::Guarded(kSrcGetByUid, -1, [&] {
        if (!ppUser) {
            USER_ERR(kSrcGetByUid, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        return WithUserDb(kSrcGetByUid, [&](VAKOUSERDB *db) {
            char uidKey[kIdKeySize];
            Buf name;
            if (VAKOBDbGet(db->pPWDUID, uidKey, keydb_internal::IdKey(uid, uidKey), &name.p, &name.cb) != 0) {
                USER_ERR(kSrcGetByUid, VAKO_ERR_USER_NOT_FOUND);
                return -1;
            }
            return VAKOUserDBGet(db, Stored(name).c_str(), ppUser);
        });
    });
}

int VAKOUserGetSmbPasswd(const char *szName, char *szLm, int cbLm, char *szNt, int cbNt)
{
    return slib::Guarded(kSrcGetSmbPasswd, -1, [&] {
        if (!szName || !szLm || !szNt || cbLm != kSmbHashText || cbNt != kSmbHashText) {
            USER_ERR(kSrcGetSmbPasswd, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        char key[kKeySize];
        if (!UpperKey(kSrcGetSmbPasswd, szName, key, "%s:%d SLIBUnicodeUTF8StrUpper failed, str=%s"))
            return -1;
        return WithUserDb(kSrcGetSmbPasswd, [&](VAKOUSERDB *db) {
            Buf line;
            if (VAKOBDbGet(db->pPWDSMB, key, static_cast<int>(strlen(key)) + 1, &line.p, &line.cb) != 0) {
                USER_ERR(kSrcGetSmbPasswd, VAKO_ERR_USER_NOT_FOUND);
                return -1;
            }
            std::vector<std::string> f;
            if (keydb_internal::Split(Stored(line).c_str(), ":", f) != 0)
                return -1;
            if (f.size() != kSmbFields) {
                USER_ERR(kSrcGetSmbPasswd, VAKO_ERR_BAD_FORMAT);
                return -1;
            }
            snprintf(szLm, static_cast<size_t>(cbLm), "%s", f[2].c_str());
            snprintf(szNt, static_cast<size_t>(cbNt), "%s", f[3].c_str());
            return 0;
        });
    });
}

int VAKOUserEnum(PSLIBSZLIST *ppList, int flags)
{
    return slib::Guarded(kSrcEnum, -1, [&] {
        constexpr int kKinds = VAKO_USER_ENUM_LOCAL | VAKO_USER_ENUM_DOMAIN | VAKO_USER_ENUM_DOMAIN_USED;
        if (!ppList || !*ppList || !(flags & kKinds)) {
            USER_ERR(kSrcEnum, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        int count = 0;
        if (flags & VAKO_USER_ENUM_DOMAIN_USED) {
            count = VAKOUserPushDUserUsed(ppList);
            if (count < 0)
                return -1;
        }
        int walked = WithUserDb(kSrcEnum, [&](VAKOUSERDB *db) {
            return WalkNames(kSrcEnum, db, [&](const std::string &key, const std::string &line) {
                int kind = key.find('\\') != std::string::npos ? VAKO_USER_ENUM_DOMAIN : VAKO_USER_ENUM_LOCAL;
                std::string name;
                int uid;
                if (!(flags & kind) || !LineUid(line, name, &uid, nullptr) || !Listed(name, uid))
                    return 0;
                if (SLIBSzListPush(ppList, name.c_str()) < 0)
                    return -1;
                count++;
                return 0;
            });
        });
        return walked < 0 ? -1 : count;
    });
}

int VAKOUserTotalNum(int flags)
{
    return slib::Guarded(kSrcTotalNum, -1, [&] {
        if (!(flags & (VAKO_USER_ENUM_LOCAL | VAKO_USER_ENUM_DOMAIN))) {
            USER_ERR(kSrcTotalNum, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        ListPtr list(PslSLIBSzListAlloc(kListSize));
        if (!list) {
            USER_ERR(kSrcTotalNum, SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
        PSLIBSZLIST raw = list.release();
        int n = VAKOUserEnum(&raw, flags);
        list.reset(raw);
        return n;
    });
}

int VAKOUserRemainNumGet(void)
{
    return slib::Guarded(kSrcRemainNum, -1, [&] {
        int total = VAKOUserTotalNum(VAKO_USER_ENUM_LOCAL | VAKO_USER_ENUM_DOMAIN);
        if (total < 0)
            return -1;
        char value[kMaxAccountsSize] = "";
        int r = SLIBFileGetKeyValue(SZF_VAKO_INFO_DEFAULTS, kMaxAccountsKey, value, sizeof value, 0);
        if (r < 0)
            return -1;
        if (r == 0 || !*value)
            return 0;
        return atoi(value) - total;
    });
}

int VAKOLocalUserInfoEnum(VAKOLOCALUSERINFO **ppHead)
{
    return slib::Guarded(kSrcLocalInfoEnum, -1, [&] {
        if (!ppHead) {
            USER_ERR(kSrcLocalInfoEnum, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        *ppHead = nullptr;
        int count = 0;
        VAKOLOCALUSERINFO **tail = ppHead;
        // The records made so far are freed also when memory runs out part way.
        int r = slib::Guarded(kSrcLocalInfoEnum, -1, [&] {
            return WithUserDb(kSrcLocalInfoEnum, [&](VAKOUSERDB *db) {
                return WalkNames(kSrcLocalInfoEnum, db, [&](const std::string &key, const std::string &line) {
                    std::string name;
                    int uid, gid;
                    if (key.find('\\') != std::string::npos || !LineUid(line, name, &uid, &gid) || !Listed(name, uid))
                        return 0;
                    auto *node = static_cast<VAKOLOCALUSERINFO *>(calloc(1, sizeof(VAKOLOCALUSERINFO)));
                    if (!node || !(node->szName = strdup(name.c_str()))) {
                        free(node);
                        USER_ERR(kSrcLocalInfoEnum, SLIB_ERR_OUT_OF_MEMORY);
                        return -1;
                    }
                    node->uid = uid;
                    node->gid = gid;
                    *tail = node;
                    tail = &node->pNext;
                    count++;
                    return 0;
                });
            });
        });
        if (r < 0) {
            VAKOLocalUserInfoFree(ppHead);
            return -1;
        }
        return count;
    });
}

void VAKOLocalUserInfoFree(VAKOLOCALUSERINFO **ppHead)
{
    if (!ppHead)
        return;
    for (VAKOLOCALUSERINFO *node = *ppHead; node;) {
        VAKOLOCALUSERINFO *next = node->pNext;
        free(node->szName);
        free(node);
        node = next;
    }
    *ppHead = nullptr;
}

int VAKOGuestSupportGet(void)
{
    return slib::Guarded(kSrcGuestSupport, 1, [&] {
        static int kept = -1;
        if (kept < 0) {
            char value[kGuestValueSize] = "";
            int r = SLIBFileGetKeyValue(SZF_VAKO_INFO_DEFAULTS, "guestsupport", value, sizeof value, 0);
            // Not kept when it cannot be read for want of memory: the next
            // call reads it again.
            if (r < 0 && slib::OutOfMemory())
                return 1;
            kept = r > 0 && strcmp(value, "no") == 0 ? 0 : 1;
        }
        return kept;
    });
}

int VAKOUserSetPasswd(PVAKOUSER *ppUsers, char **pszCrypted, char **pszLm, char **pszNt, int n)
{
    return slib::Guarded(kSrcSetPasswd, -1, [&] {
        int result;
        if (!ppUsers || !pszCrypted || !pszLm || !pszNt || n < 0) {
            USER_ERR(kSrcSetPasswd, SLIB_ERR_BAD_PARAMETER);
            result = -1;
        } else {
            result = 0;
            // A ':' or a line end would add fields or lines to the account files.
            for (int i = 0; i < n && result == 0; i++) {
                for (const char *text : {pszCrypted[i], pszLm[i], pszNt[i]}) {
                    if (text && !SafeField(text)) {
                        syslog(LOG_ERR, "%s:%d a password text of entry %d holds ':' or a line end", kSrcSetPasswd,
                               __LINE__, i);
                        USER_ERR(kSrcSetPasswd, SLIB_ERR_BAD_PARAMETER);
                        result = -1;
                        break;
                    }
                }
            }
            // Also when memory runs out part way (0x0200): the signal below goes.
            if (result == 0 && n > 0)
                result = slib::Guarded(kSrcSetPasswd, -1,
                                       [&] { return SetPasswdLocked(ppUsers, pszCrypted, pszLm, pszNt, n); });
        }
        VAKOScemdSignal(VAKO_SCEMD_SIGNAL);
        return result;
    });
}

int VAKOScemdSignal(int sig)
{
    int pid = SLIBProcPidFileRead(SZF_SCEMD_PID);
    // 0 and 1 are no daemon of ours: kill(0) is this process group, 1 init.
    if (pid <= 1)
        return 0;
    return kill(pid, sig) == 0 ? 0 : -1;
}

} // extern "C"
