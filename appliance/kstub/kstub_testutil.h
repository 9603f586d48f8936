// The kernel stand-in's tests: real child processes (/bin/dd, /bin/sh, cat,
// cmp and kstub-probe) with the library preloaded, a test chip of five
// windows, and the state files read back through the kit.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "vako/kernel.h"
#include "vakotest/files.h"
#include "vakotest/kstub.h"
#include "vakotest/pattern.h"
#include "vakotest/run.h"

namespace kstubtest {

namespace ks = vakotest::kstub;
using testing::ElementsAre;
using testing::HasSubstr;

inline const std::string kDir = ks::kSandboxDir;

using Env = std::vector<std::string>;

inline Env Plain() { return {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C"}; }
inline Env Stub(const std::string &dir = kDir)
{
    Env e = Plain();
    for (auto &x : ks::PreloadEnv(dir))
        e.push_back(x);
    return e;
}

// A program with exactly the environment `env`.
inline vakotest::RunResult Run(const std::vector<std::string> &argv, const Env &env)
{
    return vakotest::Run(argv, {.env = env, .wholeEnv = true});
}

// The lines of a program's output.
inline std::vector<std::string> Lines(const std::string &out)
{
    std::vector<std::string> v;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);)
        v.push_back(l);
    return v;
}

inline std::vector<std::string> Probe(std::vector<std::string> args, const Env &env = Stub())
{
    args.insert(args.begin(), KSTUB_PROBE);
    vakotest::RunResult r = Run(args, env);
    EXPECT_EQ(r.status, 0) << r.err;
    return Lines(r.out);
}

inline vakotest::RunResult Sh(const std::string &script, const Env &env = Stub())
{
    return Run({"/bin/sh", "-c", script}, env);
}

inline std::string Hex(const std::vector<uint8_t> &v)
{
    std::string s;
    char b[4];
    for (uint8_t c : v) {
        snprintf(b, sizeof b, "%02x", c);
        s += b;
    }
    return s;
}

inline std::vector<uint8_t> Bytes(const std::string &s) { return {s.begin(), s.end()}; }
inline std::string Str(const std::vector<uint8_t> &v) { return {v.begin(), v.end()}; }

inline std::vector<uint8_t> Pattern(size_t n, unsigned seed) { return vakotest::PatternBytes(n, seed); }

// The test chip: 1 MiB (64 flash units), erase blocks of 64 KiB.
inline constexpr uint32_t kChip = 0x100000, kErase = 0x10000;
struct Part {
    const char *dev;
    uint32_t offset, size;
};
inline constexpr Part kParts[] = {
    {"/dev/mtd0", 0x00000, 0x20000}, // RedBoot
    {"/dev/mtd1", 0x20000, 0x80000}, // zImage, erased
    {"/dev/mtd2", 0xA0000, 0x40000}, // rd.gz, holds a pattern
    {"/dev/mtd3", 0xE0000, 0x10000}, // FIS Directory
    {"/dev/mtd4", 0xF0000, 0x10000}, // small, erased
};

inline std::vector<uint8_t> FisDirectory()
{
    std::vector<uint8_t> dir;
    for (auto [name, part] : {std::pair{"RedBoot", 0}, {"zImage", 1}, {"rd.gz", 2}, {"FIS directory", 3}}) {
        auto e = ks::EncodeFisEntry(name, kParts[part].offset, kParts[part].offset, kParts[part].size, 0,
                                    kParts[part].size - 0x100);
        dir.insert(dir.end(), e.begin(), e.end());
    }
    return dir;
}

inline ks::Chip TestChip()
{
    ks::Chip chip{kChip, kErase, {}, std::vector<uint8_t>(kChip, 0xFF)};
    for (const auto &p : kParts)
        chip.windows.push_back({p.dev, p.offset, p.size});
    auto pat = Pattern(kParts[2].size, 2);
    std::copy(pat.begin(), pat.end(), chip.image.begin() + kParts[2].offset);
    auto dir = FisDirectory();
    std::copy(dir.begin(), dir.end(), chip.image.begin() + kParts[3].offset);
    return chip;
}

inline std::vector<uint8_t> WindowBytes(const ks::Chip &chip, const std::string &dev)
{
    for (const auto &w : chip.windows)
        if (w.device == dev)
            return {chip.image.begin() + w.offset, chip.image.begin() + w.offset + w.size};
    ADD_FAILURE() << "no window " << dev;
    return {};
}

inline ks::Window WindowOf(const ks::Chip &chip, const std::string &dev)
{
    for (const auto &w : chip.windows)
        if (w.device == dev)
            return w;
    ADD_FAILURE() << "no window " << dev;
    return {};
}

// The journal without its first two fields (process id and program).
inline std::vector<std::string> JournalTail()
{
    std::vector<std::string> v;
    for (const auto &line : ks::Journal(kDir)) {
        size_t a = line.find('\t'), b = a == std::string::npos ? a : line.find('\t', a + 1);
        v.push_back(b == std::string::npos ? line : line.substr(b + 1));
    }
    return v;
}

inline void InstallTestChip(const ks::KernelCalls &calls = {}, const std::vector<ks::MdArray> &md = {})
{
    ks::Install(kDir, TestChip(), calls, md);
}

} // namespace kstubtest
