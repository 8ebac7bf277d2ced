#!/bin/bash
# Builds the Windows program and starts it under Wine. Without a display it
# runs in a virtual one (Xvfb), says so, and saves a screenshot of it.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1
cmake --preset windows >build-configure.log 2>&1 || { cat build-configure.log; exit 1; }
rm -f build-configure.log
cmake --build --preset windows --target Quorvane quorvane_satellite || exit 1

export WINEPREFIX="$PWD/build/windows/wineprefix"
export WINEDEBUG=-all
export LANG="${LANG:-zh_TW.UTF-8}"
case "$LANG" in C|C.*|POSIX|"") export LANG=zh_TW.UTF-8 ;; esac
if [ ! -d "$WINEPREFIX" ]; then
    echo "run: creating the Wine prefix build/windows/wineprefix (once, about a minute)"
    timeout 300 build/windows/wine-run.sh cmd /c exit >/dev/null 2>&1
fi

start_program() {
    wine build/windows/Quorvane.exe &
    local pid=$!
    if [ "${QUORVANE_VIRTUAL_DISPLAY:-0}" = "1" ]; then
        for _ in $(seq 1 60); do
            xdotool search --name "Quorvane" >/dev/null 2>&1 && break
            sleep 0.5
        done
        sleep 1
        import -window root build/windows/run-screenshot.png 2>/dev/null &&
            echo "run: the window is on the virtual display ${DISPLAY}; screenshot: build/windows/run-screenshot.png"
        echo "run: press Ctrl-C to stop the program"
    fi
    wait $pid
}

if [ -z "${DISPLAY:-}" ]; then
    echo "run: no display found; using a virtual one (Xvfb)"
    wineserver -k >/dev/null 2>&1   # Wine's desktop keeps the display it started with
    export -f start_program
    QUORVANE_VIRTUAL_DISPLAY=1 scripts/with-display.sh bash -c start_program
else
    start_program
fi
