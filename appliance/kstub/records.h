// The records the requests pass, read and written field by field.
#pragma once

#include <stdint.h>
#include <string.h>

#include "vako/flash.h"

namespace kstublib {

// The Linux requests' words: the processor's own byte order.
inline uint32_t GetU32(const unsigned char *p)
{
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}
// The appliance's own requests pass big-endian records, as its kernel reads them.
inline uint32_t GetBe32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}
struct FisInfo {
    char name[VAKO_FIS_NAME_SIZE];
    uint32_t flash_base, size, data_length;
};
inline FisInfo GetFisInfo(const unsigned char *p)
{
    FisInfo e;
    memcpy(e.name, p, sizeof e.name);
    e.flash_base = GetBe32(p + 16);
    e.size = GetBe32(p + 20);
    e.data_length = GetBe32(p + 24);
    return e;
}
inline void PutBe32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

} // namespace kstublib
