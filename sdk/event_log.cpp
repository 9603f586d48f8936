#include "vako/event_log.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "event_log_file.h"
#include "slib/conf_read.h"
#include "slib/error.h"
#include "slibcxx/border.h"
#include "slibcxx/raii.h"
#include "slibcxx/trusted.h"
#include "vako/event_log_size.h"
#include "vako/user_op.h"

using vakolog::GetBe16;
using vakolog::GetBe32;
using vakolog::PutBe16;
using vakolog::PutBe32;
using vakolog::ReadAt;
using vakolog::ReadU16At;
using vakolog::WriteAt;

namespace {

constexpr uint32_t kHeader = VAKOLOG_HEADER_SIZE;
constexpr uint32_t kMarkerSize = 2;
constexpr uint32_t kMaxRecord = 65535;
constexpr size_t kUserNameSize = 256;
// A size value of more characters than this is no size.
constexpr int kSizeValueRoom = 10;

struct LogClass {
    const char *pathKey;
    const char *sizeKey;
    const char *path;
    uint32_t limit;
};

// Indexed by class; class 4 has no file.
constexpr LogClass kClasses[] = {
    {nullptr, nullptr, nullptr, 0},
    {"syslogfile", "syslogfilesize_MAX", SZF_VAKOLOG_SYS, 131072},
    {"syslogfile", "syslogfilesize_MAX", SZF_VAKOLOG_SYS, 131072},
    {"connlogfile", "connlogfilesize_MAX", SZF_VAKOLOG_CONN, 65536},
    {nullptr, nullptr, nullptr, 0},
    {"bkplogfile", "bkplogfilesize_MAX", SZF_VAKOLOG_BACKUP, 65536},
    {"copylogfile", "copylogfilesize_MAX", SZF_VAKOLOG_COPY, 65536},
    {"netbkplogfile", "netbkplogfilesize_MAX", SZF_VAKOLOG_NETBKP, 65536},
    {"surlogfile", "surlogfilesize_MAX", SZF_VAKOLOG_SUR, 65536},
};

// The default configuration, in its order.
struct ConfLine {
    const char *key;
    const char *path; // NULL: a size line
};
constexpr ConfLine kDefaultConf[] = {
    {"syslogfile", SZF_VAKOLOG_SYS},    {"syslogfilesize_MAX", nullptr},       {"manlogfile", SZF_VAKOLOG_MAN},
    {"manlogfilesize_MAX", nullptr},    {"connlogfile", SZF_VAKOLOG_CONN},     {"connlogfilesize_MAX", nullptr},
    {"bkplogfile", SZF_VAKOLOG_BACKUP}, {"bkplogfilesize_MAX", nullptr},       {"copylogfile", SZF_VAKOLOG_COPY},
    {"copylogfilesize_MAX", nullptr},   {"netbkplogfile", SZF_VAKOLOG_NETBKP}, {"netbkplogfilesize_MAX", nullptr},
    {"surlogfile", SZF_VAKOLOG_SUR},    {"surlogfilesize_MAX", nullptr},
};
constexpr int kDefaultConfSize = 65536;

uint32_t gLimit = 65536;

void Marker(const char *text) { syslog(LOG_ERR, "%s", text); }

// The limit of a size value: decimal digits only, above 0 and within a
// signed 32-bit value.  Anything else (zero, a sign, letters, an empty
// value) is no limit: a zero limit would wipe the whole log.
bool ParseLimit(const char *text, uint32_t *limit)
{
    if (!*text)
        return false;
    uint64_t v = 0;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        if (v > INT32_MAX)
            return false;
    }
    if (v == 0)
        return false;
    *limit = static_cast<uint32_t>(v);
    return true;
}

bool ReadLimit(const char *key, uint32_t *limit)
{
    char value[kSizeValueRoom + 1] = {};
    return SLIBFileGetKeyValue(SZF_VAKOLOG_CONF, key, value, sizeof value, 0) > 0 && ParseLimit(value, limit);
}

// The ring of one locked log file: start S, end E and the limit M.
class Ring {
public:
    Ring(int fd, int64_t start, int64_t end, uint32_t limit) : fd_(fd), s_(start), e_(end), m_(limit) {}

