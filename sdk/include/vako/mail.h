/* Event mail: a notice to the administrator, sent from a child process
 * through the appliance's SMTP library. */
#ifndef VAKO_MAIL_H
#define VAKO_MAIL_H

#include "slib/szhash.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SZF_VAKOSMTP_LIB "/lib/libvakosmtp.so"
#define SZD_MAIL_TEXTS   "/usr/vako/vakoman/webman/texts/"
/* The work file of one child: its process id. */
#define SZF_MAIL_WORK_FMT "/tmp/tempmail.%d"

#define VAKO_MAIL_SUBJECT_SIZE 512
#define VAKO_MAIL_BODY_SIZE    4096

/* The SMTP settings of /etc/vakoinfo.conf; the strings are owned (freed
 * by VAKOMailSettingFree). */
typedef struct _tag_VAKOMAILSETTING_ {
    char *szServer; /* eventsmtp */
    int port;       /* eventport, 25 when 0 or absent */
    int auth;       /* eventauth "yes" in any case */
    char *szUser;   /* eventuser */
    char *szPasswd; /* eventpass */
    int useSSL;     /* eventusessl "yes" in any case */
    char *szMail1;  /* eventmail1 */
    char *szMail2;  /* eventmail2 */
} VAKOMAILSETTING, *PVAKOMAILSETTING;

/* One node of an address chain; every node and string a heap block. */
typedef struct _tag_VAKOSMTPADDR_ {
    char *szName;
    char *szAddr;
    struct _tag_VAKOSMTPADDR_ *pNext;
} VAKOSMTPADDR, *PVAKOSMTPADDR;

/* The send record handed to the SMTP library, which frees its members. */
typedef struct _tag_VAKOSMTP_ {
    char *szServer;
    int port;
    int auth;
    char *szUser;   /* only with auth */
    char *szPasswd; /* only with auth */
    int useSSL;
    PVAKOSMTPADDR pTo;
    PVAKOSMTPADDR pFrom;
    int reserved1;
    int reserved2;
    char *szSubject; /* the encoded subject */
    char *szBody;
    char *szHeader; /* extra header lines */
} VAKOSMTP, *PVAKOSMTP;

/* What the SMTP library offers (dlsym names "VAKOSMTPSendEmail",
 * "VAKOSMTPFreeVAKOSMTP", "SzBase64Encode"): send one mail, calling the
 * callback with a failure text when sending fails; free every member of a
 * record (not the record); base64 of text (the library's storage). */
typedef void (*PFN_VAKOSMTP_ERROR)(const char *szError);
typedef int (*PFN_VAKOSMTP_SEND)(PVAKOSMTP pSmtp, PFN_VAKOSMTP_ERROR pfnError);
typedef void (*PFN_VAKOSMTP_FREE)(PVAKOSMTP pSmtp);
typedef char *(*PFN_SZBASE64_ENCODE)(const char *szText, int cbText);

/* Sends the mail of szTag from a child process and returns at once: the
 * caller's placeholder hash (*ppHash, or ppHash NULL for none) is copied
 * into the child; the outcome reaches only the logs. */
void VAKOMailSend(const char *szTag, PSLIBSZHASH *ppHash);
/* The same, to szTo alone when it is not NULL or empty. */
void VAKOMailSendEx(const char *szTag, PSLIBSZHASH *ppHash, const char *szTo);
/* The same, with pSetting in place of the stored settings when not NULL. */
void VAKOMailSendMessage(const char *szTag, PSLIBSZHASH *ppHash, const char *szTo, PVAKOMAILSETTING pSetting);

/* Reads the settings into pSetting (free with VAKOMailSettingFree): 0, or
 * -1 (logged) when a key cannot be read (0x0200 recorded when memory runs
 * out). */
int VAKOMailGet(PVAKOMAILSETTING pSetting);
/* Frees the five strings and sets them to NULL. */
void VAKOMailSettingFree(PVAKOMAILSETTING pSetting);

/* Fills a cleared record from the settings, sender name szName and the
 * recipient override szTo (or NULL): 0, or -1 (logged; what was filled
 * stays for the library's free). */
int VAKOMailFillSmtpStruct(PVAKOSMTP pSmtp, PVAKOMAILSETTING pSetting, const char *szName, const char *szTo);

/* The template section szTag of language szLang with its placeholders
 * replaced, split into subject and body (each cut to its buffer at a
 * character boundary): 0, or -1 (logged; 0x0200 recorded when memory runs
 * out). The library's placeholders are
 * set into *ppHash, which may move. */
int VAKOMailReadByTagAndConvert(const char *szLang, const char *szTag, char *szSubject, int cbSubject, char *szBody,
                                int cbBody, PSLIBSZHASH *ppHash);

/* Sets the library's placeholders into *ppHash (which may move) and
 * replaces every key of the hash in szFile by its value, the file
 * rewritten once: 0, or -1 with the file as it was (0x0200 when memory runs
 * out, 0x0900 it cannot be read). */
int MailTagConvert(const char *szFile, PSLIBSZHASH *ppHash);

/* Records a sending failure in the system event log and the system log
 * (0x0200 recorded when memory runs out). */
void VAKOMailSMTPErrorCallBack(const char *szError);

/* Drops the trailing blanks, tabs and line ends of szLine. */
void VAKOMailTrimTail(char *szLine);

/* The local year, month (1-12), day, hour, minute, second: 0, or -1 with
 * 0x8100. */
int VAKOTimeDateGet(int dateTime[6]);

#define VAKO_ERR_TIME 0x8100

#ifdef __cplusplus
}
#endif

#endif
