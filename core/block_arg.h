// A string argument that lies inside the very block an operation is about
// to replace would dangle once the old block is freed: it is copied first.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "slib/error.h"
#include "slibcxx/raii.h"

class BlockArg {
public:
    explicit BlockArg(const char *sz) : sz_(sz) {}

    // False (0x0200, recorded under src) when the copy cannot be made.
    bool Detach(const char *src, const void *block, int64_t cbBlock)
    {
        auto b = reinterpret_cast<uintptr_t>(block), p = reinterpret_cast<uintptr_t>(sz_);
        if (p < b || static_cast<int64_t>(p - b) >= cbBlock)
            return true;
        copy_.reset(strdup(sz_));
        if (!copy_) {
            SLIB_ERR_IN(src, SLIB_ERR_OUT_OF_MEMORY);
            return false;
        }
        sz_ = copy_.get();
        return true;
    }
    const char *get() const { return sz_; }

private:
    const char *sz_;
    slib::HeapPtr<char> copy_;
};