    // Places the record of length len, dropping the oldest ones as needed;
    // e_ is then the new end.
    bool Place(const char *rec, uint32_t len)
    {
        len_ = len;
        rec_ = rec;
        return e_ >= s_ ? PlaceLinear() : PlaceWrapped();
    }
    int64_t end() const { return e_; }

private:
    // Room between at and the limit, less the end marker, in signed 64 bits:
    // an end already past the limit leaves none.
    bool FitsAt(int64_t at) const { return at + len_ + kMarkerSize <= m_; }

    bool StoreStart() { return LogStartOffsetSet(fd_, static_cast<uint32_t>(s_)) >= 0; }

    bool Write(int64_t at, const char *marker)
    {
        if (!WriteAt(fd_, static_cast<uint32_t>(at), rec_, static_cast<int>(len_))) {
            if (marker)
                Marker(marker);
            return false;
        }
        e_ = at + len_;
        return true;
    }

    bool WriteEndMarker(int64_t at, const char *marker)
    {
        static const unsigned char zero[kMarkerSize] = {0, 0};
        if (!WriteAt(fd_, static_cast<uint32_t>(at), zero, kMarkerSize)) {
            Marker(marker);
            return false;
        }
        return true;
    }

    // Every record was dropped: the ring starts again at the header.
    bool PlaceInEmptyRing(const char *marker)
    {
        if (!FitsAt(kHeader))
            return false;
        s_ = kHeader;
        return StoreStart() && Write(kHeader, marker);
    }

    // A record whose length is 0, or that runs past the live part it lies in.
    bool Corrupt(int64_t at)
    {
        syslog(LOG_ERR, "%s:%d bad record length at offset %lld", __FILE_NAME__, __LINE__, static_cast<long long>(at));
        return false;
    }

    // Drops the record at s_ from a part that ends at bound: its length, or 0.
    uint16_t DropOne(int64_t bound)
    {
        uint16_t len;
        if (!ReadU16At(fd_, static_cast<uint32_t>(s_), &len) || len == 0)
            return 0;
        if (s_ + len > bound) {
            Corrupt(s_);
            return 0;
        }
        s_ += len;
        return StoreStart() ? len : 0;
    }

    // Live records from S to E.
    bool PlaceLinear()
    {
        if (FitsAt(e_))
            return Write(e_, "sdk/vakolog1 : line 335");
        if (!WriteEndMarker(e_, "sdk/vakolog1 : lline 349"))
            return false;
        for (int64_t dropped = 0; dropped <= len_;) {
            if (s_ >= e_)
                return PlaceInEmptyRing("sdk/vakolog1 : line 371");
            uint16_t len = DropOne(e_);
            if (len == 0)
                return false;
            dropped += len;
        }
        return Write(kHeader, "sdk/vakolog1 : line 371");
    }

    // Live records from S to the end marker, then from 16 to E.
    bool PlaceWrapped()
    {
        if (s_ - e_ > len_)
            return Write(e_, nullptr);
        constexpr const char *kAtEnd = "sdk/vakolog1 : lline 432";
        int64_t gap = s_ - e_;
        // The older part, up to the end marker.
        for (;;) {
            uint16_t len;
            if (!ReadU16At(fd_, static_cast<uint32_t>(s_), &len) || len == 0)
                break;
            s_ += len;
            if (!StoreStart())
                return false;
            gap += len;
            if (gap > len_)
                return Write(e_, kAtEnd);
        }
        // The newer part, from the header to E.
        const int64_t bound = e_;
        if (bound <= kHeader)
            return PlaceInEmptyRing(kAtEnd);
        uint16_t first;
        if (!ReadU16At(fd_, kHeader, &first) || first == 0) {
            syslog(LOG_ERR, "sdk/vakolog1 : lline %d", 150);
            return false;
        }
        const int64_t room = m_ - e_ - kMarkerSize;
        s_ = kHeader;
        if (room > len_)
            return StoreStart() && Write(e_, kAtEnd);
        if (room == len_) {
            if (!StoreStart())
                return false;
            gap = room;
        } else {
            if (!WriteEndMarker(e_, "sdk/vakolog1 : lline 410"))
                return false;
            if (kHeader + first > bound)
                return Corrupt(kHeader);
            s_ = kHeader + first;
            gap = first;
            e_ = kHeader;
            if (!StoreStart())
                return false;
        }
        for (;;) {
            if (gap > len_)
                return Write(e_, kAtEnd);
            if (s_ >= bound)
                return PlaceInEmptyRing(kAtEnd);
            uint16_t len = DropOne(bound);
            if (len == 0)
                return false;
            gap += len;
        }
    }

