#include "slib/conf_write.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "conf_file.h"
#include "slib/error.h"
#include "slib/str.h"
#include "slibcxx/border.h"
#include "slibcxx/lines.h"
#include "slibcxx/raii.h"
#include "slibcxx/replace.h"

using conf::IsComment;
using slib::Guarded;
using slib::LineReader;

namespace {

constexpr const char *kDefaultFormat = "%s=%s\n";

// The operations' own source names, recorded with their error codes and
// printed in their messages.
constexpr const char *kSrcSetKeyValue = "file_set_key_value";
constexpr const char *kSrcSetKeys = "file_set_keys";
constexpr const char *kSrcRemoveKey = "file_remove_key";
constexpr const char *kSrcSetLine = "file_set_line";
constexpr const char *kSrcAddLine = "file_add_line";
constexpr const char *kSrcReplaceSubStr = "file_replace_sub_str";
constexpr const char *kSrcAddSection = "file_add_section";
constexpr const char *kSrcSetSection = "file_set_section";
constexpr const char *kSrcModifySection = "file_modify_section";
constexpr const char *kSrcHash2File = "file_hash2file";

using slib::FilePtr;

bool OneLine(const char *s) { return !strpbrk(s, "\r\n"); }
bool SafeKey(const char *s) { return !strpbrk(s, "\r\n="); }

// A pair whose text would make lines of its own, or move the '=' of its
// line, is refused before anything is written.
bool SafePairs(PSLIBSZHASH h)
{
    if (!h)
        return true;
    for (int i = 0; i < h->nSlot; i++)
        if (const char *k = SLIBSzHashSlotKey(h, i))
            if (!SafeKey(k) || !OneLine(SLIBSzHashSlotValue(h, i)))
                return false;
    return true;
}

// fmt with its two "%s" replaced by key and value. Only fmt is read as a
// format; key and value are copied as they are.
std::string Format(const char *fmt, const char *key, const char *value)
{
    std::string out;
    int n = 0;
    for (const char *p = fmt; *p; p++) {
        if (p[0] == '%' && p[1] == 's') {
            out += n++ == 0 ? key : value;
            p++;
        } else if (p[0] == '%' && p[1] == '%') {
            out += '%';
            p++;
        } else {
            out += *p;
        }
    }
    return out;
}

// A directory where anyone may put names, such as /tmp: a name found
// there may have been planted by another user.
bool InSharedDirectory(const char *file)
{
    const char *slash = strrchr(file, '/');
    std::string dir = !slash ? "." : slash == file ? "/" : std::string(file, static_cast<size_t>(slash - file));
    struct stat st;
    return stat(dir.c_str(), &st) == 0 && (st.st_mode & S_ISVTX) && (st.st_mode & S_IWOTH);
}

// The target as the writers take it: a regular file, so that no read or
// write of it waits on a FIFO or reaches a device; in a shared directory
// also no link, and a file of the caller's own with one name, checked on
// the descriptor that is then used.
bool Acceptable(const struct stat &st, bool shared)
{
    return S_ISREG(st.st_mode) && (!shared || (st.st_uid == geteuid() && st.st_nlink == 1));
}

// Opens the target with an fopen mode ("r", "r+" or "w", which creates it
// or empties it), never waiting; *st is its status.  NULL with *missing set
// (and no code) when it is missing and mode does not create it, else NULL
// with 0x0900 (cannot be opened, or not a file to write) or 0x2700 (no
// status), recorded under src.
FilePtr OpenTarget(const char *src, const char *file, const char *mode, struct stat *st, bool *missing)
{
    *missing = false;
    const bool shared = InSharedDirectory(file);
    int flags = O_NONBLOCK | O_CLOEXEC | (shared ? O_NOFOLLOW : 0);
    if (mode[0] == 'w')
        flags |= O_WRONLY | O_CREAT | (shared ? O_EXCL : O_TRUNC);
    else
        flags |= mode[1] == '+' ? O_RDWR : O_RDONLY;
    slib::Fd fd(open(file, flags, 0666));
    if (!fd.ok()) {
        *missing = errno == ENOENT && mode[0] != 'w';
        if (!*missing)
            SLIB_ERR_IN(src, SLIB_ERR_OPEN);
        return nullptr;
    }
    if (fstat(fd.get(), st) != 0) {
        SLIB_ERR_IN(src, SLIB_ERR_STAT);
        return nullptr;
    }
    if (!Acceptable(*st, shared)) {
        SLIB_ERR_IN(src, SLIB_ERR_OPEN);
        return nullptr;
    }
    FilePtr fp(fdopen(fd.get(), mode));
    if (!fp) {
        SLIB_ERR_IN(src, SLIB_ERR_OPEN);
        return nullptr;
    }
    fd.release(); // the stream owns it now
    return fp;
}

// A target that does not exist yet, written in place (never through a
// link, and removed again when it cannot be written whole).
bool CreateWith(const char *src, const char *file, const std::string &content)
{
    slib::FileReplacer out(src);
    if (!out.CreateNew(file, 0666)) {
        if (out.failed() == slib::FileReplacer::Step::kCreate && errno == EEXIST)
            SLIB_ERR_IN(src, SLIB_ERR_OPEN);
        return false;
    }
    return out.Write(content) && out.Finish();
}

// The safe rewrite: the new content goes to a temporary file beside the
// target (its owner and mode), which replaces the target by rename once it
// is complete and on disk. Until then, and after any failure, the target is
// untouched, and a temporary file that was not renamed is removed. Failures
// are recorded under src, the writer's source name.
class Rewriter {
public:
    Rewriter(const char *src, const char *target) : src_(src), target_(target), out_(src) {}
    Rewriter(const Rewriter &) = delete;
    Rewriter &operator=(const Rewriter &) = delete;

