// The appliance's database service as the tests drive it: the stand-in
// service script runs this machine's PostgreSQL server inside the
// appliance, as the appliance's admin account.
#pragma once

#include <string>

namespace vakotest {

// The appliance's admin account (its /etc/passwd and /etc/shadow lines and
// its home folder), which the database service and `su -l admin` need;
// nothing changes when the account is there.
void AddAdminAccount();

namespace pgsql {

inline constexpr const char *kServiceScript = "/usr/vako/etc/rc.d/S20pgsql.sh";

// Runs the service script with "start", "stop" or "status": its exit status.
int Service(const std::string &action);
// A query's rows against db, one line each with '|' between the columns,
// through this machine's own client (not recorded as a call); throws when
// the query fails.
std::string Query(const std::string &db, const std::string &sql);
// True when the server has a database of that name.
bool HasDatabase(const std::string &db);
// db as "pg_dump -C -U admin db" writes it now, the key of its restrict
// lines masked as by MaskRestrictKey.
std::string Dump(const std::string &db);
// The calls of the database service script, the database tools and the
// media indexer, in order, one line each, as the stand-ins recorded them.
std::string Calls();

// The migration's commands as the stand-ins record them (each with its line end).
inline constexpr const char *kCallStart = "S20pgsql.sh start\n";
inline constexpr const char *kCallAlterTimetaken =
    "psql photo -c ALTER TABLE photo_image ALTER timetaken TYPE varchar(64)\n";
inline constexpr const char *kCallAddAdmin =
    "psql photo -c ALTER TABLE photo_user ADD COLUMN admin bool DEFAULT false\n";
inline constexpr const char *kCallVideoComment =
    "psql photo -c CREATE TABLE video_comment(id serial NOT NULL,path text NOT NULL,name varchar(100),email "
    "varchar(128),comment text,date timestamp,updated char(1),CONSTRAINT video_comment_pkey PRIMARY KEY (id)) "
    "WITH OIDS;ALTER TABLE video_comment OWNER TO admin;\n";
inline constexpr const char *kCallVideoDesc =
    "psql photo -c CREATE TABLE video_desc(id serial NOT NULL,path text NOT NULL, title text, description "
    "text,updated char(1),CONSTRAINT video_pkey PRIMARY KEY (id),CONSTRAINT video_path_key UNIQUE (path)) WITH "
    "OIDS;ALTER TABLE video_desc OWNER TO admin;\n";
inline constexpr const char *kCallDrop = "dropdb mediaserver\n";
inline constexpr const char *kCallDumps = "pg_dump -C -o -U admin photo\npg_dump -C -o -U admin download\n"
                                          "pg_dump -C -o -U admin surveillance\npg_dump -C -o -U admin roundcubemail\n";
inline constexpr const char *kCallIndex = "vakoindex -R all\n";

// The databases the migration dumps, in its order, and their dump files
// as a listing of the dump directory shows them.
inline constexpr const char *kDumped[] = {"photo", "download", "surveillance", "roundcubemail"};
inline constexpr const char *kDumpFiles[] = {"download.sql", "photo.sql", "roundcubemail.sql", "surveillance.sql"};

// What the migration changes in the photo database, now: the type of
// photo_image.timetaken, photo_user.admin, the columns of the two video
// tables, their owners and the constraints of video_desc.
std::string PhotoSchema();
// The same text after the column changes (`columns`) and the video tables
// (`video`) of the migration, on the database the service script made.
std::string PhotoSchemaAfter(bool columns, bool video);

// A dump with the random keys of its "\restrict <key>" and "\unrestrict
// <key>" lines replaced by "KEY", so that two dumps of the same database
// compare equal.
std::string MaskRestrictKey(const std::string &dump);

} // namespace pgsql

} // namespace vakotest
