#include "vako/group_op.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include "slib/error.h"
#include "slib/lock.h"
#include "vakotest/accounts.h"
#include "vakotest/files.h"
#include "vakotest/lockhold.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/sharedb.h"

using groupdb::Group;
using groupdb::GroupPtr;
using groupdb::Members;
using sharedb::kGlobal;
using sharedb::Section;
using vakotest::GroupFiles;

namespace {

GroupPtr Get(const char *name)
{
    PVAKOGROUP g = nullptr;
    if (VAKOGroupGet(name, &g) != 0) {
        VAKOGroupFree(g);
        return nullptr;
    }
    return GroupPtr(g);
}

std::vector<std::string> ListMember(const char *group)
{
    PSLIBSZLIST list = PslSLIBSzListAlloc(512);
    SLIBSzListPush(&list, "first");
    std::vector<std::string> names;
    if (VAKOGroupListMember(group, &list) == 0)
        for (int i = 1; i < list->nItem; i++)
            names.emplace_back(SLIBSzListGet(list, i));
    else
        names.emplace_back("<failed>");
    SLIBSzListFree(list);
    return names;
}

std::string Replace(const std::string &text, const std::string &from, const std::string &to)
{
    return std::regex_replace(text, std::regex(from), to);
}

time_t Mtime(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 ? st.st_mtime : -1;
}

TEST(GroupGet, LocalAndDomainGroups)
{
    vakotest::WriteFile(vakotest::kSmbConf, "[global]\nworkgroup=CORP\nsecurity=domain\n");
    vakotest::WriteFile(vakotest::kInfoFile, "runsamba=\"yes\"\n");
    vakotest::WriteFile(vakotest::kDomainGroupFile, "CORP\\Admins:512\n");
    groupdb::WriteFixture();
    GroupPtr staff = Get("STAFF");
    ASSERT_NE(staff, nullptr);
    EXPECT_STREQ(staff->szName, "staff");
    EXPECT_EQ(staff->gid, 65536);
    EXPECT_EQ(Members(staff.get()), (std::vector<std::string>{"alice", "bob"}));
    GroupPtr admins = Get("corp\\admins");
    ASSERT_NE(admins, nullptr);
    EXPECT_STREQ(admins->szName, "CORP\\Admins");
    EXPECT_EQ(admins->gid, -1);
    EXPECT_TRUE(Members(admins.get()).empty());
    for (const std::string &name : {std::string("ghost"), std::string(200, 'g')}) {
        SLIBErrorSet(0);
        EXPECT_EQ(Get(name.c_str()), nullptr);
        EXPECT_EQ(SLIBErrorGet(), 0x1800);
        EXPECT_STREQ(SLIBErrorGetFile(), "group_get");
    }
    EXPECT_TRUE(vakotest::OtherProcessCanLock(0x76));
}

TEST(GroupSet, NewGroupsGetAFreeGid)
{
    sharedb::WriteFixture();
    {
        groupdb::DbPtr db = groupdb::Open();
        ASSERT_NE(db, nullptr);
        ASSERT_EQ(VAKOBDbWordSet(db->pGRPGID, "#CURRENT_GID", 12, 65540), 0);
    }
    Group qa("qa", -1, {"ALICE", "ghost"});
    ASSERT_EQ(VAKOGroupSet(nullptr, qa.get()), 0);
    EXPECT_EQ(qa.record.gid, 65541);
    GroupFiles expected = groupdb::Fixture();
    expected.group = Replace(expected.group, "65537\\$", "65541$") + "qa:x:65541:alice\n";
    EXPECT_EQ(vakotest::ReadGroupFiles(), expected);
    // No share names the group: smb.conf is not touched.
    EXPECT_EQ(Mtime(vakotest::kSmbConf), vakotest::kAccountsMtime);

    const struct {
        const char *what;
        const char *oldName;
        const char *name;
        int code;
        const char *src;
    } refused[] = {
        {"new, in another case", nullptr, "STAFF", 0x1700, "group_set"},
        {"renamed onto another group", "staff", "Dev", 0x1700, "group_set"},
        {"old name missing", "ghost", "ghost", 0x1800, "group_set"},
        {"old name missing, new name free", "ghost", "ghost2", 0x1800, "group_set"},
        {"users changed", "users", "users", 0xB700, "group_db_delete"},
        {"users again", nullptr, "users", 0x1700, "group_set"},
        {"name too long for a key", nullptr, "x", 0x0D00, "group_set"},
    };
    std::string longName(200, 'x');
    for (const auto &c : refused) {
        SCOPED_TRACE(c.what);
        Group g(strcmp(c.name, "x") == 0 ? longName : c.name, 65550, {});
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOGroupSet(c.oldName, g.get()), -1);
        EXPECT_EQ(SLIBErrorGet(), c.code);
        EXPECT_STREQ(SLIBErrorGetFile(), c.src);
        EXPECT_EQ(vakotest::ReadGroupFiles(), expected);
    }
    EXPECT_TRUE(vakotest::OtherProcessCanLock(0x76));
}

