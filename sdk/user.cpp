// The account record, the /etc/passwd and /etc/shadow lines it is made
// from, the account name rule and MD5-crypt hashing.
#include "vako/user.h"

#include <crypt.h>
#include <limits.h>
#include <pwd.h>
#include <shadow.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>

#include <initializer_list>
#include <string_view>
#include <vector>

#include "slib/error.h"
#include "slib/str.h"
#include "slib/szlist.h"
#include "slib/unicode.h"
#include "slibcxx/border.h"
#include "slibcxx/raii.h"
#include "vako/keydb.h"
#include "user_internal.h"

namespace {

using user_internal::SplitFields;

// The operations' own source names: log prefixes and the file recorded with
// an error code.
constexpr const char *kSrcAlloc = "user_alloc";
constexpr const char *kSrcPack = "user_db_pack";
constexpr const char *kSrcUnpackPasswd = "user_db_unpack_passwd";
constexpr const char *kSrcUnpackShadow = "user_db_unpack_shadow";
constexpr const char *kSrcMd5Encrypt = "wrap_md5_encrypt";
constexpr const char *kSrcIsMd5 = "user_is_passwd_md5_encrypt";

#define USER_ERR(src, code) SLIBErrorSetEx((code), (src), __LINE__)

constexpr int kPasswdFields = 7;
constexpr int kShadowFields = 9;
constexpr int kIdTextSize = 32;
constexpr char kMd5Prefix[] = "$1$";
constexpr size_t kMd5PrefixLen = sizeof kMd5Prefix - 1;
// More characters than this from "$1$" on make an MD5-crypt hash.
constexpr size_t kMd5MinText = 12;
constexpr size_t kSettingSize = 32;
// MD5-crypt takes at most this many salt characters.
constexpr size_t kMd5SaltMax = 8;
constexpr char kSaltAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz./";

const char *Text(const char *s) { return s ? s : ""; }

// Bytes of s with its NUL, 0 for a string not given.
size_t Cb(const char *s) { return s ? strlen(s) + 1 : 0; }

bool Inside(const char *s, const VAKOUSER *block)
{
    const char *start = reinterpret_cast<const char *>(block);
    return s && s >= start && s <= start + block->cbAlloc;
}

// The fields of a line that must have exactly n of them and a name
// first: false with 0x0D00, 0x4000 or 0x1A00 recorded.
bool LineFields(const char *src, const char *szLine, void **ppOut, int *pcbOut, size_t n, std::vector<std::string> &f)
{
    if (!szLine || !ppOut || !pcbOut || (*ppOut && *pcbOut == 0)) {
        USER_ERR(src, SLIB_ERR_BAD_PARAMETER);
        return false;
    }
    if (SplitFields(szLine, f) != 0)
        return false;
    if (f.size() != n) {
        USER_ERR(src, VAKO_ERR_BAD_FORMAT);
        return false;
    }
    if (f[0].empty()) {
        USER_ERR(src, VAKO_ERR_INVALID_NAME);
        return false;
    }
    return true;
}

// Grows the caller's buffer to cb bytes and clears it.
bool GrowCleared(const char *src, void **ppOut, int *pcbOut, size_t cb)
{
    if (cb > INT_MAX) {
        USER_ERR(src, SLIB_ERR_BAD_PARAMETER);
        return false;
    }
    if (VAKOCheckAndRealloc(ppOut, pcbOut, static_cast<int>(cb)) != 0) {
        syslog(LOG_ERR, "%s:%d VAKOCheckAndRealloc() failed! vakoerr=0x%04X", src, __LINE__, SLIBErrorGet());
        return false;
    }
    memset(*ppOut, 0, static_cast<size_t>(*pcbOut));
    return true;
}

// Copies s with its NUL to *pp and moves *pp past it: the copy.
char *Put(char **pp, const char *s)
{
    size_t n = strlen(s) + 1;
    memcpy(*pp, s, n);
    char *at = *pp;
    *pp += n;
    return at;
}

// A numeric shadow field: -1 when empty.
long ShadowNumber(const char *s) { return *s ? atol(s) : -1; }

bool IsSaltChar(char c) { return c && strchr(kSaltAlphabet, c); }

// The salt that crypt will take from an MD5-crypt setting: at least one
// character of the salt alphabet up to the next '$'.
bool UsableMd5Setting(const char *setting)
{
    const char *salt = setting + kMd5PrefixLen;
    size_t n = 0;
    while (n < kMd5SaltMax && salt[n] && salt[n] != '$') {
        if (!IsSaltChar(salt[n]))
            return false;
        n++;
    }
    return n > 0;
}

void FreshSetting(char *setting)
{
    // Reduced first, so that t + 10 cannot overflow.
    long long t = static_cast<long long>(time(nullptr)) % 64;
    snprintf(setting, kSettingSize, "%s%c%c", kMd5Prefix, SaltCharFromInt(static_cast<int>(t)),
             SaltCharFromInt(static_cast<int>(t + 10)));
}

// libcrypt reports a failure with NULL or a token that begins with '*'.
bool CryptFailed(const char *hash) { return !hash || hash[0] == '*'; }

} // namespace

