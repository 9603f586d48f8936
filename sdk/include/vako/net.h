/* Network interfaces and MTU. */
#ifndef VAKO_NET_H
#define VAKO_NET_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VAKO_ERR_NOT_IP_ADDR 0x1000 /* not a dotted IPv4 address of the accepted form */

#define VAKO_IFNAME_SIZE  16 /* names of 16 bytes or more are refused */
#define VAKO_IP_TEXT_SIZE 70

/* VAKONetGetInterfaceInfo kinds (0 and 4 are refused). */
#define VAKO_NET_IF_NO_MASTER 1 /* leave out bond masters */
#define VAKO_NET_IF_NO_SLAVE  2 /* leave out bond slaves */
#define VAKO_NET_IF_ALL       3

#define VAKO_NET_LINK_UP 2

typedef struct _tag_VAKONETIFINFO_ {
    char szName[VAKO_IFNAME_SIZE];
    unsigned char mac[6];
    char szIP[VAKO_IP_TEXT_SIZE];
    int link;  /* VAKO_NET_LINK_UP when running, else 0 */
    int flags; /* interface flags, 16 bits sign-extended */
} VAKONETIFINFO;

typedef struct _tag_VAKOETHINFO_ {
    int speed;  /* 10, 100, 1000, or -1 */
    int duplex; /* 0 half, 1 full, -1 other */
    int mtu;    /* -1 when unreadable */
} VAKOETHINFO;

/* The interfaces that are up, at most max, into the caller's pOut sorted by
 * name (NULL pOut: only counted): their number, or -1 (0x0D00 for max < 0
 * or kind 0 or 4; 0x0200 when memory runs out; no code when the kernel
 * cannot be asked). */
int VAKONetGetInterfaceInfo(VAKONETIFINFO *pOut, int max, int kind);
/* The qsort order of VAKONETIFINFO records: by name, byte order. */
int NetIfNameCmp(const void *a, const void *b);
/* Speed, duplex and MTU of szIf into *pInfo: 0, or -1 (0x0D00 for a NULL or
 * too long argument; no code when the kernel refuses or has no MTU). */
int VAKONetGetEthInfo(VAKOETHINFO *pInfo, const char *szIf);
/* The interface's MTU, 0 for an unknown interface, -1 (0x0D00 for NULL; a
 * name over 16 characters logged; no code when no socket). */
int VAKONetGetMTUSetting(const char *szIf);
/* Sets the interface's MTU in the kernel: 0, or -1 (0x0D00 for a NULL or too
 * long argument; no code when the kernel refuses). */
int VAKONetSetMTUEth(const char *szMtu, const char *szIf);
/* Records szMtu as key "<szIf>_mtu" of SZF_VAKO_INFO under its lock: 0, or -1
 * (0x0D00 for NULL or a key over 11 characters, 0x0200; else the lock's or
 * the writer's code, logged). */
int VAKONetConfSetMTUValue(const char *szMtu, const char *szIf);
/* Applies szMtu on a gigabit link (then waits 5 s) and records it: 0, or -1
 * (0x0D00 for NULL, 0x0200 when memory runs out; the failing step logged,
 * the others still done). */
int VAKONetSetMTUValue(const char *szMtu, const char *szIf);
/* Address and mask in network byte order: 1 when both were read, else 0; no code. */
int SLIBNetIfAddrGet(const char *szIf, uint32_t *pAddr, uint32_t *pMask);
/* The numbers of a dotted address into part: how many were read, 4 for a
 * whole one (fewer with 0x1000; 0 with 0x0D00 for NULL). */
int VAKONetSepIP(const char *sz, int part[4]);
/* 1 when sz is an accepted IPv4 host address, else 0 with 0x1000 (0x0D00 for NULL). */
int VAKONetIsIPAddr(const char *sz);

#ifdef __cplusplus
}
#endif

#endif
