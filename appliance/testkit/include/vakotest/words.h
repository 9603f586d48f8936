// Stored 32-bit words in the processor's own byte order (the keyed
// databases' reserved records, packed shares), as the tests expect their
// bytes on the processor they run on.
#pragma once

#include <stdint.h>
#include <string.h>

#include <initializer_list>
#include <string>

namespace vakotest {

// The 4 bytes of a 32-bit value as this processor keeps it in memory.
inline std::string NativeWord(int32_t v)
{
    char b[4];
    memcpy(b, &v, 4);
    return std::string(b, 4);
}

// Such words one after the other.
inline std::string NativeWords(std::initializer_list<int32_t> words)
{
    std::string s;
    for (int32_t w : words)
        s += NativeWord(w);
    return s;
}

} // namespace vakotest
