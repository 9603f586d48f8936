/* Network interfaces and MTU. */
#ifndef VAKO_NET_H
#define VAKO_NET_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VAKO_ERR_NOT_IP_ADDR 0x1000 /* not a dotted IPv4 address of the accepted form */

#define VAKO_IFNAME_SIZE 16 /* names of 16 bytes or more are refused */
#define VAKO_IP_TEXT_SIZE 70

/* VAKONetGetInterfaceInfo kinds (0 and 4 are refused). */
#define VAKO_NET_IF_NO_MASTER 1 /* leave out bond masters */
#define VAKO_NET_IF_NO_SLAVE 2  /* leave out bond slaves */
#define VAKO_NET_IF_ALL 3

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

/* The interfaces that are up, at most max, sorted by name; NULL pOut counts. */
int VAKONetGetInterfaceInfo(VAKONETIFINFO *pOut, int max, int kind);
int NetIfNameCmp(const void *a, const void *b);
int VAKONetGetEthInfo(VAKOETHINFO *pInfo, const char *szIf);
int VAKONetGetMTUSetting(const char *szIf);
int VAKONetSetMTUEth(const char *szMtu, const char *szIf);
int VAKONetConfSetMTUValue(const char *szMtu, const char *szIf);
int VAKONetSetMTUValue(const char *szMtu, const char *szIf);
/* Address and mask in network byte order; 1 when both were read. */
int SLIBNetIfAddrGet(const char *szIf, uint32_t *pAddr, uint32_t *pMask);
int VAKONetSepIP(const char *sz, int part[4]);
int VAKONetIsIPAddr(const char *sz);

#ifdef __cplusplus
}
#endif

#endif
