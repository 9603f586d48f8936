#!/bin/sh
# The main job: builds the tool, makes a throwaway appliance and an update
# package, runs the updater on it inside the sandbox and shows what it did.
# Must run as root (the sandbox uses namespaces and mounts).
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
exec build/default/appliance/vako-demo "$@"
