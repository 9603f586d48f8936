// Caseless comparison for the PowerPC build of the byte-format code, which
// has no ICU: ASCII letters only; any other byte above 0x7F is refused, so
// that no test can take this for the real comparison.
#include "slib/unicode.h"

#include "slib/error.h"

extern "C" int SLIBUnicodeUTF8StrCaseCmp(const char *a, const char *b)
{
    if (!a || !b) {
        SLIB_ERR(SLIB_ERR_BAD_PARAMETER);
        return -2;
    }
    for (;; ++a, ++b) {
        unsigned char x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
        if (x > 0x7F || y > 0x7F) {
            SLIB_ERR(SLIB_ERR_UNICODE);
            return -2;
        }
        if (x >= 'a' && x <= 'z')
            x = static_cast<unsigned char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = static_cast<unsigned char>(y - 'a' + 'A');
        if (x != y)
            return x < y ? -1 : 1;
        if (!x)
            return 0;
    }
}
