// C++ owners for the implementation of the libraries and the updater (not
// part of the C interface).
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <memory>

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

} // namespace slib
