#include "slib/szhash.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <bit>
#include <new>

#include "block_arg.h"
#include "slib/error.h"
#include "slibcxx/raii.h"
#include "szhash_fill.h"

namespace {

constexpr int kHeader = static_cast<int>(sizeof(SLIBSZHASH)); // five 32-bit words
constexpr int kSlots = 31;
constexpr int kMinArea = 512;
static_assert(kHeader == 20 && sizeof(SLIBSZHASHSLOT) == 8, "the map's layout is the same on every CPU");

// The operations' own source names, recorded with their error codes: every
// block, the rebuilt ones too, comes from the allocator.
constexpr const char *kSrcAllocator = "sz_hash_allocator";
constexpr const char *kSrcSetValue = "sz_hash_set_value";

char *Base(PSLIBSZHASH h) { return reinterpret_cast<char *>(h); }
char *At(PSLIBSZHASH h, unsigned off) { return Base(h) + off; }
int64_t AreaStart(int64_t nSlot) { return kHeader + nSlot * int64_t{sizeof(SLIBSZHASHSLOT)}; }
int64_t BlockSize(PSLIBSZHASH h) { return AreaStart(h->nSlot) + h->cbTotal; }

bool Live(PSLIBSZHASH h, int i) { return h->slot[i].pszKey != 0; }
bool NeverUsed(PSLIBSZHASH h, int i) { return h->slot[i].pszKey == 0 && h->slot[i].pszValue == 0; }
bool KeyIs(PSLIBSZHASH h, int i, const char *key) { return Live(h, i) && strcmp(At(h, h->slot[i].pszKey), key) == 0; }

// Sum of the key's 4-byte groups read big-endian (a short last group fills
// the high bytes), modulo nSlot. The order of lines in files written from a
// map depends on it, so it must not depend on the CPU.
int IKey(const char *key, int nSlot)
{
    if (!key || nSlot <= 0)
        return -1;
    auto *p = reinterpret_cast<const unsigned char *>(key);
    size_t n = strlen(key), i = 0;
    uint32_t sum = 0;
    for (; i + 4 <= n; i += 4)
        sum += uint32_t{p[i]} << 24 | uint32_t{p[i + 1]} << 16 | uint32_t{p[i + 2]} << 8 | p[i + 3];
    uint32_t rest = 0;
    for (int shift = 24; i < n; i++, shift -= 8)
        rest |= uint32_t{p[i]} << shift;
    sum += rest;
    return static_cast<int>(sum % static_cast<uint32_t>(nSlot));
}

int IFind(PSLIBSZHASH h, const char *key)
{
    int home = IKey(key, h->nSlot);
    for (int i = home;;) {
        if (NeverUsed(h, i))
            return -1;
        if (KeyIs(h, i, key))
            return i;
        i = (i + 1) % h->nSlot;
        if (i == home)
            return -1;
    }
}

// The slot of key, or the slot a new pair of key goes to. A tombstone in
// the home slot itself is not taken (only those met after it).
int IFindSlot(PSLIBSZHASH h, const char *key)
{
    int home = IKey(key, h->nSlot);
    if (NeverUsed(h, home) || KeyIs(h, home, key))
        return home;
    int remembered = -1;
    for (int i = (home + 1) % h->nSlot; i != home; i = (i + 1) % h->nSlot) {
        if (KeyIs(h, i, key))
            return i;
        if (!Live(h, i) && remembered < 0)
            remembered = i;
        if (NeverUsed(h, i))
            return remembered;
    }
    // Every other slot is live (only in a map of a few slots): the home
    // tombstone is better than failing.
    return remembered >= 0 ? remembered : (Live(h, home) ? -1 : home);
}

// The first slot at or after a position that is not live, in a map whose
// slots only ever become live (one being filled or rebuilt). The slots are
// taken in groups of eight; a bit per group, set once the group was seen
// all live, and a bit per 64 groups, set once all of them are, let a search
// pass a long run of live slots without reading it again. Without memory
// for the bits, the slots are walked one by one.
class FreeSlots {
public:
    void Reset(PSLIBSZHASH h)
    {
        h_ = h;
        groups_ = (h->nSlot + kGroup - 1) / kGroup;
        words_ = groups_ / 64 + 1;
        full_.reset(static_cast<uint64_t *>(
            calloc(static_cast<size_t>(words_) + static_cast<size_t>(words_) / 64 + 1, sizeof(uint64_t))));
    }
    // The slots, and so the bits, are the same in the block h.
    void Moved(PSLIBSZHASH h) { h_ = h; }
    // nSlot when every slot from i on is live.
    int At(int i)
    {
        int n = h_->nSlot;
        while (i < n) {
            int g = i / kGroup, end = std::min(n, (g + 1) * kGroup);
            bool whole = i == g * kGroup;
            for (; i < end; i++)
                if (!Live(h_, i))
                    return i;
            if (!full_)
                continue;
            if (whole)
                MarkFull(g);
            i = std::min(NextOpen(g + 1), groups_) * kGroup;
        }
        return n;
    }

private:
    static constexpr int kGroup = 8;

