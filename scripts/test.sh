#!/bin/bash
# Builds everything and runs every test: the native suites, the same suites
# under AddressSanitizer + UBSan with a short fuzz run, and the Windows-side
# suites under Wine (with a virtual display when there is none).
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh || exit 1

export WINEDEBUG=-all
# Wine takes its ANSI code page from the locale: Traditional Chinese (950)
# unless a test asks for another.
export LANG=zh_TW.UTF-8
export LC_ALL=

summary=()
total_failed=0
total_passed=0

run_ctest() {
    local name=$1; shift
    local log="build/ctest-${name}.log"
    "$@" 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    local line passed failed
    line=$(grep -E "tests passed, [0-9]+ tests failed out of [0-9]+" "$log" | tail -1)
    if [ -n "$line" ]; then
        failed=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/')
        local all
        all=$(echo "$line" | sed -E 's/.* out of ([0-9]+).*/\1/')
        passed=$(( all - failed ))
    else
        passed=0; failed=1
    fi
    if [ "$rc" -ne 0 ] && [ "$failed" -eq 0 ]; then failed=1; fi
    total_passed=$(( total_passed + passed ))
    total_failed=$(( total_failed + failed ))
    summary+=("${name}: ${passed} passed, ${failed} failed")
}

build() {
    local preset=$1
    echo "== build: ${preset}"
    cmake --preset "$preset" >"build/configure-${preset}.log" 2>&1 || { cat "build/configure-${preset}.log"; return 1; }
    cmake --build --preset "$preset" || return 1
}

mkdir -p build
jobs=$(nproc)

if build native; then
    run_ctest native ctest --preset native -j "$jobs"
else
    summary+=("native: build failed"); total_failed=$(( total_failed + 1 ))
fi

if build native-asan; then
    run_ctest native-asan ctest --preset native-asan -j "$jobs"
else
    summary+=("native-asan: build failed"); total_failed=$(( total_failed + 1 ))
fi

if build windows; then
    echo "== Wine prefix: $PWD/build/windows/wineprefix"
    run_ctest windows scripts/with-display.sh bash scripts/windows-tests.sh
else
    summary+=("windows: build failed"); total_failed=$(( total_failed + 1 ))
fi

echo
echo "== summary"
for s in "${summary[@]}"; do echo "   $s"; done
echo "${total_passed} passed, ${total_failed} failed"
[ "$total_failed" -eq 0 ]
