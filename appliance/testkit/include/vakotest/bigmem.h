// Test helpers for sizes that a test cannot simply allocate, and for
// allocations that must fail.
#pragma once

#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace vakotest {

// A read-only string of `mib` MiB of 'a' and its NUL, backed by one MiB of
// memory mapped again and again.
class HugeString {
public:
    explicit HugeString(size_t mib) : size_(mib << 20)
    {
        const size_t chunk = size_t{1} << 20;
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        int fd = memfd_create("huge", 0);
        if (fd < 0 || ftruncate(fd, static_cast<off_t>(chunk)) != 0)
            return;
        void *fill = mmap(nullptr, chunk, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (fill == MAP_FAILED) {
            close(fd);
            return;
        }
        memset(fill, 'a', chunk);
        munmap(fill, chunk);
        mapped_ = size_ + page;
        void *base = mmap(nullptr, mapped_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (base == MAP_FAILED) {
            close(fd);
            return;
        }
        char *p = static_cast<char *>(base);
        bool ok = true;
        for (size_t off = 0; ok && off < size_; off += chunk)
            ok = mmap(p + off, chunk, PROT_READ, MAP_SHARED | MAP_FIXED, fd, 0) != MAP_FAILED;
        // The page after the text reads as zeros: the NUL.
        ok = ok && mmap(p + size_, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED;
        close(fd);
        base_ = p;
        if (!ok) {
            munmap(base_, mapped_);
            base_ = nullptr;
        }
    }
    ~HugeString()
    {
        if (base_)
            munmap(base_, mapped_);
    }
    HugeString(const HugeString &) = delete;
    HugeString &operator=(const HugeString &) = delete;

    const char *c_str() const { return base_; }
    char *data() const { return base_; }
    size_t size() const { return size_; }

private:
    size_t size_;
    size_t mapped_ = 0;
    char *base_ = nullptr;
};

// Address space in use now, in bytes.
inline size_t MappedNow()
{
    unsigned long pages = 0;
    if (FILE *fp = fopen("/proc/self/statm", "r")) {
        if (fscanf(fp, "%lu", &pages) != 1)
            pages = 0;
        fclose(fp);
    }
    return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Runs fn() with at most `headroom` more bytes of address space, so that any
// larger allocation fails. False when the limit cannot be set.
template <class F> bool WithAddressSpaceLimit(size_t headroom, F fn)
{
    rlimit old;
    if (getrlimit(RLIMIT_AS, &old) != 0)
        return false;
    rlimit lim = old;
    lim.rlim_cur = MappedNow() + headroom;
    if (setrlimit(RLIMIT_AS, &lim) != 0)
        return false;
    fn();
    setrlimit(RLIMIT_AS, &old);
    return true;
}

// True when an address-space limit makes an allocation beyond it fail:
// qemu-user accepts the limit but does not apply it.
inline bool AddressSpaceLimitHolds()
{
    static const bool holds = [] {
        const size_t big = size_t{64} << 20;
        bool failed = false;
        WithAddressSpaceLimit(size_t{4} << 20, [&] {
            void *p = mmap(nullptr, big, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            failed = p == MAP_FAILED;
            if (!failed)
                munmap(p, big);
        });
        return failed;
    }();
    return holds;
}

// AddressSanitizer reserves vast address space and aborts on failed
// allocations, so allocation-failure tests run in plain builds only, and
// only where the address-space limit holds.
#if defined(__SANITIZE_ADDRESS__)
inline bool AllocationsCanFail() { return false; }
#else
inline bool AllocationsCanFail() { return AddressSpaceLimitHolds(); }
#endif

// A string longer than INT32_MAX bytes exists only on a 64-bit processor:
// elsewhere no object may exceed PTRDIFF_MAX, and the compiler relies on
// it (a strlen() result past it is taken to be impossible).
inline constexpr bool kStringsBeyondAnIntExist = PTRDIFF_MAX > INT32_MAX;

} // namespace vakotest

// The first line of a test of text longer than INT32_MAX bytes: on a 32-bit
// processor it is skipped, and says why.
#define VAKOTEST_SKIP_UNLESS_STRINGS_BEYOND_AN_INT_EXIST()                                                             \
    do {                                                                                                               \
        if (!vakotest::kStringsBeyondAnIntExist)                                                                       \
            GTEST_SKIP() << "no object is larger than 2 GiB on a 32-bit processor";                                    \
    } while (0)

// The first line of an allocation-failure test: under AddressSanitizer it is
// skipped, and says why.
#define VAKOTEST_SKIP_UNLESS_ALLOCATIONS_CAN_FAIL()                                                                    \
    do {                                                                                                               \
        if (!vakotest::AllocationsCanFail())                                                                           \
            GTEST_SKIP() << "AddressSanitizer aborts on a failed allocation instead of returning NULL, or "            \
                            "the address-space limit does not hold (qemu-user)";                                       \
    } while (0)
