// Writes the account files and /tmp/.db.user.*: run it inside vako-sandbox.
// n accounts built into the user caches from their text files, rebuilt when
// the files change, and dumped back to them.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include "vakotest/accounts.h"
#include "vakotest/paths.h"
#include "vakotest/userdb.h"

namespace {

// n accounts, their lines shuffled as an edited file may hold them.
void WriteAccounts(int n) { vakotest::WriteAccountFiles(vakotest::MadeUpAccounts(n, 1024, 12345)); }

void RemoveCaches()
{
    for (const char *f : {vakotest::kUserDbName, vakotest::kUserDbMisc, vakotest::kUserDbShadow, vakotest::kUserDbSmb,
                          vakotest::kUserDbUid})
        unlink(f);
}

// Open of missing caches: created and built from the four text files.
void BM_UserDbBuild(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    WriteAccounts(n);
    for (auto _ : state) {
        state.PauseTiming();
        RemoveCaches();
        state.ResumeTiming();
        userdb::DbPtr db = userdb::Open();
        if (!db)
            state.SkipWithError("build failed");
    }
    state.SetComplexityN(n);
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_UserDbBuild)
    ->Arg(10000)
    ->Arg(25000)
    ->Arg(50000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oNLogN);

// Open after a text file changed: a new set under temporary names, renamed.
void BM_UserDbRebuild(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    WriteAccounts(n);
    RemoveCaches();
    userdb::Open();
    time_t t = vakotest::kAccountsMtime;
    for (auto _ : state) {
        state.PauseTiming();
        vakotest::SetMtime(vakotest::kShadowFile, ++t);
        state.ResumeTiming();
        userdb::DbPtr db = userdb::Open();
        if (!db)
            state.SkipWithError("rebuild failed");
    }
    state.SetComplexityN(n);
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_UserDbRebuild)
    ->Arg(10000)
    ->Arg(25000)
    ->Arg(50000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oNLogN);

// The four text files written back from the caches, in uid order.
void BM_UserDbDump(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    WriteAccounts(n);
    RemoveCaches();
    userdb::DbPtr db = userdb::Open();
    if (!db) {
        state.SkipWithError("build failed");
        return;
    }
    for (auto _ : state)
        if (VAKOUserDBDump(db.get()) != 0)
            state.SkipWithError("dump failed");
    state.SetComplexityN(n);
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_UserDbDump)
    ->Arg(10000)
    ->Arg(25000)
    ->Arg(50000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oNLogN);

} // namespace
