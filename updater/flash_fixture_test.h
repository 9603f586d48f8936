// Flash chips of both layouts on the kernel stand-in, their FIS directory,
// and the progress values an update writes: shared by the updater's flash
// tests and the end-to-end tests.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "vako/flash.h"
#include "vakotest/kstub.h"
#include "vakotest/testkit.h"

namespace flashfix {

namespace ks = vakotest::kstub;

constexpr uint32_t kBlock = 0x10000;

struct Part {
    const char *name;
    const char *device;
    uint32_t offset, size, datalen;
};

// Table order is address order, the boot loader lowest; 4 MiB.
inline std::vector<Part> NormalParts()
{
    return {{"RedBoot", "/dev/mtd0", 0x000000, 0x40000, 0x3a448},
            {"zImage", "/dev/mtd1", 0x040000, 0x100000, 0xc5eda},
            {"rd.gz", "/dev/mtd2", 0x140000, 0x100000, 0xaee2c},
            {"AllLib.tgz", "/dev/mtd3", 0x240000, 0x140000, 0x100000},
            {"vendor", "/dev/mtd4", 0x380000, 0x10000, 0x10000},
            {"vakocfg", "/dev/mtd5", 0x390000, 0x50000, 0x20000},
            {"RedBoot Config", "/dev/mtd6", 0x3e0000, 0x10000, 0x10000},
            {"FIS Directory", "/dev/mtd7", 0x3f0000, 0x10000, 0x800}};
}

// The junior directory of the recovery image, moved to offset 0: zImage
// lowest, the boot loader above it; 2 MiB.
inline std::vector<Part> JuniorParts()
{
    return {{"RedBoot", "/dev/mtd0", 0x100000, 0x40000, 0x3a448},
            {"zImage", "/dev/mtd1", 0x000000, 0xd0000, 0xc5eda},
            {"rd.gz", "/dev/mtd2", 0x140000, 0xb0000, 0xaee2c},
            {"vendor", "/dev/mtd3", 0x0d0000, 0x10000, 0x10000},
            {"RedBoot Config", "/dev/mtd4", 0x0e0000, 0x10000, 0x10000},
            {"FIS Directory", "/dev/mtd5", 0x1f0000, 0x10000, 0x600}};
}

inline std::string Pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + seed * 57 + (i >> 9)) & 0xFF);
    return s;
}

struct Flash {
    uint32_t chipSize = 0;
    std::vector<Part> parts;
    std::vector<uint8_t> image;

    const Part &Find(const std::string &name) const
    {
        for (const Part &p : parts)
            if (name == p.name)
                return p;
        throw std::invalid_argument("no partition " + name);
    }
    // The stored directory: one record per part, in table order.
    std::vector<uint8_t> Directory() const
    {
        std::vector<uint8_t> dir;
        for (const Part &p : parts) {
            std::vector<uint8_t> e = ks::EncodeFisEntry(p.name, p.offset, p.offset, p.size, 0, p.datalen);
            dir.insert(dir.end(), e.begin(), e.end());
        }
        return dir;
    }
};

// Every partition full of its own pattern, the directory in its partition
// and erased flash after it.
inline Flash MakeFlash(bool junior)
{
    Flash f;
    f.parts = junior ? JuniorParts() : NormalParts();
    f.chipSize = junior ? 0x200000 : 0x400000;
    f.image.assign(f.chipSize, 0xFF);
    for (size_t i = 0; i < f.parts.size(); ++i) {
        std::string data = Pattern(f.parts[i].size, static_cast<unsigned>(i + 1));
        memcpy(&f.image[f.parts[i].offset], data.data(), data.size());
    }
    const Part &fis = f.parts.back();
    std::vector<uint8_t> dir = f.Directory();
    memset(&f.image[fis.offset], 0xFF, fis.size);
    memcpy(&f.image[fis.offset], dir.data(), dir.size());
    return f;
}

inline ks::Chip ChipOf(const Flash &f)
{
    ks::Chip chip;
    chip.size = f.chipSize;
    chip.eraseSize = kBlock;
    chip.image = f.image;
    for (const Part &p : f.parts)
        chip.windows.push_back(ks::Window{p.device, p.offset, p.size, std::nullopt, false});
    return chip;
}

