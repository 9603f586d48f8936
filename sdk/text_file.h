// Small text files of the service settings (backup sets, rsync secrets,
// FTP lists), read whole and replaced whole. Not part of the C interface.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <string>
#include <string_view>

#include "slib/error.h"
#include "slibcxx/raii.h"

namespace vako::text {

// Writes all size bytes (a short write is retried): false with errno set.
inline bool WriteAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The whole file at path into text, and its status into st when given:
// true, or false with the code recorded under the source name src (0x0900
// open, 0x2700 fstat, 0x0A00 read) and errno that of the failing call
// (ENOENT: the file is missing).
inline bool ReadWhole(const char *src, const char *path, std::string &text, struct stat *st = nullptr)
{
    auto fail = [src](int code) {
        int e = errno;
        SLIBErrorSetEx(code, src, __LINE__);
        errno = e;
        return false;
    };
    slib::Fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return fail(SLIB_ERR_OPEN);
    if (st && fstat(fd.get(), st) != 0)
        return fail(SLIB_ERR_STAT);
    text.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(SLIB_ERR_READ);
        if (n == 0)
            return true;
        text.append(buf, static_cast<size_t>(n));
    }
}

// The lines of a text, each with its line feed when it has one (the last
// one may lack it).
class Lines {
public:
    explicit Lines(std::string_view text) : rest_(text) {}
    bool Next(std::string_view &line)
    {
        if (rest_.empty())
            return false;
        size_t end = rest_.find('\n');
        end = end == std::string_view::npos ? rest_.size() : end + 1;
        line = rest_.substr(0, end);
        rest_.remove_prefix(end);
        return true;
    }

private:
    std::string_view rest_;
};

// A line without its line feed.
inline std::string_view Bare(std::string_view line)
{
    return !line.empty() && line.back() == '\n' ? line.substr(0, line.size() - 1) : line;
}

// The new content of a file, gathered in text() and written to a temporary
// file beside it. Until RenameOver has put it in place, the temporary file
// is closed and removed on every path. Codes are recorded under the source
// name src.
class Replacement {
public:
    explicit Replacement(const char *src) : src_(src) {}
    ~Replacement()
    {
        if (fd_ >= 0)
            close(fd_);
        if (!path_.empty())
            unlink(path_.c_str());
    }
    Replacement(const Replacement &) = delete;
    Replacement &operator=(const Replacement &) = delete;

    // A new file from a mkstemp pattern ("...XXXXXX"), or at the fixed path
    // (mode 0600); 0x0900 on failure.
    bool Create(const char *path, bool unique)
    {
        std::string name = path;
        fd_ = unique ? mkstemp(name.data()) : open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            SLIBErrorSetEx(SLIB_ERR_OPEN, src_, __LINE__);
            return false;
        }
        path_ = name;
        return true;
    }
    std::string &text() { return text_; }
    // Each step records 0x0B00 when it fails.
    bool Write() { return Check(WriteAll(fd_, text_.data(), text_.size())); }
    bool Sync() { return Check(fsync(fd_) == 0); }
    // The permission bits (and, when asked, owner and group) of the file replaced.
    bool Attributes(const struct stat &old, bool owner)
    {
        return Check(fchmod(fd_, old.st_mode & 07777) == 0 && (!owner || fchown(fd_, old.st_uid, old.st_gid) == 0));
    }
    bool Close()
    {
        int fd = fd_;
        fd_ = -1;
        return Check(close(fd) == 0);
    }
    // 0x2800 on failure.
    bool RenameOver(const char *target)
    {
        if (rename(path_.c_str(), target) != 0) {
            SLIBErrorSetEx(SLIB_ERR_RENAME, src_, __LINE__);
            return false;
        }
        path_.clear();
        return true;
    }

private:
    bool Check(bool ok) const
    {
        if (!ok)
            SLIBErrorSetEx(SLIB_ERR_WRITE, src_, __LINE__);
        return ok;
    }
    const char *src_;
    std::string path_, text_;
    int fd_ = -1;
};

// No C++ exception may leave the C interface: an allocation that throws
// inside an operation is its out-of-memory failure, recorded under the
// operation's source name src.
template <class R, class F> R Guarded(const char *src, R failure, F fn)
{
    try {
        return fn();
    } catch (const std::bad_alloc &) {
        SLIBErrorSetEx(SLIB_ERR_OUT_OF_MEMORY, src, __LINE__);
        return failure;
    }
}

} // namespace vako::text
