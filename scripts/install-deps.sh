#!/bin/sh
# Installs what the project needs on Debian 12 (idempotent):
#
#   scripts/install-deps.sh run    building and running it here (the demo):
#                                  the native build, PostgreSQL, iproute2...
#   scripts/install-deps.sh test   that and what only the tests need: the
#                                  32-bit (i386) and big-endian (s390x)
#                                  builds through Debian multiarch and cross
#                                  compilers, the PowerPC cross compiler,
#                                  qemu-user to run foreign programs, clang
#                                  for the fuzz targets and the checks, the
#                                  database tools
#
# The native build configures its tests and benchmarks too, so GoogleTest
# and Google Benchmark are part of "run".
#
# s390x takes the run-time packages of ICU and Berkeley DB (with this
# machine's headers): libicu-dev:s390x needs libc6-dev:s390x, which cannot
# be installed beside this machine's own once the security archive has
# newer linux-libc-dev than the s390x one, and libdb5.3-dev is not multiarch.
set -eu
RUN_PKGS="g++ cmake ninja-build pkg-config libicu-dev icu-devtools libdb5.3-dev libcrypt-dev
      libgtest-dev libgmock-dev googletest libbenchmark-dev iproute2 coreutils util-linux
      postgresql"
TEST_PKGS="clang libclang-rt-14-dev clang-format
      qemu-user
      db5.3-util
      crossbuild-essential-i386 libicu-dev:i386 libdb5.3:i386 libcrypt-dev:i386
      libgtest-dev:i386 libgmock-dev:i386
      crossbuild-essential-s390x libicu72:s390x libdb5.3:s390x libcrypt-dev:s390x
      libgtest-dev:s390x libgmock-dev:s390x libstdc++6:s390x
      g++-powerpc-linux-gnu"
FOREIGN_ARCHS="i386 s390x"

case ${1-} in
run) pkgs=$RUN_PKGS archs="" ;;
test) pkgs="$RUN_PKGS $TEST_PKGS" archs=$FOREIGN_ARCHS ;;
*) echo "usage: $0 run|test" >&2; exit 2 ;;
esac

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
APT="$SUDO apt-get -o DPkg::Lock::Timeout=600"

update=""
for arch in $archs; do
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        $SUDO dpkg --add-architecture "$arch"
        update=yes
    fi
done
missing=""
for p in $pkgs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
[ -z "$update" ] || $APT update -q
$APT install -y -q --no-install-recommends $missing ||
    { $APT update -q && $APT install -y -q --no-install-recommends $missing; }
