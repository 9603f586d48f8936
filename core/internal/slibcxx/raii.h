// C++ owners for the implementation of the libraries and the updater (not
// part of the C interface).
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "slib/error.h"

namespace slib {

// Owner of a malloc'd block, for blocks that realloc or a C caller may take over.
struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};
template <class T> using HeapPtr = std::unique_ptr<T, FreeDeleter>;

// Closes its descriptor on every path.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Closes its stream on every path. A stream whose close result counts (one
// that was written) is released and closed by hand.
struct FileClose {
    void operator()(FILE *fp) const { fclose(fp); }
};
using FilePtr = std::unique_ptr<FILE, FileClose>;

// Reads a stream line by line with one growing buffer, freed on every path.
class LineReader {
public:
    explicit LineReader(FILE *fp) : fp_(fp) {}
    ~LineReader() { free(buf_); }
    LineReader(const LineReader &) = delete;
    LineReader &operator=(const LineReader &) = delete;

    // False at end of file and on a read error (see Failed).
    bool Next()
    {
        len_ = getline(&buf_, &cap_, fp_);
        return len_ >= 0;
    }
    bool Failed() const { return ferror(fp_) != 0; }
    char *line() const { return buf_; }
    ssize_t len() const { return len_; }
    bool EndsInNewline() const { return len_ > 0 && buf_[len_ - 1] == '\n'; }

private:
    FILE *fp_;
    char *buf_ = nullptr;
    size_t cap_ = 0;
    ssize_t len_ = -1;
};

// No C++ exception may leave the C interface: an allocation that throws
// inside an operation is its out-of-memory failure.
template <class R, class F> R Guarded(R failure, F fn)
{
    try {
        return fn();
    } catch (const std::bad_alloc &) {
        SLIB_ERR(SLIB_ERR_OUT_OF_MEMORY);
        return failure;
    }
}

} // namespace slib