extern "C" {

int VAKOUserAlloc(PVAKOUSER *ppUser, const char *szName, const char *szPasswd, int uid, int gid, const char *szDesc,
                  const char *szHome, const char *szShell, int expire, int disabled, const char *szMail, int privilege)
{
    if (!ppUser || !szName || !*szName) {
        USER_ERR(kSrcAlloc, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    const std::initializer_list<const char *> strings = {szName, szPasswd, szDesc, szHome, szShell, szMail};
    PVAKOUSER old = *ppUser;
    int cbKnown = 0;
    if (old && old->cbAlloc != 0) {
        for (const char *s : strings)
            if (Inside(s, old)) {
                USER_ERR(kSrcAlloc, SLIB_ERR_BAD_PARAMETER);
                return -1;
            }
        cbKnown = old->cbAlloc;
    }
    size_t cbUsed = sizeof(VAKOUSER);
    for (const char *s : strings)
        cbUsed += Cb(s);
    if (cbUsed > INT_MAX) {
        USER_ERR(kSrcAlloc, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    void *block = *ppUser;
    if (VAKOCheckAndRealloc(&block, &cbKnown, static_cast<int>(cbUsed)) != 0) {
        *ppUser = static_cast<PVAKOUSER>(block);
        syslog(LOG_ERR, "%s:%d VAKOCheckAndRealloc failed. vakoerr=0x%04X", kSrcAlloc, __LINE__, SLIBErrorGet());
        return -1;
    }
    PVAKOUSER u = static_cast<PVAKOUSER>(block);
    *ppUser = u;
    char *base = reinterpret_cast<char *>(u);
    char *p = base + sizeof(VAKOUSER);
    char *last = base + cbUsed - 1;
    auto place = [&](const char *s) { return s ? Put(&p, s) : nullptr; };
    char *name = place(szName), *passwd = place(szPasswd), *desc = place(szDesc), *home = place(szHome),
         *shell = place(szShell), *mail = place(szMail);
    auto orLast = [&](char *s) { return s ? s : last; };
    u->szName = name;
    u->szPasswd = orLast(passwd);
    u->szDesc = orLast(desc);
    u->szHome = orLast(home);
    u->szShell = orLast(shell);
    u->szMail = orLast(mail);
    u->uid = uid;
    u->gid = gid;
    u->expire = expire;
    u->disabled = disabled;
    u->type = strchr(szName, '\\') ? VAKO_USER_TYPE_DOMAIN : VAKO_USER_TYPE_LOCAL;
    u->privilege = privilege;
    u->cbAlloc = cbKnown;
    return 0;
}

void VAKOUserFree(PVAKOUSER pUser) { free(pUser); }

int VAKOUserDBPack(PVAKOUSER pUser, char **ppBuf, int *pcbBuf)
{
    if (!pUser || !ppBuf || !pcbBuf || (*ppBuf && *pcbBuf == 0)) {
        USER_ERR(kSrcPack, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    if (!pUser->szName || !*pUser->szName) {
        USER_ERR(kSrcPack, VAKO_ERR_INVALID_NAME);
        return -1;
    }
    char ids[kIdTextSize];
    snprintf(ids, sizeof ids, "%d:%d", pUser->uid, pUser->gid);
    size_t need = strlen(pUser->szName) + 3 + strlen(ids) + 1 + strlen(Text(pUser->szDesc)) + 1 +
                  strlen(Text(pUser->szHome)) + 1 + strlen(Text(pUser->szShell)) + 1;
    if (need > INT_MAX) {
        USER_ERR(kSrcPack, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    void *buf = *ppBuf;
    int r = VAKOCheckAndRealloc(&buf, pcbBuf, static_cast<int>(need));
    *ppBuf = static_cast<char *>(buf);
    if (r != 0) {
        syslog(LOG_ERR, "%s:%d VAKOCheckAndRealloc() failed! vakoerr=0x%04X", kSrcPack, __LINE__, SLIBErrorGet());
        return -1;
    }
    int n = snprintf(*ppBuf, need, "%s:x:%s:%s:%s:%s", pUser->szName, ids, Text(pUser->szDesc), Text(pUser->szHome),
                     Text(pUser->szShell));
    return n + 1;
}

int UserDBUnpackPasswd(const char *szLine, void **ppOut, int *pcbOut)
{
    return slib::Guarded(kSrcUnpackPasswd, -1, [&] {
        std::vector<std::string> f;
        if (!LineFields(kSrcUnpackPasswd, szLine, ppOut, pcbOut, kPasswdFields, f))
            return -1;
        size_t need = sizeof(struct passwd);
        for (int i : {0, 1, 4, 5, 6})
            need += f[i].size() + 1;
        if (!GrowCleared(kSrcUnpackPasswd, ppOut, pcbOut, need))
            return -1;
        auto *pw = static_cast<struct passwd *>(*ppOut);
        char *p = static_cast<char *>(*ppOut) + sizeof(struct passwd);
        pw->pw_name = Put(&p, f[0].c_str());
        pw->pw_passwd = Put(&p, f[1].c_str());
        pw->pw_gecos = Put(&p, f[4].c_str());
        pw->pw_dir = Put(&p, f[5].c_str());
        pw->pw_shell = Put(&p, f[6].c_str());
        pw->pw_uid = static_cast<uid_t>(atoi(f[2].c_str()));
        pw->pw_gid = static_cast<gid_t>(atoi(f[3].c_str()));
        return 0;
    });
}

int UserDBUnpackShadow(const char *szLine, void **ppOut, int *pcbOut)
{
    return slib::Guarded(kSrcUnpackShadow, -1, [&] {
        std::vector<std::string> f;
        if (!LineFields(kSrcUnpackShadow, szLine, ppOut, pcbOut, kShadowFields, f))
            return -1;
        if (!GrowCleared(kSrcUnpackShadow, ppOut, pcbOut, sizeof(struct spwd) + f[0].size() + 1 + f[1].size() + 1))
            return -1;
        auto *sp = static_cast<struct spwd *>(*ppOut);
        char *p = static_cast<char *>(*ppOut) + sizeof(struct spwd);
        sp->sp_namp = Put(&p, f[0].c_str());
        sp->sp_pwdp = Put(&p, f[1].c_str());
        sp->sp_lstchg = ShadowNumber(f[2].c_str());
        sp->sp_min = ShadowNumber(f[3].c_str());
        sp->sp_max = ShadowNumber(f[4].c_str());
        sp->sp_warn = ShadowNumber(f[5].c_str());
        sp->sp_inact = ShadowNumber(f[6].c_str());
        sp->sp_expire = ShadowNumber(f[7].c_str());
        sp->sp_flag = static_cast<unsigned long>(atol(f[8].c_str()));
        return 0;
    });
}

int VAKOUserIsValidName(const char *szName)
{
    if (!szName || !*szName)
        return 0;
    int chars = SLIBUnicodeUTF8StrCountChar(szName);
    if (chars < 0 || chars > VAKO_USER_NAME_MAX_CHARS)
        return 0;
    size_t len = strlen(szName);
    if (szName[0] == ' ' || szName[0] == '-' || szName[len - 1] == ' ')
        return 0;
    for (const char *p = szName; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        bool ok = c >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '-' || c == '_' || c == ' ';
        if (!ok)
            return 0;
    }
    return 1;
}

char SaltCharFromInt(int n)
{
    // |n| mod 64 without negating INT_MIN.
    int v = n % 64;
    return kSaltAlphabet[v < 0 ? -v : v];
}

char *SzSDKIWrapMD5Encrypt(const char *szPassword, const char *szSalt)
{
    if (!szPassword || !szSalt) {
        USER_ERR(kSrcMd5Encrypt, SLIB_ERR_BAD_PARAMETER);
        return nullptr;
    }
    char setting[kSettingSize];
    if (!*szSalt) {
        FreshSetting(setting);
    } else if (VAKOUserIsPasswdMD5Encrypt(szSalt)) {
        // The salt of that hash; a hash kept behind a lock mark ("!$1$...")
        // still has it after the mark.
        snprintf(setting, sizeof setting, "%s", strstr(szSalt, kMd5Prefix));
    } else {
        snprintf(setting, sizeof setting, "%s%s", kMd5Prefix, szSalt);
    }
    // An old hash such as "!" or "*" gives crypt nothing it can use.
    bool fresh = !*szSalt;
    if (!fresh && !UsableMd5Setting(setting)) {
        FreshSetting(setting);
        fresh = true;
    }
    char *hash = crypt(szPassword, setting);
    if (CryptFailed(hash) && !fresh) {
        FreshSetting(setting);
        hash = crypt(szPassword, setting);
    }
    if (CryptFailed(hash)) {
        syslog(LOG_ERR, "%s:%d crypt() failed", kSrcMd5Encrypt, __LINE__);
        USER_ERR(kSrcMd5Encrypt, SLIB_ERR_BAD_PARAMETER);
        return nullptr;
    }
    return hash;
}

int VAKOUserIsPasswdMD5Encrypt(const char *szPasswd)
{
    if (!szPasswd) {
        USER_ERR(kSrcIsMd5, SLIB_ERR_BAD_PARAMETER);
        return 0;
    }
    const char *p = strstr(szPasswd, kMd5Prefix);
    return p && strlen(p) > kMd5MinText ? 1 : 0;
}

} // extern "C"
