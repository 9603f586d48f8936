#include "vakotest/pgsql.h"

#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "vakotest/files.h"
#include "vakotest/run.h"

namespace vakotest {

namespace {

constexpr const char *kPasswd = "/etc/passwd";
constexpr const char *kShadow = "/etc/shadow";
constexpr const char *kAdminHome = "/var/services/homes/admin";
constexpr const char *kAdminPasswd = "admin:x:1024:100:System default user:/var/services/homes/admin:/bin/sh\n";
constexpr const char *kAdminShadow = "admin:*:14000:0:99999:7:::\n";
constexpr const char *kSocketDir = "/.sandbox/pgsql";
constexpr const char *kServerTools = "/usr/lib/postgresql";

// Appends line to the account file unless it has a line of that account.
void AddLine(const std::string &file, const std::string &line)
{
    std::string text = FileExists(file) ? ReadFile(file) : "";
    std::string key = line.substr(0, line.find(':') + 1);
    if (text.starts_with(key) || text.find("\n" + key) != std::string::npos)
        return;
    if (!text.empty() && text.back() != '\n')
        text += '\n';
    WriteFile(file, text + line, FileExists(file) ? FileMode(file) : 0644);
}

// This machine's PostgreSQL programs: the newest version's directory.
std::string ServerTool(const std::string &name)
{
    std::string best;
    int bestVersion = -1;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(kServerTools, ec), end; !ec && it != end; it.increment(ec)) {
        std::string version = it->path().filename().string();
        if (version.empty() || version.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string tool = it->path().string() + "/bin/" + name;
        if (FileExists(tool) && std::stoi(version) > bestVersion) {
            bestVersion = std::stoi(version);
            best = tool;
        }
    }
    if (best.empty())
        throw std::runtime_error("no PostgreSQL program " + name + " on this machine");
    return best;
}

// The client runs as this machine's program, without the kernel stand-in.
const RunOptions kClient{.env = {"LD_PRELOAD=", std::string("PGHOST=") + kSocketDir}};

} // namespace

void AddAdminAccount()
{
    AddLine(kPasswd, kAdminPasswd);
    AddLine(kShadow, kAdminShadow);
    MakeDirs(kAdminHome);
}

namespace pgsql {

int Service(const std::string &action) { return Run({kServiceScript, action}).status; }

std::string Query(const std::string &db, const std::string &sql)
{
    RunResult r = Run({ServerTool("psql"), "-X", "-A", "-t", "-U", "admin", "-d", db, "-c", sql}, kClient);
    if (r.status != 0)
        throw std::runtime_error("query on " + db + " failed: " + sql + ": " + r.err);
    return r.out;
}

bool HasDatabase(const std::string &db)
{
    return Query("postgres", "SELECT count(*) FROM pg_database WHERE datname = '" + db + "'") == "1\n";
}

std::string Dump(const std::string &db)
{
    RunResult r = Run({ServerTool("pg_dump"), "-C", "-U", "admin", db}, kClient);
    if (r.status != 0)
        throw std::runtime_error("dump of " + db + " failed: " + r.err);
    return MaskRestrictKey(r.out);
}

std::string MaskRestrictKey(const std::string &dump)
{
    std::string out;
    size_t at = 0;
    while (at < dump.size()) {
        size_t end = dump.find('\n', at);
        end = end == std::string::npos ? dump.size() : end + 1;
        std::string_view line(dump.data() + at, end - at);
        bool masked = false;
        for (std::string_view command : {"\\restrict ", "\\unrestrict "})
            if (line.starts_with(command)) {
                out.append(command).append("KEY").append(line.ends_with('\n') ? "\n" : "");
                masked = true;
            }
        if (!masked)
            out.append(line);
        at = end;
    }
    return out;
}

} // namespace pgsql

} // namespace vakotest
