/* String list: an ordered list of strings held in one heap block. */
#ifndef SLIB_SZLIST_H
#define SLIB_SZLIST_H

#ifdef __cplusplus
extern "C" {
#endif

#define SLIB_SZLIST_UNSORTED   0x00
#define SLIB_SZLIST_SORT       0x01 /* byte order (strcmp) */
#define SLIB_SZLIST_SORT_CASE  0x10 /* caseless order (SLIBUnicodeUTF8StrCaseCmp) */

#define SLIB_SZLIST_OR_NEW     0x1000 /* PslSLIBSzListOr: build the union in a new list */

/*
 * Layout of the block (cbSize bytes), the same byte counts on every CPU:
 *
 *   header     six 32-bit words, 24 bytes
 *   pszItem[]  nItem 32-bit slots
 *   free       cbFree bytes
 *   strings    from pszTop to the end of the block, growing downward;
 *              the last byte (pszEmpty) is always NUL and is the shared
 *              empty string of the holes
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

PSLIBSZLIST PslSLIBSzListAlloc(int cb);
void SLIBSzListFree(PSLIBSZLIST pList);
const char *SLIBSzListGet(PSLIBSZLIST pList, int idx);
int SLIBSzListInsert(PSLIBSZLIST *ppList, int idx, const char *sz);
int SLIBSzListPush(PSLIBSZLIST *ppList, const char *sz);
int SLIBSzListInsertHead(PSLIBSZLIST *ppList, const char *sz);
char *SzSLIBSzListRemove(PSLIBSZLIST pList, int idx);
char *SzSLIBSzListRemoveHead(PSLIBSZLIST pList);
char *SzSLIBSzListRemoveTail(PSLIBSZLIST pList);
void SLIBSzListRemoveAll(PSLIBSZLIST pList);
int SLIBSzListSet(PSLIBSZLIST *ppList, int idx, const char *sz);
void SLIBSzListSort(PSLIBSZLIST pList, int type);
void SLIBSzListCompact(PSLIBSZLIST pList);
int SLIBSzListFind(PSLIBSZLIST pList, const char *sz);
int SLIBSzListCaseFind(PSLIBSZLIST pList, const char *sz);
int SLIBSzListBinarySearch(PSLIBSZLIST pList, int hi, int lo, const char *szKey, int caseless);
PSLIBSZLIST SLIBSzListExpand(PSLIBSZLIST pList);
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
