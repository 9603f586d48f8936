// The stand-in's devices: what passes through, what is a device, and its data
// with the rules of NOR flash, descriptors and streams.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include <algorithm>
#include <filesystem>

#include "kstub_testutil.h"

namespace {

using namespace kstubtest;

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
    vakotest::RunResult r = Sh("dd if=/tmp/in of=/tmp/out bs=16k seek=1 conv=notrunc,fsync 2>/dev/null &&"
                               " dd if=/tmp/out of=/tmp/back bs=16k skip=1 2>/dev/null && cmp /tmp/in /tmp/back &&"
                               " cat /tmp/in > /tmp/cat && cmp /tmp/in /tmp/cat && echo gone > /dev/null &&"
                               " dd if=/dev/zero of=/tmp/zero bs=1k count=3 2>/dev/null && wc -c < /tmp/zero &&"
                               " test -f /tmp/in && test -c /dev/null && echo ok");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "3072\nok\n");
    EXPECT_EQ(vakotest::ReadFile("/tmp/out").size(), 16384u + data.size());
    EXPECT_THAT(Probe({"open", "/dev/null", "rw", "write", "0102", "read", "4", "fstat", "ioctl", "0x40204d01"}),
                ElementsAre("open 0", "write 2", "read 0 ", "fstat 0 chr 1:3 size=0", "ioctl -1 ENOTTY"));
    EXPECT_THAT(
        Probe({"open", "/tmp/in", "r", "pread", "2", "3", "fstat"}),
        ElementsAre("open 0", "pread 3 " + Hex({data.begin() + 2, data.begin() + 5}), "fstat 0 reg 0:0 size=70000"));
    EXPECT_TRUE(ks::Journal(kDir).empty());
}

// ---- devices ----

TEST(KstubDevices, ExistExactlyForTheConfiguredWindowsAndArrays)
{
    InstallTestChip({}, {{"/dev/md0"}});
    EXPECT_THAT(Probe({"stat", "/dev/mtd0", "stat", "/dev/mtd4", "stat", "/dev/mtd5", "stat", "/dev/md0", "stat",
                       "/dev/md1", "access", "/dev/mtd3", "access", "/dev/mtd7"}),
                ElementsAre("stat 0 chr 90:0 size=0", "stat 0 chr 90:8 size=0", "stat -1 ENOENT",
                            "stat 0 blk 9:0 size=0", "stat -1 ENOENT", "access 0", "access -1 ENOENT"));
    vakotest::RunResult r = Sh("test -c /dev/mtd1 && test -r /dev/mtd1 && test -w /dev/mtd1 && test ! -e /dev/mtd5 &&"
                               " test -b /dev/md0 && ls -l /dev/mtd2");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, testing::StartsWith("crw------- 1 root root 90, 4 "));
}

