/* The appliance kernel's flash interfaces: request numbers and kernel calls.
 *
 * The numbers are those of the appliance's 32-bit PowerPC kernel and are
 * used as they stand on every build host (on PowerPC, _IOC_READ is 2 and
 * _IOC_WRITE is 4 in the top three bits).  Several of the appliance's own
 * requests encode a size that differs from what they pass. */
#ifndef VAKO_KERNEL_H
#define VAKO_KERNEL_H

#include <stdint.h>
#include <mtd/mtd-abi.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Linux MTD, on a partition's device. */
#define VAKO_MEMGETINFO 0x40204d01u /* _IOR('M', 1, struct mtd_info_user) */
#define VAKO_MEMERASE   0x80084d02u /* _IOW('M', 2, struct erase_info_user) */
#define VAKO_MEMLOCK    0x80084d05u /* _IOW('M', 5, struct erase_info_user) */
#define VAKO_MEMUNLOCK  0x80084d06u /* _IOW('M', 6, struct erase_info_user) */

/* The appliance's own MTD requests. */
#define VAKO_MTD_SET_PARTITION  0x80084d16u /* u32 {offset, size} */
#define VAKO_MTD_SET_FIS_ENTRY  0x801c4d17u /* VAKOFISENTRYINFO, on the FIS Directory device */
#define VAKO_MTD_FORMAT         0x80044d18u /* flash size in 16 KiB units, by value, on /dev/mtd0 */
#define VAKO_MTD_SET_PART_TABLE 0x80044d19u /* s32[8] unit counts, on /dev/mtd0 after FORMAT */
#define VAKO_MTD_GET_PART_TABLE 0x40044d1au /* u32[8][2] {size, data length}, 64 bytes, on /dev/mtd0 */

#define VAKO_MTD_UNIT_SIZE 16384u

/* Linux md and block requests on an array's device, and the appliance's
 * own sync-status request (three u32 words). */
#define VAKO_MD_GET_ARRAY_INFO  0x40480911u /* _IOR(9, 0x11, mdu_array_info_t), 72 bytes */
#define VAKO_BLKGETSIZE64       0x40041272u /* _IOR(0x12, 114, size_t): a u64 byte count */
#define VAKO_MD_GET_SYNC_STATUS 0x400c0960u /* u32[3] */

/* The appliance's own kernel calls. */
#define VAKO_SYSCALL_MSYS_FLAG  401 /* fills a u32; bit 0 set: the second flash road */
#define VAKO_SYSCALL_MTD_BUFFER 405 /* 1 allocates, 0 frees the flash driver buffer */

/* The 32-byte record MEMGETINFO fills and the {start, length} region of
 * MEMERASE, MEMLOCK and MEMUNLOCK: Linux's own definitions. */
typedef struct mtd_info_user mtd_info_user;
typedef struct erase_info_user erase_info_user;

/* Kernel call 401 with the address of one 32-bit word: 0 or -1 with errno. */
int VAKOKernelCallMSysFlag(uint32_t *pWord);
/* Kernel call 405 with 1 (allocate) or 0 (free): 0 or -1 with errno. */
int VAKOKernelCallMtdBuffer(int alloc);

#ifdef __cplusplus
}
#endif

#endif
