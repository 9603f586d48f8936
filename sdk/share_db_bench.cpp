// Writes the account, group and share files and the caches under /tmp: run
// it inside vako-sandbox. n groups built into the group caches from
// /etc/group and dumped back; n shares, whose lists name accounts and
// groups, built from smb.conf and dumped back, and the same records loaded
// into a new file by Berkeley DB's own db5.3_load (package db5.3-util).
// Instructions of one build, under callgrind:
//   vako-sandbox -- valgrind --tool=callgrind --collect-atstart=no --toggle-collect='*BuildShareDbOnce*'
//     vako_bench --benchmark_filter='ShareDbBuild/1000$' --benchmark_min_time=0.000001
// and of the load (the whole db5.3_load process): BM_ShareDbLoad leaves its
// input in /tmp/share.dump for
//   vako-sandbox -- valgrind --tool=callgrind db5.3_load -f /tmp/share.dump /tmp/share.load
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <string>

#include "vakotest/accounts.h"
#include "vakotest/bench.h"
#include "vakotest/paths.h"
#include "vakotest/sharedb.h"
#include "vakotest/userdb.h"

namespace {

constexpr int kAccounts = 1000;
constexpr int kFirstUid = 1024;
constexpr int kFirstGid = 65536;

std::string User(int i) { return "user" + std::to_string(kFirstUid + i % kAccounts); }
std::string GroupName(int i) { return "g" + std::to_string(kFirstGid + i); }

// n groups of four members each, in gid order, each with a description.
vakotest::GroupFiles MadeUpGroups(int n)
{
    vakotest::GroupFiles files;
    files.group = "#$_@GID__INDEX@_$" + std::to_string(kFirstGid + n - 1) + "$\nroot:x:0:\nusers:x:100:\n";
    for (int i = 0; i < n; i++) {
        files.group += GroupName(i) + ":x:" + std::to_string(kFirstGid + i) + ":" + User(i) + "," + User(i + 1) + "," +
                       User(i + 2) + "," + User(i + 3) + "\n";
        files.groupDesc += GroupName(i) + ":Group number " + std::to_string(i) + "\n";
    }
    return files;
}

// n shares whose lists name accounts and groups.
std::string MadeUpSmbConf(int n, int groups)
{
    std::string text = sharedb::kGlobal;
    for (int i = 0; i < n; i++) {
        sharedb::Section s("share" + std::to_string(i), "@" + GroupName((i * 7) % groups), "",
                           "Share number " + std::to_string(i), "/volume1/share" + std::to_string(i));
        s.read = User(i) + ",@" + GroupName(i % groups);
        s.write = User(i + 1) + "," + User(i + 2) + ",@" + GroupName((i + 1) % groups);
        text += s.Text();
    }
    return text;
}

void WriteFiles(int groups, int shares)
{
    vakotest::WriteAccountFiles(vakotest::MadeUpAccounts(kAccounts, kFirstUid));
    vakotest::WriteGroupFiles(MadeUpGroups(groups));
    sharedb::WriteSmbConf(MadeUpSmbConf(shares, groups));
}

void RemoveGroupCaches()
{
    for (const char *f : {vakotest::kGroupDbName, vakotest::kGroupDbId, vakotest::kGroupDbDesc})
        unlink(f);
}

// Open of missing group caches: created and built from the two text files.
void BM_GroupDbBuild(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    WriteFiles(n, 1);
    for (auto _ : state) {
        state.PauseTiming();
        RemoveGroupCaches();
        state.ResumeTiming();
        groupdb::DbPtr db = groupdb::Open();
        if (!db)
            state.SkipWithError("build failed");
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_GroupDbBuild)->Arg(10000)->Unit(benchmark::kMillisecond);

// /etc/group and /etc/group_desc written back from the caches.
void BM_GroupDbDump(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    WriteFiles(n, 1);
    RemoveGroupCaches();
    groupdb::DbPtr db = groupdb::Open();
    if (!db) {
        state.SkipWithError("build failed");
        return;
    }
    for (auto _ : state)
        if (VAKOGroupDBDump(db.get()) != 0)
            state.SkipWithError("dump failed");
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_GroupDbDump)->Arg(10000)->Unit(benchmark::kMillisecond);

// The build alone, a function of its own for callgrind's --toggle-collect.
__attribute__((noinline)) bool BuildShareDbOnce() { return sharedb::DbPtr(sharedb::Open()) != nullptr; }

// n shares beside 10,000 groups, the account and group caches built.
void WriteShares(int n)
{
    WriteFiles(10000, n);
    RemoveGroupCaches();
    groupdb::Open(); // the group caches are there before the share build
    userdb::Open();
}

// Open of a missing share database: built from smb.conf, every list
// validated against the account and group caches.
void BM_ShareDbBuild(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    WriteShares(n);
    for (auto _ : state) {
        state.PauseTiming();
        unlink(vakotest::kShareDb);
        state.ResumeTiming();
        if (!BuildShareDbOnce())
            state.SkipWithError("build failed");
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_ShareDbBuild)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

constexpr const char *kDbDump = "/usr/bin/db5.3_dump";
constexpr const char *kDbLoad = "/usr/bin/db5.3_load";
constexpr const char *kLoadInput = "/tmp/share.dump";
constexpr const char *kLoaded = "/tmp/share.load";

// The records of the share database that a build makes, loaded into a new
// file by db5.3_load (process start included).
void BM_ShareDbLoad(benchmark::State &state)
{
    if (access(kDbLoad, X_OK) != 0) {
        state.SkipWithError("no db5.3_load: install db5.3-util");
        return;
    }
    int n = static_cast<int>(state.range(0));
    WriteShares(n);
    unlink(vakotest::kShareDb);
    if (!BuildShareDbOnce() || !vakotest::Spawn({kDbDump, "-f", kLoadInput, vakotest::kShareDb})) {
        state.SkipWithError("build or dump failed");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        unlink(kLoaded);
        state.ResumeTiming();
        if (!vakotest::Spawn({kDbLoad, "-f", kLoadInput, kLoaded}))
            state.SkipWithError("load failed");
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_ShareDbLoad)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// smb.conf written back from the share database.
void BM_ShareDbDump(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    WriteShares(n);
    unlink(vakotest::kShareDb);
    sharedb::DbPtr db = sharedb::Open();
    if (!db) {
        state.SkipWithError("build failed");
        return;
    }
    for (auto _ : state)
        if (VAKOShareDBDump(db.get()) != 0)
            state.SkipWithError("dump failed");
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_ShareDbDump)->Arg(1000)->Unit(benchmark::kMillisecond);

} // namespace
