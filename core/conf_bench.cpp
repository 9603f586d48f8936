// Writes its files under /tmp: run it inside vako-sandbox.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

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

// All keys in one pass.
void BM_FileGetKeys(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    std::string path = KeyFile(n);
    for (auto _ : state) {
        PSLIBSZHASH h = SLIBSzHashAlloc(0);
        if (SLIBFileGetKeys(path.c_str(), nullptr, &h, "=") != n)
            state.SkipWithError("short read");
        SLIBSzHashFree(h);
    }
    state.SetComplexityN(n);
}
BENCHMARK(BM_FileGetKeys)->Arg(1000)->Arg(10000)->Complexity();

} // namespace
