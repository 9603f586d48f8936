#include "vako/group_db.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "slib/error.h"
#include "vakotest/accounts.h"
#include "vakotest/groupdb.h"
#include "vakotest/storefault.h"

using groupdb::DbPtr;
using groupdb::Fixture;
using groupdb::Group;
using groupdb::IdRecords;
using groupdb::kAbsent;
using groupdb::OpenFixture;
using groupdb::Record;
using vakotest::GroupFiles;

namespace {

int Set(VAKOGROUPDB *db, const char *oldKey, Group &g)
{
    return VAKOGroupDBSet(db, oldKey, oldKey ? static_cast<int>(strlen(oldKey)) : 0, g.get());
}

int Delete(VAKOGROUPDB *db, const char *key) { return VAKOGroupDBDelete(db, key, static_cast<int>(strlen(key))); }

std::vector<std::string> Snapshot(VAKOGROUPDB *db);

// A refused store: its code, the source name recorded with it, and every
// record as it was.
void ExpectRefused(VAKOGROUPDB *db, const char *oldKey, Group &g, int code, const char *src)
{
    std::vector<std::string> before = Snapshot(db);
    SLIBErrorSet(0);
    EXPECT_EQ(Set(db, oldKey, g), -1);
    EXPECT_EQ(SLIBErrorGet(), code);
    if (src) {
        EXPECT_STREQ(SLIBErrorGetFile(), src);
    }
    EXPECT_EQ(Snapshot(db), before);
}

// Every record of the three files that names a group, as text.
std::vector<std::string> Snapshot(VAKOGROUPDB *db)
{
    std::vector<std::string> all;
    for (VAKOBDB *f : {db->pGRPName, db->pGRPGID, db->pGRPDesc}) {
        void *k = nullptr, *v = nullptr;
        int cbK = 0, cbV = 0;
        VAKOBDbCursorSetType(f, VAKO_BDB_CURSOR_FIRST);
        while (VAKOBDbCursorGet(f, 1, &k, &cbK, &v, &cbV) == 0) {
            all.push_back(std::string(static_cast<char *>(k)) + "=" + static_cast<char *>(v));
            VAKOBDbCursorSetType(f, VAKO_BDB_CURSOR_NEXT);
        }
        VAKOBDbDataFree(k);
        VAKOBDbDataFree(v);
    }
    return all;
}

TEST(GroupDbSet, NewGroups)
{
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    Group qa("QA team", 65540, {"Alice", "ghost", "bob"});
    ASSERT_EQ(Set(db.get(), nullptr, qa), 0);
    EXPECT_EQ(Record(db->pGRPName, "QA TEAM"), "QA team:x:65540:alice,bob");
    EXPECT_EQ(IdRecords(db.get(), 65540), std::vector<std::string>{"QA TEAM"});
    EXPECT_EQ(Record(db->pGRPDesc, "QA TEAM"), kAbsent);
    ASSERT_EQ(VAKOGroupDBDump(db.get()), 0);
    EXPECT_EQ(vakotest::ReadGroupFiles().group, Fixture().group + "QA team:x:65540:alice,bob\n");

    const struct {
        std::string name;
        int code;
    } bad[] = {
        {"sixteen_chars_16", 0x1600},
        {"", 0x1600},
        {"a:b", 0x1600},
        {"CORP\\g", 0x1600},
        // A name that another group has, in any case.
        {"Staff", 0x1700},
    };
    for (const auto &c : bad) {
        SCOPED_TRACE(c.name);
        Group g(c.name, 65541, {});
        ExpectRefused(db.get(), nullptr, g, c.code, "group_db_set");
    }
}

TEST(GroupDbSet, RenameCarriesTheIdAndTheDescription)
{
    GroupFiles groups = Fixture();
    groups.group += "ops:x:70000:alice\n";
    groups.groupDesc += "ops:Operations: day and night\n";
    DbPtr db = OpenFixture(groups);
    ASSERT_NE(db, nullptr);
    Group g("Night Ops", 70000, {"alice", "bob"});
    ASSERT_EQ(Set(db.get(), "OPS", g), 0);
    EXPECT_EQ(Record(db->pGRPName, "NIGHT OPS"), "Night Ops:x:70000:alice,bob");
    EXPECT_EQ(Record(db->pGRPName, "OPS"), kAbsent);
    EXPECT_EQ(IdRecords(db.get(), 70000), std::vector<std::string>{"NIGHT OPS"});
    EXPECT_EQ(Record(db->pGRPDesc, "NIGHT OPS"), "Night Ops:Operations: day and night");
    EXPECT_EQ(Record(db->pGRPDesc, "OPS"), kAbsent);

    // Under the same key (a change of case, new members): one record each.
    Group again("night ops", 70000, {"bob"});
    ASSERT_EQ(Set(db.get(), "NIGHT OPS", again), 0);
    EXPECT_EQ(Record(db->pGRPName, "NIGHT OPS"), "night ops:x:70000:bob");
    EXPECT_EQ(IdRecords(db.get(), 70000), std::vector<std::string>{"NIGHT OPS"});
    EXPECT_EQ(Record(db->pGRPDesc, "NIGHT OPS"), "night ops:Operations: day and night");

    // A new gid under the same name moves its record.
    Group moved("night ops", 70001, {"bob"});
    ASSERT_EQ(Set(db.get(), "NIGHT OPS", moved), 0);
    EXPECT_TRUE(IdRecords(db.get(), 70000).empty());
    EXPECT_EQ(IdRecords(db.get(), 70001), std::vector<std::string>{"NIGHT OPS"});
    ASSERT_EQ(VAKOGroupDBDump(db.get()), 0);
    EXPECT_EQ(vakotest::ReadGroupFiles(), (GroupFiles{Fixture().group + "night ops:x:70001:bob\n",
                                                      Fixture().groupDesc + "night ops:Operations: day and night\n"}));
}

TEST(GroupDbSet, SystemGroupsKeepTheirNames)
{
    GroupFiles groups = Fixture();
    groups.group += "wheel:x:20:\n";
    DbPtr db = OpenFixture(groups);
    ASSERT_NE(db, nullptr);
    Group members("wheel", 20, {"admin"});
    ASSERT_EQ(Set(db.get(), "WHEEL", members), 0);
    EXPECT_EQ(Record(db->pGRPName, "WHEEL"), "wheel:x:20:admin");
    EXPECT_EQ(IdRecords(db.get(), 20), std::vector<std::string>{"WHEEL"});

    // Refused as the delete of the old group refuses it, also where the
    // new members could not be stored.
    const struct {
        const char *oldKey;
        const char *name;
        int gid;
        const char *member;
    } refused[] = {{"WHEEL", "wheel2", 20, "alice"},
                   {"USERS", "users", 100, "alice"},
                   {"USERS", "Users", 100, "alice"},
                   {"ROOT", "admins", 0, "alice"},
                   {"ROOT", "admins", 0, "@dev"}};
    for (const auto &c : refused) {
        SCOPED_TRACE(c.name);
        Group g(c.name, c.gid, {c.member});
        ExpectRefused(db.get(), c.oldKey, g, 0xB700, "group_db_delete");
    }
}

TEST(GroupDbSet, RefusedChangesLeaveEverythingAsItWas)
{
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    const struct {
        const char *what;
        const char *oldKey;
        const char *name;
        std::vector<std::string> members;
        int code;
        const char *src;
    } cases[] = {
        {"no old group", "GHOST", "ghost2", {}, 0x1800, "group_db_delete"},
        {"no old group, a member that is a group", "GHOST", "ghost2", {"@dev"}, 0x1800, "group_db_delete"},
        {"onto another group", "STAFF", "dev", {}, 0x1700, "group_db_set"},
        {"a member that is a group", "STAFF", "team", {"@dev"}, 0x4000, nullptr}, // the name list's own
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Group g(c.name, 65536, c.members);
        ExpectRefused(db.get(), c.oldKey, g, c.code, c.src);
    }
    SLIBErrorSet(0);
    Group g("x", 1, {});
    EXPECT_EQ(VAKOGroupDBSet(nullptr, nullptr, 0, g.get()), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_STREQ(SLIBErrorGetFile(), "group_db_set");
    EXPECT_EQ(VAKOGroupDBSet(db.get(), nullptr, 0, nullptr), -1);
}

TEST(GroupDbSet, AFailedStoreChangesNothing)
{
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    std::vector<std::string> before = Snapshot(db.get());
    // The gid file refuses every write.
    VAKOBDB *writable = db->pGRPGID;
    db->pGRPGID = VAKOBDbOpen(vakotest::kGroupDbId, O_RDONLY, 1);
    ASSERT_NE(db->pGRPGID, nullptr);
    Group renamed("team", 65538, {"alice"});
    EXPECT_EQ(Set(db.get(), "STAFF", renamed), -1);
    Group added("qa", 65540, {});
    EXPECT_EQ(Set(db.get(), nullptr, added), -1);
    VAKOBDbClose(db->pGRPGID);
    db->pGRPGID = writable;
    EXPECT_EQ(Snapshot(db.get()), before);
}

// A rename stores the new records before it removes the old ones, and
// takes back what it stored when any step fails: every file as it was.
TEST(GroupDbSet, ARenameThatFailsPartWayChangesNothing)
{
    using vakotest::StoreOp;
    const std::string team("TEAM", 5), staff("STAFF", 6), newId("065538", 7), oldId("065536", 7);
    const struct {
        const char *what;
        VAKOBDB *VAKOGROUPDB::*file;
        StoreOp op;
        std::string key;
    } cases[] = {
        {"the new name record", &VAKOGROUPDB::pGRPName, StoreOp::Put, team},
        {"the new description", &VAKOGROUPDB::pGRPDesc, StoreOp::Put, team},
        {"the new id record", &VAKOGROUPDB::pGRPGID, StoreOp::Put, newId},
        {"removing the old id record", &VAKOGROUPDB::pGRPGID, StoreOp::Del, oldId},
        {"removing the old name record", &VAKOGROUPDB::pGRPName, StoreOp::Del, staff},
        {"removing the old description", &VAKOGROUPDB::pGRPDesc, StoreOp::Del, staff},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        // The cache built anew from the files: what an earlier case left goes.
        groupdb::WriteFixture();
        ASSERT_EQ(VAKOGroupDBRebuild(), 0);
        DbPtr db = groupdb::Open();
        ASSERT_NE(db, nullptr);
        std::vector<std::string> before = Snapshot(db.get());
        Group renamed("team", 65538, {"alice"});
        {
            vakotest::StoreFault fault((db.get()->*c.file)->db, c.op, c.key);
            EXPECT_EQ(Set(db.get(), "STAFF", renamed), -1);
        }
        EXPECT_EQ(Snapshot(db.get()), before);
    }
}

TEST(GroupDbDelete, OnlyLocalGroupsAndOnlyTheirOwnRecords)
{
    GroupFiles groups = Fixture();
    // Two groups of one gid, one of them with a description.
    groups.group += "nogroup:x:65535:\nqa:x:65540:alice\nqa2:x:65540:bob\n";
    groups.groupDesc += "qa:Quality\n";
    DbPtr db = OpenFixture(groups);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(IdRecords(db.get(), 65540), (std::vector<std::string>{"QA", "QA2"}));
    ASSERT_EQ(Delete(db.get(), "QA"), 0);
    EXPECT_EQ(IdRecords(db.get(), 65540), std::vector<std::string>{"QA2"});
    EXPECT_EQ(Record(db->pGRPName, "QA"), kAbsent);
    EXPECT_EQ(Record(db->pGRPDesc, "QA"), kAbsent);
    ASSERT_EQ(VAKOGroupDBDump(db.get()), 0);
    // In gid order.
    EXPECT_EQ(vakotest::ReadGroupFiles(), (GroupFiles{"#$_@GID__INDEX@_$65537$\n"
                                                      "root:x:0:\n"
                                                      "smmsp:x:25:admin\n"
                                                      "users:x:100:\n"
                                                      "nogroup:x:65535:\n"
                                                      "staff:x:65536:alice,bob\n"
                                                      "dev:x:65537:bob\n"
                                                      "qa2:x:65540:bob\n",
                                                      Fixture().groupDesc}));

    const struct {
        const char *key;
        int code;
    } refused[] = {{"NOGROUP", 0xB700}, {"USERS", 0xB700}, {"GHOST", 0x1800}, {"CORP\\G", 0}};
    for (const auto &c : refused) {
        SCOPED_TRACE(c.key);
        SLIBErrorSet(0);
        EXPECT_EQ(Delete(db.get(), c.key), -1);
        EXPECT_EQ(SLIBErrorGet(), c.code);
        if (c.code) {
            EXPECT_STREQ(SLIBErrorGetFile(), "group_db_delete");
        }
    }
    EXPECT_EQ(Delete(db.get(), "STAFF"), 0);
}

TEST(GroupDbCheckExists, TheNameAsStored)
{
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    char out[16];
    EXPECT_EQ(VAKOGroupDBCheckExists(db.get(), "STAFF", 5, nullptr, 0), 1);
    EXPECT_EQ(VAKOGroupDBCheckExists(db.get(), "STAFF", 5, out, sizeof out), 1);
    EXPECT_STREQ(out, "staff");
    EXPECT_EQ(VAKOGroupDBCheckExists(db.get(), "STAFF", 5, out, 6), 1);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOGroupDBCheckExists(db.get(), "STAFF", 5, out, 5), 0); // no room for its NUL
    EXPECT_EQ(VAKOGroupDBCheckExists(db.get(), "ROOT", 4, out, 4), 0);
    EXPECT_EQ(SLIBErrorGet(), 0);
    EXPECT_EQ(VAKOGroupDBCheckExists(db.get(), "staff", 5, nullptr, 0), 0);
    EXPECT_EQ(SLIBErrorGet(), 0x1800);
    EXPECT_STREQ(SLIBErrorGetFile(), "group_db_check_exists");
    ASSERT_EQ(VAKOBDbSet(db->pGRPName, "BROKEN", 7, "broken", 7), 0);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOGroupDBCheckExists(db.get(), "BROKEN", 6, out, sizeof out), 0);
    EXPECT_EQ(SLIBErrorGet(), 0x4000);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(VAKOGroupDBCheckExists(db.get(), "STAFF", 5, nullptr, 4), 0);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
}

