// Backup sets: records that mirror a section of the network or local
// backup-set file, reading every set of a file and writing one set.
#include "vako/backup_set.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <iterator>
#include <string>
#include <string_view>
#include <utility>

#include "slib/conf_read.h"
#include "slib/conf_write.h"
#include "slib/error.h"
#include "slib/str.h"
#include "slib/szlist.h"
#include "slibcxx/border.h"
#include "slibcxx/lines.h"
#include "slibcxx/raii.h"
#include "vako/share.h"

namespace {

// The operations' own source names: they head the log lines and are
// recorded with the error codes.
constexpr const char *kSrcGetAll = "backup_conf_get_all";
constexpr const char *kSrcSectionCount = "backup_conf_section_count";
constexpr const char *kSrcFreeAll = "backup_conf_free_all";
constexpr const char *kSrcNetAlloc = "netbkp_conf_alloc";
constexpr const char *kSrcLocalAlloc = "localbkp_conf_alloc";
constexpr const char *kSrcNetSet = "netbkp_conf_set_one";
constexpr const char *kSrcLocalSet = "localbkp_conf_set_one";

constexpr int kListSize = 512;
constexpr int kHashSize = 1024;
constexpr const char *kKeyLineFormat = "\t%s=\"%s\"\n";
// The network sets hold server passwords; the local file is a settings
// file, no program: readable by all at most, as the umask allows.
constexpr mode_t kNetFileMode = 0600;
constexpr mode_t kLocalFileMode = 0644;

#define BKP_ERR(src, code) SLIBErrorSetEx((code), (src), __LINE__)

using HashPtr = slib::HeapPtr<SLIBSZHASH>;
using ListPtr = slib::HeapPtr<SLIBSZLIST>;

const char *const kDestWords[] = {"internal", "usb", "esata", "usbbkp", "esatabkp"};

// Leading blanks, a sign and digits; stops at the first other character,
// no digits giving 0. Out-of-range values stop at the int limits.
int32_t Decimal(const char *s)
{
    while (isspace(static_cast<unsigned char>(*s)))
        s++;
    bool neg = *s == '-';
    if (*s == '-' || *s == '+')
        s++;
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        v = v * 10 + (*s - '0');
        if (v > static_cast<long long>(INT32_MAX) + 1)
            v = static_cast<long long>(INT32_MAX) + 1;
    }
    if (neg)
        v = -v;
    if (v > INT32_MAX)
        v = INT32_MAX;
    return static_cast<int32_t>(v);
}

int32_t DestType(const char *word)
{
    for (size_t i = 0; i < std::size(kDestWords); i++)
        if (strcmp(word, kDestWords[i]) == 0)
            return static_cast<int32_t>(i);
    return -1;
}

const char *DestWord(int32_t type)
{
    return type >= 0 && static_cast<size_t>(type) < std::size(kDestWords) ? kDestWords[type] : "";
}

// The string fields of the two records with their keys, in the order a
// network set writes them.
template <class T> struct TextField {
    const char *key;
    char *T::*field;
};
constexpr TextField<VAKONETBKPCONF> kNetTexts[] = {
    {"bkp_server", &VAKONETBKPCONF::bkp_server},       {"bkp_ip", &VAKONETBKPCONF::bkp_ip},
    {"bkp_auth_user", &VAKONETBKPCONF::bkp_auth_user}, {"server_pass", &VAKONETBKPCONF::server_pass},
    {"last_bkp_time", &VAKONETBKPCONF::last_bkp_time}, {"bkp_module", &VAKONETBKPCONF::bkp_module},
    {"server_pass2", &VAKONETBKPCONF::server_pass2},   {"bkp_shares", &VAKONETBKPCONF::bkp_shares},
    {"bkp_apps", &VAKONETBKPCONF::bkp_apps},
};
// In the order a local set writes them.
constexpr TextField<VAKOLOCALBKPCONF> kLocalTexts[] = {
    {"dest_share", &VAKOLOCALBKPCONF::dest_share},
    {"bkp_shares", &VAKOLOCALBKPCONF::bkp_shares},
    {"bkp_apps", &VAKOLOCALBKPCONF::bkp_apps},
    {"last_bkp_time", &VAKOLOCALBKPCONF::last_bkp_time},
    {"last_bkp_result", &VAKOLOCALBKPCONF::last_bkp_result},
    {"dest_id", &VAKOLOCALBKPCONF::dest_id},
};

