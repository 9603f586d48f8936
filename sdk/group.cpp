// The group record: building it from a name and members or from a stored
// group line, its conversions to and from struct group, and the name rule.
#include "vako/group.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "keydb_internal.h"
#include "slib/error.h"
#include "slib/unicode.h"
#include "slibcxx/border.h"
#include "vako/keydb.h"
#include "vako/user.h"
#include "vako/user_list.h"

namespace {

// The operations' own source names: log prefixes and the file recorded with
// an error code.
constexpr const char *kSrcAlloc = "group_alloc";
constexpr const char *kSrcUnpack = "group_db_unpack";
constexpr const char *kSrcPack = "group_db_pack";
constexpr const char *kSrcToUnix = "group_to_unix_group";

constexpr int kGroupFields = 4;
constexpr char kNobody[] = "nobody";
char kPasswordField[] = "x";

// True when s points into the block of a record that is about to be refilled.
bool Inside(const char *s, const VAKOGROUP *block)
{
    const char *start = reinterpret_cast<const char *>(block);
    return s >= start && s <= start + block->cbAlloc;
}

// A decimal field as atoi reads it.
int AtoI(const std::string &field) { return static_cast<int>(strtol(field.c_str(), nullptr, 10)); }

} // namespace

extern "C" {

int VAKOGroupAlloc2(PVAKOGROUP *ppGroup, const char *szName, int gid, char **ppMembers)
{
    return slib::Guarded(kSrcAlloc, -1, [&] {
        if (!ppGroup || !szName || !ppMembers) {
            SLIB_ERR_IN(kSrcAlloc, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        PVAKOGROUP old = *ppGroup;
        std::vector<const char *> kept;
        bool inside = old && old->cbAlloc != 0 && Inside(szName, old);
        size_t cbStrings = strlen(szName) + 1;
        for (char **m = ppMembers; *m; m++) {
            if (old && old->cbAlloc != 0 && Inside(*m, old))
                inside = true;
            if (!**m || strcmp(*m, kNobody) == 0)
                continue;
            kept.push_back(*m);
            cbStrings += strlen(*m) + 1;
        }
        // The block is about to be overwritten: its own strings cannot fill it.
        if (inside) {
            SLIB_ERR_IN(kSrcAlloc, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        size_t cbPointers = (kept.size() + 1) * sizeof(char *);
        if (cbStrings > static_cast<size_t>(INT_MAX) - sizeof(VAKOGROUP) - cbPointers) {
            SLIB_ERR_IN(kSrcAlloc, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        int size = static_cast<int>(sizeof(VAKOGROUP) + cbPointers + cbStrings);
        void *block = old;
        int cbBlock = old ? old->cbAlloc : 0;
        if (VAKOCheckAndRealloc(&block, &cbBlock, size) != 0) {
            *ppGroup = static_cast<PVAKOGROUP>(block);
            syslog(LOG_ERR, "%s:%d VAKOCheckAndRealloc failed. vakoerr=0x%04X", kSrcAlloc, __LINE__, SLIBErrorGet());
            return -1;
        }
        auto *group = static_cast<PVAKOGROUP>(block);
        *ppGroup = group;
        char *base = static_cast<char *>(block);
        group->ppMembers = reinterpret_cast<char **>(base + sizeof(VAKOGROUP));
        char *cursor = base + sizeof(VAKOGROUP) + cbPointers;
        size_t len = strlen(szName) + 1;
        memcpy(cursor, szName, len);
        group->szName = cursor;
        cursor += len;
        for (size_t i = 0; i < kept.size(); i++) {
            len = strlen(kept[i]) + 1;
            memcpy(cursor, kept[i], len);
            group->ppMembers[i] = cursor;
            cursor += len;
        }
        group->ppMembers[kept.size()] = nullptr;
        group->gid = gid;
        group->type = strchr(szName, '\\') ? VAKO_GROUP_TYPE_DOMAIN : VAKO_GROUP_TYPE_LOCAL;
        group->cbAlloc = cbBlock;
        return 0;
    });
}

int VAKOGroupDBUnpack(const char *line, PVAKOGROUP *ppGroup)
{
    return slib::Guarded(kSrcUnpack, -1, [&] {
        if (!line || !ppGroup) {
            SLIB_ERR_IN(kSrcUnpack, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        std::vector<std::string> fields;
        if (keydb_internal::Split(line, ":", fields, kSrcUnpack) != 0)
            return -1;
        if (fields.size() != kGroupFields) {
            SLIB_ERR_IN(kSrcUnpack, VAKO_ERR_BAD_FORMAT);
            return -1;
        }
        if (fields[0].empty()) {
            SLIB_ERR_IN(kSrcUnpack, VAKO_ERR_GROUP_BAD_NAME);
            return -1;
        }
        std::vector<std::string> members;
        if (keydb_internal::Split(fields[3].c_str(), ",", members, kSrcUnpack) != 0) {
            syslog(LOG_ERR, "%s:%d SLIBStrSep() failed! vakoerr=0x%04X", kSrcUnpack, __LINE__, SLIBErrorGet());
            return -1;
        }
        std::vector<char *> array;
        array.reserve(members.size() + 1);
        for (std::string &m : members)
            array.push_back(m.data());
        array.push_back(nullptr);
        if (VAKOGroupAlloc2(ppGroup, fields[0].c_str(), AtoI(fields[2]), array.data()) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOGroupAlloc2 failed. vakoerr=0x%04X", kSrcUnpack, __LINE__, SLIBErrorGet());
            return -1;
        }
        return 0;
    });
}

PVAKOGROUP VAKOGroupAlloc(const char *line)
{
    return slib::Guarded(kSrcAlloc, PVAKOGROUP{}, [&]() -> PVAKOGROUP {
        if (!line) {
            SLIB_ERR_IN(kSrcAlloc, SLIB_ERR_BAD_PARAMETER);
            return nullptr;
        }
        PVAKOGROUP group = nullptr;
        if (VAKOGroupDBUnpack(line, &group) != 0) {
            VAKOGroupFree(group);
            return nullptr;
        }
        return group;
    });
}

void VAKOGroupFree(PVAKOGROUP group) { free(group); }

int VAKOGroupToUnixGroup(PVAKOGROUP group, struct group *gr)
{
    if (!group || !gr) {
        SLIB_ERR_IN(kSrcToUnix, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    gr->gr_name = group->szName;
    gr->gr_passwd = kPasswordField;
    gr->gr_gid = static_cast<gid_t>(group->gid);
    gr->gr_mem = group->ppMembers;
    return 0;
}

int VAKOGroupDBPackFromUnix(struct group *gr, char **ppBuf, int *pcbBuf)
{
    return slib::Guarded(kSrcPack, -1, [&] {
        if (!gr || !ppBuf || !pcbBuf || (*ppBuf && *pcbBuf == 0)) {
            SLIB_ERR_IN(kSrcPack, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        // A ':' or a line end in the name would make other fields or lines of
        // /etc/group out of it.
        if (!gr->gr_name || !*gr->gr_name || strpbrk(gr->gr_name, ":\r\n")) {
            SLIB_ERR_IN(kSrcPack, VAKO_ERR_GROUP_BAD_NAME);
            return -1;
        }
        char *none[] = {nullptr};
        char *text = nullptr;
        int cbText = 0;
        int r = VAKOUserGetValidUserList(gr->gr_mem ? gr->gr_mem : none, &text, &cbText);
        slib::HeapPtr<char> textOwner(text);
        if (r != 0) {
            syslog(LOG_ERR, "%s:%d VAKOUserGetValidUserList() failed! vakoerr=0x%04X", kSrcPack, __LINE__,
                   SLIBErrorGet());
            return -1;
        }
        int gid = static_cast<int>(gr->gr_gid);
        int need = snprintf(nullptr, 0, "%s:%s:%d:%s", gr->gr_name, kPasswordField, gid, text) + 1;
        if (need <= 0 || VAKOCheckAndRealloc(reinterpret_cast<void **>(ppBuf), pcbBuf, need) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOCheckAndRealloc() failed! vakoerr=0x%04X", kSrcPack, __LINE__, SLIBErrorGet());
            return -1;
        }
        snprintf(*ppBuf, static_cast<size_t>(need), "%s:%s:%d:%s", gr->gr_name, kPasswordField, gid, text);
        return need;
    });
}

int VAKOGroupIsValidName(const char *szName)
{
    if (!szName || !*szName)
        return 0;
    size_t n = strlen(szName);
    // No code point takes more than 4 bytes: a longer name cannot count 15.
    if (n > 4 * VAKO_GROUP_NAME_MAX_CHARS || szName[0] == ' ' || szName[0] == '-' || szName[n - 1] == ' ')
        return 0;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(szName[i]);
        bool ok = c >= 0x80 || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '-' || c == '_' || c == ' ';
        if (!ok)
            return 0;
    }
    int chars = SLIBUnicodeUTF8StrCountChar(szName);
    return chars >= 0 && chars <= VAKO_GROUP_NAME_MAX_CHARS ? 1 : 0;
}

} // extern "C"
