/* RAID arrays: the state of one Linux md array. */
#ifndef VAKO_RAID_H
#define VAKO_RAID_H

#include <stdint.h>
#include <linux/raid/md_u.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VAKO_ERR_MD_INACTIVE 0x0600 /* the md device is not active (ENODEV) */
#define VAKO_ERR_RAID_IOCTL  0x8000 /* an md ioctl or the member glob failed */
#define VAKO_ERR_RAID_MEMBER 0x9900 /* a member directory without a device name after "dev-" */
#define VAKO_ERR_RAID_PATH   0xBE00 /* a path that names no md device /dev/mdN */

#define VAKO_RAID_PATH_SIZE 128

/* raidType */
#define VAKO_RAID_OTHER  0
#define VAKO_RAID_0      1
#define VAKO_RAID_1      2
#define VAKO_RAID_5      3
#define VAKO_RAID_6      4
#define VAKO_RAID_LINEAR 5

/* Array status */
#define VAKO_RAID_NORMAL   1
#define VAKO_RAID_DEGRADED 2
#define VAKO_RAID_CRASHED  3

/* Member status */
#define VAKO_RAID_DISK_IN_SYNC    0
#define VAKO_RAID_DISK_FAULTY     1
#define VAKO_RAID_DISK_ERROR      2
#define VAKO_RAID_DISK_SPARE      3 /* a spare that holds a slot */
#define VAKO_RAID_DISK_SPARE_NONE 4 /* a spare whose slot is "none" */

typedef struct _tag_VAKORAIDDISK_ {
    char szPath[VAKO_RAID_PATH_SIZE]; /* "/dev/sda3" */
    int status;
    struct _tag_VAKORAIDDISK_ *pNext;
} VAKORAIDDISK;

typedef struct _tag_VAKORAIDINFO_ {
    int mdIndex;
    int firstDisk; /* -1, or the letter index of a head member /dev/sdXY */
    char szPath[VAKO_RAID_PATH_SIZE];
    int raidType;
    int status;
    uint32_t syncStatus[3]; /* state word, two value words */
    uint64_t deviceBytes;
    int64_t componentBytes;
    int raidDisks;
    VAKORAIDDISK *pDiskList;
} VAKORAIDINFO, *PVAKORAIDINFO;

/* The array's record into *ppInfo, freed by the caller with
 * VAKORaidInfoFree: 1; 0 when the array is not active (no record); -1 with
 * 0x0D00, 0xBE00, 0x0900, 0x0200 or an ioctl's or member's code. */
int VAKORaidInfoGet(const char *szPath, PVAKORAIDINFO *ppInfo);
/* Frees the record and its member list; NULL is ignored. */
void VAKORaidInfoFree(PVAKORAIDINFO pInfo);
/* The array's members into *ppList (NULL: none), freed by the caller with
 * RaidDiskListFree: 0, or -1 with 0x0D00, 0xBE00, 0x0200, 0x8000 (the member
 * glob) or a member's code. */
int VAKORaidDiskListGet(const char *szPath, VAKORAIDDISK **ppList);
/* A member record from its directory ".../dev-<name>" into *ppDisk, a malloc
 * block the caller frees (or pushes onto a list): 0, or -1 with 0x0D00,
 * 0x0200, 0x9900, 0x0900 or 0x0A00. */
int VAKORaidDiskCreate(const char *szMemberDir, VAKORAIDDISK **ppDisk);
/* Puts pDisk at the head of *ppList, which then owns it (0x0200 for NULL). */
void VAKORaidDiskListPush(VAKORAIDDISK **ppList, VAKORAIDDISK *pDisk);
/* Frees every member of the list; NULL is ignored. */
void RaidDiskListFree(VAKORAIDDISK *pList);
/* The array's status from its record and members into *pStatus: 0, or -1
 * with 0x0D00. */
int VAKORaidDecideStatus(const mdu_array_info_t *pInfo, const VAKORAIDDISK *pList, int *pStatus);
/* The md array record of fd: 0, or -1 with 0x0D00, 0x0600 (inactive) or 0x8000. */
int RaidIoctlInfo(int fd, mdu_array_info_t *pInfo);
/* The device's size in bytes (0 on failure): 0, or -1 with 0x0D00, 0x0600 or 0x8000. */
int RaidIoctlSize(int fd, uint64_t *pBytes);
/* The rebuild state {state, done, total} of fd: 0, or -1 with 0x0D00, 0x0600 or 0x8000. */
int RaidRebuildStatusGet(int fd, uint32_t pSync[3]);
/* The first line of szFile into buf of cb bytes: 0, or -1 with 0x0D00, 0x0900 or 0x0A00. */
int RaidDiskFileLineRead(const char *szFile, char *buf, int cb);

#ifdef __cplusplus
}
#endif

#endif
