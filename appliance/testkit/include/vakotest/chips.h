// Test chips on the kernel stand-in: the flash of both layouts with their
// FIS directory (the normal road), the flash of the second road, and what a
// test reads back from them (the kit's own FIS directory reader, the chip's
// bytes, the stand-in's journal).
#pragma once

#include <stdint.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "vakotest/kstub.h"

namespace vakotest {

enum class Layout { Normal, Junior };

// Erase block of the layout chips.
inline constexpr uint32_t kEraseBlock = 0x10000;
// The second road: its flash unit, and the positions of the kernel's table.
inline constexpr uint32_t kUnit = 16384;
inline constexpr int kPositions = 8;

// One partition of a layout chip, as its FIS directory record describes it.
struct Part {
    const char *name;
    const char *device;
    uint32_t offset, size, datalen;
};

// A flash as the kernel stand-in is to show it.
struct Flash {
    kstub::Chip chip;
    kstub::KernelCalls calls;
    std::vector<Part> parts; // the layout chips' partitions in table order; the last is the FIS directory

    const Part &Find(const std::string &name) const;
    // The stored directory: one record per part, in table order.
    std::vector<uint8_t> Directory() const;
};

// The flash of a layout, for the normal road (kernel call 401 absent, 405
// present): every partition full of its own pattern, the FIS directory in
// its partition, erased flash after it.  Normal: 4 MiB, the boot loader
// lowest; junior: 2 MiB, the directory of the recovery image moved to
// offset 0 (zImage lowest, the boot loader above it).
Flash LayoutFlash(Layout layout);

// Partition sizes in units of the second road, 967 in all.  The junior
// layout uses six rows; its kernel still reports sizes for the last two.
inline constexpr uint32_t kNormalUnits[kPositions] = {16, 120, 300, 400, 8, 100, 4, 19};
inline constexpr uint32_t kJuniorUnits[kPositions] = {16, 200, 400, 300, 20, 12, 10, 9};

// A chip for the benchmarks: /dev/mtd1 of `window` bytes between two spare
// erase blocks (the first of them /dev/mtd0), erased.
kstub::Chip OneWindowChip(uint32_t window);

// The flash of the second road (kernel call 401 present with bit 0, 405
// absent): windows /dev/mtd0..7 laid out from 0, each full of its own
// pattern (those in `erased` erased), reporting half its size as data length.
Flash SecondRoadFlash(const uint32_t (&units)[kPositions], const std::set<int> &erased = {});

// Writes the flash as the stand-in's state into `dir`.
void Install(const Flash &flash, const std::string &dir = kstub::kSandboxDir);

// ---- what a test expects ----

// A chip image in which the partition of [offset, offset + size) was erased
// and `bytes` written from its start.
void PutPartition(std::vector<uint8_t> &chip, uint32_t offset, uint32_t size, const std::string &bytes);
// A chip image in which record `record` of the flash's directory was
// rewritten as the set-FIS-entry request does: name and memory address kept.
void PutFisRecord(std::vector<uint8_t> &chip, const Flash &flash, int record, uint32_t base, uint32_t size,
                  uint32_t datalen);

// ---- reading back ----

// One FIS directory record, read field by field (big-endian words).
struct FisRecord {
    std::string name; // up to its first NUL
    uint32_t flashBase, memBase, size, entryPoint, dataLength;
};
// The records from `offset` up to the first that begins with an erased byte.
std::vector<FisRecord> DecodeFisDirectory(const std::vector<uint8_t> &chip, uint32_t offset);

std::vector<uint8_t> ChipNow();
std::vector<FisRecord> DirectoryNow(uint32_t offset);
// The bytes of /dev/mtd<pos> in `chip`; empty when it has no such window.
std::string WindowBytes(const kstub::Chip &chip, int pos);
// The bytes of every position of the second road's table.
std::vector<std::string> AllWindows(const kstub::Chip &chip);
// Byte ranges [from, to) where two chips differ.
std::vector<std::pair<uint32_t, uint32_t>> Differences(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b);
// The stand-in's journal lines of one device (and request), each as
// "<request> <arguments> <result>".
std::vector<std::string> Requests(const std::string &device, const std::string &request = "");

// The junior directory partition (at 0x1f0000) holds the six records of the
// recovery image, the seventh slot erased, and is locked again: "" when it
// does, else what differs.
std::string RecoveredJuniorDirectoryMismatch();

// A zImage of 17 blocks and more and an rd.bin of 2 blocks or less on the
// normal layout chip: rd.gz (the largest balance) gives two blocks.  The chip
// a clean update leaves: zImage grown at its place, rd.gz moved up two blocks
// and shrunk by them, their entries rewritten.
std::vector<uint8_t> AfterResize(const Flash &flash, const std::string &zImage, const std::string &rd);

// A zImage of 130 units on the normal chip of the second road: AllLib.tgz
// (the largest balance) gives 10 units.  The table the kernel gets, and what
// each position must hold afterwards: the image, the donor's dump cut to its
// new size, the other dumps whole.
inline constexpr const char *kGrownTable = "SET_PART_TABLE units=16,130,300,390,8,100,4,19 0";
std::vector<std::string> AfterZImageGrew(const kstub::Chip &before, const std::string &image);

} // namespace vakotest
