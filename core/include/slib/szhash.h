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

/* A new empty map of 31 slots and max(cb, 512) string bytes, freed by the
 * caller with SLIBSzHashFree; NULL with 0x0200. */
PSLIBSZHASH SLIBSzHashAlloc(int cb);
/* A new empty map of nSlot slots and cb string bytes, freed with
 * SLIBSzHashFree; NULL with 0x0D00 (nSlot < 1 or cb < 0) or 0x0200. */
PSLIBSZHASH SLIBSzHashAllocator(int nSlot, int cb);
/* Frees the block; NULL is ignored. */
void SLIBSzHashFree(PSLIBSZHASH pHash);
/* The value of szKey, a string inside the block; NULL when absent or for a
 * NULL argument, no code. */
const char *SzSLIBSzHashGetValue(PSLIBSZHASH pHash, const char *szKey);
/* Sets szKey to a copy of szValue; the map may move to a larger block: the
 * pair's slot index, or -1 (0x0D00 for a NULL ppHash, 0x0200 when it cannot
 * grow; NULL map, key or value: no code). */
int SLIBSzHashSetValue(PSLIBSZHASH *ppHash, const char *szKey, const char *szValue);
/* Removes szKey: its value, still inside the block (not to be freed, valid
 * until the map is rebuilt or emptied); NULL when absent, no code. */
char *SzSLIBSzHashRemoveKey(PSLIBSZHASH pHash, const char *szKey);
/* Empties the map in place; NULL is ignored. */
void SLIBSzHashRemoveAll(PSLIBSZHASH pHash);
/* The number of pairs; with ppList, each key pushed onto *ppList in slot
 * order.  -1 for a NULL map (no code) or a failed push (its code). */
int SLIBSzHashEnumKey(PSLIBSZHASH pHash, PSLIBSZLIST *ppList);

/* The key and value of a live slot idx, strings inside the block; NULL for
 * any other slot, no code: for walking a map in slot order. */
const char *SLIBSzHashSlotKey(PSLIBSZHASH pHash, int idx);
const char *SLIBSzHashSlotValue(PSLIBSZHASH pHash, int idx);

#ifdef __cplusplus
}
#endif

#endif
