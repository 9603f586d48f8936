// The fields of the account and group files' lines for the libraries and the
// updater (not part of the C interface): a line split at ':', and an id
// field read as a number. Header-only; the libraries build with
// -fvisibility-inlines-hidden, so that none of it is exported.
#pragma once

#include <stdint.h>

#include <string_view>
#include <vector>

namespace slib {

// The fields of a line at every ':' (empty ones too), as views into it.
inline std::vector<std::string_view> ColonFields(std::string_view line)
{
    std::vector<std::string_view> fields;
    for (size_t at = 0;;) {
        size_t colon = line.find(':', at);
        fields.push_back(line.substr(at, colon == std::string_view::npos ? colon : colon - at));
        if (colon == std::string_view::npos)
            return fields;
        at = colon + 1;
    }
}

// Decimal digits only (no sign, no blank), at most 4294967295: true with the
// number in *pValue.
inline bool DecimalU32(std::string_view text, uint32_t *pValue)
{
    if (text.empty() || text.size() > 10)
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > UINT32_MAX)
        return false;
    *pValue = static_cast<uint32_t>(v);
    return true;
}

} // namespace slib
