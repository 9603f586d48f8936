// What a C caller sees of a failure inside the libraries and the updater
// (not part of the C interface): no C++ exception crosses the border, and a
// failure's code survives the clean-up after it. Header-only; the libraries
// build with -fvisibility-inlines-hidden, so that none of it is exported.
#pragma once

#include <exception>
#include <new>

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

// A void operation's body: an exception ends it, with 0x0200 recorded
// under src (the operation has no result to fail with).
template <class F> __attribute__((visibility("hidden"))) void Guarded(const char *src, F fn)
{
    try {
        fn();
    } catch (const std::exception &) {
        SLIB_ERR_IN(src, SLIB_ERR_OUT_OF_MEMORY);
    }
}

// True when the failure just reported was for want of memory (0x0200
// recorded): a caller that would fall back to another way, or record a code
// of its own over it, fails with that code instead.
inline bool OutOfMemory() { return SLIBErrorGet() == SLIB_ERR_OUT_OF_MEMORY; }

// For a step inside an operation's guard whose callee's result r is no
// failure of its own (a value read that falls back to a default): a callee
// that failed (r < 0) for want of memory ends the operation the same way,
// at its guard (0x0200).
inline void ThrowIfOutOfMemory(int r)
{
    if (r < 0 && OutOfMemory())
        throw std::bad_alloc();
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

// Runs step, whose result does not tell a failure for want of memory from
// its other outcomes (a check that reads "no" on any failure): true when
// step recorded 0x0200. The code recorded before it stays when step records
// none.
template <class F> __attribute__((visibility("hidden"))) bool StepOutOfMemory(F step)
{
    SavedError before;
    SLIBErrorSetEx(0, nullptr, 0);
    step();
    if (SLIBErrorGet() != 0)
        return OutOfMemory();
    before.Restore();
    return false;
}

} // namespace slib
