/* The group record: one heap block holding a group's name, id and member
 * names, the group line it is stored as ("name:x:gid:member,member"), its
 * conversions to and from the C library's struct group, and the rule for
 * valid group names. */
#ifndef VAKO_GROUP_H
#define VAKO_GROUP_H

#include <grp.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Error codes of the group records, databases and operations (with the
 * general ones of slib/error.h, those of vako/keydb.h and 0x4000
 * VAKO_ERR_BAD_FORMAT of vako/user.h). */
#define VAKO_ERR_GROUP_BAD_NAME  0x1600 /* invalid or empty group name */
#define VAKO_ERR_GROUP_EXISTS    0x1700 /* the group name is already taken */
#define VAKO_ERR_GROUP_NOT_FOUND 0x1800 /* no group of that name; also a failed walk */
#define VAKO_ERR_NO_FREE_GID     0x1900 /* no free group id left in 65536..95536 */
#define VAKO_ERR_SYSTEM_GROUP    0xB700 /* a system group (gid 0 to 65535) cannot be deleted or renamed */

/* Kinds of group, told apart by a '\' in the name. */
#define VAKO_GROUP_TYPE_LOCAL  1
#define VAKO_GROUP_TYPE_DOMAIN 2

/* Longest valid group name, in characters. */
#define VAKO_GROUP_NAME_MAX_CHARS 15

/* One group: this header, then the NULL-terminated member pointer array,
 * then the name and each member with its NUL. A record whose header alone
 * is filled by the caller (cbAlloc 0) may be handed to the operations that
 * only read szName, gid and ppMembers. */
typedef struct _tag_VAKOGROUP_ {
    char *szName;     /* as given, case kept */
    int32_t gid;      /* -1 for a domain group */
    char **ppMembers; /* NULL-terminated */
    int32_t type;     /* VAKO_GROUP_TYPE_* */
    int32_t cbAlloc;  /* bytes of the block; 0 for a record not made here */
} VAKOGROUP, *PVAKOGROUP;

/* Makes *ppGroup (NULL: a new block; else reused when large enough, or
 * grown and possibly moved) hold szName, gid and the members of the
 * NULL-terminated ppMembers, leaving out empty members and "nobody" (exact):
 * 0, or -1 with 0x0D00 (a NULL argument, a string inside the block being
 * refilled, or a caller's record of cbAlloc 0: the record untouched) or
 * 0x0200 (the old block freed, *ppGroup NULL). Free with VAKOGroupFree. */
int VAKOGroupAlloc2(PVAKOGROUP *ppGroup, const char *szName, int gid, char **ppMembers);
/* A new record of a group line, freed with VAKOGroupFree; NULL with the
 * code of VAKOGroupDBUnpack. */
PVAKOGROUP VAKOGroupAlloc(const char *line);
/* Parses a group line (four fields split at ':', members split at ',', the
 * gid as atoi reads it) into *ppGroup as VAKOGroupAlloc2 does: 0, or -1
 * with 0x0D00, 0x4000 (not exactly four fields), 0x1600 (empty name) or
 * 0x0200; a reused block is then unspecified but freeable. */
int VAKOGroupDBUnpack(const char *line, PVAKOGROUP *ppGroup);
/* Frees a record; NULL does nothing. */
void VAKOGroupFree(PVAKOGROUP group);
/* Fills gr with pointers into group (gr_passwd "x"), valid while group
 * lives: 0, or -1 with 0x0D00. */
int VAKOGroupToUnixGroup(PVAKOGROUP group, struct group *gr);
/* Writes the group line of gr ("%s:x:%d:%s", the members validated against
 * the user database: accounts as stored, no "nobody", no duplicates) into
 * the caller's growing buffer (vako/keydb.h; NULL and 0 at first, freed by
 * the caller): the line's length with its NUL, or -1 with 0x0D00, 0x1600
 * (a name empty or holding ':' or a line end), 0x4000 (a member that is a
 * "@group"), 0x0900 (the user database cannot open) or 0x0200. */
int VAKOGroupDBPackFromUnix(struct group *gr, char **ppBuf, int *pcbBuf);
/* 1 when szName is a valid local group name (1 to 15 characters of
 * letters, digits, '.', '-', '_', ' ' and any non-ASCII character; no
 * leading ' ' or '-', no trailing ' '), else 0. No error code. */
int VAKOGroupIsValidName(const char *szName);

#ifdef __cplusplus
}
#endif

#endif
