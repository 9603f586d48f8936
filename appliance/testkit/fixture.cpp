#include "vakotest/fixture.h"

#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "vakotest/files.h"

namespace fs = std::filesystem;

namespace vakotest {

namespace {

constexpr const char *kUpdater = VAKO_BINARY_DIR "/updater/updater";

// Where the description lands: the real paths, or a fixture tree.
class Target {
public:
    static Target Live()
    {
        if (!InSandbox())
            throw std::runtime_error("fixture: Install only inside the sandbox; use Build for a tree");
        return Target("", "");
    }
    static Target Tree(const std::string &dir)
    {
        if (dir.empty() || dir == "/")
            throw std::invalid_argument("fixture: no tree directory");
        return Target(dir + "/root", dir + "/kernel");
    }

    const std::string &Root() const { return root_; }

    void File(const std::string &path, const std::string &content, unsigned mode = 0644) const
    {
        WriteFile(root_ + Checked(path), content, mode);
    }

    void Dir(const std::string &path) const { MakeDirs(root_ + Checked(path)); }

    void Remove(const std::string &path) const
    {
        std::error_code ec;
        fs::remove_all(root_ + Checked(path), ec);
    }

    void Copy(const std::string &from, const std::string &path, unsigned mode) const
    {
        std::string to = root_ + Checked(path);
        fs::create_directories(fs::path(to).parent_path());
        fs::copy_file(from, to, fs::copy_options::overwrite_existing);
        fs::permissions(to, static_cast<fs::perms>(mode));
    }

    void KernelFile(const std::string &path, const std::string &content) const
    {
        if (kernel_.empty())
            return MountKernelFile(path, content);
        for (auto [dir, sub] : {std::pair{"/proc/sys/kernel/", "proc-sys-kernel/"},
                                {"/sys/block/", "sys-block/"},
                                {"/sys/class/net/", "sys-class-net/"}})
            if (path.starts_with(dir))
                return WriteFile(kernel_ + "/" + sub + path.substr(strlen(dir)), content);
        throw std::invalid_argument("fixture: not a kernel file: " + path);
    }

private:
    Target(std::string root, std::string kernel) : root_(std::move(root)), kernel_(std::move(kernel)) {}

    static const std::string &Checked(const std::string &path)
    {
        if (path.empty() || path[0] != '/' || path.find("/../") != std::string::npos || path.ends_with("/.."))
            throw std::invalid_argument("fixture: not an absolute appliance path: " + path);
        return path;
    }

    std::string root_, kernel_;
};

void Write(const Appliance &a, const Target &t)
{
    std::string hw = a.hwVersion;
    if (hw.empty())
        hw = a.layout == Layout::Junior ? "vako-hw-ppc-1-j" : "vako-hw-ppc-1";
    t.KernelFile(kHwVersionFile, hw + "\n");
    t.File(kInstalledVersionFile, a.version.Text());
    t.File(kInfoDefaultsFile, a.defaults.Text());
    t.File(kInfoFile, a.info.Text());
    if (a.initrd)
        t.Dir(kInitrd);
    else
        t.Remove(kInitrd);
    for (const auto &[path, content] : a.files)
        t.File(path, content);
    for (const auto &[path, content] : a.kernelFiles)
        t.KernelFile(path, content);
    if (a.flash)
        Install(*a.flash, t.Root() + kstub::kSandboxDir);
}

void Write(const Package &p, const Target &t)
{
    t.Dir(p.dir);
    t.File(p.dir + "/VERSION", p.version.Text());
    for (const auto &[name, bytes] : p.images) {
        if (name.empty() || name.find('/') != std::string::npos)
            throw std::invalid_argument("fixture: bad image name: " + name);
        t.File(p.dir + "/" + name, bytes);
    }
    if (p.hda1)
        t.File(p.dir + "/hda1.tgz", *p.hda1);
    if (p.withUpdater) {
        if (access(kUpdater, X_OK) != 0)
            throw std::runtime_error(std::string("fixture: no updater program at ") + kUpdater);
        t.Copy(kUpdater, p.UpdaterPath(), 0755);
    }
}

} // namespace

Keys::Keys(std::initializer_list<std::pair<std::string, std::string>> items)
{
    for (const auto &[k, v] : items)
        Set(k, v);
}

Keys &Keys::Set(const std::string &key, const std::string &value)
{
    auto it = std::find_if(items_.begin(), items_.end(), [&](const auto &kv) { return kv.first == key; });
    if (it != items_.end())
        it->second = value;
    else
        items_.emplace_back(key, value);
    return *this;
}

Keys &Keys::Erase(const std::string &key)
{
    std::erase_if(items_, [&](const auto &kv) { return kv.first == key; });
    return *this;
}

std::optional<std::string> Keys::Get(const std::string &key) const
{
    for (const auto &[k, v] : items_)
        if (k == key)
            return v;
    return std::nullopt;
}

std::string Keys::Text() const
{
    std::string text;
    for (const auto &[k, v] : items_)
        text += k + "=\"" + v + "\"\n";
    return text;
}

std::string InstallUpdater(const std::string &dir)
{
    std::string path = dir + "/updater";
    Target::Live().Copy(kUpdater, path, 0755);
    return path;
}

void Install(const Appliance &appliance) { Write(appliance, Target::Live()); }
void Install(const Package &package) { Write(package, Target::Live()); }
void Build(const Appliance &appliance, const std::string &dir) { Write(appliance, Target::Tree(dir)); }
void Build(const Package &package, const std::string &dir) { Write(package, Target::Tree(dir)); }

} // namespace vakotest