inline ks::KernelCalls NormalRoadCalls()
{
    ks::KernelCalls calls;
    calls.msys401 = ks::Call::Absent;
    calls.mtdBuf405 = ks::Call::Present;
    return calls;
}

inline void Install(const Flash &f, const std::string &dir = ks::kSandboxDir)
{
    ks::Install(dir, ChipOf(f), NormalRoadCalls());
}

inline std::vector<uint8_t> ChipNow() { return ks::Load(ks::kSandboxDir).image; }

// The directory as it stands in the chip now, decoded.
inline std::vector<VAKOFISENTRY> DirectoryNow(uint32_t fisOffset)
{
    std::vector<uint8_t> chip = ChipNow();
    std::vector<VAKOFISENTRY> list;
    for (uint32_t at = fisOffset; chip[at] != 0xFF; at += VAKO_FIS_ENTRY_SIZE) {
        VAKOFISENTRY e;
        VAKOFISEntryDecode(&chip[at], &e);
        list.push_back(e);
    }
    return list;
}

// The junior directory partition (at 0x1f0000) holds the six records of
// the recovery image, the seventh slot erased, and is locked again.
inline void ExpectRecoveredDirectory()
{
    std::vector<VAKOFISENTRY> list = DirectoryNow(0x1f0000);
    ASSERT_EQ(list.size(), 6u);
    const char *names[] = {"RedBoot", "zImage", "rd.gz", "vendor", "RedBoot Config", "FIS Directory"};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(VAKOFISEntryNameIs(&list[i], names[i]), 1) << i;
    EXPECT_EQ(list[1].flash_base, 0xffe00000u);
    EXPECT_EQ(list[5].data_length, 0x600u);
    EXPECT_EQ(ChipNow()[0x1f0000 + 6 * 256], 0xFF);
    EXPECT_TRUE(ks::Load(ks::kSandboxDir).windows[5].locked);
}

// Byte ranges [from, to) where two chips differ.
inline std::vector<std::pair<uint32_t, uint32_t>> Differences(const std::vector<uint8_t> &a,
                                                             const std::vector<uint8_t> &b)
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
    return out;
}

// Journal lines of the stand-in for one device and request, as
// "<request> <arguments> <result>".
inline std::vector<std::string> Requests(const std::string &device, const std::string &request = "")
{
    std::vector<std::string> out;
    for (const std::string &line : ks::Journal(ks::kSandboxDir)) {
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

// Records of the progress file as they are written: the file is made a
// FIFO that a thread drains.
class ProgressRecorder {
public:
    static constexpr const char *kPath = "/tmp/update.progress";
    ProgressRecorder()
    {
        unlink(kPath);
        if (mkfifo(kPath, 0666) != 0)
            throw std::runtime_error("mkfifo");
        fd_ = open(kPath, O_RDWR | O_CLOEXEC);
        reader_ = std::thread([this] {
            char buf[4096];
            for (ssize_t n; (n = read(fd_, buf, sizeof(buf))) > 0;) {
                text_.append(buf, n);
                if (text_.find('#') != std::string::npos)
                    break;
            }
        });
    }
    ~ProgressRecorder() { Stop(); }
    // "P:60" ... in the order written.
    std::vector<std::string> Values()
    {
        Stop();
        std::vector<std::string> out;
        std::regex re("([A-Z]):(-?[0-9]+):");
        for (std::sregex_iterator it(text_.begin(), text_.end(), re), end; it != end; ++it)
            out.push_back((*it)[1].str() + ":" + (*it)[2].str());
        return out;
    }

private:
    void Stop()
    {
        if (fd_ < 0)
            return;
        int w = open(kPath, O_WRONLY | O_CLOEXEC);
        if (w >= 0) {
            ssize_t ignored = write(w, "#", 1);
            (void)ignored;
            close(w);
        }
        reader_.join();
        close(fd_);
        fd_ = -1;
        unlink(kPath);
    }
    int fd_ = -1;
    std::thread reader_;
    std::string text_;
};

} // namespace flashfix
