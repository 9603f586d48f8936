// The kernel stand-in's own cost: /bin/dd writing and reading 64 MiB on an
// MTD window through it, against /bin/dd on a plain tmpfs file of the same
// size in a process without the stand-in, in the updater's block sizes.
// The two alternate within each iteration, so that a shared machine's load
// falls on both alike; the counter "ratio" is the median of the stand-in's
// time over the plain file's in each iteration ("ratio_preloaded": over the
// plain file's in a process that has the stand-in preloaded as well).  Then the peak resident memory of
// a process that erases a window of 4 and of 64 MiB.  Run inside
// vako-sandbox.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "vako/kernel.h"
#include "vakotest/bench.h"
#include "vakotest/chips.h"
#include "vakotest/files.h"
#include "vakotest/kstub.h"
#include "vakotest/run.h"

extern char **environ;

namespace {

namespace ks = vakotest::kstub;

constexpr uint32_t kWindow = 64u << 20;
constexpr const char *kDevice = "/dev/mtd1";
constexpr const char *kImage = "/tmp/image";
constexpr const char *kPlain = "/tmp/plain-flash";

void InstallChip(uint32_t window) { ks::Install(ks::kSandboxDir, vakotest::OneWindowChip(window), ks::KernelCalls{}); }

// The chip, the image to write and the plain file standing for the window.
void Prepare()
{
    InstallChip(kWindow);
    std::string data(kWindow, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 2654435761u) >> 13);
    vakotest::WriteFile(kImage, data);
    vakotest::WriteFile(kPlain, std::string(kWindow, '\xff'));
}

// Erases the whole window through the stand-in; false on failure.
bool EraseWindow(uint32_t window)
{
    int fd = open(kDevice, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    unsigned char arg[8];
    uint32_t words[2] = {0, window};
    memcpy(arg, words, sizeof arg);
    bool ok = ioctl(fd, VAKO_MEMERASE, arg) == 0;
    close(fd);
    return ok;
}

// The environment of the sandbox without the stand-in preloaded.
std::vector<std::string> PlainEnv()
{
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e)
        if (strncmp(*e, "LD_PRELOAD=", 11) != 0)
            env.push_back(*e);
    return env;
}

// Seconds that dd takes with the given operands.
double TimedDd(benchmark::State &state, const std::vector<std::string> &operands, const vakotest::RunOptions &opt)
{
    std::vector<std::string> argv{"/bin/dd"};
    argv.insert(argv.end(), operands.begin(), operands.end());
    auto t0 = std::chrono::steady_clock::now();
    vakotest::RunResult r = vakotest::Run(argv, opt);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (r.status != 0)
        state.SkipWithError(("dd failed: " + r.err).c_str());
    return s;
}

// The median: one run slowed by the machine's other work does not move it.
double Median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

// Per iteration dd on the window through the stand-in (the time reported)
// and dd on the plain file, each moving the whole 64 MiB with `operands`
// around the device or file named by "{}".
void Paired(benchmark::State &state, const std::vector<std::string> &operands, bool erase)
{
    Prepare();
    const vakotest::RunOptions stub, plain{.env = PlainEnv(), .wholeEnv = true};
    auto with = [&](const char *target) {
        std::vector<std::string> v;
        for (const std::string &o : operands) {
            size_t at = o.find("{}");
            v.push_back(at == std::string::npos ? o : o.substr(0, at) + target + o.substr(at + 2));
        }
        return v;
    };
    std::vector<double> stubs, plains, ratios, passRatios;
    for (auto _ : state) {
        if (erase && !EraseWindow(kWindow))
            state.SkipWithError("erase failed");
        double s = TimedDd(state, with(kDevice), stub);
        double p = TimedDd(state, with(kPlain), plain);
        double q = TimedDd(state, with(kPlain), stub);
        stubs.push_back(s);
        plains.push_back(p);
        ratios.push_back(p > 0 ? s / p : 0);
        passRatios.push_back(q > 0 ? s / q : 0);
        state.SetIterationTime(s);
    }
    state.counters["stub_ms"] = 1e3 * Median(stubs);
    state.counters["plain_ms"] = 1e3 * Median(plains);
    state.counters["ratio"] = Median(ratios);
    // Against the plain file in a process that has the stand-in too (which
    // then only passes the file's reads and writes on).
    state.counters["ratio_preloaded"] = Median(passRatios);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kWindow);
}

// The updater writes 16 KiB blocks and verifies in 8 KiB ones.
void BM_DdWrite(benchmark::State &state)
{
    Paired(state, {std::string("if=") + kImage, "of={}", "bs=16384", "conv=notrunc"}, true);
}

void BM_DdRead(benchmark::State &state) { Paired(state, {"if={}", "of=/dev/null", "bs=8192"}, false); }

// The growth of the resident high-water mark of a fresh child that erases
// the whole window (the mark is reset after the fork).
void BM_EraseMemory(benchmark::State &state)
{
    const auto window = static_cast<uint32_t>(state.range(0));
    InstallChip(window);
    long growth = -1;
    for (auto _ : state) {
        int fds[2];
        if (pipe(fds) != 0)
            state.SkipWithError("pipe");
        pid_t pid = vakotest::ForkChild([&] {
            close(fds[0]);
            std::ofstream("/proc/self/clear_refs") << "5";
            long before = vakotest::StatusKB("VmRSS:");
            long result = EraseWindow(window) ? vakotest::StatusKB("VmHWM:") - before : -1;
            return write(fds[1], &result, sizeof result) == sizeof result ? 0 : 1;
        });
        close(fds[1]);
        if (read(fds[0], &growth, sizeof growth) != sizeof growth || growth < 0)
            state.SkipWithError("child failed");
        close(fds[0]);
        vakotest::WaitChild(pid);
    }
    state.counters["rss_growth_kB"] = static_cast<double>(growth);
}

BENCHMARK(BM_DdWrite)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_DdRead)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_EraseMemory)->Arg(4 << 20)->Arg(64 << 20)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char **argv) { return vakotest::SandboxedBenchmarkMain(argc, argv); }
