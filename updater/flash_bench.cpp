// Copy and verify of an image on the kernel stand-in's chip, against
// /bin/dd and cmp of the same bytes on the same chip, for images of 1, 4, 16
// and 64 MiB; and the updater's peak resident memory for images of 4 and
// 16 MiB.  Run inside vako-sandbox.
//
// The two ways alternate within each iteration, so that a shared machine's
// load falls on both alike; the counter "ratio" is the updater's time over
// dd + cmp's, measured in the same run, and "progress_writes" the writes of
// the progress file that one copy and verify makes.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "flash.h"
#include "vakotest/kstub.h"
#include "vakotest/bench.h"
#include "vakotest/chips.h"
#include "vakotest/files.h"
#include "vakotest/progress.h"

namespace {

namespace ks = vakotest::kstub;

constexpr uint32_t kWindow = 64u << 20;
constexpr const char *kDevice = "/dev/mtd1";

std::string ImagePath(size_t bytes) { return "/tmp/image-" + std::to_string(bytes); }

// A chip with one 64 MiB window after a spare block, and the image file:
// its path.
std::string Prepare(size_t bytes)
{
    ks::Install(ks::kSandboxDir, vakotest::OneWindowChip(kWindow), ks::KernelCalls{});
    std::string data(bytes, '\0');
    for (size_t i = 0; i < bytes; ++i)
        data[i] = static_cast<char>((i * 2654435761u) >> 13);
    vakotest::WriteFile(ImagePath(bytes), data);
    return ImagePath(bytes);
}

void Erase(benchmark::State &state)
{
    if (VAKOMTDErasePartition(kDevice) != 0)
        state.SkipWithError("erase failed");
}

bool CopyVerify(const std::string &image, size_t bytes)
{
    gullProgressTotal = 2 * bytes;
    gullProgressDone = 0;
    return UPDTCopyFile(image.c_str(), kDevice, bytes, 16384) == 0 &&
           UPDTVerifyFile(image.c_str(), kDevice, bytes, 8192) == 0;
}

bool DdAndCmp(const std::string &image, size_t bytes)
{
    return vakotest::Spawn({"/bin/dd", "if=" + image, std::string("of=") + kDevice, "bs=16384"}) &&
           vakotest::Spawn({"/usr/bin/cmp", "-n", std::to_string(bytes), image, kDevice});
}

// Seconds that one write and comparison of the image takes on an erased window.
template <class WriteAndCompare>
double TimedOnce(benchmark::State &state, const std::string &image, size_t bytes, WriteAndCompare run)
{
    Erase(state);
    auto t0 = std::chrono::steady_clock::now();
    bool ok = run(image, bytes);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!ok)
        state.SkipWithError("write or compare failed");
    return s;
}

// Per iteration the updater's copy and verify (the time reported) and dd +
// cmp of the same image, each on an erased window.
void BM_CopyVerifyAgainstDdCmp(benchmark::State &state)
{
    const size_t bytes = state.range(0);
    const std::string image = Prepare(bytes);
    double updater = 0, ddCmp = 0;
    for (auto _ : state) {
        double s = TimedOnce(state, image, bytes, CopyVerify);
        ddCmp += TimedOnce(state, image, bytes, DdAndCmp);
        updater += s;
        state.SetIterationTime(s);
    }
    // One more copy and verify, untimed, to count the progress file's writes.
    Erase(state);
    vakotest::ProgressRecorder recorder;
    CopyVerify(image, bytes);
    state.counters["progress_writes"] = static_cast<double>(recorder.Values().size());
    const double n = static_cast<double>(state.iterations());
    state.counters["updater_ms"] = 1e3 * updater / n;
    state.counters["dd_cmp_ms"] = 1e3 * ddCmp / n;
    state.counters["ratio"] = ddCmp > 0 ? updater / ddCmp : 0;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// The peak resident size of a fresh child doing one erase, copy and verify:
// the high-water mark is reset after the fork, so it is the child's own.
void BM_PeakResidentMemory(benchmark::State &state)
{
    const size_t bytes = state.range(0);
    const std::string image = Prepare(bytes);
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

BENCHMARK(BM_CopyVerifyAgainstDdCmp)
    ->Arg(1 << 20)
    ->Arg(4 << 20)
    ->Arg(16 << 20)
    ->Arg(64 << 20)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK(BM_PeakResidentMemory)
    ->Arg(1 << 20)
    ->Arg(4 << 20)
    ->Arg(16 << 20)
    ->Arg(64 << 20)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

} // namespace

int main(int argc, char **argv) { return vakotest::SandboxedBenchmarkMain(argc, argv); }
