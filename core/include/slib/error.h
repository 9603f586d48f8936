/* Process-wide error state, error codes and the plain text logs. */
#ifndef SLIB_ERROR_H
#define SLIB_ERROR_H

#ifdef __cplusplus
extern "C" {
#endif

#define SLIB_ERR_BUFFER_SMALL  0x0100 /* caller's output buffer too small */
#define SLIB_ERR_OUT_OF_MEMORY 0x0200
#define SLIB_ERR_LOCK_TIMEOUT  0x0400
#define SLIB_ERR_LOCK_RELEASE  0x0500
#define SLIB_ERR_OPEN          0x0900 /* cannot open or create; or a directory */
#define SLIB_ERR_READ          0x0A00
#define SLIB_ERR_WRITE         0x0B00 /* write, flush, sync, chown, chmod, close */
#define SLIB_ERR_LOCK_DIR      0x0C00
#define SLIB_ERR_BAD_PARAMETER 0x0D00
#define SLIB_ERR_NOT_FOUND     0x2000
#define SLIB_ERR_STAT          0x2700
#define SLIB_ERR_RENAME        0x2800
#define SLIB_ERR_EXEC          0x2A00
#define SLIB_ERR_END_OF_ENUM   0xB500
#define SLIB_ERR_UNICODE       0x8000

#define SLIB_ERROR_MAX_FRAMES 64

typedef struct _tag_SLIBERRORSTATE_ {
    int code;
    int line;
    const char *szFile;
    int nFrame;
    char **ppszFrame;
    void *pFrame[SLIB_ERROR_MAX_FRAMES];
} SLIBERRORSTATE;

/* Records code with its source position and the stack trace; never cleared
 * by a success. */
void SLIBErrorSetEx(int code, const char *szFile, int line);
/* Records code without a source position (file NULL, line 0). */
void SLIBErrorSet(int code);
/* The code recorded last; read it only after a failure. */
int SLIBErrorGet(void);
/* The recorded source file (a static string, not to be freed), or NULL. */
const char *SLIBErrorGetFile(void);
/* The recorded source line. */
int SLIBErrorGetLine(void);
/* Frees the recorded frame texts (also at the process's normal exit). */
void SLIBErrorBacktraceFree(void);
/* Prints the recorded frames on standard output, one per line. */
void SLIBErrorBacktracePrint(void);
/* Writes the recorded frames to the console and to the system log. */
void SLIBErrorBacktraceLog(void);

/* A text log is a regular file reached without following a symbolic link
 * at szPath; a link, FIFO, device or directory there is left alone. */
/* Empties the text log at szPath (created when missing); no result, no code. */
void SLIBErrorLogReset(const char *szPath);
/* Appends szText and a line feed to the text log, synced: 0, or -1 with
 * 0x0D00, 0x0900 (cannot be opened, or not a text log) or 0x0B00. */
int SLIBErrorLogSet(const char *szPath, const char *szText);

/* Records `code` at the failing step under src, the name of the source file
 * that holds the operation (the operation's name without its prefixes, in
 * lower-case words: "file_get_key_value" for SLIBFileGetKeyValue). */
#define SLIB_ERR_IN(src, code) SLIBErrorSetEx((code), (src), __LINE__)
/* Records `code` with this file's own name, for code whose operation has no
 * source name of its own. */
#define SLIB_ERR(code) SLIBErrorSetEx((code), __FILE_NAME__, __LINE__)

#ifdef __cplusplus
}
#endif

#endif
