#!/bin/sh
# Builds the libFuzzer targets (fuzz/, the fuzz preset: clang with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs each inside a
# throwaway appliance, from its seeds in fuzz/corpus/<target>/.
#
#   scripts/fuzz.sh [-t SECONDS] [-j JOBS] [target...]
#
# SECONDS of fuzzing per target (default 20), JOBS targets at a time
# (default 4), every target when none is named.  What a run adds to the
# corpus is kept in build/fuzz/corpus/<target>/ and used again by the next
# run; a crash, leak or undefined behaviour leaves its input in
# build/fuzz/crashes/<target>/ and makes the exit status 1.  Must run as
# root (the appliance).  A long run:  scripts/fuzz.sh -t 3600 -j 8
set -eu
cd "$(dirname "$0")/.."
seconds=20
jobs=4
while getopts t:j: opt; do
    case $opt in
    t) seconds=$OPTARG ;;
    j) jobs=$OPTARG ;;
    *) echo "usage: $0 [-t SECONDS] [-j JOBS] [target...]" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
build=$PWD/build/fuzz
[ $# -gt 0 ] || set -- $(cat "$build/fuzz/targets.txt")

# One target in its own appliance: the corpus is copied in and back out.
run_one() {
    t=$1
    corpus=$build/corpus/$t
    crashes=$build/crashes/$t
    out=$build/runs/$t
    mkdir -p "$corpus" "$crashes"
    rm -rf "$out"
    "$build/appliance/vako-sandbox" --out "$out" --out-path /tmp/run -- /bin/sh -c '
        mkdir -p /tmp/run/corpus /tmp/run/crashes && cp -R "$1/." /tmp/run/corpus/ &&
        exec "$2" -max_total_time="$3" -timeout=25 -print_final_stats=1 \
            -artifact_prefix=/tmp/run/crashes/ /tmp/run/corpus "$4"' \
        sh "$corpus" "$build/fuzz/${t}_fuzz" "$seconds" "$PWD/fuzz/corpus/$t" \
        >"$build/runs/$t.log" 2>&1
    st=$?
    cp -R "$out/tmp/run/corpus/." "$corpus/" 2>/dev/null || true
    cp -R "$out/tmp/run/crashes/." "$crashes/" 2>/dev/null || true
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/runs/$t.log")
    if [ $st -eq 0 ]; then
        echo "fuzz $t: ${runs:-?} runs in ${seconds}s, ok"
    else
        echo "fuzz $t: FAILED (status $st), see build/fuzz/runs/$t.log and build/fuzz/crashes/$t/"
        grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error)' "$build/runs/$t.log" | head -5
    fi
    return $st
}

mkdir -p "$build/runs"
status_dir=$(mktemp -d)
i=0
for t in "$@"; do
    [ -x "$build/fuzz/${t}_fuzz" ] || { echo "fuzz $t: no such target" >&2; exit 2; }
    ( run_one "$t" || touch "$status_dir/$t.failed" ) &
    i=$((i + 1))
    if [ $((i % jobs)) -eq 0 ]; then wait; fi
done
wait
n=$#
nfailed=$(ls "$status_dir" | wc -l)
rm -rf "$status_dir"
echo "fuzz: $((n - nfailed)) targets passed, $nfailed failed"
[ "$nfailed" -eq 0 ]
