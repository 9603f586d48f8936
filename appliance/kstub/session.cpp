#include "session.h"

#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>

namespace kstublib {

const std::string *Dir()
{
    static const std::string *dir = [] {
        const char *e = getenv("VAKO_KSTUB_DIR");
        return e && *e ? new std::string(e) : nullptr;
    }();
    return dir;
}

std::string StatePath(const char *name) { return *Dir() + "/" + name; }

bool ReadAll(int fd, std::string &out)
{
    char buf[4096];
    for (;;) {
        ssize_t n = REAL(read)(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        out.append(buf, static_cast<size_t>(n));
    }
}

bool WriteAll(int fd, const void *data, size_t n, off_t at)
{
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        ssize_t w = at < 0 ? REAL(write)(fd, p, n) : REAL(pwrite)(fd, p, n, at);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
        if (at >= 0)
            at += w;
    }
    return true;
}

bool ReadAt(int fd, void *data, size_t n, off_t at)
{
    char *p = static_cast<char *>(data);
    while (n > 0) {
        ssize_t r = REAL(pread)(fd, p, n, at);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
        at += r;
    }
    return true;
}

namespace {

struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const FileId &) const = default;
};
FileId IdOf(const struct stat &s) { return {s.st_dev, s.st_ino}; }

// What a process keeps from one operation to the next: the lock and chip
// files open, the lock file's first page mapped (its generation count), and
// the state as parsed at a generation.  Every writer of the state (this
// library and the test kit) counts the generation up, under the exclusive
// lock, once it has replaced the state file; so while the count is the one
// parsed at, the state kept is the state.  The chip file is replaced only
// together with the state (the kit's Install): it is looked at again when
// the generation moved.
struct Kept {
    // Descriptors of ours; -1 once the program closed the number (Forget).
    std::atomic<int> lock{-1}, chip{-1};
    const unsigned char *generation = nullptr; // the mapped count; none yet: parse every time
    uint32_t parsedAt = 0;
    bool parsed = false, chipChecked = false;
    std::atomic<bool> forked{false};
    st::State state;
};

Kept &K()
{
    // Never destroyed: other libraries' destructors may still write to a device.
    static Kept *k = new Kept;
    return *k;
}

void AfterFork()
{
    // The child's lock must be its own, not the open file it shares with
    // its parent (a flock through it would be the parent's too).
    K().forked = true;
    Mutex().unlock();
}

std::mutex &MakeMutex()
{
    auto *m = new std::mutex;
    // A fork while another thread is inside an operation would leave the
    // child's copy locked for good.
    pthread_atfork([] { Mutex().lock(); }, [] { Mutex().unlock(); }, AfterFork);
    return *m;
}

// Above the numbers that programs open and close by number themselves.
constexpr int kFirstKeptFd = 256;

int KeepFd(int fd)
{
    if (fd < 0 || fd >= kFirstKeptFd)
        return fd;
    int high = fcntl(fd, F_DUPFD_CLOEXEC, kFirstKeptFd);
    if (high < 0)
        return fd;
    close(fd);
    return high;
}

void Close(std::atomic<int> &fd)
{
    int n = fd.exchange(-1);
    if (n >= 0)
        REAL(close)(n);
}

void Unmap(Kept &k)
{
    if (k.generation)
        munmap(const_cast<unsigned char *>(k.generation), st::kGenerationBytes);
    k.generation = nullptr;
    k.parsed = k.chipChecked = false;
}

uint32_t Generation(const Kept &k)
{
    unsigned char b[st::kGenerationBytes];
    for (size_t i = 0; i < sizeof b; ++i)
        b[i] = __atomic_load_n(k.generation + i, __ATOMIC_ACQUIRE);
    return st::DecodeGeneration(b);
}

// The lock file opened, and its count mapped once it has one.
bool OpenLock(Kept &k)
{
    if (k.lock < 0) {
        Unmap(k);
        k.lock = KeepFd(REAL(open)(StatePath(st::kLockFile).c_str(), O_RDWR | O_CLOEXEC));
        if (k.lock < 0)
            return false;
    }
    struct stat s;
    if (!k.generation && REAL(fstat)(k.lock, &s) == 0 && s.st_size >= static_cast<off_t>(st::kGenerationBytes)) {
        void *p = mmap(nullptr, st::kGenerationBytes, PROT_READ, MAP_SHARED, k.lock, 0);
        if (p != MAP_FAILED)
            k.generation = static_cast<const unsigned char *>(p);
    }
    return true;
}

