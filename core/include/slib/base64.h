/* Base64 (RFC 4648 alphabet and padding) for short secrets kept in text files. */
#ifndef SLIB_BASE64_H
#define SLIB_BASE64_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The encoder's one static result buffer, and the longest input whose
 * text fits in it with its NUL (511 groups of 3 bytes). */
#define SLIB_BASE64_BUF_SIZE  2048
#define SLIB_BASE64_MAX_INPUT 1533

/* Decodes len characters of in into out, *pcbOut bytes of room on entry
 * (none when out is NULL; bytes beyond the room are dropped, the checks go
 * on), the bytes written on return: 1 when all len characters formed valid
 * padded groups, else 0 (also for a NULL pcbOut, or NULL in with len > 0).
 * No error code. */
int Base64Decode(const void *in, uint32_t len, void *out, int32_t *pcbOut);
/* The base64 text of len bytes of in, one line, up to the first group that
 * would start with a NUL byte, in a static buffer that the next call
 * overwrites (never freed by the caller); NULL for NULL in or an input
 * whose text would not fit (more than 511 groups). No error code. */
char *SzBase64EncodeOneLine(const void *in, int32_t len);

#ifdef __cplusplus
}
#endif

#endif
