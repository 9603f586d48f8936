// Step 12 of the configuration update, /etc/vakouser.conf, for 100, 1,000
// and 10,000 users, each with a mail address in /etc/mail.  Writes the
// account files, their caches and /etc: run it inside vako-sandbox, e.g.
//   build/default/appliance/vako-sandbox -- build/default/updater/updater_bench --benchmark_filter=UserConf
// Instructions of one step (the caches already built), under callgrind:
//   vako-sandbox -- valgrind --tool=callgrind --collect-atstart=no --toggle-collect='*CreateUserConfOnce*'
//     updater_bench --benchmark_filter='UserConf/1000$' --benchmark_min_time=0.000001
#include <benchmark/benchmark.h>

#include <string>

#include "migrate.h"
#include "vako/user_op.h"
#include "vakotest/accounts.h"
#include "vakotest/files.h"
#include "vakotest/paths.h"

namespace {

constexpr int kFirstUserUid = 1026; // the first uid that gets a line

// n users, every one with an address; a comment, an unrelated key and a
// key of no user among them, as an edited file may hold them.
void WriteFiles(int n)
{
    vakotest::WriteAccountFiles(vakotest::MadeUpAccounts(n, kFirstUserUid, 0, kFirstUserUid + n - 1));
    std::string mail = "# mail addresses\nnotify=\"admin@example.com\"\n";
    for (int i = 0; i < n; i++) {
        std::string name = "user" + std::to_string(kFirstUserUid + i);
        mail += name + "=\"" + name + "@example.com\"\n";
    }
    mail += "nosuchuser=\"gone@example.com\"\n";
    vakotest::WriteFile(vakotest::kMailKeys, mail);
    vakotest::WriteFile(vakotest::kInfoFile, "download_enabled=\"yes\"\n");
}

// The step alone, a function of its own for callgrind's --toggle-collect.
__attribute__((noinline)) int CreateUserConfOnce() { return UPDTCreateUserConf(); }

void BM_UserConf(benchmark::State &state)
{
    if (!vakotest::InSandbox()) {
        state.SkipWithError("writes /etc: run me through vako-sandbox");
        return;
    }
    int n = static_cast<int>(state.range(0));
    WriteFiles(n);
    // The user caches are built before, as an update finds them.
    VAKOLOCALUSERINFO *users = nullptr;
    if (VAKOLocalUserInfoEnum(&users) != n) {
        state.SkipWithError("accounts not listed");
        return;
    }
    VAKOLocalUserInfoFree(&users);
    for (auto _ : state)
        if (CreateUserConfOnce() != 0)
            state.SkipWithError("step failed");
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_UserConf)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

} // namespace
