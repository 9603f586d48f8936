// The kernel stand-in, seen the way the appliance's processes see it: real
// child processes (/bin/dd, /bin/sh, cat, cmp and kstub-probe) with the
// library preloaded, and the state files read back through the fixture.
#include "vakotest/kstub.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "vako/kernel.h"
#include "vakotest/files.h"
#include "vakotest/pattern.h"

namespace {

namespace ks = vakotest::kstub;
using testing::ElementsAre;
using testing::HasSubstr;

const std::string kDir = ks::kSandboxDir;

using Env = std::vector<std::string>;

Env Plain() { return {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C"}; }
Env Stub(const std::string &dir = kDir)
{
    Env e = Plain();
    for (auto &x : ks::PreloadEnv(dir))
        e.push_back(x);
    return e;
}

struct Result {
    int status = -1;
    std::string out, err;
    std::vector<std::string> Lines() const
    {
        std::vector<std::string> v;
        std::istringstream in(out);
        for (std::string l; std::getline(in, l);)
            v.push_back(l);
        return v;
    }
};

Result Run(const std::vector<std::string> &argv, const Env &env)
{
    int o[2], e[2];
    if (pipe2(o, O_CLOEXEC) != 0 || pipe2(e, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    pid_t pid = fork();
    if (pid == 0) {
        dup2(o[1], 1);
        dup2(e[1], 2);
        std::vector<char *> a, v;
        for (auto &s : argv)
            a.push_back(const_cast<char *>(s.c_str()));
        for (auto &s : env)
            v.push_back(const_cast<char *>(s.c_str()));
        a.push_back(nullptr);
        v.push_back(nullptr);
        execve(a[0], a.data(), v.data());
        _exit(127);
    }
    close(o[1]);
    close(e[1]);
    Result r;
    pollfd fds[2] = {{o[0], POLLIN, 0}, {e[0], POLLIN, 0}};
    std::string *sink[2] = {&r.out, &r.err};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                sink[i]->append(buf, static_cast<size_t>(n));
            }
        }
    }
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

std::vector<std::string> Probe(std::vector<std::string> args, const Env &env = Stub())
{
    args.insert(args.begin(), KSTUB_PROBE);
    Result r = Run(args, env);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.Lines();
}

Result Sh(const std::string &script, const Env &env = Stub()) { return Run({"/bin/sh", "-c", script}, env); }

std::string Hex(const std::vector<uint8_t> &v)
{
    std::string s;
    char b[4];
    for (uint8_t c : v) {
        snprintf(b, sizeof b, "%02x", c);
        s += b;
    }
    return s;
}

std::vector<uint8_t> Bytes(const std::string &s) { return {s.begin(), s.end()}; }
std::string Str(const std::vector<uint8_t> &v) { return {v.begin(), v.end()}; }

std::vector<uint8_t> Pattern(size_t n, unsigned seed) { return vakotest::PatternBytes(n, seed); }

// The test chip: 1 MiB (64 flash units), erase blocks of 64 KiB.
constexpr uint32_t kChip = 0x100000, kErase = 0x10000;
struct Part {
    const char *dev;
    uint32_t offset, size;
};
constexpr Part kParts[] = {
    {"/dev/mtd0", 0x00000, 0x20000},  // RedBoot
    {"/dev/mtd1", 0x20000, 0x80000},  // zImage, erased
    {"/dev/mtd2", 0xA0000, 0x40000},  // rd.gz, holds a pattern
    {"/dev/mtd3", 0xE0000, 0x10000},  // FIS Directory
    {"/dev/mtd4", 0xF0000, 0x10000},  // small, erased
};

std::vector<uint8_t> FisDirectory()
{
    std::vector<uint8_t> dir;
    for (auto [name, part] : {std::pair{"RedBoot", 0}, {"zImage", 1}, {"rd.gz", 2}, {"FIS directory", 3}}) {
        auto e = ks::EncodeFisEntry(name, kParts[part].offset, kParts[part].offset,
                                    kParts[part].size, 0, kParts[part].size - 0x100);
        dir.insert(dir.end(), e.begin(), e.end());
    }
    return dir;
}

ks::Chip TestChip()
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

std::vector<uint8_t> WindowBytes(const ks::Chip &chip, const std::string &dev)
{
    for (const auto &w : chip.windows)
        if (w.device == dev)
            return {chip.image.begin() + w.offset, chip.image.begin() + w.offset + w.size};
    ADD_FAILURE() << "no window " << dev;
    return {};
}

ks::Window WindowOf(const ks::Chip &chip, const std::string &dev)
{
    for (const auto &w : chip.windows)
        if (w.device == dev)
            return w;
    ADD_FAILURE() << "no window " << dev;
    return {};
}

// The journal without its first two fields (process id and program).
std::vector<std::string> JournalTail()
{
    std::vector<std::string> v;
    for (const auto &line : ks::Journal(kDir)) {
        size_t a = line.find('\t'), b = a == std::string::npos ? a : line.find('\t', a + 1);
        v.push_back(b == std::string::npos ? line : line.substr(b + 1));
    }
    return v;
}

void InstallTestChip(const ks::KernelCalls &calls = {}, const std::vector<ks::MdArray> &md = {})
{
    ks::Install(kDir, TestChip(), calls, md);
}

// ---- pass-through ----

TEST(KstubPassThrough, WithoutStateDirectoryNothingIsAnswered)
{
    InstallTestChip({ks::Call::Present, 1});
    Env preloadOnly = Plain();
    preloadOnly.push_back("LD_PRELOAD=" + ks::LibraryPath());
    for (const Env &env : {preloadOnly, Stub("/tmp/empty"), Stub("/tmp/nonexistent")}) {
        std::filesystem::create_directories("/tmp/empty");
        EXPECT_THAT(Probe({"stat", "/dev/mtd1", "open", "/dev/mtd1", "r", "sys401", "sys405", "1"}, env),
                    ElementsAre("stat -1 ENOENT", "open -1 ENOENT", "sys401 -1 ENOSYS", "sys405 -1 ENOSYS"));
    }
    EXPECT_TRUE(ks::Journal(kDir).empty());
    EXPECT_FALSE(vakotest::FileExists("/tmp/empty/state"));
}

TEST(KstubPassThrough, OrdinaryFilesAndDevNullAreUntouched)
{
    InstallTestChip();
    auto data = Pattern(70000, 9);
    vakotest::WriteFile("/tmp/in", Str(data));
    Result r = Sh("dd if=/tmp/in of=/tmp/out bs=16k seek=1 conv=notrunc,fsync 2>/dev/null &&"
                  " dd if=/tmp/out of=/tmp/back bs=16k skip=1 2>/dev/null && cmp /tmp/in /tmp/back &&"
                  " cat /tmp/in > /tmp/cat && cmp /tmp/in /tmp/cat && echo gone > /dev/null &&"
                  " dd if=/dev/zero of=/tmp/zero bs=1k count=3 2>/dev/null && wc -c < /tmp/zero &&"
                  " test -f /tmp/in && test -c /dev/null && echo ok");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "3072\nok\n");
    EXPECT_EQ(vakotest::ReadFile("/tmp/out").size(), 16384u + data.size());
    EXPECT_THAT(Probe({"open", "/dev/null", "rw", "write", "0102", "read", "4", "fstat", "ioctl", "0x40204d01"}),
                ElementsAre("open 0", "write 2", "read 0 ", "fstat 0 chr 1:3 size=0", "ioctl -1 ENOTTY"));
    EXPECT_THAT(Probe({"open", "/tmp/in", "r", "pread", "2", "3", "fstat"}),
                ElementsAre("open 0", "pread 3 " + Hex({data.begin() + 2, data.begin() + 5}),
                            "fstat 0 reg 0:0 size=70000"));
    EXPECT_TRUE(ks::Journal(kDir).empty());
}

// ---- devices ----

TEST(KstubDevices, ExistExactlyForTheConfiguredWindowsAndArrays)
{
    InstallTestChip({}, {{"/dev/md0"}});
    EXPECT_THAT(Probe({"stat", "/dev/mtd0", "stat", "/dev/mtd4", "stat", "/dev/mtd5", "stat", "/dev/md0",
                       "stat", "/dev/md1", "access", "/dev/mtd3", "access", "/dev/mtd7"}),
                ElementsAre("stat 0 chr 90:0 size=0", "stat 0 chr 90:8 size=0", "stat -1 ENOENT",
                            "stat 0 blk 9:0 size=0", "stat -1 ENOENT", "access 0", "access -1 ENOENT"));
    Result r = Sh("test -c /dev/mtd1 && test -r /dev/mtd1 && test -w /dev/mtd1 && test ! -e /dev/mtd5 &&"
                  " test -b /dev/md0 && ls -l /dev/mtd2");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, testing::StartsWith("crw------- 1 root root 90, 4 "));
}

TEST(KstubDevices, DdWritesAWindowAndAnotherProcessReadsIt)
{
    InstallTestChip();
    auto img = Pattern(3 * 65536 + 1000, 1);
    vakotest::WriteFile("/tmp/img", Str(img));
    Result w = Sh("dd if=/tmp/img of=/dev/mtd1 bs=64k");
    ASSERT_EQ(w.status, 0) << w.err;
    EXPECT_THAT(w.err, HasSubstr("197608 bytes"));

    ks::Chip before = TestChip(), now = ks::Load(kDir);
    auto win = WindowBytes(now, "/dev/mtd1");
    EXPECT_TRUE(std::equal(img.begin(), img.end(), win.begin()));
    EXPECT_TRUE(std::all_of(win.begin() + static_cast<long>(img.size()), win.end(), [](uint8_t c) { return c == 0xFF; }));
    for (const char *other : {"/dev/mtd0", "/dev/mtd2", "/dev/mtd3", "/dev/mtd4"})
        EXPECT_EQ(WindowBytes(now, other), WindowBytes(before, other)) << other;

    Result r = Sh("dd if=/dev/mtd1 of=/tmp/back bs=64k count=4 2>/dev/null && cmp -n 197608 /tmp/img /tmp/back &&"
                  " cmp -n 197608 /dev/mtd1 /tmp/img && cat /dev/mtd1 | cmp -n 197608 - /tmp/img &&"
                  " head -c 5 /tmp/img > /tmp/h5 && head -c 5 /dev/mtd1 | cmp - /tmp/h5 && cat /dev/mtd1 | wc -c");
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_EQ(r.out, "524288\n");
    EXPECT_EQ(vakotest::ReadFile("/tmp/back").size(), 4u * 65536);
}

TEST(KstubDevices, DdSeekSkipCountAndSyncOptions)
{
    InstallTestChip();
    auto blk = Pattern(2 * 16384, 3);
    vakotest::WriteFile("/tmp/blk", Str(blk));
    Result r = Sh("dd if=/tmp/blk of=/dev/mtd1 bs=16k seek=2 count=1 conv=notrunc,fsync 2>/dev/null &&"
                  " dd if=/tmp/blk of=/dev/mtd1 bs=16k seek=5 skip=1 count=1 conv=fdatasync 2>/dev/null &&"
                  " dd if=/dev/mtd1 of=/tmp/o bs=16k skip=2 count=4 2>/dev/null && echo done");
    ASSERT_EQ(r.status, 0) << r.err;
    auto win = WindowBytes(ks::Load(kDir), "/dev/mtd1");
    EXPECT_TRUE(std::equal(blk.begin(), blk.begin() + 16384, win.begin() + 2 * 16384));
    EXPECT_TRUE(std::equal(blk.begin() + 16384, blk.end(), win.begin() + 5 * 16384));
    EXPECT_TRUE(std::all_of(win.begin(), win.begin() + 2 * 16384, [](uint8_t c) { return c == 0xFF; }));
    EXPECT_EQ(Bytes(vakotest::ReadFile("/tmp/o")), std::vector<uint8_t>(win.begin() + 2 * 16384, win.begin() + 6 * 16384));
}

TEST(KstubDevices, WindowEndGivesEofToReadsAndEnospcToWrites)
{
    InstallTestChip();
    Result r = Sh("dd if=/dev/mtd4 of=/tmp/all bs=48k 2>&1");
    EXPECT_THAT(r.out, HasSubstr("1+1 records in"));
    EXPECT_EQ(vakotest::ReadFile("/tmp/all").size(), 0x10000u);

    vakotest::WriteFile("/tmp/big", Str(std::vector<uint8_t>(0x10000 + 10, 0x5A)));
    r = Sh("dd if=/tmp/big of=/dev/mtd4 bs=4k");
    EXPECT_NE(r.status, 0);
    EXPECT_THAT(r.err, HasSubstr("No space left on device"));
    auto win = WindowBytes(ks::Load(kDir), "/dev/mtd4");
    EXPECT_TRUE(std::all_of(win.begin(), win.end(), [](uint8_t c) { return c == 0x5A; }));
    EXPECT_EQ(WindowBytes(ks::Load(kDir), "/dev/mtd3"), WindowBytes(TestChip(), "/dev/mtd3"));

    InstallTestChip();
    EXPECT_THAT(Probe({"open", "/dev/mtd4", "rw", "seek", "-2", "end", "write", "11223344", "write", "55",
                       "read", "1", "pread", "65534", "4", "seek", "1", "end", "seek", "-1", "set"}),
                ElementsAre("open 0", "seek 65534", "write 2", "write -1 ENOSPC", "read 0 ", "pread 2 1122",
                            "seek -1 EINVAL", "seek -1 EINVAL"));
}

TEST(KstubDevices, WritesOnlyClearBitsSoAMissingEraseShowsAsMismatch)
{
    InstallTestChip();
    vakotest::WriteFile("/tmp/a", std::string("\x0F\xF0\xAA\x55", 4));
    vakotest::WriteFile("/tmp/b", std::string("\xFF\x3C\x55\x55", 4));
    Result r = Sh("dd if=/tmp/a of=/dev/mtd4 2>/dev/null && dd if=/tmp/b of=/dev/mtd4 2>/dev/null &&"
                  " dd if=/dev/mtd4 of=/tmp/r bs=4 count=1 2>/dev/null; cmp /tmp/b /tmp/r");
    EXPECT_NE(r.status, 0);
    EXPECT_THAT(r.out, HasSubstr("differ"));
    EXPECT_EQ(Hex(Bytes(vakotest::ReadFile("/tmp/r"))), "0f300055");

    EXPECT_THAT(Probe({"open", "/dev/mtd4", "rw", "erase", "0", "65536", "pwrite", "0", "ff3c5555", "pread", "0", "4"}),
                ElementsAre("open 0", "erase 0", "pwrite 4", "pread 4 ff3c5555"));
}

TEST(KstubDevices, FlashOfTheSecondRoadIsOverwrittenWithoutErase)
{
    InstallTestChip({ks::Call::Present, 1});
    vakotest::WriteFile("/tmp/a", std::string("\x0F\xF0\xAA\x55", 4));
    vakotest::WriteFile("/tmp/b", std::string("\xFF\x3C\x55\x55", 4));
    Result r = Sh("dd if=/tmp/a of=/dev/mtd4 2>/dev/null && dd if=/tmp/b of=/dev/mtd4 2>/dev/null &&"
                  " dd if=/dev/mtd4 of=/tmp/r bs=4 count=1 2>/dev/null; cmp /tmp/b /tmp/r");
    EXPECT_EQ(r.status, 0) << r.out;
}

TEST(KstubDevices, DescriptorPositionIsSharedByDupForkAndExec)
{
    InstallTestChip();
    auto win = WindowBytes(TestChip(), "/dev/mtd2");
    Result r = Sh("{ dd bs=4 count=1 of=/tmp/a 2>/dev/null; dd bs=4 count=1 of=/tmp/b 2>/dev/null; } < /dev/mtd2");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Bytes(vakotest::ReadFile("/tmp/a")), std::vector<uint8_t>(win.begin(), win.begin() + 4));
    EXPECT_EQ(Bytes(vakotest::ReadFile("/tmp/b")), std::vector<uint8_t>(win.begin() + 4, win.begin() + 8));
    // A shell builtin and the program it starts write on through one descriptor.
    r = Sh("{ printf AB; /usr/bin/printf CD; } > /dev/mtd4");
    EXPECT_EQ(r.status, 0) << r.err;
    auto mtd4 = WindowBytes(ks::Load(kDir), "/dev/mtd4");
    EXPECT_EQ(Str({mtd4.begin(), mtd4.begin() + 5}), "ABCD\xFF");
    // A device has no end to append at: >> writes from its start too.
    r = Sh("printf '\\377\\377\\377\\377\\017' >> /dev/mtd4");
    EXPECT_EQ(r.status, 0) << r.err;
    mtd4 = WindowBytes(ks::Load(kDir), "/dev/mtd4");
    EXPECT_EQ(Str({mtd4.begin(), mtd4.begin() + 5}), "ABCD\x0F");
    EXPECT_THAT(Probe({"open", "/dev/mtd2", "r", "read", "2", "dup", "read", "2", "seek", "0", "cur", "fstat"}),
                ElementsAre("open 0", "read 2 " + Hex({win.begin(), win.begin() + 2}), "dup 0",
                            "read 2 " + Hex({win.begin() + 2, win.begin() + 4}), "seek 4", "fstat 0 chr 90:4 size=0"));
}

TEST(KstubDevices, AccessModeOfTheDescriptorIsKept)
{
    InstallTestChip();
    EXPECT_THAT(Probe({"open", "/dev/mtd4", "r", "write", "00", "erase", "0", "65536", "getinfo", "close",
                       "open", "/dev/mtd4", "w", "read", "1"}),
                ElementsAre("open 0", "write -1 EBADF", "erase -1 EPERM",
                            "getinfo 0 03000000000c0000000001000000010000000000000000000000000000000000", "close 0",
                            "open 0", "read -1 EBADF"));
}

TEST(KstubDevices, StdioStreamsOnADevice)
{
    InstallTestChip();
    auto win = WindowBytes(TestChip(), "/dev/mtd2");
    EXPECT_THAT(Probe({"fopen", "/dev/mtd2", "6000", "open", "/dev/mtd2", "r", "fdopen", "5"}),
                ElementsAre("fopen 6000 " + Hex({win.begin(), win.begin() + 6000}) + " chr", "open 0",
                            "fdopen 5 " + Hex({win.begin(), win.begin() + 5}) + " chr"));
    // Standard streams of a program started on a device.
    Result r = Sh("od -An -tx1 -N4 < /dev/mtd2 && /usr/bin/printf 'out' > /dev/mtd4 && /usr/bin/printf 'xyz' | "
                  "/usr/bin/od -c 2>/dev/mtd1 /dev/missing");
    EXPECT_EQ(r.out, " " + Hex({win.begin(), win.begin() + 1}) + " " + Hex({win.begin() + 1, win.begin() + 2}) + " " +
                         Hex({win.begin() + 2, win.begin() + 3}) + " " + Hex({win.begin() + 3, win.begin() + 4}) + "\n");
    ks::Chip now = ks::Load(kDir);
    EXPECT_EQ(Str(WindowBytes(now, "/dev/mtd4")).substr(0, 4), "out\xFF");
    const std::string message = "/usr/bin/od: /dev/missing: No such file or directory\n\xFF";
    EXPECT_EQ(Str(WindowBytes(now, "/dev/mtd1")).substr(0, message.size()), message);
}

