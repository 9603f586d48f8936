#include "state.h"

#include <unistd.h>

#include <charconv>
#include <cstdio>

namespace vakotest::kstub::state {

namespace {

bool IsNumberedName(std::string_view device, std::string_view prefix)
{
    if (device.substr(0, prefix.size()) != prefix)
        return false;
    std::string_view num = device.substr(prefix.size());
    if (num.empty() || num.size() > 4)
        return false;
    for (char c : num)
        if (c < '0' || c > '9')
            return false;
    return true;
}

struct CallWord {
    const char *name;
    Call value;
};
constexpr CallWord kCalls[] = {{"present", Call::Present}, {"absent", Call::Absent}, {"refused", Call::Refused}};

const char *CallName(Call c)
{
    for (const auto &e : kCalls)
        if (e.value == c)
            return e.name;
    return "absent";
}

struct KindName {
    const char *name;
    FaultKind value;
};
constexpr KindName kKinds[] = {{"erase", FaultKind::FailErase},  {"write", FaultKind::FailWrite},
                               {"ioctl", FaultKind::FailIoctl},  {"corrupt", FaultKind::CorruptWrite},
                               {"short", FaultKind::ShortWrite}, {"kill", FaultKind::KillAfterWrite}};

// Splits one record into blank-separated words.
class Words {
public:
    explicit Words(std::string_view line) : rest_(line) {}
    bool Next(std::string_view &w)
    {
        while (!rest_.empty() && rest_.front() == ' ')
            rest_.remove_prefix(1);
        if (rest_.empty())
            return false;
        size_t end = rest_.find(' ');
        w = rest_.substr(0, end);
        rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end);
        return true;
    }
    template <typename T> bool Num(T &out)
    {
        std::string_view w;
        if (!Next(w))
            return false;
        auto [p, ec] = std::from_chars(w.data(), w.data() + w.size(), out);
        return ec == std::errc() && p == w.data() + w.size();
    }
    bool Str(std::string &out)
    {
        std::string_view w;
        if (!Next(w))
            return false;
        out = w;
        return true;
    }
    // One of a table's names, as its value.
    template <typename T, size_t N, typename E> bool Named(const E (&table)[N], T &out)
    {
        std::string_view w;
        if (!Next(w))
            return false;
        for (const auto &e : table)
            if (w == e.name) {
                out = e.value;
                return true;
            }
        return false;
    }
    bool End()
    {
        std::string_view w;
        return !Next(w);
    }
    bool AtEnd() const { return rest_.find_first_not_of(' ') == std::string_view::npos; }

private:
    std::string_view rest_;
};

bool ParseLine(std::string_view line, State &st)
{
    Words w(line);
    std::string_view key;
    if (!w.Next(key))
        return true;
    if (key == "chip")
        return w.Num(st.chipSize) && w.Num(st.eraseSize) && w.End();
    if (key == "window") {
        Window win;
        uint32_t dataLength = 0;
        int locked = 0;
        if (!(w.Str(win.device) && w.Num(win.offset) && w.Num(win.size) && w.Num(dataLength) && w.Num(locked) &&
              w.End() && IsMtdName(win.device)))
            return false;
        win.dataLength = dataLength;
        win.locked = locked != 0;
        st.windows.push_back(win);
        return true;
    }
    if (key == "call401")
        return w.Named(kCalls, st.calls.msys401) && w.Num(st.calls.msysWord) && w.Num(st.calls.errno401) && w.End();
    if (key == "call405")
        return w.Named(kCalls, st.calls.mtdBuf405) && w.Num(st.calls.errno405) && w.End();
    if (key == "md") {
        MdArray md;
        int active = 0;
        if (!(w.Str(md.device) && w.Num(active) && w.Num(md.level) && w.Num(md.componentKB) && w.Num(md.raidDisks) &&
              w.Num(md.nrDisks) && w.Num(md.deviceBytes) && w.Num(md.sync[0]) && w.Num(md.sync[1]) &&
              w.Num(md.sync[2]) && w.End() && IsMdName(md.device)))
            return false;
        md.active = active != 0;
        st.md.push_back(md);
        return true;
    }
    if (key == "fault") {
        Fault f;
        unsigned mask = 0;
        if (!(w.Str(f.device) && w.Named(kKinds, f.kind) && w.Num(f.nth) && w.Num(f.request) && w.Num(f.error) &&
              w.Num(f.offset) && w.Num(mask) && w.Num(f.maxBytes) && w.Num(f.seen) && mask <= 0xff))
            return false;
        // Records of knobs that act once and end no process stop here.
        if (!w.AtEnd() && !(w.Num(f.times) && (w.AtEnd() || w.Str(f.program))))
            return false;
        if (!w.End())
            return false;
        f.mask = static_cast<uint8_t>(mask);
        st.faults.push_back(f);
        return true;
    }
    if (key == "formatted")
        return w.Str(st.formatted) && w.End();
    return false;
}

} // namespace

