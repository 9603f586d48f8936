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
// A dump with the random keys of its "\restrict <key>" and "\unrestrict
// <key>" lines replaced by "KEY", so that two dumps of the same database
// compare equal.
std::string MaskRestrictKey(const std::string &dump);

} // namespace pgsql

} // namespace vakotest
