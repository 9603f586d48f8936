// The user set: accounts written in one pass under the exclusive account,
// group and SMB lock, then the account files rewritten once and the change
// carried into the shares, groups, network-backup accounts, home folders
// and the FTP chroot list.
#include "vako/user_set.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <initializer_list>

#include "keydb_internal.h"
#include "slib/base64.h"
#include "slib/conf_read.h"
#include "slib/conf_write.h"
#include "slib/error.h"
#include "slib/proc.h"
#include "slib/szhash.h"
#include "slib/szlist.h"
#include "slib/unicode.h"
#include "slibcxx/border.h"
#include "slibcxx/raii.h"
#include "slibcxx/replace.h"
#include "vako/cipher.h"
#include "vako/ftp_list.h"
#include "vako/group_db.h"
#include "vako/group_op.h"
#include "vako/info.h"
#include "vako/rsync_secret.h"
#include "vako/service.h"
#include "vako/share_db.h"
#include "vako/user_db.h"
#include "vako/user_list.h"
#include "vako/user_op.h"

namespace {

using keydb_internal::HashPtr;
using keydb_internal::ListPtr;
using keydb_internal::LockHold;
using UserDbPtr = slib::OwnedPtr<VAKOUSERDB, VAKOUserDBClose>;
using UserOwner = slib::OwnedPtr<VAKOUSER, VAKOUserFree>;
using ShareDbPtr = slib::OwnedPtr<VAKOSHAREDB, VAKOShareDBClose>;
using GroupDbPtr = slib::OwnedPtr<VAKOGROUPDB, VAKOGroupDBClose>;

// The source's own name: log prefix and the file recorded with an error code.
constexpr const char *kSrc = "user_set";

#define SET_ERR(code) SLIBErrorSetEx((code), kSrc, __LINE__)

constexpr int kMapSize = 512;
constexpr int kKeySize = 492;
constexpr int kHomeSize = 524;
constexpr int kSecretSize = 3074;
constexpr int kCipherSize = 769;
constexpr int kListSize = 1024;
constexpr int kAfpLineSize = 512;
constexpr int kFlagValueSize = 4;

constexpr char kBinCp[] = "/bin/cp";
constexpr char kGuest[] = "guest";
constexpr char kUamGuest[] = "uams_guest.so";
constexpr char kUamNoGuest[] = "uams_noguest.so";
constexpr char kUamList[] = "-uamlist";
constexpr char kSupportDownload[] = "support_download";
constexpr char kUserHomeEnable[] = "userHomeEnable";
constexpr char kYes[] = "yes";
constexpr char kAdmin[] = "admin";
constexpr char kRoot[] = "root";

// A name for the messages: never NULL.
const char *Text(const char *s) { return s ? s : ""; }

// name upper-cased into key (kKeySize bytes): its length, or -1 for a name
// that gives no key (the upper-caser's code, or 0x1A00 for a name that is
// empty or too long to be an account's).
int UpperKey(const char *name, char *key)
{
    int n = keydb_internal::UpperKey(name, key, kKeySize);
    if (n == -1)
        return -1;
    if (n <= 0) {
        SET_ERR(VAKO_ERR_INVALID_NAME);
        return -1;
    }
    return n;
}

bool Exists(VAKOUSERDB *db, const char *key, int n) { return VAKOUserDBCheckExists(db, key, n, nullptr, 0) == 1; }

// A new account: a free uid when it asks for one, then its records, then
// the last uid handed out. false when the entry failed (logged).
bool UserSetNew(VAKOUSERDB *db, PVAKOUSER user)
{
    char key[kKeySize];
    int n = UpperKey(user->szName, key);
    if (n < 0) {
        syslog(LOG_NOTICE, "%s:%d pUser->szName[%s] is BAD.", kSrc, __LINE__, Text(user->szName));
    } else if (Exists(db, key, n)) {
        SET_ERR(VAKO_ERR_USER_EXISTS);
        syslog(LOG_ERR, "%s:%d pUser->szName[%s] is EXIST.", kSrc, __LINE__, user->szName);
    } else {
        if (user->gid == -1)
            user->gid = VAKO_USER_DEFAULT_GID;
        bool chosen = user->uid == -1;
        if (chosen)
            user->uid = VAKOUserGetFreeUid(db);
        if (user->uid == -1) {
            syslog(LOG_ERR, "%s:%d VAKOUserGetFreeUid failed. VakoErr=[0x%04X]", kSrc, __LINE__, SLIBErrorGet());
        } else if (VAKOUserDBSet(db, nullptr, 0, user) == 0) {
            if (!chosen)
                return true;
            // A missing word has nothing to delete; the new one is written all the same.
            if (VAKOBDbDelete(db->pPWDUID, SZK_BDB_CURRENT_UID, CB_BDB_CURRENT_UID) != 0 &&
                SLIBErrorGet() != SLIB_ERR_NOT_FOUND)
                SET_ERR(VAKO_ERR_BDB_DEL);
            else if (VAKOBDbWordSet(db->pPWDUID, SZK_BDB_CURRENT_UID, CB_BDB_CURRENT_UID, user->uid) != 0)
                SET_ERR(VAKO_ERR_BDB_PUT);
            else
                return true;
        }
    }
    syslog(LOG_NOTICE, "%s:%d UserSetNew() failed. vakoerr=0x%04X", kSrc, __LINE__, SLIBErrorGet());
    return false;
}

// The checks and the rename map entry of a changed account: the old key in
// oldKey (its length in *pcbOldKey); false when the entry failed (logged).
bool CheckUpdate(VAKOUSERDB *db, const char *oldName, PVAKOUSER user, PSLIBSZHASH *ppMap, char *oldKey, int *pcbOldKey)
{
    char key[kKeySize];
    int n = UpperKey(user->szName, key);
    if (n < 0) {
        syslog(LOG_NOTICE, "%s:%d pUser->szName[%s] is BAD.", kSrc, __LINE__, Text(user->szName));
        return false;
    }
    bool newExists = Exists(db, key, n);
    bool sameName = SLIBUnicodeUTF8StrCaseCmp(oldName, user->szName) == 0;
    if (!sameName && newExists) {
        SET_ERR(VAKO_ERR_USER_EXISTS);
        syslog(LOG_ERR, "%s:%d pUser->szName[%s] is EXIST.", kSrc, __LINE__, user->szName);
        return false;
    }
    if (sameName && !newExists) {
        syslog(LOG_ERR, "%s:%d szOldName=[%s] is NOT EXIST.", kSrc, __LINE__, oldName);
        return false;
    }
    // An empty old name has a key all the same; it names no account.
    int cbOld = keydb_internal::UpperKey(oldName, oldKey, kKeySize);
    if (cbOld < 0) {
        syslog(LOG_ERR, "%s:%d SLIBUnicodeUTF8StrUpper [%s] failed.", kSrc, __LINE__, oldName);
        return false;
    }
    if (SzSLIBSzHashGetValue(*ppMap, oldKey)) {
        syslog(LOG_NOTICE, "%s:%d Duplicated key:[%s]", kSrc, __LINE__, oldKey);
        return false;
    }
    if (!Exists(db, oldKey, cbOld)) {
        syslog(LOG_ERR, "%s:%d szOldName=[%s] is NOT EXIST.", kSrc, __LINE__, oldName);
        return false;
    }
    if (SLIBSzHashSetValue(ppMap, oldKey, user->szName) < 0) {
        syslog(LOG_ERR, "%s:%d HashSetValue failed.", kSrc, __LINE__);
        return false;
    }
    *pcbOldKey = cbOld;
    return true;
}

// A changed account, stored under its old key with its home folder named
// after the new name (the caller's szHome stays as it was). false when the
// entry failed (logged); its map entry then goes again, for an account
// left as it was is renamed nowhere.
bool UserSetUpdate(VAKOUSERDB *db, const char *oldName, PVAKOUSER user, PSLIBSZHASH *ppMap)
{
    char home[kHomeSize];
    char oldKey[kKeySize];
    int cbOldKey = 0;
    VAKOUSER stored = *user;
    int cchHome = snprintf(home, sizeof home, "%s/%s", SZD_USER_HOMES, Text(user->szName));
    if (cchHome < 0 || cchHome >= kHomeSize) {
        // Never stored cut: a name this long is no account's.
        SET_ERR(VAKO_ERR_INVALID_NAME);
        syslog(LOG_NOTICE, "%s:%d pUser->szName[%s] is BAD.", kSrc, __LINE__, Text(user->szName));
    } else if (CheckUpdate(db, oldName, user, ppMap, oldKey, &cbOldKey)) {
        stored.szHome = home;
        if (user->gid == -1)
            user->gid = VAKO_USER_DEFAULT_GID;
        bool ok = true;
        if (user->uid == -1) {
            PVAKOUSER raw = nullptr;
            int r = VAKOUserDBGet(db, oldKey, &raw);
            UserOwner old(raw);
            if (r != 0) {
                syslog(LOG_ERR, "%s:%d VAKOUserDBGet failed. VakoErr=[0x%04X]", kSrc, __LINE__, SLIBErrorGet());
                ok = false;
            } else {
                user->uid = old->uid;
            }
        }
        stored.uid = user->uid;
        stored.gid = user->gid;
        if (ok && VAKOUserDBSet(db, oldKey, cbOldKey, &stored) == 0)
            return true;
        slib::SavedError saved;
        SzSLIBSzHashRemoveKey(*ppMap, oldKey);
        saved.Restore();
    }
    syslog(LOG_NOTICE, "%s:%d UserSetUpdate() failed. vakoerr=0x%04X", kSrc, __LINE__, SLIBErrorGet());
    return false;
}

// Switches the AFP guest login on (no password) or off in a copy of the
// configuration that then replaces it: 0, or -1 (logged; the configuration
// as it was).
int SDKISetGuestAfpd(bool fPassword)
{
    struct stat st;
    if (stat(SZF_AFPD_CONF, &st) != 0) {
        syslog(LOG_ERR, "%s:%d %s not found!", kSrc, __LINE__, SZF_AFPD_CONF);
        SET_ERR(VAKO_ERR_NO_AFPD_CONF);
        return -1;
    }
    bool ok = false;
    // The copy goes on every path that does not put it in place.
    slib::TempPath copy(SZF_AFPD_CONF_TMP);
    // A copy that cp could not finish is no configuration to put in place.
    int r = SLIBProcExec(kBinCp, "-Rf", SZF_AFPD_CONF, SZF_AFPD_CONF_TMP, nullptr);
    if (r != 0) {
        syslog(LOG_ERR, "%s:%d /bin/cp -Rf %s %s failed!", kSrc, __LINE__, SZF_AFPD_CONF, SZF_AFPD_CONF_TMP);
        if (r > 0)
            SET_ERR(SLIB_ERR_EXEC);
    } else {
        char line[kAfpLineSize];
        r = SLIBFileGetLine(SZF_AFPD_CONF_TMP, kUamList, line, sizeof line, 0);
        if (r == 0)
            return 0;
        if (r > 0 && SLIBFileReplaceSubStr(SZF_AFPD_CONF_TMP, fPassword ? kUamGuest : kUamNoGuest,
                                           fPassword ? kUamNoGuest : kUamGuest) >= 0) {
            ok = rename(SZF_AFPD_CONF_TMP, SZF_AFPD_CONF) == 0;
            if (ok)
                copy.Release();
            else
                SET_ERR(SLIB_ERR_RENAME);
        }
    }
    if (ok)
        return 0;
    syslog(LOG_ERR, "%s:%d SDKISetGuestAfpd failed. vakoerr=0x%04X", kSrc, __LINE__, SLIBErrorGet());
    return -1;
}

// The value of a network-backup account's secrets line for password P: the
// stored one of O when P is the stored hash, else the hash of P, '|' and
// the base64 text of P enciphered. false when it cannot be made (logged).
bool MakeSecret(const char *oldName, bool rOld, const char *password, char *secret)
{
    if (rOld && VAKOUserIsPasswdMD5Encrypt(password) == 1) {
        if (VAKONetBackupGetServerPasswd(oldName, secret, kSecretSize) != 0) {
            syslog(LOG_ERR, "%s:%d VAKONetBackupGetServerPasswd() failed!! szOldName=[%s], vakoerr=[0x%04X]", kSrc,
                   __LINE__, oldName, SLIBErrorGet());
            memset(secret, 0, kSecretSize);
        }
        return true;
    }
    char hash[kCipherSize];
    char cipher[kCipherSize];
    // A failed hash or cipher would store a secret that matches no password.
    if (VAKONetBkpCryptPass(password, hash, sizeof hash) != 0 || VAKOStrCrypt(password, cipher, sizeof cipher) != 0)
        return false;
    const char *text = SzBase64EncodeOneLine(cipher, sizeof cipher);
    if (!text) {
        syslog(LOG_ERR, "%s:%d SzBase64EncodeOneLine() failed!", kSrc, __LINE__);
        return false;
    }
    int len = snprintf(secret, kSecretSize, "%s|%s", hash, text);
    return len >= 0 && len < kSecretSize;
}

// "admin" as the secrets file names it.
const char *SecretName(const char *name) { return strcmp(name, kAdmin) == 0 ? kRoot : name; }

// A network-backup account renamed to an ordinary name leaves the "smmsp"
// group and the rsync secrets: false when a step failed (logged).
bool LeaveNetBackup(const char *oldName, const char *newName)
{
    // The rename carried into the groups has already made the old member
    // the new name: that one goes too, or an ordinary account would stay.
    for (const char *member : {oldName, newName}) {
        if (member == newName && strcmp(oldName, newName) == 0)
            break;
        if (VAKOSmmspGroupSet(member, nullptr, VAKO_SMMSP_DELETE) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOSmmspGroupSet() delete [%s] failed!! vakoerr=0x%04X", kSrc, __LINE__, member,
                   SLIBErrorGet());
            return false;
        }
    }
    if (VAKONetBackupSetServerPasswd(oldName, nullptr, nullptr, NETBKP_PASSWD_DELETE) == 0)
        return true;
    syslog(LOG_ERR, "%s:%d VAKONetBackupSetServerPasswd() failed", kSrc, __LINE__);
    return false;
}

