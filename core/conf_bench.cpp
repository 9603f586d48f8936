// Writes its files under /tmp: run it inside vako-sandbox.
#include <benchmark/benchmark.h>
#include <string.h>
#include <sys/stat.h>

#include <chrono>
#include <string>

#include "slib/conf_read.h"
#include "slib/conf_write.h"
#include "slib/szhash.h"
#include "vakotest/files.h"

namespace {

std::string KeyFile(int n)
{
    std::string path = "/tmp/bench/keys" + std::to_string(n) + ".conf", content;
    for (int i = 0; i < n; i++)
        content += "key" + std::to_string(i) + "=value of key " + std::to_string(i) + "\n";
    vakotest::WriteFile(path, content);
    return path;
}

// The last key: the whole file is read.
void BM_FileGetKeyValue(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    std::string path = KeyFile(n), key = "key" + std::to_string(n - 1);
    char buf[64];
    for (auto _ : state)
        if (SLIBFileGetKeyValue(path.c_str(), key.c_str(), buf, sizeof buf, 0) <= 0)
            state.SkipWithError("not found");
    state.SetComplexityN(n);
}
BENCHMARK(BM_FileGetKeyValue)->Arg(1000)->Arg(10000)->Complexity();

void BM_FileSetKeyValue(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    std::string path = KeyFile(n), key = "key" + std::to_string(n / 2);
    int i = 0;
    for (auto _ : state)
        if (SLIBFileSetKeyValue(path.c_str(), key.c_str(), (i++ & 1) ? "a" : "b", nullptr) != 1)
            state.SkipWithError("set failed");
    state.SetComplexityN(n);
}
BENCHMARK(BM_FileSetKeyValue)->Arg(1000)->Arg(10000)->Complexity();

// Seconds to read every key of path into a new map.
double ReadAllKeys(const std::string &path, int n, benchmark::State &state)
{
    auto start = std::chrono::steady_clock::now();
    PSLIBSZHASH h = SLIBSzHashAlloc(0);
    if (SLIBFileGetKeys(path.c_str(), nullptr, &h, "=") != n)
        state.SkipWithError("short read");
    SLIBSzHashFree(h);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// All keys in one pass.
void BM_FileGetKeys(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    std::string path = KeyFile(n);
    for (auto _ : state)
        ReadAllKeys(path, n, state);
    state.SetComplexityN(n);
}
BENCHMARK(BM_FileGetKeys)->Arg(1000)->Arg(10000)->Arg(100000)->Complexity()->Unit(benchmark::kMillisecond);

// Targets: 100,000 keys read in at most 0.15 s (s_100k), and ten times the
// keys in at most twelve times that (ratio).
void BM_FileGetKeysTenfold(benchmark::State &state)
{
    std::string small = KeyFile(100000), big = KeyFile(1000000);
    double tSmall = 0, tBig = 0;
    for (auto _ : state) {
        tSmall += ReadAllKeys(small, 100000, state);
        tBig += ReadAllKeys(big, 1000000, state);
    }
    double runs = static_cast<double>(state.iterations());
    state.counters["s_100k"] = tSmall / runs;
    state.counters["s_1M"] = tBig / runs;
    state.counters["ratio"] = tBig / tSmall;
}
BENCHMARK(BM_FileGetKeysTenfold)->Unit(benchmark::kMillisecond)->Iterations(3);

// Not a timing: the map read from a file of a million keys holds every pair
// in the slot, and every byte where, setting the pairs one by one would (the
// tests compare up to 100,000 keys; this is too slow for them). Reports the
// seconds of both.
void BM_FileGetKeysSameAsSettingEachPair(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    std::string path = KeyFile(n);
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        PSLIBSZHASH read = SLIBSzHashAlloc(0), plain = SLIBSzHashAlloc(0);
        SLIBFileGetKeys(path.c_str(), nullptr, &read, "=");
        auto mid = std::chrono::steady_clock::now();
        for (int i = 0; i < n; i++)
            SLIBSzHashSetValue(&plain, ("key" + std::to_string(i)).c_str(),
                               ("value of key " + std::to_string(i)).c_str());
        auto end = std::chrono::steady_clock::now();
        size_t size = 20 + 8 * static_cast<size_t>(plain->nSlot) + static_cast<size_t>(plain->cbTotal);
        if (read->nItem != n || read->nSlot != plain->nSlot || read->cbTotal != plain->cbTotal ||
            memcmp(read, plain, size) != 0)
            state.SkipWithError("the map read differs from the one set pair by pair");
        SLIBSzHashFree(read);
        SLIBSzHashFree(plain);
        state.counters["s_read"] = std::chrono::duration<double>(mid - start).count();
        state.counters["s_set_each"] = std::chrono::duration<double>(end - mid).count();
    }
}
BENCHMARK(BM_FileGetKeysSameAsSettingEachPair)->Arg(1000000)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace
