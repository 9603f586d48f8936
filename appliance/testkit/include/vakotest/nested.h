// A part of a test run in an appliance of its own: a second runner inside
// this one, made from a fixture tree (vakotest::Build), so that two runs
// start from the very same appliance and their outcomes can be compared.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "vakotest/run.h"

namespace vakotest {

// Registers step under name (an object at namespace scope): the test binary
// that RunNested starts for that name runs step inside the new appliance
// instead of its tests, and ends with step's result.
class NestedStep {
public:
    NestedStep(const char *name, std::function<int()> step);
};

struct NestedRun {
    std::string outDir;                // the outPaths are copied here after the run
    std::vector<std::string> outPaths; // absolute appliance paths
    std::string fixtureDir = {};       // a tree of vakotest::Build; empty: none (the step installs)
    std::vector<std::string> env = {}; // "NAME=value" for the step
    std::optional<double> uptime = {}; // seconds, as the runner's --uptime
    unsigned hangSeconds = 300;        // a guard against a hang, never a measure
};
// Runs this binary's step `name` under a new runner: the step's result as
// the status (128+9 when the hang guard ended it) and the output.
RunResult RunNested(const std::string &name, const NestedRun &run);

// For main(): the result of the step this binary was started for, or none.
std::optional<int> RunNestedStepAsked();

} // namespace vakotest