TEST(GroupSet, NoFreeGid)
{
    groupdb::DbPtr db = groupdb::OpenFixture();
    ASSERT_NE(db, nullptr);
    for (int gid = 65538; gid <= 95536; gid++) {
        char key[16];
        snprintf(key, sizeof key, "%06d", gid);
        ASSERT_EQ(VAKOBDbSet(db->pGRPGID, key, 7, "X", 2), 0);
    }
    db.reset();
    Group qa("qa", -1, {});
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOGroupSet(nullptr, qa.get()), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_STREQ(SLIBErrorGetFile(), "group_set");
    EXPECT_EQ(vakotest::ReadGroupFiles(), groupdb::Fixture());
}

TEST(GroupSet, AFreeGidWithoutTheLastOneRecorded)
{
    sharedb::WriteFixture();
    {
        groupdb::DbPtr db = groupdb::Open();
        ASSERT_NE(db, nullptr);
        ASSERT_EQ(VAKOBDbDelete(db->pGRPGID, "#CURRENT_GID", 12), 0);
    }
    // After the largest gid; the record is written anew.
    Group qa("qa", -1, {});
    ASSERT_EQ(VAKOGroupSet(nullptr, qa.get()), 0);
    EXPECT_EQ(qa.record.gid, 65538);
    groupdb::DbPtr db = groupdb::Open();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(groupdb::CurrentGid(db.get()), 65538);
    EXPECT_EQ(vakotest::ReadGroupFiles().group,
              Replace(groupdb::Fixture().group, "65537\\$", "65538$") + "qa:x:65538:\n");
}

TEST(GroupSet, ARenameIsCarriedIntoTheShareLists)
{
    vakotest::WriteFile(vakotest::kInfoFile, "runsamba=\"yes\"\n");
    vakotest::WriteFile(vakotest::kDomainGroupFile, "CORP\\x@staff:1\n");
    const std::string global = "[global]\n\tworkgroup=CORP\n\tsecurity=domain\n";
    Section a("a", "@staff", "", "", "/volume1/a");
    a.write = "@CORP\\x@staff,@staff,alice,@staff";
    a.valid = sharedb::HashOrder({"@CORP\\x@staff", "@staff", "alice"});
    Section b("b", "", "", "", "/volume1/b");
    b.read = "bob,@staff";
    b.valid = sharedb::HashOrder({"bob", "@staff"});
    // As built: the second reference of a list is gone.
    Section aBuilt = a;
    aBuilt.write = "@CORP\\x@staff,@staff,alice";
    sharedb::WriteFixture(global + a.Text() + b.Text());
    Group renamed("Staff", 65536, {"alice", "bob"});
    ASSERT_EQ(VAKOGroupSet("staff", renamed.get()), 0);
    Section a2 = aBuilt, b2 = b;
    a2.invalid = "@Staff";
    a2.write = "@CORP\\x@staff,@Staff,alice";
    a2.valid = sharedb::HashOrder({"@CORP\\x@staff", "@Staff", "alice"});
    b2.read = "bob,@Staff";
    b2.valid = sharedb::HashOrder({"bob", "@Staff"});
    EXPECT_EQ(vakotest::ReadFile(vakotest::kSmbConf), global + a2.Text() + b2.Text());
    EXPECT_EQ(vakotest::ReadGroupFiles().group, Replace(groupdb::Fixture().group, "staff:", "Staff:"));
    EXPECT_EQ(vakotest::ReadGroupFiles().groupDesc, Replace(groupdb::Fixture().groupDesc, "staff:", "Staff:"));

    // Members changed, name kept: smb.conf stays as it is.
    time_t before = Mtime(vakotest::kSmbConf);
    vakotest::SetMtime(vakotest::kSmbConf, before - 100);
    {
        sharedb::DbPtr db = sharedb::Open(); // in step with the older time
        ASSERT_NE(db, nullptr);
    }
    Group members("Staff", 65536, {"alice"});
    ASSERT_EQ(VAKOGroupSet("STAFF", members.get()), 0);
    EXPECT_EQ(Mtime(vakotest::kSmbConf), before - 100);
    EXPECT_TRUE(vakotest::OtherProcessCanLock(0x76));
}