// The "smmsp" membership and the rsync secret of an account that is, was
// or becomes a network-backup account: false when a step failed (logged).
bool SetNetBackupAccount(const char *oldName, const char *newName, const char *password)
{
    bool rOld = VAKONetBkpIsReservedName(oldName) == 1;
    bool rNew = VAKONetBkpIsReservedName(newName) == 1;
    if (!rOld && !rNew)
        return true;
    slib::HeapPtr<char> secret(static_cast<char *>(calloc(1, kSecretSize)));
    if (!secret) {
        SET_ERR(SLIB_ERR_OUT_OF_MEMORY);
        return false;
    }
    bool made = MakeSecret(oldName, rOld, password, secret.get());
    // Leaving uses no secret: one that could not be made never keeps an
    // ordinary account in the group.
    if (!rNew)
        return LeaveNetBackup(oldName, newName);
    if (!made)
        return false;
    int r;
    if (!rOld) {
        if (VAKOSmmspGroupSet(nullptr, newName, VAKO_SMMSP_ADD) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOSmmspGroupSet() add [%s] failed!! vakoerr=0x%04X", kSrc, __LINE__, newName,
                   SLIBErrorGet());
            return false;
        }
        r = VAKONetBackupSetServerPasswd(nullptr, newName, secret.get(), NETBKP_PASSWD_ADD);
    } else {
        if (strcmp(oldName, newName) != 0 && VAKOSmmspGroupSet(oldName, newName, VAKO_SMMSP_MODIFY) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOSmmspGroupSet() modify [%s]->[%s] failed!! vakoerr=0x%04X", kSrc, __LINE__,
                   oldName, newName, SLIBErrorGet());
            return false;
        }
        r = VAKONetBackupSetServerPasswd(SecretName(oldName), SecretName(newName), secret.get(), NETBKP_PASSWD_MODIFY);
    }
    if (r == 0)
        return true;
    syslog(LOG_ERR, "%s:%d VAKONetBackupSetServerPasswd() failed", kSrc, __LINE__);
    return false;
}

