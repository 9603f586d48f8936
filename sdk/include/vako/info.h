/* Appliance information keys and hardware kind. */
#ifndef VAKO_INFO_H
#define VAKO_INFO_H

#ifdef __cplusplus
extern "C" {
#endif

int VAKOConfSupportRaid(void);
int VAKOIsJunior(void);

#ifdef __cplusplus
}
#endif

#endif
