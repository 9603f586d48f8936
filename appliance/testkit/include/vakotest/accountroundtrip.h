// The round trip of the account and group text files, for the tables of
// the user and group databases' tests (they link libvako): the files as an
// old appliance holds them, the caches built from them, one ordinary change
// through the public operations, and every file compared line by line
// with what it was, but for the lines the change touched.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "vako/group_db.h"
#include "vako/user_db.h"
#include "vakotest/accountlines.h"
#include "vakotest/accounts.h"
#include "vakotest/files.h"
#include "vakotest/paths.h"

namespace accountroundtrip {

struct Row {
    std::string name;
    vakotest::AccountFiles accounts;
    vakotest::GroupFiles groups;
    // One ordinary change through the public operations: its result.
    std::function<int()> change;
    std::vector<Touched> touched;
};
inline void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

inline void RemoveCaches()
{
    for (const char *f : {vakotest::kUserDbName, vakotest::kUserDbMisc, vakotest::kUserDbShadow, vakotest::kUserDbSmb,
                          vakotest::kUserDbUid, vakotest::kGroupDbName, vakotest::kGroupDbId, vakotest::kGroupDbDesc})
        vakotest::RemoveFile(f);
}

// Writes the row's files, builds both caches from them, makes the change
// (it must succeed) and compares the six files.
inline void Run(const Row &row)
{
    RemoveCaches();
    vakotest::WriteAccountFiles(row.accounts);
    vakotest::WriteGroupFiles(row.groups);
    VAKOUSERDB *users = VAKOUserDBOpen();
    ASSERT_NE(users, nullptr);
    VAKOUserDBClose(users);
    VAKOGROUPDB *groups = VAKOGroupDBOpen();
    ASSERT_NE(groups, nullptr);
    VAKOGroupDBClose(groups);
    ASSERT_EQ(row.change(), 0);
    vakotest::AccountFiles accounts = vakotest::ReadAccountFiles();
    vakotest::GroupFiles groupFiles = vakotest::ReadGroupFiles();
    const struct {
        File file;
        const char *path;
        const std::string &before, &now;
    } files[] = {{File::kPasswd, vakotest::kPasswdFile, row.accounts.passwd, accounts.passwd},
                 {File::kShadow, vakotest::kShadowFile, row.accounts.shadow, accounts.shadow},
                 {File::kVakoUserConf, vakotest::kVakoUserConf, row.accounts.vakouserConf, accounts.vakouserConf},
                 {File::kSmbPasswd, vakotest::kSmbPasswdFile, row.accounts.smbpasswd, accounts.smbpasswd},
                 {File::kGroup, vakotest::kGroupFile, row.groups.group, groupFiles.group},
                 {File::kGroupDesc, vakotest::kGroupDescFile, row.groups.groupDesc, groupFiles.groupDesc}};
    for (const auto &f : files) {
        std::vector<const Touched *> mine;
        for (const Touched &t : row.touched)
            if (t.file == f.file)
                mine.push_back(&t);
        EXPECT_EQ(Mismatch(f.before, mine, f.now), "") << f.path;
    }
}

} // namespace accountroundtrip
