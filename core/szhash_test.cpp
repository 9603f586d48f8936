#include "slib/szhash.h"

#include <gtest/gtest.h>
#include <limits.h>

#include <string>
#include <vector>

#include "slib/error.h"
#include "vakotest/bigmem.h"

namespace {

using Keys = std::vector<std::string>;

class Hash {
public:
    explicit Hash(int cb = 0) : h_(SLIBSzHashAlloc(cb)) {}
    explicit Hash(PSLIBSZHASH h) : h_(h) {}
    ~Hash() { SLIBSzHashFree(h_); }
    Hash(const Hash &) = delete;
    Hash &operator=(const Hash &) = delete;
    PSLIBSZHASH get() const { return h_; }
    PSLIBSZHASH *addr() { return &h_; }
    PSLIBSZHASH operator->() const { return h_; }
    int set(const std::string &k, const std::string &v) { return SLIBSzHashSetValue(&h_, k.c_str(), v.c_str()); }
    const char *get(const char *k) const { return SzSLIBSzHashGetValue(h_, k); }
    // Keys in slot order, as the writers put them in files.
    Keys order() const
    {
        PSLIBSZLIST l = PslSLIBSzListAlloc(0);
        EXPECT_EQ(SLIBSzHashEnumKey(h_, &l), h_->nItem);
        Keys out;
        for (int i = 0; i < l->nItem; i++)
            out.emplace_back(SLIBSzListGet(l, i));
        SLIBSzListFree(l);
        return out;
    }

private:
    PSLIBSZHASH h_;
};

// Offset of the string area: five header words, then 8 bytes per slot.
unsigned AreaStart(PSLIBSZHASH h) { return 20 + 8 * h->nSlot; }

TEST(SzHash, AllocSizes)
{
    struct {
        int cb, total;
    } cases[] = {{0, 512}, {-3, 512}, {100, 512}, {1000, 1000}};
    for (auto c : cases) {
        Hash h(c.cb);
        ASSERT_NE(h.get(), nullptr);
        EXPECT_EQ(h->nSlot, 31);
        EXPECT_EQ(h->cbTotal, c.total);
        EXPECT_EQ(h->cbFree, c.total);
        EXPECT_EQ(h->nItem, 0);
        EXPECT_EQ(h->pszNext, AreaStart(h.get()));
    }
    Hash a(SLIBSzHashAllocator(7, 40));
    ASSERT_NE(a.get(), nullptr);
    EXPECT_EQ(a->nSlot, 7);
    EXPECT_EQ(a->cbTotal, 40);
    EXPECT_EQ(a->cbFree, 40);
    for (int i = 0; i < 7; i++) {
        EXPECT_EQ(a->slot[i].pszKey, 0u);
        EXPECT_EQ(a->slot[i].pszValue, 0u);
    }
}

TEST(SzHash, AllocatorRefusesImpossibleSizes)
{
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBSzHashAllocator(INT_MAX, 16), nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0x0200);
    EXPECT_STREQ(SLIBErrorGetFile(), "sz_hash_allocator");
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBSzHashAlloc(INT_MAX), nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0x0200);
    EXPECT_STREQ(SLIBErrorGetFile(), "sz_hash_allocator");
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBSzHashAllocator(0, 16), nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_STREQ(SLIBErrorGetFile(), "sz_hash_allocator");
}

// The home slot is the sum of big-endian 4-byte groups modulo nSlot; the
// returned index of a first insert into an empty map is that home slot.
TEST(SzHash, KeyFunctionIsBigEndian)
{
    struct {
        const char *key;
        unsigned sum;
    } cases[] = {
        {"abcd", 0x61626364u},
        {"abcde", 0x61626364u + 0x65000000u},
        {"a", 0x61000000u},
        {"dcba", 0x64636261u},
        {"", 0},
        {"\xff\xff\xff\xff\xff\xff\xff\xff", 0xfffffffeu}, // wraps modulo 2^32
    };
    for (auto c : cases) {
        Hash h;
        EXPECT_EQ(h.set(c.key, "v"), static_cast<int>(c.sum % 31u)) << c.key;
    }
}

TEST(SzHash, SetCostsAndInPlaceReplace)
{
    Hash h;
    EXPECT_GE(h.set("k", "v"), 0);
    EXPECT_EQ(h->cbFree, 508);
    EXPECT_EQ(h->nItem, 1);
    h.set("k", "vv"); // longer: stored anew, the old "v" is dead
    EXPECT_EQ(h->cbFree, 505);
    const char *vv = h.get("k");
    EXPECT_STREQ(vv, "vv");
    h.set("k", "x"); // not longer: in place
    EXPECT_EQ(h->cbFree, 505);
    EXPECT_EQ(h.get("k"), vv);
    EXPECT_STREQ(h.get("k"), "x");
    EXPECT_EQ(h->nItem, 1);
    EXPECT_EQ(h->pszNext, AreaStart(h.get()) + 7);
}

