// Pieces shared by the configuration file readers and writers.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>

#include <new>

#include "slib/error.h"
#include "slibcxx/raii.h"

namespace conf {

inline bool IsComment(const char *line) { return line[0] == '#' || line[0] == ';'; }

// Reads a stream line by line with one growing buffer.
class LineReader {
public:
    explicit LineReader(FILE *fp) : fp_(fp) {}

    // False at end of file and on a read error (see Failed).
    bool Next()
    {
        char *buf = buf_.release(); // getline grows the block it is given
        len_ = getline(&buf, &cap_, fp_);
        buf_.reset(buf);
        return len_ >= 0;
    }
    bool Failed() const { return ferror(fp_) != 0; }
    char *line() const { return buf_.get(); }
    ssize_t len() const { return len_; }
    bool EndsInNewline() const { return len_ > 0 && buf_.get()[len_ - 1] == '\n'; }

private:
    FILE *fp_;
    slib::HeapPtr<char> buf_;
    size_t cap_ = 0;
    ssize_t len_ = -1;
};

// No C++ exception may leave the C interface: an allocation that throws
// inside an operation is its out-of-memory failure, recorded under src.
template <class R, class F> R Guarded(const char *src, R failure, F fn)
{
    try {
        return fn();
    } catch (const std::bad_alloc &) {
        SLIB_ERR_IN(src, SLIB_ERR_OUT_OF_MEMORY);
        return failure;
    }
}

// The key of a key line matched against key, on a line the call may cut
// (see SLIBFileLineKeyMatch). On a match, *pValue is the text after the
// '=' that ends the key, or NULL when the line has none.
bool KeyMatch(char *line, const char *key, char **pValue);

} // namespace conf
