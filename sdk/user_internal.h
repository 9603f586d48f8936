// Pieces that the account record and user database sources share (not
// part of the C interface).
#pragma once

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "vako/keydb.h"

namespace user_internal {

// A growing buffer of the keyed layer, freed on every path.
struct Buf {
    void *p = nullptr;
    int cb = 0;
    Buf() = default;
    Buf(const Buf &) = delete;
    Buf &operator=(const Buf &) = delete;
    ~Buf() { VAKOBDbDataFree(p); }
    const char *str() const { return static_cast<const char *>(p); }
};

// A stored value as text: up to its NUL, never past its length.
inline std::string Stored(const Buf &b) { return std::string(b.str(), strnlen(b.str(), static_cast<size_t>(b.cb))); }

// Stores text with its NUL.
inline int Put(VAKOBDB *bdb, const void *key, int cbKey, const std::string &value)
{
    return VAKOBDbSet(bdb, key, cbKey, value.c_str(), static_cast<int>(value.size()) + 1);
}

// Room for the uid file's key of any uid.
constexpr int kUidKeySize = 16;
// The uid file's key of a uid, "%06d": its length with the NUL.
inline int UidKey(int uid, char *key) { return snprintf(key, kUidKeySize, "%06d", uid) + 1; }

// The fields of a line split at every ':' (empty ones too): 0, or -1 with
// the splitter's code.
int SplitFields(const char *line, std::vector<std::string> &fields);

// The largest uid key of the uid file as a number, 0 when the file holds
// no account: 0, or -1 (0x8000 the cursor cannot be set, 0xB200 a read failed).
int LargestUid(VAKOBDB *pUidDb, int *pUid);

} // namespace user_internal
