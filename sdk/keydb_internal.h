// Pieces that the databases on the keyed files share: the user, group and
// share databases (not part of the C interface).
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "slib/error.h"
#include "slib/lock.h"
#include "slib/szhash.h"
#include "slib/szlist.h"
#include "slibcxx/raii.h"
#include "slibcxx/replace.h"
#include "vako/keydb.h"
#include "vako/keydb_cache.h"

// Not exported, nor is a type that holds one of these: the library's own
// C++, not part of the C interface.
#pragma GCC visibility push(hidden)

namespace keydb_internal {

using ListPtr = slib::OwnedPtr<SLIBSZLIST, SLIBSzListFree>;
using HashPtr = slib::OwnedPtr<SLIBSZHASH, SLIBSzHashFree>;

// A growing buffer of the keyed layer, freed on every path.
struct Buf {
    void *p = nullptr;
    int cb = 0;
    Buf() = default;
    Buf(const Buf &) = delete;
    Buf &operator=(const Buf &) = delete;
    ~Buf() { VAKOBDbDataFree(p); }
    const char *str() const { return static_cast<const char *>(p); }
};

// A stored value as text: up to its NUL, never past its length.
inline std::string Stored(const Buf &b)
{
    return b.p ? std::string(b.str(), strnlen(b.str(), static_cast<size_t>(b.cb))) : std::string();
}

// Looks key up, its bytes into *value when given: 1 found, 0 absent
// (nothing recorded: callers for whom absence is the everyday case need
// no backtrace of it), or -1 with the store's get's code.
int Find(VAKOBDB *bdb, const void *key, int cbKey, std::string *value);

// Stores text with its NUL.
inline int Put(VAKOBDB *bdb, const void *key, int cbKey, const std::string &value)
{
    return VAKOBDbSet(bdb, key, cbKey, value.c_str(), static_cast<int>(value.size()) + 1);
}

// Room for the key "%06d" of any id.
constexpr int kIdKeySize = 16;
// The id files' key of an id: its length with the NUL.
inline int IdKey(int id, char *key) { return snprintf(key, kIdKeySize, "%06d", id) + 1; }

// What UpperKey returns for a name whose upper-cased form does not fit: the
// upper-caser then leaves the buffer empty, and an empty key names nothing.
constexpr int kKeyTooLong = -2;
// name upper-cased into key (cb bytes): its length without the NUL; -1 when
// the upper-caser failed (its code recorded); kKeyTooLong (no code).
int UpperKey(const char *name, char *key, int cb);

// The fields of text split at every one of delims (empty ones too): 0, or
// -1 with the splitter's code (0x0200 for its list recorded with src, when
// given).
int Split(const char *text, const char *delims, std::vector<std::string> &fields, const char *src = nullptr);

// The largest key of an id file ("%06d" keys, reserved ones passed over) as
// a number, 0 when the file holds none: 0, or -1: with src, 0x8000 (the
// cursor cannot be set) or 0xB200 (a read failed) recorded with src;
// without, the code that the failed step recorded. The cursor is left on
// "next".
int LargestIdKey(VAKOBDB *pIdDb, int *pId, const char *src);
// As above, the codes recorded with this layer's own file name.
int LargestIdKey(VAKOBDB *pIdDb, int *pId);

// What CopyNameField found.
enum class NameField { Copied, NoSeparator, TooLong };
// The text of a stored line before its first ':' into out (cbOut > 0
// bytes, with its NUL): Copied; NoSeparator (out ""); TooLong (out untouched).
inline NameField CopyNameField(const std::string &line, char *out, int cbOut)
{
    size_t colon = line.find(':');
    if (colon == std::string::npos) {
        *out = '\0';
        return NameField::NoSeparator;
    }
    if (colon >= static_cast<size_t>(cbOut))
        return NameField::TooLong;
    memcpy(out, line.data(), colon);
    out[colon] = '\0';
    return NameField::Copied;
}

// Opens a database whose record Rec holds n files, the handle of file i in
// fileOf(record, i): prefix + suffix[i] with cache[i]'s duplicates flag, as
// OpenFileSet (build fills a new set). On success a record in *ppDb is
// closed and replaced: 0 or 1; -1 leaves *ppDb as it was.
template <class Rec>
int OpenRecord(const char *src, Rec **ppDb, const char *prefix, int n, const char *const *suffix,
               const VAKOBDBCACHEFILE *cache, VAKOBDB *&(*fileOf)(Rec *, int), int (*build)(Rec *),
               void (*close)(Rec *));

// True when the first '#' of a line starts "#$<marker>$": the line that
// gives the last id handed out (LastIdBuild).
bool MarkerLine(std::string_view content, const char *marker);

// Reads the last id handed out from the marker line "#$<marker>$<id>$" of
// a text file (the first '#' of a line; a number not followed by '$' lets
// later lines give another) and stores it as the 32-bit word curKey in the
// id file; a number outside first..last gives the largest id key instead.
// 0, or -1 (0x0900 the file, LargestIdKey's codes, 0xB300 the store),
// codes recorded with src.
int LastIdBuild(VAKOBDB *pIdDb, const char *textFile, const char *marker, int first, int last, const char *curKey,
                int cbCurKey, const char *src);

// The first id from the last one handed out (the word curKey, else the
// largest id key) + 1 upward without a record in the id file, wrapping from
// last to first (a start outside them is first): the id, or -1 with 0xB200
// (the start cannot be read), noneCode (none left) or a failed probe's
// code, recorded with src.
int FreeId(VAKOBDB *pIdDb, const char *curKey, int cbCurKey, int first, int last, int noneCode, const char *src);

// Opens path as VAKOBDbOpen does, a new file made with mode, which the
// file found there must not exceed either.
VAKOBDB *OpenDb(const char *path, int oflags, int bDup, mode_t mode);

// One cache file of a set being opened: its name after the set's prefix
// (or "" for a set of one file), duplicates flag, mode and the field of
// the set's record that receives its handle.
struct SetFile {
    const char *suffix;
    int bDup;
    mode_t mode;
    VAKOBDB **handle;
};
// Opens each file prefix + suffix of a set in order (0x0D00 for a path of
// 4096 bytes or more), a missing one created empty and marked current,
// as is one that the open refused (replaced; 0x0300: not this account's to
// replace, the open fails). When one was created the files that existed are made empty too
// (marked replaced for their holders first), so that a build never adds to
// records an interrupted one left; build fills them, and all are opened
// again so that everything the build wrote is in the files. 0 all existed,
// 1 built, -1 (logged with src; the build's or the open's code): the
// handles opened stay in their fields for the caller to close.
int OpenFileSet(const char *src, const char *prefix, const std::vector<SetFile> &files,
                const std::function<int()> &build);

template <class Rec>
int OpenRecord(const char *src, Rec **ppDb, const char *prefix, int n, const char *const *suffix,
               const VAKOBDBCACHEFILE *cache, VAKOBDB *&(*fileOf)(Rec *, int), int (*build)(Rec *),
               void (*close)(Rec *))
{
    if (!ppDb || !prefix) {
        SLIBErrorSetEx(SLIB_ERR_BAD_PARAMETER, src, __LINE__);
        return -1;
    }
    // Closed with what it holds on every path but success, an exception's
    // too.
    slib::ReleasedBy<Rec> db(static_cast<Rec *>(calloc(1, sizeof(Rec))), close);
    if (!db) {
        SLIBErrorSetEx(SLIB_ERR_OUT_OF_MEMORY, src, __LINE__);
        return -1;
    }
    std::vector<SetFile> files;
    for (int i = 0; i < n; i++)
        files.push_back({suffix[i], cache[i].bDup, cache[i].mode, &fileOf(db.get(), i)});
    int r = OpenFileSet(src, prefix, files, [&] { return build(db.get()); });
    if (r < 0)
        return -1;
    close(*ppDb);
    *ppDb = db.release();
    return r;
}

// True when something (a file, a link, a directory) stands at path.
inline bool PathExists(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0;
}

// Removes from a file with duplicate keys only the records of key whose
// value is the text value, keeping the others of that key: 0 (also when
// there was none), or -1 with the store's code.
int DeleteDupRecord(VAKOBDB *bdb, const char *key, int cbKey, const std::string &value);

// As DeleteDupRecord, the number of records removed (before a failure too)
// into *pRemoved.
int DeleteDupRecords(VAKOBDB *bdb, const char *key, int cbKey, const std::string &value, int *pRemoved);

// The records that one change of an account or a group makes in the files
// of its database, each taken back, last first, when the change is not
// kept: a change that fails part way leaves every file as it was, its code
// recorded. Keys are text stored with their NUL, values too but for
// PutBytes'; a value taken back gets its bytes as they were. Each step: 0,
// or -1 with the store's code.
class Changes {
public:
    Changes() = default;
    ~Changes();
    Changes(const Changes &) = delete;
    Changes &operator=(const Changes &) = delete;

