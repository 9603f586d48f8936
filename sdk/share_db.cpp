// The share database as a cache of smb.conf: opened, built from the text
// file, checked and rebuilt through the shared cache procedure, dumped back.
#include "vako/share_db.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "keydb_internal.h"
#include "share_internal.h"
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
using share_internal::UpperKey;
using share_internal::packed::GetWord;
using share_internal::packed::kWord;
using share_internal::packed::PutWord;
using slib::LineReader;
using slib::SavedError;
namespace place = share_internal::place;
using Ordinal = place::Ordinal;

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
constexpr int kNoSection = -1;
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
    // 0, or -1 with 0x0900 or 0x0200.
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
        if (!slib::OutOfMemory())
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

// Calls fn(entry) for each entry of a comma list, empty ones too, until it
// returns true: true when it did.
template <class Fn> bool AnyEntry(std::string_view list, Fn fn)
{
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string_view::npos)
            end = list.size();
        if (fn(list.substr(start, end - start)))
            return true;
        start = end + 1;
    }
    return false;
}

// True when the comma list holds entry as a whole entry.
bool HasEntry(std::string_view list, std::string_view entry)
{
    return AnyEntry(list, [&](std::string_view e) { return e == entry; });
}

// A list as the file gives it, without the empty and "nobody" entries that
// every list the dump writes holds: what its validated list is compared
// with, so that a list the validation changed (a name no longer there,
// another letter case) is written anew at the next dump.
std::string Literal(const char *list)
{
    std::string out;
    AnyEntry(list ? list : "", [&](std::string_view e) {
        if (!e.empty() && !(e.size() == 6 && strncasecmp(e.data(), "nobody", 6) == 0))
            out.append(out.empty() ? "" : ",").append(e);
        return false;
    });
    return out;
}

// With literal, also the record with the lists as the file gives them
// (Literal) into *literal.
VAKOSHARE *AllocFromConf(const char *name, PSLIBSZHASH pairs, Validators &dbs, ShareOwner *literal = nullptr)
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
            // Words outside the table (none, "no"/"yes", "No"/"No") grant
            // guests nothing: read-only would open a private share to them
            // at the next dump.
            fType = VAKO_SHARE_NO_ACCESS;
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
    ShareOwner record(VAKOShareAlloc(&info));
    if (record && literal) {
        std::string lists[3];
        for (int i = 0; i < 3; i++)
            lists[i] = Literal(value(listKey[i]));
        info.szInvalidUsers = lists[0].c_str();
        info.szWriteList = lists[1].c_str();
        info.szReadList = lists[2].c_str();
        literal->reset(VAKOShareAlloc(&info));
        if (!*literal)
            return nullptr;
    }
    return record.release();
}