    int fd_;
    int64_t s_, e_;
    int64_t m_;
    int64_t len_ = 0;
    const char *rec_ = nullptr;
};

// The record written under the lock of the open log fd.
// LogCurrentUserName's name, in its static buffer; NULL when the account
// could not be read for want of memory (0x0200 recorded): a record must not
// name nobody for that.
const char *CurrentUserName()
{
    static char name[kUserNameSize];
    memset(name, 0, sizeof name);
    const char *env = getenv("USERNAME");
    bool known;
    if (env) {
        snprintf(name, sizeof name, "%s", env);
        known = true;
    } else {
        PVAKOUSER user = nullptr;
        known = VAKOUserGetByUID(static_cast<int>(geteuid()), &user) == 0;
        if (known)
            snprintf(name, sizeof name, "%s", user->szName);
        VAKOUserFree(user);
        if (!known && slib::OutOfMemory())
            return nullptr;
    }
    if (known && strcmp(name, "root") == 0)
        snprintf(name, sizeof name, "%s", "admin");
    return name;
}

bool WriteLocked(int fd, int level, uint32_t eventId, const char *s1, const char *s2, const char *s3, const char *s4)
{
    if (LogHeaderCheck(fd) < 0)
        return false;
    int64_t s = LogStartOffsetGet(fd), e = LogEndOffsetGet(fd);
    // Offsets inside the header cannot be read as records either, and
    // offsets past both the file's end and the limit are no ring of this
    // file (a marker written there would make a file of gigabytes).
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    const int64_t far = std::max<int64_t>(st.st_size, gLimit);
    if (s < kHeader || e < kHeader || s > far || e > far) {
        if (LogStartOffsetSet(fd, kHeader) < 0 || LogEndOffsetSet(fd, kHeader) < 0)
            return false;
        s = e = kHeader;
    }
    char *raw = nullptr;
    uint16_t len = LogRecordBuild(&raw, static_cast<uint16_t>(level), eventId, s1, s2, s3, s4);
    slib::HeapPtr<char> rec(raw);
    if (len == 0)
        return false;
    Ring ring(fd, s, e, gLimit);
    if (!ring.Place(rec.get(), len))
        return false;
    return LogEndOffsetSet(fd, static_cast<uint32_t>(ring.end())) >= 0 && fchmod(fd, 0600) == 0;
}

} // namespace

namespace vakolog {

int OpenLocked(const char *path, int flags, mode_t mode, OpenFailure *why)
{
    // Never through a link, never into a FIFO or a file with another name
    // elsewhere: what is there is refused, not replaced (it holds records).
    const slib::TrustedName name = {
        .path = path, .flags = flags, .mode = mode, .checks = slib::kTrustOwnFile, .src = __FILE_NAME__};
    slib::LockedOpen step;
    slib::Fd fd = slib::OpenLocked(name, {.lockOp = LOCK_EX, .opens = kRetries + 1, .locks = kRetries + 1}, &step);
    *why = step == slib::LockedOpen::kHeld   ? OpenFailure::kNone
           : step == slib::LockedOpen::kLock ? OpenFailure::kLock
                                             : OpenFailure::kOpen;
    return fd.release();
}

void CloseLocked(int fd)
{
    if (fd < 0)
        return;
    flock(fd, LOCK_UN);
    close(fd);
}

bool ReadAt(int fd, uint32_t off, void *p, int n)
{
    return lseek(fd, static_cast<off_t>(off), SEEK_SET) == static_cast<off_t>(off) && VAKOLogReadByte(fd, p, n) == n;
}

bool ReadU16At(int fd, uint32_t off, uint16_t *value)
{
    unsigned char b[2];
    if (!ReadAt(fd, off, b, sizeof b))
        return false;
    *value = GetBe16(b);
    return true;
}

bool WriteAt(int fd, uint32_t off, const void *p, int n)
{
    return lseek(fd, static_cast<off_t>(off), SEEK_SET) == static_cast<off_t>(off) && VAKOLogWriteByte(fd, p, n) == n;
}

} // namespace vakolog