// The services that know an account written by the batch: the AFP guest
// login for "guest", the network-backup accounts.
void NetBackupAuthUserSet(const char *oldName, PVAKOUSER user)
{
    const char *password = Text(user->szPasswd);
    if (strcmp(user->szName, kGuest) == 0)
        SDKISetGuestAfpd(*password != '\0');
    if (!SetNetBackupAccount(oldName, user->szName, password))
        syslog(LOG_ERR, "%s:%d NetBackupAuthUserSet [%s] failed. vakoerr=0x%04X", kSrc, __LINE__, Text(oldName),
               SLIBErrorGet());
}

// A name that can be a folder of its own under the home base: "." and ".."
// would name the base or its parent.
bool IsHomeFolderName(const char *name)
{
    return *name && strcmp(name, ".") != 0 && strcmp(name, "..") != 0 && !strchr(name, '/');
}

// Makes the home folder of a new account (an existing one is taken) and
// gives it to the account: false when it could not be made.
bool MakeHome(const char *path, PVAKOUSER user)
{
    if (mkdir(path, 0755) != 0 && errno != EEXIST) {
        syslog(LOG_ERR, "%s:%d mkdir user home folder failed. errno:%d, message:%m", kSrc, __LINE__, errno);
        return false;
    }
    // Never through a link: what the account gets is the folder itself.
    slib::Fd dir(open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.ok() || fchown(dir.get(), static_cast<uid_t>(user->uid), static_cast<gid_t>(user->gid)) != 0)
        syslog(LOG_ERR, "%s:%d chown user home folder failed.", kSrc, __LINE__);
    return true;
}