// Reads the state file into k (under the lock).
bool ParseState(Kept &k)
{
    k.parsed = k.chipChecked = false;
    uint32_t at = k.generation ? Generation(k) : 0;
    int fd = REAL(open)(StatePath(st::kStateFile).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::string text;
    bool ok = ReadAll(fd, text);
    close(fd);
    if (!ok || !st::Parse(text, k.state))
        return false;
    k.parsedAt = at;
    k.parsed = k.generation != nullptr;
    return true;
}

} // namespace

std::mutex &Mutex()
{
    static std::mutex &m = MakeMutex();
    return m;
}

void Forget(int fd)
{
    Kept &k = K();
    for (std::atomic<int> *kept : {&k.lock, &k.chip}) {
        int n = fd;
        kept->compare_exchange_strong(n, -1);
    }
}

void ForgetRange(unsigned first, unsigned last)
{
    Kept &k = K();
    for (std::atomic<int> *kept : {&k.lock, &k.chip}) {
        int n = kept->load();
        if (n >= 0 && static_cast<unsigned>(n) >= first && static_cast<unsigned>(n) <= last)
            kept->compare_exchange_strong(n, -1);
    }
}

Session::Session() : state(K().state) {}

Session::~Session()
{
    if (!locked_)
        return;
    if (dirty_)
        Save();
    flock(K().lock, LOCK_UN);
}

bool Session::Begin(bool exclusive)
{
    if (!Dir())
        return false;
    guard_ = std::unique_lock<std::mutex>(Mutex());
    Kept &k = K();
    if (k.forked.exchange(false))
        Close(k.lock);
    // A read needs no lock while the state kept is the state: the chip's
    // bytes are read in one go, as from a flash chip.
    if (!exclusive && k.parsed && k.lock >= 0 && Generation(k) == k.parsedAt)
        return true;
    if (!OpenLock(k))
        return false;
    while (flock(k.lock, exclusive ? LOCK_EX : LOCK_SH) != 0)
        if (errno != EINTR)
            return false;
    locked_ = true;
    if (k.parsed && Generation(k) == k.parsedAt)
        return true;
    return ParseState(k);
}

int Session::Chip()
{
    Kept &k = K();
    if (k.chipChecked && k.chip >= 0)
        return k.chip;
    struct stat now, kept;
    if (REAL(stat)(StatePath(st::kChipFile).c_str(), &now) != 0)
        return -1;
    if (k.chip < 0 || REAL(fstat)(k.chip, &kept) != 0 || IdOf(kept) != IdOf(now)) {
        Close(k.chip);
        k.chip = KeepFd(REAL(open)(StatePath(st::kChipFile).c_str(), O_RDWR | O_CLOEXEC));
        if (k.chip < 0 || REAL(fstat)(k.chip, &kept) != 0)
            return -1;
    }
    k.chipChecked = k.parsed;
    return k.chip;
}

bool Session::ChipRead(uint64_t at, void *data, size_t n)
{
    int fd = n == 0 ? 0 : Chip();
    return n == 0 || (fd >= 0 && ReadAt(fd, data, n, static_cast<off_t>(at)));
}

bool Session::ChipWrite(uint64_t at, const void *data, size_t n)
{
    int fd = n == 0 ? 0 : Chip();
    return n == 0 || (fd >= 0 && WriteAll(fd, data, n, static_cast<off_t>(at)));
}

bool Session::ChipFill(uint64_t at, uint8_t byte, uint64_t n)
{
    std::unique_ptr<uint8_t[]> block(new uint8_t[kChipBlock]);
    memset(block.get(), byte, kChipBlock);
    for (uint64_t done = 0; done < n; done += kChipBlock)
        if (!ChipWrite(at + done, block.get(), static_cast<size_t>(std::min<uint64_t>(kChipBlock, n - done))))
            return false;
    return true;
}

void Session::Save()
{
    Kept &k = K();
    // Whatever happens below, the file may no longer hold what this process has.
    k.parsed = false;
    std::string tmp = StatePath(st::kStateFile) + ".new";
    int fd = REAL(open)(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    std::string text = st::Format(state);
    bool ok = WriteAll(fd, text.data(), text.size());
    close(fd);
    uint32_t now = 0;
    if (ok && rename(tmp.c_str(), StatePath(st::kStateFile).c_str()) == 0 && st::BumpGeneration(k.lock, &now) &&
        OpenLock(k) && k.generation) {
        // The file holds exactly the state kept: no need to read it back.
        k.parsedAt = now;
        k.parsed = true;
    }
}

} // namespace kstublib
