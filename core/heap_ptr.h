// Owner of a malloc'd block, for blocks that realloc or a C caller may take over.
#pragma once

#include <stdlib.h>

#include <memory>

namespace slib {

struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};
template <class T> using HeapPtr = std::unique_ptr<T, FreeDeleter>;

} // namespace slib
