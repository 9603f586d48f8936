#include "vakotest/newfault.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <new>
#include <type_traits>

namespace {

std::atomic<bool> gArmed;
std::atomic<long> gCalls, gFailAt;
std::atomic<bool> gFired;
pid_t gPid;

std::atomic<bool> gSkipped;

// True when the caller is the kernel stand-in, which every process of the
// appliance has preloaded: its allocations are no step of the code under
// test, and it cannot fail them (a close allocates there).
bool FromKernelStandIn()
{
    void *frames[64];
    int n = backtrace(frames, 64);
    for (int i = 1; i < n; i++) {
        Dl_info info;
        if (dladdr(frames[i], &info) && info.dli_fname && strstr(info.dli_fname, "libvako-kstub.so"))
            return true;
    }
    return false;
}

// Counts an allocation while armed: true when it is the one to fail.
bool Fails()
{
    if (!gArmed.load(std::memory_order_relaxed) || vakotest::gNewFaultPauses > 0 || getpid() != gPid)
        return false;
    if (++gCalls != gFailAt.load(std::memory_order_relaxed))
        return false;
    if (FromKernelStandIn()) {
        gSkipped = true;
        return false;
    }
    gFired = true;
    // VAKOTEST_NEW_TRACE=n: where the n-th allocation is made, for whoever
    // mends a row of the border table.
    if (const char *trace = getenv("VAKOTEST_NEW_TRACE"); trace && atol(trace) == gFailAt) {
        void *frames[48];
        backtrace_symbols_fd(frames, backtrace(frames, 48), 2);
    }
    return true;
}

// The names of operator new, whose size_t is unsigned long on some
// processors and unsigned int on others.
constexpr bool kSizeIsLong = std::is_same_v<std::size_t, unsigned long>;
#define VAKOTEST_NEW_NAME(head, tail) (kSizeIsLong ? head "m" tail : head "j" tail)

// The definition that the process would use without ours: the next one
// after this binary in the lookup order.
template <class F> F Next(const char *name)
{
    void *f = dlsym(RTLD_NEXT, name);
    if (!f) {
        fprintf(stderr, "newfault: no %s after the test binary\n", name);
        abort();
    }
    return reinterpret_cast<F>(f);
}

std::atomic<bool> gTimeFixed;
std::atomic<time_t> gTimeAt;

using Plain = void *(*)(std::size_t);
using PlainNothrow = void *(*)(std::size_t, const std::nothrow_t &) noexcept;
using Aligned = void *(*)(std::size_t, std::align_val_t);
using AlignedNothrow = void *(*)(std::size_t, std::align_val_t, const std::nothrow_t &) noexcept;

} // namespace

namespace vakotest {

FailingNew::FailingNew(long n)
{
    // backtrace loads its unwinder on its first call: not inside operator new.
    void *frame;
    backtrace(&frame, 1);
    gCalls = 0;
    gFired = gSkipped = false;
    gFailAt = n;
    gPid = getpid();
    gArmed = true;
}

FailingNew::~FailingNew() { gArmed = false; }

bool FailingNew::Fired() const { return gFired; }

bool FailingNew::Skipped() const { return gSkipped; }

long FailingNew::Calls() const { return gCalls; }

FixedTime::FixedTime()
{
    gTimeAt = time(nullptr);
    gTimeFixed = true;
}

FixedTime::~FixedTime() { gTimeFixed = false; }

} // namespace vakotest

void *operator new(std::size_t n)
{
    static const Plain next = Next<Plain>(VAKOTEST_NEW_NAME("_Znw", ""));
    if (Fails())
        throw std::bad_alloc();
    return next(n);
}

void *operator new[](std::size_t n)
{
    static const Plain next = Next<Plain>(VAKOTEST_NEW_NAME("_Zna", ""));
    if (Fails())
        throw std::bad_alloc();
    return next(n);
}

void *operator new(std::size_t n, const std::nothrow_t &t) noexcept
{
    static const PlainNothrow next = Next<PlainNothrow>(VAKOTEST_NEW_NAME("_Znw", "RKSt9nothrow_t"));
    return Fails() ? nullptr : next(n, t);
}

void *operator new[](std::size_t n, const std::nothrow_t &t) noexcept
{
    static const PlainNothrow next = Next<PlainNothrow>(VAKOTEST_NEW_NAME("_Zna", "RKSt9nothrow_t"));
    return Fails() ? nullptr : next(n, t);
}

void *operator new(std::size_t n, std::align_val_t a)
{
    static const Aligned next = Next<Aligned>(VAKOTEST_NEW_NAME("_Znw", "St11align_val_t"));
    if (Fails())
        throw std::bad_alloc();
    return next(n, a);
}

void *operator new[](std::size_t n, std::align_val_t a)
{
    static const Aligned next = Next<Aligned>(VAKOTEST_NEW_NAME("_Zna", "St11align_val_t"));
    if (Fails())
        throw std::bad_alloc();
    return next(n, a);
}

void *operator new(std::size_t n, std::align_val_t a, const std::nothrow_t &t) noexcept
{
    static const AlignedNothrow next = Next<AlignedNothrow>(VAKOTEST_NEW_NAME("_Znw", "St11align_val_tRKSt9nothrow_t"));
    return Fails() ? nullptr : next(n, a, t);
}

void *operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t &t) noexcept
{
    static const AlignedNothrow next = Next<AlignedNothrow>(VAKOTEST_NEW_NAME("_Zna", "St11align_val_tRKSt9nothrow_t"));
    return Fails() ? nullptr : next(n, a, t);
}

extern "C" time_t time(time_t *t)
{
    static const auto next = Next<time_t (*)(time_t *)>("time");
    const time_t now = gTimeFixed ? gTimeAt.load() : next(nullptr);
    if (t)
        *t = now;
    return now;
}
