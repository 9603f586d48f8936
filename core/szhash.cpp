#include "slib/szhash.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "block_arg.h"
#include "slib/error.h"

namespace {

constexpr int kHeader = static_cast<int>(sizeof(SLIBSZHASH)); // five 32-bit words
constexpr int kSlots = 31;
constexpr int kMinArea = 512;
static_assert(kHeader == 20 && sizeof(SLIBSZHASHSLOT) == 8,
              "the map's layout is the same on every CPU");

char *Base(PSLIBSZHASH h) { return reinterpret_cast<char *>(h); }
char *At(PSLIBSZHASH h, unsigned off) { return Base(h) + off; }
int64_t AreaStart(int64_t nSlot) { return kHeader + nSlot * int64_t{sizeof(SLIBSZHASHSLOT)}; }
int64_t BlockSize(PSLIBSZHASH h) { return AreaStart(h->nSlot) + h->cbTotal; }

bool Live(PSLIBSZHASH h, int i) { return h->slot[i].pszKey != 0; }
bool NeverUsed(PSLIBSZHASH h, int i) { return h->slot[i].pszKey == 0 && h->slot[i].pszValue == 0; }
bool KeyIs(PSLIBSZHASH h, int i, const char *key)
{
    return Live(h, i) && strcmp(At(h, h->slot[i].pszKey), key) == 0;
}

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
        SLIB_ERR(SLIB_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    auto *h = static_cast<PSLIBSZHASH>(calloc(1, static_cast<size_t>(size)));
    if (!h) {
        SLIB_ERR(SLIB_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    h->cbTotal = h->cbFree = static_cast<int>(cb);
    h->nSlot = static_cast<int>(nSlot);
    h->pszNext = static_cast<unsigned>(AreaStart(nSlot));
    return h;
}

// Rebuilds into a new block; the old one is freed only on success.
bool IRehash(PSLIBSZHASH *pp, int64_t nSlot, int64_t cbTotal)
{
    PSLIBSZHASH old = *pp;
    PSLIBSZHASH h = Allocate(nSlot, cbTotal);
    if (!h)
        return false;
    for (int i = 0; i < old->nSlot; i++)
        if (Live(old, i)) {
            const char *key = At(old, old->slot[i].pszKey);
            IStore(h, IFindSlot(h, key), key, At(old, old->slot[i].pszValue));
        }
    free(old);
    *pp = h;
    return true;
}

// Makes room for `need` more bytes and keeps at least a quarter of the
// slots free. Sets *rebuilt when the map moved.
bool IGrow(PSLIBSZHASH *pp, int64_t need, bool *rebuilt)
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
    if (!IRehash(pp, nSlot, cbTotal))
        return false;
    *rebuilt = true;
    return true;
}

} // namespace

PSLIBSZHASH SLIBSzHashAllocator(int nSlot, int cb)
{
    if (nSlot < 1 || cb < 0) {
        SLIB_ERR(SLIB_ERR_BAD_PARAMETER);
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
        SLIB_ERR(SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    PSLIBSZHASH h = *ppHash;
    if (!h || !szKey || !szValue)
        return -1;
    BlockArg key(szKey), value(szValue);
    if (!key.Detach(h, BlockSize(h)) || !value.Detach(h, BlockSize(h)))
        return -1;
    szKey = key.get();
    szValue = value.get();
    int64_t vl = static_cast<int64_t>(strlen(szValue)) + 1;
    // -1: every slot is live and none holds the key (a map made with a few
    // slots); the growth below makes room.
    int idx = IFindSlot(h, szKey);
    bool rebuilt;
    if (idx >= 0 && Live(h, idx)) {
        char *old = At(h, h->slot[idx].pszValue);
        if (vl <= static_cast<int64_t>(strlen(old)) + 1) {
            memmove(old, szValue, static_cast<size_t>(vl));
            return idx;
        }
        if (!IGrow(ppHash, vl, &rebuilt))
            return -1;
        h = *ppHash;
        if (rebuilt)
            idx = IFindSlot(h, szKey);
        memcpy(At(h, h->pszNext), szValue, static_cast<size_t>(vl));
        h->slot[idx].pszValue = h->pszNext;
        h->pszNext += static_cast<unsigned>(vl);
        h->cbFree -= static_cast<int>(vl);
        return idx;
    }
    int64_t need = static_cast<int64_t>(strlen(szKey)) + 1 + vl;
    if (!IGrow(ppHash, need, &rebuilt))
        return -1;
    h = *ppHash;
    if (rebuilt)
        idx = IFindSlot(h, szKey);
    if (idx < 0)
        return -1;
    IStore(h, idx, szKey, szValue);
    return idx;
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