template <class T> struct IntField {
    const char *key;
    int32_t T::*field;
    int32_t absent;
};
// In the order a network set writes them.
constexpr IntField<VAKONETBKPCONF> kNetInts[] = {
    {"last_bkp_status", &VAKONETBKPCONF::last_bkp_status, -1},
    {"ssh", &VAKONETBKPCONF::ssh, 0},
    {"server_type", &VAKONETBKPCONF::server_type, 1},
    {"blockbkp", &VAKONETBKPCONF::blockbkp, 0},
    {"incrbkp", &VAKONETBKPCONF::incrbkp, 0},
};

char *CopyOf(const char *src, const char *s)
{
    char *c = strdup(s);
    if (!c)
        BKP_ERR(src, SLIB_ERR_OUT_OF_MEMORY);
    return c;
}

template <class T, size_t N> void FreeRecord(T *rec, const TextField<T> (&texts)[N])
{
    if (!rec)
        return;
    free(rec->szName);
    for (const auto &t : texts)
        free(rec->*t.field);
    free(rec);
}

template <class T> void FreeArray(T **arr, int n, void (*freeRecord)(T *))
{
    if (!arr || n <= 0)
        return;
    for (int i = 0; i < n; i++)
        freeRecord(arr[i]);
    free(arr);
}

