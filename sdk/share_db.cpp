// The share database as a cache of smb.conf: opened, built from the text
// file, checked and rebuilt through the shared cache procedure, dumped back.
#include "vako/share_db.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "keydb_internal.h"
#include "slib/conf_read.h"
#include "slib/error.h"
#include "slib/str.h"
#include "slibcxx/border.h"
#include "slibcxx/lines.h"
#include "slibcxx/raii.h"
#include "slibcxx/replace.h"
#include "vako/group_db.h"
#include "vako/service.h"
#include "vako/user_db.h"
#include "vako/user_list.h"

namespace {

using keydb_internal::Buf;
using slib::LineReader;
using slib::SavedError;

// The operations' own source names: log prefixes and the file recorded with
// an error code.
constexpr const char *kSrcOpen = "share_db_open";
constexpr const char *kSrcCheck = "share_db_check_and_rebuild";
constexpr const char *kSrcBuild = "share_db_build";
constexpr const char *kSrcTypeGet = "share_section_type_get";
constexpr const char *kSrcAllocFromConf = "share_alloc_from_conf";
constexpr const char *kSrcGetFromConf = "share_fType_get_from_conf";
constexpr const char *kSrcSetToConf = "share_fType_set_to_conf";
constexpr const char *kSrcRemoveSame = "share_remove_same_users";
constexpr const char *kSrcDump = "share_db_dump";

#define SHARE_ERR(src, code) SLIBErrorSetEx((code), (src), __LINE__)

constexpr int kSectionNameSize = 495;
constexpr int kListSize = 512;
constexpr int kPairsSize = 1024;
constexpr int kSameUsersSize = 1024;
constexpr int kWordSize = 32;
constexpr const char *kReserved[] = {"global", "home", "printers"};
constexpr char kUsersEntry[] = "@users";
constexpr char kYes[] = "yes";
constexpr char kNo[] = "no";

using keydb_internal::HashPtr;
using keydb_internal::ListPtr;
using ShareOwner = slib::OwnedPtr<VAKOSHARE, VAKOShareFree>;
using GroupDbPtr = slib::OwnedPtr<VAKOGROUPDB, VAKOGroupDBClose>;
using UserDbPtr = slib::OwnedPtr<VAKOUSERDB, VAKOUserDBClose>;

// The group and user databases that validate a build's user lists, opened
// at the first share section and kept for the rest of the build.
class Validators {
public:
    // 0, or -1 with 0x0900.
    int Open()
    {
        if (!groups_)
            groups_.reset(VAKOGroupDBOpen());
        if (groups_ && !users_)
            users_.reset(VAKOUserDBOpen());
        if (groups_ && users_)
            return 0;
        syslog(LOG_ERR, "%s:%d the %s database cannot be opened. vakoerr=0x%04X", kSrcAllocFromConf, __LINE__,
               groups_ ? "user" : "group", SLIBErrorGet());
        SHARE_ERR(kSrcAllocFromConf, SLIB_ERR_OPEN);
        return -1;
    }
    VAKOGROUPDB *groups() const { return groups_.get(); }
    VAKOUSERDB *users() const { return users_.get(); }

private:
    GroupDbPtr groups_;
    UserDbPtr users_;
};

// How storing one section ended.
enum class Stored { Ok, Invalid, Failed };

// The codes with which a section is refused for what it holds; any other
// failure (memory, a database) is no fault of the section.
bool SectionFault(int code)
{
    return code == SLIB_ERR_BAD_PARAMETER || code == VAKO_ERR_SHARE_BAD_NAME || code == VAKO_ERR_SHARE_BAD_PATH ||
           code == VAKO_ERR_SHARE_EXISTS || code == SLIB_ERR_BUFFER_SMALL || code == SLIB_ERR_UNICODE;
}

// True when the comma list holds entry as a whole entry.
bool HasEntry(std::string_view list, std::string_view entry)
{
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string_view::npos)
            end = list.size();
        if (list.substr(start, end - start) == entry)
            return true;
        start = end + 1;
    }
    return false;
}

