// The one file replacer of the libraries and the updater (not part of the C
// interface): a new file written beside its target under a temporary name
// and put in the target's place whole; and the sync of a file written in
// place or of a name. Header-only; the libraries build
// with -fvisibility-inlines-hidden, so that none of it is exported.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <utility>

#include "slib/error.h"
#include "slibcxx/raii.h"

namespace slib {

// The name of a temporary file, removed when its owner goes unless released.
// errno survives the removal.
class TempPath {
public:
    TempPath() = default;
    explicit TempPath(std::string path) : path_(std::move(path)) {}
    ~TempPath()
    {
        int e = errno;
        Remove();
        errno = e;
    }
    TempPath(const TempPath &) = delete;
    TempPath &operator=(const TempPath &) = delete;

    const char *c_str() const { return path_.c_str(); }
    bool empty() const { return path_.empty(); }
    // Holds path, the name held before removed.
    void reset(std::string path = {})
    {
        Remove();
        path_ = std::move(path);
    }
    // Removes the file now: true when nothing stands at the name any more,
    // else false with errno. The name is no longer held either way.
    bool Remove()
    {
        if (path_.empty())
            return true;
        bool gone = unlink(path_.c_str()) == 0 || errno == ENOENT;
        path_.clear();
        return gone;
    }
    // The file stays: moving or removing it is someone else's now.
    void Release() { path_.clear(); }

private:
    std::string path_;
};

// Syncs what stands at path, opened read-only with flags (O_DIRECTORY for
// a directory): false with errno when it cannot be opened or synced.
inline bool SyncPath(const char *path, int flags = 0)
{
    int fd = open(path, O_RDONLY | flags | O_CLOEXEC);
    bool ok = fd >= 0 && fsync(fd) == 0;
    int e = errno;
    if (fd >= 0)
        close(fd);
    errno = e;
    return ok;
}

// Completes a file written in place through fp (an append): flushed (a
// write that failed before fails here), synced and closed once whatever
// fails. False with errno of the first call that failed.
inline bool CloseSynced(FILE *fp)
{
    bool ok = !ferror(fp) && fflush(fp) == 0 && fsync(fileno(fp)) == 0;
    int e = errno;
    if (fclose(fp) != 0 && ok)
        return false;
    errno = e;
    return ok;
}

// A file's bytes and status, read whole (never waiting on a FIFO): 1, 0
// when it does not exist (no code), -1 with the code recorded under src
// (0x0900 it cannot be opened or is no regular file, 0x2700 its status,
// 0x0A00 a read).
inline int ReadWholeFile(const char *path, std::string &bytes, struct stat &st, const char *src)
{
    Fd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.ok()) {
        if (errno == ENOENT)
            return 0;
        SLIB_ERR_IN(src, SLIB_ERR_OPEN);
        return -1;
    }
    if (fstat(fd.get(), &st) != 0) {
        SLIB_ERR_IN(src, SLIB_ERR_STAT);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        SLIB_ERR_IN(src, SLIB_ERR_OPEN);
        return -1;
    }
    bytes.clear();
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            SLIB_ERR_IN(src, SLIB_ERR_READ);
            return -1;
        }
        if (n == 0)
            return 1;
        bytes.append(buf, static_cast<size_t>(n));
    }
}

// Writes a new file under a temporary name and puts it in place of its
// target whole: until then the target is untouched, and the temporary file
// is removed on every path that does not put it in place (or Release it).
// Mode and owner are set before the first byte, or once the temporary is
// whole and synced; every write, the flush, the sync and the close are
// checked. Each failing step records its code under src, the writer's
// source name (errno stays that of the failing call, and failed() names
// the step): 0x0900 the temporary or its stream cannot be made, 0x0B00 its
// attributes, a write, the flush, the sync or the close, 0x2700 its
// status, 0x2800 the rename. A writer without a source name (src NULL)
// records no code at all: its callers never saw any.
class FileReplacer {
public:
    enum class Step { kNone, kCreate, kStream, kAttributes, kWrite, kSync, kStat, kClose, kPlace };