TEST(SzHash, SlotsGrowAtTheTwentyFifthPair)
{
    Hash h;
    char key[8];
    for (int i = 0; i < 24; i++) {
        snprintf(key, sizeof key, "k%02d", i);
        ASSERT_GE(h.set(key, "x"), 0);
    }
    EXPECT_EQ(h->nSlot, 31);
    EXPECT_EQ(h->cbFree, 512 - 24 * 6);
    PSLIBSZHASH old = h.get();
    ASSERT_GE(h.set("k24", "x"), 0);
    EXPECT_NE(h.get(), old);
    EXPECT_EQ(h->nSlot, 119);
    EXPECT_EQ(h->cbTotal, 512);
    EXPECT_EQ(h->cbFree, 512 - 25 * 6);
    for (int i = 0; i < 25; i++) {
        snprintf(key, sizeof key, "k%02d", i);
        EXPECT_STREQ(h.get(key), "x") << key;
    }
}

// A map made with one to four slots has no free slot left before the
// growth rule fires: it must grow then too, not refuse the key.
TEST(SzHash, MapsOfFewSlotsGrowWhenFull)
{
    struct {
        int nSlot, fits, grown;
    } cases[] = {{1, 1, 2}, {2, 2, 3}, {3, 3, 7}, {4, 4, 11}};
    for (auto c : cases) {
        Hash h(SLIBSzHashAllocator(c.nSlot, 16));
        ASSERT_NE(h.get(), nullptr);
        for (int i = 0; i < c.fits; i++)
            ASSERT_GE(h.set("k" + std::to_string(i), "v"), 0);
        EXPECT_EQ(h->nSlot, c.nSlot);
        ASSERT_GE(h.set("k" + std::to_string(c.fits), "v"), 0) << c.nSlot << " slots";
        EXPECT_EQ(h->nSlot, c.grown);
        for (int i = c.fits + 1; i < 200; i++)
            ASSERT_GE(h.set("k" + std::to_string(i), "v"), 0) << c.nSlot << " slots, key " << i;
        EXPECT_EQ(h->nItem, 200);
        for (int i = 0; i < 200; i++)
            EXPECT_STREQ(h.get(("k" + std::to_string(i)).c_str()), "v") << i;
    }
}

TEST(SzHash, AreaGrowsForAPairThatDoesNotFit)
{
    Hash h;
    std::string big(600, 'y');
    PSLIBSZHASH old = h.get();
    int idx = h.set("big", big);
    EXPECT_NE(h.get(), old);
    EXPECT_EQ(h->nSlot, 31);
    // 512 + 31 free slots x the pending 605 bytes + 605.
    EXPECT_EQ(h->cbTotal, 512 + 31 * 605 + 605);
    EXPECT_EQ(h->cbFree, h->cbTotal - 605);
    EXPECT_EQ(idx, 29);
    EXPECT_EQ(h.get("big"), big);
    // With pairs present the average counts: 2 pairs in 512 bytes give 256
    // for each of the 29 free slots.
    Hash g;
    g.set("a", std::string(253, 'a'));
    g.set("b", std::string(200, 'b'));
    EXPECT_EQ(g->cbFree, 512 - 256 - 203);
    g.set("c", std::string(100, 'c'));
    EXPECT_EQ(g->cbTotal, 512 + 29 * 256 + 103);
    EXPECT_EQ(g->cbFree, g->cbTotal - 256 - 203 - 103);
}

TEST(SzHash, SlotOrderMatchesTheRules)
{
    Hash h;
    for (int i = 0; i < 30; i++)
        h.set("key" + std::to_string(i), "v" + std::to_string(i));
    EXPECT_EQ(h->nSlot, 119);
    EXPECT_EQ(h->cbFree, 232);
    EXPECT_EQ(h.order(),
              (Keys{"key10", "key20", "key21", "key22", "key23", "key12", "key14", "key16", "key18", "key11",
                    "key13", "key15", "key17", "key19", "key24", "key25", "key26", "key27", "key28", "key29",
                    "key0",  "key1",  "key2",  "key3",  "key4",  "key5",  "key6",  "key7",  "key8",  "key9"}));
}

