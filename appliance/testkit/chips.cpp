#include "vakotest/chips.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <stdexcept>

#include "vakotest/pattern.h"

namespace vakotest {

namespace {

constexpr uint8_t kErased = 0xFF;
constexpr uint32_t kFisRecord = 256;

std::vector<Part> LayoutParts(Layout layout)
{
    if (layout == Layout::Junior)
        return {{"RedBoot", "/dev/mtd0", 0x100000, 0x40000, 0x3a448},
                {"zImage", "/dev/mtd1", 0x000000, 0xd0000, 0xc5eda},
                {"rd.gz", "/dev/mtd2", 0x140000, 0xb0000, 0xaee2c},
                {"vendor", "/dev/mtd3", 0x0d0000, 0x10000, 0x10000},
                {"RedBoot Config", "/dev/mtd4", 0x0e0000, 0x10000, 0x10000},
                {"FIS Directory", "/dev/mtd5", 0x1f0000, 0x10000, 0x600}};
    return {{"RedBoot", "/dev/mtd0", 0x000000, 0x40000, 0x3a448},
            {"zImage", "/dev/mtd1", 0x040000, 0x100000, 0xc5eda},
            {"rd.gz", "/dev/mtd2", 0x140000, 0x100000, 0xaee2c},
            {"AllLib.tgz", "/dev/mtd3", 0x240000, 0x140000, 0x100000},
            {"vendor", "/dev/mtd4", 0x380000, 0x10000, 0x10000},
            {"vakocfg", "/dev/mtd5", 0x390000, 0x50000, 0x20000},
            {"RedBoot Config", "/dev/mtd6", 0x3e0000, 0x10000, 0x10000},
            {"FIS Directory", "/dev/mtd7", 0x3f0000, 0x10000, 0x800}};
}

uint32_t GetBE32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

std::string Hex(uint32_t v)
{
    char b[16];
    snprintf(b, sizeof b, "0x%x", v);
    return b;
}

} // namespace

const Part &Flash::Find(const std::string &name) const
{
    for (const Part &p : parts)
        if (name == p.name)
            return p;
    throw std::invalid_argument("no partition " + name);
}

std::vector<uint8_t> Flash::Directory() const
{
    std::vector<uint8_t> dir;
    for (const Part &p : parts) {
        std::vector<uint8_t> e = kstub::EncodeFisEntry(p.name, p.offset, p.offset, p.size, 0, p.datalen);
        dir.insert(dir.end(), e.begin(), e.end());
    }
    return dir;
}

Flash LayoutFlash(Layout layout)
{
    Flash f;
    f.parts = LayoutParts(layout);
    f.chip.size = layout == Layout::Junior ? 0x200000 : 0x400000;
    f.chip.eraseSize = kEraseBlock;
    f.chip.image.assign(f.chip.size, kErased);
    for (size_t i = 0; i < f.parts.size(); ++i) {
        const Part &p = f.parts[i];
        std::string data = Pattern(p.size, static_cast<unsigned>(i + 1));
        memcpy(&f.chip.image[p.offset], data.data(), data.size());
        f.chip.windows.push_back(kstub::Window{p.device, p.offset, p.size, std::nullopt, false});
    }
    const Part &fis = f.parts.back();
    std::vector<uint8_t> dir = f.Directory();
    memset(&f.chip.image[fis.offset], kErased, fis.size);
    memcpy(&f.chip.image[fis.offset], dir.data(), dir.size());
    f.calls.msys401 = kstub::Call::Absent;
    f.calls.mtdBuf405 = kstub::Call::Present;
    return f;
}

kstub::Chip OneWindowChip(uint32_t window)
{
    return {window + 2 * kEraseBlock, kEraseBlock, {{"/dev/mtd0", 0, kEraseBlock}, {"/dev/mtd1", kEraseBlock, window}}};
}

Flash SecondRoadFlash(const uint32_t (&units)[kPositions], const std::set<int> &erased)
{
    Flash f;
    f.chip.size = 967 * kUnit;
    f.chip.eraseSize = kUnit;
    uint32_t offset = 0;
    for (int i = 0; i < kPositions; ++i) {
        uint32_t size = units[i] * kUnit;
        f.chip.windows.push_back({"/dev/mtd" + std::to_string(i), offset, size, size / 2, false});
        std::string bytes = erased.count(i) ? std::string(size, static_cast<char>(kErased))
                                            : Pattern(size, static_cast<unsigned>(i + 1));
        f.chip.image.insert(f.chip.image.end(), bytes.begin(), bytes.end());
        offset += size;
    }
    f.chip.image.resize(f.chip.size, kErased);
    f.calls.msys401 = kstub::Call::Present;
    f.calls.msysWord = 1;
    f.calls.mtdBuf405 = kstub::Call::Absent;
    return f;
}

void Install(const Flash &flash, const std::string &dir) { kstub::Install(dir, flash.chip, flash.calls); }

void PutPartition(std::vector<uint8_t> &chip, uint32_t offset, uint32_t size, const std::string &bytes)
{
    std::fill(chip.begin() + offset, chip.begin() + offset + size, kErased);
    std::copy(bytes.begin(), bytes.end(), chip.begin() + offset);
}

void PutFisRecord(std::vector<uint8_t> &chip, const Flash &flash, int record, uint32_t base, uint32_t size,
                  uint32_t datalen)
{
    const Part &p = flash.parts[record];
    std::vector<uint8_t> e = kstub::EncodeFisEntry(p.name, base, p.offset, size, 0, datalen);
    std::copy(e.begin(), e.end(), chip.begin() + flash.parts.back().offset + kFisRecord * record);
}

std::vector<FisRecord> DecodeFisDirectory(const std::vector<uint8_t> &chip, uint32_t offset)
{
    std::vector<FisRecord> list;
    for (size_t at = offset; at + kFisRecord <= chip.size() && chip[at] != kErased; at += kFisRecord) {
        const uint8_t *p = &chip[at];
        FisRecord r;
        r.name.assign(reinterpret_cast<const char *>(p), strnlen(reinterpret_cast<const char *>(p), 16));
        r.flashBase = GetBE32(p + 16);
        r.memBase = GetBE32(p + 20);
        r.size = GetBE32(p + 24);
        r.entryPoint = GetBE32(p + 28);
        r.dataLength = GetBE32(p + 32);
        list.push_back(r);
    }
    return list;
}

std::vector<uint8_t> ChipNow() { return kstub::Load(kstub::kSandboxDir).image; }

std::vector<FisRecord> DirectoryNow(uint32_t offset) { return DecodeFisDirectory(ChipNow(), offset); }

std::string WindowBytes(const kstub::Chip &chip, int pos)
{
    for (const kstub::Window &w : chip.windows)
        if (w.device == "/dev/mtd" + std::to_string(pos))
            return std::string(chip.image.begin() + w.offset, chip.image.begin() + w.offset + w.size);
    return {};
}

std::vector<std::string> AllWindows(const kstub::Chip &chip)
{
    std::vector<std::string> all;
    for (int i = 0; i < kPositions; ++i)
        all.push_back(WindowBytes(chip, i));
    return all;
}

std::vector<std::pair<uint32_t, uint32_t>> Differences(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b)
{
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (uint32_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (a[i] == b[i])
            continue;
        if (!out.empty() && out.back().second == i)
            out.back().second = i + 1;
        else
            out.push_back({i, i + 1});
    }
    if (a.size() != b.size())
        out.push_back(
            {static_cast<uint32_t>(std::min(a.size(), b.size())), static_cast<uint32_t>(std::max(a.size(), b.size()))});
    return out;
}

std::vector<std::string> Requests(const std::string &device, const std::string &request)
{
    std::vector<std::string> out;
    for (const std::string &line : kstub::Journal(kstub::kSandboxDir)) {
        std::vector<std::string> f;
        size_t at = 0;
        for (size_t tab; (tab = line.find('\t', at)) != std::string::npos; at = tab + 1)
            f.push_back(line.substr(at, tab - at));
        f.push_back(line.substr(at));
        if (f.size() == 6 && f[2] == device && (request.empty() || f[3] == request))
            out.push_back(f[3] + " " + f[4] + " " + f[5]);
    }
    return out;
}

std::string RecoveredJuniorDirectoryMismatch()
{
    constexpr uint32_t kDirectory = 0x1f0000;
    const char *names[] = {"RedBoot", "zImage", "rd.gz", "vendor", "RedBoot Config", "FIS Directory"};
    kstub::Chip chip = kstub::Load(kstub::kSandboxDir);
    std::vector<FisRecord> list = DecodeFisDirectory(chip.image, kDirectory);
    std::string why;
    if (list.size() != 6)
        why += " " + std::to_string(list.size()) + " records;";
    for (size_t i = 0; i < list.size() && i < 6; ++i)
        if (list[i].name != names[i])
            why += " record " + std::to_string(i) + " is " + list[i].name + ";";
    if (list.size() > 1 && list[1].flashBase != 0xffe00000u)
        why += " zImage at " + Hex(list[1].flashBase) + ";";
    if (list.size() > 5 && list[5].dataLength != 0x600u)
        why += " directory data length " + Hex(list[5].dataLength) + ";";
    if (chip.image.size() <= kDirectory + 6 * kFisRecord || chip.image[kDirectory + 6 * kFisRecord] != kErased)
        why += " the seventh slot is not erased;";
    if (chip.windows.size() < 6 || !chip.windows[5].locked)
        why += " the directory partition is not locked;";
    return why;
}

std::vector<uint8_t> AfterResize(const Flash &flash, const std::string &zImage, const std::string &rd)
{
    std::vector<uint8_t> chip = flash.chip.image;
    PutPartition(chip, 0x40000, 0x120000, zImage);
    PutPartition(chip, 0x160000, 0xe0000, rd);
    PutFisRecord(chip, flash, 1, 0x40000, 0x120000, static_cast<uint32_t>(zImage.size()));
    PutFisRecord(chip, flash, 2, 0x160000, 0xe0000, static_cast<uint32_t>(rd.size()));
    return chip;
}

std::vector<std::string> AfterZImageGrew(const kstub::Chip &before, const std::string &image)
{
    std::vector<std::string> expect;
    for (int i = 0; i < kPositions; ++i)
        expect.push_back(i == 1   ? image
                         : i == 3 ? WindowBytes(before, 3).substr(0, 390 * kUnit)
                                  : WindowBytes(before, i));
    return expect;
}

} // namespace vakotest
