/* Configuration files: format and readers. */
#ifndef SLIB_CONF_READ_H
#define SLIB_CONF_READ_H

#ifdef __cplusplus
extern "C" {
#endif

int SLIBFileGetKeyValue(const char *szFile, const char *szKey, char *szBuf, int cbBuf, int flags);

#ifdef __cplusplus
}
#endif

#endif
