/* Share definitions: section lines of smb.conf. */
#ifndef VAKO_SHARE_H
#define VAKO_SHARE_H

#ifdef __cplusplus
extern "C" {
#endif

/* The section name of a section line into out (cbOut bytes): the text after
 * the first '[' (the whole line when there is none), cut to cbOut - 1 bytes,
 * then cut at its last ']'; bytes copied as they are. 0, or -1 with 0x0D00
 * (NULL line or out, cbOut <= 0). */
int VAKOShareParseSectionName(const char *line, char *out, int cbOut);

#ifdef __cplusplus
}
#endif

#endif
