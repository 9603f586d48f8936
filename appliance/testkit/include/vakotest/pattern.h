// Test data that a wrong offset, a dropped block or a swapped image shows
// up in: n bytes that repeat only after a long period, a different run for
// each seed.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace vakotest {

inline std::string Pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + seed * 57 + (i >> 9)) & 0xFF);
    return s;
}

inline std::vector<uint8_t> PatternBytes(size_t n, unsigned seed)
{
    std::string s = Pattern(n, seed);
    return {s.begin(), s.end()};
}

} // namespace vakotest
