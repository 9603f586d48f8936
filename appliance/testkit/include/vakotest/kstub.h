// The kernel stand-in of the throwaway appliance, seen from the tests.
//
// libvako-kstub.so, preloaded into a process (LD_PRELOAD) with
// VAKO_KSTUB_DIR naming a state directory, answers what the appliance's
// kernel offers and this machine lacks: the MTD devices /dev/mtdN with the
// standard and the appliance's own ioctls, kernel calls 401 and 405, and
// the md devices /dev/mdN with their three ioctls.  Without VAKO_KSTUB_DIR,
// or with a directory holding no state, it passes everything through but
// kernel calls 401 and 405: those fail with ENOSYS, as on a kernel without
// the appliance's extensions (this machine's kernel may have calls of its
// own with those numbers).
//
// State directory (shared by every process of the appliance; what changes
// state or chip under the exclusive flock of "lock", reads under a shared
// one or, while the generation below shows no change, none):
//   state    text, one record per line:
//              chip <size> <erasesize>
//              window <device> <offset> <size> <datalength> <locked 0|1>
//              call401 present|absent|refused <word> <errno>
//              call405 present|absent|refused <errno>
//              md <device> <active 0|1> <level> <componentKB> <raidDisks>
//                 <nrDisks> <deviceBytes> <sync0> <sync1> <sync2>
//              fault <device> erase|write|ioctl|corrupt|short|kill <nth>
//                 <request> <errno> <offset> <mask> <maxBytes> <seen>
//                 [<times> [<program>]]   (left out when 1 and none)
//              formatted <descriptor>   (the descriptor that formatted last)
//   chip     the whole flash, <size> bytes
//   journal  one line per ioctl and kernel call (below)
//   lock     the flock file; its first 4 bytes count the state's
//            generation (big-endian), one more each time a writer (the
//            library or the kit, under the exclusive lock) has replaced
//            "state", so that a process may keep the state parsed and its
//            files open while the count stays (so the lock file itself is
//            made once and never replaced)
//   fd/      where the library makes (and at once unlinks) the file that
//            stands behind each open device descriptor
//
// Journal line: six fields separated by one tab,
//   <pid> \t <program> \t <device> \t <request> \t <arguments> \t <result>
// device: "/dev/mtd1", or "-" for a kernel call.  request: MEMGETINFO,
// MEMERASE, MEMLOCK, MEMUNLOCK, SET_PARTITION, SET_FIS_ENTRY, FORMAT,
// SET_PART_TABLE, GET_PART_TABLE, GET_ARRAY_INFO, BLKGETSIZE64, SYNC_STATUS,
// any other request as "0x%08x", "syscall401", "syscall405", or "write" for
// a write that a fault knob acted on.  arguments: "-" when none, else
// "key=value" words separated by one blank, sizes and addresses as 0x%x:
//   MEMERASE, MEMLOCK, MEMUNLOCK   start=0x0 length=0x20000
//   SET_PARTITION                  offset=0x40000 size=0x20000
//   SET_FIS_ENTRY                  name=zImage flash_base=0x.. size=0x.. data_length=0x..
//                                  (bytes outside printable ASCII as \xNN)
//   FORMAT                         units=967
//   SET_PART_TABLE                 units=1,2,3,4,5,6,7,8
//   syscall405                     arg=1
//   write                          pos=0x0 length=0x4000 fault=fail|short|corrupt|kill
// result: "0" (a write: the bytes stored), or "-1 <ERRNO>" such as "-1 EINVAL".
//
// Byte orders: the appliance's own requests (set partition, set FIS entry,
// set and get partition table) pass big-endian words, as the appliance's
// kernel reads them, on every build host; the Linux MTD requests
// (MEMGETINFO, MEMERASE, MEMLOCK, MEMUNLOCK) and the md requests pass the
// processor's own.
//
// Choices of the stand-in: a locked window refuses writes and erases with
// EROFS; erase, the appliance's modifying requests (set partition, set FIS
// entry, format, set table) need a descriptor open for writing (EPERM); a
// lock or unlock of any region inside the window sets or clears the flag of
// the whole window; set FIS entry rewrites the directory bytes whatever the
// lock and the NOR rule (the kernel rewrites the block); an md device's data
// reads give EOF and its writes EROFS.
#pragma once

#include <errno.h>
#include <stdint.h>

#include <array>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace vakotest::kstub {

// Where the sandbox runner puts the state directory in the appliance.
inline constexpr const char *kSandboxDir = "/.sandbox/kstub";

// One MTD partition: a window onto the chip.
struct Window {
    std::string device;                                // "/dev/mtd1"
    uint32_t offset = 0, size = 0;                     // bytes, from the chip's start
    std::optional<uint32_t> dataLength = std::nullopt; // GET_PART_TABLE's data length; none: size
    bool locked = false;
};