// Moves a renamed account's home folder; a folder of the new name is never
// moved onto (nor into).
void MoveHome(const char *oldPath, const char *newPath)
{
    struct stat st;
    if (lstat(newPath, &st) == 0) {
        syslog(LOG_ERR, "%s:%d %s exists already, %s not moved.", kSrc, __LINE__, newPath, oldPath);
        return;
    }
    if (rename(oldPath, newPath) != 0) {
        // Logged as the move command it stands for, the form the log's readers know.
        syslog(LOG_ERR, "%s:%d cmd failed:mv '%s' '%s' > /dev/null 2>&1.", kSrc, __LINE__, oldPath, newPath);
    }
}

// Makes the home folders of new accounts and moves those of renamed ones.
void SetHomeFolders(const char **oldNames, PVAKOUSER *users, const char *done, int n)
{
    for (int i = 0; i < n; i++) {
        if (!done[i])
            continue;
        const char *oldName = oldNames[i];
        const char *newName = users[i]->szName;
        if (oldName && strcmp(oldName, newName) == 0)
            continue;
        if (!IsHomeFolderName(newName) || (oldName && !IsHomeFolderName(oldName))) {
            syslog(LOG_ERR, "%s:%d no home folder for [%s].", kSrc, __LINE__, newName);
            continue;
        }
        char newPath[kHomeSize];
        char oldPath[kHomeSize];
        int cchNew = snprintf(newPath, sizeof newPath, "%s/%s", SZD_USER_HOMES, newName);
        int cchOld = oldName ? snprintf(oldPath, sizeof oldPath, "%s/%s", SZD_USER_HOMES, oldName) : 0;
        if (cchNew < 0 || cchNew >= kHomeSize || cchOld < 0 || cchOld >= kHomeSize) {
            syslog(LOG_ERR, "%s:%d no home folder for [%s].", kSrc, __LINE__, newName);
            continue;
        }
        if (!oldName) {
            if (!MakeHome(newPath, users[i]))
                return;
        } else {
            MoveHome(oldPath, newPath);
        }
    }
}

