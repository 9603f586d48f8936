#include "vako/group.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "slib/error.h"
#include "vakotest/groupdb.h"

using groupdb::Group;
using groupdb::GroupPtr;
using groupdb::Members;

namespace {

GroupPtr Unpack(const char *line)
{
    PVAKOGROUP g = nullptr;
    if (VAKOGroupDBUnpack(line, &g) != 0) {
        VAKOGroupFree(g);
        return nullptr;
    }
    return GroupPtr(g);
}

std::string Pack(VAKOGROUP *g)
{
    struct group gr;
    EXPECT_EQ(VAKOGroupToUnixGroup(g, &gr), 0);
    char *buf = nullptr;
    int cb = 0;
    int n = VAKOGroupDBPackFromUnix(&gr, &buf, &cb);
    std::string line = n > 0 ? std::string(buf) : "<failed>";
    if (n > 0) {
        EXPECT_EQ(n, static_cast<int>(line.size()) + 1);
    }
    free(buf);
    return line;
}

TEST(GroupUnpack, LinesOfTheGroupFile)
{
    GroupPtr users = Unpack("users:x:100:");
    ASSERT_NE(users, nullptr);
    EXPECT_STREQ(users->szName, "users");
    EXPECT_EQ(users->gid, 100);
    EXPECT_EQ(users->type, 1);
    EXPECT_TRUE(Members(users.get()).empty());

    // "nobody" and the empty member are left out; duplicates stay.
    GroupPtr g = Unpack("staff:secret:65536:bob,nobody,,alice,bob");
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(Members(g.get()), (std::vector<std::string>{"bob", "alice", "bob"}));
    EXPECT_EQ(g->gid, 65536);

    GroupPtr word = Unpack("odd:x:abc:Nobody");
    ASSERT_NE(word, nullptr);
    EXPECT_EQ(word->gid, 0);                                            // as atoi reads it
    EXPECT_EQ(Members(word.get()), std::vector<std::string>{"Nobody"}); // only the exact "nobody" goes

    GroupPtr domain = Unpack("CORP\\Domain Users:x:-1:");
    ASSERT_NE(domain, nullptr);
    EXPECT_EQ(domain->gid, -1);
    EXPECT_EQ(domain->type, 2);
}

TEST(GroupUnpack, MalformedLines)
{
    const struct {
        const char *line;
        int code;
    } cases[] = {
        {"staff:x:65536", 0x4000},
        {"staff:x:65536:a:b", 0x4000},
        {"", 0x4000},
        {":x:65536:a", 0x1600},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        SLIBErrorSet(0);
        EXPECT_EQ(Unpack(c.line), nullptr);
        EXPECT_EQ(SLIBErrorGet(), c.code);
        EXPECT_STREQ(SLIBErrorGetFile(), "group_db_unpack");
        EXPECT_EQ(VAKOGroupAlloc(c.line), nullptr);
        EXPECT_EQ(SLIBErrorGet(), c.code);
        EXPECT_STREQ(SLIBErrorGetFile(), "group_db_unpack");
    }
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOGroupAlloc(nullptr), nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_STREQ(SLIBErrorGetFile(), "group_alloc");
    PVAKOGROUP none = nullptr;
    EXPECT_EQ(VAKOGroupDBUnpack(nullptr, &none), -1);
    EXPECT_STREQ(SLIBErrorGetFile(), "group_db_unpack");
}

TEST(GroupAlloc2, LayoutOfTheBlock)
{
    char name[] = "staff", a[] = "alice", b[] = "bob", nobody[] = "nobody";
    char *members[] = {a, nobody, b, nullptr};
    PVAKOGROUP g = nullptr;
    ASSERT_EQ(VAKOGroupAlloc2(&g, name, 65536, members), 0);
    GroupPtr owner(g);
    char *base = reinterpret_cast<char *>(g);
    // The pointer array right after the header, then the name and the members.
    EXPECT_EQ(reinterpret_cast<char *>(g->ppMembers), base + sizeof(VAKOGROUP));
    EXPECT_EQ(g->szName, base + sizeof(VAKOGROUP) + 3 * sizeof(char *));
    EXPECT_EQ(g->ppMembers[0], g->szName + 6);
    EXPECT_EQ(g->ppMembers[1], g->ppMembers[0] + 6);
    EXPECT_EQ(g->ppMembers[2], nullptr);
    EXPECT_EQ(g->cbAlloc, static_cast<int>(sizeof(VAKOGROUP) + 3 * sizeof(char *) + 6 + 6 + 4));
    EXPECT_STREQ(g->ppMembers[1], "bob");

    // A larger block is reused and keeps its size; a smaller one grows.
    int size = g->cbAlloc;
    char small[] = "x";
    char *none[] = {nullptr};
    ASSERT_EQ(VAKOGroupAlloc2(&g, small, 7, none), 0);
    owner.release();
    owner.reset(g);
    EXPECT_EQ(g->cbAlloc, size);
    EXPECT_STREQ(g->szName, "x");
    EXPECT_EQ(g->ppMembers[0], nullptr);
    std::string longName(200, 'n');
    ASSERT_EQ(VAKOGroupAlloc2(&g, longName.data(), 7, members), 0);
    owner.release();
    owner.reset(g);
    EXPECT_GT(g->cbAlloc, size);
    EXPECT_EQ(longName, g->szName);
}

TEST(GroupAlloc2, RefusesStringsOfTheBlockItRefills)
{
    GroupPtr g = Unpack("staff:x:65536:alice,bob");
    ASSERT_NE(g, nullptr);
    PVAKOGROUP p = g.release();
    char *none[] = {nullptr};
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOGroupAlloc2(&p, p->ppMembers[1], 1, none), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_STREQ(SLIBErrorGetFile(), "group_alloc");
    EXPECT_EQ(VAKOGroupAlloc2(&p, "other", 1, p->ppMembers), -1);
    g.reset(p);
    EXPECT_STREQ(g->szName, "staff");
    EXPECT_EQ(Members(g.get()), (std::vector<std::string>{"alice", "bob"}));

    // A record that the caller filled is no block to refill.
    Group header("staff", 1, {"alice"});
    p = header.get();
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOGroupAlloc2(&p, "x", 1, none), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(p, header.get());

    EXPECT_EQ(VAKOGroupAlloc2(nullptr, "x", 1, none), -1);
    p = nullptr;
    EXPECT_EQ(VAKOGroupAlloc2(&p, nullptr, 1, none), -1);
    EXPECT_EQ(VAKOGroupAlloc2(&p, "x", 1, nullptr), -1);
    EXPECT_EQ(p, nullptr);
}

TEST(GroupToUnixGroup, PointsIntoTheRecord)
{
    Group g("staff", 65536, {"alice"});
    struct group gr;
    ASSERT_EQ(VAKOGroupToUnixGroup(g.get(), &gr), 0);
    EXPECT_EQ(gr.gr_name, g.record.szName);
    EXPECT_STREQ(gr.gr_passwd, "x");
    EXPECT_EQ(gr.gr_gid, 65536u);
    EXPECT_EQ(gr.gr_mem, g.record.ppMembers);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOGroupToUnixGroup(nullptr, &gr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_STREQ(SLIBErrorGetFile(), "group_to_unix_group");
}

TEST(GroupPack, MembersAreValidatedAgainstTheAccounts)
{
    groupdb::WriteFixture();
    const struct {
        const char *what;
        std::vector<std::string> members;
        std::string line;
    } cases[] = {
        {"as stored, once", {"ALICE", "bob", "Alice", "nobody", "NOBODY"}, "staff:x:65536:alice,bob"},
        {"no accounts", {"nobody", "ghost", ""}, "staff:x:65536:"},
        {"none", {}, "staff:x:65536:"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Group g("staff", 65536, c.members);
        EXPECT_EQ(Pack(g.get()), c.line);
    }
    Group domain("CORP\\g", -1, {});
    EXPECT_EQ(Pack(domain.get()), "CORP\\g:x:-1:");

    // A member that is a group, a name that would make fields or lines.
    const struct {
        const char *name;
        std::vector<std::string> members;
        int code;
    } bad[] = {
        {"staff", {"alice", "@dev"}, 0x4000}, {"a:b", {}, 0x1600}, {"a\nroot:x:0:", {}, 0x1600}, {"", {}, 0x1600}};
    for (const auto &c : bad) {
        SCOPED_TRACE(c.name);
        Group g(c.name, 65536, c.members);
        SLIBErrorSet(0);
        EXPECT_EQ(Pack(g.get()), "<failed>");
        EXPECT_EQ(SLIBErrorGet(), c.code);
    }
}

TEST(GroupPack, GrowsTheCallersBufferAndNeverCutsTheLine)
{
    groupdb::WriteFixture();
    Group g("staff", 65536, {"alice", "bob"});
    struct group gr;
    ASSERT_EQ(VAKOGroupToUnixGroup(g.get(), &gr), 0);
    char *buf = static_cast<char *>(malloc(4));
    int cb = 4;
    EXPECT_EQ(VAKOGroupDBPackFromUnix(&gr, &buf, &cb), 24);
    EXPECT_STREQ(buf, "staff:x:65536:alice,bob");
    EXPECT_GE(cb, 24);
    gr.gr_mem = nullptr; // no members
    EXPECT_EQ(VAKOGroupDBPackFromUnix(&gr, &buf, &cb), 15);
    EXPECT_STREQ(buf, "staff:x:65536:");
    free(buf);
    // A buffer pointer without its size.
    char stack[8];
    char *p = stack;
    int zero = 0;
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOGroupDBPackFromUnix(&gr, &p, &zero), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_STREQ(SLIBErrorGetFile(), "group_db_pack");
}

TEST(GroupIsValidName, TheNameRule)
{
    const struct {
        std::string name;
        int valid;
    } cases[] = {
        {"staff", 1},
        {"two words", 1},
        {"a.b-c_d", 1},
        {"fifteen_chars15", 1},
        {"sixteen_chars_16", 0},
        {"", 0},
        {" lead", 0},
        {"-lead", 0},
        {"trail ", 0},
        {"a/b", 0},
        {"a\\b", 0},
        {"a:b", 0},
        {"a,b", 0},
        {"a@b", 0},
        // 15 two-byte letters, then 16.
        {"ééééééééééééééé", 1},
        {"éééééééééééééééé", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(VAKOGroupIsValidName(c.name.c_str()), c.valid);
    }
    EXPECT_EQ(VAKOGroupIsValidName(nullptr), 0);
}

} // namespace