    enum Opened { kOpen, kMissing, kFailed };
    // Opens the target for reading; a missing target records nothing.
    Opened Open(const char *mode)
    {
        bool missing;
        in_ = OpenTarget(src_, target_, mode, &st_, &missing);
        if (in_)
            return kOpen;
        return missing ? kMissing : kFailed;
    }
    // A missing target is created holding content: 1 when it was, -1 on
    // failure, 0 when the target is open for the rewrite.
    int OpenOrCreate(const char *mode, const std::string &content)
    {
        switch (Open(mode)) {
        case kFailed:
            return -1;
        case kMissing:
            return CreateWith(src_, target_, content) ? 1 : -1;
        case kOpen:
            break;
        }
        return 0;
    }
    // A missing target is an error too (0x0900).
    bool OpenExisting()
    {
        Opened o = Open("r");
        if (o == kMissing)
            SLIB_ERR_IN(src_, SLIB_ERR_OPEN);
        return o == kOpen;
    }
    FILE *in() const { return in_.get(); }
    FILE *ReleaseIn() { return in_.release(); }
    bool ReadFailed() const { return in_ && ferror(in_.get()); }

    // Creates the temporary file with the target's owner and mode (without
    // a target, the process's ids and mode 0644).
    bool Begin()
    {
        if (!in_) {
            st_.st_uid = getuid();
            st_.st_gid = getgid();
            st_.st_mode = 0644;
        }
        return out_.CreateUnique(target_) && out_.CopyAttributes(st_, true);
    }

    FILE *out() { return out_.stream(); }
    bool Put(const char *s, size_t n)
    {
        if (n == 0)
            return true;
        if (!out_.Write(s, n))
            return false;
        Wrote(s[n - 1]);
        return true;
    }
    bool Put(const std::string &s) { return Put(s.data(), s.size()); }
    bool PutLine(const char *s) { return Put(s, strlen(s)) && Put("\n", 1); }
    // Before a line is appended after the last one: that line must end,
    // whatever its last byte (a crash can leave NUL bytes there).
    bool EndLine() { return !wrote_ || last_ == '\n' || Put("\n", 1); }
    void Wrote(char last)
    {
        wrote_ = true;
        last_ = last;
    }

