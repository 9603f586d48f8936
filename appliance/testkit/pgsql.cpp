#include "vakotest/pgsql.h"

#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "vakotest/files.h"
#include "vakotest/paths.h"
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

std::string Calls()
{
    std::string calls, line;
    std::istringstream in(FileExists(kStandinCalls) ? ReadFile(kStandinCalls) : "");
    while (std::getline(in, line))
        for (std::string_view program : {"S20pgsql.sh ", "psql ", "dropdb ", "pg_dump ", "vakoindex "})
            if (line.starts_with(program))
                calls += line + "\n";
    return calls;
}

std::string PhotoSchema()
{
    auto columns = [](const std::string &table) {
        return Query("photo", "SELECT column_name, data_type, character_maximum_length, column_default FROM "
                              "information_schema.columns WHERE table_name = '" +
                                  table + "' ORDER BY ordinal_position");
    };
    return "photo_image:\n" + columns("photo_image") + Query("photo", "SELECT * FROM photo_image ORDER BY id") +
           "photo_user:\n" + columns("photo_user") + Query("photo", "SELECT * FROM photo_user ORDER BY id") +
           "video_comment:\n" + columns("video_comment") + "video_desc:\n" + columns("video_desc") + "owners:\n" +
           Query("photo", "SELECT tablename, tableowner FROM pg_tables WHERE tablename LIKE 'video%' ORDER BY "
                          "tablename") +
           "constraints:\n" +
           Query("photo", "SELECT c.conname FROM pg_constraint c JOIN pg_class t ON t.oid = c.conrelid WHERE "
                          "t.relname = 'video_desc' ORDER BY c.conname");
}

std::string PhotoSchemaAfter(bool columns, bool video)
{
    std::string image = "photo_image:\n"
                        "id|integer||nextval('photo_image_id_seq'::regclass)\n"
                        "path|text||\n";
    image += columns ? "timetaken|character varying|64|\n1|/volume1/photo/a.jpg|2008-06-01 10:20:30\n"
                     : "timetaken|timestamp without time zone||\n1|/volume1/photo/a.jpg|2008-06-01 10:20:30\n";
    std::string user = "photo_user:\n"
                       "id|integer||nextval('photo_user_id_seq'::regclass)\n"
                       "username|character varying|64|\n";
    user += columns ? "admin|boolean||false\n1|guest|f\n" : "1|guest\n";
    if (!video)
        return image + user + "video_comment:\nvideo_desc:\nowners:\nconstraints:\n";
    return image + user +
           "video_comment:\n"
           "id|integer||nextval('video_comment_id_seq'::regclass)\n"
           "path|text||\n"
           "name|character varying|100|\n"
           "email|character varying|128|\n"
           "comment|text||\n"
           "date|timestamp without time zone||\n"
           "updated|character|1|\n"
           "video_desc:\n"
           "id|integer||nextval('video_desc_id_seq'::regclass)\n"
           "path|text||\n"
           "title|text||\n"
           "description|text||\n"
           "updated|character|1|\n"
           "owners:\nvideo_comment|admin\nvideo_desc|admin\n"
           "constraints:\nvideo_path_key\nvideo_pkey\n";
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
