// System-log checks for the flash tests: a pattern is the exact text with
// "{L}" for a source line number and "{*}" for any text.
#pragma once

#include <regex>
#include <string>

#include "vakotest/testkit.h"

namespace logmatch {

inline std::regex Pattern(const std::string &pattern)
{
    std::string re;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern.compare(i, 3, "{L}") == 0) {
            re += "[0-9]+";
            i += 2;
        } else if (pattern.compare(i, 3, "{*}") == 0) {
            re += "[\\s\\S]*";
            i += 2;
        } else if (strchr("\\^$.|?*+()[]{}", pattern[i]) && pattern[i]) {
            re += '\\';
            re += pattern[i];
        } else {
            re += pattern[i];
        }
    }
    return std::regex(re);
}

// Records whose text matches the pattern whole.
inline int Count(const std::string &pattern)
{
    std::regex re = Pattern(pattern);
    int n = 0;
    for (const std::string &text : vakotest::SyslogTexts())
        n += std::regex_match(text, re) ? 1 : 0;
    return n;
}

inline bool Logged(const std::string &pattern) { return Count(pattern) > 0; }

} // namespace logmatch
