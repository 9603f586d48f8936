#!/bin/sh
# Checks what the compilers and the test suite do not: the house style of
# .clang-format, every public header compiling alone as C (C99, C11) and
# C++, the whole tree building with clang as well as gcc, and the house
# rules that a grep can check.  Every check runs; the exit status is 1 when
# any of them failed.  Needs what scripts/install-deps.sh installs.
set -eu
cd "$(dirname "$0")/.."
failed=""
fail() {
    failed="$failed $1"
    echo "check $1: FAILED"
}
pass() { echo "check $1: ok"; }
files() { git ls-files -- "$@" | grep -v '^fuzz/corpus/' || true; }
# Product sources: the libraries and the updater without their tests.
product() { files core sdk updater | grep -vE '(_test\.cpp|_bench\.cpp|_testutil\.h|CMakeLists\.txt)$' || true; }
# Lines outside comments (a line starting with //, /* or * is a comment).
code_lines() {
    pattern=$1
    shift
    [ $# -gt 0 ] || return 0
    grep -HnE "$pattern" "$@" 2>/dev/null | grep -vE '^[^:]*:[0-9]+:[[:space:]]*(//|/\*|\*)' || true
}

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# --- the house style -------------------------------------------------------
if files '*.c' '*.cpp' '*.h' | xargs clang-format --dry-run --Werror >"$out/format" 2>&1; then
    pass format
else
    grep -E '^[^ ]+:[0-9]+:[0-9]+:' "$out/format" | cut -d: -f1 | sort -u | sed 's/^/  not in the house style: /'
    fail format
fi

# --- public headers alone --------------------------------------------------
ok=yes
for h in $(files 'core/include/*.h' 'sdk/include/*.h'); do
    printf '#include "%s"\n' "$PWD/$h" >"$out/h.c"
    cp "$out/h.c" "$out/h.cpp"
    for std in c99 c11; do
        if ! gcc -std=$std -pedantic-errors -Wall -Wextra -Werror -Icore/include -Isdk/include \
            -fsyntax-only "$out/h.c" >"$out/err" 2>&1; then
            echo "  $h does not compile alone as $std:"
            sed -n 1,5p "$out/err" | sed 's/^/    /'
            ok=no
        fi
    done
    if ! g++ -std=c++20 -Wall -Wextra -Werror -Icore/include -Isdk/include -fsyntax-only "$out/h.cpp" \
        >"$out/err" 2>&1; then
        echo "  $h does not compile alone as C++20:"
        sed -n 1,5p "$out/err" | sed 's/^/    /'
        ok=no
    fi
done
[ $ok = yes ] && pass headers || fail headers

# --- clang builds the whole tree, tests included ----------------------------
if cmake -S . -B build/check-clang -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=Debug -DVAKO_BENCHMARKS=OFF >"$out/clang" 2>&1 &&
    cmake --build build/check-clang >>"$out/clang" 2>&1; then
    pass clang
else
    grep -E 'error|FAILED' "$out/clang" | sed -n 1,10p | sed 's/^/  /'
    fail clang
fi

# --- every public function has its contract comment ------------------------
# A declaration must follow a comment, or another declaration that a
# comment above them both describes.
awk '
FNR == 1 { prev = ""; inproto = 0; incomment = 0 }
{
    line = $0
    if (incomment) { if (line ~ /\*\//) incomment = 0; prev = "*/"; next }
    if (line ~ /^[ \t]*\/\*/ && line !~ /\*\//) { incomment = 1; next }
    if (inproto) { if (line ~ /;[ \t]*$/) inproto = 0; next }
    if (line ~ /^[A-Za-z_][A-Za-z0-9_ \t*]*[ \t*]\(?\*?[A-Za-z_][A-Za-z0-9_]*\(/ &&
        line !~ /^(typedef|return|extern "C"|#)/) {
        if (prev != "proto" && prev !~ /\*\/[ \t]*$/ && prev !~ /^[ \t]*\/\//)
            print "  no contract comment: " FILENAME ":" FNR ": " line
        if (line !~ /;[ \t]*$/) inproto = 1
        prev = "proto"
        next
    }
    prev = line ~ /^[ \t]*$/ ? "" : line
}' $(files 'core/include/*.h' 'sdk/include/*.h') >"$out/contract"
[ -s "$out/contract" ] && { cat "$out/contract"; fail contracts; } || pass contracts

# --- what may stand in the libraries and the updater ------------------------
bad=$(files core sdk updater | grep -vE '/CMakeLists\.txt$|\.(cpp|h)$' || true)
bad="$bad $(files core sdk updater | grep -iE 'test|mock|fake|stub' | grep -vE '_test\.cpp$|_testutil\.h$' || true)"
bad=$(echo $bad)
[ -n "$bad" ] && { echo "  test-only or foreign files in the libraries: $bad"; fail test-files; } || pass test-files

hits=$(code_lines '#include "(vakotest|kstub)/' $(product))
[ -n "$hits" ] && { echo "$hits" | sed 's/^/  product code includes the test kit: /'; fail product-includes; } ||
    pass product-includes

hits="$(code_lines '#include [<"](vako/|updater|flash\.h|migrate\.h)' $(files core))
$(code_lines '#include [<"](updater\.h|flash\.h|migrate\.h)' $(files sdk))"
hits=$(echo "$hits" | sed '/^$/d')
[ -n "$hits" ] && { echo "$hits" | sed 's/^/  includes a higher layer: /'; fail layers; } || pass layers

# One owner type per resource: deleters come from slibcxx/raii.h.
hits=$(code_lines 'unique_ptr<[^>]*,|struct [A-Za-z]*(Closer|Deleter)\b' $(product | grep -v 'slibcxx/raii\.h$'))
[ -n "$hits" ] && { echo "$hits" | sed 's/^/  an owner of its own: /'; fail owners; } || pass owners

# A fixed path is written once per library.
ok=yes
for lib in core sdk updater; do
    dup=$(code_lines '"/(etc|tmp|var|usr|dev|proc|sys|bin|sbin|lib|volume1|writeable|initrd)/[^"]*"' \
        $(product | grep "^$lib/") | grep -oE '"/[^"]*"' | sort | uniq -d)
    [ -z "$dup" ] && continue
    echo "$dup" | while IFS= read -r p; do
        echo "  $lib writes $p more than once:"
        code_lines "$(printf '%s' "$p" | sed 's/[][\\.*^$+?(){}|]/\\&/g')" $(product | grep "^$lib/") | sed 's/^/    /'
    done
    ok=no
done
[ $ok = yes ] && pass fixed-paths || fail fixed-paths

# No disabled test, and no test that skips for a step not built.
hits="$(code_lines 'TEST(_F|_P)?\([A-Za-z0-9_]*, *DISABLED_|\(DISABLED_' $(files '*.cpp' '*.h'))
$(code_lines 'GTEST_SKIP\(\).*(not (yet )?built|unbuilt|not implemented|TODO)' $(files '*.cpp' '*.h'))"
hits=$(echo "$hits" | sed '/^$/d')
[ -n "$hits" ] && { echo "$hits" | sed 's/^/  a test that does not run: /'; fail skips; } || pass skips

if [ -n "$failed" ]; then
    echo "checks failed:$failed"
    exit 1
fi
echo "checks passed"