    explicit FileReplacer(const char *src) : src_(src) {}
    ~FileReplacer()
    {
        int e = errno;
        if (fp_)
            fclose(fp_);
        temp_.Remove();
        errno = e;
    }
    FileReplacer(const FileReplacer &) = delete;
    FileReplacer &operator=(const FileReplacer &) = delete;

    // A temporary of a unique name beside target (target + ".XXXXXX", made
    // by mkstemp: mode 0600 until set).
    bool CreateUnique(const char *target) { return CreateUniqueFrom((std::string(target) + ".XXXXXX").c_str()); }
    // A temporary of a unique name made from pattern, a path whose last six
    // characters are "XXXXXX" (mkstemp: mode 0600 until set).
    bool CreateUniqueFrom(const char *pattern)
    {
        std::string name = pattern;
        int fd = mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0)
            return Fail(Step::kCreate, SLIB_ERR_OPEN);
        temp_.reset(std::move(name));
        return Open(fd);
    }
    // The temporary at the fixed name path: whatever stands there removed
    // first (a file left behind could have any mode), then made anew,
    // exclusively and never through a link, with mode less the umask.
    bool CreateFixed(const char *path, mode_t mode)
    {
        if (unlink(path) != 0 && errno != ENOENT)
            return Fail(Step::kCreate, SLIB_ERR_OPEN);
        return CreateAt(path, mode, false);
    }
    // A file that does not exist yet, written at target itself (exclusively,
    // never through a link, mode less the umask): in place once Finish has
    // completed it, removed on every failure before. False with errno
    // EEXIST and no code when something stands at target.
    bool CreateNew(const char *target, mode_t mode)
    {
        if (!CreateAt(target, mode, true))
            return false;
        inPlace_ = true;
        return true;
    }

    // Before the first byte: the owner, the permission bits, or both of a
    // file's status (the owner first: a change of owner may clear bits).
    bool SetOwner(uid_t uid, gid_t gid) { return Attribute(fp_ && !wrote_ && fchown(fileno(fp_), uid, gid) == 0); }
    bool SetMode(mode_t mode) { return Attribute(fp_ && !wrote_ && fchmod(fileno(fp_), mode & 07777) == 0); }
    bool CopyAttributes(const struct stat &st, bool owner)
    {
        return (!owner || SetOwner(st.st_uid, st.st_gid)) && SetMode(st.st_mode);
    }
    // Or the owner and permission bits, or the bits alone, given once the
    // temporary is whole, by Finish right after the sync (owner first):
    // while it is written it stays as it was made (a unique one 0600). Not
    // for a mode that lets fewer read than the temporary's own.
    void AttributesWhenWhole(uid_t uid, gid_t gid, mode_t mode)
    {
        whole_ = {.owner = true, .mode = true, .uid = uid, .gid = gid, .bits = mode & 07777};
    }
    void ModeWhenWhole(mode_t mode) { whole_ = {.mode = true, .bits = mode & 07777}; }

    bool Write(const void *data, size_t n)
    {
        wrote_ = true;
        if (!Writable())
            return false;
        return n == 0 || fwrite(data, 1, n, fp_) == n || Fail(Step::kWrite, SLIB_ERR_WRITE);
    }
    bool Write(std::string_view s) { return Write(s.data(), s.size()); }
    bool Printf(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        wrote_ = true;
        if (!Writable())
            return false;
        va_list ap;
        va_start(ap, fmt);
        int n = vfprintf(fp_, fmt, ap);
        va_end(ap);
        return n >= 0 || Fail(Step::kWrite, SLIB_ERR_WRITE);
    }
    // The stream, for a writer that takes one: a write that fails on it
    // fails Finish.
    FILE *stream()
    {
        wrote_ = true;
        return fp_;
    }
    // The descriptor, for a writer that writes at offsets rather than
    // through the stream (never both): its writes are its own to check;
    // Finish syncs and closes. -1 when there is no temporary.
    int fd()
    {
        wrote_ = true;
        return fp_ ? fileno(fp_) : -1;
    }

    // Completes the temporary: flushed (a write that failed before fails
    // here), synced, given the attributes asked for when whole, its status
    // into *st when asked, closed once whatever the step that failed.
    bool Finish(struct stat *st = nullptr)
    {
        if (!Writable())
            return false;
        FILE *fp = fp_;
        fp_ = nullptr;
        bool ok = true;
        if (ferror(fp) || fflush(fp) != 0)
            ok = Fail(Step::kWrite, SLIB_ERR_WRITE);
        else if (fsync(fileno(fp)) != 0)
            ok = Fail(Step::kSync, SLIB_ERR_WRITE);
        else if ((whole_.owner && fchown(fileno(fp), whole_.uid, whole_.gid) != 0) ||
                 (whole_.mode && fchmod(fileno(fp), whole_.bits) != 0))
            ok = Fail(Step::kAttributes, SLIB_ERR_WRITE);
        else if (st && fstat(fileno(fp), st) != 0)
            ok = Fail(Step::kStat, SLIB_ERR_STAT);
        int e = errno;
        if (fclose(fp) != 0 && ok)
            ok = Fail(Step::kClose, SLIB_ERR_WRITE);
        else
            errno = e;
        if (ok && inPlace_)
            temp_.Release();
        return ok;
    }

    // Renames the completed temporary over target, which is then the new file.
    bool RenameOver(const char *target)
    {
        if (rename(temp_.c_str(), target) != 0)
            return Fail(Step::kPlace, SLIB_ERR_RENAME);
        temp_.Release();
        return true;
    }
    // Syncs the directory of path, so that a name given or replaced there
    // survives a power failure.
    bool SyncDirectory(const char *path)
    {
        const char *slash = strrchr(path, '/');
        std::string dir = !slash ? "." : slash == path ? "/" : std::string(path, static_cast<size_t>(slash - path));
        return SyncPath(dir.c_str(), O_DIRECTORY) || Fail(Step::kSync, SLIB_ERR_WRITE);
    }

    // Closes and removes the temporary now: false (errno; no code) when it
    // stays behind.
    bool Discard()
    {
        if (fp_)
            fclose(fp_);
        fp_ = nullptr;
        return temp_.Remove();
    }
    // The completed temporary stays, for a later step that moves it by name.
    void Release() { temp_.Release(); }

    const char *path() const { return temp_.c_str(); }
    Step failed() const { return failed_; }

