/* A keyed string cipher that is its own inverse. */
#ifndef VAKO_CIPHER_H
#define VAKO_CIPHER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 0 with the cipher text of the strlen(szIn) bytes of szIn in out and the
 * rest of out's cbOut bytes zero (ciphering the cipher text gives szIn
 * back; cipher bytes may be 0, so take the length from the input), or -1,
 * logged: NULL szIn or out, cbOut not above strlen(szIn), or crypt failing
 * (out then all zero). No error code. */
int VAKOStrCrypt(const char *szIn, void *out, int32_t cbOut);

#ifdef __cplusplus
}
#endif

#endif
