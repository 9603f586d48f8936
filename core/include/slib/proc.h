/* Process execution and pid files. */
#ifndef SLIB_PROC_H
#define SLIB_PROC_H

#ifdef __cplusplus
extern "C" {
#endif

int SLIBProcExec(const char *szPath, const char *szArg1, const char *szArg2, const char *szArg3,
                 const char *szArg4);

#ifdef __cplusplus
}
#endif

#endif