// ---- the MTD requests ----

TEST(KstubMtd, MemGetInfoReportsTheWindow)
{
    InstallTestChip();
    // type 3 (NOR), three pad bytes, flags 0xc00, size, erasesize, then zeros.
    EXPECT_THAT(Probe({"open", "/dev/mtd1", "r", "getinfo", "open", "/dev/mtd3", "r", "getinfo"}),
                ElementsAre("open 0", "getinfo 0 03000000000c0000000008000000010000000000000000000000000000000000",
                            "open 0", "getinfo 0 03000000000c0000000001000000010000000000000000000000000000000000"));
}

TEST(KstubMtd, EraseFillsFFInsideTheWindowAndRefusesBadRegions)
{
    InstallTestChip();
    struct Case {
        const char *start, *length, *result;
    } cases[] = {
        {"0x8000", "0x10000", "erase -1 EINVAL"},   // start not on a block
        {"0", "0x8000", "erase -1 EINVAL"},         // length not whole blocks
        {"0", "0", "erase -1 EINVAL"},
        {"0x30000", "0x20000", "erase -1 EINVAL"},  // past the window's end
        {"0x10000", "0x10000", "erase 0"},
    };
    for (const auto &c : cases)
        EXPECT_THAT(Probe({"open", "/dev/mtd2", "rw", "erase", c.start, c.length}), ElementsAre("open 0", c.result))
            << c.start << " " << c.length;
    ks::Chip before = TestChip(), now = ks::Load(kDir);
    for (uint32_t i = 0; i < kChip; ++i) {
        bool erased = i >= 0xB0000 && i < 0xC0000;
        ASSERT_EQ(now.image[i], erased ? 0xFF : before.image[i]) << std::hex << i;
    }
}

