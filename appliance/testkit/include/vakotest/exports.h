// What a library of this build exports.
#pragma once

#include <string>
#include <vector>

namespace vakotest {

// The functions that the loaded library holding fn defines and exports:
// the global functions of its dynamic symbol table, read from its file.
std::vector<std::string> ExportedFunctions(const void *fn);

} // namespace vakotest
