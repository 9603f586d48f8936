#include "slib/codepage.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <syslog.h>
#include <unicode/ustring.h>

#include <iterator>

#include "icu_data.h"
#include "slib/conf_read.h"
#include "slib/error.h"
#include "slibcxx/border.h"
#include "slibcxx/raii.h"

namespace {

struct Language {
    const char *code;
    int ansi, oem;
};

constexpr Language kLanguages[] = {
    {"utf8", 0, 0},  {"enu", 15, 2}, {"fre", 15, 4},  {"ger", 15, 4}, {"ita", 15, 4}, {"spn", 15, 4}, {"cht", 12, 12},
    {"chs", 10, 10}, {"jpn", 9, 9},  {"krn", 11, 11}, {"ptb", 15, 4}, {"rus", 14, 8}, {"dan", 15, 4}, {"nor", 15, 4},
    {"sve", 15, 4},  {"nld", 15, 4}, {"plk", 13, 5},  {"ptg", 15, 4}, {"hun", 13, 5}, {"trk", 17, 6}, {"csy", 13, 5},
};

// The Macintosh page of a Windows page is 16 indexes further on.
constexpr int kMacOffset = 16;

// The appliance's own tables, and the stock ICU converter of the same code
// page, opened in their place when the appliance's table is not installed
// (the Macintosh CJK pages have no stock table: their base encodings).
struct Converter {
    const char *name;
    const char *stock;
};

constexpr Converter kConverters[SLIB_CODEPAGE_COUNT] = {
    {"UTF-8", nullptr},
    {"UTF-16", nullptr},
    {"vako_win_english", "ibm-437"},
    {"vako_win_greek", "ibm-737"},
    {"vako_win_westeuro", "ibm-850"},
    {"vako_win_latin2", "ibm-852"},
    {"vako_win_turkish", "ibm-857"},
    {"vako_win_icelandic", "ibm-861"},
    {"vako_win_cyrillic", "ibm-866"},
    {"vako_win_japanese", "windows-932"},
    {"vako_win_chinsimp", "windows-936"},
    {"vako_win_korean", "windows-949"},
    {"vako_win_chintrad", "windows-950"},
    {"vako_win_easteuro_1250", "windows-1250"},
    {"vako_win_cyrillic_1251", "windows-1251"},
    {"vako_win_westeuro_1252", "windows-1252"},
    {"vako_win_greek_1253", "windows-1253"},
    {"vako_win_turkish_1254", "windows-1254"},
    {"vako_mac_eng_euro", "macos-0_2-10.2"},
    {"vako_mac_greek", "macos-6_2-10.4"},
    {"vako_mac_eng_euro", "macos-0_2-10.2"},
    {"vako_mac_eng_euro", "macos-0_2-10.2"},
    {"vako_mac_turkish", "macos-35-10.2"},
    {"vako_mac_eng_euro", "macos-0_2-10.2"},
    {"vako_mac_cyrillic", "macos-7_3-10.2"},
    {"vako_mac_japanese", "Shift_JIS"},
    {"vako_mac_chinsimp", "EUC-CN"},
    {"vako_mac_korean", "EUC-KR"},
    {"vako_mac_chintrad", "Big5"},
    {"vako_mac_eng_euro", "macos-0_2-10.2"},
    {"vako_mac_cyrillic", "macos-7_3-10.2"},
    {"vako_mac_eng_euro", "macos-0_2-10.2"},
    {"vako_mac_greek", "macos-6_2-10.4"},
    {"vako_mac_turkish", "macos-35-10.2"},
};

// One per index, never closed: callers keep the pointer they were given.
UConverter *gConverter[SLIB_CODEPAGE_COUNT];

// Holds the value with its NUL; 8 characters or more are refused.
constexpr int kCodePageValueSize = 8;

// The operations' own source names, recorded with their error codes and
// printed in their messages.
constexpr const char *kSrcCodePageGet = "conf_code_page_get";
constexpr const char *kSrcValueParse = "unicode_codepage_value_parse";
constexpr const char *kSrcOpenConvertor = "unicode_open_convertor";
constexpr const char *kSrcUTF8ToCP = "unicode_str_utf8_to_cp";

#define CP_LOG_BAD_PARAMETER(kind) syslog(LOG_ERR, "%s:%d Bad parameter (%d).", kSrcValueParse, __LINE__, (kind))

UConverter *Open(const char *name)
{
    UErrorCode err = U_ZERO_ERROR;
    UConverter *cnv = ucnv_open(name, &err);
    if (U_FAILURE(err)) {
        if (cnv)
            ucnv_close(cnv);
        return nullptr;
    }
    return cnv;
}

using slib::HeapPtr;

// UTF-16 to the converter's code page: the length, or -1 (code recorded).
// The usual room is the longest character per unit; a converter that
// writes more (UTF-16 puts its byte-order mark first) gets the room that
// it reports.
int32_t FromUChars(UConverter *cnv, const UChar *u16, int32_t n16, HeapPtr<char> &out)
{
    int64_t cap = static_cast<int64_t>(n16) * ucnv_getMaxCharSize(cnv) + 1;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (cap > INT32_MAX) {
            SLIB_ERR_IN(kSrcUTF8ToCP, SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
        out.reset(static_cast<char *>(malloc(static_cast<size_t>(cap))));
        if (!out) {
            SLIB_ERR_IN(kSrcUTF8ToCP, SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
        UErrorCode err = U_ZERO_ERROR;
        int32_t len = ucnv_fromUChars(cnv, out.get(), static_cast<int32_t>(cap), u16, n16, &err);
        if (U_SUCCESS(err))
            return len;
        if (err != U_BUFFER_OVERFLOW_ERROR)
            break;
        cap = static_cast<int64_t>(len) + 1;
    }
    SLIB_ERR_IN(kSrcUTF8ToCP, SLIB_ERR_UNICODE);
    return -1;
}

} // namespace

extern "C" {

int SLIBConfCodePageGet(int kind, int *pIndex)
{
    return slib::Guarded(kSrcCodePageGet, -1, [&] {
        if (!pIndex) {
            SLIB_ERR_IN(kSrcCodePageGet, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        char value[kCodePageValueSize];
        const char *key = kind == SLIB_CODEPAGE_MEDIA ? SZK_SLIB_CODEPAGE_MEDIA : SZK_SLIB_CODEPAGE;
        if (SLIBFileGetKeyValue(SZF_SLIB_CODEPAGE_CONF, key, value, sizeof value, 0) <= 0)
            return -1;
        int index = SLIBUnicodeCodepageValueParse(kind, value);
        if (index < 0)
            return -1;
        *pIndex = index;
        return 0;
    });
}

int SLIBUnicodeCodepageValueParse(int kind, const char *language)
{
    if (!language) {
        CP_LOG_BAD_PARAMETER(kind);
        SLIB_ERR_IN(kSrcValueParse, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    const Language *found = nullptr;
    for (const Language &l : kLanguages) {
        if (strcasecmp(language, l.code) == 0) {
            found = &l;
            break;
        }
    }
    if (!found)
        return -1;
    switch (kind) {
    case SLIB_CODEPAGE_WINDOWS:
    case SLIB_CODEPAGE_MEDIA:
        return found->ansi;
    case SLIB_CODEPAGE_DOS:
        return found->oem;
    case SLIB_CODEPAGE_MAC:
        return found->ansi + kMacOffset;
    default:
        CP_LOG_BAD_PARAMETER(kind);
        SLIB_ERR_IN(kSrcValueParse, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
}

UConverter *SLIBUnicodeOpenConvertor(int index)
{
    if (static_cast<unsigned>(index) >= SLIB_CODEPAGE_COUNT) {
        SLIB_ERR_IN(kSrcOpenConvertor, SLIB_ERR_BAD_PARAMETER);
        return nullptr;
    }
    UConverter *&cached = gConverter[index];
    if (cached)
        return cached;
    slib::IcuDataInit();
    const Converter &c = kConverters[index];
    UConverter *cnv = Open(c.name);
    if (!cnv && c.stock)
        cnv = Open(c.stock);
    if (!cnv) {
        SLIB_ERR_IN(kSrcOpenConvertor, SLIB_ERR_OPEN);
        return nullptr;
    }
    cached = cnv;
    return cnv;
}

int SLIBUnicodeStrUTF8ToCP(int index, const char *src, char *dst, int cbDst)
{
    if (!src || cbDst < 0 || (!dst && cbDst > 0)) {
        SLIB_ERR_IN(kSrcUTF8ToCP, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    size_t cbSrc = strlen(src);
    HeapPtr<char> converted;
    const char *text = src;
    int32_t len;
    if (index == SLIB_CODEPAGE_UTF8) {
        if (cbSrc > INT32_MAX - 1) {
            SLIB_ERR_IN(kSrcUTF8ToCP, SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
        len = static_cast<int32_t>(cbSrc);
    } else {
        UConverter *cnv = SLIBUnicodeOpenConvertor(index);
        if (!cnv)
            return -1;
        if (cbSrc > (INT32_MAX - 1) / 2) {
            SLIB_ERR_IN(kSrcUTF8ToCP, SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
        int32_t cap16 = static_cast<int32_t>(cbSrc * 2 + 1);
        HeapPtr<UChar> u16(static_cast<UChar *>(malloc(static_cast<size_t>(cap16) * sizeof(UChar))));
        if (!u16) {
            SLIB_ERR_IN(kSrcUTF8ToCP, SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
        int32_t n16 = 0;
        UErrorCode err = U_ZERO_ERROR;
        u_strFromUTF8(u16.get(), cap16, &n16, src, -1, &err);
        if (U_FAILURE(err)) {
            SLIB_ERR_IN(kSrcUTF8ToCP, SLIB_ERR_UNICODE);
            return -1;
        }
        len = FromUChars(cnv, u16.get(), n16, converted);
        if (len < 0)
            return -1;
        text = converted.get();
    }
    if (cbDst > 0) {
        if (len < cbDst) {
            memcpy(dst, text, static_cast<size_t>(len));
            dst[len] = '\0';
        } else {
            *dst = '\0';
        }
    }
    return len;
}

int StubReturnOne(void) { return 1; }

} // extern "C"
