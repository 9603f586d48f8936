#include "vako/schedule.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include <memory>
#include <string>

#include "slib/conf_read.h"
#include "slib/conf_write.h"
#include "slib/error.h"
#include "slib/str.h"
#include "slib/szlist.h"
#include "slibcxx/border.h"
#include "slibcxx/raii.h"

namespace {

constexpr int kLineSize = 1024;
// The existence test before a set reads the matching line into this much.
constexpr int kProbeSize = 128;
// Week-days and hours fields: 19 characters at most.
constexpr size_t kFieldMax = 19;
constexpr const char *kHupCrond = "/bin/kill -HUP `/bin/cat " SZF_CROND_PID "` > /dev/null 2>&1";
// The source files that go with the codes; the writer's also head its log lines.
constexpr const char *kSrcGet = "crontab_schedule_get";
constexpr const char *kSrcSet = "crontab_schedule_set";
constexpr const char *kSrcRemove = "crontab_schedule_remove";
constexpr const char *kSrcUpdate = "crontab_update_crontab";

using ListPtr = slib::OwnedPtr<SLIBSZLIST, SLIBSzListFree>;

bool InHours(int h) { return static_cast<unsigned>(h) <= 23; }

// The week-days field: '*' for exactly every day, else the days in rising order.
std::string WeekDaysField(int weekdays)
{
    if (weekdays == VAKO_SCHEDULE_EVERY_DAY)
        return "*";
    std::string f;
    for (int d = 0; d <= 6; d++) {
        if (!(weekdays & (1 << d)))
            continue;
        if (!f.empty())
            f += ',';
        f += std::to_string(d);
    }
    return f;
}

std::string HoursField(const VAKOSCHEDULE &s)
{
    if (s.interval == 0 || s.startHour == s.endHour)
        return std::to_string(s.startHour);
    return std::to_string(s.startHour) + "-" + std::to_string(s.endHour) + "/" + std::to_string(s.interval);
}

// A command that would write nothing, or lines of its own, into the crontab.
bool BadCommand(const char *cmd) { return !*cmd || strpbrk(cmd, "\r\n") != nullptr; }

// The week-days field of a crontab line into the bit mask; false when the
// list cannot be made.
bool ParseWeekDays(const char *field, int *weekdays)
{
    *weekdays = 0;
    if (strcmp(field, "*") == 0) {
        *weekdays = VAKO_SCHEDULE_EVERY_DAY;
        return true;
    }
    ListPtr list(PslSLIBSzListAlloc(512));
    if (!list)
        return false;
    PSLIBSZLIST l = list.release();
    int n = SLIBStrTok(field, ",", &l);
    list.reset(l);
    if (n < 0)
        return false;
    for (int i = 0; i < list->nItem; i++) {
        int d = atoi(SLIBSzListGet(list.get(), i));
        if (static_cast<unsigned>(d) > 7) {
            syslog(LOG_ERR, "%s(%d): wday field exceeded. : %d", "VAKOScheduleGet", __LINE__, d);
            continue;
        }
        if (d <= 6)
            *weekdays |= 1 << d;
    }
    return true;
}

} // namespace

