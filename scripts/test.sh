#!/bin/sh
# Builds and runs the whole test suite in both configurations: the plain
# build and the one with AddressSanitizer and UndefinedBehaviorSanitizer.
# The tests run inside throwaway appliances (namespaces, overlay mounts),
# so this must run as root.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
for preset in default asan; do
    echo "=== $preset ==="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
