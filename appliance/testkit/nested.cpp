#include "vakotest/nested.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <stdexcept>

namespace vakotest {

namespace {

constexpr const char *kStepVariable = "VAKOTEST_NESTED_STEP";

std::map<std::string, std::function<int()>> &Steps()
{
    static std::map<std::string, std::function<int()>> steps;
    return steps;
}

std::string ThisProgram()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        throw std::runtime_error("RunNested: this program's path is unknown");
    return std::string(path, static_cast<size_t>(n));
}

} // namespace

NestedStep::NestedStep(const char *name, std::function<int()> step) { Steps()[name] = std::move(step); }

RunResult RunNested(const std::string &name, const NestedRun &run)
{
    if (!Steps().count(name))
        throw std::invalid_argument("RunNested: no step " + name);
    std::vector<std::string> argv = {VAKO_SANDBOX_PROGRAM, "--out", run.outDir};
    if (!run.fixtureDir.empty())
        argv.insert(argv.end(), {"--fixture", run.fixtureDir});
    if (run.uptime)
        argv.insert(argv.end(), {"--uptime", std::to_string(*run.uptime)});
    for (const std::string &p : run.outPaths)
        argv.insert(argv.end(), {"--out-path", p});
    argv.push_back("--");
#ifdef VAKO_STANDIN_EMULATOR
    // The emulator and its arguments, one word each.
    argv.insert(argv.end(), {VAKO_STANDIN_EMULATOR});
#endif
    argv.push_back(ThisProgram());
    RunOptions opt;
    opt.env = run.env;
    opt.env.push_back(std::string(kStepVariable) + "=" + name);
    opt.hangSeconds = run.hangSeconds;
    return Run(argv, opt);
}

std::optional<int> RunNestedStepAsked()
{
    const char *name = getenv(kStepVariable);
    if (!name)
        return std::nullopt;
    auto it = Steps().find(name);
    if (it == Steps().end()) {
        fprintf(stderr, "no nested step %s\n", name);
        return 125;
    }
    // Not handed on to what the step starts.
    unsetenv(kStepVariable);
    return it->second();
}

} // namespace vakotest
