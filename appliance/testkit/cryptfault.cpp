#include "vakotest/cryptfault.h"

#include <dlfcn.h>

namespace vakotest {
bool gCryptFails;
const char *gCryptResult;
} // namespace vakotest

extern "C" char *crypt(const char *key, const char *salt) noexcept
{
    if (vakotest::gCryptFails)
        return const_cast<char *>(vakotest::gCryptResult);
    using Fn = char *(*)(const char *, const char *);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "crypt"));
    return real(key, salt);
}
