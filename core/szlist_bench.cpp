#include <benchmark/benchmark.h>
#include <stdio.h>

#include <random>
#include <string>
#include <vector>

#include "slib/szlist.h"

namespace {

std::vector<std::string> Names(int n)
{
    std::mt19937 rng(7);
    std::vector<std::string> v;
    v.reserve(n);
    for (int i = 0; i < n; i++)
        v.push_back("user" + std::to_string(rng() % 10000000) + "-" + std::to_string(i));
    return v;
}

PSLIBSZLIST Filled(const std::vector<std::string> &names)
{
    PSLIBSZLIST l = PslSLIBSzListAlloc(0);
    for (const auto &s : names)
        SLIBSzListPush(&l, s.c_str());
    return l;
}

void BM_ListPush(benchmark::State &state)
{
    auto names = Names(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        PSLIBSZLIST l = Filled(names);
        benchmark::DoNotOptimize(l);
        SLIBSzListFree(l);
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ListPush)->Arg(10000)->Arg(100000)->Complexity();

// n finds in a list sorted in byte order.
void BM_ListFindSorted(benchmark::State &state)
{
    auto names = Names(static_cast<int>(state.range(0)));
    PSLIBSZLIST l = Filled(names);
    SLIBSzListSort(l, 1);
    for (auto _ : state)
        for (const auto &s : names)
            benchmark::DoNotOptimize(SLIBSzListFind(l, s.c_str()));
    SLIBSzListFree(l);
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ListFindSorted)->Arg(10000)->Arg(100000)->Complexity(benchmark::oNLogN);

void BM_ListSort(benchmark::State &state)
{
    auto names = Names(static_cast<int>(state.range(0)));
    PSLIBSZLIST l = Filled(names);
    for (auto _ : state) {
        state.PauseTiming();
        PSLIBSZLIST c = Filled(names);
        state.ResumeTiming();
        SLIBSzListSort(c, 1);
        SLIBSzListFree(c);
    }
    SLIBSzListFree(l);
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ListSort)->Arg(10000)->Arg(100000)->Complexity(benchmark::oNLogN);

// Caseless order: every comparison converts and upper-cases both strings.
void BM_ListSortCaseless(benchmark::State &state)
{
    auto names = Names(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        PSLIBSZLIST c = Filled(names);
        state.ResumeTiming();
        SLIBSzListSort(c, 0x10);
        SLIBSzListFree(c);
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ListSortCaseless)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oNLogN);

// The union of two sorted lists: an ordered merge into a new list.
void BM_ListUnionSorted(benchmark::State &state)
{
    auto a = Names(static_cast<int>(state.range(0))), b = Names(static_cast<int>(state.range(0)) + 7);
    PSLIBSZLIST la = Filled(a), lb = Filled(b);
    SLIBSzListSort(la, 1);
    SLIBSzListSort(lb, 1);
    for (auto _ : state) {
        PSLIBSZLIST r = PslSLIBSzListOr(&la, lb, 0x1000);
        benchmark::DoNotOptimize(r);
        SLIBSzListFree(r);
    }
    SLIBSzListFree(la);
    SLIBSzListFree(lb);
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ListUnionSorted)->Arg(10000)->Arg(100000)->Complexity();

} // namespace