TEST(KstubDevices, DdWritesAWindowAndAnotherProcessReadsIt)
{
    InstallTestChip();
    auto img = Pattern(3 * 65536 + 1000, 1);
    vakotest::WriteFile("/tmp/img", Str(img));
    vakotest::RunResult w = Sh("dd if=/tmp/img of=/dev/mtd1 bs=64k");
    ASSERT_EQ(w.status, 0) << w.err;
    EXPECT_THAT(w.err, HasSubstr("197608 bytes"));

    ks::Chip before = TestChip(), now = ks::Load(kDir);
    auto win = WindowBytes(now, "/dev/mtd1");
    EXPECT_TRUE(std::equal(img.begin(), img.end(), win.begin()));
    EXPECT_TRUE(
        std::all_of(win.begin() + static_cast<long>(img.size()), win.end(), [](uint8_t c) { return c == 0xFF; }));
    for (const char *other : {"/dev/mtd0", "/dev/mtd2", "/dev/mtd3", "/dev/mtd4"})
        EXPECT_EQ(WindowBytes(now, other), WindowBytes(before, other)) << other;

    vakotest::RunResult r = Sh(
        "dd if=/dev/mtd1 of=/tmp/back bs=64k count=4 2>/dev/null && cmp -n 197608 /tmp/img /tmp/back &&"
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
    vakotest::RunResult r = Sh("dd if=/tmp/blk of=/dev/mtd1 bs=16k seek=2 count=1 conv=notrunc,fsync 2>/dev/null &&"
                               " dd if=/tmp/blk of=/dev/mtd1 bs=16k seek=5 skip=1 count=1 conv=fdatasync 2>/dev/null &&"
                               " dd if=/dev/mtd1 of=/tmp/o bs=16k skip=2 count=4 2>/dev/null && echo done");
    ASSERT_EQ(r.status, 0) << r.err;
    auto win = WindowBytes(ks::Load(kDir), "/dev/mtd1");
    EXPECT_TRUE(std::equal(blk.begin(), blk.begin() + 16384, win.begin() + 2 * 16384));
    EXPECT_TRUE(std::equal(blk.begin() + 16384, blk.end(), win.begin() + 5 * 16384));
    EXPECT_TRUE(std::all_of(win.begin(), win.begin() + 2 * 16384, [](uint8_t c) { return c == 0xFF; }));
    EXPECT_EQ(Bytes(vakotest::ReadFile("/tmp/o")),
              std::vector<uint8_t>(win.begin() + 2 * 16384, win.begin() + 6 * 16384));
}

TEST(KstubDevices, WindowEndGivesEofToReadsAndEnospcToWrites)
{
    InstallTestChip();
    vakotest::RunResult r = Sh("dd if=/dev/mtd4 of=/tmp/all bs=48k 2>&1");
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
    EXPECT_THAT(Probe({"open", "/dev/mtd4", "rw",    "seek", "-2",   "end", "write", "11223344", "write", "55", "read",
                       "1",    "pread",     "65534", "4",    "seek", "1",   "end",   "seek",     "-1",    "set"}),
                ElementsAre("open 0", "seek 65534", "write 2", "write -1 ENOSPC", "read 0 ", "pread 2 1122",
                            "seek -1 EINVAL", "seek -1 EINVAL"));
}

TEST(KstubDevices, WritesOnlyClearBitsSoAMissingEraseShowsAsMismatch)
{
    InstallTestChip();
    vakotest::WriteFile("/tmp/a", std::string("\x0F\xF0\xAA\x55", 4));
    vakotest::WriteFile("/tmp/b", std::string("\xFF\x3C\x55\x55", 4));
    vakotest::RunResult r = Sh("dd if=/tmp/a of=/dev/mtd4 2>/dev/null && dd if=/tmp/b of=/dev/mtd4 2>/dev/null &&"
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
    vakotest::RunResult r = Sh("dd if=/tmp/a of=/dev/mtd4 2>/dev/null && dd if=/tmp/b of=/dev/mtd4 2>/dev/null &&"
                               " dd if=/dev/mtd4 of=/tmp/r bs=4 count=1 2>/dev/null; cmp /tmp/b /tmp/r");
    EXPECT_EQ(r.status, 0) << r.out;
}

TEST(KstubDevices, DescriptorPositionIsSharedByDupForkAndExec)
{
    InstallTestChip();
    auto win = WindowBytes(TestChip(), "/dev/mtd2");
    vakotest::RunResult r = Sh(
        "{ dd bs=4 count=1 of=/tmp/a 2>/dev/null; dd bs=4 count=1 of=/tmp/b 2>/dev/null; } < /dev/mtd2");
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

// A process keeps the state parsed and the chip open from one operation to
// the next: what another process or the kit changed in between shows at its
// next operation.
TEST(KstubDevices, AProcessSeesWhatOthersChangedSinceItsLastOperation)
{
    InstallTestChip();
    const auto mtd2 = WindowBytes(TestChip(), "/dev/mtd2");
    int fd = open("/dev/mtd4", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    uint8_t b[4];
    ASSERT_EQ(pread(fd, b, sizeof b, 0), 4);
    EXPECT_EQ(Hex({b, b + 4}), "ffffffff");

    // Another process moves the window onto the pattern of /dev/mtd2.
    EXPECT_THAT(Probe({"open", "/dev/mtd4", "rw", "setpart", "0xA0000", "0x10000"}),
                ElementsAre("open 0", "setpart 0"));
    ASSERT_EQ(pread(fd, b, sizeof b, 0), 4);
    EXPECT_EQ(Hex({b, b + 4}), Hex({mtd2.begin(), mtd2.begin() + 4}));

    // The kit sets a knob: the next write fails.
    ks::SetFault(kDir, {"/dev/mtd4", ks::FaultKind::FailWrite, 1, 0, ENOSPC});
    errno = 0;
    EXPECT_EQ(pwrite(fd, "\0", 1, 0), -1);
    EXPECT_EQ(errno, ENOSPC);

    // The kit installs a chip anew: another chip file, the window back in place.
    ks::Chip chip = TestChip();
    chip.image[kParts[4].offset] = 0x5a;
    ks::Install(kDir, chip, {});
    ASSERT_EQ(pread(fd, b, 1, 0), 1);
    EXPECT_EQ(b[0], 0x5a);
    EXPECT_EQ(pwrite(fd, "\x0f", 1, 0), 1);
    close(fd);
    EXPECT_EQ(WindowBytes(ks::Load(kDir), "/dev/mtd4")[0], 0x0a);
}

// A program may close every descriptor it did not open itself and put files
// of its own on their numbers: the stand-in then opens its files again and
// never reads or writes the program's.
TEST(KstubDevices, AProgramMayCloseTheDescriptorsTheStandInKeeps)
{
    InstallTestChip();
    const auto mtd2 = WindowBytes(TestChip(), "/dev/mtd2");
    uint8_t first[8];
    int fd = open("/dev/mtd2", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(read(fd, first, sizeof first), 8);
    close(fd);
    pid_t child = vakotest::ForkChild([&] {
        closefrom(3);
        int own = open("/tmp/own", O_RDWR | O_CREAT | O_TRUNC, 0644);
        if (own < 0 || write(own, "own", 3) != 3)
            return 1;
        for (int n = own + 1; n < 1024; ++n)
            dup2(own, n);
        uint8_t b[8];
        int dev = open("/dev/mtd2", O_RDONLY);
        if (dev < 0 || pread(dev, b, sizeof b, 8) != 8 || memcmp(b, mtd2.data() + 8, sizeof b) != 0)
            return 2;
        close(dev);
        dev = open("/dev/mtd4", O_WRONLY);
        if (dev < 0 || write(dev, "\x11\x22", 2) != 2)
            return 3;
        // Every other descriptor closed: the stand-in's too.
        close_range(3, static_cast<unsigned>(dev) - 1, 0);
        close_range(static_cast<unsigned>(dev) + 1, ~0u, 0);
        return pwrite(dev, "\x33", 1, 2) == 1 ? 0 : 4;
    });
    EXPECT_EQ(vakotest::WaitChild(child), 0);
    EXPECT_EQ(Hex({first, first + 8}), Hex({mtd2.begin(), mtd2.begin() + 8}));
    EXPECT_EQ(vakotest::ReadFile("/tmp/own"), "own");
    auto mtd4 = WindowBytes(ks::Load(kDir), "/dev/mtd4");
    EXPECT_EQ(Hex({mtd4.begin(), mtd4.begin() + 4}), "112233ff");
}

TEST(KstubDevices, AccessModeOfTheDescriptorIsKept)
{
    InstallTestChip();
    EXPECT_THAT(Probe({"open", "/dev/mtd4", "r", "write", "00", "erase", "0", "65536", "getinfo", "close", "open",
                       "/dev/mtd4", "w", "read", "1"}),
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
    vakotest::RunResult r = Sh(
        "od -An -tx1 -N4 < /dev/mtd2 && /usr/bin/printf 'out' > /dev/mtd4 && /usr/bin/printf 'xyz' | "
        "/usr/bin/od -c 2>/dev/mtd1 /dev/missing");
    EXPECT_EQ(r.out, " " + Hex({win.begin(), win.begin() + 1}) + " " + Hex({win.begin() + 1, win.begin() + 2}) + " " +
                         Hex({win.begin() + 2, win.begin() + 3}) + " " + Hex({win.begin() + 3, win.begin() + 4}) +
                         "\n");
    ks::Chip now = ks::Load(kDir);
    EXPECT_EQ(Str(WindowBytes(now, "/dev/mtd4")).substr(0, 4), "out\xFF");
    const std::string message = "/usr/bin/od: /dev/missing: No such file or directory\n\xFF";
    EXPECT_EQ(Str(WindowBytes(now, "/dev/mtd1")).substr(0, message.size()), message);
}

} // namespace