    // key -> value in a file without duplicates.
    int Put(VAKOBDB *bdb, const std::string &key, const std::string &value);
    // key -> the bytes of value, as they are, in a file without duplicates.
    int PutBytes(VAKOBDB *bdb, const std::string &key, std::string_view value);
    // The record of key gone from a file without duplicates (none there too).
    int Remove(VAKOBDB *bdb, const std::string &key);
    // One more record key -> value in a file with duplicates.
    int Add(VAKOBDB *bdb, const std::string &key, const std::string &value);
    // The records key -> value gone from a file with duplicates, the others
    // of key kept (none there too).
    int RemoveDup(VAKOBDB *bdb, const std::string &key, const std::string &value);
    // The change is whole: nothing is taken back.
    void Keep() { kept_ = true; }

private:
    enum class Kind { kPut, kRemove, kAdd, kRemoveDup };
    struct Step {
        Kind kind;
        VAKOBDB *bdb;
        std::string key, value;
        bool had;        // kPut, kRemove: the key held the value old
        std::string old; // ...
        int removed;     // kRemoveDup: records removed
    };
    // The value stored under key into old: 1, 0 when absent, -1.
    static int Read(VAKOBDB *bdb, const std::string &key, std::string &old);
    // Room for one more step, made before the change it records: a change
    // made is never left out of the undo for want of memory.
    void Room() { steps_.reserve(steps_.size() + 1); }
    std::vector<Step> steps_;
    bool kept_ = false;
};

// A hold of lock-table rows that this call took itself: released once,
// and only then, so that a caller's own hold of the same rows stays. Codes
// are recorded with src as the source file.
class LockHold {
public:
    LockHold(const char *src, int releaseMask) : src_(src), mask_(releaseMask) {}
    ~LockHold() { Release(0); }
    LockHold(const LockHold &) = delete;
    LockHold &operator=(const LockHold &) = delete;
    // 0, or -1 with 0x0400.
    int Take(int request, int timeoutSec)
    {
        if (ErrSLIBFileLock(request, timeoutSec) != 0) {
            SLIBErrorSetEx(SLIB_ERR_LOCK_TIMEOUT, src_, __LINE__);
            return -1;
        }
        held_ = true;
        return 0;
    }
    // The result after the release: result, or -1 with 0x0500.
    int Release(int result)
    {
        if (!held_)
            return result;
        held_ = false;
        if (ErrSLIBFileUnlock(mask_) != 0) {
            SLIBErrorSetEx(SLIB_ERR_LOCK_RELEASE, src_, __LINE__);
            return -1;
        }
        return result;
    }

private:
    const char *src_;
    int mask_;
    bool held_ = false;
};

// An id field of an account or group line: decimal digits only (no sign,
// no blank), at most 4294967295; *pId gets its 32 bits as a signed number.
bool ParseId(std::string_view field, int *pId);

// The fields of a text line at every ':' (empty ones too), as views into it.
std::vector<std::string_view> Fields(std::string_view line);

// Why a build keeps a line of an account or group file as it stands, for
// its log line: kComment (not logged), or the lines' own reasons below.
extern const char kComment[];
// A comment (an empty line, or '#' first) or a line holding a NUL byte:
// the reason it is kept, or nullptr.
const char *Unreadable(std::string_view content);

// The names that a build takes, each once: a name (the text of a line
// before its first ':') upper-cased into a key of fewer than cbKey bytes,
// for the first line that gives it, as the C library's readers take such
// a file. Claim: 1 (key), 0 kept (*why: no name, not UTF-8 text, too long,
// met before), -1 the upper-caser failed otherwise (its code recorded).
class Names {
public:
    explicit Names(int cbKey) : cbKey_(cbKey) {}
    int Claim(std::string_view name, std::string &key, const char **why);

private:
    int cbKey_;
    std::unordered_set<std::string> seen_;
};

// The format error of a line: too few fields, or no separator.
extern const char kFormatError[];

// The shape of the lines of one account or group text file that its build
// takes as records: at least minFields fields at ':' (at most maxFields,
// when not 0), a number of an id in the third field when idWhy is given
// (else the reason), fields that check (when given) finds sound (else its
// reason), and a name before the first sep.
struct LineShape {
    const char *sep;
    size_t minFields;
    size_t maxFields;
    const char *idWhy;
    int cbKey;
    const char *(*check)(const std::vector<std::string_view> &fields);
};

// The rule of a build for the lines of one text file: a record is a line
// that is no comment, holds no NUL byte, has its shape and a name that no
// earlier line took (Names); any other line is kept as it stands.
class KeyedLines {
public:
    explicit KeyedLines(const LineShape &shape) : shape_(shape), names_(shape.cbKey) {}
    // 1 taken (key, and the id when the shape has one), 0 kept (*why), -1
    // the upper-caser failed.
    int Take(std::string_view content, std::string &key, int *pId, const char **why);
    // The same rule, for a dump's reading of the file (TextFile).
    std::function<int(std::string_view, std::string &)> Rule() const;

private:
    LineShape shape_;
    Names names_;
};

// How a build reads one text file: its source name (recorded with the
// codes, heading the log lines), the file, the shape of its lines, and its
// messages: of a line's format error (its arguments: src, line, file, the
// line as "%.*s"), and of a read that stops before the end ("%s:%d ...
// errno=%d/%m").
struct LinesRead {
    const char *src;
    const char *file;
    LineShape shape;
    const char *formatError;
    const char *endFailed;
};
// Reads the file as its build takes it: each line taken goes to taken
// (content, key, id); each kept line is logged (a comment is not; any other
// reason with the line number and the line's start) and goes to kept, when
// given. 0, or -1: 0x0900 (the file) or 0x0A00 (a read error) recorded with
// src, the upper-caser's code (logged), or a callback's failure.
int ReadLines(const LinesRead &r, const std::function<int(std::string_view, const std::string &, int)> &taken,
              const std::function<int(std::string_view)> &kept);

// Holds the name and the id (third field) of a kept line that has them, in
// the name file and the id file (names as Names upper-cases them with
// cbKey): 0, or -1 (the failed step's code).
int HoldLine(VAKOBDB *nameDb, VAKOBDB *idDb, std::string_view content, int cbKey);

// Names and ids that lines of a text file hold which the build keeps as
// they stand (a line the cache cannot hold as a record, or a later line of
// a name it took): the system may still read such a line as an account or
// a group, so no new account or group takes its name or id. Each is held
// by a reserved record: the upper-cased name in the name file, the "%06d"
// id key in the id file. Hold: 0, or -1 with the store's code. IsHeld: 1
// held, 0 not, -1 (a failed read, its code recorded).
int Hold(VAKOBDB *bdb, std::string_view key);
int IsHeld(VAKOBDB *bdb, std::string_view key);

// The value of key (stored with its NUL) in bdb: 1 (*pWhole when it is
// one text and its NUL), 0 absent, -1 a failed read (its code recorded).
int ReadValue(VAKOBDB *bdb, const std::string &key, std::string &value, bool *pWhole);
// True when a stored line is one of key: its name field (before its first
// ':') upper-cased into cbKey bytes is the key.
bool KeyedBy(const std::string &line, const std::string &key, int cbKey);

// A record that a dump writes into a text file: its key and its line as the
// cache holds it; asBuilt, when given, is the value that the build made of
// the file's line of that key where it stored the line in another form.
struct DumpRecord {
    std::string key;
    std::string value;
    std::optional<std::string> asBuilt;
};

// The text file that a dump replaces, as it stands: each line taken by the
// build as the record of a key, or kept as it stands (comments, lines the
// cache cannot hold, later lines of a key). A dump writes its records in
// its own order: the line of a record that nothing changed as it stood
// (its CR and its missing last line feed too), a changed one as value and
// "\n"; after each record the kept lines that followed its line, and the
// kept lines before the first record first. So no line the cache does not
// hold is lost, and a file in the dump's order comes back as it was.
class TextFile {
public:
    // What the build makes of a line (its content, without line end): 1
    // taken as the record of key, 0 kept as it stands, -1 a failure (its
    // code recorded).
    using Rule = std::function<int(std::string_view content, std::string &key)>;
    // What the cache holds for a key the records leave out: 1 (into rec),
    // 0 nothing (the account or group is gone), -1 a failed read.
    using Lookup = std::function<int(const std::string &key, DumpRecord &rec)>;

