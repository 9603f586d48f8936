/* Crontab schedules: one line of /etc/crontab per scheduled command. */
#ifndef VAKO_SCHEDULE_H
#define VAKO_SCHEDULE_H

#ifdef __cplusplus
extern "C" {
#endif

#define SZF_CRONTAB   "/etc/crontab"
#define SZF_CROND_PID "/var/run/crond.pid"

#define VAKO_SCHEDULE_COMMAND_SIZE 1024
#define VAKO_SCHEDULE_EVERY_DAY    0x7F

/* One schedule, in storage the caller provides (and clears first). */
typedef struct _tag_VAKOSCHEDULE_ {
    int weekdays;   /* bit i = crontab week day i (0 Sunday); 0x7F every day */
    int startHour;  /* 0 to 23 */
    int interval;   /* hours between runs, 0 to 23; 0 = once at startHour */
    int endHour;    /* last hour of the repeat range, 0 to 23 */
    int minute;     /* 0 to 59 */
    int runsPerDay; /* filled by VAKOScheduleGet only */
    char szCommand[VAKO_SCHEDULE_COMMAND_SIZE];
} VAKOSCHEDULE, *PVAKOSCHEDULE;

/* Reads the first non-comment line holding szCommand: 1 when read into
 * pSchedule (szCommand then holds the command's first word), 0 when none
 * holds it (0x2000), -1 on error (0x0D00 for NULL, or logged). */
int VAKOScheduleGet(const char *szCommand, PVAKOSCHEDULE pSchedule);

/* Writes the schedule's line, replacing the line holding its command or
 * appending one, and signals crond: 0, or -1 (0x0D00 for a bad schedule,
 * an empty command or one holding a line end, or a line over 1023 bytes;
 * 0x0200, else the file engine's code). */
int VAKOScheduleSet(PVAKOSCHEDULE pSchedule);

/* Removes the line holding szCommand (none is no error) and signals
 * crond: 0, or -1 (0x0D00 for NULL or empty, 0x0200 when memory runs
 * out). */
int VAKOScheduleRemove(const char *szCommand);

/* With szLine: replaces the first line holding szCommand by it, or appends
 * it; with NULL: removes that line. Then signals crond. 0, or -1 (0x0D00
 * for a NULL or empty command, 0x0200, else the file engine's code). */
int CrontabUpdateCrontab(const char *szCommand, const char *szLine);

#ifdef __cplusplus
}
#endif

#endif
