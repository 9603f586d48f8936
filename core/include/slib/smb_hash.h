/* The LAN Manager and NT password hashes of the SMB password file. */
#ifndef SLIB_SMB_HASH_H
#define SLIB_SMB_HASH_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes of either hash. */
#define SLIB_SMB_HASH_SIZE 16

/* 0 with the LAN Manager hash of the password (upper-cased, in the Windows
 * code page of the configured language, cut at 14 bytes) in out[0..15], or
 * -1: room below 16 (0x0100), NULL out (0x0D00), or the code that the
 * upper-casing, code-page lookup or conversion recorded (none of its own
 * when the password does not fit 128 bytes). out is untouched on -1. */
int SLIBEncodingSmbLmHash(const char *szPassword, void *out, int32_t cbOut);
/* 0 with the NT hash (MD4 of the password's first 127 UTF-16 units) in
 * out[0..15], or -1: NULL password or out (0x0D00), room below 16
 * (0x0100). A bad UTF-8 character is logged, without the password, and
 * the text before it is hashed. out is untouched on -1. */
int SLIBEncodingSmbMd4Hash(const char *szPassword, void *out, int32_t cbOut);

#ifdef __cplusplus
}
#endif

#endif
