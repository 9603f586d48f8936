// The keyed operations on an open user database: read, store and delete an
// account, existence of a name, a free user id.
#include "vako/user_db.h"

#include <limits.h>
#include <pwd.h>
#include <shadow.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <syslog.h>
#include <time.h>

#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "slib/error.h"
#include "slib/smb_hash.h"
#include "slib/str.h"
#include "slib/szlist.h"
#include "slib/unicode.h"
#include "slibcxx/border.h"
#include "slibcxx/raii.h"
#include "user_internal.h"
#include "vako/user_op.h"
#include "vako/user_set.h"

namespace {

using user_internal::Buf;
using user_internal::kUidKeySize;
using user_internal::Put;
using user_internal::Stored;
using user_internal::UidKey;

// The operations' own source names: log prefixes and the file recorded with
// an error code.
constexpr const char *kSrcGet = "user_db_get";
constexpr const char *kSrcSet = "user_db_set";
constexpr const char *kSrcDelete = "user_db_delete";
constexpr const char *kSrcCheckExists = "user_db_check_exists";
constexpr const char *kSrcFreeUid = "user_get_free_uid";

#define USER_ERR(src, code) SLIBErrorSetEx((code), (src), __LINE__)

constexpr int kKeySize = 492;
constexpr int kSmbFields = 7;
constexpr int kSmbHashText = 33; // 32 hexadecimal digits and the NUL
constexpr int kSecondsPerDay = 86400;
constexpr long kDisabledMinDays = 100000;
constexpr int kMaxDays = 99999;
constexpr char kDefaultShell[] = "/bin/csh";
constexpr char kAdmin[] = "admin";
// A hash that was refused: no LAN Manager hash, as the SMB service writes it.
constexpr char kNoSmbHash[] = "XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX";

using UserPtr = slib::OwnedPtr<VAKOUSER, VAKOUserFree>;

// Fields that the text files hold between ':' and line ends: a line end
// anywhere, or a ':' where no encoding protects it, would add lines.
bool SafeFields(const VAKOUSER *u)
{
    auto has = [](const char *s, const char *chars) { return s && strpbrk(s, chars); };
    return !has(u->szHome, ":\r\n") && !has(u->szShell, ":\r\n") && !has(u->szMail, ":\r\n") && !has(u->szDesc, "\r\n");
}

// The 16 bytes of a hash as 32 upper-case hexadecimal digits.
void HexHash(const unsigned char *hash, char *out)
{
    for (int i = 0; i < SLIB_SMB_HASH_SIZE; i++)
        snprintf(out + 2 * i, 3, "%02X", hash[i]);
}

// Both SMB hashes of a clear-text password. A password the LAN Manager
// hash refuses gets none; one the NT hash refuses fails the store.
bool SmbHashes(const char *password, char *lm, char *nt)
{
    unsigned char hash[SLIB_SMB_HASH_SIZE];
    bool lmMade = false;
    // No LAN Manager hash for want of memory is a failure, not a password
    // that has none.
    if (slib::StepOutOfMemory([&] { lmMade = SLIBEncodingSmbLmHash(password, hash, sizeof hash) == 0; }))
        return false;
    if (lmMade) {
        HexHash(hash, lm);
    } else {
        syslog(LOG_ERR, "%s:%d SLIBEncodingSmbLmHash failed. vakoerr=0x%04X", kSrcSet, __LINE__, SLIBErrorGet());
        snprintf(lm, kSmbHashText, "%s", kNoSmbHash);
    }
    if (SLIBEncodingSmbMd4Hash(password, hash, sizeof hash) != 0) {
        syslog(LOG_ERR, "%s:%d SLIBEncodingSmbMd4Hash failed. vakoerr=0x%04X", kSrcSet, __LINE__, SLIBErrorGet());
        return false;
    }
    HexHash(hash, nt);
    explicit_bzero(hash, sizeof hash);
    return true;
}

// A name that a new or renamed account cannot take: an account's, or one
// that a line of /etc/passwd holds which the cache keeps out. 0 free, -1
// taken (0x1C00) or unreadable.
int NameTaken(VAKOUSERDB *db, const char *key, int cchKey)
{
    if (VAKOUserDBCheckExists(db, key, cchKey, nullptr, 0)) {
        USER_ERR(kSrcSet, VAKO_ERR_USER_EXISTS);
        return -1;
    }
    // A lookup that failed for want of memory found nothing.
    if (slib::OutOfMemory())
        return -1;
    int held = keydb_internal::IsHeld(db->pPWDName, std::string_view(key, static_cast<size_t>(cchKey)));
    if (held == 1)
        USER_ERR(kSrcSet, VAKO_ERR_USER_EXISTS);
    return held == 0 ? 0 : -1;
}

bool IsSystemUid(int uid)
{
    // A setting that cannot be read for want of memory ends the operation.
    int guest = 0;
    if (slib::StepOutOfMemory([&] { guest = VAKOGuestSupportGet(); }))
        throw std::bad_alloc();
    unsigned limit = VAKO_UID_SYSTEM_MAX + (guest ? 1u : 0u);
    return static_cast<unsigned>(uid) <= limit;
}

} // namespace