private:
    // quietExists: something standing at path records no code.
    bool CreateAt(const char *path, mode_t mode, bool quietExists)
    {
        // The name is held before the file is made: memory running out
        // leaves nothing behind.
        std::string name = path;
        int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0) {
            if (quietExists && errno == EEXIST) {
                failed_ = Step::kCreate;
                return false;
            }
            return Fail(Step::kCreate, SLIB_ERR_OPEN);
        }
        temp_.reset(std::move(name));
        return Open(fd);
    }
    bool Open(int fd)
    {
        fp_ = fdopen(fd, "w");
        if (fp_)
            return true;
        int e = errno;
        close(fd);
        errno = e;
        return Fail(Step::kStream, SLIB_ERR_OPEN);
    }
    // A stream to write to: none (never made, or finished) fails the step.
    bool Writable()
    {
        if (fp_)
            return true;
        errno = EBADF;
        return Fail(Step::kWrite, SLIB_ERR_WRITE);
    }
    bool Attribute(bool ok)
    {
        if (!ok && wrote_)
            errno = EINVAL; // too late: bytes went out with other attributes
        return ok || Fail(Step::kAttributes, SLIB_ERR_WRITE);
    }
    bool Fail(Step step, int code)
    {
        failed_ = step;
        int e = errno;
        if (src_)
            SLIB_ERR_IN(src_, code);
        errno = e;
        return false;
    }

    const char *src_;
    TempPath temp_;
    FILE *fp_ = nullptr;
    bool wrote_ = false;
    bool inPlace_ = false;
    // The attributes given by Finish.
    struct {
        bool owner = false, mode = false;
        uid_t uid = 0;
        gid_t gid = 0;
        mode_t bits = 0;
    } whole_;
    Step failed_ = Step::kNone;
};

} // namespace slib
