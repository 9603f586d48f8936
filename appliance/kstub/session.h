// One operation of the kernel stand-in on its shared state: the state
// directory, the C library's own functions behind ours, results with their
// errno, and the state and chip files read and written under the state lock.
// A process keeps the lock, chip and state files open and the state parsed
// from one operation to the next, and parses it again only when another
// process has replaced it.
#pragma once

#include <dlfcn.h>
#include <errno.h>
#include <stdint.h>
#include <sys/types.h>

#include <mutex>
#include <string>
#include <string_view>

#include "state.h"

namespace kstublib {

namespace st = vakotest::kstub::state;
using vakotest::kstub::Call;
using vakotest::kstub::Fault;
using vakotest::kstub::FaultKind;
using vakotest::kstub::MdArray;
using vakotest::kstub::Window;

template <typename F> F Next(const char *name) { return reinterpret_cast<F>(dlsym(RTLD_NEXT, name)); }
// The C library's own function behind one of ours.
#define REAL(fn)                                                                                                       \
    ([] {                                                                                                              \
        static const auto p = kstublib::Next<decltype(&::fn)>(#fn);                                                    \
        return p;                                                                                                      \
    }())

// The state directory (VAKO_KSTUB_DIR); NULL: no stand-in, everything passes through.
const std::string *Dir();
std::string StatePath(const char *name);

// A result and the errno that goes with it (0: success, errno untouched).
struct Res {
    long value = 0;
    int err = 0;
};
inline Res Err(int e) { return {-1, e}; }
// The result for the caller: errno set from r, or back to savedErrno.
inline long Finish(Res r, int savedErrno)
{
    errno = r.err ? r.err : savedErrno;
    return r.err ? -1 : r.value;
}

// The process's own lock around operations, for its threads.
std::mutex &Mutex();
// The program closed descriptor `fd` (or those from `first` to `last`):
// when it was one the stand-in keeps, it is opened again when needed.
void Forget(int fd);
void ForgetRange(unsigned first, unsigned last);

bool ReadAll(int fd, std::string &out);
bool WriteAll(int fd, const void *data, size_t n, off_t at = -1);
bool ReadAt(int fd, void *data, size_t n, off_t at);

// One operation on the shared state, under the state lock (and the
// process's own lock, for its threads).
class Session {
public:
    Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    ~Session();

    // False when there is no state: the caller passes through.
    bool Begin(bool exclusive);
    // The state changed: it is written back when the operation ends.
    void Dirty() { dirty_ = true; }

    bool ChipRead(uint64_t at, void *data, size_t n);
    bool ChipWrite(uint64_t at, const void *data, size_t n);
    // Sets n bytes from `at` to `byte`, a block at a time.
    bool ChipFill(uint64_t at, uint8_t byte, uint64_t n);

    // Appends the journal line of one request (journal.cpp).
    void Journal(std::string_view device, std::string_view request, const std::string &args, Res r);

    // Valid after a successful Begin, until the session ends.
    st::State &state;

private:
    int Chip();
    void Save();

    std::unique_lock<std::mutex> guard_;
    bool locked_ = false, dirty_ = false;
};

// The bytes that the stand-in moves at a time when it erases or writes
// with the NOR rule: its memory does not grow with the request.
inline constexpr size_t kChipBlock = 0x10000;

} // namespace kstublib
