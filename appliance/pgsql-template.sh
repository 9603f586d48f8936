#!/bin/sh
# Makes the database cluster that the stand-in service script S20pgsql.sh
# copies at its first start in every appliance, instead of making one of
# its own each time: the script starts and stops the server once in an
# appliance of its own, and what it left in /.sandbox/pgsql becomes DIR.
#   pgsql-template.sh <vako-sandbox> DIR
# Inside an appliance DIR is /.sandbox/pgsql-template (a link of the
# stand-ins' tree).  Run once per test run (the CTest fixture vako_pgsql).
set -eu
sandbox=$1
dir=$2
rm -rf "$dir" "$dir.new"
# The service runs as the appliance's admin account (as vakotest::AddAdminAccount adds it).
"$sandbox" --out "$dir.new" --out-path /.sandbox/pgsql -- /bin/sh -c '
    { grep -q "^admin:" /etc/passwd ||
        echo "admin:x:1024:100:System default user:/var/services/homes/admin:/bin/sh" >> /etc/passwd; } &&
    { grep -q "^admin:" /etc/shadow || echo "admin:*:14000:0:99999:7:::" >> /etc/shadow; } &&
    mkdir -p /var/services/homes/admin &&
    /usr/vako/etc/rc.d/S20pgsql.sh start && /usr/vako/etc/rc.d/S20pgsql.sh stop'
mv "$dir.new/.sandbox/pgsql" "$dir"
rm -rf "$dir.new"
echo "database cluster for the appliances: $dir"