VAKOSHARE *AllocFromConf(const char *name, PSLIBSZHASH pairs, Validators &dbs)
{
    if (!name || !pairs) {
        SHARE_ERR(kSrcAllocFromConf, SLIB_ERR_BAD_PARAMETER);
        return nullptr;
    }
    if (dbs.Open() != 0)
        return nullptr;
    auto value = [&](const char *key) { return SzSLIBSzHashGetValue(pairs, key); };
    const char *listKey[3] = {"invalid users", "write list", "read list"};
    std::string validated[3];
    for (int i = 0; i < 3; i++) {
        const char *v = value(listKey[i]);
        char *out = nullptr;
        int cbOut = 0;
        int r = v ? VAKOUserGetValidUserList2(v, &out, &cbOut, dbs.groups(), dbs.users()) : -1;
        slib::HeapPtr<char> owner(out);
        if (r != 0) {
            syslog(LOG_NOTICE, "%s:%d VAKOUserGetValidUserList2 error. sz[%d]=[%s]", kSrcAllocFromConf, __LINE__, i,
                   v ? v : "(null)");
            // A list that is there but could not be read must never count as
            // empty: an empty deny list would let its users in.
            if (v)
                return nullptr;
            continue;
        }
        validated[i] = out;
    }
    // "@users" as a whole entry: "@users_ro" is another group.
    constexpr int kListType[3] = {VAKO_SHARE_NO_ACCESS, VAKO_SHARE_READ_WRITE, VAKO_SHARE_READ_ONLY};
    int fType = 0;
    for (int i = 0; i < 3 && !fType; i++)
        if (HasEntry(validated[i], kUsersEntry))
            fType = kListType[i];
    if (!fType) {
        const char *guestOk = value("guest ok"), *writeable = value("writeable");
        fType = ShareFTypeGetFromConf(guestOk, writeable);
        if (fType < 0) {
            syslog(LOG_ERR, "%s:%d errno=%d unknown error!! guest ok = %s, writeable = %s", kSrcAllocFromConf, __LINE__,
                   SLIBErrorGet(), guestOk ? guestOk : "NULL", writeable ? writeable : "NULL");
            fType = VAKO_SHARE_READ_ONLY;
        }
    }
    const char *browseable = value("browseable");
    int ftpFlags = 0;
    const struct {
        const char *key;
        int flag;
    } ftp[] = {{"ftp disable list", VAKO_SHARE_FTP_NO_LIST},
               {"ftp disable modify", VAKO_SHARE_FTP_NO_MODIFY},
               {"ftp disable download", VAKO_SHARE_FTP_NO_DOWNLOAD}};
    for (const auto &f : ftp) {
        const char *v = value(f.key);
        if (v && strcmp(v, kYes) == 0)
            ftpFlags |= f.flag;
    }
    VAKOSHAREINFO info = {name,
                          value("comment"),
                          value("path"),
                          validated[0].c_str(),
                          validated[1].c_str(),
                          validated[2].c_str(),
                          fType,
                          browseable && strcmp(browseable, kNo) == 0 ? 0 : 1,
                          ftpFlags};
    return VAKOShareAlloc(&info);
}

