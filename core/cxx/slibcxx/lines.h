// The one line reader of the libraries and the updater (not part of the C
// interface): a text stream read line by line. Header-only; the libraries
// build with -fvisibility-inlines-hidden, so that none of it is exported.
#pragma once

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string_view>

#include "slib/error.h"
#include "slibcxx/raii.h"

namespace slib {

// Reads a stream line by line with getline: lines of any length, NUL bytes
// and the line end kept. With a source name src, the reader records the
// codes of its own failures under it (errno stays that of the failing call).
class LineReader {
public:
    // Reads a stream that stays the caller's.
    explicit LineReader(FILE *fp, const char *src = nullptr) : src_(src), fp_(fp) {}
    // Opens path itself ("re"); when it cannot, ok() is false and src
    // records 0x0900.
    explicit LineReader(const char *path, const char *src = nullptr) : src_(src), own_(fopen(path, "re"))
    {
        fp_ = own_.get();
        if (!fp_)
            Record(SLIB_ERR_OPEN);
    }
    ~LineReader() { free(line_); }
    LineReader(const LineReader &) = delete;
    LineReader &operator=(const LineReader &) = delete;

    bool ok() const { return fp_ != nullptr; }
    FILE *stream() const { return fp_; }

    // The next line with its line end, NUL-terminated in the reader's block
    // (valid until the next call); NULL at the end of the file or after a
    // read error (AtEnd and Failed tell which).
    char *Next()
    {
        if (!fp_)
            return nullptr;
        ssize_t n = getline(&line_, &cap_, fp_);
        len_ = n < 0 ? 0 : static_cast<size_t>(n);
        return n < 0 ? nullptr : line_;
    }
    char *line() const { return line_; }
    size_t len() const { return len_; }
    // The line read last, its line end included.
    std::string_view view() const { return {line_, len_}; }
    // The line read last without its line feed.
    std::string_view text() const { return {line_, EndsInNewline() ? len_ - 1 : len_}; }
    // The line read last without its line end, "\n" or "\r\n" (or a "\r"
    // that ends the file): what a line of a text file of lines holds.
    std::string_view content() const
    {
        std::string_view t = text();
        return t.ends_with('\r') ? t.substr(0, t.size() - 1) : t;
    }
    bool EndsInNewline() const { return len_ > 0 && line_[len_ - 1] == '\n'; }
    // The line read last holds a NUL byte: text that a C string would cut there.
    bool HoldsNul() const { return len_ > 0 && memchr(line_, '\0', len_) != nullptr; }

    // Reading stopped at a read error.
    bool Failed() const { return fp_ && ferror(fp_) != 0; }
    // Reading stopped at the end of the file, not at an error.
    bool AtEnd() const { return fp_ && feof(fp_) && !ferror(fp_); }
    // AtEnd, where a read error also records 0x0A00 under src.
    bool CheckEnd()
    {
        if (AtEnd())
            return true;
        Record(SLIB_ERR_READ);
        return false;
    }
    // The status of the file read into *st: false (0x2700 under src) when
    // fstat fails.
    bool Stat(struct stat *st)
    {
        if (fp_ && fstat(fileno(fp_), st) == 0)
            return true;
        Record(SLIB_ERR_STAT);
        return false;
    }

private:
    void Record(int code) const
    {
        if (!src_)
            return;
        int e = errno;
        SLIB_ERR_IN(src_, code);
        errno = e;
    }

    const char *src_;
    FilePtr own_;
    FILE *fp_ = nullptr;
    char *line_ = nullptr;
    size_t cap_ = 0;
    size_t len_ = 0;
};

} // namespace slib
