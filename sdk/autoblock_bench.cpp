// Writes /etc/vakoIPs.deny: run it inside vako-sandbox, e.g.
//   build/default/appliance/vako-sandbox -- build/default/sdk/vako_bench --benchmark_filter=AutoBlock
// Instructions of one add, under callgrind:
//   vako-sandbox -- valgrind --tool=callgrind --collect-atstart=no --toggle-collect='*AddOnce*'
//     vako_bench --benchmark_filter='AutoBlockAddTo/10000/0$' --benchmark_min_time=0.000001
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <string.h>

#include <string>

#include "vako/autoblock.h"
#include "vakotest/testkit.h"

namespace {

constexpr int kEntries = 10000;

bool Setup(benchmark::State &state)
{
    if (!vakotest::InSandbox()) {
        state.SkipWithError("writes /etc: run me through vako-sandbox");
        return false;
    }
    vakotest::WriteFile("/etc/vakoinfo.conf", "autoblock_attempts=\"10\"\nautoblock_attempt_min=\"5\"\n"
                                              "autoblock_expriedday=\"30\"\nautoblock_notify=\"no\"\n");
    vakotest::WriteFile("/etc/vakolog.conf", "syslogfile=\"/var/log/vakosys.log\"\n");
    return true;
}

std::string Ip(uint32_t i)
{
    struct in_addr in;
    in.s_addr = htonl(0x0A000000u + i);
    return inet_ntoa(in);
}

// A list of n live records, written directly.
std::string List(uint32_t n)
{
    std::string b;
    uint32_t now = static_cast<uint32_t>(time(nullptr));
    for (uint32_t i = 1; i <= n; i++) {
        uint32_t addr = htonl(0x0A000000u + i);
        char rec[8];
        memcpy(rec, &now, 4);
        memcpy(rec + 4, &addr, 4);
        b.append(rec, 8);
    }
    return b;
}

// The add alone, a function of its own for callgrind's --toggle-collect.
__attribute__((noinline)) int AddOnce(const char *ip) { return VAKOAutoBlockIPAdd(ip); }

// One add to a list of n (100, 1,000, 10,000): every record walked and
// copied, the new list synced and renamed; a new address (second argument
// 0) is also written to the event log, a known one (1) only gets its time.
void BM_AutoBlockAddTo(benchmark::State &state)
{
    if (!Setup(state))
        return;
    const uint32_t n = static_cast<uint32_t>(state.range(0));
    const bool known = state.range(1) != 0;
    const std::string list = List(n);
    vakotest::WriteFile("/etc/vakoIPs.deny", list, 0666);
    const std::string ip = Ip(known ? n / 2 : n + 1);
    for (auto _ : state) {
        if (!known) { // the list as it was: the address is new again
            state.PauseTiming();
            vakotest::WriteFile("/etc/vakoIPs.deny", list, 0666);
            state.ResumeTiming();
        }
        if (AddOnce(ip.c_str()) != 0)
            state.SkipWithError("add failed");
    }
}
BENCHMARK(BM_AutoBlockAddTo)->ArgsProduct({{100, 1000, kEntries}, {0, 1}})->Unit(benchmark::kMillisecond);

// 10,000 addresses added one by one to an empty list.
void BM_AutoBlockBuild10000(benchmark::State &state)
{
    if (!Setup(state))
        return;
    for (auto _ : state) {
        state.PauseTiming();
        vakotest::RemoveFile("/etc/vakoIPs.deny");
        vakotest::RemoveFile("/var/log/vakosys.log");
        state.ResumeTiming();
        for (uint32_t i = 1; i <= kEntries; i++)
            if (VAKOAutoBlockIPAdd(Ip(i).c_str()) != 0)
                state.SkipWithError("add failed");
    }
    state.counters["adds/s"] = benchmark::Counter(kEntries, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_AutoBlockBuild10000)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
