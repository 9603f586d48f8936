#include "vakotest/caches.h"

#include <ctype.h>
#include <db_185.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <stdexcept>

#include "vako/group_db.h"
#include "vako/share.h"
#include "vako/share_db.h"
#include "vako/user_db.h"

namespace vakotest {

namespace {

// Opens path by name, as any account's program would, and stores each
// (key, value) pair of bytes: true when all were stored and the file closed.
bool Put(const std::string &path, const std::vector<std::pair<std::string, std::string>> &pairs, bool dup)
{
    BTREEINFO info;
    memset(&info, 0, sizeof info);
    info.flags = R_DUP;
    DB *db = dbopen(path.c_str(), O_RDWR, 0, DB_BTREE, dup ? &info : nullptr);
    if (!db)
        return false;
    bool ok = true;
    for (const auto &[key, value] : pairs) {
        DBT k = {const_cast<char *>(key.data()), key.size()};
        DBT v = {const_cast<char *>(value.data()), value.size()};
        ok = ok && db->put(db, &k, &v, 0) == 0;
    }
    return db->close(db) == 0 && ok;
}

std::string WithNul(const std::string &text) { return std::string(text.c_str(), text.size() + 1); }

} // namespace

void MakeOldBuildCaches()
{
    VAKOUSERDB *users = VAKOUserDBOpen();
    VAKOGROUPDB *groups = VAKOGroupDBOpen();
    VAKOSHAREDB *shares = VAKOShareDBOpen();
    const bool built = users && groups && shares;
    VAKOUserDBClose(users);
    VAKOGroupDBClose(groups);
    if (shares)
        VAKOShareDBClose(shares);
    if (!built)
        throw std::runtime_error("MakeOldBuildCaches: a database could not be built");
    for (const char *f : kCacheFiles)
        if (chmod(f, 0666) != 0)
            throw std::runtime_error(std::string("MakeOldBuildCaches: chmod ") + f);
    for (const char *l : kRebuildLocks)
        if (chmod(l, 0644) != 0)
            throw std::runtime_error(std::string("MakeOldBuildCaches: chmod ") + l);
}

bool ForgeRecords(const std::string &path, const Records &records, bool dup)
{
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const auto &[key, value] : records)
        pairs.emplace_back(WithNul(key), WithNul(value));
    return Put(path, pairs, dup);
}

bool ForgeShare(const std::string &path, const std::string &name, const std::string &folder)
{
    const VAKOSHAREINFO info = {name.c_str(), "", folder.c_str(), "", "", "", VAKO_SHARE_READ_WRITE, 1, 0};
    VAKOSHARE *share = VAKOShareAlloc(&info);
    void *packed = share ? VAKOShareDBPack(share) : nullptr;
    VAKOShareFree(share);
    if (!packed)
        return false;
    // The value's own length: its word at offset 40.
    int32_t size;
    memcpy(&size, static_cast<char *>(packed) + 40, sizeof size);
    std::string value(static_cast<char *>(packed), static_cast<size_t>(size));
    free(packed);
    std::string key = name;
    for (char &c : key)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return Put(path, {{WithNul(key), value}}, false);
}

bool ForgeAccountsAndShares()
{
    return ForgeRecords(kUserDbName, {{"EVIL", "evil:x:0:0:pwned:/root:/bin/sh"}}) &&
           ForgeRecords(kUserDbUid, {{"000000", "EVIL"}}, true) &&
           ForgeRecords(kUserDbShadow, {{"EVIL", "evil::15000:0:99999:7:::"}, {"ROOT", "root::15000:0:99999:7:::"}}) &&
           ForgeRecords(kUserDbMisc, {{"EVIL", "evil:0:"}}) && ForgeShare(kShareDb, "rootfs", "/");
}

} // namespace vakotest
