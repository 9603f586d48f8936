#include "slib/unicode.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unicode/ustring.h>

#include <iterator>

#include "slibcxx/raii.h"
#include "icu_data.h"
#include "slib/error.h"

namespace {

constexpr const char *kLocales[] = {
    "", "de_DE", "en_US", "es_ES", "fr_FR", "it_IT", "ja_JP", "ko_KR", "pt_BR", "zh__PINYIN", "zh_TW_STROKE",
};
constexpr int kLocaleCount = static_cast<int>(std::size(kLocales));

char gszLocale[SLIB_UNICODE_LOCALE_SIZE];
bool gLocaleChecked;
int gLocaleIndex;
// One per locale, never closed: callers keep the pointer they were given.
UCollator *gCollator[kLocaleCount];

int FindLocale(const char *szLocale)
{
    for (int i = 0; i < kLocaleCount; ++i)
        if (strcmp(szLocale, kLocales[i]) == 0)
            return i;
    return -1;
}

using slib::HeapPtr;

// The operations' own source names, recorded with their error codes; the
// steps below record under the name of the operation they serve.
constexpr const char *kSrcGetLocale = "unicode_get_locale";
constexpr const char *kSrcSetLocale = "unicode_set_locale";
constexpr const char *kSrcOpenCollator = "unicode_open_collator";
constexpr const char *kSrcUTF16StrUpper = "unicode_utf16_str_upper";
constexpr const char *kSrcUTF8StrUpper = "unicode_utf8_str_upper";
constexpr const char *kSrcUTF8StrCaseCmp = "unicode_utf8_str_case_cmp";
constexpr const char *kSrcUTF8StrCountChar = "unicode_utf8_str_count_char";

// A buffer of factor * n + 1 elements, refused (null) when that count does
// not fit ICU's 32-bit capacities or the allocation fails.
template <class T> HeapPtr<T> AllocScaled(const char *src, uint64_t n, unsigned factor, int32_t *pCap)
{
    if (n > (static_cast<uint64_t>(INT32_MAX) - 1) / factor) {
        SLIB_ERR_IN(src, SLIB_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    *pCap = static_cast<int32_t>(n * factor + 1);
    HeapPtr<T> p(static_cast<T *>(malloc(static_cast<size_t>(*pCap) * sizeof(T))));
    if (!p)
        SLIB_ERR_IN(src, SLIB_ERR_OUT_OF_MEMORY);
    return p;
}

int Utf8ToUtf16(const char *src, const char *s, HeapPtr<UChar> &out, int32_t *pLen)
{
    slib::IcuDataInit();
    int32_t cap = 0;
    out = AllocScaled<UChar>(src, strlen(s), 2, &cap);
    if (!out)
        return -1;
    UErrorCode err = U_ZERO_ERROR;
    u_strFromUTF8(out.get(), cap, pLen, s, -1, &err);
    if (U_FAILURE(err)) {
        SLIB_ERR_IN(src, SLIB_ERR_UNICODE);
        return -1;
    }
    return 0;
}

int Utf16ToUtf8(const char *src, const UChar *s, int32_t n, HeapPtr<char> &out, int32_t *pLen)
{
    int32_t cap = 0;
    out = AllocScaled<char>(src, static_cast<uint64_t>(n), 6, &cap);
    if (!out)
        return -1;
    UErrorCode err = U_ZERO_ERROR;
    u_strToUTF8(out.get(), cap, pLen, s, n, &err);
    if (U_FAILURE(err)) {
        SLIB_ERR_IN(src, SLIB_ERR_UNICODE);
        return -1;
    }
    return 0;
}

int UpperUtf16(const char *src, const UChar *s, int32_t n, HeapPtr<UChar> &out, int32_t *pLen)
{
    int32_t cap = 0;
    out = AllocScaled<UChar>(src, static_cast<uint64_t>(n), 2, &cap);
    if (!out)
        return -1;
    UChar *p = out.release();
    int len = SLIBUnicodeUTF16StrUpper(s, &p, cap);
    out.reset(p);
    if (len < 0)
        return -1;
    *pLen = len;
    return 0;
}

// UTF-8 to upper-cased UTF-16.
int Utf8ToUpperUtf16(const char *src, const char *s, HeapPtr<UChar> &out, int32_t *pLen)
{
    HeapPtr<UChar> u16;
    int32_t n16;
    if (Utf8ToUtf16(src, s, u16, &n16) < 0)
        return -1;
    return UpperUtf16(src, u16.get(), n16, out, pLen);
}

} // namespace

extern "C" {

int SLIBUnicodeGetLocale(int force, const char **ppLocale)
{
    if (!ppLocale) {
        SLIB_ERR_IN(kSrcGetLocale, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    *ppLocale = gszLocale;
    if (gLocaleChecked && !force)
        return 1;
    int i = FindLocale(gszLocale);
    if (i < 0) {
        SLIB_ERR_IN(kSrcGetLocale, SLIB_ERR_NOT_FOUND);
        return -1;
    }
    gLocaleIndex = i;
    gLocaleChecked = true;
    return 1;
}

int SLIBUnicodeSetLocale(const char *szLocale)
{
    if (!szLocale) {
        SLIB_ERR_IN(kSrcSetLocale, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    if (FindLocale(szLocale) < 0) {
        SLIB_ERR_IN(kSrcSetLocale, SLIB_ERR_NOT_FOUND);
        return -1;
    }
    strcpy(gszLocale, szLocale);
    const char *pLocale;
    return SLIBUnicodeGetLocale(1, &pLocale);
}

UCollator *SLIBUnicodeOpenCollator(void)
{
    const char *szLocale;
    if (SLIBUnicodeGetLocale(0, &szLocale) < 0)
        return nullptr;
    UCollator *&cached = gCollator[gLocaleIndex];
    if (cached)
        return cached;
    slib::IcuDataInit();
    UErrorCode err = U_ZERO_ERROR;
    UCollator *coll = ucol_open(szLocale, &err);
    if (U_FAILURE(err) || !coll) {
        SLIB_ERR_IN(kSrcOpenCollator, SLIB_ERR_OPEN);
        return nullptr;
    }
    cached = coll;
    return coll;
}

int SLIBUnicodeUTF16StrUpper(const UChar *src, UChar **pDst, int cchDst)
{
    if (!src || !pDst || !*pDst || cchDst <= 0) {
        SLIB_ERR_IN(kSrcUTF16StrUpper, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    const char *szLocale;
    if (SLIBUnicodeGetLocale(0, &szLocale) < 0)
        return -1;
    slib::IcuDataInit();
    UErrorCode err = U_ZERO_ERROR;
    int32_t len = u_strToUpper(*pDst, cchDst, src, -1, szLocale, &err);
    // A result that fills the buffer exactly has no room for its NUL.
    if (U_SUCCESS(err) && len < cchDst)
        return len;
    if (U_FAILURE(err) && err != U_BUFFER_OVERFLOW_ERROR) {
        SLIB_ERR_IN(kSrcUTF16StrUpper, SLIB_ERR_UNICODE);
        return -1;
    }
    if (len >= INT32_MAX) {
        SLIB_ERR_IN(kSrcUTF16StrUpper, SLIB_ERR_OUT_OF_MEMORY);
        return -1;
    }
    void *grown = realloc(*pDst, (static_cast<size_t>(len) + 1) * sizeof(UChar));
    if (!grown) {
        SLIB_ERR_IN(kSrcUTF16StrUpper, SLIB_ERR_OUT_OF_MEMORY);
        return -1;
    }
    *pDst = static_cast<UChar *>(grown);
    err = U_ZERO_ERROR;
    int32_t again = u_strToUpper(*pDst, len + 1, src, -1, szLocale, &err);
    if (U_FAILURE(err) || again > len) {
        SLIB_ERR_IN(kSrcUTF16StrUpper, SLIB_ERR_UNICODE);
        return -1;
    }
    return again;
}

int SLIBUnicodeUTF8StrUpper(const char *src, char *dst, int cbDst)
{
    if (!src || cbDst < 0 || (!dst && cbDst > 0)) {
        SLIB_ERR_IN(kSrcUTF8StrUpper, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    if (!*src) {
        if (cbDst > 0)
            *dst = '\0';
        return 0;
    }
    HeapPtr<UChar> upper;
    int32_t nUpper;
    if (Utf8ToUpperUtf16(kSrcUTF8StrUpper, src, upper, &nUpper) < 0)
        return -1;
    HeapPtr<char> u8;
    int32_t n8;
    if (Utf16ToUtf8(kSrcUTF8StrUpper, upper.get(), nUpper, u8, &n8) < 0)
        return -1;
    if (cbDst > 0) {
        if (n8 < cbDst)
            memcpy(dst, u8.get(), static_cast<size_t>(n8) + 1);
        else
            *dst = '\0';
    }
    return n8;
}

int SLIBUnicodeUTF8StrCaseCmp(const char *a, const char *b)
{
    if (!a || !b) {
        SLIB_ERR_IN(kSrcUTF8StrCaseCmp, SLIB_ERR_BAD_PARAMETER);
        return -2;
    }
    UCollator *coll = SLIBUnicodeOpenCollator();
    if (!coll)
        return -2;
    HeapPtr<UChar> upA, upB;
    int32_t nA, nB;
    if (Utf8ToUpperUtf16(kSrcUTF8StrCaseCmp, a, upA, &nA) < 0 || Utf8ToUpperUtf16(kSrcUTF8StrCaseCmp, b, upB, &nB) < 0)
        return -2;
    switch (ucol_strcoll(coll, upA.get(), nA, upB.get(), nB)) {
    case UCOL_LESS:
        return -1;
    case UCOL_EQUAL:
        return 0;
    default:
        return 1;
    }
}

int SLIBUnicodeUTF8StrCountChar(const char *s)
{
    if (!s) {
        SLIB_ERR_IN(kSrcUTF8StrCountChar, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    HeapPtr<UChar> u16;
    int32_t n16;
    if (Utf8ToUtf16(kSrcUTF8StrCountChar, s, u16, &n16) < 0)
        return -1;
    return u_countChar32(u16.get(), n16);
}

int UnicodeAlwaysTrue(void) { return 1; }

} // extern "C"