TEST(KstubMtd, LockedWindowRefusesWritesAndErasesUntilUnlocked)
{
    ks::Chip chip = TestChip();
    chip.windows[4].locked = true;
    ks::Install(kDir, chip, {});
    vakotest::WriteFile("/tmp/z", std::string(16, '\0'));
    EXPECT_THAT(Probe({"open", "/dev/mtd4", "rw", "write", "00", "erase", "0", "65536", "unlock", "0", "65536",
                       "write", "00", "lock", "0", "65536", "write", "00"}),
                ElementsAre("open 0", "write -1 EROFS", "erase -1 EROFS", "unlock 0", "write 1", "lock 0",
                            "write -1 EROFS"));
    EXPECT_TRUE(WindowOf(ks::Load(kDir), "/dev/mtd4").locked);
    Result r = Sh("dd if=/tmp/z of=/dev/mtd4");
    EXPECT_NE(r.status, 0);
    EXPECT_THAT(r.err, HasSubstr("Read-only file system"));
    EXPECT_THAT(Probe({"open", "/dev/mtd4", "rw", "lock", "0", "0x20000"}), ElementsAre("open 0", "lock -1 EINVAL"));
    EXPECT_FALSE(WindowOf(ks::Load(kDir), "/dev/mtd1").locked);
}

TEST(KstubMtd, SetPartitionMovesTheWindow)
{
    InstallTestChip();
    EXPECT_THAT(Probe({"open", "/dev/mtd4", "rw", "setpart", "0x40000", "0x20000", "getinfo"}),
                ElementsAre("open 0", "setpart 0",
                            "getinfo 0 03000000000c0000000002000000010000000000000000000000000000000000"));
    vakotest::WriteFile("/tmp/x", std::string(0x20000, '\x11'));
    Result r = Sh("dd if=/tmp/x of=/dev/mtd4 bs=64k 2>/dev/null && dd if=/dev/mtd4 of=/tmp/y 2>/dev/null");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(vakotest::ReadFile("/tmp/y"), std::string(0x20000, '\x11'));
    ks::Chip now = ks::Load(kDir);
    ks::Window w = WindowOf(now, "/dev/mtd4");
    EXPECT_EQ(w.offset, 0x40000u);
    EXPECT_EQ(w.size, 0x20000u);
    EXPECT_TRUE(std::all_of(now.image.begin() + 0x40000, now.image.begin() + 0x60000, [](uint8_t c) { return c == 0x11; }));
    EXPECT_TRUE(std::all_of(now.image.begin() + 0xF0000, now.image.end(), [](uint8_t c) { return c == 0xFF; }));
}

