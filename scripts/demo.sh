#!/bin/sh
# The main job: builds the tool, makes throwaway appliances and update
# packages, runs the updater on them inside the sandbox and shows what it
# did: a plain update, then one from an old installed build with its
# migrations ("1" or "2" runs only that one).  Must run as root (the sandbox
# uses namespaces and mounts).
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh run
cmake --preset default >/dev/null
cmake --build --preset default
exec build/default/appliance/vako-demo "$@"
