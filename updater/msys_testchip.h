// Test support: a flash of the second road on the kernel stand-in.
#pragma once

#include <stdint.h>

#include <set>
#include <string>
#include <vector>

#include "vakotest/kstub.h"

namespace msystest {

namespace ks = vakotest::kstub;

constexpr uint32_t kUnit = 16384;
constexpr int kPositions = 8;

// Partition sizes in units, 967 in all.  The junior layout uses six rows;
// its kernel still reports sizes for the last two positions.
constexpr uint32_t kNormalUnits[kPositions] = {16, 120, 300, 400, 8, 100, 4, 19};
constexpr uint32_t kJuniorUnits[kPositions] = {16, 200, 400, 300, 20, 12, 10, 9};

inline std::string Pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(((i * 131) >> 5) + seed * 29 + (i & 7));
    return s;
}

// Windows /dev/mtd0..7 laid out from 0, each filled with its own pattern
// (the ones in `erased` with 0xFF) and reporting half its size as data
// length.
inline ks::Chip MakeChip(const uint32_t (&units)[kPositions], const std::set<int> &erased = {})
{
    ks::Chip chip;
    chip.size = 967 * kUnit;
    chip.eraseSize = kUnit;
    uint32_t offset = 0;
    for (int i = 0; i < kPositions; ++i) {
        uint32_t size = units[i] * kUnit;
        chip.windows.push_back({"/dev/mtd" + std::to_string(i), offset, size, size / 2, false});
        std::string bytes = erased.count(i) ? std::string(size, '\xFF') : Pattern(size, i + 1);
        chip.image.insert(chip.image.end(), bytes.begin(), bytes.end());
        offset += size;
    }
    chip.image.resize(chip.size, 0xFF);
    return chip;
}

// The kernel reports the second road (call 401, bit 0); call 405 is absent.
inline void InstallSecondRoad(const ks::Chip &chip)
{
    ks::KernelCalls calls;
    calls.msys401 = ks::Call::Present;
    calls.msysWord = 1;
    calls.mtdBuf405 = ks::Call::Absent;
    ks::Install(ks::kSandboxDir, chip, calls);
}

// The bytes of position `pos` as the chip holds them now.
inline std::string WindowBytes(const ks::Chip &chip, int pos)
{
    for (const ks::Window &w : chip.windows)
        if (w.device == "/dev/mtd" + std::to_string(pos))
            return std::string(chip.image.begin() + w.offset, chip.image.begin() + w.offset + w.size);
    return {};
}

// A zImage of 130 units on the normal chip: AllLib.tgz (the largest
// balance) gives 10 units.  The table the kernel gets, and what each
// position must hold afterwards: the image, the donor's dump cut to its new
// size, the other dumps whole.
inline constexpr const char *kGrownTable = "/dev/mtd0\tSET_PART_TABLE\tunits=16,130,300,390,8,100,4,19\t0";
inline std::vector<std::string> AfterZImageGrew(const ks::Chip &before, const std::string &image)
{
    std::vector<std::string> expect;
    for (int i = 0; i < kPositions; ++i)
        expect.push_back(i == 1 ? image : i == 3 ? WindowBytes(before, 3).substr(0, 390 * kUnit) : WindowBytes(before, i));
    return expect;
}

inline std::vector<std::string> AllWindows(const ks::Chip &chip)
{
    std::vector<std::string> all;
    for (int i = 0; i < kPositions; ++i)
        all.push_back(WindowBytes(chip, i));
    return all;
}

// Journal entries of one request, without the pid and program fields.
inline std::vector<std::string> JournalOf(const std::string &request)
{
    std::vector<std::string> out;
    for (const std::string &line : ks::Journal(ks::kSandboxDir)) {
        size_t dev = line.find('\t', line.find('\t') + 1);
        std::string rest = dev == std::string::npos ? line : line.substr(dev + 1);
        if (rest.find("\t" + request + "\t") != std::string::npos)
            out.push_back(rest);
    }
    return out;
}

} // namespace msystest
