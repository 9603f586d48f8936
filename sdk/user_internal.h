// Pieces that the account record and user database sources share (not
// part of the C interface).
#pragma once

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "keydb_internal.h"
#include "vako/keydb.h"

namespace user_internal {

using keydb_internal::Buf;
using keydb_internal::Put;
using keydb_internal::Stored;

// Room for the uid file's key of any uid.
constexpr int kUidKeySize = keydb_internal::kIdKeySize;
// The uid file's key of a uid, "%06d": its length with the NUL.
inline int UidKey(int uid, char *key) { return keydb_internal::IdKey(uid, key); }

// The fields of a line split at every ':' (empty ones too): 0, or -1 with
// the splitter's code.
inline int SplitFields(const char *line, std::vector<std::string> &fields)
{
    return keydb_internal::Split(line, ":", fields);
}

} // namespace user_internal
