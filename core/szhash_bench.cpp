#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "slib/szhash.h"

namespace {

std::vector<std::string> Keys(int n)
{
    std::vector<std::string> v;
    v.reserve(n);
    for (int i = 0; i < n; i++)
        v.push_back("share_" + std::to_string(i * 7919));
    return v;
}

PSLIBSZHASH Filled(const std::vector<std::string> &keys)
{
    PSLIBSZHASH h = SLIBSzHashAlloc(0);
    for (const auto &k : keys)
        SLIBSzHashSetValue(&h, k.c_str(), "some value");
    return h;
}

void BM_HashSet(benchmark::State &state)
{
    auto keys = Keys(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        PSLIBSZHASH h = Filled(keys);
        benchmark::DoNotOptimize(h);
        SLIBSzHashFree(h);
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_HashSet)->Arg(10000)->Arg(100000)->Complexity();

void BM_HashGet(benchmark::State &state)
{
    auto keys = Keys(static_cast<int>(state.range(0)));
    PSLIBSZHASH h = Filled(keys);
    for (auto _ : state)
        for (const auto &k : keys)
            benchmark::DoNotOptimize(SzSLIBSzHashGetValue(h, k.c_str()));
    SLIBSzHashFree(h);
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_HashGet)->Arg(10000)->Arg(100000)->Complexity();

} // namespace