Stored SetOne(VAKOSHAREDB *db, PSLIBSZLIST lines, PSLIBSZHASH pairs, const char *section, int type, Validators &dbs)
{
    if (!db || !db->pDb || !lines || !pairs || !section) {
        SHARE_ERR(kSrcBuild, SLIB_ERR_BAD_PARAMETER);
        return Stored::Failed;
    }
    if (type == VAKO_SHARE_SECTION_SHARE) {
        if (pairs->nItem == 0)
            return Stored::Invalid;
        ShareOwner record(AllocFromConf(section, pairs, dbs));
        if (!record) {
            syslog(LOG_ERR, "%s:%d ShareAllocFromConf [%s] failed. vakoerr=0x%04X", kSrcBuild, __LINE__, section,
                   SLIBErrorGet());
            return SectionFault(SLIBErrorGet()) ? Stored::Invalid : Stored::Failed;
        }
        if (VAKOShareDBSet(db, nullptr, record.get()) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOShareDBSet failed. vakoerr=0x%04X", kSrcBuild, __LINE__, SLIBErrorGet());
            return SectionFault(SLIBErrorGet()) ? Stored::Invalid : Stored::Failed;
        }
        return Stored::Ok;
    }
    if (type == VAKO_SHARE_SECTION_RESERVED) {
        if (lines->nItem == 0)
            return Stored::Invalid;
        if (VAKOListDBSet(db->pDb, section, lines) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOListDBSet [%s] failed. vakoerr=0x%04X", kSrcBuild, __LINE__, section,
                   SLIBErrorGet());
            return Stored::Failed;
        }
        return Stored::Ok;
    }
    SHARE_ERR(kSrcBuild, VAKO_ERR_SHARE_SECTION_TYPE);
    syslog(LOG_ERR, "%s:%d section type is unexpected! iSecType=%d", kSrcBuild, __LINE__, type);
    return Stored::Invalid;
}

