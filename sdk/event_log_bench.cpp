// Writes the appliance's log files: run it inside vako-sandbox, e.g.
//   build/default/appliance/vako-sandbox -- build/default/sdk/vako_bench --benchmark_filter=EventLog
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "vako/event_log.h"
#include "vako/event_log_size.h"
#include "vakotest/testkit.h"

namespace {

constexpr int kEvents = 100000;

bool Sandboxed(benchmark::State &state)
{
    if (vakotest::InSandbox())
        return true;
    state.SkipWithError("writes /var/log and /etc: run me through vako-sandbox");
    return false;
}

// The system log at path, with a limit that holds every event.
void Configure(const std::string &path, int limit)
{
    // Records name a given user: what is measured is the log, not the
    // account lookup of the effective uid.
    setenv("USERNAME", "admin", 1);
    vakotest::WriteFile("/etc/vakolog.conf",
                        "syslogfile=\"" + path + "\"\nsyslogfilesize_MAX=\"" + std::to_string(limit) + "\"\n");
}

// 100,000 events of about 70 bytes appended one by one (open, lock, two
// syncs, close each), on the appliance's /var/log and on a tmpfs.
void BM_EventLogAppend100k(benchmark::State &state, const char *path)
{
    if (!Sandboxed(state))
        return;
    for (auto _ : state) {
        state.PauseTiming();
        vakotest::RemoveFile(path);
        Configure(path, 64 << 20);
        state.ResumeTiming();
        for (int i = 0; i < kEvents; i++)
            if (VAKOLogSet1(1, 1, 0x11100800, "192.0.2.15", "Mon Jan  5 10:00:00 2026", "", "") != 0)
                state.SkipWithError("write failed");
    }
    state.counters["events/s"] = benchmark::Counter(kEvents, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK_CAPTURE(BM_EventLogAppend100k, var_log, "/var/log/vakosys.log")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_EventLogAppend100k, tmpfs, "/tmp/vakosys.log")->Iterations(1)->Unit(benchmark::kMillisecond);

// The same 100,000 events appended into the ring of the default 65536-byte
// limit: every record drops older ones.
void BM_EventLogAppend100kWrapping(benchmark::State &state)
{
    if (!Sandboxed(state))
        return;
    for (auto _ : state) {
        state.PauseTiming();
        vakotest::RemoveFile("/tmp/vakosys.log");
        Configure("/tmp/vakosys.log", 65536);
        state.ResumeTiming();
        for (int i = 0; i < kEvents; i++)
            if (VAKOLogSet1(1, 1, 0x11100800, "192.0.2.15", "Mon Jan  5 10:00:00 2026", "", "") != 0)
                state.SkipWithError("write failed");
    }
    state.counters["events/s"] = benchmark::Counter(kEvents, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_EventLogAppend100kWrapping)->Iterations(1)->Unit(benchmark::kMillisecond);

// A system log of 100,000 events shrunk: to the default limit (most
// records dropped), and by a tenth (most records copied).
void BM_EventLogShrink100k(benchmark::State &state)
{
    if (!Sandboxed(state))
        return;
    const int64_t keepPercent = state.range(0);
    Configure("/var/log/vakosys.log", 64 << 20);
    vakotest::RemoveFile("/var/log/vakosys.log");
    for (int i = 0; i < kEvents; i++)
        VAKOLogSet1(1, 1, 0x11100800, "192.0.2.15", "Mon Jan  5 10:00:00 2026", "", "");
    std::string full = vakotest::ReadFile("/var/log/vakosys.log");
    int limit = keepPercent == 0 ? 65536 : static_cast<int>(full.size() * keepPercent / 100);
    for (auto _ : state) {
        state.PauseTiming();
        vakotest::WriteFile("/var/log/vakosys.log", full);
        state.ResumeTiming();
        if (VAKOLogChangeSize(limit, 1) != 0)
            state.SkipWithError("shrink failed");
    }
    state.counters["log bytes"] = static_cast<double>(full.size());
    struct stat st;
    if (stat("/var/log/vakosys.log", &st) == 0)
        state.counters["kept bytes"] = static_cast<double>(st.st_size);
}
BENCHMARK(BM_EventLogShrink100k)->Arg(0)->Arg(90)->Unit(benchmark::kMillisecond);

} // namespace
