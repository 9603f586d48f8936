// The group database's tests and benchmarks and its neighbours' (they link
// libvako): a small appliance's group files beside the accounts of the user
// database's fixture, and reads of the cache files' records.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "vako/group.h"
#include "vako/group_db.h"
#include "vakotest/accounts.h"
#include "vakotest/files.h"
#include "vakotest/paths.h"
#include "vakotest/userdb.h"

namespace groupdb {

struct DbCloser {
    void operator()(VAKOGROUPDB *db) const { VAKOGroupDBClose(db); }
};
using DbPtr = std::unique_ptr<VAKOGROUPDB, DbCloser>;

struct GroupDeleter {
    void operator()(VAKOGROUP *g) const { VAKOGroupFree(g); }
};
using GroupPtr = std::unique_ptr<VAKOGROUP, GroupDeleter>;

using userdb::kAbsent;
using userdb::Record;

// root, the mail group with admin, users, staff with alice and bob, dev
// with bob; in gid order with their descriptions, as a dump writes them.
inline vakotest::GroupFiles Fixture()
{
    return {
        "#$_@GID__INDEX@_$65537$\n"
        "root:x:0:\n"
        "smmsp:x:25:admin\n"
        "users:x:100:\n"
        "staff:x:65536:alice,bob\n"
        "dev:x:65537:bob\n",
        "users:All local users\n"
        "staff:Staff: all of it\n"
        "dev:Developers\n",
    };
}

// The accounts of the user database's fixture and the group files.
inline void WriteFixture(const vakotest::GroupFiles &groups = Fixture())
{
    vakotest::WriteAccountFiles(userdb::Fixture());
    vakotest::WriteGroupFiles(groups);
}

inline DbPtr Open() { return DbPtr(VAKOGroupDBOpen()); }

// The fixture written and its database opened.
inline DbPtr OpenFixture(const vakotest::GroupFiles &groups = Fixture())
{
    WriteFixture(groups);
    DbPtr db = Open();
    EXPECT_NE(db, nullptr);
    return db;
}

// Every value stored under one gid key of the id file, in order.
inline std::vector<std::string> IdRecords(VAKOGROUPDB *db, int gid)
{
    char key[16];
    int cbKey = snprintf(key, sizeof key, "%06d", gid) + 1;
    std::vector<std::string> names;
    void *k = malloc(static_cast<size_t>(cbKey)), *v = nullptr;
    memcpy(k, key, static_cast<size_t>(cbKey));
    int cbK = cbKey, cbV = 0;
    VAKOBDbCursorSetType(db->pGRPGID, VAKO_BDB_CURSOR_SET);
    while (VAKOBDbCursorGet(db->pGRPGID, 0, &k, &cbK, &v, &cbV) == 0 && cbK == cbKey && memcmp(k, key, cbK) == 0) {
        names.emplace_back(static_cast<char *>(v));
        VAKOBDbCursorSetType(db->pGRPGID, VAKO_BDB_CURSOR_NEXT);
    }
    VAKOBDbCursorSetType(db->pGRPGID, VAKO_BDB_CURSOR_NEXT);
    VAKOBDbDataFree(k);
    VAKOBDbDataFree(v);
    return names;
}

// "#CURRENT_GID" of the id file, -1 when it cannot be read.
inline int CurrentGid(VAKOGROUPDB *db)
{
    int32_t v;
    return VAKOBDbWordGet(db->pGRPGID, SZK_BDB_CURRENT_GID, CB_BDB_CURRENT_GID, &v) == 0 ? v : -1;
}

// A header-only record of a name, a gid and members.
struct Group {
    std::string name;
    std::vector<std::string> members;
    std::vector<char *> array;
    VAKOGROUP record;
    Group(std::string n, int gid, std::vector<std::string> m) : name(std::move(n)), members(std::move(m))
    {
        for (std::string &s : members)
            array.push_back(s.data());
        array.push_back(nullptr);
        record = {name.data(), gid, array.data(), 1, 0};
    }
    Group(const Group &) = delete;
    Group &operator=(const Group &) = delete;
    VAKOGROUP *get() { return &record; }
};

// The member names of a record.
inline std::vector<std::string> Members(const VAKOGROUP *g)
{
    std::vector<std::string> m;
    for (char **p = g->ppMembers; *p; p++)
        m.emplace_back(*p);
    return m;
}

} // namespace groupdb
