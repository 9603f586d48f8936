/* Small service settings: DDNS provider entries, the SMB service's domain
 * state, and the download service's settings with its scheduler signal. */
#ifndef VAKO_SERVICE_H
#define VAKO_SERVICE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One section per DDNS provider, keys hostname, username, passwd. */
#define SZF_DDNS_CONF "/etc/ddns.conf"
/* The SMB service's configuration; its section "global" holds the domain state. */
#define SZF_SMB_CONF "/usr/vako/etc/smb.conf"
/* The download scheduler's process id, as decimal text. */
#define SZF_SCHEDULER_PID "/var/run/scheduler.pid"

/* One DDNS provider entry (caller storage). */
typedef struct _tag_VAKODDNSINFO_ {
    char szName[16];
    char szHostname[128];
    char szUsername[128];
    char szPasswd[128];
} VAKODDNSINFO;

/* The download service's settings (caller storage): each field is written
 * to the key "download_" + its name in /etc/vakoinfo.conf. */
typedef struct _tag_VAKODOWNLOADINFO_ {
    int enabled;
    char when[12];
    int order; /* 1 "user", else "request" */
    int ul_rate;
    int dl_rate;
    int start_port;
    int end_port;
    int port_map_enabled;
    int seeding_ratio;
    int seeding_interval;
    int enable_dht;
    int dhtport;
    int btmaxpeers;
    int btencrypt; /* 0 "disable", 1 "auto", 2 "always"; others refused */
    int maxtasks;
    int enable_amule;
    int amule_ul_rate;
    int amule_dl_rate;
    int amule_tcp_port;
    int amule_udp_port;
    int amule_max_conn;
    int amule_auto_connect;
    int amule_enable_obfuscation;
    int amule_outgoing_obfuscation;
    int amule_only_obfuscation;
    int amule_auto_update_server;
    int ftpmax_enable;
    int ftpmax;
    int email_notification;
    char rapidshare_user[64];
    char rapidshare_password[32];
    char nzb_server[64];
    uint16_t nzb_port;
    int nzb_auth;
    char nzb_user[64];
    char nzb_password[32];
    int nzb_numconn;
} VAKODOWNLOADINFO;

/* Fills pInfo from the section szName of /etc/ddns.conf, each text cut to
 * its field: 1 all three keys found; 0 no such section or no keys (pInfo
 * untouched); -1 on error or a missing key (what was found is filled). NULL
 * arguments: 0x0D00; memory run out: 0x0200. */
int VAKODDNSConfigGet(const char *szName, VAKODDNSINFO *pInfo);
/* The workgroup, or the realm when security is "ads", cut to cbBuf - 1 into
 * szBuf; *pIsDomain 1 for security "domain" or "ads", else 0; *pIsSamba (when
 * not NULL) as WinsIsSambaRunning: 0, or -1 (NULL szBuf or pIsDomain, or cbBuf
 * <= 0: 0x0D00; 0x0200 when memory runs out). */
int VAKOWinsQuery1(char *szBuf, int cbBuf, int *pIsDomain, int *pIsSamba);
/* 1 when runsamba of /etc/vakoinfo.conf is "yes" (any case), else 0 (also
 * when its lock is not obtained within 10 seconds, and with 0x0200 recorded
 * when memory runs out). */
int WinsIsSambaRunning(void);
/* Writes the 37 download keys to /etc/vakoinfo.conf under its lock and sends
 * SIGHUP to the scheduler: 0, or -1 (the file as it was; 0x0200 when memory
 * runs out, else the lock's or the writer's code).  NULL, a text field without its NUL or holding a line end, or a
 * btencrypt other than 0, 1 and 2: 0x0D00 before anything is written. */
int VAKODownloadInfoSet(const VAKODOWNLOADINFO *pInfo);
/* Sends sig to the process of /var/run/scheduler.pid: 0 (also when no
 * scheduler runs), or -1. */
int DownloadSchedulerSignal(int sig);

#ifdef __cplusplus
}
#endif

#endif