    // Reads path, each line through keyOf: false (logged, the reader's
    // code recorded with src) when it cannot be read whole.
    bool Read(const char *path, const Rule &keyOf, const char *src);
    // True when a line of the file was taken for key.
    bool Holds(const std::string &key) const { return index_.count(key) != 0; }
    // Writes the new file into out: the records in their order, as above.
    // A line taken for a key that the records leave out stays where it
    // stood, as lookup gives its record, or goes when lookup finds none
    // (the next record then takes its place when it has no line of its
    // own, as a renamed one).
    // False when a write or a lookup failed (its code recorded).
    bool Write(slib::FileReplacer &out, const std::vector<DumpRecord> &records, const Lookup &lookup) const;

private:
    struct Line {
        std::string raw; // line end included
        std::string key; // "" kept as it stands
    };
    std::vector<Line> lines_;
    std::unordered_map<std::string, size_t> index_; // key -> its line
};

// The domain's names of path (one line each, the name all before its last
// colon) stored under their upper-cased key (upper: logs and records its own
// failures, below 0) with the name and suffix as value; only while WINS says
// this is a domain member.  0, or -1: 0x0D00 (no database) or 0x0900 (path
// unreadable) recorded with src, else the failed step's code; none is
// logged when path names nobody.
struct DomainNames {
    const char *src;
    const char *path;
    const char *suffix;
    const char *none;
    int cbKey;
    int cbWorkgroup;
    int (*upper)(const char *src, const char *name, char *key, int cb);
};
int DomainNamesBuild(VAKOBDB *pNameDb, const DomainNames &names);
// Tells the appliance's event log that the domain's names could not be
// loaded; the program's result is not looked at, a failed start is logged
// with src and line.
void DomainFailEvent(const char *src, int line);

} // namespace keydb_internal

#pragma GCC visibility pop
