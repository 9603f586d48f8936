#include "slib/szlist.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "block_arg.h"
#include "slib/error.h"
#include "slibcxx/raii.h"
#include "slib/unicode.h"

namespace {

constexpr int kHeader = static_cast<int>(sizeof(SLIBSZLIST)); // six 32-bit words
constexpr int kSlot = 4;
constexpr int kMinSize = 512;
static_assert(kHeader == 24, "the list header is six 32-bit words on every CPU");
static_assert(sizeof(unsigned int) == kSlot);

// The operations' own source names, recorded with their error codes. A
// list grows only by expansion, whose name its failures carry.
constexpr const char *kSrcAlloc = "sz_list_alloc";
constexpr const char *kSrcGet = "sz_list_get";
constexpr const char *kSrcInsert = "sz_list_insert";
constexpr const char *kSrcPush = "sz_list_push";
constexpr const char *kSrcInsertHead = "sz_list_insert_head";
constexpr const char *kSrcRemove = "sz_list_remove";
constexpr const char *kSrcRemoveHead = "sz_list_remove_head";
constexpr const char *kSrcRemoveTail = "sz_list_remove_tail";
constexpr const char *kSrcSet = "sz_list_set";
constexpr const char *kSrcFind = "sz_list_find";
constexpr const char *kSrcCaseFind = "sz_list_case_find";
constexpr const char *kSrcBinarySearch = "sz_list_binary_search";
constexpr const char *kSrcExpand = "sz_list_expand";
constexpr const char *kSrcOr = "sz_list_or";

char *Base(PSLIBSZLIST l) { return reinterpret_cast<char *>(l); }
char *At(PSLIBSZLIST l, unsigned off) { return Base(l) + off; }
char *Item(PSLIBSZLIST l, int i) { return At(l, l->pszItem[i]); }
bool IsHole(PSLIBSZLIST l, int i) { return l->pszItem[i] == l->pszEmpty; }

// A stored string never lies on the shared empty byte, or it would read as a
// hole: an empty string that would land there (the first string of an empty
// string area) goes one byte lower.  The extra byte that placing len bytes
// costs.
int64_t Extra(PSLIBSZLIST l, int64_t len) { return len == 1 && l->pszTop == static_cast<unsigned>(l->cbSize) ? 1 : 0; }

// Copies len bytes of s below pszTop: their offset.  The caller counts
// len + Extra (taken before the call) off cbFree.
unsigned Place(PSLIBSZLIST l, const char *s, size_t len)
{
    l->pszTop -= static_cast<unsigned>(static_cast<int64_t>(len) + Extra(l, static_cast<int64_t>(len)));
    memmove(At(l, l->pszTop), s, len);
    return l->pszTop;
}

void InitHeader(PSLIBSZLIST l, int cb, int nItem, int type)
{
    l->cbSize = cb;
    l->nItem = nItem;
    l->cbFree = cb - kHeader;
    l->type = type;
    l->pszTop = static_cast<unsigned>(cb);
    l->pszEmpty = static_cast<unsigned>(cb - 1);
    Base(l)[cb - 1] = '\0';
}

// Copies the items of `from` into a fresh block of cb bytes, dropping dead
// bytes; `from` stays valid (the caller frees it once nothing points into it).
PSLIBSZLIST Repack(PSLIBSZLIST from, int cb)
{
    auto *l = static_cast<PSLIBSZLIST>(calloc(1, static_cast<size_t>(cb)));
    if (!l) {
        SLIB_ERR_IN(kSrcExpand, SLIB_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    InitHeader(l, cb, from->nItem, from->type);
    l->cbFree -= kSlot * from->nItem;
    for (int i = 0; i < from->nItem; i++) {
        if (IsHole(from, i)) {
            l->pszItem[i] = l->pszEmpty;
            continue;
        }
        size_t len = strlen(Item(from, i)) + 1;
        l->cbFree -= static_cast<int>(static_cast<int64_t>(len) + Extra(l, static_cast<int64_t>(len)));
        l->pszItem[i] = Place(l, Item(from, i), len);
    }
    return l;
}

// Bytes of live strings (what a re-pack keeps, the extra byte of an empty
// string placed first included).
int64_t LiveBytes(PSLIBSZLIST l)
{
    int64_t n = 0;
    for (int i = 0; i < l->nItem; i++) {
        if (IsHole(l, i))
            continue;
        int64_t len = static_cast<int64_t>(strlen(Item(l, i))) + 1;
        n += len + (n == 0 && len == 1 ? 1 : 0);
    }
    return n;
}

// Doubles the block until `need` bytes are free, as repeated expansions
// would, but with one re-pack. On failure (0x0200) *pp is left untouched.
bool Grow(PSLIBSZLIST *pp, int64_t need)
{
    PSLIBSZLIST l = *pp;
    if (l->cbFree >= need)
        return true;
    int64_t fixed = kHeader + static_cast<int64_t>(kSlot) * l->nItem + LiveBytes(l);
    int64_t size = l->cbSize;
    do {
        size *= 2;
        if (size > INT32_MAX) {
            SLIB_ERR_IN(kSrcExpand, SLIB_ERR_OUT_OF_MEMORY);
            return false;
        }
    } while (size - fixed < need);
    PSLIBSZLIST n = Repack(l, static_cast<int>(size));
    if (!n)
        return false;
    free(l);
    *pp = n;
    return true;
}

// Grows the list until cost(list) bytes are free (an expansion may make an
// empty string dearer by its extra byte); false (0x0200) when it cannot.
template <class Cost> bool GrowFor(PSLIBSZLIST *pp, Cost cost)
{
    while ((*pp)->cbFree < cost(*pp))
        if (!Grow(pp, cost(*pp)))
            return false;
    return true;
}

int CmpCase(const char *a, const char *b) { return SLIBUnicodeUTF8StrCaseCmp(a, b); }

int SortCmp(const void *a, const void *b, void *ctx)
{
    auto *l = static_cast<PSLIBSZLIST>(ctx);
    const char *x = At(l, *static_cast<const unsigned *>(a));
    const char *y = At(l, *static_cast<const unsigned *>(b));
    return strcmp(x, y);
}

int SortCaseCmp(const void *a, const void *b, void *ctx)
{
    auto *l = static_cast<PSLIBSZLIST>(ctx);
    const char *x = At(l, *static_cast<const unsigned *>(a));
    const char *y = At(l, *static_cast<const unsigned *>(b));
    return CmpCase(x, y); // -2 (failure) sorts as "less"
}

void QSort(PSLIBSZLIST l, bool caseless)
{
    if (l->nItem > 1)
        qsort_r(l->pszItem, static_cast<size_t>(l->nItem), kSlot, caseless ? SortCaseCmp : SortCmp, l);
}

// Linear scan; holes never match.
int Scan(PSLIBSZLIST l, const char *sz, bool caseless)
{
    for (int i = 0; i < l->nItem; i++) {
        if (IsHole(l, i))
            continue;
        if ((caseless ? CmpCase(sz, Item(l, i)) : strcmp(sz, Item(l, i))) == 0)
            return i;
    }
    return -1;
}

} // namespace

PSLIBSZLIST PslSLIBSzListAlloc(int cb)
{
    if (cb < kMinSize)
        cb = kMinSize;
    auto *l = static_cast<PSLIBSZLIST>(calloc(1, static_cast<size_t>(cb)));
    if (!l) {
        SLIB_ERR_IN(kSrcAlloc, SLIB_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    InitHeader(l, cb, 0, SLIB_SZLIST_UNSORTED);
    return l;
}

void SLIBSzListFree(PSLIBSZLIST pList) { free(pList); }

const char *SLIBSzListGet(PSLIBSZLIST pList, int idx)
{
    if (!pList || idx < 0 || idx >= pList->nItem) {
        SLIB_ERR_IN(kSrcGet, SLIB_ERR_BAD_PARAMETER);
        return nullptr;
    }
    return Item(pList, idx);
}

int SLIBSzListBinarySearch(PSLIBSZLIST pList, int hi, int lo, const char *szKey, int caseless)
{
    if (!pList || !szKey) {
        SLIB_ERR_IN(kSrcBinarySearch, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    if (hi == -1)
        return -1;
    while (lo <= hi) {
        int mid = lo + (hi - lo) / 2;
        int r;
        if (caseless) {
            r = CmpCase(szKey, Item(pList, mid));
            if (r == -2)
                return ~lo;
        } else {
            r = strcmp(szKey, Item(pList, mid));
        }
        if (r < 0)
            hi = mid - 1;
        else if (r > 0)
            lo = mid + 1;
        else
            return mid;
    }
    return ~lo;
}

int SLIBSzListInsert(PSLIBSZLIST *ppList, int idx, const char *sz)
{
    if (!ppList || !*ppList || !sz || idx < 0) {
        SLIB_ERR_IN(kSrcInsert, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    PSLIBSZLIST l = *ppList;
    int pos = idx;
    if (l->type == SLIB_SZLIST_SORT || l->type == SLIB_SZLIST_SORT_CASE) {
        int r = SLIBSzListBinarySearch(l, l->nItem - 1, 0, sz, l->type == SLIB_SZLIST_SORT_CASE);
        pos = r < 0 ? ~r : r;
    }
    int64_t len = static_cast<int64_t>(strlen(sz)) + 1;
    auto need = [&](PSLIBSZLIST in) {
        return (pos < in->nItem ? len + kSlot : len + int64_t{kSlot} * (pos - in->nItem) + kSlot) + Extra(in, len);
    };
    BlockArg s(sz);
    if (l->cbFree < need(l)) {
        if (!s.Detach(kSrcInsert, l, l->cbSize) || !GrowFor(ppList, need))
            return -1;
        l = *ppList;
    }
    int64_t cost = need(l);
    unsigned at = Place(l, s.get(), static_cast<size_t>(len));
    if (pos < l->nItem) {
        memmove(&l->pszItem[pos + 1], &l->pszItem[pos], static_cast<size_t>(l->nItem - pos) * kSlot);
        l->nItem++;
    } else {
        for (int i = l->nItem; i < pos; i++)
            l->pszItem[i] = l->pszEmpty;
        l->nItem = pos + 1;
    }
    l->pszItem[pos] = at;
    l->cbFree -= static_cast<int>(cost);
    return pos;
}

int SLIBSzListPush(PSLIBSZLIST *ppList, const char *sz)
{
    if (!ppList || !*ppList || !sz) {
        SLIB_ERR_IN(kSrcPush, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    return SLIBSzListInsert(ppList, (*ppList)->nItem, sz);
}

int SLIBSzListInsertHead(PSLIBSZLIST *ppList, const char *sz)
{
    if (!ppList || !*ppList || !sz) {
        SLIB_ERR_IN(kSrcInsertHead, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    return SLIBSzListInsert(ppList, 0, sz);
}

char *SzSLIBSzListRemove(PSLIBSZLIST pList, int idx)
{
    if (!pList || idx < 0 || idx >= pList->nItem) {
        SLIB_ERR_IN(kSrcRemove, SLIB_ERR_BAD_PARAMETER);
        return nullptr;
    }
    char *sz = Item(pList, idx);
    memmove(&pList->pszItem[idx], &pList->pszItem[idx + 1], static_cast<size_t>(pList->nItem - idx - 1) * kSlot);
    pList->nItem--;
    pList->cbFree += kSlot;
    return sz;
}

char *SzSLIBSzListRemoveHead(PSLIBSZLIST pList)
{
    if (!pList) {
        SLIB_ERR_IN(kSrcRemoveHead, SLIB_ERR_BAD_PARAMETER);
        return nullptr;
    }
    return SzSLIBSzListRemove(pList, 0);
}

char *SzSLIBSzListRemoveTail(PSLIBSZLIST pList)
{
    if (!pList) {
        SLIB_ERR_IN(kSrcRemoveTail, SLIB_ERR_BAD_PARAMETER);
        return nullptr;
    }
    return SzSLIBSzListRemove(pList, pList->nItem - 1);
}

void SLIBSzListRemoveAll(PSLIBSZLIST pList)
{
    if (!pList)
        return;
    InitHeader(pList, pList->cbSize, 0, pList->type);
}

int SLIBSzListFind(PSLIBSZLIST pList, const char *sz)
{
    if (!pList || !sz || pList->type == SLIB_SZLIST_SORT_CASE) {
        SLIB_ERR_IN(kSrcFind, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    if (pList->type == SLIB_SZLIST_SORT) {
        int r = SLIBSzListBinarySearch(pList, pList->nItem - 1, 0, sz, 0);
        return r < 0 ? -1 : r;
    }
    return Scan(pList, sz, false);
}

int SLIBSzListCaseFind(PSLIBSZLIST pList, const char *sz)
{
    if (!pList || !sz || pList->type == SLIB_SZLIST_SORT) {
        SLIB_ERR_IN(kSrcCaseFind, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    if (pList->type == SLIB_SZLIST_SORT_CASE) {
        int r = SLIBSzListBinarySearch(pList, pList->nItem - 1, 0, sz, 1);
        return r < 0 ? -1 : r;
    }
    return Scan(pList, sz, true);
}

int SLIBSzListSet(PSLIBSZLIST *ppList, int idx, const char *sz)
{
    if (!ppList || !*ppList || !sz || idx < 0 || idx >= (*ppList)->nItem) {
        SLIB_ERR_IN(kSrcSet, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    PSLIBSZLIST l = *ppList;
    // A string that cannot be ordered caselessly is refused before anything
    // changes (the comparison records why).
    if (l->type == SLIB_SZLIST_SORT_CASE && CmpCase(sz, sz) == -2)
        return -1;
    size_t len = strlen(sz) + 1;
    if (!IsHole(l, idx) && len <= strlen(Item(l, idx)) + 1) {
        memmove(Item(l, idx), sz, len);
    } else {
        // A hole's only byte is the shared empty string: it takes nothing.
        if (len > INT32_MAX) {
            SLIB_ERR_IN(kSrcSet, SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
        auto need = [&](PSLIBSZLIST in) { return static_cast<int64_t>(len) + Extra(in, static_cast<int64_t>(len)); };
        BlockArg s(sz);
        if (l->cbFree < need(l)) {
            if (!s.Detach(kSrcSet, l, l->cbSize) || !GrowFor(ppList, need))
                return -1;
            l = *ppList;
        }
        int64_t cost = need(l);
        l->pszItem[idx] = Place(l, s.get(), len);
        l->cbFree -= static_cast<int>(cost);
    }
    if (l->type == SLIB_SZLIST_SORT || l->type == SLIB_SZLIST_SORT_CASE) {
        unsigned stored = l->pszItem[idx];
        bool caseless = l->type == SLIB_SZLIST_SORT_CASE;
        QSort(l, caseless);
        int found = caseless ? SLIBSzListCaseFind(l, At(l, stored)) : SLIBSzListFind(l, At(l, stored));
        // Items that cannot be ordered may hide it from the search: the set
        // is done, and its result is where the string now stands.
        for (int i = 0; found < 0 && i < l->nItem; i++)
            if (l->pszItem[i] == stored)
                found = i;
        return found;
    }
    return idx;
}

void SLIBSzListCompact(PSLIBSZLIST pList)
{
    if (!pList)
        return;
    int n = 0;
    for (int i = 0; i < pList->nItem; i++)
        if (!IsHole(pList, i))
            pList->pszItem[n++] = pList->pszItem[i];
    pList->cbFree += kSlot * (pList->nItem - n);
    pList->nItem = n;
}

void SLIBSzListSort(PSLIBSZLIST pList, int type)
{
    if (!pList)
        return;
    if (pList->type == SLIB_SZLIST_UNSORTED && (type & (SLIB_SZLIST_SORT | SLIB_SZLIST_SORT_CASE))) {
        SLIBSzListCompact(pList);
        QSort(pList, !(type & SLIB_SZLIST_SORT));
    }
    pList->type = type;
}

PSLIBSZLIST SLIBSzListExpand(PSLIBSZLIST pList)
{
    if (!pList) {
        SLIB_ERR_IN(kSrcExpand, SLIB_ERR_BAD_PARAMETER);
        return nullptr;
    }
    if (int64_t{pList->cbSize} * 2 > INT32_MAX) {
        SLIB_ERR_IN(kSrcExpand, SLIB_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    PSLIBSZLIST n = Repack(pList, pList->cbSize * 2);
    if (n)
        free(pList);
    return n;
}

namespace {

using Finder = int (*)(PSLIBSZLIST, const char *);

Finder FinderOf(int type)
{
    if (type == SLIB_SZLIST_SORT)
        return SLIBSzListFind;
    if (type == SLIB_SZLIST_SORT_CASE)
        return SLIBSzListCaseFind;
    return nullptr;
}

using ListPtr = slib::HeapPtr<SLIBSZLIST>;

// The union's steps once the arguments are checked. `dst` is the list that
// grows: the first list itself (in place) or the new one.
bool OrInto(PSLIBSZLIST *dst, PSLIBSZLIST first, PSLIBSZLIST src, bool fresh)
{
    auto push = [dst](const char *sz) { return SLIBSzListPush(dst, sz) >= 0; };
    auto pushAll = [&](PSLIBSZLIST l) {
        for (int i = 0; i < l->nItem; i++)
            if (!IsHole(l, i) && !push(Item(l, i)))
                return false;
        return true;
    };

    if (first->type == SLIB_SZLIST_UNSORTED && src->type == SLIB_SZLIST_UNSORTED) {
        if (fresh && !pushAll(first))
            return false;
        for (int j = 0; j < src->nItem; j++) {
            if (IsHole(src, j))
                continue;
            PSLIBSZLIST scanned = fresh ? first : *dst;
            if (Scan(scanned, Item(src, j), false) < 0 && !push(Item(src, j)))
                return false;
        }
        return true;
    }

    if (first->type == SLIB_SZLIST_UNSORTED) {
        Finder inSrc = FinderOf(src->type);
        if (!inSrc)
            return false;
        if (!fresh) {
            int n0 = (*dst)->nItem;
            if (!pushAll(src))
                return false;
            // Drop the old items that src holds, in one pass.
            PSLIBSZLIST l = *dst;
            int k = 0;
            for (int i = 0; i < n0; i++)
                if (inSrc(src, Item(l, i)) < 0)
                    l->pszItem[k++] = l->pszItem[i];
            int removed = n0 - k;
            memmove(&l->pszItem[k], &l->pszItem[n0], static_cast<size_t>(l->nItem - n0) * kSlot);
            l->nItem -= removed;
            l->cbFree += kSlot * removed;
            return true;
        }
        if (!pushAll(src))
            return false;
        for (int i = 0; i < first->nItem; i++)
            if (!IsHole(first, i) && inSrc(src, Item(first, i)) < 0 && !push(Item(first, i)))
                return false;
        return true;
    }

    int type = first->type;
    Finder inFirst = FinderOf(type);
    if (!inFirst)
        return false;
    if (!fresh)
        SLIBSzListSort(*dst, SLIB_SZLIST_UNSORTED);

    if (src->type == SLIB_SZLIST_UNSORTED) {
        if (fresh && !pushAll(first))
            return false;
        for (int j = 0; j < src->nItem; j++)
            if (!IsHole(src, j) && inFirst(*dst, Item(src, j)) < 0 && !push(Item(src, j)))
                return false;
        if (!fresh)
            SLIBSzListSort(*dst, type);
        return true;
    }

    // Both sorted in the same order: merge.
    bool caseless = type == SLIB_SZLIST_SORT_CASE;
    PSLIBSZLIST a = fresh ? first : *dst;
    int n1 = a->nItem, i = 0, j = 0;
    while (i < n1 || j < src->nItem) {
        a = fresh ? first : *dst;
        int r;
        if (i >= n1)
            r = 1;
        else if (j >= src->nItem)
            r = -1;
        else if (caseless) {
            r = CmpCase(Item(a, i), Item(src, j));
            if (r == -2)
                return false;
        } else {
            r = strcmp(Item(a, i), Item(src, j));
        }
        if (r <= 0) {
            if (fresh && !push(Item(a, i)))
                return false;
            i++;
            if (r == 0)
                j++;
        } else {
            if (!push(Item(src, j)))
                return false;
            j++;
        }
    }
    // The new list is merged in order already: it only takes the type.
    if (fresh)
        (*dst)->type = type;
    else
        SLIBSzListSort(*dst, type);
    return true;
}

} // namespace

PSLIBSZLIST PslSLIBSzListOr(PSLIBSZLIST *ppList, PSLIBSZLIST pSrc, int flags)
{
    if (!ppList || !*ppList || !pSrc || ((*ppList)->type && pSrc->type && (*ppList)->type != pSrc->type)) {
        SLIB_ERR_IN(kSrcOr, SLIB_ERR_BAD_PARAMETER);
        return nullptr;
    }
    PSLIBSZLIST first = *ppList;
    if (!(flags & SLIB_SZLIST_OR_NEW)) {
        // Pushing into the first list may move it: a src that is the same
        // block is read from a copy.
        ListPtr self;
        if (pSrc == first) {
            self.reset(static_cast<PSLIBSZLIST>(malloc(static_cast<size_t>(first->cbSize))));
            if (!self) {
                SLIB_ERR_IN(kSrcOr, SLIB_ERR_OUT_OF_MEMORY);
                return nullptr;
            }
            memcpy(self.get(), first, static_cast<size_t>(first->cbSize));
            pSrc = self.get();
        }
        SLIBSzListCompact(first);
        return OrInto(ppList, first, pSrc, false) ? *ppList : nullptr;
    }
    int64_t cb = int64_t{first->cbSize} - first->cbFree + pSrc->cbSize - pSrc->cbFree;
    if (cb > INT32_MAX) {
        SLIB_ERR_IN(kSrcOr, SLIB_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    ListPtr out(PslSLIBSzListAlloc(static_cast<int>(cb)));
    if (!out)
        return nullptr;
    PSLIBSZLIST l = out.release();
    if (!OrInto(&l, first, pSrc, true)) {
        SLIBSzListFree(l);
        return nullptr;
    }
    return l;
}

int SLIBSzListCheck(const void *pv, int cb)
{
    if (!pv || cb < kMinSize)
        return 0;
    auto *l = static_cast<PSLIBSZLIST>(const_cast<void *>(pv));
    if (l->cbSize != cb || l->nItem < 0 || l->pszEmpty != static_cast<unsigned>(cb - 1) || Base(l)[cb - 1] != '\0' ||
        l->pszTop > static_cast<unsigned>(cb))
        return 0;
    int64_t slots = kHeader + int64_t{kSlot} * l->nItem;
    if (slots > l->pszTop || l->cbFree != static_cast<int64_t>(l->pszTop) - slots)
        return 0;
    // Every string lies in the string area; the block's last byte is NUL, so
    // each one ends inside the block.
    for (int i = 0; i < l->nItem; i++)
        if (l->pszItem[i] != l->pszEmpty && (l->pszItem[i] < l->pszTop || l->pszItem[i] >= static_cast<unsigned>(cb)))
            return 0;
    return 1;
}
