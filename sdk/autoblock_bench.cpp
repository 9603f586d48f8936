// Writes /etc/vakoIPs.deny: run it inside vako-sandbox, e.g.
//   build/default/appliance/vako-sandbox -- build/default/sdk/vako_bench --benchmark_filter=AutoBlock
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

// A list of 10,000 live records, written directly.
std::string List()
{
    std::string b;
    uint32_t now = static_cast<uint32_t>(time(nullptr));
    for (uint32_t i = 1; i <= kEntries; i++) {
        uint32_t addr = htonl(0x0A000000u + i);
        char rec[8];
        memcpy(rec, &now, 4);
        memcpy(rec + 4, &addr, 4);
        b.append(rec, 8);
    }
    return b;
}

// One add to a list of 10,000: every record walked and copied, the new list
// synced and renamed; a new address is also written to the event log.
void BM_AutoBlockAddTo10000(benchmark::State &state)
{
    if (!Setup(state))
        return;
    const bool known = state.range(0) != 0;
    vakotest::WriteFile("/etc/vakoIPs.deny", List(), 0666);
    uint32_t next = kEntries + 1;
    for (auto _ : state) {
        std::string ip = Ip(known ? 5000 : next++);
        if (VAKOAutoBlockIPAdd(ip.c_str()) != 0)
            state.SkipWithError("add failed");
    }
}
BENCHMARK(BM_AutoBlockAddTo10000)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

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
