/* Network interfaces and MTU. */
#ifndef VAKO_NET_H
#define VAKO_NET_H

#ifdef __cplusplus
extern "C" {
#endif

int VAKONetSetMTUValue(const char *szMtu, const char *szIf);

#ifdef __cplusplus
}
#endif

#endif
