#include "slib/szlist.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "slib/error.h"
#include "vakotest/bigmem.h"

namespace {

using Items = std::vector<std::string>;

// Owns a list and checks the layout invariant after each step.
class List {
public:
    explicit List(int cb = 0) : l_(PslSLIBSzListAlloc(cb)) {}
    List(const Items &items, int type) : l_(PslSLIBSzListAlloc(0))
    {
        for (const auto &s : items)
            EXPECT_GE(SLIBSzListPush(&l_, s.c_str()), 0);
        SLIBSzListSort(l_, type);
    }
    ~List() { SLIBSzListFree(l_); }
    List(const List &) = delete;
    List &operator=(const List &) = delete;

    PSLIBSZLIST get() const { return l_; }
    PSLIBSZLIST *addr() { return &l_; }
    PSLIBSZLIST operator->() const { return l_; }

    Items items() const
    {
        Items out;
        for (int i = 0; i < l_->nItem; i++)
            out.emplace_back(SLIBSzListGet(l_, i));
        return out;
    }
    bool hole(int i) const { return l_->pszItem[i] == l_->pszEmpty; }

private:
    PSLIBSZLIST l_;
};

// cbFree = (pszTop - start) - header - 4 x nItem, and the last byte is NUL.
void ExpectLayout(PSLIBSZLIST l)
{
    EXPECT_EQ(l->cbFree, static_cast<int>(l->pszTop) - 24 - 4 * l->nItem);
    EXPECT_EQ(l->pszEmpty, static_cast<unsigned>(l->cbSize - 1));
    EXPECT_EQ(reinterpret_cast<char *>(l)[l->cbSize - 1], '\0');
}

TEST(SzList, AllocSizes)
{
    struct {
        int cb, size, free;
    } cases[] = {{0, 512, 488}, {100, 512, 488}, {-5, 512, 488}, {512, 512, 488}, {1000, 1000, 976}};
    for (auto c : cases) {
        List l(c.cb);
        ASSERT_NE(l.get(), nullptr);
        EXPECT_EQ(l->cbSize, c.size) << c.cb;
        EXPECT_EQ(l->cbFree, c.free) << c.cb;
        EXPECT_EQ(l->nItem, 0);
        EXPECT_EQ(l->type, 0);
        EXPECT_EQ(sizeof(SLIBSZLIST), 24u);
        ExpectLayout(l.get());
    }
}

TEST(SzList, PushCostsStringAndOneSlot)
{
    List l;
    EXPECT_EQ(SLIBSzListPush(l.addr(), "abc"), 0);
    EXPECT_EQ(l->cbFree, 480);
    // The first string ends on the block's last byte.
    EXPECT_EQ(SLIBSzListGet(l.get(), 0), reinterpret_cast<char *>(l.get()) + 512 - 4);
    EXPECT_EQ(SLIBSzListPush(l.addr(), ""), 1);
    EXPECT_EQ(l->cbFree, 475);
    EXPECT_FALSE(l.hole(1)); // a stored empty string is not a hole
    EXPECT_EQ(SLIBSzListInsertHead(l.addr(), "z"), 0);
    EXPECT_EQ(l.items(), (Items{"z", "abc", ""}));
    EXPECT_EQ(l->cbFree, 469);
    ExpectLayout(l.get());
}

TEST(SzList, InsertPastEndMakesHoles)
{
    List l;
    EXPECT_EQ(SLIBSzListInsert(l.addr(), 5, "x"), 5);
    EXPECT_EQ(l->nItem, 6);
    EXPECT_EQ(l->cbFree, 488 - 2 - 4 * 6);
    for (int i = 0; i < 5; i++) {
        EXPECT_TRUE(l.hole(i));
        EXPECT_STREQ(SLIBSzListGet(l.get(), i), "");
    }
    EXPECT_EQ(SLIBSzListFind(l.get(), ""), -1);
    EXPECT_EQ(SLIBSzListFind(l.get(), "x"), 5);
    SLIBSzListSort(l.get(), 1);
    EXPECT_EQ(l.items(), (Items{"x"}));
    EXPECT_EQ(l->cbFree, 488 - 2 - 4);
    ExpectLayout(l.get());
}

// A stored empty string is an item like any other, also where it is the
// first string of the block: found, kept by compaction, sorting, growth and
// union, never read as a hole.
TEST(SzList, AnEmptyStringIsAnItemWhereverItStands)
{
    List first;
    EXPECT_EQ(SLIBSzListPush(first.addr(), ""), 0);
    EXPECT_FALSE(first.hole(0));
    // Its own byte beside the shared one.
    EXPECT_EQ(first->cbFree, 488 - 2 - 4);
    EXPECT_EQ(SLIBSzListFind(first.get(), ""), 0);
    EXPECT_EQ(SLIBSzListCaseFind(first.get(), ""), 0);
    ExpectLayout(first.get());

    struct Case {
        const char *what;
        std::function<void(List &)> make;
        Items items;
    } cases[] = {
        {"compacted",
         [](List &l) {
             SLIBSzListPush(l.addr(), "");
             SLIBSzListCompact(l.get());
         },
         {""}},
        {"after holes",
         [](List &l) {
             SLIBSzListInsert(l.addr(), 2, "");
             SLIBSzListCompact(l.get());
         },
         {""}},
        {"sorted",
         [](List &l) {
             SLIBSzListPush(l.addr(), "");
             SLIBSzListPush(l.addr(), "b");
             SLIBSzListSort(l.get(), 1);
         },
         {"", "b"}},
        {"sorted caselessly",
         [](List &l) {
             SLIBSzListPush(l.addr(), "");
             SLIBSzListPush(l.addr(), "B");
             SLIBSzListSort(l.get(), 0x10);
         },
         {"", "B"}},
        {"expanded",
         [](List &l) {
             SLIBSzListPush(l.addr(), "");
             PSLIBSZLIST n = SLIBSzListExpand(l.get());
             ASSERT_NE(n, nullptr);
             *l.addr() = n;
             SLIBSzListCompact(l.get());
         },
         {""}},
        {"grown by a long push",
         [](List &l) {
             SLIBSzListPush(l.addr(), "");
             SLIBSzListPush(l.addr(), std::string(600, 'g').c_str());
             SLIBSzListCompact(l.get());
         },
         {"", std::string(600, 'g')}},
        {"emptied and pushed again",
         [](List &l) {
             SLIBSzListPush(l.addr(), "x");
             SLIBSzListRemoveAll(l.get());
             SLIBSzListPush(l.addr(), "");
         },
         {""}},
        {"set over a hole",
         [](List &l) {
             SLIBSzListInsert(l.addr(), 1, "x");
             EXPECT_EQ(SLIBSzListSet(l.addr(), 0, ""), 0);
             SLIBSzListCompact(l.get());
         },
         {"", "x"}},
        {"a union's first list",
         [](List &l) {
             SLIBSzListPush(l.addr(), "");
             List src({"b"}, 0);
             ASSERT_NE(PslSLIBSzListOr(l.addr(), src.get(), 0), nullptr);
         },
         {"", "b"}},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.what);
        List l;
        c.make(l);
        EXPECT_EQ(l.items(), c.items);
        EXPECT_GE(l->type == 0x10 ? SLIBSzListCaseFind(l.get(), "") : SLIBSzListFind(l.get(), ""), 0);
        for (int i = 0; i < l->nItem; i++)
            EXPECT_FALSE(l.hole(i)) << i;
        ExpectLayout(l.get());
        EXPECT_EQ(SLIBSzListCheck(l.get(), l->cbSize), 1);
    }
}

// A set that fails changes nothing; one that succeeds reports where its
// string stands.
TEST(SzList, AFailingSetChangesNothing)
{
    List c({"alpha", "beta"}, 0x10);
    int free0 = c->cbFree;
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBSzListSet(c.addr(), 0, "\xff\xfe"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x8000);
    EXPECT_EQ(c.items(), (Items{"alpha", "beta"}));
    EXPECT_EQ(c->cbFree, free0);

    // An item that cannot be ordered does not make a done set fail.
    ASSERT_GE(SLIBSzListInsert(c.addr(), 0, "\xff"), 0);
    int at = SLIBSzListSet(c.addr(), 1, "gamma-and-more");
    ASSERT_GE(at, 0);
    EXPECT_STREQ(SLIBSzListGet(c.get(), at), "gamma-and-more");
    ExpectLayout(c.get());
}

TEST(SzList, CompactDropsHolesKeepingOrder)
{
    List l;
    SLIBSzListInsert(l.addr(), 1, "a");
    SLIBSzListInsert(l.addr(), 3, "b");
    int before = l->cbFree;
    SLIBSzListCompact(l.get());
    EXPECT_EQ(l.items(), (Items{"a", "b"}));
    EXPECT_EQ(l->cbFree, before + 8);
    ExpectLayout(l.get());
}