    // Completes the rewrite; readError is the code of a failed read of the
    // target.
    bool Commit(int readError)
    {
        if (ReadFailed()) {
            SLIB_ERR_IN(src_, readError);
            return false;
        }
        return out_.Finish() && out_.RenameOver(target_);
    }

private:
    const char *src_;
    const char *target_;
    FilePtr in_;
    slib::FileReplacer out_;
    struct stat st_ = {};
    bool wrote_ = false;
    char last_ = '\0';
};

// Number (from 1) of the line that matches pattern: the first, or the last
// with OP_FIND_LAST; 0 for none, -1 (0x0A00 under src) when the read fails.
int FindLine(const char *src, FILE *fp, const char *pattern, int flags)
{
    LineReader r(fp);
    int n = 0, found = 0;
    while (r.Next()) {
        n++;
        if (SLIBFileLineMatch(r.line(), pattern, flags)) {
            found = n;
            if (!(flags & OP_FIND_LAST))
                break;
        }
    }
    if (r.Failed()) {
        SLIB_ERR_IN(src, SLIB_ERR_READ);
        return -1;
    }
    rewind(fp);
    return found;
}

int Fail(const char *src, int code, int result)
{
    SLIB_ERR_IN(src, code);
    return result;
}

bool ReadHeader(const char *line, ssize_t len, const char *section)
{
    int n = static_cast<int>(len);
    return SLIBFileIsSectionLine(line, n) && SLIBFileMatchSection(line, n, section) == 1;
}

// The header of section (when given) and the pairs of hash in slot order,
// as they are written.
std::string PairsText(const char *section, PSLIBSZHASH hash, const char *fmt)
{
    std::string text;
    if (section)
        text.append("[").append(section).append("]\n");
    for (int i = 0; hash && i < hash->nSlot; i++)
        if (const char *k = SLIBSzHashSlotKey(hash, i))
            text += Format(fmt, k, SLIBSzHashSlotValue(hash, i));
    return text;
}

int PutText(FILE *fp, const std::string &text)
{
    if (fputs(text.c_str(), fp) < 0) {
        SLIB_ERR_IN(kSrcHash2File, SLIB_ERR_WRITE);
        return -1;
    }
    return 0;
}

// The text is whole before any of it is written: a stream is never left
// with half a section for want of memory.
int WritePairs(FILE *fp, const char *section, PSLIBSZHASH hash, const char *fmt)
{
    return PutText(fp, PairsText(section, hash, fmt));
}

} // namespace

int FileHashLineFormatCheck(const char *szFmt)
{
    if (!szFmt)
        return 1;
    const char *first = strstr(szFmt, "%s");
    const char *eq = first ? strchr(first + 2, '=') : nullptr;
    const char *second = eq ? strstr(eq + 1, "%s") : nullptr;
    if (!second || !strchr(second + 2, '\n'))
        return 0;
    // Key and value are the only arguments: any other conversion would read
    // what is not there.
    int n = 0;
    for (const char *p = szFmt; *p; p++) {
        if (*p != '%')
            continue;
        if (p[1] == 's')
            n++;
        else if (p[1] != '%')
            return 0;
        p++;
    }
    return n == 2;
}

