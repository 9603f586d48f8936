#include "vakotest/testkit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vakotest {

bool InSandbox() { return access("/.sandbox", F_OK) == 0; }

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool FileExists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

void WriteFile(const std::string &path, const std::string &content, unsigned mode)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot write " + path);
    out << content;
    out.close();
    chmod(path.c_str(), mode);
}

void RemoveFile(const std::string &path) { unlink(path.c_str()); }

} // namespace vakotest
