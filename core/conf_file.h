// Pieces shared by the configuration file readers and writers.
#pragma once

// The library's own C++ (not part of the C interface): never exported.
#pragma GCC visibility push(hidden)

namespace conf {

inline bool IsComment(const char *line) { return line[0] == '#' || line[0] == ';'; }

// The key of a key line matched against key, on a line the call may cut
// (see SLIBFileLineKeyMatch). On a match, *pValue is the text after the
// '=' that ends the key, or NULL when the line has none.
bool KeyMatch(char *line, const char *key, char **pValue);

} // namespace conf

#pragma GCC visibility pop
