#include "vako/user_list.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <regex>
#include <string>
#include <vector>

#include "slib/error.h"
#include "slib/szhash.h"
#include "slib/szlist.h"
#include "vakotest/accounts.h"
#include "vakotest/files.h"
#include "vakotest/paths.h"
#include "vakotest/sharedb.h"

using sharedb::kGlobal;
using sharedb::Section;
using vakotest::AccountFiles;
using vakotest::GroupFiles;

namespace {

// A comma list validated against the fixture's databases; "<failed>" and
// the code when it fails.
std::string Valid2(const char *list, bool withGroups = true)
{
    groupdb::DbPtr groups(withGroups ? VAKOGroupDBOpen() : nullptr);
    userdb::DbPtr users(VAKOUserDBOpen());
    char *out = nullptr;
    int cb = 0;
    int r = VAKOUserGetValidUserList2(list, &out, &cb, groups.get(), users.get());
    std::string text = r == 0 ? std::string(out) : "<failed>";
    free(out);
    return text;
}

std::string Valid(std::vector<std::string> names)
{
    std::vector<char *> array;
    for (std::string &n : names)
        array.push_back(n.data());
    array.push_back(nullptr);
    char *out = nullptr;
    int cb = 0;
    int r = VAKOUserGetValidUserList(array.data(), &out, &cb);
    std::string text = r == 0 ? std::string(out) : "<failed>";
    free(out);
    return text;
}

void DomainMember(bool member)
{
    vakotest::WriteFile(vakotest::kSmbConf,
                        std::string("[global]\nworkgroup=CORP\nsecurity=") + (member ? "domain" : "user") + "\n");
    vakotest::WriteFile(vakotest::kInfoFile, "runsamba=\"yes\"\n");
}

// The rename map: upper-cased old name -> new name.
struct Map {
    PSLIBSZHASH hash = SLIBSzHashAlloc(512);
    Map(std::initializer_list<std::pair<const char *, const char *>> pairs)
    {
        for (const auto &[from, to] : pairs)
            SLIBSzHashSetValue(&hash, from, to);
    }
    ~Map() { SLIBSzHashFree(hash); }
    Map(const Map &) = delete;
    Map &operator=(const Map &) = delete;
};

// The account files of the user fixture with every "alice" renamed.
AccountFiles Renamed(const std::string &to)
{
    AccountFiles f = userdb::Fixture();
    for (std::string *text : {&f.passwd, &f.shadow, &f.vakouserConf, &f.smbpasswd})
        *text = std::regex_replace(*text, std::regex("alice"), to);
    return f;
}

TEST(UserValidList, CanonicalNames)
{
    groupdb::WriteFixture();
    EXPECT_EQ(Valid({"ALICE", "alice", "nobody", "bob", "NoBody", "ghost", ""}), "alice,bob");
    EXPECT_EQ(Valid({}), "");
    SLIBErrorSet(0);
    EXPECT_EQ(Valid({"alice", "@staff"}), "<failed>");
    EXPECT_EQ(SLIBErrorGet(), 0x4000);
    // Names that can be no key name no account: passed over, the rest kept.
    EXPECT_EQ(Valid({std::string(600, 'a'), "bob", "b\xff", "alice"}), "bob,alice");

    EXPECT_EQ(Valid2("Bob,@STAFF,@ghost,,alice,@Staff,@dev"), "bob,@staff,alice,@dev");
    SLIBErrorSet(0);
    EXPECT_EQ(Valid2("alice,@staff", false), "<failed>");
    EXPECT_EQ(SLIBErrorGet(), 0x4000);
    // The caller's buffer is reused and grown.
    userdb::DbPtr users(VAKOUserDBOpen());
    char *out = static_cast<char *>(malloc(2));
    int cb = 2;
    ASSERT_EQ(VAKOUserGetValidUserList2("alice,bob", &out, &cb, nullptr, users.get()), 0);
    EXPECT_STREQ(out, "alice,bob");
    ASSERT_EQ(VAKOUserGetValidUserList2("", &out, &cb, nullptr, users.get()), 0);
    EXPECT_STREQ(out, "");
    free(out);
}

TEST(UserValidList, DomainNames)
{
    DomainMember(true);
    vakotest::WriteFile(vakotest::kDomainUserFile, "CORP\\a:1\n");
    vakotest::WriteFile(vakotest::kDomainGroupFile, "CORP\\g:1\n");
    groupdb::WriteFixture();
    // Loaded just now: looked up.
    EXPECT_EQ(Valid2("CORP\\A,CORP\\x,@corp\\G,@CORP\\h"), "CORP\\a,@CORP\\g");
    // Stale domain records: taken as given.
    {
        userdb::DbPtr users(VAKOUserDBOpen());
        groupdb::DbPtr groups(VAKOGroupDBOpen());
        int32_t old = static_cast<int32_t>(time(nullptr) - 400);
        ASSERT_EQ(VAKOBDbWordSet(users->pPWDName, "#VAKO@EXPIRE@TIME", 17, old), 0);
        ASSERT_EQ(VAKOBDbWordSet(groups->pGRPName, "#VAKO@EXPIRE@TIME", 17, old), 0);
    }
    EXPECT_EQ(Valid2("CORP\\A,CORP\\x,@CORP\\h,alice"), "CORP\\A,CORP\\x,@CORP\\h,alice");
    // Not a domain member: no domain names at all.
    DomainMember(false);
    EXPECT_EQ(Valid2("CORP\\a,alice,@CORP\\g"), "alice");
}

TEST(UserModifyListConfig, TheRenameMap)
{
    Map map{{"ALICE", "alice2"}, {"BOB", ""}};
    const struct {
        const char *list;
        int result;
        const char *out;
    } cases[] = {
        {"alice,bob,carol", 1, "alice2,carol"},
        {"bob", 1, ""},
        {"Bob,,ALICE", 1, "alice2"},
        {"carol,@alice", 0, "carol,@alice"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.list);
        char *out = nullptr;
        int cb = 0;
        EXPECT_EQ(VAKOUserModifyListConfig(c.list, &out, &cb, map.hash), c.result);
        EXPECT_STREQ(out, c.out);
        if (c.result == 1)
            free(out);
        else
            EXPECT_EQ(out, c.list); // the list itself
    }
    char *out = nullptr;
    int cb = 0;
    EXPECT_EQ(VAKOUserModifyListConfig("", &out, &cb, map.hash), 0);
    EXPECT_EQ(cb, 1);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOUserModifyListConfig("a", &out, &cb, nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
}

TEST(UserModifySmbConf, RenamesAndRemovalsInEveryShare)
{
    Section a("a", "bob", "", "", "/volume1/a");
    a.read = "alice,carol";
    a.valid = "alice";
    Section b("b", "", "", "", "/volume1/b");
    b.write = "bob,@staff,alice";
    Section c("c", "", "", "", "/volume1/c");
    const std::string before = std::string(kGlobal) + a.Text() + b.Text() + c.Text();
    ASSERT_NE(sharedb::OpenFixture(before), nullptr); // built while alice and bob are accounts
    // The accounts as the user set leaves them: alice renamed, bob removed.
    vakotest::WriteAccountFiles(Renamed("Alice2"), vakotest::kAccountsMtime + 1);
    Map map{{"ALICE", "Alice2"}, {"BOB", ""}};
    ASSERT_EQ(VAKOUserModifySmbConf(map.hash), 0);
    a.invalid = "";
    a.read = "Alice2";
    a.valid = "Alice2";
    b.write = "@staff,Alice2";
    b.valid = sharedb::HashOrder({"@staff", "Alice2"});
    EXPECT_EQ(vakotest::ReadFile(vakotest::kSmbConf), std::string(kGlobal) + a.Text() + b.Text() + c.Text());
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOUserModifySmbConf(nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
}

TEST(UserModifyGroup, RenamesAndRemovalsInEveryGroup)
{
    GroupFiles groups = groupdb::Fixture();
    // Members of "users" are never consulted: its record stays as it is.
    groups.group = std::regex_replace(groups.group, std::regex("users:x:100:\n"), "users:x:100:alice\n");
    groupdb::WriteFixture(groups);
    ASSERT_NE(groupdb::Open(), nullptr); // built while alice is an account
    vakotest::WriteAccountFiles(Renamed("Alice2"), vakotest::kAccountsMtime + 1);
    Map map{{"ALICE", "Alice2"}, {"ADMIN", "root2"}, {"BOB", ""}};
    ASSERT_EQ(VAKOUserModifyGroup(map.hash), 0);
    // root2 is no account: the system group loses its member.
    GroupFiles expected = groups;
    expected.group = std::regex_replace(expected.group, std::regex("smmsp:x:25:admin"), "smmsp:x:25:");
    expected.group = std::regex_replace(expected.group, std::regex("staff:x:65536:alice,bob"), "staff:x:65536:Alice2");
    expected.group = std::regex_replace(expected.group, std::regex("dev:x:65537:bob"), "dev:x:65537:");
    EXPECT_EQ(vakotest::ReadGroupFiles(), expected);
}

TEST(UserPushDUserUsed, DomainAccountsNamedInWriteLists)
{
    DomainMember(true);
    vakotest::WriteFile(vakotest::kDomainUserFile, "CORP\\a:1\nCORP\\b:2\nCORP\\c:3\n");
    vakotest::WriteFile(vakotest::kDomainGroupFile, "CORP\\domain users:513\n");
    GroupFiles groups = groupdb::Fixture();
    groups.group += "mixed:x:65540:CORP\\c,alice\n";
    groupdb::WriteFixture(groups);
    std::string global = "[global]\n\tworkgroup=CORP\n\tsecurity=domain\n";
    Section x("x", "", "", "", "/volume1/x");
    x.write = "CORP\\b,alice,@mixed,CORP\\b";
    sharedb::WriteSmbConf(global + x.Text());
    PSLIBSZLIST list = PslSLIBSzListAlloc(512);
    SLIBSzListPush(&list, "first");
    EXPECT_EQ(VAKOUserPushDUserUsed(&list), 2);
    ASSERT_EQ(list->nItem, 3);
    EXPECT_STREQ(SLIBSzListGet(list, 1), "CORP\\b");
    EXPECT_STREQ(SLIBSzListGet(list, 2), "CORP\\c");
    SLIBSzListFree(list);

    // The group of all domain accounts: every loaded one, each once.
    vakotest::RemoveFile(vakotest::kShareDb);
    x.write = "@CORP\\domain users,CORP\\a";
    sharedb::WriteSmbConf(global + x.Text(), vakotest::kAccountsMtime + 1);
    list = PslSLIBSzListAlloc(512);
    EXPECT_EQ(VAKOUserPushDUserUsed(&list), 3);
    ASSERT_EQ(list->nItem, 3);
    EXPECT_STREQ(SLIBSzListGet(list, 0), "CORP\\a");
    EXPECT_STREQ(SLIBSzListGet(list, 2), "CORP\\c");
    SLIBSzListFree(list);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOUserPushDUserUsed(nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
}

} // namespace