struct Chip {
    uint32_t size = 0, eraseSize = 0;
    std::vector<Window> windows = {};
    std::vector<uint8_t> image = {}; // from offset 0; the rest (or all, when empty) 0xFF
};

enum class Call { Present, Absent, Refused };

struct KernelCalls {
    Call msys401 = Call::Absent;
    uint32_t msysWord = 0; // what 401 writes when present
    int errno401 = EPERM;  // when refused
    Call mtdBuf405 = Call::Absent;
    int errno405 = ENOMEM; // when refused
};

// One md array and what its three ioctls answer.
struct MdArray {
    std::string device;      // "/dev/md0"
    bool active = true;      // false: GET_ARRAY_INFO and SYNC_STATUS fail ENODEV
    int32_t level = 1;       // md level (-1 linear, 0, 1, 5, 6, ...)
    int32_t componentKB = 0; // size word: KB per component
    int32_t raidDisks = 0;
    int32_t nrDisks = 0;
    uint64_t deviceBytes = 0; // BLKGETSIZE64 (0 when not active)
    std::array<uint32_t, 3> sync{};
};

enum class FaultKind {
    FailErase,      // the nth MEMERASE fails with `error`, nothing erased
    FailWrite,      // the nth write fails with `error`, nothing stored
    FailIoctl,      // the nth ioctl `request` fails with `error`, nothing done
    CorruptWrite,   // the nth write stores its byte at `offset` XOR `mask`
    ShortWrite,     // every write stores at most `maxBytes` bytes
    KillAfterWrite, // the nth write is stored, then `program` is ended (below)
};

// A fault knob of one device.  Counting starts when it is set (SetFault)
// and goes on across processes; nth 1 is the first operation after that.
struct Fault {
    std::string device;
    FaultKind kind = FaultKind::FailWrite;
    uint32_t nth = 1;
    uint32_t request = 0;
    int error = EIO;
    uint32_t offset = 0;
    uint8_t mask = 0x01;
    uint32_t maxBytes = 0;
    uint32_t seen = 0; // operations counted so far (Faults())
    // FailErase, FailWrite, FailIoctl, CorruptWrite: the knob acts on `times`
    // operations from the nth on; 0: on every one from the nth on.
    uint32_t times = 1;
    // KillAfterWrite: the program name (as /proc/<pid>/comm gives it, no
    // blanks) of the process to end with SIGKILL: the writer itself or its
    // nearest ancestor of that name.  Every process between the two is ended
    // too, the writer last and before it writes again, so that nothing of
    // the run it ends goes on writing.  None of that name: nothing is ended.
    std::string program = {};
};

// The nth write on a device, counted from when its knob is set.
struct WritePoint {
    const char *device;
    uint32_t nth;
};
// The knob that ends the updater program (with what it waits for) after the
// write at `at`.
Fault KillUpdaterAfter(const WritePoint &at);
// A test name for the point: "Mtd1Write5"; PrintTo shows the same to gtest.
std::string WritePointName(const WritePoint &at);
void PrintTo(const WritePoint &at, std::ostream *os);

// Writes a fresh state into `dir` (made when missing): chip, windows,
// kernel calls, md arrays; an empty journal, no faults.  Throws
// std::invalid_argument on a window outside the chip, a bad device name or
// an image larger than the chip.
void Install(const std::string &dir, const Chip &chip, const KernelCalls &calls, const std::vector<MdArray> &md = {});
// The chip as it is now: geometry, windows (data length filled in), image.
Chip Load(const std::string &dir);
std::vector<std::string> Journal(const std::string &dir);
// Sets (or replaces: same device, kind and request) a fault knob.
void SetFault(const std::string &dir, const Fault &fault);
void ClearFaults(const std::string &dir);
std::vector<Fault> Faults(const std::string &dir);

// One 256-byte FIS directory entry as stored in flash (big-endian words,
// name NUL-padded and cut to 16 bytes, the rest zero).
std::vector<uint8_t> EncodeFisEntry(const std::string &name, uint32_t flashBase, uint32_t memBase, uint32_t size,
                                    uint32_t entryPoint, uint32_t dataLength);

// The preload library as LD_PRELOAD names it (through the dynamic linker's
// $LIB, so that each process loads the build for its own processor), this
// processor's build of it, and the environment entries that make a process
// see the stand-in with state directory `dir`.
std::string LibraryPath();
std::string LibraryFile();
std::vector<std::string> PreloadEnv(const std::string &dir = kSandboxDir);

} // namespace vakotest::kstub