    uint64_t *Summary() const { return full_.get() + words_; }
    void MarkFull(int g)
    {
        uint64_t &w = full_.get()[g / 64];
        w |= uint64_t{1} << (g % 64);
        if (w == ~uint64_t{0})
            Summary()[g / 64 / 64] |= uint64_t{1} << (g / 64 % 64);
    }
    // The first group from g on not known to be all live (groups_ if none).
    int NextOpen(int g) const
    {
        const uint64_t *full = full_.get(), *summary = Summary();
        while (g < groups_) {
            int w = g / 64;
            if (uint64_t open = ~full[w] >> (g % 64))
                return g + std::countr_zero(open);
            for (w++; w < words_;) {
                if (uint64_t open = ~summary[w / 64] >> (w % 64)) {
                    w += std::countr_zero(open);
                    break;
                }
                w = (w / 64 + 1) * 64;
            }
            g = w * 64;
        }
        return groups_;
    }

    PSLIBSZHASH h_ = nullptr;
    int groups_ = 0, words_ = 0;
    slib::HeapPtr<uint64_t> full_; // a bit per group, then a bit per word of those
};

// Where IFindSlot puts a key that the map does not hold, found without
// comparing keys: the home slot when never used, else the first slot after
// it that is not live (wrapping), else a home tombstone; -1 when full.
int NewKeySlot(PSLIBSZHASH h, FreeSlots &room, int home)
{
    if (NeverUsed(h, home))
        return home;
    int i = room.At(home + 1);
    if (i < h->nSlot)
        return i;
    i = room.At(0);
    if (i < home)
        return i;
    return Live(h, home) ? -1 : home;
}

void IStore(PSLIBSZHASH h, int idx, const char *key, const char *value)
{
    size_t kl = strlen(key) + 1, vl = strlen(value) + 1;
    memcpy(At(h, h->pszNext), key, kl);
    memcpy(At(h, h->pszNext + static_cast<unsigned>(kl)), value, vl);
    h->slot[idx].pszKey = h->pszNext;
    h->slot[idx].pszValue = h->pszNext + static_cast<unsigned>(kl);
    h->pszNext += static_cast<unsigned>(kl + vl);
    h->cbFree -= static_cast<int>(kl + vl);
    h->nItem++;
}

PSLIBSZHASH Allocate(int64_t nSlot, int64_t cb)
{
    int64_t size = AreaStart(nSlot) + cb;
    if (nSlot > INT32_MAX || cb > INT32_MAX || size > INT32_MAX) {
        SLIB_ERR_IN(kSrcAllocator, SLIB_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    auto *h = static_cast<PSLIBSZHASH>(calloc(1, static_cast<size_t>(size)));
    if (!h) {
        SLIB_ERR_IN(kSrcAllocator, SLIB_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    h->cbTotal = h->cbFree = static_cast<int>(cb);
    h->nSlot = static_cast<int>(nSlot);
    h->pszNext = static_cast<unsigned>(AreaStart(nSlot));
    return h;
}

// A hash of the key's bytes with well-mixed bits, for the filler's index.
uint64_t KeyHash(const char *key)
{
    uint64_t x = 0xcbf29ce484222325u;
    for (auto *p = reinterpret_cast<const unsigned char *>(key); *p; p++)
        x = (x ^ *p) * 0x100000001b3u;
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdu;
    return x ^ x >> 33;
}

// The slot of every live key of a map, in an open-addressed table of its
// own: a key's cell is found from the top bits of its KeyHash. A cell holds
// the slot + 1 in its low bits and, above them, low bits of the hash that
// spare most key comparisons (a map's block is under 2 GiB, so nSlot < 2^28
// and 4 such bits at least); 0 is empty. The table has more cells than the
// map has slots, so a search always ends. A rebuilt map's keys are gathered
// first and put in the table in the order of their cells, which writes it
// from start to end instead of at random.
class KeyIndex {
public:
    // An empty table for a map of nSlot slots, with room to gather `gather`
    // keys; false when there is no memory for the table.
    bool Reset(int nSlot, int gather)
    {
        slotBits_ = 1;
        while ((uint32_t{1} << slotBits_) <= static_cast<uint32_t>(nSlot))
            slotBits_++;
        bits_ = std::max(slotBits_, 4);
        cells_.reset(static_cast<uint32_t *>(calloc(size_t{1} << bits_, sizeof(uint32_t))));
        gathered_.reset(static_cast<uint64_t *>(malloc(static_cast<size_t>(gather) * sizeof(uint64_t) + 1)));
        room_ = gathered_ ? gather : 0;
        count_ = 0;
        return cells_ != nullptr;
    }
    int Find(PSLIBSZHASH h, const char *key, uint64_t hash) const
    {
        const uint32_t *cells = cells_.get();
        uint32_t slotMask = (uint32_t{1} << slotBits_) - 1, tag = Tag(hash);
        for (uint32_t i = Home(hash);; i = (i + 1) & Mask()) {
            uint32_t c = cells[i];
            if (c == 0)
                return -1;
            int slot = static_cast<int>(c & slotMask) - 1;
            if ((c & ~slotMask) == tag && strcmp(At(h, h->slot[slot].pszKey), key) == 0)
                return slot;
        }
    }
    const uint32_t *Cell(uint64_t hash) const { return cells_.get() + Home(hash); }
    void Add(uint64_t hash, int slot) { Put(Home(hash), Cell(hash, slot)); }
    // Gathers for Build while there is room, else adds at once.
    void Gather(uint64_t hash, int slot)
    {
        if (count_ < room_)
            gathered_.get()[count_++] = (hash >> 32 << 32) | Cell(hash, slot);
        else
            Add(hash, slot);
    }
    // Adds the gathered keys, first sorted by the top bits of their hash.
    void Build()
    {
        constexpr int kSortBits = 11;
        const uint64_t *g = gathered_.get();
        int shift = 64 - std::min(bits_, kSortBits);
        size_t buckets = size_t{1} << (64 - shift);
        slib::HeapPtr<uint32_t> start(static_cast<uint32_t *>(calloc(buckets + 1, sizeof(uint32_t))));
        slib::HeapPtr<uint64_t> sorted(
            static_cast<uint64_t *>(malloc(static_cast<size_t>(count_) * sizeof(uint64_t) + 1)));
        if (start && sorted) {
            uint32_t *at = start.get();
            for (int k = 0; k < count_; k++)
                at[(g[k] >> shift) + 1]++;
            for (size_t b = 1; b <= buckets; b++)
                at[b] += at[b - 1];
            for (int k = 0; k < count_; k++)
                sorted.get()[at[g[k] >> shift]++] = g[k];
            gathered_ = std::move(sorted);
            g = gathered_.get();
        }
        for (int k = 0; k < count_; k++)
            Put(static_cast<uint32_t>(g[k] >> (64 - bits_)), static_cast<uint32_t>(g[k]));
        count_ = room_ = 0;
        gathered_.reset();
    }

private:
    uint32_t Mask() const { return (uint32_t{1} << bits_) - 1; }
    uint32_t Home(uint64_t hash) const { return static_cast<uint32_t>(hash >> (64 - bits_)); }
    uint32_t Tag(uint64_t hash) const { return static_cast<uint32_t>(hash) << slotBits_; }
    uint32_t Cell(uint64_t hash, int slot) const { return Tag(hash) | static_cast<uint32_t>(slot + 1); }
    void Put(uint32_t i, uint32_t cell)
    {
        uint32_t *cells = cells_.get();
        while (cells[i] != 0)
            i = (i + 1) & Mask();
        cells[i] = cell;
    }

    slib::HeapPtr<uint32_t> cells_;
    int bits_ = 0, slotBits_ = 0;
    slib::HeapPtr<uint64_t> gathered_;
    int room_ = 0, count_ = 0;
};

// A finder tells where IFindSlot would end for a key (Slot) and learns how
// the map changes: a rebuild into the block h begins (Rebuilding, which
// hands out the FreeSlots for it), keeps every pair in its slot (Moved),
// puts a key in a slot (Placed) or ends (Rebuilt); a new pair was stored
// (Stored). SLIBSzHashSetValue's finder probes the map.
struct PlainFinder {
    FreeSlots room; // for the rebuild

    int Slot(PSLIBSZHASH h, const char *key) { return IFindSlot(h, key); }
    FreeSlots &Rebuilding(PSLIBSZHASH h, int)
    {
        room.Reset(h);
        return room;
    }
    void Moved(PSLIBSZHASH) {}
    void Placed(const char *, int) {}
    void Rebuilt() {}
    void Stored(int) {}
};

// True when rebuilding old with nSlot slots gives every pair its own slot
// again: the slot count stays, no pair was removed since the last rebuild
// (no tombstone) and no run of live slots wraps past the last slot. Then
// re-inserting the keys in slot order finds each one's run as it was.
bool KeepsSlots(PSLIBSZHASH old, int64_t nSlot)
{
    if (nSlot != old->nSlot || !NeverUsed(old, old->nSlot - 1))
        return false;
    for (int i = 0; i < old->nSlot; i++)
        if (!Live(old, i) && !NeverUsed(old, i))
            return false;
    return true;
}

// Rebuilds into a new block, telling finder where the pairs go; the old
// block is freed only on success.
template <class Finder> bool IRehash(PSLIBSZHASH *pp, int64_t nSlot, int64_t cbTotal, Finder &finder)
{
    PSLIBSZHASH old = *pp;
    PSLIBSZHASH h = Allocate(nSlot, cbTotal);
    if (!h)
        return false;
    if (KeepsSlots(old, nSlot)) {
        finder.Moved(h);
        for (int i = 0; i < old->nSlot; i++)
            if (Live(old, i))
                IStore(h, i, At(old, old->slot[i].pszKey), At(old, old->slot[i].pszValue));
    } else {
        // The keys are unique: each goes where the plain insert would put
        // it, without comparing it to any other. The pairs lie in the old
        // block, and go to the new one, in no useful order: the memory of
        // the ones a few slots on is asked for ahead.
        FreeSlots &room = finder.Rebuilding(h, old->nItem);
        constexpr int kAhead = 8;
        for (int i = 0; i < old->nSlot; i++) {
            if (i + 2 * kAhead < old->nSlot && Live(old, i + 2 * kAhead))
                __builtin_prefetch(At(old, old->slot[i + 2 * kAhead].pszKey));
            if (i + kAhead < old->nSlot && Live(old, i + kAhead))
                __builtin_prefetch(&h->slot[IKey(At(old, old->slot[i + kAhead].pszKey), h->nSlot)], 1);
            if (Live(old, i)) {
                const char *key = At(old, old->slot[i].pszKey);
                int idx = NewKeySlot(h, room, IKey(key, h->nSlot));
                IStore(h, idx, key, At(old, old->slot[i].pszValue));
                finder.Placed(key, idx);
            }
        }
    }
    free(old);
    *pp = h;
    finder.Rebuilt();
    return true;
}

// Makes room for `need` more bytes and keeps at least a quarter of the
// slots free. Sets *rebuilt when the map moved.
template <class Finder> bool IGrow(PSLIBSZHASH *pp, int64_t need, bool *rebuilt, Finder &finder)
{
    PSLIBSZHASH h = *pp;
    *rebuilt = false;
    bool more = 4 * (int64_t{h->nSlot} - h->nItem) < h->nSlot;
    int64_t nSlot = h->nSlot;
    if (more) {
        nSlot = nSlot * 4 - 5;
        if (nSlot <= h->nSlot) // maps of one slot, made by the allocator
            nSlot = h->nSlot + 1;
    }
    int64_t cbTotal = h->cbTotal;
    if (h->cbFree > need) {
        if (!more)
            return true;
    } else {
        int64_t avg = h->nItem ? h->cbTotal / h->nItem : need;
        cbTotal += (int64_t{h->nSlot} - h->nItem) * avg + need;
    }
    if (!IRehash(pp, nSlot, cbTotal, finder))
        return false;
    *rebuilt = true;
    return true;
}

// Insert or replace, with the slots that finder tells.
template <class Finder> int ISet(PSLIBSZHASH *ppHash, const char *szKey, const char *szValue, Finder &finder)
{
    PSLIBSZHASH h = *ppHash;
    if (!h || !szKey || !szValue)
        return -1;
    BlockArg key(szKey), value(szValue);
    if (!key.Detach(kSrcSetValue, h, BlockSize(h)) || !value.Detach(kSrcSetValue, h, BlockSize(h)))
        return -1;
    szKey = key.get();
    szValue = value.get();
    int64_t vl = static_cast<int64_t>(strlen(szValue)) + 1;
    // -1: every slot is live and none holds the key (a map made with a few
    // slots); the growth below makes room.
    int idx = finder.Slot(h, szKey);
    bool rebuilt;
    if (idx >= 0 && Live(h, idx)) {
        char *old = At(h, h->slot[idx].pszValue);
        if (vl <= static_cast<int64_t>(strlen(old)) + 1) {
            memmove(old, szValue, static_cast<size_t>(vl));
            return idx;
        }
        if (!IGrow(ppHash, vl, &rebuilt, finder))
            return -1;
        h = *ppHash;
        if (rebuilt)
            idx = finder.Slot(h, szKey);
        memcpy(At(h, h->pszNext), szValue, static_cast<size_t>(vl));
        h->slot[idx].pszValue = h->pszNext;
        h->pszNext += static_cast<unsigned>(vl);
        h->cbFree -= static_cast<int>(vl);
        return idx;
    }
    int64_t need = static_cast<int64_t>(strlen(szKey)) + 1 + vl;
    if (!IGrow(ppHash, need, &rebuilt, finder))
        return -1;
    h = *ppHash;
    if (rebuilt)
        idx = finder.Slot(h, szKey);
    if (idx < 0)
        return -1;
    IStore(h, idx, szKey, szValue);
    finder.Stored(idx);
    return idx;
}

} // namespace

PSLIBSZHASH SLIBSzHashAllocator(int nSlot, int cb)
{
    if (nSlot < 1 || cb < 0) {
        SLIB_ERR_IN(kSrcAllocator, SLIB_ERR_BAD_PARAMETER);
        return nullptr;
    }
    return Allocate(nSlot, cb);
}

PSLIBSZHASH SLIBSzHashAlloc(int cb) { return Allocate(kSlots, cb < kMinArea ? kMinArea : cb); }

void SLIBSzHashFree(PSLIBSZHASH pHash) { free(pHash); }

const char *SzSLIBSzHashGetValue(PSLIBSZHASH pHash, const char *szKey)
{
    if (!pHash || !szKey)
        return nullptr;
    int idx = IFind(pHash, szKey);
    return idx < 0 ? nullptr : At(pHash, pHash->slot[idx].pszValue);
}

int SLIBSzHashSetValue(PSLIBSZHASH *ppHash, const char *szKey, const char *szValue)
{
    if (!ppHash) {
        SLIB_ERR_IN(kSrcSetValue, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    PlainFinder plain;
    return ISet(ppHash, szKey, szValue, plain);
}

char *SzSLIBSzHashRemoveKey(PSLIBSZHASH pHash, const char *szKey)
{
    if (!pHash || !szKey)
        return nullptr;
    int idx = IFind(pHash, szKey);
    if (idx < 0)
        return nullptr;
    pHash->slot[idx].pszKey = 0;
    pHash->nItem--;
    return At(pHash, pHash->slot[idx].pszValue);
}

void SLIBSzHashRemoveAll(PSLIBSZHASH pHash)
{
    if (!pHash)
        return;
    for (int i = 0; i < pHash->nSlot; i++)
        pHash->slot[i].pszKey = 0;
    pHash->nItem = 0;
    pHash->cbFree = pHash->cbTotal;
    pHash->pszNext = static_cast<unsigned>(AreaStart(pHash->nSlot));
}

int SLIBSzHashEnumKey(PSLIBSZHASH pHash, PSLIBSZLIST *ppList)
{
    if (!pHash)
        return -1;
    if (pHash->nItem == 0)
        return 0;
    int n = 0;
    for (int i = 0; i < pHash->nSlot; i++) {
        if (!Live(pHash, i))
            continue;
        n++;
        if (ppList && SLIBSzListPush(ppList, At(pHash, pHash->slot[i].pszKey)) < 0)
            return -1;
    }
    return n;
}

const char *SLIBSzHashSlotKey(PSLIBSZHASH pHash, int idx)
{
    if (!pHash || idx < 0 || idx >= pHash->nSlot || !Live(pHash, idx))
        return nullptr;
    return At(pHash, pHash->slot[idx].pszKey);
}

const char *SLIBSzHashSlotValue(PSLIBSZHASH pHash, int idx)
{
    if (!pHash || idx < 0 || idx >= pHash->nSlot || !Live(pHash, idx))
        return nullptr;
    return At(pHash, pHash->slot[idx].pszValue);
}

// The filler's finder: the map's keys through KeyIndex, the slot of a new
// key through FreeSlots; the plain probe for a small map, or when the index
// could not be had.
// Pairs wait in a short queue, so that the index cell of each is fetched
// from memory while the ones before it are stored.
struct slib::SzHashFiller::Impl {
    // In a map of fewer slots the runs stay short: probing it costs less
    // than keeping the index.
    static constexpr int kIndexFrom = 32768;
    static constexpr int kQueue = 8;
    static constexpr size_t kLongest = 4096; // a longer pair is stored at once
    struct Pending {
        char *text = nullptr; // key, NUL, value, NUL
        size_t cap = 0;
        size_t keyLen = 0;
    };

    PSLIBSZHASH map = nullptr; // the map the index describes
    bool indexed = false;
    KeyIndex keys;
    FreeSlots room;
    uint64_t hash = 0; // of the key last given to Slot
    Pending queue[kQueue];
    int head = 0, waiting = 0;

    ~Impl()
    {
        for (Pending &p : queue)
            free(p.text);
    }
    // Indexes a map as the caller gave it.
    void Start(PSLIBSZHASH h)
    {
        Rebuilding(h, h->nItem);
        for (int i = 0; i < h->nSlot; i++)
            if (Live(h, i))
                Placed(At(h, h->slot[i].pszKey), i);
        Rebuilt();
    }
    FreeSlots &Rebuilding(PSLIBSZHASH h, int pairs)
    {
        map = h;
        indexed = h->nSlot >= kIndexFrom && keys.Reset(h->nSlot, pairs);
        room.Reset(h);
        return room;
    }
    // The pairs keep their slots in the new block h.
    void Moved(PSLIBSZHASH h)
    {
        map = h;
        room.Moved(h);
    }
    void Placed(const char *key, int idx)
    {
        if (indexed)
            keys.Gather(KeyHash(key), idx);
    }
    void Rebuilt()
    {
        if (indexed)
            keys.Build();
    }
    int Slot(PSLIBSZHASH h, const char *key)
    {
        if (!indexed)
            return IFindSlot(h, key);
        hash = KeyHash(key);
        int idx = keys.Find(h, key, hash);
        return idx >= 0 ? idx : NewKeySlot(h, room, IKey(key, h->nSlot));
    }
    void Stored(int idx)
    {
        if (indexed)
            keys.Add(hash, idx);
    }

    // Copies the pair to the end of the queue, which has room; false when
    // the map is not indexed, for a pair too long to wait there, and
    // without memory for the copy.
    bool Push(const char *key, const char *value)
    {
        if (!indexed)
            return false;
        Pending &p = queue[(head + waiting) % kQueue];
        size_t kl = strlen(key), vl = strlen(value), need = kl + vl + 2;
        if (need > kLongest)
            return false;
        if (need > p.cap) {
            char *text = static_cast<char *>(realloc(p.text, need));
            if (!text)
                return false;
            p.text = text;
            p.cap = need;
        }
        memcpy(p.text, key, kl + 1);
        memcpy(p.text + kl + 1, value, vl + 1);
        p.keyLen = kl;
        waiting++;
        __builtin_prefetch(keys.Cell(KeyHash(key)));
        return true;
    }
    // Stores the first waiting pair; -1 when the store failed.
    int Pop(PSLIBSZHASH *pp)
    {
        Pending &p = queue[head];
        head = (head + 1) % kQueue;
        waiting--;
        return ISet(pp, p.text, p.text + p.keyLen + 1, *this);
    }
};

slib::SzHashFiller::SzHashFiller(PSLIBSZHASH *ppHash) : pp_(ppHash), impl_(new (std::nothrow) Impl) {}

slib::SzHashFiller::~SzHashFiller() { Flush(); }

int slib::SzHashFiller::Set(const char *szKey, const char *szValue)
{
    if (failed_)
        return -1;
    if (!impl_ || !*pp_ || !szKey || !szValue) {
        if (Flush() < 0)
            return -1;
        PlainFinder plain;
        return ISet(pp_, szKey, szValue, plain) < 0 ? -1 : 0;
    }
    Impl &x = *impl_;
    if (x.map != *pp_)
        x.Start(*pp_);
    if (x.waiting == Impl::kQueue && x.Pop(pp_) < 0)
        return Fail();
    if (x.Push(szKey, szValue))
        return 0;
    // The pair is stored now, after those before it.
    if (Flush() < 0 || ISet(pp_, szKey, szValue, x) < 0)
        return Fail();
    return 0;
}

int slib::SzHashFiller::Flush()
{
    if (failed_)
        return -1;
    while (impl_ && impl_->waiting > 0)
        if (impl_->Pop(pp_) < 0)
            return Fail();
    return 0;
}

int slib::SzHashFiller::Fail()
{
    failed_ = true;
    impl_->waiting = 0;
    return -1;
}
