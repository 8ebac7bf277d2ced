#!/bin/bash
# Runs the Windows-side suites under Wine; expects an X display (see
# with-display.sh). Wine's desktop process takes the display it starts with,
# so every Wine process here, the warm-up included, starts with it.
set -u
cd "$(dirname "$0")/.."
export WINEPREFIX="$PWD/build/windows/wineprefix"
export WINEDEBUG=-all
# The desktop's trash the runs' previous versions go to (Wine keeps the
# Recycle Bin there): one of the suites' own, emptied for each run, never
# the user's.
export XDG_DATA_HOME="$PWD/build/windows/desktop-data"
rm -rf "$XDG_DATA_HOME"
mkdir -p "$XDG_DATA_HOME"
wineserver -k >/dev/null 2>&1   # a server left from an earlier run
# Makes the prefix the first time (wine-run.sh does), then keeps one server
# for the whole run and starts Wine's services before ctest, so that no test
# pays for them or inherits them.
timeout 300 build/windows/wine-run.sh cmd /c exit >/dev/null 2>&1
wineserver -p >/dev/null 2>&1
timeout 120 build/windows/wine-run.sh cmd /c exit >/dev/null 2>&1
# Wine's desktop and services go away a moment after their last program
# ends; a test that then starts them again waits for them to go away once
# more before ctest sees it end (about 3 s a test). One idle program keeps
# them for the whole run, whatever pauses the suites make.
QUORVANE_WINE_TIMEOUT=3600 build/windows/wine-run.sh cmd /c "ping -n 3600 127.0.0.1" >/dev/null 2>&1 &
keeper=$!
ctest --preset windows "$@"
rc=$?
kill "$keeper" 2>/dev/null
wineserver -k >/dev/null 2>&1
exit $rc