extern "C" {

int CrontabUpdateCrontab(const char *szCommand, const char *szLine)
{
    return slib::Guarded(kSrcUpdate, -1, [&] {
        // An empty pattern matches every line: the first one would go.
        if (!szCommand || !*szCommand) {
            SLIBErrorSetEx(SLIB_ERR_BAD_PARAMETER, kSrcUpdate, __LINE__);
            return -1;
        }
        if (szLine) {
            char probe[kProbeSize];
            int found = SLIBFileGetLine(SZF_CRONTAB, szCommand, probe, sizeof probe, 0);
            // A matching line too long for the probe is there all the same.
            if (found < 0 && SLIBErrorGet() == SLIB_ERR_BUFFER_SMALL)
                found = 1;
            if (found < 0) {
                syslog(LOG_ERR, "%s (%d) Failed to get line in crontab (0x%x)", kSrcUpdate, __LINE__, SLIBErrorGet());
                return -1;
            }
            if (found > 0) {
                if (SLIBFileSetLine(SZF_CRONTAB, szCommand, szLine, 0) <= 0) {
                    syslog(LOG_ERR, "%s (%d) Failed to set line in crontab (0x%x)", kSrcUpdate, __LINE__,
                           SLIBErrorGet());
                    return -1;
                }
            } else if (SLIBFileAddLine(SZF_CRONTAB, nullptr, szLine, OP_FIND_PREFIX) <= 0) {
                syslog(LOG_ERR, "%s (%d) Failed to add line in crontab (0x%x)", kSrcUpdate, __LINE__, SLIBErrorGet());
                return -1;
            }
        } else if (SLIBFileSetLine(SZF_CRONTAB, szCommand, nullptr, 0) < 0) {
            syslog(LOG_ERR, "%s (%d) Failed to remove line in crontab (0x%x)", kSrcUpdate, __LINE__, SLIBErrorGet());
            return -1;
        }
        if (system(kHupCrond) != 0)
            syslog(LOG_ERR, "%s (%d) Failed to hup crond", kSrcUpdate, __LINE__);
        return 0;
    });
}

int VAKOScheduleGet(const char *szCommand, PVAKOSCHEDULE pSchedule)
{
    if (!szCommand || !pSchedule) {
        SLIBErrorSetEx(SLIB_ERR_BAD_PARAMETER, kSrcGet, __LINE__);
        return -1;
    }
    char line[kLineSize] = {};
    int r = SLIBFileGetLine(SZF_CRONTAB, szCommand, line, sizeof line, 0);
    if (r < 0) {
        syslog(LOG_ERR, "%s(%d): fail to get schedule line from /etc/crontab", __func__, __LINE__);
        return -1;
    }
    if (r == 0) {
        SLIBErrorSetEx(SLIB_ERR_NOT_FOUND, kSrcGet, __LINE__);
        return 0;
    }
    // One byte more than a field may hold, to tell a long field from a full one.
    char hours[kFieldMax + 2] = {}, wdays[kFieldMax + 2] = {};
    sscanf(line, "%d\t%20s\t*\t*\t%20s\troot\t%1023s", &pSchedule->minute, hours, wdays, pSchedule->szCommand);
    if (strlen(hours) > kFieldMax || strlen(wdays) > kFieldMax) {
        syslog(LOG_ERR, "%s(%d): wday or hours field from /etc/crontab is too long", __func__, __LINE__);
        return -1;
    }
    if (!*hours || !*wdays) {
        syslog(LOG_ERR, "%s(%d): wday or hours field from /etc/crontab is empty ", __func__, __LINE__);
        return -1;
    }
    if (!ParseWeekDays(wdays, &pSchedule->weekdays))
        return -1;
    if (strchr(hours, '-') && strchr(hours, '/')) {
        sscanf(hours, "%d-%d/%d", &pSchedule->startHour, &pSchedule->endHour, &pSchedule->interval);
    } else if (strlen(hours) <= 2) {
        pSchedule->startHour = pSchedule->endHour = atoi(hours);
        pSchedule->interval = 0;
    } else {
        syslog(LOG_ERR, "%s(%d): hour field format error. : %s", __func__, __LINE__, hours);
        return -1;
    }
    if (!InHours(pSchedule->startHour) || !InHours(pSchedule->endHour) || !InHours(pSchedule->interval)) {
        syslog(LOG_ERR, "%s(%d): hour field exceeded. : ", __func__, __LINE__);
        return -1;
    }
    pSchedule->runsPerDay = pSchedule->interval == 0
                                ? 1
                                : (pSchedule->endHour - pSchedule->startHour) / pSchedule->interval + 1;
    return 1;
}

int VAKOScheduleSet(PVAKOSCHEDULE pSchedule)
{
    // fn: this function's name (a lambda's own is "operator()")
    return slib::Guarded(kSrcSet, -1, [&, fn = __func__] {
        if (!pSchedule) {
            SLIBErrorSetEx(SLIB_ERR_BAD_PARAMETER, kSrcSet, __LINE__);
            syslog(LOG_ERR, "%s(%d): PVAKOSCHEDULE is NULL", fn, __LINE__);
            return -1;
        }
        const VAKOSCHEDULE &s = *pSchedule;
        const char *cmd = s.szCommand;
        bool terminated = memchr(cmd, '\0', sizeof s.szCommand) != nullptr;
        char line[kLineSize];
        bool ok = terminated && (s.weekdays & VAKO_SCHEDULE_EVERY_DAY) != 0 && InHours(s.startHour) &&
                  InHours(s.endHour) && s.startHour <= s.endHour && InHours(s.interval) &&
                  static_cast<unsigned>(s.minute) <= 59 && !BadCommand(cmd);
        // A line that would be cut would run another command.
        if (ok) {
            int n = snprintf(line, sizeof line, "%d\t%s\t*\t*\t%s\troot\t%s", s.minute, HoursField(s).c_str(),
                             WeekDaysField(s.weekdays).c_str(), cmd);
            ok = n > 0 && n < static_cast<int>(sizeof line);
        }
        if (!ok) {
            SLIBErrorSetEx(SLIB_ERR_BAD_PARAMETER, kSrcSet, __LINE__);
            syslog(LOG_ERR, "%s(%d): time or command error %d,%d,%d,%d,%.*s", fn, __LINE__, s.startHour, s.minute,
                   s.interval, s.endHour, static_cast<int>(sizeof s.szCommand), cmd);
            return -1;
        }
        if (CrontabUpdateCrontab(cmd, line) < 0) {
            syslog(LOG_ERR, "%s(%d): fail to set the schedule to /etc/crontab", fn, __LINE__);
            return -1;
        }
        return 0;
    });
}

int VAKOScheduleRemove(const char *szCommand)
{
    // fn: this function's name (a lambda's own is "operator()")
    return slib::Guarded(kSrcRemove, -1, [&, fn = __func__] {
        if (!szCommand) {
            SLIBErrorSetEx(SLIB_ERR_BAD_PARAMETER, kSrcRemove, __LINE__);
            return -1;
        }
        if (CrontabUpdateCrontab(szCommand, nullptr) < 0) {
            syslog(LOG_ERR, "%s(%d): fail to remove schedule to /etc/crontab", fn, __LINE__);
            return -1;
        }
        return 0;
    });
}

} // extern "C"