TEST(SzList, SortedInsertPlacesBeforeEqual)
{
    List l({"a", "b", "c"}, 1);
    // idx is ignored for a sorted list, but must not be negative.
    EXPECT_EQ(SLIBSzListInsert(l.addr(), 99, "b"), 1);
    // The new "b" is the string just stored (lowest in the string area).
    EXPECT_EQ(SLIBSzListGet(l.get(), 1), reinterpret_cast<char *>(l.get()) + l->pszTop);
    EXPECT_EQ(SLIBSzListInsert(l.addr(), 0, "0"), 0);
    EXPECT_EQ(SLIBSzListPush(l.addr(), "bb"), 4);
    EXPECT_EQ(l.items(), (Items{"0", "a", "b", "b", "bb", "c"}));
    EXPECT_EQ(SLIBSzListInsert(l.addr(), -1, "d"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(l->nItem, 6);
}

TEST(SzList, BadArguments)
{
    List l({"x"}, 0);
    PSLIBSZLIST none = nullptr;
    struct {
        const char *what;
        bool failed;
    } cases[] = {
        {"get null", SLIBSzListGet(nullptr, 0) == nullptr},
        {"get -1", SLIBSzListGet(l.get(), -1) == nullptr},
        {"get nItem", SLIBSzListGet(l.get(), 1) == nullptr},
        {"insert null pp", SLIBSzListInsert(nullptr, 0, "a") == -1},
        {"insert null list", SLIBSzListInsert(&none, 0, "a") == -1},
        {"insert null s", SLIBSzListInsert(l.addr(), 0, nullptr) == -1},
        {"push null pp", SLIBSzListPush(nullptr, "a") == -1},
        {"push null s", SLIBSzListPush(l.addr(), nullptr) == -1},
        {"head null s", SLIBSzListInsertHead(l.addr(), nullptr) == -1},
        {"remove null", SzSLIBSzListRemove(nullptr, 0) == nullptr},
        {"remove 1", SzSLIBSzListRemove(l.get(), 1) == nullptr},
        {"remove head null", SzSLIBSzListRemoveHead(nullptr) == nullptr},
        {"remove tail null", SzSLIBSzListRemoveTail(nullptr) == nullptr},
        {"set null pp", SLIBSzListSet(nullptr, 0, "a") == -1},
        {"set null s", SLIBSzListSet(l.addr(), 0, nullptr) == -1},
        {"set -1", SLIBSzListSet(l.addr(), -1, "a") == -1},
        {"set nItem", SLIBSzListSet(l.addr(), 1, "a") == -1},
        {"find null", SLIBSzListFind(nullptr, "a") == -1},
        {"find null s", SLIBSzListFind(l.get(), nullptr) == -1},
        {"casefind null", SLIBSzListCaseFind(nullptr, "a") == -1},
        {"expand null", SLIBSzListExpand(nullptr) == nullptr},
        {"or null pp", PslSLIBSzListOr(nullptr, l.get(), 0) == nullptr},
        {"or null src", PslSLIBSzListOr(l.addr(), nullptr, 0) == nullptr},
    };
    for (auto &c : cases) {
        EXPECT_TRUE(c.failed) << c.what;
    }
    // Each refusal records 0x0D00 under the operation's own source name.
    const std::pair<const char *, std::function<void()>> named[] = {
        {"sz_list_get", [&] { SLIBSzListGet(l.get(), 7); }},
        {"sz_list_insert", [&] { SLIBSzListInsert(l.addr(), -1, "a"); }},
        {"sz_list_push", [&] { SLIBSzListPush(nullptr, "a"); }},
        {"sz_list_insert_head", [&] { SLIBSzListInsertHead(nullptr, "a"); }},
        {"sz_list_remove", [&] { SzSLIBSzListRemove(l.get(), 1); }},
        {"sz_list_remove_head", [&] { SzSLIBSzListRemoveHead(nullptr); }},
        {"sz_list_remove_tail", [&] { SzSLIBSzListRemoveTail(nullptr); }},
        {"sz_list_set", [&] { SLIBSzListSet(l.addr(), 1, "a"); }},
        {"sz_list_find", [&] { SLIBSzListFind(nullptr, "a"); }},
        {"sz_list_case_find", [&] { SLIBSzListCaseFind(nullptr, "a"); }},
        {"sz_list_binary_search", [&] { SLIBSzListBinarySearch(nullptr, 0, 0, "a", 0); }},
        {"sz_list_expand", [&] { SLIBSzListExpand(nullptr); }},
        {"sz_list_or", [&] { PslSLIBSzListOr(nullptr, l.get(), 0); }},
    };
    for (auto &[src, call] : named) {
        SLIBErrorSet(0);
        call();
        EXPECT_EQ(SLIBErrorGet(), 0x0D00) << src;
        EXPECT_STREQ(SLIBErrorGetFile(), src);
    }
    EXPECT_EQ(l.items(), (Items{"x"}));
    // NULL is ignored by the void operations.
    SLIBSzListFree(nullptr);
    SLIBSzListRemoveAll(nullptr);
    SLIBSzListSort(nullptr, 1);
    SLIBSzListCompact(nullptr);
}

TEST(SzList, GrowthDoublesUntilItFitsAndRepacks)
{
    List l;
    SLIBSzListPush(l.addr(), "dead-string");
    SLIBSzListPush(l.addr(), "keep");
    SLIBSzListInsert(l.addr(), 3, "h"); // item 2 is a hole
    SzSLIBSzListRemove(l.get(), 0);     // 12 dead bytes
    PSLIBSZLIST old = l.get();
    std::string big(3000, 'q');
    EXPECT_EQ(SLIBSzListPush(l.addr(), big.c_str()), 3);
    EXPECT_NE(l.get(), old);
    // 512 -> 1024 -> 2048 -> 4096: the re-pack keeps "keep", the hole and
    // "h", drops the removed string.
    EXPECT_EQ(l->cbSize, 4096);
    EXPECT_EQ(l->cbFree, 4096 - 24 - 4 * 4 - 5 - 2 - 3001);
    EXPECT_EQ(l.items(), (Items{"keep", "", "h", big}));
    EXPECT_TRUE(l.hole(1));
    ExpectLayout(l.get());
}

TEST(SzList, ExpandRepacksInIndexOrder)
{
    List l;
    SLIBSzListPush(l.addr(), "one");
    SLIBSzListPush(l.addr(), "two");
    SLIBSzListInsert(l.addr(), 3, "three");
    SLIBSzListSet(l.addr(), 0, "longer one"); // leaves "one" dead
    PSLIBSZLIST n = SLIBSzListExpand(l.get());
    ASSERT_NE(n, nullptr);
    *l.addr() = n;
    EXPECT_EQ(n->cbSize, 1024);
    EXPECT_EQ(n->cbFree, 1024 - 24 - 16 - 11 - 4 - 6);
    // Item 0 is highest in the block.
    char *base = reinterpret_cast<char *>(n);
    EXPECT_EQ(SLIBSzListGet(n, 0), base + 1024 - 11);
    EXPECT_EQ(SLIBSzListGet(n, 1), base + 1024 - 15);
    EXPECT_TRUE(l.hole(2));
    EXPECT_EQ(l.items(), (Items{"longer one", "two", "", "three"}));
    ExpectLayout(n);
}

TEST(SzList, RemoveGivesBackOnlyTheSlot)
{
    List l({"x", "y"}, 0);
    int before = l->cbFree;
    char *sz = SzSLIBSzListRemove(l.get(), 0);
    EXPECT_STREQ(sz, "x");
    EXPECT_EQ(l.items(), (Items{"y"}));
    EXPECT_EQ(l->cbFree, before + 4);
    SLIBSzListPush(l.addr(), "z");
    SLIBSzListPush(l.addr(), "w");
    EXPECT_STREQ(SzSLIBSzListRemoveHead(l.get()), "y");
    EXPECT_STREQ(SzSLIBSzListRemoveTail(l.get()), "w");
    EXPECT_EQ(l.items(), (Items{"z"}));
    EXPECT_STREQ(SzSLIBSzListRemoveTail(l.get()), "z");
    SLIBErrorSet(0);
    EXPECT_EQ(SzSLIBSzListRemoveTail(l.get()), nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(SzSLIBSzListRemoveHead(l.get()), nullptr);
    ExpectLayout(l.get());
}

TEST(SzList, RemoveAllKeepsTypeAndSize)
{
    List l({"b", "a"}, 1);
    SLIBSzListRemoveAll(l.get());
    EXPECT_EQ(l->nItem, 0);
    EXPECT_EQ(l->cbFree, 488);
    EXPECT_EQ(l->pszTop, 512u);
    EXPECT_EQ(l->type, 1);
    EXPECT_EQ(SLIBSzListPush(l.addr(), "q"), 0);
    EXPECT_EQ(SLIBSzListGet(l.get(), 0), reinterpret_cast<char *>(l.get()) + 510);
    ExpectLayout(l.get());
}

TEST(SzList, SetInPlaceOrAnew)
{
    List l;
    SLIBSzListPush(l.addr(), "hello");
    const char *p = SLIBSzListGet(l.get(), 0);
    int free0 = l->cbFree;
    EXPECT_EQ(SLIBSzListSet(l.addr(), 0, "hi"), 0);
    EXPECT_EQ(SLIBSzListGet(l.get(), 0), p);
    EXPECT_EQ(l->cbFree, free0);
    EXPECT_EQ(SLIBSzListSet(l.addr(), 0, "hello!"), 0);
    EXPECT_NE(SLIBSzListGet(l.get(), 0), p);
    EXPECT_EQ(l->cbFree, free0 - 7);
    EXPECT_STREQ(SLIBSzListGet(l.get(), 0), "hello!");
    ExpectLayout(l.get());
}

TEST(SzList, SetLongerOnFullBlockGrows)
{
    List l;
    std::string fill(474, 'f'); // with "ab", leaves exactly 2 bytes free
    SLIBSzListPush(l.addr(), fill.c_str());
    SLIBSzListPush(l.addr(), "ab");
    ASSERT_EQ(l->cbFree, 2);
    PSLIBSZLIST old = l.get();
    EXPECT_EQ(SLIBSzListSet(l.addr(), 1, "abcd"), 1);
    EXPECT_NE(l.get(), old);
    EXPECT_EQ(l->cbSize, 1024);
    // Re-pack of both items (the old "ab" included), then "abcd" on top.
    EXPECT_EQ(l->cbFree, 1024 - 24 - 8 - static_cast<int>(fill.size() + 1) - 3 - 5);
    EXPECT_EQ(l.items(), (Items{fill, "abcd"}));
    ExpectLayout(l.get());
}

TEST(SzList, SetOnSortedListReturnsNewIndex)
{
    List l({"b", "d", "f"}, 1);
    EXPECT_EQ(SLIBSzListSet(l.addr(), 0, "g"), 2);
    EXPECT_EQ(l.items(), (Items{"d", "f", "g"}));
    EXPECT_EQ(SLIBSzListSet(l.addr(), 2, "a"), 0);
    EXPECT_EQ(l.items(), (Items{"a", "d", "f"}));
}

// A string that lives inside the list itself stays valid across a move.
TEST(SzList, ArgumentInsideTheBlock)
{
    List l;
    SLIBSzListPush(l.addr(), "seed-string-of-some-length");
    for (int i = 0; i < 200; i++)
        ASSERT_EQ(SLIBSzListPush(l.addr(), SLIBSzListGet(l.get(), i)), i + 1);
    EXPECT_GT(l->cbSize, 512);
    for (int i = 0; i <= 200; i++)
        ASSERT_STREQ(SLIBSzListGet(l.get(), i), "seed-string-of-some-length");
    // Set from another item across a growth.
    List m;
    std::string fill(470, 'f');
    SLIBSzListPush(m.addr(), "a");
    SLIBSzListPush(m.addr(), fill.c_str());
    PSLIBSZLIST old = m.get();
    EXPECT_EQ(SLIBSzListSet(m.addr(), 0, SLIBSzListGet(m.get(), 1)), 0);
    EXPECT_NE(m.get(), old);
    EXPECT_EQ(m.items(), (Items{fill, fill}));
    // Insert into a sorted list from itself across a growth.
    List s({"m"}, 1);
    std::string big(500, 'z');
    SLIBSzListPush(s.addr(), big.c_str());
    EXPECT_EQ(SLIBSzListPush(s.addr(), SLIBSzListGet(s.get(), 1)), 1);
    EXPECT_EQ(s.items(), (Items{"m", big, big}));
    // Overlapping in-place overwrite.
    List o;
    SLIBSzListPush(o.addr(), "abcdef");
    EXPECT_EQ(SLIBSzListSet(o.addr(), 0, SLIBSzListGet(o.get(), 0) + 2), 0);
    EXPECT_EQ(o.items(), (Items{"cdef"}));
}

TEST(SzList, HugeIndexIsRefusedNotWrapped)
{
    List l({"a"}, 0);
    PSLIBSZLIST old = l.get();
    int free0 = l->cbFree;
    for (int idx : {1 << 29, INT_MAX}) {
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBSzListInsert(l.addr(), idx, "x"), -1) << idx;
        EXPECT_EQ(SLIBErrorGet(), 0x0200);
        EXPECT_EQ(l.get(), old);
        EXPECT_EQ(l->cbFree, free0);
        EXPECT_EQ(l.items(), (Items{"a"}));
    }
}

TEST(SzList, HugeStringIsRefusedNotWrapped)
{
    VAKOTEST_SKIP_UNLESS_STRINGS_BEYOND_AN_INT_EXIST();
    vakotest::HugeString huge(2049); // longer than a block can ever be
    ASSERT_NE(huge.c_str(), nullptr);
    List l({"a"}, 0);
    PSLIBSZLIST old = l.get();
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBSzListPush(l.addr(), huge.c_str()), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0200);
    EXPECT_EQ(SLIBSzListSet(l.addr(), 0, huge.c_str()), -1);
    EXPECT_EQ(l.get(), old);
    EXPECT_EQ(l.items(), (Items{"a"}));
    ExpectLayout(l.get());
}

TEST(SzList, ExhaustedMemoryLeavesTheListIntact)
{
    VAKOTEST_SKIP_UNLESS_ALLOCATIONS_CAN_FAIL();
    List l({"a", "b"}, 0);
    PSLIBSZLIST old = l.get();
    std::string big(64 << 20, 'x');
    int rPush = 0, rSet = 0, rOr = 0;
    PSLIBSZLIST expanded = old;
    List src({big}, 0);
    ASSERT_TRUE(vakotest::WithAddressSpaceLimit(16 << 20, [&] {
        rPush = SLIBSzListPush(l.addr(), big.c_str());
        rSet = SLIBSzListSet(l.addr(), 1, big.c_str());
        expanded = PslSLIBSzListOr(l.addr(), src.get(), 0x1000);
        rOr = PslSLIBSzListOr(l.addr(), src.get(), 0) ? 0 : -1;
    }));
    EXPECT_EQ(rPush, -1);
    EXPECT_EQ(rSet, -1);
    EXPECT_EQ(expanded, nullptr);
    EXPECT_EQ(rOr, -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0200);
    EXPECT_EQ(l.get(), old);
    EXPECT_EQ(l.items(), (Items{"a", "b"}));
    ExpectLayout(l.get());
}

TEST(SzList, FindersAndTheirTypes)
{
    List u({"b", "a", "b"}, 0);
    EXPECT_EQ(SLIBSzListFind(u.get(), "b"), 0);
    EXPECT_EQ(SLIBSzListCaseFind(u.get(), "B"), 0);
    EXPECT_EQ(SLIBSzListCaseFind(u.get(), "A"), 1);
    SLIBErrorSet(0x0900);
    EXPECT_EQ(SLIBSzListFind(u.get(), "c"), -1);
    EXPECT_EQ(SLIBSzListCaseFind(u.get(), "c"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0900); // absence records nothing

    List s({"c", "a", "b"}, 1);
    EXPECT_EQ(SLIBSzListFind(s.get(), "c"), 2);
    EXPECT_EQ(SLIBSzListFind(s.get(), "bb"), -1);
    EXPECT_EQ(SLIBSzListCaseFind(s.get(), "c"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);

    List c({"Beta", "alpha", "GAMMA"}, 0x10);
    EXPECT_EQ(c.items(), (Items{"alpha", "Beta", "GAMMA"}));
    EXPECT_EQ(SLIBSzListCaseFind(c.get(), "gamma"), 2);
    EXPECT_EQ(SLIBSzListCaseFind(c.get(), "ALPHA"), 0);
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBSzListFind(c.get(), "alpha"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(SLIBSzListInsert(c.addr(), 0, "BETA"), 1);
    EXPECT_EQ(SLIBSzListInsert(c.addr(), 0, "delta"), 3);
    EXPECT_EQ(c.items(), (Items{"alpha", "BETA", "Beta", "delta", "GAMMA"}));
}

TEST(SzList, BinarySearch)
{
    List s({"b", "d", "f"}, 1);
    EXPECT_EQ(SLIBSzListBinarySearch(s.get(), -1, 0, "b", 0), -1);
    EXPECT_EQ(SLIBSzListBinarySearch(s.get(), 2, 0, "d", 0), 1);
    EXPECT_EQ(SLIBSzListBinarySearch(s.get(), 2, 0, "a", 0), ~0);
    EXPECT_EQ(SLIBSzListBinarySearch(s.get(), 2, 0, "e", 0), ~2);
    EXPECT_EQ(SLIBSzListBinarySearch(s.get(), 2, 0, "z", 0), ~3);
    EXPECT_EQ(SLIBSzListBinarySearch(s.get(), 2, 0, "D", 1), 1);
    // A caseless comparison that fails (invalid UTF-8) ends at ~lo.
    EXPECT_EQ(SLIBSzListBinarySearch(s.get(), 2, 0, "\xff", 1), ~0);
}

TEST(SzList, SortOnlyReordersUnsorted)
{
    List l({"b", "C", "a"}, 0);
    SLIBSzListSort(l.get(), 1);
    EXPECT_EQ(l.items(), (Items{"C", "a", "b"}));
    SLIBSzListSort(l.get(), 0x10); // relabel only
    EXPECT_EQ(l->type, 0x10);
    EXPECT_EQ(l.items(), (Items{"C", "a", "b"}));
    SLIBSzListSort(l.get(), 0);
    SLIBSzListSort(l.get(), 0x10);
    EXPECT_EQ(l.items(), (Items{"a", "b", "C"}));
    List n({"b", "a"}, 0);
    SLIBSzListSort(n.get(), 0x20); // neither bit: nothing moves
    EXPECT_EQ(n.items(), (Items{"b", "a"}));
    EXPECT_EQ(n->type, 0x20);
}

TEST(SzList, Union)
{
    struct Case {
        Items a;
        int ta;
        Items b;
        int tb;
        int flags;
        Items want;
        int wantType;
    } cases[] = {
        {{"a", "b"}, 0, {"b", "c", "c"}, 0, 0, {"a", "b", "c"}, 0},
        {{"a", "b"}, 0, {"b", "c", "c"}, 0, 0x1000, {"a", "b", "c", "c"}, 0},
        {{"a", "a"}, 0, {"a"}, 0, 0, {"a", "a"}, 0},
        {{"d", "a", "b"}, 0, {"c", "b"}, 1, 0, {"d", "a", "b", "c"}, 0},
        {{"d", "a", "b"}, 0, {"c", "b"}, 1, 0x1000, {"b", "c", "d", "a"}, 0},
        {{"c", "a"}, 1, {"c", "b", "b"}, 0, 0, {"a", "b", "c"}, 1},
        {{"c", "a"}, 1, {"c", "b", "b"}, 0, 0x1000, {"a", "c", "b"}, 0},
        {{"a", "c"}, 1, {"b", "c"}, 1, 0, {"a", "b", "c"}, 1},
        {{"a", "c"}, 1, {"b", "c"}, 1, 0x1000, {"a", "b", "c"}, 1},
        {{"a"}, 1, {"a", "a", "b"}, 1, 0, {"a", "a", "b"}, 1},
        {{"B", "a"}, 0x10, {"b", "C"}, 0x10, 0, {"a", "B", "C"}, 0x10},
        {{"x"}, 0, {"X"}, 0x10, 0, {"X"}, 0},
        {{}, 0, {"k", "j"}, 0, 0, {"k", "j"}, 0},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        const Case &c = cases[i];
        List a(c.a, c.ta), b(c.b, c.tb);
        Items a0 = a.items(), b0 = b.items();
        PSLIBSZLIST r = PslSLIBSzListOr(a.addr(), b.get(), c.flags);
        ASSERT_NE(r, nullptr) << i;
        List owned; // holds a new result
        if (c.flags) {
            SLIBSzListFree(*owned.addr());
            *owned.addr() = r;
            EXPECT_EQ(a.items(), a0) << i;
        } else {
            EXPECT_EQ(r, a.get()) << i;
        }
        EXPECT_EQ(b.items(), b0) << i;
        Items got;
        for (int k = 0; k < r->nItem; k++)
            got.emplace_back(SLIBSzListGet(r, k));
        EXPECT_EQ(got, c.want) << i;
        EXPECT_EQ(r->type, c.wantType) << i;
        ExpectLayout(r);
    }
}

TEST(SzList, UnionInPlaceDropsHolesAndGrows)
{
    List a;
    SLIBSzListInsert(a.addr(), 2, "a");
    List b;
    for (int i = 0; i < 100; i++)
        SLIBSzListPush(b.addr(), ("item-" + std::to_string(i)).c_str());
    PSLIBSZLIST r = PslSLIBSzListOr(a.addr(), b.get(), 0);
    ASSERT_EQ(r, a.get());
    EXPECT_EQ(a->nItem, 101);
    EXPECT_STREQ(SLIBSzListGet(r, 0), "a");
    EXPECT_STREQ(SLIBSzListGet(r, 100), "item-99");
    ExpectLayout(r);
    // With itself: nothing to add, whatever the block does.
    EXPECT_EQ(PslSLIBSzListOr(a.addr(), a.get(), 0), a.get());
    EXPECT_EQ(a->nItem, 101);
}

TEST(SzList, UnionOfDifferentSortedTypesIsRefused)
{
    List a({"a"}, 1), b({"a"}, 0x10);
    SLIBErrorSet(0);
    EXPECT_EQ(PslSLIBSzListOr(a.addr(), b.get(), 0), nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(PslSLIBSzListOr(a.addr(), b.get(), 0x1000), nullptr);
    // A sorted type other than the two orders ends the union without a code.
    List c({"a"}, 0), d({"b"}, 0x4);
    SLIBErrorSet(0);
    EXPECT_EQ(PslSLIBSzListOr(c.addr(), d.get(), 0), nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0);
}

TEST(SzList, BlockIsPositionIndependent)
{
    List l;
    SLIBSzListPush(l.addr(), "alpha");
    SLIBSzListInsert(l.addr(), 3, "omega");
    SLIBSzListSet(l.addr(), 0, "alphabet");
    int cb = l->cbSize;
    // A byte copy elsewhere (a stored value read back) is the same list.
    std::unique_ptr<char, decltype(&free)> copy(static_cast<char *>(malloc(cb)), &free);
    memcpy(copy.get(), l.get(), cb);
    auto *c = reinterpret_cast<PSLIBSZLIST>(copy.get());
    ASSERT_EQ(SLIBSzListCheck(c, cb), 1);
    EXPECT_EQ(c->cbFree, l->cbFree);
    EXPECT_EQ(c->nItem, 4);
    EXPECT_STREQ(SLIBSzListGet(c, 0), "alphabet");
    EXPECT_STREQ(SLIBSzListGet(c, 1), "");
    EXPECT_STREQ(SLIBSzListGet(c, 3), "omega");
    // The copy works as a list of its own.
    PSLIBSZLIST own = c;
    copy.release();
    EXPECT_EQ(SLIBSzListPush(&own, "more"), 4);
    SLIBSzListFree(own);
}

TEST(SzList, CheckRefusesDamagedBlocks)
{
    List l({"a", "b"}, 0);
    int cb = l->cbSize;
    auto damaged = [&](auto change) {
        std::vector<char> buf(reinterpret_cast<char *>(l.get()), reinterpret_cast<char *>(l.get()) + cb);
        change(reinterpret_cast<PSLIBSZLIST>(buf.data()));
        return SLIBSzListCheck(buf.data(), cb);
    };
    EXPECT_EQ(damaged([](PSLIBSZLIST) {}), 1);
    EXPECT_EQ(SLIBSzListCheck(l.get(), cb - 1), 0);
    EXPECT_EQ(SLIBSzListCheck(nullptr, cb), 0);
    EXPECT_EQ(damaged([](PSLIBSZLIST p) { p->pszItem[1] = 4; }), 0);
    EXPECT_EQ(damaged([&](PSLIBSZLIST p) { p->pszItem[0] = cb; }), 0);
    EXPECT_EQ(damaged([](PSLIBSZLIST p) { p->nItem = 1000; }), 0);
    EXPECT_EQ(damaged([](PSLIBSZLIST p) { p->nItem = -1; }), 0);
    EXPECT_EQ(damaged([](PSLIBSZLIST p) { p->cbFree += 1; }), 0);
    EXPECT_EQ(damaged([](PSLIBSZLIST p) { p->pszTop = 9999; }), 0);
    EXPECT_EQ(damaged([&](PSLIBSZLIST p) { reinterpret_cast<char *>(p)[cb - 1] = 'x'; }), 0);
}

} // namespace
