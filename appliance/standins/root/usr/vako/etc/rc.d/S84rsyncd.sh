#!/bin/sh
# Stand-in for the rsync service script: S84rsyncd.sh stop|start.
# Records each call as "S84rsyncd.sh <arguments>" in /.sandbox/calls and
# keeps a copy of /etc/rsyncd.conf and /etc/rsyncd.secrets as they were at
# the call in /.sandbox/rsyncd.conf.at-<argument> and
# /.sandbox/rsyncd.secrets.at-<argument> (absent when the file was).
# When /.sandbox/S84rsyncd.sh.status exists, exits with the number it holds.
echo "S84rsyncd.sh $*" >> /.sandbox/calls 2>/dev/null
for f in rsyncd.conf rsyncd.secrets; do
    /bin/rm -f "/.sandbox/$f.at-$1"
    [ -f "/etc/$f" ] && /bin/cat "/etc/$f" > "/.sandbox/$f.at-$1"
done
if [ -f /.sandbox/S84rsyncd.sh.status ]; then
    read status < /.sandbox/S84rsyncd.sh.status
    exit "$status"
fi
exit 0