int SLIBFileHash2File(FILE *fp, const char *szSection, PSLIBSZHASH pHash, const char *szFmt)
{
    return Guarded(kSrcHash2File, -1, [&] {
        if (!szFmt)
            szFmt = kDefaultFormat;
        if (!fp || !FileHashLineFormatCheck(szFmt) || (szSection && !OneLine(szSection)) || !SafePairs(pHash)) {
            SLIB_ERR_IN(kSrcHash2File, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        return WritePairs(fp, szSection, pHash, szFmt);
    });
}

int SLIBFileSetKeyValue(const char *szFile, const char *szKey, const char *szValue, const char *szFmt)
{
    return Guarded(kSrcSetKeyValue, -1, [&] {
        if (!szFmt)
            szFmt = kDefaultFormat;
        if (!szFile || !szKey || !szValue || !SafeKey(szKey) || !OneLine(szValue) || !FileHashLineFormatCheck(szFmt))
            return Fail(kSrcSetKeyValue, SLIB_ERR_BAD_PARAMETER, -1);
        Rewriter rw(kSrcSetKeyValue, szFile);
        if (int created = rw.OpenOrCreate("r", Format(szFmt, szKey, szValue)))
            return created;
        if (!rw.Begin())
            return -1;
        LineReader r(rw.in());
        std::string copy;
        bool done = false;
        while (r.Next()) {
            copy.assign(r.line());
            char *rest;
            if (!conf::KeyMatch(copy.data(), szKey, &rest)) {
                if (!rw.Put(r.line(), static_cast<size_t>(r.len())))
                    return -1;
                continue;
            }
            if (done)
                continue; // later lines of the key are dropped
            done = true;
            // The line keeps its own key text: blanks and quotes as they stand.
            std::string own = rest ? std::string(r.line(), static_cast<size_t>(rest - copy.data() - 1))
                                   : std::string(r.line(), strcspn(r.line(), "\n"));
            if (!rw.Put(Format(szFmt, own.c_str(), szValue)))
                return -1;
        }
        if (!done && !(rw.EndLine() && rw.Put(Format(szFmt, szKey, szValue))))
            return -1;
        return rw.Commit(SLIB_ERR_WRITE) ? 1 : -1;
    });
}

int SLIBFileSetKeys(const char *szFile, PSLIBSZHASH pSet, PSLIBSZHASH pRemove, const char *szFmt)
{
    return Guarded(kSrcSetKeys, -1, [&] {
        if (!szFmt)
            szFmt = kDefaultFormat;
        if (!szFile || !pSet || !SafePairs(pSet) || !FileHashLineFormatCheck(szFmt))
            return Fail(kSrcSetKeys, SLIB_ERR_BAD_PARAMETER, -1);
        Rewriter rw(kSrcSetKeys, szFile);
        if (rw.Open("r") == Rewriter::kFailed || !rw.Begin())
            return -1;
        int count = 0;
        auto failed = [&](const char *line) {
            syslog(LOG_ERR, "%s:%d SLIBILineKeyMoveHash2File() failed! szBuf=%s, szFormat=%s", kSrcSetKeys, __LINE__,
                   line, szFmt);
            return -1;
        };
        if (rw.in()) {
            LineReader r(rw.in());
            std::string t, k;
            while (r.Next()) {
                t.assign(r.line());
                SLIBStrTrimSpace(t.data(), nullptr);
                char *key = nullptr;
                if (t[0] && t[0] != '#' && t[0] != ';' && t[0] != '\n') {
                    // The key as the readers see it: the first piece before
                    // '=' of the line itself, trimmed, so that '"key"=old' is
                    // the line of key (trimming the whole line first would
                    // leave 'key"').
                    k.assign(r.line());
                    char *cursor = k.data();
                    key = SLIBStrSepSkipEmpty(&cursor, "=");
                    if (key)
                        SLIBStrTrimSpace(key, nullptr);
                }
                if (key && pRemove && SzSLIBSzHashGetValue(pRemove, key)) {
                    if (!SzSLIBSzHashRemoveKey(pRemove, key))
                        syslog(LOG_ERR, "%s:%d SzSLIBSzHashRemoveKey() szKey=%s", kSrcSetKeys, __LINE__, key);
                    count++;
                    continue;
                }
                const char *value = key ? SzSLIBSzHashGetValue(pSet, key) : nullptr;
                if (value) {
                    if (!rw.Put(Format(szFmt, key, value)))
                        return failed(r.line());
                    if (!SzSLIBSzHashRemoveKey(pSet, key))
                        syslog(LOG_ERR, "%s:%d SzSLIBSzHashRemoveKey() szKey=%s", kSrcSetKeys, __LINE__, key);
                    count++;
                    continue;
                }
                if (!rw.Put(r.line(), static_cast<size_t>(r.len())))
                    return failed(r.line());
            }
        }
        slib::OwnedPtr<SLIBSZLIST, SLIBSzListFree> keys(PslSLIBSzListAlloc(1024));
        PSLIBSZLIST l = keys.release();
        int n = l ? SLIBSzHashEnumKey(pSet, &l) : -1;
        keys.reset(l);
        if (n < 0) {
            syslog(LOG_ERR, "%s:%d SLIBSzHashEnumKey() failed!", kSrcSetKeys, __LINE__);
            return -1;
        }
        for (int i = 0; i < l->nItem; i++) {
            const char *key = SLIBSzListGet(l, i);
            if (!*key)
                continue;
            if (!rw.EndLine() || !rw.Put(Format(szFmt, key, SzSLIBSzHashGetValue(pSet, key))))
                return -1;
            count++;
        }
        return rw.Commit(SLIB_ERR_WRITE) ? count : -1;
    });
}

int SLIBFileRemoveKey(const char *szFile, const char *szKey)
{
    return Guarded(kSrcRemoveKey, -1, [&] {
        if (!szFile || !szKey)
            return Fail(kSrcRemoveKey, SLIB_ERR_BAD_PARAMETER, -1);
        Rewriter rw(kSrcRemoveKey, szFile);
        if (rw.Open("r") != Rewriter::kOpen || !rw.Begin())
            return -1;
        LineReader r(rw.in());
        std::string copy;
        int count = 0;
        while (r.Next()) {
            copy.assign(r.line());
            if (conf::KeyMatch(copy.data(), szKey, nullptr))
                count++;
            else if (!rw.Put(r.line(), static_cast<size_t>(r.len())))
                return -1;
        }
        if (count == 0 && !rw.ReadFailed())
            return Fail(kSrcRemoveKey, SLIB_ERR_NOT_FOUND, 0);
        return rw.Commit(SLIB_ERR_WRITE) ? count : -1;
    });
}

int SLIBFileSetLine(const char *szFile, const char *szPattern, const char *szNewLine, int flags)
{
    return Guarded(kSrcSetLine, -1, [&] {
        // Negative flags are the line matcher's to refuse: no line matches them.
        if (!szFile || !szPattern || (szNewLine && !OneLine(szNewLine)))
            return Fail(kSrcSetLine, SLIB_ERR_BAD_PARAMETER, -1);
        Rewriter rw(kSrcSetLine, szFile);
        if (int created = rw.OpenOrCreate("r", szNewLine ? std::string(szNewLine) + "\n" : ""))
            return created;
        int target = FindLine(kSrcSetLine, rw.in(), szPattern, flags);
        if (target <= 0)
            return target < 0 ? -1 : Fail(kSrcSetLine, SLIB_ERR_NOT_FOUND, 0);
        if (!rw.Begin())
            return -1;
        LineReader r(rw.in());
        for (int n = 1; r.Next(); n++) {
            bool ok = n != target ? rw.Put(r.line(), static_cast<size_t>(r.len()))
                                  : !szNewLine || rw.PutLine(szNewLine);
            if (!ok)
                return -1;
        }
        return rw.Commit(SLIB_ERR_READ) ? 1 : -1;
    });
}

namespace {

// The in-place append of SLIBFileAddLine; closes fp, whose close is part
// of the append.
int AppendInPlace(FILE *fp, const char *line)
{
    bool needNewline = false;
    if (fseek(fp, -1, SEEK_END) == 0) {
        int c = fgetc(fp);
        needNewline = c != '\n' && c != EOF;
    }
    bool ok = fseek(fp, 0, SEEK_END) == 0 && (!needNewline || fputs("\n", fp) >= 0) && fputs(line, fp) >= 0 &&
              fputs("\n", fp) >= 0;
    ok = ok ? slib::CloseSynced(fp) : (fclose(fp), false);
    if (!ok) {
        SLIB_ERR_IN(kSrcAddLine, SLIB_ERR_WRITE);
        return -1;
    }
    return 1;
}

} // namespace

int SLIBFileAddLine(const char *szFile, const char *szPattern, const char *szLine, int flags)
{
    return Guarded(kSrcAddLine, -1, [&] {
        if (!szFile || !szLine || flags < 0 || !OneLine(szLine))
            return Fail(kSrcAddLine, SLIB_ERR_BAD_PARAMETER, -1);
        Rewriter rw(kSrcAddLine, szFile);
        if (int created = rw.OpenOrCreate("r+", std::string(szLine) + "\n"))
            return created;
        if (!szPattern && (flags & OP_FIND_PREFIX))
            return AppendInPlace(rw.ReleaseIn(), szLine);
        int pos = 1;
        if (szPattern) {
            pos = FindLine(kSrcAddLine, rw.in(), szPattern, flags);
            if (pos <= 0)
                return pos < 0 ? -1 : Fail(kSrcAddLine, SLIB_ERR_NOT_FOUND, 0);
            if (flags & OP_FIND_PREFIX)
                pos++;
        }
        if (!rw.Begin())
            return -1;
        LineReader r(rw.in());
        int n = 0;
        while (r.Next()) {
            if (++n == pos && !rw.PutLine(szLine))
                return -1;
            if (!rw.Put(r.line(), static_cast<size_t>(r.len())))
                return -1;
        }
        if (pos > n && !(rw.EndLine() && rw.PutLine(szLine)))
            return -1;
        return rw.Commit(SLIB_ERR_READ) ? 1 : -1;
    });
}

int SLIBFileReplaceSubStr(const char *szFile, const char *szOld, const char *szNew)
{
    return Guarded(kSrcReplaceSubStr, -1, [&] {
        if (!szFile || !szOld || !szNew || !*szOld)
            return Fail(kSrcReplaceSubStr, SLIB_ERR_BAD_PARAMETER, -1);
        Rewriter rw(kSrcReplaceSubStr, szFile);
        if (!rw.OpenExisting() || !rw.Begin())
            return -1;
        LineReader r(rw.in());
        size_t oldLen = strlen(szOld);
        std::string line;
        int count = 0;
        while (r.Next()) {
            line.assign(r.line(), static_cast<size_t>(r.len()));
            for (size_t at = line.find(szOld); at != std::string::npos; at = line.find(szOld, at + strlen(szNew))) {
                line.replace(at, oldLen, szNew);
                count++;
            }
            if (!rw.Put(line))
                return -1;
        }
        if (count == 0 && !rw.ReadFailed())
            return Fail(kSrcReplaceSubStr, SLIB_ERR_NOT_FOUND, 0);
        return rw.Commit(SLIB_ERR_READ) ? count : -1;
    });
}

int ErrSLIBFileAddSection(const char *szFile, const char *szSection, PSLIBSZHASH pHash, const char *szFmt)
{
    return Guarded(kSrcAddSection, -1, [&] {
        if (!szFmt)
            szFmt = kDefaultFormat;
        if (!szFile || !szSection || !pHash || !OneLine(szSection) || !SafePairs(pHash) ||
            !FileHashLineFormatCheck(szFmt))
            return Fail(kSrcAddSection, SLIB_ERR_BAD_PARAMETER, -1);
        struct stat st;
        bool missing;
        FilePtr fp = OpenTarget(kSrcAddSection, szFile, "r+", &st, &missing);
        if (!fp) {
            if (missing)
                SLIB_ERR_IN(kSrcAddSection, SLIB_ERR_OPEN);
            return -1;
        }
        // Made before anything is appended, so that memory running out
        // leaves the file as it was.
        const std::string pairs = PairsText(szSection, pHash, szFmt);
        FILE *raw = fp.get();
        LineReader r(raw);
        bool endsLine = false, empty = true;
        while (r.Next()) {
            if (ReadHeader(r.line(), r.len(), szSection))
                return 0;
            empty = false;
            endsLine = r.EndsInNewline();
        }
        if (r.Failed())
            return -1;
        if (fseek(raw, 0, SEEK_END) != 0 || ((empty || !endsLine) && fputs("\n", raw) < 0)) {
            SLIB_ERR_IN(kSrcAddSection, SLIB_ERR_WRITE);
            return -1;
        }
        if (PutText(raw, pairs) < 0)
            return -1;
        // A buffered write fails only here: that is a failure too.
        if (!slib::CloseSynced(fp.release())) {
            SLIB_ERR_IN(kSrcAddSection, SLIB_ERR_WRITE);
            return -1;
        }
        return 1;
    });
}

int ErrSLIBFileSetSection(const char *szFile, const char *szOldSection, const char *szNewSection, PSLIBSZHASH pHash,
                          const char *szFmt)
{
    return Guarded(kSrcSetSection, -1, [&] {
        if (!pHash)
            return Fail(kSrcSetSection, SLIB_ERR_BAD_PARAMETER, -1);
        return SLIBFileModifySection(szFile, szOldSection, szNewSection, pHash, 1, szFmt);
    });
}

int SLIBFileModifySection(const char *szFile, const char *szOldSection, const char *szNewSection, PSLIBSZHASH pHash,
                          int flags, const char *szFmt)
{
    return Guarded(kSrcModifySection, -1, [&] {
        if (!szFmt)
            szFmt = kDefaultFormat;
        if (!szFile || !szOldSection || (szNewSection && !OneLine(szNewSection)) || !SafePairs(pHash) ||
            !FileHashLineFormatCheck(szFmt))
            return Fail(kSrcModifySection, SLIB_ERR_BAD_PARAMETER, -1);
        Rewriter rw(kSrcModifySection, szFile);
        if (!rw.OpenExisting() || !rw.Begin())
            return -1;
        LineReader r(rw.in());
        bool found = false, inside = false;
        while (r.Next()) {
            const char *line = r.line();
            int len = static_cast<int>(r.len());
            if (ReadHeader(line, len, szOldSection)) {
                found = inside = true;
                if ((flags & 1) && WritePairs(rw.out(), szNewSection ? szNewSection : szOldSection, pHash, szFmt) < 0)
                    return -1;
                rw.Wrote('\n');
                continue;
            }
            if (inside && SLIBFileIsSectionLine(line, len))
                inside = false;
            // Inside the section only comments stay; they follow the new pairs.
            if (inside && !IsComment(line))
                continue;
            if (!rw.Put(line, static_cast<size_t>(len)))
                return -1;
        }
        if (!rw.Commit(SLIB_ERR_READ))
            return -1;
        return found ? 1 : Fail(kSrcModifySection, SLIB_ERR_NOT_FOUND, 0);
    });
}

int SLIBFileRemove(const char *szPath)
{
    if (!szPath) {
        errno = EINVAL;
        return -1;
    }
    return unlink(szPath);
}