TEST(GroupDbGetByCursor, KindsAndSystemGroups)
{
    vakotest::WriteFile(vakotest::kSmbConf, "[global]\nsecurity=domain\nworkgroup=CORP\n");
    vakotest::WriteFile(vakotest::kInfoFile, "runsamba=\"yes\"\n");
    vakotest::WriteFile(vakotest::kDomainGroupFile, "CORP\\admins:512\n");
    struct Case {
        int mask, all;
        std::vector<std::string> names;
    } cases[] = {
        {3, 0, {"CORP\\admins", "dev", "staff", "users"}},
        {1, 0, {"dev", "staff", "users"}},
        {2, 0, {"CORP\\admins"}},
        {1, 1, {"dev", "root", "smmsp", "staff", "users"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mask * 10 + c.all);
        DbPtr db = OpenFixture();
        ASSERT_NE(db, nullptr);
        std::vector<std::string> names;
        PVAKOGROUP g = nullptr;
        while (VAKOGroupDBGetByCursor(db.get(), &g, c.mask, c.all) == 0)
            names.emplace_back(g->szName);
        EXPECT_EQ(SLIBErrorGet(), 0xB500);
        VAKOGroupFree(g);
        EXPECT_EQ(names, c.names);
    }
    SLIBErrorSet(0);
    PVAKOGROUP g = nullptr;
    EXPECT_EQ(VAKOGroupDBGetByCursor(nullptr, &g, 3, 0), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_STREQ(SLIBErrorGetFile(), "group_db_get_by_cursor");
}

TEST(GroupGetFreeGid, FromTheLastOneHandedOut)
{
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    auto current = [&](int gid) { ASSERT_EQ(VAKOBDbWordSet(db->pGRPGID, "#CURRENT_GID", 12, gid), 0); };
    current(65540);
    EXPECT_EQ(VAKOGroupGetFreeGid(db.get()), 65541);
    current(95536); // wraps
    EXPECT_EQ(VAKOGroupGetFreeGid(db.get()), 65538);
    current(65535); // 65536 and 65537 taken
    EXPECT_EQ(VAKOGroupGetFreeGid(db.get()), 65538);
    current(70000);
    ASSERT_EQ(VAKOBDbSet(db->pGRPGID, "070001", 7, "X", 2), 0);
    EXPECT_EQ(VAKOGroupGetFreeGid(db.get()), 70002);
    // Without the record: after the largest gid.
    ASSERT_EQ(VAKOBDbDelete(db->pGRPGID, "#CURRENT_GID", 12), 0);
    EXPECT_EQ(VAKOGroupGetFreeGid(db.get()), 70002);
    EXPECT_EQ(VAKOGroupGetFreeGid(nullptr), -1);
}

TEST(GroupGetFreeGid, NamesAndGidsOfKeptLinesAreNoNewGroups)
{
    // Lines the cache keeps out, which the system may still read as
    // groups: five fields, a group among the members, "DEV" beside dev.
    GroupFiles groups = Fixture();
    groups.group += "qa:x:65538:alice,bob:\nops:x:65539:@staff\nDEV:x:65540:\n";
    DbPtr db = OpenFixture(groups);
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(VAKOBDbWordSet(db->pGRPGID, "#CURRENT_GID", 12, 65537), 0);
    EXPECT_EQ(VAKOGroupGetFreeGid(db.get()), 65541);
    EXPECT_EQ(Record(db->pGRPName, "QA"), kAbsent);
    Group qa("QA", 65541, {});
    ExpectRefused(db.get(), nullptr, qa, 0x1700, "group_db_set");
    Group ops("ops", 65541, {});
    ExpectRefused(db.get(), "STAFF", ops, 0x1700, "group_db_set");
    // dev's name stays held once dev is gone.
    ASSERT_EQ(Delete(db.get(), "DEV"), 0);
    Group dev("dev", 65541, {});
    ExpectRefused(db.get(), nullptr, dev, 0x1700, "group_db_set");
}

TEST(GroupGetFreeGid, NoneLeft)
{
    DbPtr db = OpenFixture();
    ASSERT_NE(db, nullptr);
    for (int gid = 65538; gid <= 95536; gid++) {
        char key[16];
        snprintf(key, sizeof key, "%06d", gid);
        ASSERT_EQ(VAKOBDbSet(db->pGRPGID, key, 7, "X", 2), 0);
    }
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOGroupGetFreeGid(db.get()), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x1900);
    EXPECT_STREQ(SLIBErrorGetFile(), "group_get_free_gid");
}

} // namespace