TEST(KstubMtd, SetPartitionRefusesRegionsOutsideTheChipOrOffBlocks)
{
    InstallTestChip();
    struct Case {
        const char *offset, *size;
    } cases[] = {{"0xF0000", "0x20000"}, {"0x100000", "0x10000"}, {"0xFFFF0000", "0x20000"},
                 {"0x8000", "0x10000"},  {"0x10000", "0x18000"},  {"0x10000", "0"}};
    for (const auto &c : cases)
        EXPECT_THAT(Probe({"open", "/dev/mtd1", "rw", "setpart", c.offset, c.size}),
                    ElementsAre("open 0", "setpart -1 EINVAL"))
            << c.offset << " " << c.size;
    ks::Window w = WindowOf(ks::Load(kDir), "/dev/mtd1");
    EXPECT_EQ(w.offset, 0x20000u);
    EXPECT_EQ(w.size, 0x80000u);
}

TEST(KstubMtd, SetFisEntryRewritesExactlyTheTwelveBytesBigEndian)
{
    InstallTestChip();
    EXPECT_THAT(Probe({"open", "/dev/mtd3", "rw", "setfis", "zImage", "0x12345678", "0x00560001", "0x89abcdef"}),
                ElementsAre("open 0", "setfis 0"));
    ks::Chip before = TestChip(), now = ks::Load(kDir);
    std::vector<uint8_t> expect = before.image;
    const uint32_t entry = kParts[3].offset + 256;  // the second entry
    for (auto [at, bytes] : {std::pair{16u, "\x12\x34\x56\x78"}, {24u, "\x00\x56\x00\x01"}, {32u, "\x89\xab\xcd\xef"}})
        std::copy(bytes, bytes + 4, expect.begin() + entry + at);
    EXPECT_EQ(now.image, expect);
    EXPECT_THAT(ks::Journal(kDir).back(),
                testing::EndsWith("\t/dev/mtd3\tSET_FIS_ENTRY\tname=zImage flash_base=0x12345678 size=0x560001 "
                                  "data_length=0x89abcdef\t0"));
}

TEST(KstubMtd, SetFisEntryWithoutSuchEntryIsEnoent)
{
    // The directory ends at the first entry that starts with 0xFF.
    ks::Chip chip = TestChip();
    auto hidden = ks::EncodeFisEntry("hidden", 0, 0, 0, 0, 0);
    std::copy(hidden.begin(), hidden.end(), chip.image.begin() + kParts[3].offset + 5 * 256);
    ks::Install(kDir, chip, {});
    EXPECT_THAT(Probe({"open", "/dev/mtd3", "rw", "setfis", "vendor", "1", "2", "3", "setfis", "hidden", "1", "2", "3",
                       "setfis", "zImag", "1", "2", "3"}),
                ElementsAre("open 0", "setfis -1 ENOENT", "setfis -1 ENOENT", "setfis -1 ENOENT"));
    EXPECT_EQ(ks::Load(kDir).image, chip.image);
}

TEST(KstubMtd, UnknownRequestsAreEnotty)
{
    InstallTestChip();
    // This host's own encoding of MEMGETINFO is not the appliance's.
    EXPECT_THAT(Probe({"open", "/dev/mtd1", "rw", "ioctl", "0x80204d01", "ioctl", "0x40044d1a", "ioctl", "0x40480911"}),
                ElementsAre("open 0", "ioctl -1 ENOTTY", "ioctl -1 ENOTTY", "ioctl -1 ENOTTY"));
}

// ---- the second road's requests on /dev/mtd0 ----

TEST(KstubSecondRoad, PartitionTableHasSizeAndDataLengthOfEachPosition)
{
    ks::Chip chip = TestChip();
    chip.windows[1].dataLength = 0x12345;
    ks::Install(kDir, chip, {});
    EXPECT_THAT(Probe({"open", "/dev/mtd0", "rw", "gettable"}),
                ElementsAre("open 0", "gettable 0 131072,131072 524288,74565 262144,262144 65536,65536 65536,65536 "
                                      "0,0 0,0 0,0"));
    EXPECT_THAT(Probe({"open", "/dev/mtd1", "rw", "gettable"}), ElementsAre("open 0", "gettable -1 ENOTTY"));
}

TEST(KstubSecondRoad, FormatThenSetTableLaysThePartitionsOut)
{
    InstallTestChip();
    EXPECT_THAT(Probe({"open", "/dev/mtd0", "rw", "format", "64", "settable", "2", "8", "4", "1", "1", "0", "48", "0",
                       "gettable"}),
                ElementsAre("open 0", "format 0", "settable 0",
                            "gettable 0 32768,32768 131072,131072 65536,65536 16384,16384 16384,16384 0,0 786432,786432 "
                            "0,0"));
    ks::Chip now = ks::Load(kDir);
    EXPECT_EQ(now.image, std::vector<uint8_t>(kChip, 0xFF));
    const uint32_t expect[8][2] = {{0, 0x8000},      {0x8000, 0x20000}, {0x28000, 0x10000}, {0x38000, 0x4000},
                                   {0x3C000, 0x4000}, {0x40000, 0},      {0x40000, 0xC0000}, {0x100000, 0}};
    for (int i = 0; i < 8; ++i) {
        ks::Window w = WindowOf(now, "/dev/mtd" + std::to_string(i));
        EXPECT_EQ(w.offset, expect[i][0]) << i;
        EXPECT_EQ(w.size, expect[i][1]) << i;
    }
    EXPECT_THAT(JournalTail(), ElementsAre("/dev/mtd0\tFORMAT\tunits=64\t0",
                                           "/dev/mtd0\tSET_PART_TABLE\tunits=2,8,4,1,1,0,48,0\t0",
                                           "/dev/mtd0\tGET_PART_TABLE\t-\t0"));
}

