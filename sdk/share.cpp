// Share records, the share name rule, the name of an smb.conf section and
// the packed values of the share database.
#include "vako/share.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include "share_internal.h"
#include "slib/error.h"
#include "slib/unicode.h"

namespace {

// The operations' own source names: log prefixes and the file recorded with
// an error code.
constexpr const char *kSrcAlloc = "share_alloc";
constexpr const char *kSrcPack = "share_db_pack";
constexpr const char *kSrcUnpack = "share_db_unpack";
constexpr const char *kSrcParseSection = "share_parse_section_name";

#define SHARE_ERR(src, code) SLIBErrorSetEx((code), (src), __LINE__)

using namespace share_internal::packed;

// What the in-memory header takes beyond the 44 bytes that sizes count.
constexpr size_t kExtra = sizeof(VAKOSHARE) - kHeader;
static_assert(sizeof(VAKOSHARE) >= kHeader, "the header holds its eleven words");

// The six strings in field order: the order of the layout and of the
// offsets in a packed value.
constexpr int kStrings = 6;
constexpr char *VAKOSHARE::*kShareString[kStrings] = {
    &VAKOSHARE::szName,         &VAKOSHARE::szComment,   &VAKOSHARE::szPath,
    &VAKOSHARE::szInvalidUsers, &VAKOSHARE::szWriteList, &VAKOSHARE::szReadList,
};
constexpr const char *VAKOSHAREINFO::*kInfoString[kStrings] = {
    &VAKOSHAREINFO::szName,         &VAKOSHAREINFO::szComment,   &VAKOSHAREINFO::szPath,
    &VAKOSHAREINFO::szInvalidUsers, &VAKOSHAREINFO::szWriteList, &VAKOSHAREINFO::szReadList,
};
constexpr int kPath = 2;
constexpr const char *kStringWhat[kStrings] = {"name", "comment", "path", "invalid users", "write list", "read list"};

char *StringArea(VAKOSHARE *share) { return reinterpret_cast<char *>(share) + sizeof(VAKOSHARE); }
const char *StringArea(const VAKOSHARE *share) { return reinterpret_cast<const char *>(share) + sizeof(VAKOSHARE); }

bool HasLineEnd(const char *s, size_t n) { return memchr(s, '\n', n) || memchr(s, '\r', n); }

// The strings of a record lie in its block and end there: the record can be
// packed without reading past it.
bool RecordHolds(const VAKOSHARE *share)
{
    if (share->cbAlloc <= kHeader || share->cbAlloc > INT32_MAX - kWord)
        return false;
    auto area = reinterpret_cast<uintptr_t>(StringArea(share));
    size_t cbArea = static_cast<size_t>(share->cbAlloc - kHeader);
    for (auto field : kShareString) {
        auto p = reinterpret_cast<uintptr_t>(share->*field);
        if (p < area || p - area >= cbArea || !memchr(share->*field, '\0', cbArea - (p - area)))
            return false;
    }
    return true;
}

// What makes a packed value unfit to read, or nullptr: a reader must not
// read past it (the cache files are writable by every process), and a
// string holding a line end would be written by a dump into the SMB
// configuration. cbValue is the value's real length, or -1 when only its own
// length word is known. *pField: the string at fault, or -1.
const char *ValueFault(const unsigned char *v, int cbValue, int *pField)
{
    *pField = -1;
    if (cbValue >= 0 && cbValue <= kValueStrings)
        return "length";
    int32_t total = GetWord(v + kValueLength);
    if (total <= kValueStrings || total > INT32_MAX - static_cast<int32_t>(kExtra) || (cbValue >= 0 && total > cbValue))
        return "length";
    int32_t need = total - kValueRecord;
    int32_t cbRecord = GetWord(v + kValueCbRecord);
    if (cbRecord < kHeader || cbRecord > need)
        return "record size";
    for (int i = 0; i < kStrings; i++) {
        *pField = i;
        int32_t off = GetWord(v + kValueOffsets + kWord * i);
        if (off < kHeader || off >= need)
            return "offset";
        const char *s = reinterpret_cast<const char *>(v) + kValueRecord + off;
        const void *nul = memchr(s, '\0', static_cast<size_t>(need - off));
        if (!nul)
            return "missing NUL";
        if (HasLineEnd(s, static_cast<size_t>(static_cast<const char *>(nul) - s)))
            return "line end";
    }
    return nullptr;
}

int UnPack(const void *value, int cbValue, VAKOSHARE **pp)
{
    if (!value || !pp || (*pp && ((*pp)->cbAlloc < 0 || (*pp)->cbAlloc > INT32_MAX - static_cast<int32_t>(kExtra)))) {
        SHARE_ERR(kSrcUnpack, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    const auto *v = static_cast<const unsigned char *>(value);
    int field;
    if (const char *fault = ValueFault(v, cbValue, &field)) {
        syslog(LOG_ERR, "%s:%d packed share refused: %s%s%s.", kSrcUnpack, __LINE__, fault, field < 0 ? "" : " in the ",
               field < 0 ? "" : kStringWhat[field]);
        SHARE_ERR(kSrcUnpack, VAKO_ERR_SHARE_BAD_VALUE);
        return -1;
    }
    int32_t need = GetWord(v + kValueLength) - kValueRecord;
    // The growing buffer counts the block's real bytes.
    void *block = *pp;
    int cbBlock = block ? (*pp)->cbAlloc + static_cast<int>(kExtra) : 0;
    if (VAKOCheckAndRealloc(&block, &cbBlock, need + static_cast<int>(kExtra)) != 0) {
        *pp = static_cast<VAKOSHARE *>(block);
        syslog(LOG_ERR, "%s:%d VAKOCheckAndRealloc failed. vakoerr=0x%04X", kSrcUnpack, __LINE__, SLIBErrorGet());
        return -1;
    }
    auto *share = static_cast<VAKOSHARE *>(block);
    *pp = share;
    memcpy(StringArea(share), v + kValueStrings, static_cast<size_t>(need - kHeader));
    for (int i = 0; i < kStrings; i++)
        share->*kShareString[i] = StringArea(share) + (GetWord(v + kValueOffsets + kWord * i) - kHeader);
    share->fType = GetWord(v + kValueType);
    share->fBrowseable = GetWord(v + kValueBrowseable);
    share->ftpFlags = GetWord(v + kValueFtp);
    share->cbAlloc = cbBlock - static_cast<int>(kExtra);
    share->cbRecord = GetWord(v + kValueCbRecord);
    return 0;
}

} // namespace

extern "C" {

int VAKOShareIsValidName(const char *name)
{
    if (!name || !*name)
        return 0;
    size_t n = strlen(name);
    // No code point takes more than 4 bytes: a longer name cannot count 32.
    if (n > 4 * VAKO_SHARE_NAME_MAX_CHARS || name[0] == ' ' || name[0] == '-' || name[n - 1] == ' ')
        return 0;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        bool ok = c >= 0x80 || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '-' || c == '_' || c == ' ';
        if (!ok)
            return 0;
    }
    int chars = SLIBUnicodeUTF8StrCountChar(name);
    return chars >= 0 && chars <= VAKO_SHARE_NAME_MAX_CHARS ? 1 : 0;
}

VAKOSHARE *VAKOShareAlloc(const VAKOSHAREINFO *info)
{
    if (!info || !info->szName || !info->szPath || info->fType < 0 || info->fBrowseable < 0 || info->ftpFlags < 0) {
        SHARE_ERR(kSrcAlloc, SLIB_ERR_BAD_PARAMETER);
        return nullptr;
    }
    if (!VAKOShareIsValidName(info->szName)) {
        SHARE_ERR(kSrcAlloc, VAKO_ERR_SHARE_BAD_NAME);
        return nullptr;
    }
    if (info->szPath[0] != '/') {
        SHARE_ERR(kSrcAlloc, VAKO_ERR_SHARE_BAD_PATH);
        return nullptr;
    }
    size_t len[kStrings];
    size_t cbStrings = 0;
    for (int i = 0; i < kStrings; i++) {
        const char *s = info->*kInfoString[i];
        len[i] = s && *s ? strlen(s) + 1 : 0;
        // The SMB daemon would take what follows a line end as lines of
        // its own configuration.
        if (len[i] && HasLineEnd(s, len[i] - 1)) {
            syslog(LOG_ERR, "%s:%d share [%s]: a line end in the %s is refused.", kSrcAlloc, __LINE__, info->szName,
                   kStringWhat[i]);
            SHARE_ERR(kSrcAlloc, SLIB_ERR_BAD_PARAMETER);
            return nullptr;
        }
        cbStrings += len[i];
    }
    // The path ends its line in the configuration, where a final '\' would
    // join the next line to it.
    if (info->szPath[len[kPath] - 2] == '\\') {
        syslog(LOG_ERR, "%s:%d share [%s]: a path ending in '\\' is refused.", kSrcAlloc, __LINE__, info->szName);
        SHARE_ERR(kSrcAlloc, SLIB_ERR_BAD_PARAMETER);
        return nullptr;
    }
    if (cbStrings > static_cast<size_t>(INT32_MAX) - kHeader - kWord - kExtra) {
        SHARE_ERR(kSrcAlloc, SLIB_ERR_BAD_PARAMETER);
        return nullptr;
    }
    int32_t size = kHeader + static_cast<int32_t>(cbStrings);
    auto *share = static_cast<VAKOSHARE *>(calloc(static_cast<size_t>(size) + kExtra, 1));
    if (!share) {
        SHARE_ERR(kSrcAlloc, SLIB_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    // From the block's end downward; every empty string is the last byte,
    // the name's NUL.
    char *end = StringArea(share) + cbStrings;
    char *cursor = end;
    for (int i = 0; i < kStrings; i++) {
        if (len[i]) {
            cursor -= len[i];
            memcpy(cursor, info->*kInfoString[i], len[i]);
            share->*kShareString[i] = cursor;
        } else {
            share->*kShareString[i] = end - 1;
        }
    }
    share->fType = info->fType;
    share->fBrowseable = info->fBrowseable;
    share->ftpFlags = info->ftpFlags;
    share->cbAlloc = share->cbRecord = size;
    return share;
}

void VAKOShareFree(VAKOSHARE *share) { free(share); }

void *VAKOShareDBPack(const VAKOSHARE *share)
{
    if (!share || !RecordHolds(share)) {
        SHARE_ERR(kSrcPack, SLIB_ERR_BAD_PARAMETER);
        return nullptr;
    }
    int32_t total = share->cbAlloc + kValueRecord;
    auto *v = static_cast<unsigned char *>(malloc(static_cast<size_t>(total)));
    if (!v) {
        syslog(LOG_ERR, "%s:%d errno=%d/%m, malloc failed.\n", kSrcPack, __LINE__, errno);
        SHARE_ERR(kSrcPack, SLIB_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    PutWord(v, 0);
    for (int i = 0; i < kStrings; i++)
        PutWord(v + kValueOffsets + kWord * i,
                kHeader + static_cast<int32_t>(share->*kShareString[i] - StringArea(share)));
    PutWord(v + kValueType, share->fType);
    PutWord(v + kValueBrowseable, share->fBrowseable);
    PutWord(v + kValueFtp, share->ftpFlags);
    PutWord(v + kValueLength, total);
    PutWord(v + kValueCbRecord, share->cbRecord);
    memcpy(v + kValueStrings, StringArea(share), static_cast<size_t>(share->cbAlloc - kHeader));
    return v;
}

int VAKOShareDBUnPack(const void *value, VAKOSHARE **pp) { return UnPack(value, -1, pp); }

int VAKOShareDBUnPackBounded(const void *value, int cbValue, VAKOSHARE **pp)
{
    if (cbValue < 0) {
        SHARE_ERR(kSrcUnpack, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    return UnPack(value, cbValue, pp);
}

int VAKOShareParseSectionName(const char *line, char *out, int cbOut)
{
    if (!line || !out || cbOut <= 0) {
        SHARE_ERR(kSrcParseSection, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    const char *open = strchr(line, '[');
    const char *name = open ? open + 1 : line;
    size_t n = strnlen(name, static_cast<size_t>(cbOut) - 1);
    memmove(out, name, n);
    out[n] = '\0';
    if (char *close = strrchr(out, ']'))
        *close = '\0';
    return 0;
}

} // extern "C"
