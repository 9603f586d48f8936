/* String list: an ordered list of strings held in one heap block. */
#ifndef SLIB_SZLIST_H
#define SLIB_SZLIST_H

#ifdef __cplusplus
extern "C" {
#endif

#define SLIB_SZLIST_UNSORTED  0x00
#define SLIB_SZLIST_SORT      0x01 /* byte order (strcmp) */
#define SLIB_SZLIST_SORT_CASE 0x10 /* caseless order (SLIBUnicodeUTF8StrCaseCmp) */

#define SLIB_SZLIST_OR_NEW 0x1000 /* PslSLIBSzListOr: build the union in a new list */

/*
 * Layout of the block (cbSize bytes), the same byte counts on every CPU:
 *
 *   header     six 32-bit words, 24 bytes
 *   pszItem[]  nItem 32-bit slots
 *   free       cbFree bytes
 *   strings    from pszTop to the end of the block, growing downward;
 *              the last byte (pszEmpty) is always NUL and is the shared
 *              empty string of the holes; no stored string lies on it (a
 *              stored empty string, an item and no hole, takes a byte of
 *              its own, and one more where it is the area's first)
 *
 * pszTop, pszEmpty and every item slot are offsets in bytes from the start
 * of the block, never machine pointers: read an item with SLIBSzListGet.
 * The block is therefore position independent: a byte copy of its cbSize
 * bytes is a valid list wherever it lands (this is how a list is stored as
 * one database value: the "pointers turned into offsets" of such a value
 * are exactly the words held here, so packing is a copy of cbSize bytes and
 * unpacking is a copy into a new malloc block of that size; an unpacked
 * value that was not trusted should be checked with SLIBSzListCheck).
 * The words are in host byte order, like the other header words.
 */
typedef struct _tag_SLIBSZLIST_ {
    int cbSize;
    int nItem;
    int cbFree;
    int type;
    unsigned int pszTop;
    unsigned int pszEmpty;
    unsigned int pszItem[];
} SLIBSZLIST, *PSLIBSZLIST;

/* Operations that may grow a list take the address of the caller's pointer
 * and may move the block; a failed growth leaves the old block in place. */

/* A new empty unsorted list of max(cb, 512) bytes, freed by the caller with
 * SLIBSzListFree; NULL with 0x0200. */
PSLIBSZLIST PslSLIBSzListAlloc(int cb);
/* Frees the block; NULL is ignored. */
void SLIBSzListFree(PSLIBSZLIST pList);
/* Item idx (a hole is ""), a string inside the block; NULL with 0x0D00 for a
 * NULL list or an idx outside 0 .. nItem-1. */
const char *SLIBSzListGet(PSLIBSZLIST pList, int idx);
/* Copies sz in at idx (holes fill a gap; a sorted list puts it in its
 * place): its index, or -1 with 0x0D00 or 0x0200. */
int SLIBSzListInsert(PSLIBSZLIST *ppList, int idx, const char *sz);
/* SLIBSzListInsert at the end: the index, or -1 with 0x0D00 or 0x0200. */
int SLIBSzListPush(PSLIBSZLIST *ppList, const char *sz);
/* SLIBSzListInsert at 0: the index, or -1 with 0x0D00 or 0x0200. */
int SLIBSzListInsertHead(PSLIBSZLIST *ppList, const char *sz);
/* Removes item idx: its string, still inside the block (not to be freed,
 * valid until the list changes again); NULL with 0x0D00. */
char *SzSLIBSzListRemove(PSLIBSZLIST pList, int idx);
/* SzSLIBSzListRemove of the first item: its string, or NULL with 0x0D00. */
char *SzSLIBSzListRemoveHead(PSLIBSZLIST pList);
/* SzSLIBSzListRemove of the last item: its string, or NULL with 0x0D00. */
char *SzSLIBSzListRemoveTail(PSLIBSZLIST pList);
/* Empties the list in place, keeping its type; NULL is ignored. */
void SLIBSzListRemoveAll(PSLIBSZLIST pList);
/* Replaces item idx by a copy of sz (a sorted list is sorted again): the
 * item's index now, or -1 with 0x0D00 or 0x0200, or with the caseless
 * comparison's code for a caseless list and an sz it cannot order; a
 * failed set changes nothing. */
int SLIBSzListSet(PSLIBSZLIST *ppList, int idx, const char *sz);
/* Sorts an unsorted list (holes dropped) by the order of type and keeps
 * type as the list's; no result, no code; NULL is ignored. */
void SLIBSzListSort(PSLIBSZLIST pList, int type);
/* Drops the holes, keeping the order of the rest; NULL is ignored. */
void SLIBSzListCompact(PSLIBSZLIST pList);
/* The index of an item equal to sz in byte order, or -1 (none found: no
 * code; a NULL argument or a caseless sorted list: 0x0D00). */
int SLIBSzListFind(PSLIBSZLIST pList, const char *sz);
/* The index of an item equal to sz ignoring case, or -1 (none found: no
 * code; a NULL argument or a byte-sorted list: 0x0D00). */
int SLIBSzListCaseFind(PSLIBSZLIST pList, const char *sz);
/* Binary search of szKey in the sorted items lo .. hi: its index, or the
 * complement (~) of the index where it would stand; -1 with 0x0D00 for a
 * NULL argument. */
int SLIBSzListBinarySearch(PSLIBSZLIST pList, int hi, int lo, const char *szKey, int caseless);
/* A copy of the list in a block of twice the size, the old block freed: the
 * new block, or NULL with 0x0D00 or 0x0200 (the old block then kept). */
PSLIBSZLIST SLIBSzListExpand(PSLIBSZLIST pList);
/* The union of *ppList and pSrc: into *ppList (its block may move), or with
 * SLIB_SZLIST_OR_NEW into a new list that the caller frees with
 * SLIBSzListFree; that list, or NULL with 0x0D00 (lists sorted in different
 * orders) or 0x0200. */
PSLIBSZLIST PslSLIBSzListOr(PSLIBSZLIST *ppList, PSLIBSZLIST pSrc, int flags);

/*
 * 1 when the cb bytes at pList form a sound list block (sizes, offsets and
 * string terminators all inside the block), else 0. For blocks that come
 * from outside the process, such as a stored database value.
 */
int SLIBSzListCheck(const void *pList, int cb);

#ifdef __cplusplus
}
#endif

#endif
