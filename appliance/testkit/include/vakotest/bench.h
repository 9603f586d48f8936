// For the benchmark programs (<area>_bench.cpp) that run inside the
// throwaway appliance.
#pragma once

#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <string>

#include "vakotest/files.h"

namespace vakotest {

// A field of this process's /proc/self/status in kB ("VmHWM:"); -1 when missing.
inline long StatusKB(const char *key)
{
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key, 0) == 0)
            return atol(line.c_str() + strlen(key));
    return -1;
}

// main() of a benchmark program: runs what it registered inside vako-sandbox,
// refuses (125) anywhere else.
inline int SandboxedBenchmarkMain(int argc, char **argv)
{
    if (!InSandbox()) {
        fprintf(stderr, "%s: run me through vako-sandbox\n", argv[0]);
        return 125;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace vakotest