TEST(KstubSecondRoad, TheAppliancesFlashOf967Units)
{
    ks::Chip chip{967 * 16384, 16384, {{"/dev/mtd0", 0, 0x40000}, {"/dev/mtd1", 0x40000, 0x100000}}};
    ks::Install(kDir, chip, {});
    EXPECT_THAT(Probe({"open", "/dev/mtd0", "rw", "format", "967", "settable", "16", "100", "200", "600", "1", "10",
                       "20", "20", "gettable"}),
                ElementsAre("open 0", "format 0", "settable 0",
                            "gettable 0 262144,262144 1638400,1638400 3276800,3276800 9830400,9830400 16384,16384 "
                            "163840,163840 327680,327680 327680,327680"));
    EXPECT_EQ(WindowOf(ks::Load(kDir), "/dev/mtd7").offset, 947u * 16384);
}

TEST(KstubSecondRoad, FormatAndSetTableRefusals)
{
    const std::vector<std::string> table = {"settable", "1", "1", "1", "1", "1", "1", "1", "1"};
    auto with = [](std::vector<std::string> a, const std::vector<std::string> &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    InstallTestChip();
    // Not the chip's size in units.
    EXPECT_THAT(Probe({"open", "/dev/mtd0", "rw", "format", "967"}), ElementsAre("open 0", "format -1 EINVAL"));
    EXPECT_EQ(ks::Load(kDir).image, TestChip().image);
    // No format before; a format on another descriptor; another request between.
    EXPECT_THAT(Probe(with({"open", "/dev/mtd0", "rw"}, table)), ElementsAre("open 0", "settable -1 EINVAL"));
    EXPECT_THAT(Probe(with({"open", "/dev/mtd0", "rw", "format", "64", "open", "/dev/mtd0", "rw"}, table)),
                ElementsAre("open 0", "format 0", "open 0", "settable -1 EINVAL"));
    EXPECT_THAT(Probe(with({"open", "/dev/mtd0", "rw", "format", "64", "gettable"}, table)),
                ElementsAre("open 0", "format 0", testing::StartsWith("gettable 0"), "settable -1 EINVAL"));
    // More units than the chip has; a negative count.
    EXPECT_THAT(Probe({"open", "/dev/mtd0", "rw", "format", "64", "settable", "60", "5", "0", "0", "0", "0", "0", "0"}),
                ElementsAre("open 0", "format 0", "settable -1 EINVAL"));
    EXPECT_THAT(Probe({"open", "/dev/mtd0", "rw", "format", "64", "settable", "4", "-1", "0", "0", "0", "0", "0", "0"}),
                ElementsAre("open 0", "format 0", "settable -1 EINVAL"));
    // Format and table only on /dev/mtd0.
    EXPECT_THAT(Probe({"open", "/dev/mtd1", "rw", "format", "64"}), ElementsAre("open 0", "format -1 ENOTTY"));
    ks::Window w = WindowOf(ks::Load(kDir), "/dev/mtd1");
    EXPECT_EQ(w.offset, 0x20000u);
    EXPECT_EQ(w.size, 0x80000u);
}

// ---- kernel calls ----

TEST(KstubKernelCalls, EachModeOf401And405)
{
    struct Case {
        ks::KernelCalls calls;
        const char *r401, *r405, *j401, *j405;
    } cases[] = {
        {{ks::Call::Present, 0x3, EPERM, ks::Call::Present, ENOMEM}, "sys401 0 0x3", "sys405 0", "0", "0"},
        {{ks::Call::Absent, 0x3, EPERM, ks::Call::Absent, ENOMEM}, "sys401 -1 ENOSYS", "sys405 -1 ENOSYS",
         "-1 ENOSYS", "-1 ENOSYS"},
        {{ks::Call::Refused, 0x3, EPERM, ks::Call::Refused, ENOMEM}, "sys401 -1 EPERM", "sys405 -1 ENOMEM",
         "-1 EPERM", "-1 ENOMEM"},
        {{ks::Call::Refused, 0, EFAULT, ks::Call::Refused, EBUSY}, "sys401 -1 EFAULT", "sys405 -1 EBUSY",
         "-1 EFAULT", "-1 EBUSY"},
    };
    for (const auto &c : cases) {
        InstallTestChip(c.calls);
        // Every other number goes to this host's kernel.
        EXPECT_THAT(Probe({"sys401", "sys405", "1", "sys405", "0", "sysgetpid"}),
                    ElementsAre(c.r401, c.r405, c.r405, "sysgetpid 0"));
        EXPECT_THAT(JournalTail(), ElementsAre(std::string("-\tsyscall401\t-\t") + c.j401,
                                               std::string("-\tsyscall405\targ=1\t") + c.j405,
                                               std::string("-\tsyscall405\targ=0\t") + c.j405));
    }
}

// ---- md ----

TEST(KstubMd, ArrayInfoSizeAndSyncStatus)
{
    ks::MdArray md0{"/dev/md0", true, 1, 1000, 2, 3, 1024000, {5, 100, 900}};
    ks::MdArray md1{"/dev/md1", false, 5, 7, 3, 3, 99, {1, 2, 3}};
    InstallTestChip({}, {md0, md1});
    EXPECT_THAT(Probe({"open", "/dev/md0", "r", "mdinfo", "mdsize", "mdsync", "read", "4", "getinfo"}),
                ElementsAre("open 0", "mdinfo 0 0 90 0 0 1 1000 3 2 0 0 0 0 0 0 0 0 0 0", "mdsize 0 1024000",
                            "mdsync 0 5 100 900", "read 0 ", "getinfo -1 ENOTTY"));
    EXPECT_THAT(Probe({"open", "/dev/md1", "r", "mdinfo", "mdsize", "mdsync"}),
                ElementsAre("open 0", "mdinfo -1 ENODEV", "mdsize 0 0", "mdsync -1 ENODEV"));
    EXPECT_THAT(Probe({"open", "/dev/mtd1", "r", "mdinfo", "mdsize", "mdsync"}),
                ElementsAre("open 0", "mdinfo -1 ENOTTY", "mdsize -1 ENOTTY", "mdsync -1 ENOTTY"));
    EXPECT_THAT(JournalTail(),
                ElementsAre("/dev/md0\tGET_ARRAY_INFO\t-\t0", "/dev/md0\tBLKGETSIZE64\t-\t0",
                            "/dev/md0\tSYNC_STATUS\t-\t0", "/dev/md0\tMEMGETINFO\t-\t-1 ENOTTY",
                            "/dev/md1\tGET_ARRAY_INFO\t-\t-1 ENODEV", "/dev/md1\tBLKGETSIZE64\t-\t0",
                            "/dev/md1\tSYNC_STATUS\t-\t-1 ENODEV", "/dev/mtd1\tGET_ARRAY_INFO\t-\t-1 ENOTTY",
                            "/dev/mtd1\tBLKGETSIZE64\t-\t-1 ENOTTY", "/dev/mtd1\tSYNC_STATUS\t-\t-1 ENOTTY"));
}

// ---- fault knobs ----

TEST(KstubFaults, NthEraseFails)
{
    InstallTestChip();
    ks::SetFault(kDir, {"/dev/mtd2", ks::FaultKind::FailErase, 2});
    EXPECT_THAT(Probe({"open", "/dev/mtd2", "rw", "erase", "0", "0x10000", "erase", "0x10000", "0x10000", "erase",
                       "0x20000", "0x10000"}),
                ElementsAre("open 0", "erase 0", "erase -1 EIO", "erase 0"));
    auto now = WindowBytes(ks::Load(kDir), "/dev/mtd2"), before = WindowBytes(TestChip(), "/dev/mtd2");
    EXPECT_TRUE(std::equal(now.begin() + 0x10000, now.begin() + 0x20000, before.begin() + 0x10000));
    EXPECT_TRUE(std::all_of(now.begin() + 0x20000, now.begin() + 0x30000, [](uint8_t c) { return c == 0xFF; }));
    EXPECT_EQ(ks::Faults(kDir).at(0).seen, 3u);
}

TEST(KstubFaults, NthWriteFailsCountedAcrossProcesses)
{
    InstallTestChip();
    ks::SetFault(kDir, {"/dev/mtd1", ks::FaultKind::FailWrite, 3});
    auto img = Pattern(4 * 16384, 4);
    vakotest::WriteFile("/tmp/img", Str(img));
    Result r = Sh("dd if=/tmp/img of=/dev/mtd1 bs=16k count=1 2>/dev/null && "
                  "dd if=/tmp/img of=/dev/mtd1 bs=16k count=3");
    EXPECT_NE(r.status, 0);
    EXPECT_THAT(r.err, HasSubstr("error writing '/dev/mtd1': Input/output error"));
    EXPECT_THAT(r.err, HasSubstr("1+0 records out"));
    auto win = WindowBytes(ks::Load(kDir), "/dev/mtd1");
    EXPECT_TRUE(std::equal(img.begin(), img.begin() + 16384, win.begin()));
    EXPECT_TRUE(std::all_of(win.begin() + 16384, win.end(), [](uint8_t c) { return c == 0xFF; }));
    EXPECT_THAT(ks::Journal(kDir),
                ElementsAre(testing::EndsWith("\tdd\t/dev/mtd1\twrite\tpos=0x4000 length=0x4000 fault=fail\t-1 EIO")));
}

TEST(KstubFaults, NthIoctlOfARequestFails)
{
    InstallTestChip();
    ks::SetFault(kDir, {"/dev/mtd3", ks::FaultKind::FailIoctl, 2, VAKO_MTD_SET_FIS_ENTRY, EBUSY});
    EXPECT_THAT(Probe({"open", "/dev/mtd3", "rw", "getinfo", "setfis", "zImage", "1", "2", "3", "setfis", "rd.gz",
                       "4", "5", "6", "setfis", "rd.gz", "4", "5", "6"}),
                ElementsAre("open 0", testing::StartsWith("getinfo 0"), "setfis 0", "setfis -1 EBUSY", "setfis 0"));
    EXPECT_THAT(JournalTail(),
                ElementsAre("/dev/mtd3\tMEMGETINFO\t-\t0",
                            "/dev/mtd3\tSET_FIS_ENTRY\tname=zImage flash_base=0x1 size=0x2 data_length=0x3\t0",
                            "/dev/mtd3\tSET_FIS_ENTRY\tname=rd.gz flash_base=0x4 size=0x5 data_length=0x6\t-1 EBUSY",
                            "/dev/mtd3\tSET_FIS_ENTRY\tname=rd.gz flash_base=0x4 size=0x5 data_length=0x6\t0"));
}

TEST(KstubFaults, CorruptedByteOfTheNthWriteShowsInVerify)
{
    InstallTestChip();
    ks::SetFault(kDir, {"/dev/mtd1", ks::FaultKind::CorruptWrite, 2, 0, EIO, 5, 0x90});
    auto img = Pattern(3 * 16384, 5);
    vakotest::WriteFile("/tmp/img", Str(img));
    Result r = Sh("dd if=/tmp/img of=/dev/mtd1 bs=16k 2>/dev/null && dd if=/dev/mtd1 of=/tmp/back bs=16k count=3 "
                  "2>/dev/null; cmp /tmp/img /tmp/back");
    EXPECT_NE(r.status, 0);
    EXPECT_THAT(r.out, HasSubstr("differ: char 16390"));
    auto win = WindowBytes(ks::Load(kDir), "/dev/mtd1");
    std::vector<uint8_t> expect(img);
    expect[16384 + 5] ^= 0x90;
    EXPECT_TRUE(std::equal(expect.begin(), expect.end(), win.begin()));
    EXPECT_THAT(ks::Journal(kDir), ElementsAre(testing::EndsWith("\tdd\t/dev/mtd1\twrite\tpos=0x4000 length=0x4000 "
                                                                 "fault=corrupt\t16384")));
}

TEST(KstubFaults, ShortWritesStoreAtMostKBytes)
{
    InstallTestChip();
    ks::Fault f{"/dev/mtd1", ks::FaultKind::ShortWrite};
    f.maxBytes = 1000;
    ks::SetFault(kDir, f);
    std::string hex(2 * 4096, 'a');
    EXPECT_THAT(Probe({"open", "/dev/mtd1", "rw", "write", hex, "seek", "0", "cur"}),
                ElementsAre("open 0", "write 1000", "seek 1000"));
    // dd goes on writing the rest of a short write.
    InstallTestChip();
    ks::SetFault(kDir, f);
    auto img = Pattern(20000, 6);
    vakotest::WriteFile("/tmp/img", Str(img));
    Result r = Sh("dd if=/tmp/img of=/dev/mtd1 bs=16k");
    EXPECT_EQ(r.status, 0) << r.err;
    auto win = WindowBytes(ks::Load(kDir), "/dev/mtd1");
    EXPECT_TRUE(std::equal(img.begin(), img.end(), win.begin()));
    EXPECT_THAT(ks::Journal(kDir).front(), testing::EndsWith("\twrite\tpos=0x0 length=0x3e8 fault=short\t1000"));
}

TEST(KstubFaults, CountersStayExactUnderConcurrentProcesses)
{
    InstallTestChip();
    ks::SetFault(kDir, {"/dev/mtd1", ks::FaultKind::FailWrite, 100000});
    ks::SetFault(kDir, {"/dev/mtd2", ks::FaultKind::FailWrite, 100000});
    vakotest::WriteFile("/tmp/img", Str(Pattern(60 * 512, 7)));
    Result r = Sh("dd if=/tmp/img of=/dev/mtd1 bs=512 2>/dev/null & dd if=/tmp/img of=/dev/mtd1 bs=512 seek=60 "
                  "2>/dev/null & dd if=/tmp/img of=/dev/mtd2 bs=512 2>/dev/null & wait");
    EXPECT_EQ(r.status, 0) << r.err;
    auto faults = ks::Faults(kDir);
    ASSERT_EQ(faults.size(), 2u);
    EXPECT_EQ(faults[0].seen, 120u);
    EXPECT_EQ(faults[1].seen, 60u);
}

// ---- journal and fixture ----

TEST(KstubJournal, OneLinePerRequestWithProcessDeviceArgumentsAndResult)
{
    InstallTestChip();
    Probe({"open", "/dev/mtd2", "rw", "erase", "0x10000", "0x20000", "lock", "0", "0x40000", "unlock", "0", "0x40000",
           "setpart", "0x60000", "0x10000", "ioctl", "0x12345678"});
    auto j = ks::Journal(kDir);
    ASSERT_EQ(j.size(), 5u);
    const std::string pre = "\tkstub-probe\t/dev/mtd2\t";
    std::string first = j[0].substr(0, j[0].find('\t'));
    EXPECT_FALSE(first.empty());
    EXPECT_TRUE(std::all_of(first.begin(), first.end(), ::isdigit));
    EXPECT_EQ(j[0], first + pre + "MEMERASE\tstart=0x10000 length=0x20000\t0");
    EXPECT_EQ(j[1], first + pre + "MEMLOCK\tstart=0x0 length=0x40000\t0");
    EXPECT_EQ(j[2], first + pre + "MEMUNLOCK\tstart=0x0 length=0x40000\t0");
    EXPECT_EQ(j[3], first + pre + "SET_PARTITION\toffset=0x60000 size=0x10000\t0");
    EXPECT_EQ(j[4], first + pre + "0x12345678\t-\t-1 ENOTTY");
}

TEST(KstubFixture, EncodeFisEntryIsBigEndianWithNamePadded)
{
    auto e = ks::EncodeFisEntry("zImage", 0x01020304, 0x05060708, 0x090a0b0c, 0x0d0e0f10, 0x11121314);
    ASSERT_EQ(e.size(), 256u);
    EXPECT_EQ(Hex({e.begin(), e.begin() + 40}),
              "7a496d61676500000000000000000000" "01020304" "05060708" "090a0b0c" "0d0e0f10" "11121314" "00000000");
    EXPECT_TRUE(std::all_of(e.begin() + 36, e.end(), [](uint8_t c) { return c == 0; }));
    auto longName = ks::EncodeFisEntry("ABCDEFGHIJKLMNOPQRS", 0, 0, 0, 0, 0);
    EXPECT_EQ(Str({longName.begin(), longName.begin() + 17}), std::string("ABCDEFGHIJKLMNOP\0", 17));
}

TEST(KstubFixture, InstallRefusesWhatNoKernelWouldHave)
{
    ks::Chip outside = TestChip();
    outside.windows.push_back({"/dev/mtd5", 0xF0000, 0x20000});
    EXPECT_THROW(ks::Install(kDir, outside, {}), std::invalid_argument);
    ks::Chip badName = TestChip();
    badName.windows.push_back({"/dev/sda1", 0, 0x10000});
    EXPECT_THROW(ks::Install(kDir, badName, {}), std::invalid_argument);
    ks::Chip twice = TestChip();
    twice.windows.push_back({"mtd1", 0, 0x10000});
    EXPECT_THROW(ks::Install(kDir, twice, {}), std::invalid_argument);
    ks::Chip big = TestChip();
    big.image.push_back(0);
    EXPECT_THROW(ks::Install(kDir, big, {}), std::invalid_argument);

    ks::Chip blank{kChip, kErase, {{"mtd6", 0, 0x10000}}, {}};
    ks::Install(kDir, blank, {});
    ks::Chip back = ks::Load(kDir);
    EXPECT_EQ(back.image, std::vector<uint8_t>(kChip, 0xFF));
    ASSERT_EQ(back.windows.size(), 1u);
    EXPECT_EQ(back.windows[0].device, "/dev/mtd6");
    EXPECT_EQ(back.windows[0].dataLength, 0x10000u);
}

} // namespace
