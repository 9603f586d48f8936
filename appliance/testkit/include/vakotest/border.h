// The table of the C border (needs testkit/newfault.cpp in the test binary):
// each public entry of a library that reaches the standard library's
// allocator runs once for each allocation it makes, that one failing
// (vakotest::FailingNew), the first, the second, ... until a run makes no
// allocation fail, which is the clean run. Every run returns: an exception
// that leaves the entry fails the row. A run whose allocation failed gives
// the clean run's result, or the entry's failure value with 0x0200
// recorded; a failed run leaves the files the entry writes, and the names
// in their directories, as they were (or, where the entry's contract keeps
// what it wrote before the failure, each as it was or as the clean run
// leaves it). And every function a library exports
// is a row of its table or on its short list of entries that cannot reach
// the allocator, so that a new export must be put in one or the other.
#pragma once

#include <ctype.h>
#include <gtest/gtest.h>
#include <limits.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "slib/error.h"
#include "vakotest/exports.h"
#include "vakotest/newfault.h"
#include "vakotest/writers.h"

namespace vakotest {

// The failure value of an entry without a result (void): its failure shows
// as 0x0200 alone.
inline constexpr long long kNoResult = LLONG_MIN;

struct BorderCase {
    // The export.
    const char *name;
    // Writes the files and makes the records the call needs, anew: before
    // each run.
    std::function<void()> setup;
    // The call, its result as a number (a pointer as 1, NULL as 0); what it
    // hands out it releases itself. Between the setup and the call's return
    // the test's own code allocates nothing.
    std::function<long long()> call;
    // The result its contract gives for a failure.
    long long failure;
    // The files it writes.
    std::vector<std::string> targets = {};
    // After each run (a lock released, the state checked).
    std::function<void()> teardown = {};
    // Its contract keeps what was written before a failure: a failed run
    // leaves each target, and each name beside it, as it was or as the
    // clean run leaves it, whole (never half written, no temporary left).
    bool keepsWritten = false;
};

inline void PrintTo(const BorderCase &c, std::ostream *os) { *os << c.name; }

inline std::string BorderRowName(const testing::TestParamInfo<BorderCase> &info)
{
    std::string name;
    for (const char *p = info.param.name; *p; p++)
        name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
}

// What differs between two snapshots, one entry a line: "+" made, "-" gone.
inline std::string Changed(const std::vector<std::string> &before, const std::vector<std::string> &after)
{
    std::string d;
    for (const std::string &e : after)
        if (std::find(before.begin(), before.end(), e) == before.end())
            d += "+ " + e + "\n";
    for (const std::string &e : before)
        if (std::find(after.begin(), after.end(), e) == after.end())
            d += "- " + e + "\n";
    return d;
}

// Runs one row of the table.
inline void RunBorder(const BorderCase &c)
{
    // More runs than any entry of these libraries makes allocations.
    constexpr long kMaxRuns = 200000;
    struct Run {
        long n;
        long long result;
        int code;
        bool kept;                      // keepsWritten, and the run failed:
        std::vector<std::string> after; // what it left
    };
    std::vector<Run> failedRuns;
    long long clean = 0;
    const FixedTime clock;
    bool retried = false;
    for (long n = 1;; n++) {
        ASSERT_LE(n, kMaxRuns) << c.name << ": no run without a failed allocation";
        c.setup();
        const std::vector<std::string> before = writers::Snapshot(c.targets);
        SLIBErrorSet(0);
        long long r = 0;
        bool threw = false, fired, skipped;
        {
            FailingNew fault(n);
            try {
                r = c.call();
            } catch (...) {
                threw = true;
            }
            fired = fault.Fired();
            skipped = fault.Skipped();
        }
        const int code = SLIBErrorGet();
        if (c.teardown)
            c.teardown();
        std::vector<std::string> after = writers::Snapshot(c.targets);
        SCOPED_TRACE(std::string(c.name) + ": allocation " + std::to_string(n) + " fails");
        ASSERT_FALSE(threw) << "an exception left " << c.name;
        // The kernel stand-in allocates once in a process, on its first
        // answer: the same allocation is then tried again, now the call's.
        if (skipped) {
            if (!retried)
                --n;
            retried = !retried;
            continue;
        }
        retried = false;
        if (!fired) {
            clean = r;
            for (const Run &run : failedRuns) {
                if (!run.kept)
                    continue;
                // What the failure changed is what the clean run changed too.
                std::string odd;
                for (const std::string &e : run.after)
                    if (std::find(before.begin(), before.end(), e) == before.end() &&
                        std::find(after.begin(), after.end(), e) == after.end())
                        odd += "+ " + e + "\n";
                for (const std::string &e : before)
                    if (std::find(run.after.begin(), run.after.end(), e) == run.after.end() &&
                        std::find(after.begin(), after.end(), e) != after.end())
                        odd += "- " + e + "\n";
                EXPECT_EQ(odd, "") << c.name << ": allocation " << run.n
                                   << " failed, leaving what neither it found nor the clean run leaves";
            }
            break;
        }
        if (c.failure != kNoResult && r == c.failure) {
            EXPECT_EQ(code, SLIB_ERR_OUT_OF_MEMORY) << "the failure's code";
            if (!c.keepsWritten) {
                EXPECT_EQ(Changed(before, after), "") << "a failed run changed what it writes";
            }
        }
        const bool kept = c.keepsWritten && r == c.failure;
        failedRuns.push_back({n, r, code, kept, kept ? std::move(after) : std::vector<std::string>{}});
        if (testing::Test::HasFailure())
            return;
    }
    ASSERT_FALSE(failedRuns.empty()) << c.name
                                     << " made no allocation that the test's operator new saw: it reaches the "
                                        "standard library's allocator on no path of this setup, or the libraries' "
                                        "calls do not come to the test binary's operator new";
    if (c.failure == kNoResult) {
        for (const Run &run : failedRuns) {
            EXPECT_EQ(run.code, SLIB_ERR_OUT_OF_MEMORY) << c.name << ": allocation " << run.n << " failed unrecorded";
            if (run.code != SLIB_ERR_OUT_OF_MEMORY)
                return;
        }
        return;
    }
    ASSERT_NE(clean, c.failure) << c.name << ": the clean run failed (code 0x" << std::hex << SLIBErrorGet()
                                << "): the row's setup is wrong";
    for (const Run &run : failedRuns) {
        if (run.result == clean || run.result == c.failure)
            continue;
        ADD_FAILURE() << c.name << ": allocation " << run.n << " failed, the result was " << run.result
                      << " where the clean run gave " << clean << " and a failure is " << c.failure;
        return;
    }
}

// Every export of the library holding fn is one row of rows or on the list
// noAllocation, and nothing else is: a C++ name among the exports fails,
// as does a row or a listed name that the library does not export.
inline void CheckBorderCoverage(const void *fn, const std::vector<BorderCase> &rows,
                                const std::set<std::string> &noAllocation)
{
    const std::vector<std::string> exports = ExportedFunctions(fn);
    ASSERT_FALSE(exports.empty()) << "no exports read";
    std::multiset<std::string> named;
    for (const BorderCase &c : rows)
        named.insert(c.name);
    for (const std::string &e : exports) {
        EXPECT_FALSE(e.starts_with("_Z")) << e << ": the library's own C++ is exported";
        size_t rowsOf = named.count(e), listed = noAllocation.count(e);
        EXPECT_EQ(rowsOf + listed, 1u) << e
                                       << " is exported: make it a row of the border table (it reaches the "
                                          "standard library's allocator) or put it on the list of entries that "
                                          "cannot, once";
    }
    for (const std::string &n : named)
        EXPECT_TRUE(std::count(exports.begin(), exports.end(), n)) << n << " is a row but no export";
    for (const std::string &n : noAllocation)
        EXPECT_TRUE(std::count(exports.begin(), exports.end(), n)) << n << " is listed but no export";
}

} // namespace vakotest
