/* Configuration files: writers and safe rewrite. */
#ifndef SLIB_CONF_WRITE_H
#define SLIB_CONF_WRITE_H

#ifdef __cplusplus
extern "C" {
#endif

int SLIBFileSetKeyValue(const char *szFile, const char *szKey, const char *szValue, const char *szFmt);

#ifdef __cplusplus
}
#endif

#endif
