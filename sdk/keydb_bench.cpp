// Writes /etc/people* and /tmp/.db.people.*: run it inside vako-sandbox.
// A cache of n records built from its text file, walked, looked up.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "vakotest/peopledb.h"
#include "vakotest/testkit.h"

namespace {

// n accounts in a shuffled order, as an edited file may hold them.
std::vector<std::string> Names(int n)
{
    std::vector<std::string> names;
    for (int i = 0; i < n; i++)
        names.push_back("user" + std::to_string(1000000 + i));
    std::shuffle(names.begin(), names.end(), std::mt19937(12345));
    return names;
}

void WriteSources(const std::vector<std::string> &names)
{
    std::string text, desc;
    for (size_t i = 0; i < names.size(); i++) {
        text += names[i] + ":" + std::to_string(1024 + i) + "\n";
        desc += names[i] + ":description of " + names[i] + "\n";
    }
    vakotest::WriteFile(people::kSource, text);
    vakotest::WriteFile(people::kDescSource, desc);
}

void RemoveCaches()
{
    for (const VAKOBDBCACHEFILE &f : people::kCacheFiles)
        unlink(f.szPath);
}

people::PeopleDb *Open() { return static_cast<people::PeopleDb *>(VAKOBDbCacheOpen(&people::kCache)); }

// Open of a missing cache: created and built from the text files.
void BM_CacheBuild(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    WriteSources(Names(n));
    for (auto _ : state) {
        state.PauseTiming();
        RemoveCaches();
        state.ResumeTiming();
        people::PeopleDb *db = Open();
        if (!db)
            state.SkipWithError("build failed");
        people::CloseSet(db);
    }
    state.SetComplexityN(n);
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_CacheBuild)
    ->Arg(10000)
    ->Arg(20000)
    ->Arg(50000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oNLogN);

// A rebuild of a cache out of step: a new set under temporary names, renamed.
void BM_CacheRebuild(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    WriteSources(Names(n));
    RemoveCaches();
    people::CloseSet(Open());
    for (auto _ : state)
        if (VAKOBDbCacheRebuild(&people::kCache, nullptr) != 0)
            state.SkipWithError("rebuild failed");
    state.SetComplexityN(n);
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_CacheRebuild)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oNLogN);

// One enumeration of the name file, reserved records passed over.
void BM_CacheWalk(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    WriteSources(Names(n));
    RemoveCaches();
    people::PeopleDb *db = Open();
    void *key = nullptr, *value = nullptr;
    int cbKey = 0, cbValue = 0;
    for (auto _ : state) {
        VAKOBDB *f = db->file[people::kName];
        int count = 0;
        VAKOBDbCursorSetType(f, VAKO_BDB_CURSOR_FIRST);
        if (VAKOBDbCursorGet(f, 1, &key, &cbKey, &value, &cbValue) == 0) {
            count++;
            VAKOBDbCursorSetType(f, VAKO_BDB_CURSOR_NEXT);
            while (VAKOBDbCursorGet(f, 1, &key, &cbKey, &value, &cbValue) == 0)
                count++;
        }
        if (count != n)
            state.SkipWithError("short walk");
    }
    VAKOBDbDataFree(key);
    VAKOBDbDataFree(value);
    people::CloseSet(db);
    state.SetComplexityN(n);
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_CacheWalk)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);

// Every account looked up by its key, in another order than stored.
void BM_CacheLookup(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    std::vector<std::string> names = Names(n);
    WriteSources(names);
    RemoveCaches();
    people::PeopleDb *db = Open();
    std::vector<std::string> keys;
    for (const std::string &name : names)
        keys.push_back(people::Upper(name));
    std::shuffle(keys.begin(), keys.end(), std::mt19937(54321));
    void *value = nullptr;
    int cbValue = 0;
    for (auto _ : state)
        for (const std::string &k : keys)
            if (VAKOBDbGet(db->file[people::kName], k.c_str(), static_cast<int>(k.size()) + 1, &value, &cbValue) != 0)
                state.SkipWithError("lookup failed");
    VAKOBDbDataFree(value);
    people::CloseSet(db);
    state.SetComplexityN(n);
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_CacheLookup)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oNLogN);

} // namespace