TEST(GroupSet, TheShareDatabaseIsBuiltBeforeTheGroupChanges)
{
    // smb.conf changed since the share database was built: the rename finds
    // it out of step and builds it while the old name still exists.
    sharedb::WriteFixture();
    ASSERT_NE(sharedb::Open(), nullptr);
    sharedb::WriteSmbConf(sharedb::Fixture(), vakotest::kAccountsMtime + 1);
    Group crew("crew", 65536, {"alice", "bob"});
    ASSERT_EQ(VAKOGroupSet("staff", crew.get()), 0);
    Section team = sharedb::Team();
    team.write = "@crew";
    team.valid = sharedb::HashOrder({"alice", "@crew"});
    EXPECT_EQ(vakotest::ReadFile(vakotest::kSmbConf),
              kGlobal + sharedb::Everyone().Text() + sharedb::Public().Text() + team.Text());

    // A share that cannot be read: the rename fails, smb.conf stays as it was.
    {
        sharedb::DbPtr db = sharedb::Open();
        ASSERT_NE(db, nullptr);
        ASSERT_EQ(VAKOBDbSet(db->pDb, "MEDIA", 6, "damaged", 8), 0);
    }
    const std::string conf = vakotest::ReadFile(vakotest::kSmbConf);
    vakotest::SyslogClear();
    Group crew2("crew2", 65536, {"alice"});
    EXPECT_EQ(VAKOGroupSet("crew", crew2.get()), -1);
    EXPECT_EQ(vakotest::ReadFile(vakotest::kSmbConf), conf);
    EXPECT_TRUE(vakotest::SyslogMatches("group_set:{L} VAKOShareDBCursorGet() error. vakoerr=0x4000"));
    EXPECT_TRUE(vakotest::SyslogMatches("group_set:{L} Rename group in smb.conf failed."));

    // A share database that cannot be opened: nothing is changed.
    vakotest::RemoveFile(vakotest::kShareDb);
    vakotest::RemoveFile(vakotest::kSmbConf);
    const GroupFiles groups = vakotest::ReadGroupFiles();
    Group dev("developers", 65537, {"bob"});
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOGroupSet("dev", dev.get()), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
    EXPECT_EQ(vakotest::ReadGroupFiles(), groups);
}

TEST(GroupSet, AGroupAddedRenamedAndRemovedWithTheSharesThatNameIt)
{
    sharedb::WriteFixture();
    Group qa("qa", -1, {"bob"});
    ASSERT_EQ(VAKOGroupSet(nullptr, qa.get()), 0);
    ASSERT_EQ(qa.record.gid, 65538);
    GroupFiles groups = groupdb::Fixture();
    groups.group = Replace(groups.group, "65537\\$", "65538$") + "qa:x:65538:bob\n";
    EXPECT_EQ(vakotest::ReadGroupFiles(), groups);

    // A share comes to name it.
    Section q("q", "@qa", "", "QA", "/volume1/q");
    q.read = "@qa,alice";
    q.valid = sharedb::HashOrder({"@qa", "alice"});
    sharedb::WriteSmbConf(kGlobal + q.Text(), vakotest::kAccountsMtime + 1);
    Group quality("Quality", 65538, {"bob", "alice"});
    ASSERT_EQ(VAKOGroupSet("QA", quality.get()), 0);
    groups.group = Replace(groups.group, "qa:x:65538:bob", "Quality:x:65538:bob,alice");
    EXPECT_EQ(vakotest::ReadGroupFiles(), groups);
    q.invalid = "@Quality";
    q.read = "@Quality,alice";
    q.valid = sharedb::HashOrder({"@Quality", "alice"});
    EXPECT_EQ(vakotest::ReadFile(vakotest::kSmbConf), kGlobal + q.Text());

    // Removed: the group files at once, the share lists at their next build.
    {
        ASSERT_EQ(ErrSLIBFileLock(0x76, 5), 0);
        groupdb::DbPtr db = groupdb::Open();
        ASSERT_NE(db, nullptr);
        ASSERT_EQ(VAKOGroupDBDelete(db.get(), "QUALITY", 7), 0);
        ASSERT_EQ(VAKOGroupDBDump(db.get()), 0);
        ASSERT_EQ(ErrSLIBFileUnlock(0x70), 0);
    }
    groups.group = Replace(groups.group, "Quality:x:65538:bob,alice\n", "");
    EXPECT_EQ(vakotest::ReadGroupFiles(), groups);
    vakotest::SetMtime(vakotest::kSmbConf, vakotest::kAccountsMtime + 2);
    sharedb::DbPtr db = sharedb::Open();
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(VAKOShareDBDump(db.get()), 0);
    q.invalid = "";
    q.read = "alice";
    q.valid = "alice";
    EXPECT_EQ(vakotest::ReadFile(vakotest::kSmbConf), kGlobal + q.Text());
}