// A rebuild re-inserts the pairs in the order of their old slots, even when
// the slot count stays: a run that wrapped past the last slot comes back in
// another order, and a pair beyond a removed one moves up.
TEST(SzHash, RebuildReinsertsInSlotOrder)
{
    Hash h(SLIBSzHashAllocator(7, 8));
    ASSERT_NE(h.get(), nullptr);
    EXPECT_EQ(h.set("a", "1"), 6); // 0x61000000 % 7
    EXPECT_EQ(h.set("h", "2"), 0); // home 6 too: wraps
    EXPECT_EQ(h.order(), (Keys{"h", "a"}));
    // Too long for the area: rebuilt with 7 slots, "h" first.
    EXPECT_EQ(h.set("b", std::string(60, 'b')), 1);
    EXPECT_EQ(h->nSlot, 7);
    EXPECT_EQ(h.order(), (Keys{"a", "b", "h"}));
    EXPECT_STREQ(SLIBSzHashSlotKey(h.get(), 0), "a");
    EXPECT_STREQ(h.get("h"), "2");

    Hash g(SLIBSzHashAllocator(7, 8));
    ASSERT_NE(g.get(), nullptr);
    EXPECT_EQ(g.set("b", "1"), 0);
    EXPECT_EQ(g.set("i", "2"), 1); // home 0 too
    SzSLIBSzHashRemoveKey(g.get(), "b");
    EXPECT_EQ(g.set("c", std::string(60, 'c')), 1); // home 1, free once "i" moved up
    EXPECT_EQ(g->nSlot, 7);
    EXPECT_STREQ(SLIBSzHashSlotKey(g.get(), 0), "i");
}

TEST(SzHash, HomeTombstoneIsNotReused)
{
    Hash h;
    EXPECT_EQ(h.set("a", "1"), 2);  // 0x61000000 % 31
    EXPECT_EQ(h.set("b", "2"), 18); // 0x62000000 % 31
    EXPECT_EQ(h.order(), (Keys{"a", "b"}));
    SLIBErrorSet(0x0900);
    char *v = SzSLIBSzHashRemoveKey(h.get(), "a");
    EXPECT_STREQ(v, "1");
    EXPECT_EQ(h->nItem, 1);
    EXPECT_EQ(h->cbFree, 512 - 8); // removing frees no bytes
    EXPECT_EQ(h.get("a"), nullptr);
    EXPECT_EQ(SzSLIBSzHashRemoveKey(h.get(), "a"), nullptr);
    EXPECT_EQ(h.set("a", "3"), 3);
    EXPECT_EQ(SLIBErrorGet(), 0x0900); // none of this records a code
}

TEST(SzHash, CollisionsProbeAndTombstonesArePassed)
{
    // "a", "bt", "cl" and "dd" all have the home slot 2 of 31.
    Hash h;
    EXPECT_EQ(h.set("a", "1"), 2);
    EXPECT_EQ(h.set("bt", "2"), 3);
    EXPECT_EQ(h.set("cl", "3"), 4);
    SzSLIBSzHashRemoveKey(h.get(), "bt");
    EXPECT_STREQ(h.get("cl"), "3"); // the search passes the tombstone
    EXPECT_EQ(h.set("cl", "4"), 4); // and finds the live key beyond it
    EXPECT_EQ(h.set("dd", "5"), 3); // a tombstone after the home slot is taken
    EXPECT_EQ(h.order(), (Keys{"a", "dd", "cl"}));
    EXPECT_EQ(h->nItem, 3);
}

TEST(SzHash, RemoveAllLeavesTombstones)
{
    Hash h;
    h.set("one", "1");
    h.set("two", "2");
    int idx = h.set("three", "3");
    SLIBSzHashRemoveAll(h.get());
    EXPECT_EQ(h->nItem, 0);
    EXPECT_EQ(h->cbFree, 512);
    EXPECT_EQ(h->pszNext, AreaStart(h.get()));
    EXPECT_EQ(h.get("one"), nullptr);
    EXPECT_EQ(h.get("three"), nullptr);
    EXPECT_EQ(h->slot[idx].pszKey, 0u);
    EXPECT_NE(h->slot[idx].pszValue, 0u); // a tombstone, not a fresh slot
    EXPECT_EQ(SLIBSzHashEnumKey(h.get(), nullptr), 0);
    EXPECT_EQ(h.set("three", "x"), idx + 1);
    EXPECT_STREQ(SLIBSzHashSlotKey(h.get(), idx + 1), "three");
    EXPECT_EQ(reinterpret_cast<const char *>(h.get()) + AreaStart(h.get()), SLIBSzHashSlotKey(h.get(), idx + 1));
    SLIBSzHashRemoveAll(nullptr);
}

