#!/bin/sh
# Installs what building and testing need on Debian 12 (idempotent).
set -eu
PKGS="g++ cmake ninja-build pkg-config libicu-dev libdb5.3-dev libcrypt-dev
      libgtest-dev libgmock-dev libbenchmark-dev iproute2 coreutils util-linux
      postgresql"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
$SUDO apt-get install -y -q --no-install-recommends $missing ||
    { $SUDO apt-get update -q && $SUDO apt-get install -y -q --no-install-recommends $missing; }