// Renames in the FTP chroot list the renamed accounts that it holds: 0, or
// -1 (logged).
int RenameChrootUsers(const char **oldNames, PVAKOUSER *users, const char *done, int n)
{
    ListPtr newList(PslSLIBSzListAlloc(kListSize));
    ListPtr oldList(PslSLIBSzListAlloc(kListSize));
    ListPtr chroot(PslSLIBSzListAlloc(kListSize));
    if (!newList || !oldList || !chroot) {
        syslog(LOG_ERR, "%s:%d Failed to malloc list.", kSrc, __LINE__);
        return -1;
    }
    chroot->type = SLIB_SZLIST_SORT_CASE;
    PSLIBSZLIST raw = chroot.release();
    int r = VAKOFTPEnumChrootUser(&raw);
    chroot.reset(raw);
    if (r < 0) {
        syslog(LOG_ERR, "%s:%d VAKOFTPEnumChrootUser failed!! vakoerr=0x%04X", kSrc, __LINE__, SLIBErrorGet());
        return -1;
    }
    for (int i = 0; i < n; i++) {
        const char *oldName = oldNames[i];
        if (!done[i] || !oldName || strcmp(oldName, users[i]->szName) == 0 ||
            SLIBSzListCaseFind(chroot.get(), oldName) < 0)
            continue;
        PSLIBSZLIST o = oldList.release(), w = newList.release();
        bool pushed = SLIBSzListPush(&o, oldName) >= 0 && SLIBSzListPush(&w, users[i]->szName) >= 0;
        oldList.reset(o);
        newList.reset(w);
        if (!pushed) {
            syslog(LOG_ERR, "%s:%d SLIBSzListPush failed!! vakoerr=0x%04X", kSrc, __LINE__, SLIBErrorGet());
            return -1;
        }
    }
    if (oldList->nItem == 0 || newList->nItem == 0)
        return 0;
    if (VAKOFTPDeleteChrootUser(oldList.get()) != 0) {
        syslog(LOG_ERR, "%s:%d VAKOFTPDeleteChrootUser failed!! vakoerr=0x%04X", kSrc, __LINE__, SLIBErrorGet());
        return -1;
    }
    if (VAKOFTPAddChrootUser(newList.get()) != 0) {
        syslog(LOG_ERR, "%s:%d VAKOFTPAddChrootUser failed!! vakoerr=0x%04X", kSrc, __LINE__, SLIBErrorGet());
        return -1;
    }
    return 0;
}