// With place, a share's record with its lists as the file gives them,
// packed, into *place.
Stored SetOne(VAKOSHAREDB *db, PSLIBSZLIST lines, PSLIBSZHASH pairs, const char *section, int type, Validators &dbs,
              std::string *place = nullptr)
{
    if (!db || !db->pDb || !lines || !pairs || !section) {
        SHARE_ERR(kSrcBuild, SLIB_ERR_BAD_PARAMETER);
        return Stored::Failed;
    }
    if (type == VAKO_SHARE_SECTION_SHARE) {
        if (pairs->nItem == 0)
            return Stored::Invalid;
        ShareOwner literal;
        ShareOwner record(AllocFromConf(section, pairs, dbs, place ? &literal : nullptr));
        if (!record) {
            syslog(LOG_ERR, "%s:%d ShareAllocFromConf [%s] failed. vakoerr=0x%04X", kSrcBuild, __LINE__, section,
                   SLIBErrorGet());
            return SectionFault(SLIBErrorGet()) ? Stored::Invalid : Stored::Failed;
        }
        if (VAKOShareDBSet(db, nullptr, record.get()) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOShareDBSet failed. vakoerr=0x%04X", kSrcBuild, __LINE__, SLIBErrorGet());
            return SectionFault(SLIBErrorGet()) ? Stored::Invalid : Stored::Failed;
        }
        if (place) {
            slib::HeapPtr<unsigned char> packed(static_cast<unsigned char *>(VAKOShareDBPack(literal.get())));
            if (!packed)
                return Stored::Failed;
            place->assign(reinterpret_cast<const char *>(packed.get()),
                          static_cast<size_t>(GetWord(packed.get() + share_internal::packed::kValueLength)));
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

bool IsReservedName(const char *name)
{
    for (const char *r : kReserved)
        if (strcasecmp(name, r) == 0)
            return true;
    return false;
}

// ---- smb.conf, line by line ----

// The size and FNV-1a hash of a file's bytes: whether smb.conf is still the
// file that the places of its sections were taken from.
struct Fingerprint {
    uint64_t size = 0;
    uint64_t hash = 14695981039346656037ULL;
    void Add(std::string_view bytes)
    {
        for (unsigned char c : bytes)
            hash = (hash ^ c) * 1099511628211ULL;
        size += bytes.size();
    }
    bool operator==(const Fingerprint &) const = default;
};

// smb.conf as the build and the dump both read it: each line whole (its line
// end and NUL bytes kept), the sections counted, the bytes fingerprinted.
class ConfLines {
public:
    explicit ConfLines(FILE *fp) : in_(fp) {}
    // The next line; false at the end of the file or at a read error.
    bool Next()
    {
        if (!in_.Next())
            return false;
        print_.Add(in_.view());
        header_ = IsSectionLine();
        if (header_)
            ordinal_++;
        return true;
    }
    LineReader &in() { return in_; }
    // The line begins a section.
    bool header() const { return header_; }
    // The section the line belongs to (0 before the first).
    Ordinal ordinal() const { return ordinal_; }
    const Fingerprint &print() const { return print_; }

private:
    // A header holding a NUL is judged by all its bytes: it begins a section
    // of its own (kept as it is) rather than joining the one before.
    bool IsSectionLine() const
    {
        if (!in_.HoldsNul())
            return SLIBFileIsSectionLine(in_.line(), static_cast<int>(std::min<size_t>(in_.len(), INT32_MAX))) == 1;
        std::string_view v = in_.view();
        size_t end = v.find_last_not_of(" \t\n\v\f\r");
        return v[0] == '[' && end != std::string_view::npos && end > 0 && v[end] == ']';
    }

    LineReader in_;
    Fingerprint print_;
    bool header_ = false;
    Ordinal ordinal_ = 0;
};

// text trimmed as the configuration reader trims: blanks, tabs and line
// ends at both ends, then one pair of enclosing double quotes.
std::string Trimmed(std::string text)
{
    SLIBStrTrimSpace(text.data(), nullptr);
    text.resize(strlen(text.c_str()));
    return text;
}

// One body line of a share section, without its line end, as a key and a
// value: false for a line that is none and stays as it is (empty, a comment
// with '#' or ';' first, no '=', an empty key).
bool ParsePair(std::string_view content, std::string &key, std::string &value)
{
    std::string line = Trimmed(std::string(content));
    if (line.empty() || line[0] == '#' || line[0] == ';')
        return false;
    size_t eq = line.find('=');
    if (eq == std::string::npos)
        return false;
    key = Trimmed(line.substr(0, eq));
    value = Trimmed(line.substr(eq + 1));
    return !key.empty();
}

// The key of a reserved section's lines: '#' and its name upper-cased as in
// the C locale (only a-z change).
std::string ReservedKey(const char *name)
{
    std::string key = "#";
    for (const char *p = name; *p; p++)
        key += *p >= 'a' && *p <= 'z' ? static_cast<char>(*p - 'a' + 'A') : *p;
    return key;
}

// ---- records of the database as bytes ----

std::string Bytes(const Buf &b)
{
    return b.p ? std::string(static_cast<const char *>(b.p), static_cast<size_t>(b.cb)) : std::string();
}

// The value stored under a text key into out: 1, 0 when absent, -1 when the
// read failed (its code recorded).
int ReadValue(VAKOBDB *bdb, const std::string &key, std::string &out)
{
    Buf v;
    if (VAKOBDbGet(bdb, key.c_str(), static_cast<int>(key.size()) + 1, &v.p, &v.cb) != 0)
        return SLIBErrorGet() == SLIB_ERR_NOT_FOUND ? 0 : -1;
    out = Bytes(v);
    return 1;
}

bool WriteValue(VAKOBDB *bdb, const std::string &key, const std::string &value)
{
    return VAKOBDbSet(bdb, key.c_str(), static_cast<int>(key.size()) + 1, value.data(),
                      static_cast<int>(value.size())) == 0;
}

// The record of key gone; one that is not there is no failure.
bool RemoveValue(VAKOBDB *bdb, const std::string &key)
{
    return VAKOBDbDelete(bdb, key.c_str(), static_cast<int>(key.size()) + 1) == 0 ||
           SLIBErrorGet() == SLIB_ERR_NOT_FOUND;
}

std::string Words(std::initializer_list<uint32_t> words)
{
    std::string v(words.size() * kWord, '\0');
    auto *p = reinterpret_cast<unsigned char *>(v.data());
    for (uint32_t w : words) {
        PutWord(p, static_cast<int32_t>(w));
        p += kWord;
    }
    return v;
}

uint32_t WordAt(std::string_view v, size_t i)
{
    return static_cast<uint32_t>(GetWord(reinterpret_cast<const unsigned char *>(v.data()) + i * kWord));
}

// A section's place: its ordinal, then the value of its record as it was
// when the section was read or written.
std::string PlaceValue(Ordinal at, std::string_view stored) { return Words({at}).append(stored); }

bool ReadPlace(std::string_view v, Ordinal &at, std::string_view &stored)
{
    if (v.size() < kWord)
        return false;
    at = WordAt(v, 0);
    stored = v.substr(kWord);
    return true;
}

std::string FileValue(const Fingerprint &f)
{
    return Words({static_cast<uint32_t>(f.size), static_cast<uint32_t>(f.size >> 32), static_cast<uint32_t>(f.hash),
                  static_cast<uint32_t>(f.hash >> 32)});
}

bool ReadFileValue(std::string_view v, Fingerprint &f)
{
    if (v.size() != 4 * kWord)
        return false;
    f.size = WordAt(v, 0) | uint64_t{WordAt(v, 1)} << 32;
    f.hash = WordAt(v, 2) | uint64_t{WordAt(v, 3)} << 32;
    return true;
}

// The kept sections: their number, then their ordinals.
std::string KeptValue(const std::vector<Ordinal> &kept)
{
    std::string v = Words({static_cast<uint32_t>(kept.size())});
    for (Ordinal o : kept)
        v += Words({o});
    return v;
}

bool ReadKeptValue(std::string_view v, std::vector<Ordinal> &kept)
{
    if (v.size() < kWord || v.size() % kWord != 0 || WordAt(v, 0) != v.size() / kWord - 1)
        return false;
    for (size_t i = 1; i < v.size() / kWord; i++)
        kept.push_back(WordAt(v, i));
    return true;
}

// ---- smb.conf as the dump writes it ----

// A share's section as the dump writes it: 0 the header, 1 to 12 the lines
// of these keys, each line with its line end.
constexpr int kPartLines = 13;
using PartText = std::array<std::string, kPartLines>;
constexpr const char *kPartKey[kPartLines] = {
    nullptr,
    "invalid users",
    "valid users",
    "comment",
    "path",
    "guest ok",
    "browseable",
    "ftp disable list",
    "ftp disable modify",
    "ftp disable download",
    "read list",
    "write list",
    "writeable",
};

bool PartLines(const VAKOSHARE *share, PartText &lines)
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
    // An empty list gives "nobody,nobody".
    auto list = [](const char *l) { return std::string("nobody,") + l + (*l ? "," : "") + "nobody"; };
    auto yes = [](bool b) { return std::string(b ? kYes : kNo); };
    const std::string value[kPartLines] = {
        {},
        list(share->szInvalidUsers),
        list(valid.c_str()),
        std::string("\"") + share->szComment + "\"",
        share->szPath,
        guestOk,
        yes(share->fBrowseable != 0),
        yes(share->ftpFlags & VAKO_SHARE_FTP_NO_LIST),
        yes(share->ftpFlags & VAKO_SHARE_FTP_NO_MODIFY),
        yes(share->ftpFlags & VAKO_SHARE_FTP_NO_DOWNLOAD),
        list(share->szReadList),
        list(share->szWriteList),
        writeable,
    };
    lines[0] = std::string("[") + share->szName + "]\n";
    for (int k = 1; k < kPartLines; k++)
        lines[k] = std::string("\t") + kPartKey[k] + "=" + value[k] + "\n";
    return true;
}

// A reserved section's lines as the dump writes them of its value: "[%s]"
// of item 0 and "\t%s" of each further item.
bool ReservedPart(const std::string &value, std::string &text)
{
    if (value.empty()) {
        SHARE_ERR(kSrcDump, SLIB_ERR_BAD_PARAMETER);
        return false;
    }
    ListPtr lines(VAKOListDBUnpack(value.data(), static_cast<int>(value.size())));
    if (!lines) {
        syslog(LOG_ERR, "%s:%d errno=%d VAKOListDBUnpack() failed!!", kSrcDump, __LINE__, SLIBErrorGet());
        return false;
    }
    for (int i = 0; i < lines->nItem; i++) {
        const char *item = SLIBSzListGet(lines.get(), i);
        text += i == 0 ? std::string("[") + item + "]\n" : std::string("\t") + item + "\n";
    }
    return true;
}

// The dump's temporary file: the bytes written fingerprinted, the sections
// of the new file counted.
class ConfOut {
public:
    explicit ConfOut(slib::FileReplacer &file) : file_(file) {}
    bool Write(std::string_view bytes)
    {
        if (bytes.empty())
            return true;
        print_.Add(bytes);
        endsLine_ = bytes.back() == '\n';
        return file_.Write(bytes);
    }
    // Text that begins a line of its own: a line end is added to a last line
    // written without one.
    bool Line(std::string_view text) { return (endsLine_ || Write("\n")) && Write(text); }
    // A section begins: its ordinal in the new file.
    Ordinal Section() { return ++ordinal_; }
    const Fingerprint &print() const { return print_; }

private:
    slib::FileReplacer &file_;
    Fingerprint print_;
    bool endsLine_ = true;
    Ordinal ordinal_ = 0;
};

// A line of a section read whole, and the length of its text without its
// line end.
struct ReadLine {
    std::string whole;
    size_t content;
};

// A share's section whose record changed: the lines of what changed as the
// dump writes them (a key's last line, which is the one read), a changed
// key the section lacks after its last "key = value" line, and every other
// line as it was.
bool WriteChanged(ConfOut &out, const std::vector<ReadLine> &lines, const PartText &was, const PartText &now)
{
    size_t last[kPartLines] = {};
    size_t lastPair = 0;
    for (size_t j = 1; j < lines.size(); j++) {
        std::string key, value;
        if (!ParsePair(std::string_view(lines[j].whole).substr(0, lines[j].content), key, value))
            continue;
        lastPair = j;
        for (int k = 1; k < kPartLines; k++)
            if (key == kPartKey[k])
                last[k] = j;
    }
    std::vector<int> partOf(lines.size(), 0);
    bool present[kPartLines] = {};
    for (int k = 1; k < kPartLines; k++) {
        present[k] = last[k] != 0;
        if (present[k])
            partOf[last[k]] = k;
    }
    auto changed = [&](int k) { return was[k] != now[k]; };
    auto missing = [&] {
        for (int k = 1; k < kPartLines; k++)
            if (!present[k] && changed(k) && !out.Line(now[k]))
                return false;
        return true;
    };
    if (!out.Line(changed(0) ? now[0] : lines[0].whole) || (lastPair == 0 && !missing()))
        return false;
    for (size_t j = 1; j < lines.size(); j++) {
        int k = partOf[j];
        if (!out.Write(k > 0 && changed(k) ? now[k] : lines[j].whole) || (j == lastPair && !missing()))
            return false;
    }
    return true;
}

// ---- the dump ----

// One record of the database and where its section stands in smb.conf.
struct Entry {
    std::string key; // a share's key, or a reserved section's upper-cased name
    bool placed = false;
    bool written = false;
};

// Which record a section of smb.conf holds.
struct Claim {
    enum class Kind { Kept, Share, Reserved } kind;
    size_t index;
};

// Writes the database into smb.conf's temporary file: each section that a
// record was made of at its place, the lines of what changed as the dump
// writes them and every other line as smb.conf holds it; a section kept as
// it is, as it is; a share's section whose share is gone, not at all; the
// reserved sections and shares that smb.conf does not place, as the dump
// writes them, the reserved ones before the first other section and the
// shares before the first placed share whose key sorts after theirs (at
// the end when none does). A database without places (made by an older
// build) writes nothing.
class Dump {
public:
    Dump(VAKOSHAREDB *db, slib::FileReplacer &file) : db_(db), out_(file) {}

    bool Write()
    {
        if (!Walk())
            return false;
        if (damage_ || !Claims())
            return Damaged();
        if (!hasFile_)
            return Unplaced();
        return WriteFromFile() && WriteReserved(true) && WriteShares(nullptr);
    }

    // Once the whole file is written, before it takes smb.conf's place:
    // the keys and values of the places of its sections, so that storing
    // them once it is in place needs no memory of its own.
    void PreparePlaces()
    {
        for (const auto &[key, at] : sharePlace_)
            if (!Holds(shares_, key))
                gone_.push_back(place::ShareKey(key));
        for (const auto &[name, at] : reservedPlace_)
            if (!Holds(reserved_, name))
                gone_.push_back(place::kReservedPrefix + name);
        last_ = {{place::kKeptKey, KeptValue(kept_)}, {place::kFileKey, FileValue(out_.print())}};
    }

    // Once the new smb.conf is in place: the places of its sections, the
    // file's own last.
    bool StorePlaces()
    {
        VAKOBDB *bdb = db_->pDb;
        bool ok = true;
        for (const auto &[key, value] : puts_)
            ok = ok && WriteValue(bdb, key, value);
        for (const std::string &key : gone_)
            ok = ok && RemoveValue(bdb, key);
        for (const auto &[key, value] : last_)
            ok = ok && WriteValue(bdb, key, value);
        if (ok)
            return true;
        syslog(LOG_ERR, "%s:%d the places of the sections of %s cannot be stored. vakoerr=0x%04X", kSrcDump, __LINE__,
               SZF_SMB_CONF, SLIBErrorGet());
        SavedError saved;
        VAKOBDbDelete(bdb, place::kFileKey, sizeof place::kFileKey);
        saved.Restore();
        return false;
    }

private:
    // The keys are in the walk's order, the store's bytewise order.
    static bool Holds(const std::vector<Entry> &entries, const std::string &key)
    {
        auto it = std::lower_bound(entries.begin(), entries.end(), key,
                                   [](const Entry &e, const std::string &k) { return e.key < k; });
        return it != entries.end() && it->key == key;
    }

    // Every record in key order, the '#' keys included: true when the walk
    // reached the end of the database.
    bool Walk()
    {
        VAKOBDB *bdb = db_->pDb;
        if (VAKOBDbCursorSetType(bdb, VAKO_BDB_CURSOR_FIRST) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOBDbCursorSetType() failed, vakoerr=0x%04X", kSrcDump, __LINE__, SLIBErrorGet());
            return false;
        }
        Buf key, value;
        bool first = true;
        const std::string_view sharePrefix = place::kSharePrefix, reservedPrefix = place::kReservedPrefix;
        while (VAKOBDbCursorGet(bdb, 0, &key.p, &key.cb, &value.p, &value.cb) == 0) {
            if (first) {
                first = false;
                if (VAKOBDbCursorSetType(bdb, VAKO_BDB_CURSOR_NEXT) != 0) {
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
            if (k[0] != '#') {
                shares_.push_back({k});
                continue;
            }
            std::string v = Bytes(value);
            Ordinal at;
            std::string_view stored;
            if (k == place::kFileKey) {
                hasFile_ = true;
                if (!ReadFileValue(v, file_))
                    damage_ = "the size and hash of the file";
            } else if (k == place::kKeptKey) {
                if (!ReadKeptValue(v, keptRead_))
                    damage_ = "the sections kept as they are";
            } else if (k.starts_with(sharePrefix) || k.starts_with(reservedPrefix)) {
                bool share = k.starts_with(sharePrefix);
                if (!ReadPlace(v, at, stored))
                    damage_ = "the place of a section";
                else
                    (share ? sharePlace_
                           : reservedPlace_)[k.substr(share ? sharePrefix.size() : reservedPrefix.size())] = at;
            } else if (IsReservedName(k.c_str() + 1)) {
                reserved_.push_back({k.substr(1)});
            }
        }
        return SLIBErrorGet() == SLIB_ERR_END_OF_ENUM;
    }

    // The record of each section by its ordinal: false when two claim one.
    bool Claims()
    {
        auto claim = [&](Ordinal at, Claim c) {
            if (at != 0 && claims_.emplace(at, c).second)
                return true;
            damage_ = "two records in one section";
            return false;
        };
        for (Ordinal at : keptRead_)
            if (!claim(at, {Claim::Kind::Kept, 0}))
                return false;
        for (size_t i = 0; i < shares_.size(); i++) {
            auto it = sharePlace_.find(shares_[i].key);
            shares_[i].placed = it != sharePlace_.end();
            if (shares_[i].placed && !claim(it->second, {Claim::Kind::Share, i}))
                return false;
        }
        for (size_t i = 0; i < reserved_.size(); i++) {
            auto it = reservedPlace_.find(reserved_[i].key);
            reserved_[i].placed = it != reservedPlace_.end();
            if (reserved_[i].placed && !claim(it->second, {Claim::Kind::Reserved, i}))
                return false;
        }
        return true;
    }

    // In each of these nothing is written, and the database is rebuilt
    // from smb.conf at once.
    // The places do not hold.
    bool Damaged()
    {
        syslog(LOG_ERR, "%s:%d the places of the sections of %s in the share database do not hold (%s).", kSrcDump,
               __LINE__, SZF_SMB_CONF, damage_);
        SHARE_ERR(kSrcDump, VAKO_ERR_SHARE_BAD_VALUE);
        return Rebuild();
    }

    // smb.conf is not the file the places were taken from.
    bool OutOfStep()
    {
        syslog(LOG_ERR, "%s:%d %s changed since the share database was built from it.", kSrcDump, __LINE__,
               SZF_SMB_CONF);
        SHARE_ERR(kSrcDump, VAKO_ERR_SHARE_OUT_OF_STEP);
        return Rebuild();
    }

    // Without the places of smb.conf's sections, the lines of the file
    // that no record holds would be lost.
    bool Unplaced()
    {
        syslog(LOG_ERR, "%s:%d the share database holds no places of the sections of %s: nothing written.", kSrcDump,
               __LINE__, SZF_SMB_CONF);
        SHARE_ERR(kSrcDump, VAKO_ERR_SHARE_OUT_OF_STEP);
        return Rebuild();
    }

    bool Rebuild()
    {
        SavedError saved;
        VAKOBDbCacheRebuildDamaged(&gVakoShareDbCache, db_);
        saved.Restore();
        return false;
    }

    bool WriteFromFile()
    {
        slib::FilePtr fp(fopen(SZF_SMB_CONF, "re"));
        if (!fp) {
            syslog(LOG_ERR, "%s:%d fopen(%s) failed. errno=%d/%m", kSrcDump, __LINE__, SZF_SMB_CONF, errno);
            return OutOfStep();
        }
        ConfLines conf(fp.get());
        while (conf.Next()) {
            LineReader &in = conf.in();
            if (conf.header() && (!EndSection() || !BeginSection(conf.ordinal())))
                return false;
            bool ok = true;
            if (act_ == Act::Raw)
                ok = conf.header() ? out_.Line(in.view()) : out_.Write(in.view());
            else if (act_ == Act::Merge)
                lines_.push_back({std::string(in.view()), in.content().size()});
            if (!ok)
                return false;
        }
        if (!EndSection())
            return false;
        if (!conf.in().AtEnd()) {
            syslog(LOG_ERR, "%s:%d Fail to read the end of the file. errno=%d/%m", kSrcDump, __LINE__, errno);
            SHARE_ERR(kSrcDump, SLIB_ERR_READ);
            return false;
        }
        return conf.print() == file_ || OutOfStep();
    }

    bool BeginSection(Ordinal at)
    {
        act_ = Act::Drop;
        auto it = claims_.find(at);
        // No claim: the section of a share removed since.
        if (it == claims_.end())
            return true;
        const Claim &c = it->second;
        if (c.kind != Claim::Kind::Reserved && !WriteReserved(false))
            return false;
        if (c.kind == Claim::Kind::Reserved)
            return BeginReserved(reserved_[c.index]);
        if (c.kind == Claim::Kind::Share)
            return BeginShare(shares_[c.index]);
        kept_.push_back(out_.Section());
        act_ = Act::Raw;
        return true;
    }

    bool EndSection()
    {
        bool ok = act_ != Act::Merge || WriteChanged(out_, lines_, was_, now_);
        lines_.clear();
        act_ = Act::Drop;
        return ok;
    }

    // A reserved section as it is while its record is what the section gave.
    bool BeginReserved(Entry &e)
    {
        e.written = true;
        std::string value, placed;
        Ordinal was;
        std::string_view stored;
        if (ReadValue(db_->pDb, "#" + e.key, value) != 1 ||
            ReadValue(db_->pDb, place::kReservedPrefix + e.key, placed) != 1) {
            if (!slib::OutOfMemory())
                SHARE_ERR(kSrcDump, VAKO_ERR_BDB_GET);
            return false;
        }
        if (!ReadPlace(placed, was, stored)) {
            damage_ = "the place of a section";
            return Damaged();
        }
        Ordinal at = out_.Section();
        if (stored == value) {
            act_ = Act::Raw;
        } else if (!WriteReservedPart(e, value)) {
            return false;
        }
        if (at != was || stored != value)
            puts_.emplace_back(place::kReservedPrefix + e.key, PlaceValue(at, value));
        return true;
    }

    bool WriteReservedPart(const Entry &e, const std::string &value)
    {
        std::string text;
        if (!ReservedPart(value, text) || !out_.Line(text)) {
            syslog(LOG_ERR, "%s:%d ReservedSectionDump() failed! key=%s, vakoerr=0x%04X", kSrcDump, __LINE__,
                   e.key.c_str(), SLIBErrorGet());
            return false;
        }
        return true;
    }

    // The reserved sections smb.conf does not place (all left with all).
    bool WriteReserved(bool all)
    {
        if (!all && unplacedDone_)
            return true;
        unplacedDone_ = true;
        for (Entry &e : reserved_) {
            if (e.written || (e.placed && !all))
                continue;
            e.written = true;
            std::string value;
            if (ReadValue(db_->pDb, "#" + e.key, value) != 1) {
                if (!slib::OutOfMemory())
                    SHARE_ERR(kSrcDump, VAKO_ERR_BDB_GET);
                return false;
            }
            if (!WriteReservedPart(e, value))
                return false;
            puts_.emplace_back(place::kReservedPrefix + e.key, PlaceValue(out_.Section(), value));
        }
        return true;
    }

    // The share stored under key, its value into value.
    ShareOwner Load(const std::string &key, std::string &value)
    {
        int r = ReadValue(db_->pDb, key, value);
        VAKOSHARE *raw = nullptr;
        if (r == 0)
            SHARE_ERR(kSrcDump, SLIB_ERR_NOT_FOUND);
        else if (r == 1 && value.empty())
            SHARE_ERR(kSrcDump, SLIB_ERR_BAD_PARAMETER);
        else if (r == 1 && VAKOShareDBUnPackBounded(value.data(), static_cast<int>(value.size()), &raw) != 0)
            syslog(LOG_ERR, "%s:%d VAKOShareDBUnPack() failed!! vakoerr=0x%04X", kSrcDump, __LINE__, SLIBErrorGet());
        ShareOwner share(raw);
        if (!share)
            syslog(LOG_ERR, "%s:%d GeneralSectionDump() failed!! key=%s, vakoerr=0x%04X", kSrcDump, __LINE__,
                   key.c_str(), SLIBErrorGet());
        return share;
    }

    // The section of the share stored under key as the dump writes it, its
    // value into value.
    bool Render(const std::string &key, std::string &value, PartText &lines)
    {
        ShareOwner share = Load(key, value);
        if (share && PartLines(share.get(), lines))
            return true;
        if (share)
            syslog(LOG_ERR, "%s:%d GeneralSectionDump() failed!! key=%s, vakoerr=0x%04X", kSrcDump, __LINE__,
                   key.c_str(), SLIBErrorGet());
        return false;
    }

    // A share at its place: as it is while its record is what the section
    // gave, else with the lines of what changed rewritten.
    bool BeginShare(Entry &e)
    {
        if (!WriteShares(&e.key))
            return false;
        e.written = true;
        std::string value, placed;
        Ordinal was;
        std::string_view stored;
        int r = ReadValue(db_->pDb, e.key, value);
        if (r == 1 && ReadValue(db_->pDb, place::ShareKey(e.key), placed) != 1)
            r = -1;
        if (r != 1) {
            if (r == 0 || !slib::OutOfMemory())
                SHARE_ERR(kSrcDump, r == 0 ? SLIB_ERR_NOT_FOUND : VAKO_ERR_BDB_GET);
            return false;
        }
        if (!ReadPlace(placed, was, stored)) {
            damage_ = "the place of a section";
            return Damaged();
        }
        Ordinal at = out_.Section();
        if (at != was || stored != value)
            puts_.emplace_back(place::ShareKey(e.key), PlaceValue(at, value));
        // The record the section gave, byte for byte: nothing to rewrite.
        act_ = Act::Raw;
        if (stored == value)
            return true;
        VAKOSHARE *raw = nullptr;
        bool read = VAKOShareDBUnPackBounded(stored.data(), static_cast<int>(stored.size()), &raw) == 0;
        ShareOwner before(raw);
        // Memory that ran out is no damage of the record.
        if (!read && slib::OutOfMemory())
            return false;
        if (!Render(e.key, value, now_))
            return false;
        if (!read || !PartLines(before.get(), was_)) {
            if (slib::OutOfMemory())
                return false;
            damage_ = "the record a section gave";
            return Damaged();
        }
        if (was_ != now_)
            act_ = Act::Merge;
        return true;
    }

    // The shares smb.conf does not place whose keys sort before *before;
    // with no key, every share not written yet.
    bool WriteShares(const std::string *before)
    {
        auto write = [&](Entry &e) {
            e.written = true;
            std::string value;
            PartText lines;
            if (!Render(e.key, value, lines) || !out_.Line(lines[0]))
                return false;
            for (int k = 1; k < kPartLines; k++)
                if (!out_.Write(lines[k]))
                    return false;
            puts_.emplace_back(place::ShareKey(e.key), PlaceValue(out_.Section(), value));
            return true;
        };
        if (before) {
            for (; next_ < shares_.size() && shares_[next_].key < *before; next_++) {
                Entry &e = shares_[next_];
                if (!e.placed && !e.written && !write(e))
                    return false;
            }
            return true;
        }
        for (Entry &e : shares_)
            if (!e.written && !write(e))
                return false;
        return true;
    }

    enum class Act { Raw, Merge, Drop };

    VAKOSHAREDB *db_;
    ConfOut out_;
    // What the walk found: records in key order, places as stored.
    std::vector<Entry> shares_, reserved_;
    std::map<std::string, Ordinal> sharePlace_, reservedPlace_;
    std::vector<Ordinal> keptRead_;
    bool hasFile_ = false;
    Fingerprint file_;
    const char *damage_ = nullptr;
    std::unordered_map<Ordinal, Claim> claims_;
    // The section being read.
    Act act_ = Act::Raw;
    std::vector<ReadLine> lines_;
    PartText was_, now_;
    bool unplacedDone_ = false;
    size_t next_ = 0;
    // The places of the new file.
    std::vector<std::pair<std::string, std::string>> puts_, last_;
    std::vector<std::string> gone_;
    std::vector<Ordinal> kept_;
};

// ---- the build ----

// The section the build is reading.
struct Reading {
    int type = kNoSection;
    bool refused = false; // kept as it is, whatever it holds
    Ordinal at = 0;
    char name[kSectionNameSize] = "";
};

// The section just read into the database with its place, or its ordinal
// into kept when no record can be made of it: false when the build must
// stop (logged, its code recorded).
bool StoreSection(VAKOSHAREDB *db, PSLIBSZLIST lines, PSLIBSZHASH pairs, const Reading &cur, Validators &dbs,
                  std::vector<Ordinal> &kept)
{
    if (cur.refused) {
        kept.push_back(cur.at);
        return true;
    }
    std::string recordKey, placeKey, earlier;
    if (cur.type == VAKO_SHARE_SECTION_RESERVED) {
        // A later section of the name takes the record; the earlier one is
        // kept as it is.
        recordKey = ReservedKey(cur.name);
        placeKey = place::kReservedPrefix + recordKey.substr(1);
        int r = ReadValue(db->pDb, placeKey, earlier);
        Ordinal at;
        std::string_view stored;
        if (r < 0)
            return false;
        if (r == 1 && ReadPlace(earlier, at, stored))
            kept.push_back(at);
    }
    std::string value;
    Stored s = SetOne(db, lines, pairs, cur.name, cur.type, dbs, &value);
    if (s != Stored::Ok) {
        syslog(LOG_ERR, "%s:%d ShareDBSetOne() failed! vakoerr=0x%04X", kSrcBuild, __LINE__, SLIBErrorGet());
        if (s == Stored::Failed)
            return false;
        syslog(LOG_NOTICE, "%s:%d section [%s] is kept in %s as it is, without a record.", kSrcBuild, __LINE__,
               cur.name, SZF_SMB_CONF);
        kept.push_back(cur.at);
        return true;
    }
    if (cur.type == VAKO_SHARE_SECTION_SHARE) {
        char key[VAKO_SHARE_KEY_SIZE];
        if (UpperKey(kSrcBuild, cur.name, key) < 0)
            return false;
        placeKey = place::ShareKey(key);
    } else if (ReadValue(db->pDb, recordKey, value) != 1) {
        return false;
    }
    if (!WriteValue(db->pDb, placeKey, PlaceValue(cur.at, value))) {
        syslog(LOG_ERR, "%s:%d the place of section [%s] cannot be stored. vakoerr=0x%04X", kSrcBuild, __LINE__,
               cur.name, SLIBErrorGet());
        return false;
    }
    return true;
}

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
    Reading cur;
    std::vector<Ordinal> kept;
    // A section that cannot be stored for what it holds is kept as it is;
    // one that cannot be stored for any other reason fails the build.
    auto store = [&]() {
        bool ok = StoreSection(db, lines.get(), pairs.get(), cur, dbs, kept);
        ShareDBSectionReset(lines.get(), pairs.get(), cur.type);
        return ok;
    };
    // A NUL byte would cut a value short (a path would name another
    // folder): the section is kept as it is, with no record made of it.
    auto refuse = [&](const char *what) {
        syslog(LOG_ERR, "%s:%d %s of section [%s] holds a NUL byte: the section is kept in %s as it is.", kSrcBuild,
               __LINE__, what, cur.name, SZF_SMB_CONF);
        cur.refused = true;
    };
    ConfLines conf(fp);
    while (conf.Next()) {
        LineReader &in = conf.in();
        if (conf.header()) {
            if (cur.type != kNoSection && !store())
                return -1;
            cur = Reading();
            cur.at = conf.ordinal();
            cur.type = VAKO_SHARE_SECTION_SHARE;
            std::string header(in.content());
            if (VAKOShareParseSectionName(header.c_str(), cur.name, sizeof cur.name) != 0) {
                syslog(LOG_ERR, "%s:%d Failed to parse section name[%s], vakoerr=0x%04X", kSrcBuild, __LINE__,
                       header.c_str(), SLIBErrorGet());
                cur.refused = true;
                continue;
            }
            if (in.HoldsNul())
                refuse("the header");
            cur.type = VAKOShareSectionTypeGet(cur.name);
            if (cur.type == VAKO_SHARE_SECTION_RESERVED && !cur.refused) {
                PSLIBSZLIST raw = lines.release();
                int r = SLIBSzListPush(&raw, cur.name);
                lines.reset(raw);
                if (r < 0) {
                    syslog(LOG_ERR, "%s:%d SLIBSzListPush [%s] failed!! vakoerr=0x%04X", kSrcBuild, __LINE__,
                           header.c_str(), SLIBErrorGet());
                    return -1;
                }
            }
            continue;
        }
        if (cur.type == kNoSection || cur.refused)
            continue;
        if (in.HoldsNul()) {
            refuse("a line");
            continue;
        }
        int r = 0;
        if (cur.type == VAKO_SHARE_SECTION_SHARE) {
            // Lines that are no "key = value" (comments, text without '=')
            // stay in the file as they are, and make no value.
            std::string key, value;
            if (!ParsePair(in.content(), key, value))
                continue;
            PSLIBSZHASH raw = pairs.release();
            r = SLIBSzHashSetValue(&raw, key.c_str(), value.c_str());
            pairs.reset(raw);
        } else {
            std::string line = Trimmed(std::string(in.content()));
            PSLIBSZLIST raw = lines.release();
            r = SLIBSzListPush(&raw, line.c_str());
            lines.reset(raw);
        }
        if (r < 0) {
            syslog(LOG_ERR, "%s:%d Failed to set section data. section[%s], vakoerr=0x%04X", kSrcBuild, __LINE__,
                   cur.name, SLIBErrorGet());
            return -1;
        }
    }
    if (cur.type != kNoSection && !store())
        return -1;
    if (!conf.in().AtEnd()) {
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
    if (!WriteValue(db->pDb, place::kKeptKey, KeptValue(kept)) ||
        !WriteValue(db->pDb, place::kFileKey, FileValue(conf.print()))) {
        syslog(LOG_ERR, "%s:%d the places of the sections of %s cannot be stored. vakoerr=0x%04X", kSrcBuild, __LINE__,
               SZF_SMB_CONF, SLIBErrorGet());
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

// The dump; memory that runs out ends it at its guard, the temporary file
// removed with its owner.
int DumpTo(VAKOSHAREDB *db)
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
    Dump dump(db, out);
    bool ok = dump.Write();
    if (ok)
        dump.PreparePlaces();
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
    // smb.conf has been replaced: a failure from here on leaves the database
    // to be rebuilt from it at the next open.
    if (!dump.StorePlaces())
        return -1;
    if (VAKOBDbConfSyncTimeSet(db->pDb, st.st_mtime) != 0) {
        syslog(LOG_ERR, "%s:%d VAKOBDbConfSyncTimeSet() failed!! vakoerr=0x%04X", kSrcDump, __LINE__, SLIBErrorGet());
        syslog(LOG_ERR, "%s:%d ShareDbConfSyncTimeSet() failed! vakoerr=0x%04X", kSrcDump, __LINE__, SLIBErrorGet());
        return -1;
    }
    return 0;
}

// ---- opening ----

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

} // extern "C"

namespace {

// A database without the places of smb.conf's sections (made by an older
// build) is rebuilt: a dump of it would lose the file's lines that no
// record holds. 0 when it has them; 1 rebuilt (*pp replaced, the old file
// marked replaced for its other holders); -1 when the rebuild failed (*pp
// closed and NULL, as after a failed check). Memory that runs out before
// the rebuild ends it with *pp as it was (an exception).
int RebuildWithoutPlaces(VAKOSHAREDB **pp)
{
    std::string file;
    int r = ReadValue((*pp)->pDb, place::kFileKey, file);
    slib::ThrowIfOutOfMemory(r);
    if (r != 0)
        return 0;
    syslog(LOG_NOTICE, "%s:%d %s holds no places of the sections of %s, so rebuild db.", kSrcCheck, __LINE__,
           SZF_VAKO_SHARE_DB, SZF_SMB_CONF);
    if (VAKOBDbCacheRebuildDamaged(&gVakoShareDbCache, *pp) == 0 && VAKOShareDBOpenFile(pp, SZF_VAKO_SHARE_DB) >= 0)
        return 1;
    SavedError saved;
    VAKOShareDBClose(*pp);
    *pp = nullptr;
    saved.Restore();
    return -1;
}

} // namespace

extern "C" {

VAKOSHAREDB *VAKOShareDBOpen(void)
{
    return slib::Guarded(kSrcOpen, static_cast<VAKOSHAREDB *>(nullptr), [&]() -> VAKOSHAREDB * {
        using Handle = slib::OwnedPtr<VAKOSHAREDB, VAKOShareDBClose>;
        Handle db(static_cast<VAKOSHAREDB *>(VAKOBDbCacheOpen(&gVakoShareDbCache)));
        if (!db)
            return nullptr;
        VAKOSHAREDB *raw = db.get();
        int r = RebuildWithoutPlaces(&raw);
        // The rebuild closed the handle it replaced.
        if (raw != db.get()) {
            (void)db.release();
            db = Handle(raw);
        }
        return r < 0 ? nullptr : db.release();
    });
}

int VAKOShareDBOpenFile(VAKOSHAREDB **pp, const char *path)
{
    return slib::Guarded(kSrcOpen, -1, [&] {
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
        // A file made here whose build did not end is removed: opened again
        // it would pass for a whole database.
        struct Unbuilt {
            const char *path;
            bool made = false;
            ~Unbuilt()
            {
                int e = errno;
                if (made)
                    unlink(path);
                errno = e;
            }
        } unbuilt{path};
        auto build = [db, &unbuilt] {
            unbuilt.made = true;
            slib::FilePtr conf(fopen(SZF_SMB_CONF, "re"));
            if (!conf) {
                SHARE_ERR(kSrcOpen, SLIB_ERR_OPEN);
                return -1;
            }
            int r = ShareDBBuild(conf.get(), db);
            unbuilt.made = r != 0;
            return r;
        };
        int result = keydb_internal::OpenFileSet(kSrcOpen, path, {{"", kCacheFile.bDup, kCacheFile.mode, &db->pDb}},
                                                 build);
        if (result < 0)
            return -1;
        if (*pp)
            VAKOShareDBClose(*pp);
        *pp = handle.release();
        return result;
    });
}

int VAKOShareDBCheckAndRebuild(VAKOSHAREDB **pp)
{
    return slib::Guarded(kSrcCheck, -1, [&] {
        if (!pp || !*pp) {
            SHARE_ERR(kSrcCheck, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        void *db = *pp;
        int r = VAKOBDbCacheCheckAndRebuild(&gVakoShareDbCache, &db);
        *pp = static_cast<VAKOSHAREDB *>(db);
        if (r == 0)
            r = RebuildWithoutPlaces(pp);
        return r;
    });
}

int ShareDBBuild(FILE *smbconf, VAKOSHAREDB *db)
{
    return slib::Guarded(kSrcBuild, -1, [&] { return Build(smbconf, db); });
}

int ShareDBSetOne(VAKOSHAREDB *db, PSLIBSZLIST lines, PSLIBSZHASH pairs, const char *section, int type)
{
    return slib::Guarded(kSrcBuild, -1, [&] {
        Validators dbs;
        return SetOne(db, lines, pairs, section, type, dbs) == Stored::Ok ? 0 : -1;
    });
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
    return slib::Guarded(kSrcAllocFromConf, static_cast<VAKOSHARE *>(nullptr), [&] {
        Validators dbs;
        return AllocFromConf(name, pairs, dbs);
    });
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
    return slib::Guarded(kSrcRemoveSame, -1, [&] {
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
        // The caller's list is rewritten only once the new one is whole: a
        // failure leaves it as it was.
        bool failed = AnyEntry(list, [&](std::string_view item) {
            if (item.empty())
                return false;
            std::string name(item);
            PSLIBSZHASH raw = names.release();
            int r = SLIBSzHashSetValue(&raw, name.c_str(), "");
            names.reset(raw);
            return r < 0;
        });
        if (failed) {
            if (!slib::OutOfMemory())
                SHARE_ERR(kSrcRemoveSame, SLIB_ERR_OUT_OF_MEMORY);
            return -1;
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
    });
}

int VAKOShareDBDump(VAKOSHAREDB *db)
{
    return slib::Guarded(kSrcDump, -1, [&] { return DumpTo(db); });
}

} // extern "C"