// A new zeroed record named section, its strings from pairs ("" when
// absent); NULL on failure with the code recorded under src.
template <class T, size_t N>
T *AllocRecord(const char *src, const char *section, PSLIBSZHASH pairs, const TextField<T> (&texts)[N])
{
    if (!section || !section[0] || !pairs) {
        BKP_ERR(src, SLIB_ERR_BAD_PARAMETER);
        return nullptr;
    }
    auto *rec = static_cast<T *>(calloc(1, sizeof(T)));
    if (!rec) {
        BKP_ERR(src, SLIB_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    bool ok = (rec->szName = CopyOf(src, section)) != nullptr;
    for (const auto &t : texts) {
        if (!ok)
            break;
        const char *v = SzSLIBSzHashGetValue(pairs, t.key);
        ok = (rec->*t.field = CopyOf(src, v ? v : "")) != nullptr;
    }
    if (!ok) {
        FreeRecord(rec, texts);
        return nullptr;
    }
    return rec;
}

bool OneLine(const char *s) { return !s || !strpbrk(s, "\r\n"); }

// A name the file can hold and give back: not empty, one line, and short
// enough to be read back whole.
bool SoundName(const char *name) { return name && name[0] && OneLine(name) && strlen(name) <= BACKUP_SET_NAME_MAX; }

bool IsHeader(std::string_view line) { return SLIBFileIsSectionLine(line.data(), static_cast<int>(line.size())) == 1; }

// 1 when the file has a header naming section, 0 when not, -1 when it
// cannot be read (the code recorded under src).
int HasSection(const char *src, const char *file, const char *section)
{
    slib::LineReader in(file, src);
    if (!in.ok())
        return -1;
    while (in.Next())
        if (IsHeader(in.view()) && SLIBFileMatchSection(in.line(), static_cast<int>(in.len()), section) == 1)
            return 1;
    return in.CheckEnd() ? 0 : -1;
}

// Creates the missing file of a new set, empty. False (logged) on failure.
bool CreateSetFile(const char *src, const char *file, mode_t mode)
{
    struct stat st;
    if (stat(file, &st) == 0)
        return true;
    if (errno != ENOENT) {
        syslog(LOG_ERR, "%s:%d Failed to stat file [%s], errno=[%d/%m]", src, __LINE__, file, errno);
        BKP_ERR(src, SLIB_ERR_STAT);
        return false;
    }
    slib::Fd fd(open(file, O_RDWR | O_CREAT | O_EXCL | O_TRUNC | O_SYNC | O_CLOEXEC, mode));
    // Another writer may have created it since the stat: it exists, as wanted.
    if (fd.get() < 0 && errno != EEXIST) {
        syslog(LOG_ERR, "%s:%d Failed to open file [%s], errno=[%d/%m]", src, __LINE__, file, errno);
        BKP_ERR(src, SLIB_ERR_OPEN);
        return false;
    }
    // The mode of a file of passwords must not depend on the umask.
    if (fd.get() >= 0 && mode == kNetFileMode && fchmod(fd.get(), mode) != 0) {
        syslog(LOG_ERR, "%s:%d Failed to open file [%s], errno=[%d/%m]", src, __LINE__, file, errno);
        BKP_ERR(src, SLIB_ERR_WRITE);
        unlink(file);
        return false;
    }
    return true;
}

// How SetOne writes the record into the hash; false when a store fails.
using FillFn = bool (*)(const void *conf, HashPtr &hash);

bool Store(HashPtr &hash, const char *key, const char *value)
{
    PSLIBSZHASH raw = hash.release();
    int r = SLIBSzHashSetValue(&raw, key, value);
    hash.reset(raw);
    return r >= 0;
}

bool FillNet(const void *p, HashPtr &hash)
{
    const auto *conf = static_cast<const VAKONETBKPCONF *>(p);
    for (const auto &t : kNetTexts)
        if (const char *v = conf->*t.field; v && !Store(hash, t.key, v))
            return false;
    for (const auto &f : kNetInts)
        if (!Store(hash, f.key, std::to_string(conf->*f.field).c_str()))
            return false;
    return true;
}

bool FillLocal(const void *p, HashPtr &hash)
{
    const auto *conf = static_cast<const VAKOLOCALBKPCONF *>(p);
    if (!Store(hash, "dest_type", DestWord(conf->dest_type)))
        return false;
    for (const auto &t : kLocalTexts) {
        const char *v = conf->*t.field;
        if (!Store(hash, t.key, v ? v : ""))
            return false;
    }
    return Store(hash, "incrbkp", std::to_string(conf->incrbkp).c_str());
}

struct SetKind {
    const char *src;
    const char *file;
    mode_t mode;
    FillFn fill;
};

// One set written: new (appended) or replacing the section szOld. Names
// and texts are checked before anything is read or written.
int SetOne(const SetKind &kind, const char *szOld, const void *conf, const char *szName, bool textsSound)
{
    if (!conf) {
        BKP_ERR(kind.src, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    if (!SoundName(szName) || !OneLine(szOld) || !textsSound) {
        syslog(LOG_ERR, "%s:%d Bad backup set [%s]: empty, too long or holding a line end", kind.src, __LINE__,
               szName ? szName : "(null)");
        BKP_ERR(kind.src, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    HashPtr hash(SLIBSzHashAlloc(kHashSize));
    if (!hash) {
        BKP_ERR(kind.src, SLIB_ERR_OUT_OF_MEMORY);
        return -1;
    }
    bool replace = false;
    if (szOld && szOld[0]) {
        PSLIBSZHASH raw = hash.release();
        int n = SLIBFileGetSection(kind.file, szOld, &raw);
        hash.reset(raw);
        if (n < 0)
            return -1;
        // A section without key lines is still the set to replace: adding
        // it again would find it and fail, or make a second one.
        int has = n > 0 ? 1 : HasSection(kind.src, kind.file, szOld);
        if (has < 0)
            return -1;
        replace = has == 1;
    }
    if (!kind.fill(conf, hash)) {
        BKP_ERR(kind.src, SLIB_ERR_OUT_OF_MEMORY);
        return -1;
    }
    if (!replace) {
        if (!CreateSetFile(kind.src, kind.file, kind.mode))
            return -1;
        if (ErrSLIBFileAddSection(kind.file, szName, hash.get(), kKeyLineFormat) <= 0) {
            syslog(LOG_ERR, "%s:%d ErrSLIBFileAddSection() failed!! szFile=[%s], section=[%s], errno=[0x%04X]",
                   kind.src, __LINE__, kind.file, szName, SLIBErrorGet());
            return -1;
        }
        return 0;
    }
    // Renaming onto another set's name would leave two sections of that name.
    int clash = strcmp(szOld, szName) != 0 ? HasSection(kind.src, kind.file, szName) : 0;
    if (clash == 1)
        BKP_ERR(kind.src, SLIB_ERR_BAD_PARAMETER);
    if (clash != 0 || ErrSLIBFileSetSection(kind.file, szOld, szName, hash.get(), kKeyLineFormat) <= 0) {
        syslog(LOG_ERR,
               "%s:%d ErrSLIBFileSetSection() failed!! szFile=[%s], old_section=[%s], new_section=[%s], "
               "errno=[0x%04X]",
               kind.src, __LINE__, kind.file, szOld, szName, SLIBErrorGet());
        return -1;
    }
    return 0;
}

template <class T, size_t N> bool TextsSound(const T *conf, const TextField<T> (&texts)[N])
{
    if (!conf)
        return true;
    for (const auto &t : texts)
        if (!OneLine(conf->*t.field))
            return false;
    return true;
}

// Builds the record of a finished section into arr[idx].
bool BuildRecord(int type, const char *name, PSLIBSZHASH hash, void **arr, int idx)
{
    arr[idx] = type == BACKUP_TYPE_NETBKP ? static_cast<void *>(VAKONetBkpConfAlloc(name, hash))
                                          : static_cast<void *>(VAKOLocalBkpConfAlloc(name, hash));
    if (arr[idx])
        return true;
    syslog(LOG_ERR, "%s:%d %s() failed!! szCurSetName=[%s], idx=[%d], errno=[0x%04X]", kSrcGetAll, __LINE__,
           type == BACKUP_TYPE_NETBKP ? "VAKONetBkpConfAlloc" : "VAKOLocalBkpConfAlloc", name, idx, SLIBErrorGet());
    return false;
}

// Reads the sets of file into arr (cSet slots): their number, or -1.
int ReadSets(const char *file, int type, int cSet, void **arr)
{
    ListPtr list(PslSLIBSzListAlloc(kListSize));
    HashPtr hash(list ? SLIBSzHashAlloc(kHashSize) : nullptr);
    if (!list || !hash) {
        syslog(LOG_ERR, "%s:%d out of memory!!", kSrcGetAll, __LINE__);
        BKP_ERR(kSrcGetAll, SLIB_ERR_OUT_OF_MEMORY);
        return -1;
    }
    // A read error must not pass for the end of the file: sets would be missing.
    slib::LineReader in(file, kSrcGetAll);
    if (!in.ok())
        return -1;
    // The set's name whole: a name cut short would be another set's, and
    // saving that set again would add it.
    std::string cur;
    int iCount = 0;
    // The set read so far ends: its record goes to the next slot. More
    // sets than counted means the file changed meanwhile.
    auto endSet = [&] {
        if (iCount >= cSet) {
            syslog(LOG_ERR, "%s:%d iCount [%d] >= cBkpset [%d].", kSrcGetAll, __LINE__, iCount, cSet);
            return false;
        }
        if (!cur.empty()) {
            if (!BuildRecord(type, cur.c_str(), hash.get(), arr, iCount))
                return false;
            iCount++;
        }
        return true;
    };
    while (in.Next()) {
        std::string_view view = in.view();
        std::string copy(view);
        char *line = copy.data();
        if (IsHeader(view)) {
            if (!endSet())
                return -1;
            std::string name(copy.size() + 1, '\0');
            if (VAKOShareParseSectionName(line, name.data(), static_cast<int>(name.size())) == 0) {
                cur = name.c_str();
            } else {
                cur.clear();
                syslog(LOG_ERR, "%s:%d Failed to parse section name[%s], errno=[0x%04X]", kSrcGetAll, __LINE__, line,
                       SLIBErrorGet());
            }
            SLIBSzHashRemoveAll(hash.get());
            continue;
        }
        if (cur.empty())
            continue;
        if (SLIBStrTrimSpace(line, nullptr) < 0) {
            syslog(LOG_ERR, "%s:%d SLIBStrTrimSpace() failed! szInput[%s], errno=[0x%04X]", kSrcGetAll, __LINE__, line,
                   SLIBErrorGet());
            return -1;
        }
        if (!line[0])
            continue;
        SLIBSzListRemoveAll(list.get());
        PSLIBSZLIST raw = list.release();
        int split = SLIBStrSepPair(line, &raw);
        list.reset(raw);
        if (split != 0) {
            syslog(LOG_ERR, "%s:%d SLIBStrSepPair [%s] failed!! errno=[0x%04X]", kSrcGetAll, __LINE__, line,
                   SLIBErrorGet());
            continue;
        }
        if (!Store(hash, SLIBSzListGet(list.get(), 0), SLIBSzListGet(list.get(), 1))) {
            syslog(LOG_ERR, "%s:%d SLIBSzHashSetValue() failed. errno=[0x%04X]", kSrcGetAll, __LINE__, SLIBErrorGet());
            return -1;
        }
    }
    return in.CheckEnd() && endSet() ? iCount : -1;
}

// The records of one reading, cSet slots: the records built so far are
// the non-NULL ones, freed with the array unless it is handed out.
class SetArray {
public:
    SetArray(int cSet, int type)
        : arr_(static_cast<void **>(calloc(static_cast<size_t>(cSet), sizeof(void *)))), n_(cSet), type_(type)
    {
    }
    ~SetArray()
    {
        if (!arr_)
            return;
        for (int i = 0; i < n_; i++) {
            if (type_ == BACKUP_TYPE_NETBKP)
                VAKONetBkpConfFree(static_cast<VAKONETBKPCONF *>(arr_[i]));
            else
                VAKOLocalBkpConfFree(static_cast<VAKOLOCALBKPCONF *>(arr_[i]));
        }
        free(arr_);
    }
    SetArray(const SetArray &) = delete;
    SetArray &operator=(const SetArray &) = delete;
    void **get() const { return arr_; }
    void **release() { return std::exchange(arr_, nullptr); }

private:
    void **arr_;
    int n_;
    int type_;
};

} // namespace

extern "C" {

int VAKOBackupConfSectionCount(const char *path)
{
    return slib::Guarded(kSrcSectionCount, -1, [&] {
        if (!path) {
            BKP_ERR(kSrcSectionCount, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        struct stat st;
        if (stat(path, &st) != 0)
            return 0;
        slib::LineReader in(path, kSrcSectionCount);
        if (!in.ok())
            return -1;
        int n = 0;
        while (in.Next())
            n += IsHeader(in.view());
        return in.CheckEnd() ? n : -1;
    });
}

int VAKOBackupConfGetAll(void ***pArr, int type)
{
    return slib::Guarded(kSrcGetAll, -1, [&] {
        if (!pArr) {
            BKP_ERR(kSrcGetAll, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        *pArr = nullptr;
        const char *file = type == BACKUP_TYPE_NETBKP ? SZF_NETBKP_CONF : SZF_LOCALBKP_CONF;
        int cSet = VAKOBackupConfSectionCount(file);
        if (cSet < 0) {
            syslog(LOG_ERR, "%s:%d VAKOBackupConfSectionCount() failed!! errno=[0x%04X]", kSrcGetAll, __LINE__,
                   SLIBErrorGet());
            return -1;
        }
        if (cSet == 0)
            return 0;
        SetArray sets(cSet, type);
        if (!sets.get()) {
            syslog(LOG_ERR, "%s:%d out of memory!!", kSrcGetAll, __LINE__);
            BKP_ERR(kSrcGetAll, SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
        int n = ReadSets(file, type, cSet, sets.get());
        if (n < 0)
            return -1;
        *pArr = sets.release();
        return n;
    });
}

VAKONETBKPCONF *VAKONetBkpConfAlloc(const char *section, PSLIBSZHASH pairs)
{
    VAKONETBKPCONF *rec = AllocRecord(kSrcNetAlloc, section, pairs, kNetTexts);
    if (!rec)
        return nullptr;
    for (const auto &f : kNetInts) {
        const char *v = SzSLIBSzHashGetValue(pairs, f.key);
        rec->*f.field = v ? Decimal(v) : f.absent;
    }
    return rec;
}

VAKOLOCALBKPCONF *VAKOLocalBkpConfAlloc(const char *section, PSLIBSZHASH pairs)
{
    VAKOLOCALBKPCONF *rec = AllocRecord(kSrcLocalAlloc, section, pairs, kLocalTexts);
    if (!rec)
        return nullptr;
    const char *dest = SzSLIBSzHashGetValue(pairs, "dest_type");
    rec->dest_type = dest ? DestType(dest) : -1;
    const char *incr = SzSLIBSzHashGetValue(pairs, "incrbkp");
    rec->incrbkp = incr ? Decimal(incr) : 0;
    return rec;
}

int VAKONetBkpConfSetOne(const char *szOldBkpset, const VAKONETBKPCONF *pConf)
{
    return slib::Guarded(kSrcNetSet, -1, [&] {
        static const SetKind kind = {kSrcNetSet, SZF_NETBKP_CONF, kNetFileMode, FillNet};
        return SetOne(kind, szOldBkpset, pConf, pConf ? pConf->szName : nullptr, TextsSound(pConf, kNetTexts));
    });
}

int VAKOLocalBkpConfSetOne(const char *szOldBkpset, const VAKOLOCALBKPCONF *pConf)
{
    return slib::Guarded(kSrcLocalSet, -1, [&] {
        static const SetKind kind = {kSrcLocalSet, SZF_LOCALBKP_CONF, kLocalFileMode, FillLocal};
        return SetOne(kind, szOldBkpset, pConf, pConf ? pConf->szName : nullptr, TextsSound(pConf, kLocalTexts));
    });
}

void VAKONetBkpConfFree(VAKONETBKPCONF *pConf) { FreeRecord(pConf, kNetTexts); }

void VAKOLocalBkpConfFree(VAKOLOCALBKPCONF *pConf) { FreeRecord(pConf, kLocalTexts); }

void VAKONetBkpConfArrayFree(VAKONETBKPCONF **arr, int n) { FreeArray(arr, n, VAKONetBkpConfFree); }

void VAKOLocalBkpConfArrayFree(VAKOLOCALBKPCONF **arr, int n) { FreeArray(arr, n, VAKOLocalBkpConfFree); }

void VAKOBackupConfFreeAll(void **arr, int n, int type)
{
    if (!arr || n <= 0)
        return;
    switch (type) {
    case BACKUP_TYPE_NETBKP:
        VAKONetBkpConfArrayFree(reinterpret_cast<VAKONETBKPCONF **>(arr), n);
        break;
    case BACKUP_TYPE_LOCALBKP:
        VAKOLocalBkpConfArrayFree(reinterpret_cast<VAKOLOCALBKPCONF **>(arr), n);
        break;
    default:
        syslog(LOG_ERR, "%s:%d Failed to free backup conf struct due to bad backup type [%d]!", kSrcFreeAll, __LINE__,
               type);
        break;
    }
}

} // extern "C"
