#!/bin/sh
# Builds and runs every test configuration, each test inside throwaway
# appliances (namespaces, overlay mounts), so this must run as root:
#   check    scripts/check.sh: house style, public headers alone, a clang
#            build, the house rules a grep can check
#   default  the whole suite, plain build
#   asan     the whole suite with AddressSanitizer and UndefinedBehaviorSanitizer
#   i386     the whole suite built for 32-bit x86 (end-to-end tests included),
#            run as it is, or under qemu-i386 where this machine's kernel runs
#            no 32-bit x86 programs (VAKO_I386_EMULATE=1 forces that way)
#   s390x    the libraries' and the updater's unit tests built for big-endian
#            s390x, run under qemu-s390x
#   ppc      the byte-format code and its tests on 32-bit big-endian PowerPC (qemu-ppc)
#   fuzz     a short run of every fuzz target (clang, both sanitizers)
# Each step's time is printed at the end, and how the foreign builds' programs
# ran; the first failure ends the run.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
times=""
step() {
    name=$1
    shift
    echo "=== $name ==="
    t0=$(date +%s)
    "$@"
    times="$times $name=$(($(date +%s) - t0))s"
}
runs=""
suite() {
    cmake --preset "$1" >/dev/null
    # A foreign build's configure says how its programs run here.
    way=$(sed -n 's/^VAKO_RUNS:INTERNAL=//p' "build/$1/CMakeCache.txt")
    if [ -n "$way" ]; then
        echo "$1: programs run $way"
        runs="$runs; $1 $way"
    fi
    cmake --build --preset "$1"
    ctest --preset "$1"
}
step check scripts/check.sh
for preset in default asan i386 s390x ppc; do
    step "$preset" suite "$preset"
done
step fuzz scripts/fuzz.sh -t 20 -j 8
echo "=== all passed:$times"
echo "=== foreign builds: ${runs#; }"