extern "C" {

uint32_t LogSizeLimitGet(void) { return gLimit; }
void LogSizeLimitSet(uint32_t limit) { gLimit = limit; }

int VAKOLogWriteByte(int fd, const void *p, int n)
{
    if (!p || n < 0) {
        SLIB_ERR(SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    const char *at = static_cast<const char *>(p);
    int done = 0;
    while (done < n) {
        ssize_t w = write(fd, at + done, static_cast<size_t>(n - done));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            syslog(LOG_ERR, "VAKOLogWriteByte(): write() error!, input count is [%d]", n);
            return -1;
        }
        done += static_cast<int>(w);
    }
    return n;
}

int VAKOLogReadByte(int fd, void *p, int n)
{
    if (!p || n < 0)
        return -1;
    char *at = static_cast<char *>(p);
    int done = 0;
    while (done < n) {
        ssize_t r = read(fd, at + done, static_cast<size_t>(n - done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return -1;
        done += static_cast<int>(r);
    }
    return n;
}

int64_t LogTell(int fd) { return lseek(fd, 0, SEEK_CUR); }

int64_t LogStartOffsetGet(int fd)
{
    unsigned char b[4];
    return ReadAt(fd, VAKOLOG_OFF_START, b, sizeof b) ? static_cast<int64_t>(GetBe32(b)) : -1;
}

int64_t LogEndOffsetGet(int fd)
{
    unsigned char b[4];
    return ReadAt(fd, VAKOLOG_OFF_END, b, sizeof b) ? static_cast<int64_t>(GetBe32(b)) : -1;
}

int LogStartOffsetSet(int fd, uint32_t off)
{
    unsigned char b[4];
    PutBe32(b, off);
    if (!WriteAt(fd, VAKOLOG_OFF_START, b, sizeof b) || fsync(fd) != 0) {
        Marker("sdk/vakolog1: line 160");
        return -1;
    }
    return sizeof b;
}

int LogEndOffsetSet(int fd, uint32_t off)
{
    unsigned char b[4];
    PutBe32(b, off);
    // The records and the start are on disk before the end names them.
    if (fsync(fd) != 0 || !WriteAt(fd, VAKOLOG_OFF_END, b, sizeof b)) {
        Marker("sdk/vakolog1: line 138");
        return -1;
    }
    return sizeof b;
}

int LogHeaderCheck(int fd)
{
    unsigned char magic[4];
    if (ReadAt(fd, 0, magic, sizeof magic) && memcmp(magic, VAKOLOG_MAGIC, sizeof magic) == 0)
        return 4;
    unsigned char off[4];
    PutBe32(off, kHeader);
    if (!WriteAt(fd, 0, VAKOLOG_MAGIC, 4)) {
        Marker("sdk/vakolog1: line 99");
        return -1;
    }
    if (!WriteAt(fd, VAKOLOG_OFF_START, off, sizeof off)) {
        Marker("sdk/vakolog1: line 104");
        return -1;
    }
    if (!WriteAt(fd, VAKOLOG_OFF_END, off, sizeof off)) {
        Marker("sdk/vakolog1: line 110");
        return -1;
    }
    return 12;
}

const char *LogCurrentUserName(void)
{
    return slib::Guarded(__FILE_NAME__, "", [&]() -> const char * {
        const char *name = CurrentUserName();
        return name ? name : "";
    });
}

uint16_t LogRecordBuild(char **ppRecord, uint16_t level, uint32_t eventId, const char *s1, const char *s2,
                        const char *s3, const char *s4)
{
    return slib::Guarded(__FILE_NAME__, uint16_t{0}, [&]() -> uint16_t {
        if (!ppRecord) {
            SLIB_ERR(SLIB_ERR_BAD_PARAMETER);
            return 0;
        }
        *ppRecord = nullptr;
        const uint32_t now = static_cast<uint32_t>(time(nullptr));
        const char *user = CurrentUserName();
        if (!user)
            return 0;
        const std::string_view texts[6] = {
            program_invocation_short_name, user, s1 ? s1 : "", s2 ? s2 : "", s3 ? s3 : "", s4 ? s4 : ""};
        size_t total = VAKOLOG_RECORD_HEAD;
        for (std::string_view t : texts)
            total += t.size();
        // The length fields are 16 bits: a longer record could not be read back.
        if (total > kMaxRecord) {
            SLIB_ERR(SLIB_ERR_BAD_PARAMETER);
            return 0;
        }
        auto *rec = static_cast<unsigned char *>(calloc(1, total));
        if (!rec) {
            SLIB_ERR(SLIB_ERR_OUT_OF_MEMORY);
            return 0;
        }
        auto u16 = [](size_t v) { return static_cast<uint16_t>(v); };
        PutBe16(rec, u16(total));
        PutBe16(rec + 2, level);
        PutBe32(rec + 4, now);
        PutBe16(rec + 8, u16(texts[0].size()));
        PutBe16(rec + 10, u16(texts[1].size()));
        PutBe32(rec + 12, eventId);
        for (int i = 0; i < 4; i++)
            PutBe16(rec + 16 + 2 * i, u16(texts[2 + i].size()));
        unsigned char *at = rec + VAKOLOG_RECORD_HEAD;
        for (std::string_view t : texts) {
            memcpy(at, t.data(), t.size());
            at += t.size();
        }
        *ppRecord = reinterpret_cast<char *>(rec);
        return u16(total);
    });
}

int LogWriteRecord(const char *szPath, int level, uint32_t eventId, const char *s1, const char *s2, const char *s3,
                   const char *s4)
{
    return slib::Guarded(__FILE_NAME__, -1, [&] {
        if (!szPath) {
            SLIB_ERR(SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        vakolog::OpenFailure why;
        int fd = vakolog::OpenLocked(szPath, O_RDWR | O_CREAT, 0600, &why);
        if (fd < 0) {
            if (why == vakolog::OpenFailure::kOpen)
                syslog(LOG_ERR, "logfile %s open error while writing!", szPath);
            else
                syslog(LOG_ERR, "logfile %s lock error while writing!", szPath);
            return -1;
        }
        bool ok = WriteLocked(fd, level, eventId, s1, s2, s3, s4);
        vakolog::CloseLocked(fd);
        return ok ? 0 : -1;
    });
}

int LogSetLogConf(void)
{
    FILE *fp = fopen(SZF_VAKOLOG_CONF, "w+");
    if (!fp) {
        SLIB_ERR(SLIB_ERR_OPEN);
        return -1;
    }
    for (const ConfLine &l : kDefaultConf) {
        int n = l.path ? fprintf(fp, "%s\t=\t\"%s\"\n", l.key, l.path)
                       : fprintf(fp, "%s\t=\t\"%d\"\n", l.key, kDefaultConfSize);
        if (n < 0) {
            fclose(fp);
            SLIB_ERR(SLIB_ERR_WRITE);
            return -1;
        }
    }
    if (fclose(fp) != 0) {
        SLIB_ERR(SLIB_ERR_WRITE);
        return -1;
    }
    return 0;
}

int VAKOLogSet1(int logClass, int level, uint32_t eventId, const char *s1, const char *s2, const char *s3,
                const char *s4)
{
    return slib::Guarded(__FILE_NAME__, -1, [&] {
        if (logClass < VAKOLOG_CLASS_SYS || logClass > VAKOLOG_CLASS_SUR) {
            syslog(LOG_ERR, "logclass error!");
            return -1;
        }
        const LogClass &c = kClasses[logClass];
        if (!c.path)
            return -1;
        const int type = logClass <= VAKOLOG_CLASS_SYS2 ? VAKOLOG_TYPE_SYS : logClass;
        struct stat st;
        if (stat(SZF_VAKOLOG_CONF, &st) != 0) {
            if (LogSetLogConf() < 0)
                return -1;
            gLimit = c.limit;
            VAKOLogChangeSize(static_cast<int>(gLimit), type);
        } else {
            if (logClass >= VAKOLOG_CLASS_CONN)
                syslog(LOG_INFO, "VAKO : log file %s opened", SZF_VAKOLOG_CONF);
            uint32_t limit;
            if (ReadLimit(c.sizeKey, &limit)) {
                gLimit = limit;
                VAKOLogChangeSize(static_cast<int>(gLimit), type);
            } else if (slib::OutOfMemory()) {
                return -1;
            } else {
                gLimit = c.limit;
            }
        }
        // A long path is used whole, never cut into another file's name.
        char path[PATH_MAX] = {};
        if (SLIBFileGetKeyValue(SZF_VAKOLOG_CONF, c.pathKey, path, sizeof path, 0) <= 0) {
            // The configured file, not the default one, when it cannot be read
            // for want of memory.
            if (slib::OutOfMemory())
                return -1;
            snprintf(path, sizeof path, "%s", c.path);
        }
        auto text = [](const char *s) { return !s ? "" : !*s ? " " : s; };
        return LogWriteRecord(path, level, eventId, text(s1), text(s2), text(s3), text(s4)) < 0 ? -1 : 0;
    });
}

} // extern "C"
