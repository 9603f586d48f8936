// The test side of the kernel stand-in: writes and reads its state files.
#include "vakotest/kstub.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include "state.h"
#include "vakotest/files.h"

namespace vakotest::kstub {

namespace {

namespace fs = std::filesystem;

std::string Path(const std::string &dir, const char *name) { return dir + "/" + name; }

void Spill(const std::string &path, const void *data, size_t n)
{
    std::string tmp = path + ".new";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(static_cast<const char *>(data), static_cast<std::streamsize>(n));
        if (!out)
            throw std::runtime_error("kstub: cannot write " + tmp);
    }
    fs::rename(tmp, path);
}

// The state lock, as the library takes it.
class Lock {
public:
    explicit Lock(const std::string &dir)
        : fd_(open(Path(dir, state::kLockFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644))
    {
        if (fd_ < 0)
            throw std::runtime_error("kstub: no state in " + dir);
        while (flock(fd_, LOCK_EX) != 0)
            if (errno != EINTR)
                throw std::runtime_error("kstub: cannot lock " + dir);
    }
    ~Lock() { close(fd_); }
    int fd() const { return fd_; }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

private:
    int fd_;
};

state::State ReadState(const std::string &dir)
{
    state::State st;
    if (!state::Parse(ReadFile(Path(dir, state::kStateFile)), st))
        throw std::runtime_error("kstub: malformed state in " + dir);
    return st;
}

// Replaces the state file, and tells the processes that keep it parsed.
void WriteState(const Lock &lock, const std::string &dir, const state::State &st)
{
    std::string text = state::Format(st);
    Spill(Path(dir, state::kStateFile), text.data(), text.size());
    if (!state::BumpGeneration(lock.fd()))
        throw std::runtime_error("kstub: cannot count the state's generation in " + dir);
}

[[noreturn]] void Invalid(const std::string &what) { throw std::invalid_argument("kstub: " + what); }

} // namespace

void Install(const std::string &dir, const Chip &chip, const KernelCalls &calls, const std::vector<MdArray> &md)
{
    state::State st;
    st.chipSize = chip.size;
    st.eraseSize = chip.eraseSize;
    if (chip.size == 0 || chip.eraseSize == 0)
        Invalid("chip without size or erase size");
    if (chip.image.size() > chip.size)
        Invalid("image larger than the chip");
    for (const auto &w : chip.windows) {
        Window x = w;
        x.device = state::DevicePath(w.device);
        if (!state::IsMtdName(x.device) || st.FindWindow(x.device))
            Invalid("bad or repeated window " + w.device);
        if (static_cast<uint64_t>(x.offset) + x.size > chip.size)
            Invalid(x.device + " outside the chip");
        x.dataLength = w.dataLength.value_or(w.size);
        st.windows.push_back(x);
    }
    st.calls = calls;
    for (const auto &m : md) {
        MdArray x = m;
        x.device = state::DevicePath(m.device);
        if (!state::IsMdName(x.device) || st.FindMd(x.device))
            Invalid("bad or repeated md device " + m.device);
        st.md.push_back(x);
    }

    fs::create_directories(dir);
    fs::create_directories(Path(dir, state::kFdDir));
    Lock lock(dir);
    std::vector<uint8_t> image = chip.image;
    image.resize(chip.size, 0xFF);
    Spill(Path(dir, state::kChipFile), image.data(), image.size());
    Spill(Path(dir, state::kJournalFile), "", 0);
    WriteState(lock, dir, st);
}

Chip Load(const std::string &dir)
{
    state::State st;
    std::string image;
    {
        Lock lock(dir);
        st = ReadState(dir);
        image = ReadFile(Path(dir, state::kChipFile));
    }
    Chip chip;
    chip.size = st.chipSize;
    chip.eraseSize = st.eraseSize;
    chip.windows = st.windows;
    chip.image.assign(image.begin(), image.end());
    return chip;
}

std::vector<std::string> Journal(const std::string &dir)
{
    std::string text;
    {
        Lock lock(dir);
        text = ReadFile(Path(dir, state::kJournalFile));
    }
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

void SetFault(const std::string &dir, const Fault &fault)
{
    Fault f = fault;
    f.device = state::DevicePath(fault.device);
    f.seen = 0;
    if (!state::IsMtdName(f.device) && !state::IsMdName(f.device))
        Invalid("bad fault device " + fault.device);
    if (f.kind == FaultKind::ShortWrite ? f.maxBytes == 0 : f.nth == 0)
        Invalid("fault that never acts");
    if ((f.kind == FaultKind::KillAfterWrite) != !f.program.empty() ||
        f.program.find_first_of(" \t\n") != std::string::npos)
        Invalid("a kill knob names one program without blanks, no other knob does");
    Lock lock(dir);
    state::State st = ReadState(dir);
    std::erase_if(st.faults, [&](const Fault &x) {
        return x.device == f.device && x.kind == f.kind && (f.kind != FaultKind::FailIoctl || x.request == f.request);
    });
    st.faults.push_back(f);
    WriteState(lock, dir, st);
}

Fault KillUpdaterAfter(const WritePoint &at)
{
    Fault f{at.device, FaultKind::KillAfterWrite, at.nth};
    f.program = "updater";
    return f;
}

std::string WritePointName(const WritePoint &at)
{
    std::string device = state::DevicePath(at.device);
    return "Mtd" + device.substr(device.find("mtd") + 3) + "Write" + std::to_string(at.nth);
}

void PrintTo(const WritePoint &at, std::ostream *os) { *os << WritePointName(at); }

void ClearFaults(const std::string &dir)
{
    Lock lock(dir);
    state::State st = ReadState(dir);
    st.faults.clear();
    WriteState(lock, dir, st);
}

std::vector<Fault> Faults(const std::string &dir)
{
    Lock lock(dir);
    return ReadState(dir).faults;
}

std::vector<uint8_t> EncodeFisEntry(const std::string &name, uint32_t flashBase, uint32_t memBase, uint32_t size,
                                    uint32_t entryPoint, uint32_t dataLength)
{
    std::vector<uint8_t> e(256, 0);
    std::copy_n(name.begin(), std::min<size_t>(name.size(), 16), e.begin());
    auto put = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            e[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (24 - 8 * i));
    };
    put(16, flashBase);
    put(20, memBase);
    put(24, size);
    put(28, entryPoint);
    put(32, dataLength);
    return e;
}

std::string LibraryPath() { return VAKO_KSTUB_PRELOAD; }

std::string LibraryFile() { return VAKO_KSTUB_FILE; }

std::vector<std::string> PreloadEnv(const std::string &dir)
{
    return {"LD_PRELOAD=" + LibraryPath(), "VAKO_KSTUB_DIR=" + dir};
}

} // namespace vakotest::kstub
