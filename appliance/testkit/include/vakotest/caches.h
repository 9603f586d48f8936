// The caches of the user, group and share databases under /tmp and their
// rebuild locks, as old builds left them and as another account's program
// can change them: for the tests of what root trusts there.  In a library
// of its own (vako_testkit_caches), which links the platform library and
// Berkeley DB.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "vakotest/paths.h"

namespace vakotest {

// Every cache file, each set's first file first.
inline constexpr const char *kCacheFiles[] = {kUserDbName,  kUserDbMisc, kUserDbShadow, kUserDbSmb, kUserDbUid,
                                              kGroupDbName, kGroupDbId,  kGroupDbDesc,  kShareDb};
// The first file of each set: the user, group and share database's.
inline constexpr const char *kFirstCacheFiles[] = {kUserDbName, kGroupDbName, kShareDb};
// The user, group and share database's rebuild locks.
inline constexpr const char *kRebuildLocks[] = {kUserDbRebuildLock, kGroupDbRebuildLock, kShareDbRebuildLock};

// As root: the three databases built from the appliance's text files, then
// left as builds before this one left them: every cache file of mode 0666,
// the rebuild locks 0644.
void MakeOldBuildCaches();

// Text records for ForgeRecords: key -> value, each stored with its NUL.
using Records = std::vector<std::pair<std::string, std::string>>;
// Adds records to the btree file at path (with duplicate keys when dup),
// opened by name as any program of any account may: true when all were
// stored.
bool ForgeRecords(const std::string &path, const Records &records, bool dup = false);
// Adds to the share database file at path the share `name` (stored under
// its name upper-cased) of the folder `folder`, which guests may read and
// write: true when stored.
bool ForgeShare(const std::string &path, const std::string &name, const std::string &folder);
// What another account forges into the caches where they stand: an
// account "evil" of uid 0 with an empty password, an empty password for
// root, a share "rootfs" of the whole disk that guests may write. True when
// all were stored.
bool ForgeAccountsAndShares();

} // namespace vakotest
