// What a C caller sees of a failure inside the libraries and the updater
// (not part of the C interface): no C++ exception crosses the border, and a
// failure's code survives the clean-up after it. Header-only; the libraries
// build with -fvisibility-inlines-hidden, so that none of it is exported.
#pragma once

#include <exception>

#include "slib/error.h"

namespace slib {

// Runs an operation's body: an exception inside it (std::bad_alloc or any
// other std::exception) becomes the operation's failure result, with 0x0200
// recorded under the operation's source name src. A step that falls back
// to another way rather than fail passes src NULL: nothing is recorded.
template <class R, class F> __attribute__((visibility("hidden"))) R Guarded(const char *src, R failure, F fn)
{
    try {
        return fn();
    } catch (const std::exception &) {
        if (src)
            SLIB_ERR_IN(src, SLIB_ERR_OUT_OF_MEMORY);
        return failure;
    }
}

// Keeps the recorded code of a failure, with its file and line, while the
// clean-up after it records others; Restore() records it again.
class SavedError {
public:
    SavedError() : code_(SLIBErrorGet()), file_(SLIBErrorGetFile()), line_(SLIBErrorGetLine()) {}
    void Restore() const { SLIBErrorSetEx(code_, file_, line_); }

private:
    int code_;
    const char *file_;
    int line_;
};

} // namespace slib