extern "C" {

int VAKOUserDBGet(VAKOUSERDB *pDb, const char *szKey, PVAKOUSER *ppUser)
{
    return slib::Guarded(kSrcGet, -1, [&] {
        if (!pDb || !szKey || !ppUser) {
            USER_ERR(kSrcGet, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        int cbKey = static_cast<int>(strlen(szKey)) + 1;
        Buf line, pwBuf;
        if (VAKOBDbGet(pDb->pPWDName, szKey, cbKey, &line.p, &line.cb) != 0) {
            USER_ERR(kSrcGet, VAKO_ERR_USER_NOT_FOUND);
            return -1;
        }
        if (UserDBUnpackPasswd(Stored(line).c_str(), &pwBuf.p, &pwBuf.cb) != 0)
            return -1;
        const auto *pw = static_cast<const struct passwd *>(pwBuf.p);
        int uid = static_cast<int>(pw->pw_uid), gid = static_cast<int>(pw->pw_gid);
        if (strchr(pw->pw_name, '\\'))
            return VAKOUserAlloc(ppUser, pw->pw_name, "", uid, gid, pw->pw_gecos, pw->pw_dir, pw->pw_shell, -1, 0,
                                 nullptr, VAKO_USER_PRIV_DOMAIN);

        Buf shadowLine, spBuf, misc;
        if (VAKOBDbGet(pDb->pPWDShadow, szKey, cbKey, &shadowLine.p, &shadowLine.cb) != 0 ||
            UserDBUnpackShadow(Stored(shadowLine).c_str(), &spBuf.p, &spBuf.cb) != 0)
            return -1;
        const auto *sp = static_cast<const struct spwd *>(spBuf.p);

        bool admin = strcasecmp(szKey, kAdmin) == 0;
        int privilege = admin ? VAKO_USER_PRIV_ADMIN : 0;
        std::string mail;
        bool hasMail = false;
        if (VAKOBDbGet(pDb->pPWDVakoser, szKey, cbKey, &misc.p, &misc.cb) == 0) {
            std::string m = Stored(misc);
            size_t c1 = m.find(':');
            if (c1 == std::string::npos) {
                // The admin account reads whatever its line holds: privilege 31.
                if (!admin) {
                    USER_ERR(kSrcGet, VAKO_ERR_BAD_FORMAT);
                    return -1;
                }
            } else {
                if (!admin)
                    privilege = atoi(m.c_str() + c1 + 1);
                size_t c2 = m.find(':', c1 + 1);
                if (c2 != std::string::npos) {
                    mail = m.substr(c2 + 1);
                    hasMail = true;
                }
            }
        }

        size_t cbDesc = strlen(pw->pw_gecos);
        std::string desc(cbDesc + 1, '\0');
        if (SLIBStrDecodeColon(pw->pw_gecos, desc.data(), static_cast<int>(cbDesc)) < 0)
            return -1;
        int disabled = sp->sp_min >= sp->sp_max ? 1 : 0;
        return VAKOUserAlloc(ppUser, pw->pw_name, sp->sp_pwdp, uid, gid, desc.c_str(), pw->pw_dir, pw->pw_shell,
                             static_cast<int>(sp->sp_expire), disabled, hasMail ? mail.c_str() : nullptr, privilege);
    });
}

int VAKOUserDBSet(VAKOUSERDB *pDb, const char *szOldKey, int cbOldKey, PVAKOUSER pUser)
{
    return slib::Guarded(kSrcSet, -1, [&] {
        if (!pDb || !pUser || (szOldKey && cbOldKey <= 0)) {
            USER_ERR(kSrcSet, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        if (!VAKOUserIsValidName(pUser->szName)) {
            USER_ERR(kSrcSet, VAKO_ERR_INVALID_NAME);
            return -1;
        }
        if (!SafeFields(pUser)) {
            syslog(LOG_ERR, "%s:%d a field of [%s] holds ':' or a line end", kSrcSet, __LINE__, pUser->szName);
            USER_ERR(kSrcSet, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        char key[kKeySize];
        int n = SLIBUnicodeUTF8StrUpper(pUser->szName, key, sizeof key);
        if (n < 0 || n >= kKeySize) {
            syslog(LOG_ERR, "%s:%d SLIBUnicodeUTF8StrUpper failed [%s]", kSrcSet, __LINE__, pUser->szName);
            if (n >= 0)
                USER_ERR(kSrcSet, VAKO_ERR_INVALID_NAME);
            return -1;
        }

        // The old account and its checks first; nothing is stored before every
        // record of the new one is made.
        UserPtr old;
        std::string oldKey;
        std::vector<std::string> oldSmb;
        bool sameKey = false, system = false;
        if (szOldKey) {
            oldKey.assign(szOldKey, static_cast<size_t>(cbOldKey));
            PVAKOUSER raw = nullptr;
            int r = VAKOUserDBGet(pDb, oldKey.c_str(), &raw);
            old.reset(raw);
            if (r != 0) {
                if (!slib::OutOfMemory())
                    USER_ERR(kSrcSet, VAKO_ERR_USER_NOT_FOUND);
                return -1;
            }
            Buf smb;
            if (VAKOBDbGet(pDb->pPWDSMB, oldKey.c_str(), cbOldKey + 1, &smb.p, &smb.cb) == 0) {
                if (user_internal::SplitFields(Stored(smb).c_str(), oldSmb) != 0)
                    return -1;
                if (oldSmb.size() != kSmbFields) {
                    USER_ERR(kSrcSet, VAKO_ERR_BAD_FORMAT);
                    return -1;
                }
            }
            sameKey = oldKey == key;
            // A rename onto another account would overwrite it and leave its uid
            // pointing at the renamed one.
            if (!sameKey && NameTaken(pDb, key, n) != 0)
                return -1;
            // The refusals of the old account's removal, and their codes: a
            // domain account is never stored here; a system account keeps its
            // name and its uid record, its other records overwritten in place.
            if (oldKey.find('\\') != std::string::npos)
                return -1;
            system = IsSystemUid(old->uid);
            if (system && !sameKey) {
                USER_ERR(kSrcDelete, VAKO_ERR_SYSTEM_USER);
                return -1;
            }
        } else if (NameTaken(pDb, key, n) != 0) {
            return -1;
        }

        // An absent password or mail is stored, and left in the caller's
        // record, as an empty text.
        static char empty[] = "";
        if (!pUser->szPasswd)
            pUser->szPasswd = empty;
        if (!pUser->szMail)
            pUser->szMail = empty;
        const char *password = pUser->szPasswd;
        const char *mail = pUser->szMail;
        // The record as stored: home and shell defaults for fields not given,
        // the description colon-encoded; the caller's record keeps its own.
        VAKOUSER u = *pUser;
        std::string home = std::string(SZD_USER_HOMES) + "/" + pUser->szName;
        if (!u.szHome)
            u.szHome = home.data();
        if (!u.szShell)
            u.szShell = const_cast<char *>(kDefaultShell);
        std::string desc;
        if (pUser->szDesc) {
            size_t len = strlen(pUser->szDesc);
            desc.assign(2 * len + 1, '\0');
            if (SLIBStrEncodeColon(pUser->szDesc, desc.data(), static_cast<int>(2 * len)) < 0)
                return -1;
            u.szDesc = desc.data();
        }

        char *packed = nullptr;
        int cbPacked = 0;
        int cbLine = VAKOUserDBPack(&u, &packed, &cbPacked);
        slib::HeapPtr<char> packedOwner(packed);
        if (cbLine < 0)
            return -1;
        const std::string line(packed, strnlen(packed, static_cast<size_t>(cbLine)));

        std::string hash;
        bool changed = true;
        if (old && strcmp(password, old->szPasswd) == 0) {
            hash = old->szPasswd;
            changed = false;
        } else {
            const char *h = SzSDKIWrapMD5Encrypt(password, old ? old->szPasswd : "");
            if (!h) {
                syslog(LOG_ERR, "%s:%d SzSDKIWrapMD5Encrypt failed. vakoerr=0x%04X", kSrcSet, __LINE__, SLIBErrorGet());
                return -1;
            }
            hash = h;
        }
        long day = static_cast<long>(time(nullptr) / kSecondsPerDay);
        long minDays = u.disabled == 1 ? kDisabledMinDays : 0;
        char tail[64];
        if (u.expire >= 0)
            snprintf(tail, sizeof tail, ":%ld:%ld:%d:7::%d:", day, minDays, kMaxDays, u.expire);
        else
            snprintf(tail, sizeof tail, ":%ld:%ld:%d:7:::", day, minDays, kMaxDays);

        char lm[kSmbHashText] = "", nt[kSmbHashText] = "";
        if (oldSmb.size() == kSmbFields && !changed) {
            snprintf(lm, sizeof lm, "%s", oldSmb[2].c_str());
            snprintf(nt, sizeof nt, "%s", oldSmb[3].c_str());
        } else if (!SmbHashes(password, lm, nt)) {
            return -1;
        }
        char smb[128];
        snprintf(smb, sizeof smb, ":%d:%s:%s:[U          ]:LCT-%08X:", u.uid, lm, nt,
                 static_cast<unsigned>(time(nullptr)));

        // The new records, then the old ones removed: each account is whole in
        // every file, or the files are as they were.
        keydb_internal::Changes changes;
        if (changes.Put(pDb->pPWDName, key, line) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOBDbSet pPWDName %s failed. vakoerr=0x%04X", kSrcSet, __LINE__, key,
                   SLIBErrorGet());
            return -1;
        }
        char uidKey[kUidKeySize];
        UidKey(u.uid, uidKey);
        bool sameUid = old && (system || (sameKey && old->uid == u.uid));
        if (!sameUid && changes.Add(pDb->pPWDUID, uidKey, key) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOBDbSet pPWDUID failed. vakoerr=0x%04X", kSrcSet, __LINE__, SLIBErrorGet());
            return -1;
        }
        if (changes.Put(pDb->pPWDVakoser, key,
                        std::string(u.szName) + ":" + std::to_string(u.privilege) + ":" + mail) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOBDbSet pPWDVakoser failed. vakoerr=0x%04X", kSrcSet, __LINE__, SLIBErrorGet());
            return -1;
        }
        if (changes.Put(pDb->pPWDShadow, key, std::string(u.szName) + ":" + hash + tail) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOBDbSet pPWDShadow failed. vakoerr=0x%04X", kSrcSet, __LINE__, SLIBErrorGet());
            return -1;
        }
        if (changes.Put(pDb->pPWDSMB, key, std::string(u.szName) + smb) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOBDbSet pPWDSMB failed. vakoerr=0x%04X", kSrcSet, __LINE__, SLIBErrorGet());
            return -1;
        }
        if (old && !sameUid) {
            // Of the old uid only the old account's own record goes.
            char oldUidKey[kUidKeySize];
            UidKey(old->uid, oldUidKey);
            if (changes.RemoveDup(pDb->pPWDUID, oldUidKey, oldKey) != 0)
                return -1;
        }
        if (old && !sameKey)
            for (VAKOBDB *f : {pDb->pPWDName, pDb->pPWDSMB, pDb->pPWDVakoser, pDb->pPWDShadow})
                if (changes.Remove(f, oldKey) != 0)
                    return -1;
        changes.Keep();
        return 0;
    });
}

int VAKOUserDBDelete(VAKOUSERDB *pDb, const char *szKey)
{
    return slib::Guarded(kSrcDelete, -1, [&] {
        if (!pDb || !szKey) {
            USER_ERR(kSrcDelete, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        if (strchr(szKey, '\\'))
            return -1;
        int cbKey = static_cast<int>(strlen(szKey)) + 1;
        Buf line, pwBuf;
        if (VAKOBDbGet(pDb->pPWDName, szKey, cbKey, &line.p, &line.cb) != 0) {
            if (SLIBErrorGet() == SLIB_ERR_NOT_FOUND)
                USER_ERR(kSrcDelete, VAKO_ERR_USER_NOT_FOUND);
            return -1;
        }
        if (UserDBUnpackPasswd(Stored(line).c_str(), &pwBuf.p, &pwBuf.cb) != 0)
            return -1;
        int uid = static_cast<int>(static_cast<const struct passwd *>(pwBuf.p)->pw_uid);
        if (IsSystemUid(uid)) {
            USER_ERR(kSrcDelete, VAKO_ERR_SYSTEM_USER);
            return -1;
        }
        // Only this account's uid record: other accounts may share the uid.
        char uidKey[kUidKeySize];
        if (keydb_internal::DeleteDupRecord(pDb->pPWDUID, uidKey, UidKey(uid, uidKey), szKey) != 0)
            return -1;
        for (VAKOBDB *f : {pDb->pPWDName, pDb->pPWDSMB, pDb->pPWDVakoser, pDb->pPWDShadow})
            if (VAKOBDbDelete(f, szKey, cbKey) != 0 && SLIBErrorGet() != SLIB_ERR_NOT_FOUND)
                return -1;
        return 0;
    });
}

int VAKOUserDBCheckExists(VAKOUSERDB *pDb, const char *szKey, int cbKey, char *szOut, int cbOut)
{
    return slib::Guarded(kSrcCheckExists, 0, [&] {
        if (!pDb || !szKey || cbKey < 0 || (!szOut && cbOut != 0)) {
            USER_ERR(kSrcCheckExists, SLIB_ERR_BAD_PARAMETER);
            return 0;
        }
        Buf line;
        if (VAKOBDbGet(pDb->pPWDName, szKey, cbKey + 1, &line.p, &line.cb) != 0) {
            USER_ERR(kSrcCheckExists, VAKO_ERR_USER_NOT_FOUND);
            return 0;
        }
        if (!szOut)
            return 1;
        if (cbOut <= 0)
            return 0;
        keydb_internal::NameField got = keydb_internal::CopyNameField(Stored(line), szOut, cbOut);
        if (got == keydb_internal::NameField::NoSeparator)
            USER_ERR(kSrcCheckExists, VAKO_ERR_BAD_FORMAT);
        return got == keydb_internal::NameField::Copied ? 1 : 0;
    });
}

int VAKOUserGetFreeUid(VAKOUSERDB *pDb)
{
    return slib::Guarded(kSrcFreeUid, -1, [&] {
        if (!pDb)
            return -1;
        return keydb_internal::FreeId(pDb->pPWDUID, SZK_BDB_CURRENT_UID, CB_BDB_CURRENT_UID, VAKO_UID_FIRST,
                                      VAKO_UID_LAST, VAKO_ERR_NO_FREE_UID, kSrcFreeUid);
    });
}

} // extern "C"
