// Copy and verify of an image on the kernel stand-in's chip, against
// /bin/dd and cmp of the same bytes, and the updater's peak resident memory
// for images of 4 and 16 MiB.  Run inside vako-sandbox.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "flash.h"
#include "vakotest/kstub.h"
#include "vakotest/bench.h"
#include "vakotest/chips.h"
#include "vakotest/files.h"

extern char **environ;

namespace {

namespace ks = vakotest::kstub;

constexpr uint32_t kWindow = 16u << 20;
constexpr const char *kDevice = "/dev/mtd1";

std::string ImagePath(size_t bytes) { return "/tmp/image-" + std::to_string(bytes); }

// A chip with one 16 MiB window after a spare block, and the image file.
void Prepare(size_t bytes)
{
    ks::Install(ks::kSandboxDir, vakotest::OneWindowChip(kWindow), ks::KernelCalls{});
    std::string data(bytes, '\0');
    for (size_t i = 0; i < bytes; ++i)
        data[i] = static_cast<char>((i * 2654435761u) >> 13);
    vakotest::WriteFile(ImagePath(bytes), data);
}

void Erase(benchmark::State &state)
{
    if (VAKOMTDErasePartition(kDevice) != 0)
        state.SkipWithError("erase failed");
}

bool Spawn(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    int status = 0;
    return rc == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool CopyVerify(const std::string &image, size_t bytes)
{
    gullProgressTotal = 2 * bytes;
    gullProgressDone = 0;
    return UPDTCopyFile(image.c_str(), kDevice, bytes, 16384) == 0 &&
           UPDTVerifyFile(image.c_str(), kDevice, bytes, 8192) == 0;
}

// One write and comparison of the image per iteration, each on an erased window.
template <class WriteAndCompare> void Timed(benchmark::State &state, WriteAndCompare run)
{
    const size_t bytes = state.range(0);
    Prepare(bytes);
    const std::string image = ImagePath(bytes);
    for (auto _ : state) {
        state.PauseTiming();
        Erase(state);
        state.ResumeTiming();
        if (!run(image, bytes))
            state.SkipWithError("write or compare failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_UpdaterCopyAndVerify(benchmark::State &state)
{
    Timed(state, [](const std::string &image, size_t bytes) { return CopyVerify(image, bytes); });
}

void BM_DdAndCmp(benchmark::State &state)
{
    Timed(state, [](const std::string &image, size_t bytes) {
        return Spawn({"/bin/dd", "if=" + image, std::string("of=") + kDevice, "bs=16384"}) &&
               Spawn({"/usr/bin/cmp", "-n", std::to_string(bytes), image, kDevice});
    });
}

// The peak resident size of a fresh child doing one erase, copy and verify:
// the high-water mark is reset after the fork, so it is the child's own.
void BM_PeakResidentMemory(benchmark::State &state)
{
    const size_t bytes = state.range(0);
    Prepare(bytes);
    const std::string image = ImagePath(bytes);
    long peak = 0, growth = 0;
    for (auto _ : state) {
        int fds[2];
        if (pipe(fds) != 0)
            state.SkipWithError("pipe");
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            std::ofstream("/proc/self/clear_refs") << "5";
            long before = vakotest::StatusKB("VmRSS:");
            bool ok = VAKOMTDErasePartition(kDevice) == 0 && CopyVerify(image, bytes);
            long result[2] = {ok ? vakotest::StatusKB("VmHWM:") : -1, vakotest::StatusKB("VmHWM:") - before};
            ssize_t ignored = write(fds[1], result, sizeof(result));
            (void)ignored;
            _exit(0);
        }
        close(fds[1]);
        long result[2] = {0, 0};
        if (read(fds[0], result, sizeof(result)) != static_cast<ssize_t>(sizeof(result)) || result[0] < 0)
            state.SkipWithError("child failed");
        close(fds[0]);
        waitpid(pid, nullptr, 0);
        peak = result[0];
        growth = result[1];
    }
    state.counters["peak_rss_kB"] = static_cast<double>(peak);
    state.counters["rss_growth_kB"] = static_cast<double>(growth);
}

BENCHMARK(BM_UpdaterCopyAndVerify)->Arg(16 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DdAndCmp)->Arg(16 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PeakResidentMemory)->Arg(4 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char **argv) { return vakotest::SandboxedBenchmarkMain(argc, argv); }
