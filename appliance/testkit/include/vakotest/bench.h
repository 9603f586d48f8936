// For the benchmark programs (<area>_bench.cpp) that run inside the
// throwaway appliance.
#pragma once

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include <fstream>
#include <string>
#include <vector>

#include "vakotest/files.h"

extern char **environ;

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

// Runs argv (argv[0] a path) with this environment and waits: true when it
// exited with 0.  Its standard error goes to /dev/null.
inline bool Spawn(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    int status = 0;
    return rc == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