// True when some entry may rename an account.
bool MayRename(const char **oldNames, PVAKOUSER *users, int n)
{
    for (int i = 0; i < n; i++)
        if (oldNames[i] && users[i] && users[i]->szName && strcmp(oldNames[i], users[i]->szName) != 0)
            return true;
    return false;
}

// Brings the share and group caches in step with their files while the old
// account names still exist: a cache built after the accounts changed would
// drop the old names that the rename map is to carry over. A failure shows
// again when the map is applied.
void SyncNameCaches()
{
    ShareDbPtr shares(VAKOShareDBOpen());
    GroupDbPtr groups(VAKOGroupDBOpen());
}

// The batch once its arguments are checked (n > 0), up to the release of
// the lock: 0 or -1.
int RunBatch(const char **oldNames, PVAKOUSER *users, int n)
{
    HashPtr map(SLIBSzHashAlloc(kMapSize));
    slib::HeapPtr<char> done(static_cast<char *>(calloc(static_cast<size_t>(n), 1)));
    if (!map || !done) {
        SET_ERR(SLIB_ERR_OUT_OF_MEMORY);
        return -1;
    }
    LockHold lock(kSrc, VAKO_USER_SET_LOCK_RELEASE);
    if (lock.Take(VAKO_USER_SET_LOCK, VAKO_USER_SET_LOCK_TIMEOUT) != 0)
        return -1;
    if (MayRename(oldNames, users, n))
        SyncNameCaches();
    UserDbPtr db(VAKOUserDBOpen());
    if (!db) {
        if (!slib::OutOfMemory())
            SET_ERR(SLIB_ERR_OPEN);
        return lock.Release(-1);
    }

    int nDone = 0;
    for (int i = 0; i < n; i++) {
        if (!users[i]) {
            SET_ERR(SLIB_ERR_BAD_PARAMETER);
            continue;
        }
        PSLIBSZHASH raw = map.release();
        bool ok = oldNames[i] ? UserSetUpdate(db.get(), oldNames[i], users[i], &raw) : UserSetNew(db.get(), users[i]);
        map.reset(raw);
        if (ok) {
            done.get()[i] = 1;
            nDone++;
        }
    }
    // A name saved unchanged is no rename.
    for (int i = 0; i < n; i++) {
        char key[kKeySize];
        if (oldNames[i] && users[i] && strcmp(oldNames[i], Text(users[i]->szName)) == 0 &&
            keydb_internal::UpperKey(oldNames[i], key, kKeySize) >= 0)
            SzSLIBSzHashRemoveKey(map.get(), key);
    }

    {
        // The code of a failed entry stays the batch's.
        slib::SavedError saved;
        char support[kFlagValueSize] = "";
        if (SLIBFileGetKeyValue(SZF_VAKO_INFO_DEFAULTS, kSupportDownload, support, sizeof support, 0) > 0 &&
            strcasecmp(support, kYes) == 0 && DownloadSchedulerSignal(SIGUSR1) != 0)
            syslog(LOG_ERR, "%s (%d)Failed to signal scheduled.", kSrc, __LINE__);
        saved.Restore();
    }

    // The database is closed before the lock goes, on every path.
    if (nDone == 0) {
        db.reset();
        return lock.Release(-1);
    }
    if (VAKOUserDBDump(db.get()) != 0) {
        syslog(LOG_ERR, "%s:%d VAKOUserDBDump failed. vakoerr=0x%04X", kSrc, __LINE__, SLIBErrorGet());
        db.reset();
        return lock.Release(-1);
    }
    db.reset();

    if (map->nItem > 0) {
        if (VAKOUserModifySmbConf(map.get()) != 0)
            syslog(LOG_ERR, "%s:%d VAKOUserModifySmbConf failed. vakoerr=0x%04X", kSrc, __LINE__, SLIBErrorGet());
        if (VAKOUserModifyGroup(map.get()) != 0)
            syslog(LOG_ERR, "%s:%d VAKOUserModifyGroup failed. vakoerr=0x%04X", kSrc, __LINE__, SLIBErrorGet());
    }
    for (int i = 0; i < n; i++)
        if (done.get()[i])
            NetBackupAuthUserSet(oldNames[i], users[i]);
    if (SLIBFileCheckKeyValue(SZF_VAKO_INFO, kUserHomeEnable, kYes, 0) == 1)
        SetHomeFolders(oldNames, users, done.get(), n);
    return lock.Release(RenameChrootUsers(oldNames, users, done.get(), n));
}

} // namespace

extern "C" {

int UserSetBatch(const char **oldNames, PVAKOUSER *users, int n)
{
    return slib::Guarded(kSrc, -1, [&] {
        int result = 0;
        if (!oldNames || !users || n < 0) {
            SET_ERR(SLIB_ERR_BAD_PARAMETER);
            result = -1;
        } else if (n > 0) {
            // Also when memory runs out part way (0x0200): the signal below goes.
            result = slib::Guarded(kSrc, -1, [&] { return RunBatch(oldNames, users, n); });
        }
        // The daemon hears of every batch, also of one that failed.
        VAKOScemdSignal(VAKO_SCEMD_SIGNAL);
        return result;
    });
}

int VAKOUserSet(const char *szOldName, PVAKOUSER pUser)
{
    return slib::Guarded(kSrc, -1, [&] {
        if (!pUser) {
            SET_ERR(SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        const char *oldNames[1] = {szOldName};
        PVAKOUSER users[1] = {pUser};
        return UserSetBatch(oldNames, users, 1);
    });
}

} // extern "C"
