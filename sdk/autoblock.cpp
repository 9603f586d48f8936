#include "vako/autoblock.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>

#include "info_lock.h"
#include "slib/conf_read.h"
#include "slib/conf_write.h"
#include "slib/error.h"
#include "slib/lock.h"
#include "slib/str.h"
#include "slib/szhash.h"
#include "slib/szlist.h"
#include "slibcxx/border.h"
#include "slibcxx/raii.h"
#include "slibcxx/replace.h"
#include "slibcxx/trusted.h"
#include "vako/event_log.h"
#include "vako/info.h"
#include "vako/mail.h"
#include "vako/net.h"

namespace {

using vakoinfo::InfoLock;

constexpr int kOpenTries = 30;
// The list is root's, readable by the services that refuse the addresses;
// no other account may change it.
constexpr mode_t kListMode = 0644;
constexpr int64_t kSecPerDay = 86400;
constexpr const char *kKeyAttempts = "autoblock_attempts";
constexpr const char *kKeyAttemptMin = "autoblock_attempt_min";
constexpr const char *kKeyExpireDays = "autoblock_expriedday";
constexpr const char *kKeyNotify = "autoblock_notify";
constexpr const char *kKeyFormat = "%s=\"%s\"\n";
constexpr const char *kHupFtpd = "/bin/kill -HUP `/bin/pidof ftpd` > /dev/null 2>&1";
// The source files whose names head the log lines and go with the codes.
constexpr const char *kSrcConfGet = "autoblock_conf_get";
constexpr const char *kSrcConfSet = "autoblock_conf_set";
constexpr const char *kSrcIPAdd = "autoblock_ip_add";
constexpr const char *kSrcMmap = "autoblock_mmap_process";
constexpr const char *kSrcFileOpen = "autoblock_file_open";
constexpr const char *kSrcFileClose = "autoblock_file_close";
constexpr const char *kSrcHup = "autoblock_services_hup";

using HashPtr = slib::OwnedPtr<SLIBSZHASH, SLIBSzHashFree>;
using ListPtr = slib::OwnedPtr<SLIBSZLIST, SLIBSzListFree>;

// The two words of a record: the time in the processor's own byte order,
// the address as stored (network byte order).
uint32_t RecordTime(const void *rec)
{
    uint32_t t;
    memcpy(&t, rec, sizeof t);
    return t;
}

uint32_t RecordAddr(const void *rec)
{
    uint32_t a;
    memcpy(&a, static_cast<const unsigned char *>(rec) + 4, sizeof a);
    return a;
}

void MakeRecord(unsigned char rec[AUTOBLOCK_RECORD_SIZE], uint32_t time, uint32_t addr)
{
    memcpy(rec, &time, sizeof time);
    memcpy(rec + 4, &addr, sizeof addr);
}

bool WriteAll(int fd, const void *data, size_t n)
{
    const char *p = static_cast<const char *>(data);
    for (size_t done = 0; done < n;) {
        ssize_t w = write(fd, p + done, n - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

bool WriteRecord(int fd, const void *rec) { return WriteAll(fd, rec, AUTOBLOCK_RECORD_SIZE); }

// The new list as the add writes it: records gathered a window's worth at a
// time, so that a list of thousands is not thousands of writes.
class ListWriter {
public:
    ListWriter(slib::FileReplacer &out, uint32_t addr) : out_(out), addr_(addr) {}
    bool Put(const void *rec)
    {
        if (used_ == sizeof buf_ && !Flush())
            return false;
        memcpy(buf_ + used_, rec, AUTOBLOCK_RECORD_SIZE);
        used_ += AUTOBLOCK_RECORD_SIZE;
        return true;
    }
    bool Flush()
    {
        bool ok = out_.Write(buf_, used_);
        used_ = 0;
        return ok;
    }
    // Op 1's record function over this writer.
    static int CopyIfDiffer(int, void *rec, void *self)
    {
        auto *w = static_cast<ListWriter *>(self);
        if (RecordAddr(rec) == w->addr_)
            return 2;
        return w->Put(rec) ? 0 : -1;
    }

private:
    slib::FileReplacer &out_;
    uint32_t addr_;
    size_t used_ = 0;
    char buf_[AUTOBLOCK_WINDOW_SIZE];
};

// The file-creation mask at 0 for one operation.
class NoUmask {
public:
    NoUmask() : old_(umask(0)) {}
    ~NoUmask() { umask(old_); }
    NoUmask(const NoUmask &) = delete;
    NoUmask &operator=(const NoUmask &) = delete;

private:
    mode_t old_;
};

int BadParameters()
{
    SLIBErrorSetEx(SLIB_ERR_BAD_PARAMETER, kSrcMmap, __LINE__);
    syslog(LOG_ERR, "%s:%d Bad parameters", kSrcMmap, __LINE__);
    return -1;
}

// The op's record function after its argument checks; NULL when they fail.
PFN_AUTOBLOCK_PROCESS RecordFunction(const AUTOBLOCKMMAPREQ &req, int arg, void *pArg)
{
    switch (req.op) {
    case AUTOBLOCK_OP_PROCESS:
        return req.pfnProcess;
    case AUTOBLOCK_OP_COPY_IF_DIFFER:
        return arg >= 0 && pArg ? AutoBlockCopyIfDiffer : nullptr;
    case AUTOBLOCK_OP_COPY_UNLISTED:
        return arg >= 0 && pArg ? AutoBlockCopyUnlessListed : nullptr;
    case AUTOBLOCK_OP_ZERO_IF_MATCH:
        // Zeroing through a mapping that cannot be written would crash.
        return pArg && (req.prot & PROT_WRITE) && (req.mapFlags & MAP_SHARED) ? AutoBlockZeroIfMatch : nullptr;
    case AUTOBLOCK_OP_MATCH:
        return pArg ? AutoBlockMatch : nullptr;
    default:
        return nullptr;
    }
}

// The walk over the open, locked file fd.
int WalkLocked(int fd, const AUTOBLOCKMMAPREQ &req, PFN_AUTOBLOCK_PROCESS fn, int arg, void *pArg)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        SLIBErrorSetEx(SLIB_ERR_STAT, kSrcMmap, __LINE__);
        return -1;
    }
    // A mapping past the file's end would fault when read.
    const int64_t cb = std::min<int64_t>(req.cbFile, st.st_size);
    const int64_t offStart = req.offStart;
    bool matched = false;
    for (int64_t off = 0; off < cb; off += AUTOBLOCK_WINDOW_SIZE) {
        const int64_t size = std::min<int64_t>(AUTOBLOCK_WINDOW_SIZE, cb - off);
        if (off + size < offStart)
            continue;
        void *map = mmap(nullptr, static_cast<size_t>(size), req.prot, req.mapFlags, fd, static_cast<off_t>(off));
        if (map == MAP_FAILED) {
            syslog(LOG_ERR, "%s:%d mmap() failed!! errno=[%d/%m]", kSrcMmap, __LINE__, errno);
            SLIBErrorSetEx(VAKO_ERR_AUTOBLOCK_MMAP, kSrcMmap, __LINE__);
            return -1;
        }
        int stop = 0;
        for (int64_t at = 0; at + AUTOBLOCK_RECORD_SIZE <= size; at += AUTOBLOCK_RECORD_SIZE) {
            if (off + at + AUTOBLOCK_RECORD_SIZE < offStart)
                continue;
            void *rec = static_cast<unsigned char *>(map) + at;
            const uint32_t t = RecordTime(rec);
            if (t == 0 || RecordAddr(rec) == 0)
                continue;
            // In 64 bits: a time near the 32-bit end plus the expiry must not wrap.
            if (req.secExpire > 0 && static_cast<int64_t>(t) + req.secExpire <= req.tNow)
                continue;
            int r = fn(arg, rec, pArg);
            if (r == 1 || r < 0) {
                stop = r;
                break;
            }
            if (r == 2)
                matched = true;
        }
        munmap(map, static_cast<size_t>(size));
        if (stop == 1)
            return 1;
        if (stop < 0) {
            SLIBErrorSetEx(SLIB_ERR_WRITE, kSrcMmap, __LINE__);
            return -1;
        }
    }
    if (req.op == AUTOBLOCK_OP_COPY_IF_DIFFER)
        return matched ? 0 : 1;
    return 0;
}

// The time text of the event and the mail.
void TimeText(time_t now, char *out, size_t cbOut)
{
    char text[1024] = {};
    if (ctime_r(&now, text) && SLIBStrTrimSpace(text, nullptr) >= 0) {
        snprintf(out, cbOut, "%s", text);
        return;
    }
    syslog(LOG_ERR, "%s:%d SLIBStrTrimSpace() failed! szInput[%s], vakoerr=[0x%04X]", kSrcIPAdd, __LINE__, text,
           SLIBErrorGet());
    snprintf(out, cbOut, "%s", "00:00:00");
}

// The event and, when asked for, the mail of a newly listed address.
void Announce(const char *szIP, time_t now, const VAKOAUTOBLOCKCONF &conf)
{
    HashPtr hash(SLIBSzHashAlloc(512));
    if (!hash)
        return;
    char when[1024];
    TimeText(now, when, sizeof when);
    VAKOLogSet1(VAKOLOG_CLASS_SYS, 2, AUTOBLOCK_EVENT_ADD, szIP, when, "", "");
    if (!conf.notify)
        return;
    char attempts[16], minutes[16];
    snprintf(attempts, sizeof attempts, "%d", conf.attempts);
    snprintf(minutes, sizeof minutes, "%d", conf.attemptMin);
    PSLIBSZHASH h = hash.release();
    bool ok = SLIBSzHashSetValue(&h, "%AUTOBLOCK_TIME%", when) >= 0 &&
              SLIBSzHashSetValue(&h, "%CLIENT_IP%", szIP) >= 0 &&
              SLIBSzHashSetValue(&h, "%AUTOBLOCK_ATTEMPTS%", attempts) >= 0 &&
              SLIBSzHashSetValue(&h, "%AUTOBLOCK_ATTEMPT_MIN%", minutes) >= 0;
    hash.reset(h);
    if (ok)
        VAKOMailSend(AUTOBLOCK_MAIL_TAG, &h);
}

} // namespace

extern "C" {

int AutoBlockCopyIfDiffer(int fd, void *pRecord, void *pArg)
{
    if (RecordAddr(pRecord) == *static_cast<const uint32_t *>(pArg))
        return 2;
    return WriteRecord(fd, pRecord) ? 0 : -1;
}

int AutoBlockCopyUnlessListed(int fd, void *pRecord, void *pArg)
{
    const uint32_t addr = RecordAddr(pRecord);
    for (const uint32_t *p = static_cast<const uint32_t *>(pArg); *p; ++p)
        if (*p == addr)
            return 0;
    return WriteRecord(fd, pRecord) ? 0 : -1;
}

int AutoBlockZeroIfMatch(int, void *pRecord, void *pArg)
{
    if (RecordAddr(pRecord) == *static_cast<const uint32_t *>(pArg))
        memset(pRecord, 0, AUTOBLOCK_RECORD_SIZE);
    return 0;
}

int AutoBlockMatch(int, void *pRecord, void *pArg)
{
    return RecordAddr(pRecord) == *static_cast<const uint32_t *>(pArg) ? 1 : 0;
}

int AutoBlockFileOpen(const char *szPath, int openFlags, int lockOp)
{
    return slib::Guarded(kSrcFileOpen, -1, [&] {
        NoUmask mask;
        if (!szPath || openFlags < 0 || lockOp < 0) {
            SLIBErrorSetEx(SLIB_ERR_BAD_PARAMETER, kSrcFileOpen, __LINE__);
            return -1;
        }
        // Never through a link, never a FIFO or another name of a file: what
        // stands there is refused at once and left as it is.
        const slib::TrustedName name = {
            .path = szPath, .flags = openFlags, .mode = kListMode, .checks = slib::kTrustOwnFile, .src = kSrcFileOpen};
        slib::LockedOpen why;
        slib::Fd fd = slib::OpenLocked(name, {.lockOp = lockOp, .opens = kOpenTries}, &why);
        switch (why) {
        case slib::LockedOpen::kHeld:
            return fd.release();
        case slib::LockedOpen::kMissing:
            SLIBErrorSetEx(VAKO_ERR_AUTOBLOCK_NO_FILE, kSrcFileOpen, __LINE__);
            return -1;
        case slib::LockedOpen::kRefused:
            return -1;
        default:
            break;
        }
        syslog(LOG_ERR, "%s:%d Open and lock [%s] failed exceeds try count for %d(%m)", kSrcFileOpen, __LINE__, szPath,
               errno);
        SLIBErrorSetEx(SLIB_ERR_LOCK_TIMEOUT, kSrcFileOpen, __LINE__);
        return -1;
    });
}

void AutoBlockFileClose(int fd)
{
    if (fd < 0)
        return;
    if (flock(fd, LOCK_UN) != 0)
        syslog(LOG_ERR, "%s:%d Fail to unlock autoblock file, errno=[%d/%m]", kSrcFileClose, __LINE__, errno);
    close(fd);
}

int AutoBlockIMmapProcess(PAUTOBLOCKMMAPREQ pReq, int arg, void *pArg)
{
    return slib::Guarded(kSrcMmap, -1, [&] {
        if (!pReq || pReq->cbFile <= 0)
            return BadParameters();
        int fd = AutoBlockFileOpen(pReq->szPath, pReq->openFlags, pReq->lockOp);
        if (fd < 0)
            return -1;
        PFN_AUTOBLOCK_PROCESS fn = RecordFunction(*pReq, arg, pArg);
        int r = fn ? WalkLocked(fd, *pReq, fn, arg, pArg) : BadParameters();
        AutoBlockFileClose(fd);
        return r;
    });
}

int VAKOAutoBlockConfGet(PVAKOAUTOBLOCKCONF pConf)
{
    return slib::Guarded(kSrcConfGet, -1, [&] {
        if (!pConf) {
            SLIBErrorSetEx(SLIB_ERR_BAD_PARAMETER, kSrcConfGet, __LINE__);
            return -1;
        }
        ListPtr keys(PslSLIBSzListAlloc(512));
        HashPtr hash(SLIBSzHashAlloc(512));
        if (!keys || !hash) {
            syslog(LOG_ERR, "%s:%d Out of memory!!", kSrcConfGet, __LINE__);
            SLIBErrorSetEx(SLIB_ERR_OUT_OF_MEMORY, kSrcConfGet, __LINE__);
            return -1;
        }
        InfoLock lock(VAKO_INFO_LOCK_READ, VAKO_INFO_LOCK_TIMEOUT);
        if (!lock.held()) {
            syslog(LOG_ERR, "%s:%d ErrSLIBFileLock() failed!! file=[%s], vakoerr=[0x%04X]", kSrcConfGet, __LINE__,
                   SZF_VAKO_INFO, SLIBErrorGet());
            return -1;
        }
        PSLIBSZLIST l = keys.release();
        bool pushed = true;
        for (const char *k : {kKeyAttempts, kKeyAttemptMin, kKeyExpireDays, kKeyNotify})
            pushed = pushed && SLIBSzListPush(&l, k) >= 0;
        keys.reset(l);
        PSLIBSZHASH h = hash.release();
        int n = pushed ? SLIBFileGetKeys(SZF_VAKO_INFO, keys.get(), &h, "=") : -1;
        hash.reset(h);
        if (n < 0) {
            syslog(LOG_ERR, "%s:%d SLIBFileGetKeys() failed!! szFile=[%s], vakoerr=[0x%04X]", kSrcConfGet, __LINE__,
                   SZF_VAKO_INFO, SLIBErrorGet());
            return -1;
        }
        auto number = [&](const char *key) {
            const char *v = SzSLIBSzHashGetValue(hash.get(), key);
            return v ? atoi(v) : 0;
        };
        pConf->attempts = number(kKeyAttempts);
        pConf->attemptMin = number(kKeyAttemptMin);
        pConf->expireDays = number(kKeyExpireDays);
        const char *notify = SzSLIBSzHashGetValue(hash.get(), kKeyNotify);
        pConf->notify = notify && strcmp(notify, "yes") == 0 ? 1 : 0;
        return 0;
    });
}

int VAKOAutoBlockConfSet(PVAKOAUTOBLOCKCONF pConf)
{
    return slib::Guarded(kSrcConfSet, -1, [&] {
        if (!pConf) {
            SLIBErrorSetEx(SLIB_ERR_BAD_PARAMETER, kSrcConfSet, __LINE__);
            return -1;
        }
        HashPtr hash(SLIBSzHashAlloc(512));
        if (!hash) {
            SLIBErrorSetEx(SLIB_ERR_OUT_OF_MEMORY, kSrcConfSet, __LINE__);
            return -1;
        }
        VAKOAUTOBLOCKCONF old;
        if (VAKOAutoBlockConfGet(&old) < 0) {
            syslog(LOG_ERR,
                   "%s:%d Fail to get original auto block configuration from /etc/vakoinfo.conf, vakoerr=[0x%04X]",
                   kSrcConfSet, __LINE__, SLIBErrorGet());
            return -1;
        }
        PSLIBSZHASH h = hash.release();
        bool ok = true;
        auto put = [&](bool differs, const char *key, const char *value) {
            if (differs && ok)
                ok = SLIBSzHashSetValue(&h, key, value) >= 0;
        };
        char num[3][16];
        snprintf(num[0], sizeof num[0], "%d", pConf->attempts);
        snprintf(num[1], sizeof num[1], "%d", pConf->attemptMin);
        snprintf(num[2], sizeof num[2], "%d", pConf->expireDays);
        put(pConf->attempts != old.attempts, kKeyAttempts, num[0]);
        put(pConf->attemptMin != old.attemptMin, kKeyAttemptMin, num[1]);
        put(pConf->expireDays != old.expireDays, kKeyExpireDays, num[2]);
        put(pConf->notify != old.notify, kKeyNotify, pConf->notify ? "yes" : "no");
        hash.reset(h);
        if (!ok) {
            SLIBErrorSetEx(SLIB_ERR_OUT_OF_MEMORY, kSrcConfSet, __LINE__);
            return -1;
        }
        InfoLock lock(VAKO_INFO_LOCK_WRITE, VAKO_INFO_LOCK_TIMEOUT);
        if (!lock.held()) {
            syslog(LOG_ERR, "%s:%d ErrSLIBFileLock() failed!! file=[%s], vakoerr=[0x%04X]", kSrcConfSet, __LINE__,
                   SZF_VAKO_INFO, SLIBErrorGet());
            return -1;
        }
        if (SLIBFileSetKeys(SZF_VAKO_INFO, hash.get(), nullptr, kKeyFormat) < 0) {
            syslog(LOG_ERR, "%s:%d SLIBFileSetKeys() failed!! szFile=[%s], vakoerr=[0x%04X]", kSrcConfSet, __LINE__,
                   SZF_VAKO_INFO, SLIBErrorGet());
            return -1;
        }
        VAKOAutoBlockServicesHup();
        return 0;
    });
}

void VAKOAutoBlockServicesHup(void)
{
    if (system(kHupFtpd) != 0)
        syslog(LOG_ERR, "%s:%d Failed to hup ftpd", kSrcHup, __LINE__);
}

int VAKOAutoBlockIPAdd(const char *szIP)
{
    return slib::Guarded(kSrcIPAdd, -1, [&] {
        const time_t now = time(nullptr);
        NoUmask mask;
        struct in_addr in;
        if (!szIP) {
            SLIBErrorSetEx(SLIB_ERR_BAD_PARAMETER, kSrcIPAdd, __LINE__);
            return -1;
        }
        if (inet_aton(szIP, &in) == 0) {
            SLIBErrorSetEx(VAKO_ERR_NOT_IP_ADDR, kSrcIPAdd, __LINE__);
            return -1;
        }
        const uint32_t addr = in.s_addr;

        // A unique temporary beside the list: two adds never share one.
        slib::FileReplacer out(kSrcIPAdd);
        if (!out.CreateUniqueFrom(SZF_AUTOBLOCK_DENY_TMP)) {
            syslog(LOG_ERR, "%s:%d Fail to open [%s], errno=[%d/%m]", kSrcIPAdd, __LINE__, SZF_AUTOBLOCK_DENY_TMP,
                   errno);
            SLIBErrorSetEx(SLIB_ERR_OPEN, kSrcIPAdd, __LINE__);
            return -1;
        }
        int list = -1;
        auto fail = [&](int code) {
            if (code)
                SLIBErrorSetEx(code, kSrcIPAdd, __LINE__);
            out.Discard();
            AutoBlockFileClose(list);
            return -1;
        };

        VAKOAUTOBLOCKCONF conf;
        if (VAKOAutoBlockConfGet(&conf) < 0) {
            syslog(LOG_ERR,
                   "%s:%d Fail to get original auto block configuration from /etc/vakoinfo.conf, vakoerr=[0x%04X]",
                   kSrcIPAdd, __LINE__, SLIBErrorGet());
            return fail(0);
        }
        // The list stays locked until the new one has replaced it, so that no
        // other add reads it meanwhile; a missing one is created empty to have
        // something to lock.
        list = AutoBlockFileOpen(SZF_AUTOBLOCK_DENY, O_RDONLY | O_CREAT, LOCK_EX | LOCK_NB);
        if (list < 0)
            return fail(0);
        struct stat st;
        if (fstat(list, &st) != 0) {
            syslog(LOG_ERR, "%s:%d Fail to stat [%s], errno=[%d/%m]", kSrcIPAdd, __LINE__, SZF_AUTOBLOCK_DENY, errno);
            return fail(SLIB_ERR_STAT);
        }
        // The new list keeps the mode its owner gave the old one, without write
        // for others (old builds made it 0666).
        if (!out.SetMode(st.st_mode & kListMode)) {
            syslog(LOG_ERR, "%s:%d Fail to open [%s], errno=[%d/%m]", kSrcIPAdd, __LINE__, out.path(), errno);
            return fail(SLIB_ERR_OPEN);
        }
        std::unique_ptr<ListWriter> writer(new (std::nothrow) ListWriter(out, addr));
        if (!writer)
            return fail(SLIB_ERR_OUT_OF_MEMORY);
        bool isNew = true;
        if (st.st_size > 0) {
            if (st.st_size > INT_MAX) {
                syslog(LOG_ERR, "%s:%d [%s] is too large", kSrcIPAdd, __LINE__, SZF_AUTOBLOCK_DENY);
                return fail(SLIB_ERR_READ);
            }
            AUTOBLOCKMMAPREQ req = {};
            req.prot = PROT_READ;
            req.mapFlags = MAP_SHARED;
            req.op = AUTOBLOCK_OP_COPY_IF_DIFFER;
            req.lockOp = LOCK_EX | LOCK_NB;
            req.openFlags = O_RDONLY;
            req.cbFile = static_cast<int>(st.st_size);
            req.offStart = 0;
            req.tNow = static_cast<int64_t>(now);
            req.secExpire = conf.expireDays > 0 ? conf.expireDays * kSecPerDay : 0;
            req.szPath = SZF_AUTOBLOCK_DENY;
            // The writer goes through the replacer: no descriptor for the walk.
            int r = WalkLocked(list, req, ListWriter::CopyIfDiffer, -1, writer.get());
            if (r < 0) {
                syslog(LOG_ERR, "%s:%d AutoBlockIMmapProcess() failed, vakoerr=[0x%04X]", kSrcIPAdd, __LINE__,
                       SLIBErrorGet());
                return fail(0);
            }
            isNew = r == 1;
        }
        unsigned char rec[AUTOBLOCK_RECORD_SIZE];
        MakeRecord(rec, static_cast<uint32_t>(now), addr);
        if (!writer->Put(rec) || !writer->Flush() || !out.Finish()) {
            const char *what = out.failed() == slib::FileReplacer::Step::kClose ? "close" : "write";
            syslog(LOG_ERR, "%s:%d Fail to %s [%s], errno=[%d/%m]", kSrcIPAdd, __LINE__, what, out.path(), errno);
            return fail(SLIB_ERR_WRITE);
        }
        if (!out.RenameOver(SZF_AUTOBLOCK_DENY)) {
            syslog(LOG_ERR, "%s:%d Fail to rename [%s], errno=[%d/%m]", kSrcIPAdd, __LINE__, out.path(), errno);
            return fail(SLIB_ERR_RENAME);
        }
        AutoBlockFileClose(list);
        // After the list's lock is given up: the mail's child must not hold it.
        if (isNew)
            Announce(szIP, now, conf);
        return 0;
    });
}

} // extern "C"