// One body line of a share section into its pairs: 0, or -1 (0x0D00 for a
// line that is no "key = value", 0x0200).
int SetPair(char *line, PSLIBSZHASH *ppPairs)
{
    char *eq = strchr(line, '=');
    if (!eq) {
        SHARE_ERR(kSrcBuild, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    *eq = '\0';
    char *value = eq + 1;
    if (SLIBStrTrimSpace(line, nullptr) < 0 || SLIBStrTrimSpace(value, nullptr) < 0)
        return -1;
    if (!*line) {
        SHARE_ERR(kSrcBuild, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    if (SLIBSzHashSetValue(ppPairs, line, value) < 0) {
        SHARE_ERR(kSrcBuild, SLIB_ERR_OUT_OF_MEMORY);
        return -1;
    }
    return 0;
}

// "[%s]" and "\t%s" of each further line of a reserved section's value.
bool ReservedSectionDump(slib::FileReplacer &out, const void *value, int cbValue)
{
    if (cbValue <= 0) {
        SHARE_ERR(kSrcDump, SLIB_ERR_BAD_PARAMETER);
        return false;
    }
    ListPtr lines(VAKOListDBUnpack(value, cbValue));
    if (!lines) {
        syslog(LOG_ERR, "%s:%d errno=%d VAKOListDBUnpack() failed!!", kSrcDump, __LINE__, SLIBErrorGet());
        return false;
    }
    for (int i = 0; i < lines->nItem; i++) {
        if (!out.Printf(i == 0 ? "[%s]\n" : "\t%s\n", SLIBSzListGet(lines.get(), i)))
            return false;
    }
    return true;
}

// The thirteen lines of one share.
bool GeneralSectionDump(slib::FileReplacer &out, const VAKOSHARE *share)
{
    std::string valid;
    if (*share->szReadList && *share->szWriteList)
        valid = std::string(share->szReadList) + "," + share->szWriteList;
    else
        valid = *share->szReadList ? share->szReadList : share->szWriteList;
    if (RemoveSameUsers(valid.data()) < 0) {
        syslog(LOG_ERR, "%s:%d RemoveSameUsers() failed! vakoerr=0x%04X, szUserList=[%s]", kSrcDump, __LINE__,
               SLIBErrorGet(), valid.c_str());
        return false;
    }
    valid.resize(strlen(valid.c_str()));
    char guestOk[kWordSize], writeable[kWordSize];
    if (ShareFTypeSetToConf(share->fType, guestOk, writeable, sizeof guestOk, sizeof writeable) != 0) {
        syslog(LOG_ERR, "%s:%d ShareFTypeSetToConf() failed! vakoerror=0x%04X, session[%s], fType=%d", kSrcDump,
               __LINE__, SLIBErrorGet(), share->szName, share->fType);
        return false;
    }
    auto sep = [](const char *list) { return *list ? "," : ""; };
    auto yes = [](bool b) { return b ? kYes : kNo; };
    return out.Printf("[%s]\n"
                      "\tinvalid users=nobody,%s%snobody\n"
                      "\tvalid users=nobody,%s%snobody\n"
                      "\tcomment=\"%s\"\n"
                      "\tpath=%s\n"
                      "\tguest ok=%s\n"
                      "\tbrowseable=%s\n"
                      "\tftp disable list=%s\n"
                      "\tftp disable modify=%s\n"
                      "\tftp disable download=%s\n"
                      "\tread list=nobody,%s%snobody\n"
                      "\twrite list=nobody,%s%snobody\n"
                      "\twriteable=%s\n",
                      share->szName, share->szInvalidUsers, sep(share->szInvalidUsers), valid.c_str(),
                      sep(valid.c_str()), share->szComment, share->szPath, guestOk, yes(share->fBrowseable != 0),
                      yes(share->ftpFlags & VAKO_SHARE_FTP_NO_LIST), yes(share->ftpFlags & VAKO_SHARE_FTP_NO_MODIFY),
                      yes(share->ftpFlags & VAKO_SHARE_FTP_NO_DOWNLOAD), share->szReadList, sep(share->szReadList),
                      share->szWriteList, sep(share->szWriteList), writeable);
}

bool IsReservedName(const char *name)
{
    for (const char *r : kReserved)
        if (strcasecmp(name, r) == 0)
            return true;
    return false;
}

// Every record of the database in key order into the temporary file: true
// when the walk reached the end of the database.
bool DumpRecords(VAKOSHAREDB *db, slib::FileReplacer &out)
{
    if (VAKOBDbCursorSetType(db->pDb, VAKO_BDB_CURSOR_FIRST) != 0) {
        syslog(LOG_ERR, "%s:%d VAKOBDbCursorSetType() failed, vakoerr=0x%04X", kSrcDump, __LINE__, SLIBErrorGet());
        return false;
    }
    Buf key, value;
    VAKOSHARE *raw = nullptr;
    ShareOwner share;
    bool first = true;
    while (VAKOBDbCursorGet(db->pDb, 0, &key.p, &key.cb, &value.p, &value.cb) == 0) {
        if (first) {
            first = false;
            if (VAKOBDbCursorSetType(db->pDb, VAKO_BDB_CURSOR_NEXT) != 0) {
                syslog(LOG_ERR, "%s:%d VAKOBDbCursorSetType() failed, vakoerr=0x%04X", kSrcDump, __LINE__,
                       SLIBErrorGet());
                return false;
            }
        }
        std::string k = keydb_internal::Stored(key);
        if (k.empty()) {
            syslog(LOG_WARNING, "%s:%d VAKOBDbCursorGet() get a NULL key!", kSrcDump, __LINE__);
            continue;
        }
        if (k[0] == '#') {
            if (!IsReservedName(k.c_str() + 1))
                continue;
            if (!ReservedSectionDump(out, value.p, value.cb)) {
                syslog(LOG_ERR, "%s:%d ReservedSectionDump() failed! key=%s, vakoerr=0x%04X", kSrcDump, __LINE__,
                       k.c_str() + 1, SLIBErrorGet());
                return false;
            }
            continue;
        }
        bool unpacked = false;
        if (value.cb <= 0) {
            SHARE_ERR(kSrcDump, SLIB_ERR_BAD_PARAMETER);
        } else {
            raw = share.release();
            unpacked = VAKOShareDBUnPackBounded(value.p, value.cb, &raw) == 0;
            share.reset(raw);
            if (!unpacked)
                syslog(LOG_ERR, "%s:%d VAKOShareDBUnPack() failed!! vakoerr=0x%04X", kSrcDump, __LINE__,
                       SLIBErrorGet());
        }
        if (!unpacked || !GeneralSectionDump(out, share.get())) {
            syslog(LOG_ERR, "%s:%d GeneralSectionDump() failed!! key=%s, vakoerr=0x%04X", kSrcDump, __LINE__, k.c_str(),
                   SLIBErrorGet());
            return false;
        }
    }
    return SLIBErrorGet() == SLIB_ERR_END_OF_ENUM;
}

int OpenSet(void **ppDb, int bTmp)
{
    VAKOSHAREDB *db = static_cast<VAKOSHAREDB *>(*ppDb);
    int r = VAKOShareDBOpenFile(&db, bTmp ? SZF_VAKO_SHARE_DB_TMP : SZF_VAKO_SHARE_DB);
    *ppDb = db;
    return r;
}

void CloseSet(void *pDb)
{
    if (pDb)
        VAKOShareDBClose(static_cast<VAKOSHAREDB *>(pDb));
}

VAKOBDB *FileAt(void *pDb, int) { return pDb ? static_cast<VAKOSHAREDB *>(pDb)->pDb : nullptr; }

// Readable as smb.conf is.
constexpr VAKOBDBCACHEFILE kCacheFile = {SZF_VAKO_SHARE_DB, SZF_VAKO_SHARE_DB_TMP, SZF_SMB_CONF, 0, VAKO_BDB_MODE};

int Build(FILE *fp, VAKOSHAREDB *db)
{
    if (!fp || !db || !db->pDb) {
        SHARE_ERR(kSrcBuild, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    ListPtr lines(PslSLIBSzListAlloc(kListSize));
    HashPtr pairs(SLIBSzHashAlloc(kPairsSize));
    if (!lines || !pairs) {
        SHARE_ERR(kSrcBuild, SLIB_ERR_OUT_OF_MEMORY);
        return -1;
    }
    Validators dbs;
    char section[kSectionNameSize] = "";
    int type = -1;
    // A section that cannot be stored for what it holds is only logged; one
    // that cannot be stored for any other reason fails the build, for the
    // next dump would drop it from smb.conf.
    auto store = [&]() {
        Stored s = SetOne(db, lines.get(), pairs.get(), section, type, dbs);
        if (s != Stored::Ok)
            syslog(LOG_ERR, "%s:%d ShareDBSetOne() failed! vakoerr=0x%04X", kSrcBuild, __LINE__, SLIBErrorGet());
        ShareDBSectionReset(lines.get(), pairs.get(), type);
        return s != Stored::Failed;
    };
    LineReader in(fp);
    while (char *line = in.Next()) {
        if (SLIBFileIsSectionLine(line, static_cast<int>(in.len()))) {
            if (type >= 0 && !store())
                return -1;
            type = -1;
            if (VAKOShareParseSectionName(line, section, sizeof section) != 0) {
                syslog(LOG_ERR, "%s:%d Failed to parse section name[%s], vakoerr=0x%04X", kSrcBuild, __LINE__, line,
                       SLIBErrorGet());
                continue;
            }
            type = VAKOShareSectionTypeGet(section);
            if (type == VAKO_SHARE_SECTION_RESERVED) {
                PSLIBSZLIST raw = lines.release();
                int r = SLIBSzListPush(&raw, section);
                lines.reset(raw);
                if (r < 0) {
                    syslog(LOG_ERR, "%s:%d SLIBSzListPush [%s] failed!! vakoerr=0x%04X", kSrcBuild, __LINE__, line,
                           SLIBErrorGet());
                    return -1;
                }
            }
            continue;
        }
        if (type < 0)
            continue;
        if (SLIBStrTrimSpace(line, nullptr) < 0)
            return -1;
        int r = 0;
        if (type == VAKO_SHARE_SECTION_SHARE) {
            if (!*line)
                continue;
            PSLIBSZHASH raw = pairs.release();
            r = SetPair(line, &raw);
            pairs.reset(raw);
        } else {
            PSLIBSZLIST raw = lines.release();
            r = SLIBSzListPush(&raw, line) < 0 ? -1 : 0;
            lines.reset(raw);
        }
        if (r != 0) {
            syslog(LOG_ERR, "%s:%d Failed to set section data. section[%s], vakoerr=0x%04X", kSrcBuild, __LINE__,
                   section, SLIBErrorGet());
            if (SLIBErrorGet() == SLIB_ERR_OUT_OF_MEMORY)
                return -1;
            ShareDBSectionReset(lines.get(), pairs.get(), type);
            type = -1;
        }
    }
    if (type >= 0 && !store())
        return -1;
    if (!in.AtEnd()) {
        syslog(LOG_ERR, "%s:%d Fail to read the end of the file. errno=%d/%m", kSrcBuild, __LINE__, errno);
        SHARE_ERR(kSrcBuild, SLIB_ERR_READ);
        return -1;
    }
    struct stat st;
    if (fstat(fileno(fp), &st) != 0) {
        syslog(LOG_ERR, "%s:%d fstat() failed!! errno=%d/%m", kSrcBuild, __LINE__, errno);
        SHARE_ERR(kSrcBuild, SLIB_ERR_STAT);
        return -1;
    }
    if (VAKOBDbConfSyncTimeSet(db->pDb, st.st_mtime) != 0) {
        syslog(LOG_ERR, "%s:%d VAKOBDbConfSyncTimeSet() failed!! vakoerr=0x%04X", kSrcBuild, __LINE__, SLIBErrorGet());
        return -1;
    }
    return 0;
}

// Removes the dump's temporary file after a failure, keeping its code:
// false (0x3900) when it stays behind.
bool RemoveTmp(slib::FileReplacer &out)
{
    SavedError saved;
    if (!out.Discard()) {
        syslog(LOG_ERR, "%s:%d unlink(%s) failed. errno=%d/%m", kSrcDump, __LINE__, SZF_SMB_CONF_TMP, errno);
        SHARE_ERR(kSrcDump, VAKO_ERR_TMP_REMOVE);
        return false;
    }
    saved.Restore();
    return true;
}

} // namespace

extern "C" {

// The share database's check builds and renames its new file itself: its
// codes, rebuild's included, are the check's.
const VAKOBDBCACHE gVakoShareDbCache = {
    .nFile = 1,
    .rgFile = &kCacheFile,
    .bMarkOldSet = 0,
    .pfnOpenSet = OpenSet,
    .pfnCloseSet = CloseSet,
    .pfnFile = FileAt,
    .szRebuildLock = VAKO_SHARE_DB_REBUILD_LOCK,
    .szSrcOpen = kSrcOpen,
    .szSrcCheck = "share_db_check_and_rebuild",
    .szSrcRebuild = "share_db_check_and_rebuild",
    .rgFlagOrder = nullptr,
    .rgRenameOrder = nullptr,
    .szLogRebuildFailed = nullptr,
    .szLogReopenFailed = nullptr,
    .szLogOldSetFailed = nullptr,
    .szLogRenameFailed = nullptr,
    .reopenFailCode = SLIB_ERR_OPEN,
};

VAKOSHAREDB *VAKOShareDBOpen(void) { return static_cast<VAKOSHAREDB *>(VAKOBDbCacheOpen(&gVakoShareDbCache)); }

int VAKOShareDBOpenFile(VAKOSHAREDB **pp, const char *path)
{
    if (!pp || !path) {
        SHARE_ERR(kSrcOpen, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    auto *db = static_cast<VAKOSHAREDB *>(calloc(1, sizeof(VAKOSHAREDB)));
    if (!db) {
        SHARE_ERR(kSrcOpen, SLIB_ERR_OUT_OF_MEMORY);
        return -1;
    }
    slib::OwnedPtr<VAKOSHAREDB, VAKOShareDBClose> handle(db);
    int result = keydb_internal::OpenFileSet(kSrcOpen, path, {{"", kCacheFile.bDup, kCacheFile.mode, &db->pDb}}, [db] {
        slib::FilePtr conf(fopen(SZF_SMB_CONF, "re"));
        if (!conf) {
            SHARE_ERR(kSrcOpen, SLIB_ERR_OPEN);
            return -1;
        }
        return ShareDBBuild(conf.get(), db);
    });
    if (result < 0)
        return -1;
    if (*pp)
        VAKOShareDBClose(*pp);
    *pp = handle.release();
    return result;
}

int VAKOShareDBCheckAndRebuild(VAKOSHAREDB **pp)
{
    if (!pp || !*pp) {
        SHARE_ERR(kSrcCheck, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    void *db = *pp;
    int r = VAKOBDbCacheCheckAndRebuild(&gVakoShareDbCache, &db);
    *pp = static_cast<VAKOSHAREDB *>(db);
    return r;
}

int ShareDBBuild(FILE *smbconf, VAKOSHAREDB *db) { return Build(smbconf, db); }

int ShareDBSetOne(VAKOSHAREDB *db, PSLIBSZLIST lines, PSLIBSZHASH pairs, const char *section, int type)
{
    Validators dbs;
    return SetOne(db, lines, pairs, section, type, dbs) == Stored::Ok ? 0 : -1;
}

void ShareDBSectionReset(PSLIBSZLIST lines, PSLIBSZHASH pairs, int type)
{
    if (!lines || !pairs || type < 0)
        return;
    if (type == VAKO_SHARE_SECTION_SHARE && pairs->nItem > 0)
        SLIBSzHashRemoveAll(pairs);
    else if (type == VAKO_SHARE_SECTION_RESERVED && lines->nItem > 0)
        SLIBSzListRemoveAll(lines);
}

int VAKOShareSectionTypeGet(const char *name)
{
    if (!name) {
        SHARE_ERR(kSrcTypeGet, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    return IsReservedName(name) ? VAKO_SHARE_SECTION_RESERVED : VAKO_SHARE_SECTION_SHARE;
}

VAKOSHARE *ShareAllocFromConf(const char *name, PSLIBSZHASH pairs)
{
    Validators dbs;
    return AllocFromConf(name, pairs, dbs);
}

int ShareFTypeGetFromConf(const char *guestOk, const char *writeable)
{
    if (!guestOk || !writeable) {
        SHARE_ERR(kSrcGetFromConf, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    bool guest = strcmp(guestOk, kYes) == 0, write = strcmp(writeable, kYes) == 0;
    if (guest && write)
        return VAKO_SHARE_READ_WRITE;
    if (guest && strcmp(writeable, kNo) == 0)
        return VAKO_SHARE_READ_ONLY;
    if (strcmp(guestOk, kNo) == 0 && strcmp(writeable, kNo) == 0)
        return VAKO_SHARE_NO_ACCESS;
    SHARE_ERR(kSrcGetFromConf, VAKO_ERR_SHARE_PERMISSION);
    return -1;
}

int ShareFTypeSetToConf(int fType, char *guestOk, char *writeable, int cbGuestOk, int cbWriteable)
{
    if (fType <= 0 || !guestOk || !writeable || cbGuestOk < 4 || cbWriteable < 4) {
        SHARE_ERR(kSrcSetToConf, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    const char *g, *w;
    if (fType & VAKO_SHARE_NO_ACCESS) {
        g = kNo;
        w = kNo;
    } else if (fType & VAKO_SHARE_READ_WRITE) {
        g = kYes;
        w = kYes;
    } else if (fType & VAKO_SHARE_READ_ONLY) {
        g = kYes;
        w = kNo;
    } else {
        SHARE_ERR(kSrcSetToConf, VAKO_ERR_SHARE_FTYPE);
        return -1;
    }
    snprintf(guestOk, static_cast<size_t>(cbGuestOk), "%s", g);
    snprintf(writeable, static_cast<size_t>(cbWriteable), "%s", w);
    return 0;
}

int RemoveSameUsers(char *list)
{
    if (!list) {
        syslog(LOG_ERR, "%s:%d szUserList is NULL!!\n", kSrcRemoveSame, __LINE__);
        SHARE_ERR(kSrcRemoveSame, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    if (!*list)
        return 0;
    HashPtr names(SLIBSzHashAlloc(kSameUsersSize));
    ListPtr keys(PslSLIBSzListAlloc(kSameUsersSize));
    if (!names || !keys) {
        SHARE_ERR(kSrcRemoveSame, SLIB_ERR_OUT_OF_MEMORY);
        return -1;
    }
    char *cursor = list;
    while (char *item = strsep(&cursor, ",")) {
        if (!*item)
            continue;
        PSLIBSZHASH raw = names.release();
        int r = SLIBSzHashSetValue(&raw, item, "");
        names.reset(raw);
        if (r < 0) {
            SHARE_ERR(kSrcRemoveSame, SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
    }
    PSLIBSZLIST raw = keys.release();
    int n = SLIBSzHashEnumKey(names.get(), &raw);
    keys.reset(raw);
    if (n < 0)
        return -1;
    // The distinct names are never longer than the list they came from.
    std::string joined;
    for (int i = 0; i < keys->nItem; i++) {
        if (i)
            joined += ',';
        joined += SLIBSzListGet(keys.get(), i);
    }
    memcpy(list, joined.c_str(), joined.size() + 1);
    return 1;
}

int VAKOShareDBDump(VAKOSHAREDB *db)
{
    if (!db || !db->pDb) {
        SHARE_ERR(kSrcDump, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    slib::FileReplacer out(kSrcDump);
    if (!out.CreateFixed(SZF_SMB_CONF_TMP, 0666)) {
        syslog(LOG_ERR, "%s:%d fopen(%s) failed. errno=%d/%m", kSrcDump, __LINE__, SZF_SMB_CONF_TMP, errno);
        return -1;
    }
    bool ok = DumpRecords(db, out);
    // Written out and on the disk before it replaces smb.conf: a file renamed
    // into place before its data could be lost whole by a power failure.
    struct stat st;
    if (ok && !out.Finish(&st)) {
        if (out.failed() == slib::FileReplacer::Step::kStat) {
            syslog(LOG_ERR, "%s:%d stat() [%s] failed, errno=%d/%m", kSrcDump, __LINE__, SZF_SMB_CONF, errno);
        } else {
            syslog(LOG_ERR, "%s:%d fflush failed!! errno=%d/%m", kSrcDump, __LINE__, errno);
            if (errno == ENOSPC)
                SHARE_ERR(kSrcDump, VAKO_ERR_BDB_NO_SPACE);
        }
        ok = false;
    }
    // smb.conf is replaced only by a whole file, and a dump whose file did
    // not take its place has failed.
    if (ok && !out.RenameOver(SZF_SMB_CONF)) {
        syslog(LOG_ERR, "%s:%d rename(%s, %s) failed. errno=%d/%m", kSrcDump, __LINE__, SZF_SMB_CONF_TMP, SZF_SMB_CONF,
               errno);
        ok = false;
    }
    if (!ok) {
        RemoveTmp(out);
        return -1;
    }
    if (VAKOBDbConfSyncTimeSet(db->pDb, st.st_mtime) != 0) {
        syslog(LOG_ERR, "%s:%d VAKOBDbConfSyncTimeSet() failed!! vakoerr=0x%04X", kSrcDump, __LINE__, SLIBErrorGet());
        syslog(LOG_ERR, "%s:%d ShareDbConfSyncTimeSet() failed! vakoerr=0x%04X", kSrcDump, __LINE__, SLIBErrorGet());
        return -1;
    }
    return 0;
}

} // extern "C"
