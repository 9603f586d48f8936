/* Process execution and pid files. */
#ifndef SLIB_PROC_H
#define SLIB_PROC_H

#ifdef __cplusplus
extern "C" {
#endif

/* Runs szPath with the arguments up to the first NULL, without a shell,
 * detached (the null device, new session, the root directory, empty
 * environment), and waits:
 * its exit status (255 when it cannot be executed), or -1 with 0x2A00. */
int SLIBProcExec(const char *szPath, const char *szArg1, const char *szArg2, const char *szArg3, const char *szArg4);

/* The pid in szPath; 0 when it holds no number, -1 when it cannot be read.
 * Never signal a result of 1 or less. */
int SLIBProcPidFileRead(const char *szPath);

#ifdef __cplusplus
}
#endif

#endif
