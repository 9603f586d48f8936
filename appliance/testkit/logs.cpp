#include "vakotest/logs.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <regex>
#include <stdexcept>
#include <string_view>

#include "vakotest/files.h"
#include "vakotest/paths.h"

namespace vakotest {

namespace {

constexpr const char *kSyncPrefix = "vakotest-syslog-sync ";

// A record sent straight to /dev/log: when it has been written, so has
// everything queued before it.
void SendMarker(const std::string &text)
{
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        throw std::runtime_error("socket: " + std::string(strerror(errno)));
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    strcpy(sa.sun_path, "/dev/log");
    std::string msg = "<14>Jan  1 00:00:00 vakotest: " + text;
    ssize_t n = sendto(s, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof(sa));
    int err = errno;
    close(s);
    if (n != static_cast<ssize_t>(msg.size()))
        throw std::runtime_error("no system log on /dev/log: " + std::string(strerror(err)));
}

std::string Unescape(std::string_view s)
{
    std::string r;
    r.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char c = s[++i];
            r += c == 'n' ? '\n' : c;
        } else {
            r += s[i];
        }
    }
    return r;
}

// Waits until the marker has been written; the file's content then.
std::string SyncSyslog()
{
    static std::atomic<unsigned> counter;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    std::string marker = kSyncPrefix + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" +
                         std::to_string(ts.tv_nsec);
    SendMarker(marker);
    std::string want = "\t" + marker + "\n";
    // Only a stand-in that has stopped misses this, however loaded the machine.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (;;) {
        std::string content = FileExists(kSyslogFile) ? ReadFile(kSyslogFile) : "";
        if (content.find(want) != std::string::npos)
            return content;
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("the system-log stand-in did not write its record");
        poll(nullptr, 0, 1); // not a sleep that a SleepLog would note
    }
}

// The log pattern as a regular expression.
std::regex PatternRegex(const std::string &pattern)
{
    std::string re;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern.compare(i, 3, "{L}") == 0) {
            re += "[0-9]+";
            i += 2;
        } else if (pattern.compare(i, 3, "{*}") == 0) {
            re += "[\\s\\S]*";
            i += 2;
        } else {
            if (pattern[i] && strchr("\\^$.|?*+()[]{}", pattern[i]))
                re += '\\';
            re += pattern[i];
        }
    }
    return std::regex(re);
}

constexpr std::string_view kStampShape = "dddd/dd/dd dd:dd:dd\t";

bool Stamped(std::string_view line)
{
    if (line.size() < kStampShape.size())
        return false;
    for (size_t i = 0; i < kStampShape.size(); ++i) {
        char want = kStampShape[i], c = line[i];
        if (want == 'd' ? c < '0' || c > '9' : c != want)
            return false;
    }
    return true;
}

} // namespace

std::vector<SyslogLine> SyslogLines()
{
    std::string content = SyncSyslog();
    std::vector<SyslogLine> lines;
    std::string_view rest(content);
    while (!rest.empty()) {
        size_t nl = rest.find('\n');
        std::string_view line = rest.substr(0, nl);
        rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
        if (line.size() < 2 || line[1] != '\t')
            continue;
        std::string text = Unescape(line.substr(2));
        if (text.starts_with(kSyncPrefix))
            continue;
        lines.push_back({line[0] - '0', std::move(text)});
    }
    return lines;
}

std::vector<std::string> SyslogTexts()
{
    std::vector<std::string> texts;
    for (SyslogLine &l : SyslogLines())
        texts.push_back(std::move(l.text));
    return texts;
}

bool SyslogHas(const std::string &text)
{
    std::vector<std::string> texts = SyslogTexts();
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

void SyslogClear()
{
    SyncSyslog();
    if (truncate(kSyslogFile, 0) != 0)
        throw std::runtime_error("cannot empty " + std::string(kSyslogFile));
}

int SyslogCount(const std::string &pattern, int level)
{
    std::regex re = PatternRegex(pattern);
    int n = 0;
    for (const SyslogLine &l : SyslogLines())
        n += (level == kAnyLevel || l.level == level) && std::regex_match(l.text, re) ? 1 : 0;
    return n;
}

bool SyslogMatches(const std::string &pattern, int level) { return SyslogCount(pattern, level) > 0; }

bool LogPatternMatches(const std::string &pattern, const std::string &text)
{
    return std::regex_match(text, PatternRegex(pattern));
}

bool RegexMatches(const std::string &text, const std::string &regex)
{
    return std::regex_match(text, std::regex(regex));
}

std::vector<std::string> SyslogTextsFrom(const std::string &prefix)
{
    std::vector<std::string> texts = SyslogTexts();
    std::erase_if(texts, [&](const std::string &t) { return !t.starts_with(prefix); });
    return texts;
}

std::string SyslogMismatch(const std::string &prefix, const std::vector<std::string> &patterns)
{
    std::vector<std::string> texts = SyslogTextsFrom(prefix);
    for (size_t i = 0; i < texts.size() || i < patterns.size(); ++i) {
        if (i == texts.size())
            return "record " + std::to_string(i) + " missing: " + patterns[i];
        if (i == patterns.size())
            return "record " + std::to_string(i) + " not expected: " + texts[i];
        if (!LogPatternMatches(patterns[i], texts[i]))
            return "record " + std::to_string(i) + " [" + texts[i] + "] does not match [" + patterns[i] + "]";
    }
    return {};
}

std::vector<UpdateLogLine> UpdateLogLines()
{
    std::vector<UpdateLogLine> lines;
    if (!FileExists(kUpdateLog))
        return lines;
    std::string log = ReadFile(kUpdateLog);
    std::string_view rest(log);
    while (!rest.empty()) {
        size_t nl = rest.find('\n');
        std::string_view line = rest.substr(0, nl);
        rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
        if (nl != std::string_view::npos && Stamped(line))
            lines.push_back(
                {std::string(line.substr(0, kStampShape.size() - 1)), std::string(line.substr(kStampShape.size()))});
        else
            lines.push_back({"", std::string(line)});
    }
    return lines;
}

std::vector<std::string> UpdateLogTexts()
{
    std::vector<std::string> texts;
    for (UpdateLogLine &l : UpdateLogLines())
        texts.push_back(l.stamp.empty() ? "unstamped: " + l.text : std::move(l.text));
    return texts;
}

bool UpdateLogHas(const std::string &pattern)
{
    std::regex re = PatternRegex(pattern);
    std::vector<std::string> texts = UpdateLogTexts();
    return std::any_of(texts.begin(), texts.end(), [&](const std::string &t) { return std::regex_match(t, re); });
}

} // namespace vakotest
