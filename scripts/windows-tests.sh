#!/bin/bash
# Runs the Windows-side suites under Wine; expects an X display (see
# with-display.sh). Wine's desktop process takes the display it starts with,
# so every Wine process here, the warm-up included, starts with it.
set -u
cd "$(dirname "$0")/.."
export WINEPREFIX="$PWD/build/windows/wineprefix"
export WINEDEBUG=-all
wineserver -k >/dev/null 2>&1   # a server left from an earlier run
# Makes the prefix the first time (wine-run.sh does), then keeps one server
# for the whole run and starts Wine's services before ctest, so that no test
# pays for them or inherits them.
timeout 300 build/windows/wine-run.sh cmd /c exit >/dev/null 2>&1
wineserver -p >/dev/null 2>&1
timeout 120 build/windows/wine-run.sh cmd /c exit >/dev/null 2>&1
ctest --preset windows "$@"
rc=$?
wineserver -k >/dev/null 2>&1
exit $rc
