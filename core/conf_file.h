// Pieces shared by the configuration file readers and writers.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>

#include "slib/error.h"
#include "slibcxx/raii.h"

namespace conf {

inline bool IsComment(const char *line) { return line[0] == '#' || line[0] == ';'; }

using FileClose = slib::FileClose;
using LineReader = slib::LineReader;

using slib::Guarded;

// The key of a key line matched against key, on a line the call may cut
// (see SLIBFileLineKeyMatch). On a match, *pValue is the text after the
// '=' that ends the key, or NULL when the line has none.
bool KeyMatch(char *line, const char *key, char **pValue);

} // namespace conf
