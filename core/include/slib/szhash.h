/* String hash: a map of strings to strings held in one heap block. */
#ifndef SLIB_SZHASH_H
#define SLIB_SZHASH_H

#include "slib/szlist.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A slot: never used (both 0), live (pszKey set) or a tombstone (pszKey 0,
 * pszValue set). Both are offsets from the start of the block, as in the
 * string list: read them with SLIBSzHashSlotKey and SLIBSzHashSlotValue. */
typedef struct _tag_SLIBSZHASHSLOT_ {
    unsigned int pszKey;
    unsigned int pszValue;
} SLIBSZHASHSLOT;

/*
 * One block: a header of five 32-bit words, nSlot slots, then the string
 * area of cbTotal bytes where each pair is stored as key, NUL, value, NUL.
 * pszNext is the offset of the next unused byte of the string area.
 */
typedef struct _tag_SLIBSZHASH_ {
    int cbTotal;
    int cbFree;
    int nSlot;
    int nItem;
    unsigned int pszNext;
    SLIBSZHASHSLOT slot[];
} SLIBSZHASH, *PSLIBSZHASH;

PSLIBSZHASH SLIBSzHashAlloc(int cb);
PSLIBSZHASH SLIBSzHashAllocator(int nSlot, int cb);
void SLIBSzHashFree(PSLIBSZHASH pHash);
const char *SzSLIBSzHashGetValue(PSLIBSZHASH pHash, const char *szKey);
int SLIBSzHashSetValue(PSLIBSZHASH *ppHash, const char *szKey, const char *szValue);
char *SzSLIBSzHashRemoveKey(PSLIBSZHASH pHash, const char *szKey);
void SLIBSzHashRemoveAll(PSLIBSZHASH pHash);
int SLIBSzHashEnumKey(PSLIBSZHASH pHash, PSLIBSZLIST *ppList);

/* The key and value of a live slot idx, else NULL: for walking a map in
 * slot order. */
const char *SLIBSzHashSlotKey(PSLIBSZHASH pHash, int idx);
const char *SLIBSzHashSlotValue(PSLIBSZHASH pHash, int idx);

#ifdef __cplusplus
}
#endif

#endif