Window *State::FindWindow(std::string_view device)
{
    for (auto &w : windows)
        if (w.device == device)
            return &w;
    return nullptr;
}

MdArray *State::FindMd(std::string_view device)
{
    for (auto &m : md)
        if (m.device == device)
            return &m;
    return nullptr;
}

bool IsMtdName(std::string_view device) { return IsNumberedName(device, "/dev/mtd"); }
bool IsMdName(std::string_view device) { return IsNumberedName(device, "/dev/md"); }

std::string DevicePath(std::string_view device)
{
    if (device.substr(0, 5) == "/dev/")
        return std::string(device);
    return "/dev/" + std::string(device);
}

bool Acts(Fault &f)
{
    ++f.seen;
    return f.seen >= f.nth && (f.times == 0 || f.seen - f.nth < f.times);
}

const char *FaultKindName(FaultKind kind)
{
    for (const auto &e : kKinds)
        if (e.value == kind)
            return e.name;
    return "write";
}

uint32_t DecodeGeneration(const unsigned char *p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

bool BumpGeneration(int lockFd, uint32_t *now)
{
    unsigned char b[kGenerationBytes] = {};
    ssize_t got = pread(lockFd, b, sizeof b, 0);
    if (got < 0)
        return false;
    uint32_t next = (got == static_cast<ssize_t>(sizeof b) ? DecodeGeneration(b) : 0) + 1;
    for (size_t i = 0; i < sizeof b; ++i)
        b[i] = static_cast<unsigned char>(next >> (8 * (sizeof b - 1 - i)));
    if (pwrite(lockFd, b, sizeof b, 0) != static_cast<ssize_t>(sizeof b))
        return false;
    if (now)
        *now = next;
    return true;
}

bool Parse(std::string_view text, State &out)
{
    State st;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (!ParseLine(line, st))
            return false;
    }
    if (st.chipSize == 0 || st.eraseSize == 0)
        return false;
    out = std::move(st);
    return true;
}

std::string Format(const State &st)
{
    std::string out;
    char buf[256];
    auto add = [&](int n) { out.append(buf, static_cast<size_t>(n)); };
    add(snprintf(buf, sizeof buf, "chip %u %u\n", st.chipSize, st.eraseSize));
    for (const auto &w : st.windows)
        add(snprintf(buf, sizeof buf, "window %s %u %u %u %d\n", w.device.c_str(), w.offset, w.size,
                     w.dataLength.value_or(w.size), w.locked ? 1 : 0));
    add(snprintf(buf, sizeof buf, "call401 %s %u %d\n", CallName(st.calls.msys401), st.calls.msysWord,
                 st.calls.errno401));
    add(snprintf(buf, sizeof buf, "call405 %s %d\n", CallName(st.calls.mtdBuf405), st.calls.errno405));
    for (const auto &m : st.md)
        add(snprintf(buf, sizeof buf, "md %s %d %d %d %d %d %llu %u %u %u\n", m.device.c_str(), m.active ? 1 : 0,
                     m.level, m.componentKB, m.raidDisks, m.nrDisks, static_cast<unsigned long long>(m.deviceBytes),
                     m.sync[0], m.sync[1], m.sync[2]));
    for (const auto &f : st.faults) {
        add(snprintf(buf, sizeof buf, "fault %s %s %u %u %d %u %u %u %u", f.device.c_str(), FaultKindName(f.kind),
                     f.nth, f.request, f.error, f.offset, f.mask, f.maxBytes, f.seen));
        if (f.times != 1 || !f.program.empty())
            out += " " + std::to_string(f.times);
        if (!f.program.empty())
            out += " " + f.program;
        out += "\n";
    }
    if (!st.formatted.empty())
        out += "formatted " + st.formatted + "\n";
    return out;
}

} // namespace vakotest::kstub::state