TEST(SzHash, Enumerate)
{
    Hash h;
    EXPECT_EQ(SLIBSzHashEnumKey(h.get(), nullptr), 0);
    h.set("b", "1"); // slot 18
    h.set("a", "2"); // slot 2
    h.set("", "3");  // slot 0
    EXPECT_EQ(SLIBSzHashEnumKey(h.get(), nullptr), 3);
    EXPECT_EQ(h.order(), (Keys{"", "a", "b"}));
    EXPECT_EQ(SLIBSzHashEnumKey(nullptr, nullptr), -1);
    PSLIBSZLIST none = nullptr;
    EXPECT_EQ(SLIBSzHashEnumKey(h.get(), &none), -1);
    EXPECT_STREQ(SLIBSzHashSlotValue(h.get(), 2), "2");
    EXPECT_EQ(SLIBSzHashSlotValue(h.get(), 1), nullptr);
    EXPECT_EQ(SLIBSzHashSlotKey(h.get(), 31), nullptr);
    EXPECT_EQ(SLIBSzHashSlotKey(h.get(), -1), nullptr);
}

TEST(SzHash, BadArguments)
{
    Hash h;
    h.set("k", "v");
    SLIBErrorSet(0x0900);
    PSLIBSZHASH none = nullptr;
    EXPECT_EQ(SLIBSzHashSetValue(h.addr(), "k", nullptr), -1);
    EXPECT_EQ(SLIBSzHashSetValue(h.addr(), nullptr, "v"), -1);
    EXPECT_EQ(SLIBSzHashSetValue(&none, "k", "v"), -1);
    EXPECT_EQ(SzSLIBSzHashGetValue(nullptr, "k"), nullptr);
    EXPECT_EQ(SzSLIBSzHashGetValue(h.get(), nullptr), nullptr);
    EXPECT_EQ(SzSLIBSzHashRemoveKey(nullptr, "k"), nullptr);
    EXPECT_EQ(SzSLIBSzHashRemoveKey(h.get(), nullptr), nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0x0900); // refused silently
    EXPECT_STREQ(h.get("k"), "v");
    // A NULL map address is refused, not dereferenced.
    EXPECT_EQ(SLIBSzHashSetValue(nullptr, "k", "v"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_STREQ(SLIBErrorGetFile(), "sz_hash_set_value");
    SLIBSzHashFree(nullptr);
}

TEST(SzHash, GrowthThatCannotBeHadKeepsTheMap)
{
    Hash h;
    h.set("k", "v");
    PSLIBSZHASH old = h.get();
    if (vakotest::kStringsBeyondAnIntExist) {
        vakotest::HugeString huge(2049);
        ASSERT_NE(huge.c_str(), nullptr);
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBSzHashSetValue(h.addr(), "big", huge.c_str()), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x0200);
        EXPECT_EQ(SLIBSzHashSetValue(h.addr(), "k", huge.c_str()), -1);
        EXPECT_EQ(h.get(), old);
        EXPECT_STREQ(h.get("k"), "v");
        EXPECT_EQ(h->nItem, 1);
    }
    if (!vakotest::AllocationsCanFail())
        return;
    std::string big(64 << 20, 'x');
    int r = 0;
    ASSERT_TRUE(vakotest::WithAddressSpaceLimit(16 << 20, [&] { r = h.set("big", big); }));
    EXPECT_EQ(r, -1);
    EXPECT_EQ(h.get(), old);
    EXPECT_EQ(h.order(), (Keys{"k"}));
}

TEST(SzHash, ArgumentsFromTheSameMap)
{
    Hash h;
    std::string big(400, 'b');
    h.set("src", big);
    // The value lives in the map that is rebuilt to store it.
    PSLIBSZHASH old = h.get();
    EXPECT_GE(SLIBSzHashSetValue(h.addr(), "dst", SzSLIBSzHashGetValue(h.get(), "src")), 0);
    EXPECT_NE(h.get(), old);
    EXPECT_EQ(h.get("dst"), big);
    // A key taken from the map itself, across many rebuilds.
    for (int i = 0; i < 100; i++) {
        std::string k = "key" + std::to_string(i);
        h.set(k, "x");
        const char *self = SLIBSzHashSlotKey(h.get(), SLIBSzHashSetValue(h.addr(), k.c_str(), "y"));
        ASSERT_GE(SLIBSzHashSetValue(h.addr(), self, big.c_str()), 0);
    }
    EXPECT_EQ(h->nItem, 102);
    EXPECT_EQ(h.get("key99"), big);
    // Overlapping in-place replace.
    h.set("o", "abcdef");
    EXPECT_GE(SLIBSzHashSetValue(h.addr(), "o", SzSLIBSzHashGetValue(h.get(), "o") + 2), 0);
    EXPECT_STREQ(h.get("o"), "cdef");
}

} // namespace
