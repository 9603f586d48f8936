// The one owner per resource for the implementation of the libraries and the
// updater (not part of the C interface): a descriptor, a stream, a malloc
// block, a block that a library's own free operation releases.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>

namespace slib {

// Owner of a malloc'd block, for blocks that realloc or a C caller may take over.
struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};
template <class T> using HeapPtr = std::unique_ptr<T, FreeDeleter>;

// Owner of a block that a library's own free operation releases, such as a
// string list (SLIBSzListFree) or a RAID record (VAKORaidInfoFree).
template <auto FreeFn> struct FreeWith {
    template <class T> void operator()(T *p) const { FreeFn(p); }
};
template <class T, auto FreeFn> using OwnedPtr = std::unique_ptr<T, FreeWith<FreeFn>>;
// Owner of a block whose release is chosen at run time (a record set and
// the close its family gives).
template <class T> using ReleasedBy = std::unique_ptr<T, void (*)(T *)>;

// Owner of a stream of fopen or fdopen.  Where the close itself can fail a
// write that matters, release() the stream and fclose it yourself.
struct FileCloser {
    void operator()(FILE *fp) const { fclose(fp); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Owner of a stream of popen: the command is waited for on every path.
struct PipeCloser {
    void operator()(FILE *fp) const { pclose(fp); }
};
using PipePtr = std::unique_ptr<FILE, PipeCloser>;

// Closes its descriptor on every path.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    Fd &operator=(Fd &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    // Hands the descriptor over; this owner then holds none.
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor held, then holds fd.
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

} // namespace slib
