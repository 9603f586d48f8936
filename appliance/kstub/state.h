// The stand-in's state file, read and written by the preload library and by
// the test-side fixture alike.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "vakotest/kstub.h"

namespace vakotest::kstub::state {

struct State {
    uint32_t chipSize = 0, eraseSize = 0;
    std::vector<Window> windows; // dataLength always set
    KernelCalls calls;
    std::vector<MdArray> md;
    std::vector<Fault> faults;
    std::string formatted; // descriptor of the last format, empty when none

    Window *FindWindow(std::string_view device);
    MdArray *FindMd(std::string_view device);
};

inline constexpr const char *kStateFile = "state";
inline constexpr const char *kChipFile = "chip";
inline constexpr const char *kJournalFile = "journal";
inline constexpr const char *kLockFile = "lock";
inline constexpr const char *kFdDir = "fd";

// The state's generation: a 32-bit count, big-endian, in the first bytes of
// the lock file.  Every writer of the state file counts it up once it has
// replaced the file, under the exclusive lock, so that a process keeping the
// state parsed sees a change by the count alone.
inline constexpr size_t kGenerationBytes = 4;
uint32_t DecodeGeneration(const unsigned char *p);
// Counts the generation up through `lockFd` (locked exclusively); *now: the
// new count.  False on a failed read or write.
bool BumpGeneration(int lockFd, uint32_t *now = nullptr);

// False on a malformed record.
bool Parse(std::string_view text, State &out);
std::string Format(const State &st);

// "/dev/mtd<N>" or "/dev/md<N>"; `mtd` tells which.
bool IsMtdName(std::string_view device);
bool IsMdName(std::string_view device);
// "mtd1" and "/dev/mtd1" both give "/dev/mtd1".
std::string DevicePath(std::string_view device);

const char *FaultKindName(FaultKind kind);
// Counts one more operation of the knob: true when the knob acts on it.
bool Acts(Fault &f);

} // namespace vakotest::kstub::state
