/* Disk partition query. */
#ifndef VAKO_DISK_H
#define VAKO_DISK_H

#ifdef __cplusplus
extern "C" {
#endif

#define SZF_SFDISK "/sbin/sfdisk"

/* Partition nPartition (from 1) of szDisk ("hda" or "/dev/hda"), in 512-byte
 * sectors, from that partition's row of the partition tool's listing
 * (headings and other rows passed over): the sector count, its start in
 * *pStart and its type id in *pId; -1 on any failure (0x0200 recorded when
 * memory runs out), the out-parameters then untouched. The disk name may
 * hold only A-Z a-z 0-9 _ / -. */
long long RCPartitionConfigs(int nPartition, const char *szDisk, unsigned *pStart, unsigned *pId);

#ifdef __cplusplus
}
#endif

#endif