TEST(GroupSet, TheCallersHoldStays)
{
    sharedb::WriteFixture();
    ASSERT_EQ(ErrSLIBFileLock(0x76, 5), 0);
    Group bad("a:b", 65550, {});
    EXPECT_EQ(VAKOGroupSet(nullptr, bad.get()), -1);
    EXPECT_EQ(VAKOGroupSet(nullptr, nullptr), -1);
    Group qa("qa", 65550, {});
    EXPECT_EQ(VAKOGroupSet(nullptr, qa.get()), 0);
    EXPECT_NE(Get("qa"), nullptr);
    EXPECT_FALSE(vakotest::OtherProcessCanLock(0x35));
    ASSERT_EQ(ErrSLIBFileUnlock(0x70), 0);
    EXPECT_TRUE(vakotest::OtherProcessCanLock(0x76));

    vakotest::OtherLockHolder holder(0x35);
    Group qb("qb", 65551, {});
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOGroupSet(nullptr, qb.get()), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0400);
}

TEST(GroupListMember, UsersStandsForEveryLocalAccount)
{
    groupdb::WriteFixture();
    vakotest::WriteFile(vakotest::kInfoDefaultsFile, "");
    const std::vector<std::string> all = {"admin", "alice", "bob", "guest"};
    EXPECT_EQ(ListMember("users"), all);
    EXPECT_EQ(ListMember("USERS"), all);
    EXPECT_EQ(ListMember("Staff"), (std::vector<std::string>{"alice", "bob"}));
    EXPECT_EQ(ListMember("root"), std::vector<std::string>{});
    SLIBErrorSet(0);
    EXPECT_EQ(ListMember("ghost"), std::vector<std::string>{"<failed>"});
    EXPECT_EQ(SLIBErrorGet(), 0x1800);
    EXPECT_STREQ(SLIBErrorGetFile(), "group_get");
    PSLIBSZLIST list = nullptr;
    EXPECT_EQ(VAKOGroupListMember(nullptr, &list), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_STREQ(SLIBErrorGetFile(), "group_list_member");
}

TEST(SmmspGroupSet, KeepsTheMailGroup)
{
    groupdb::WriteFixture();
    auto smmsp = [] { return Members(Get("smmsp").get()); };
    ASSERT_EQ(VAKOSmmspGroupSet(nullptr, "alice", 1), 0);
    EXPECT_EQ(smmsp(), (std::vector<std::string>{"admin", "alice"}));
    ASSERT_EQ(VAKOSmmspGroupSet(nullptr, "ALICE", 1), 0); // one entry of it
    EXPECT_EQ(smmsp(), (std::vector<std::string>{"admin", "alice"}));
    ASSERT_EQ(VAKOSmmspGroupSet("Alice", "bob", 2), 0);
    EXPECT_EQ(smmsp(), (std::vector<std::string>{"admin", "bob"}));
    ASSERT_EQ(VAKOSmmspGroupSet("Admin", nullptr, 3), 0);
    EXPECT_EQ(smmsp(), std::vector<std::string>{"bob"});
    EXPECT_EQ(vakotest::ReadGroupFiles().group,
              Replace(groupdb::Fixture().group, "smmsp:x:25:admin", "smmsp:x:25:bob"));

    for (const auto &[oldName, newName, op] : {std::tuple<const char *, const char *, int>{nullptr, nullptr, 1},
                                               {"a", nullptr, 2},
                                               {nullptr, "a", 3},
                                               {"a", "b", 4}}) {
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOSmmspGroupSet(oldName, newName, op), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        EXPECT_STREQ(SLIBErrorGetFile(), "group_smmsp_group_set");
    }
    // Never created here.
    GroupFiles groups = groupdb::Fixture();
    groups.group = Replace(groups.group, "smmsp:x:25:admin\n", "");
    groupdb::WriteFixture(groups);
    vakotest::SetMtime(vakotest::kGroupFile, vakotest::kAccountsMtime + 1);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOSmmspGroupSet(nullptr, "alice", 1), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x1800);
    EXPECT_EQ(vakotest::ReadGroupFiles(), groups);
}

} // namespace
