#!/bin/bash
# End to end: the real Quorvane.exe under Wine on the current X display.
#
# Usage: e2e.sh <Quorvane.exe> <wine-run.sh> <e2e_helper.exe> <English Quorvane.exe.mui>
#
# 1. The program as built: Chinese caption, a search text typed with xdotool,
#    the source path put into the read-only field by the helper (WM_SETTEXT
#    from inside Wine), Enter runs the strip, Escape ends it with exit code 0.
# 2. A copy with the English satellite beside it: English caption, the same
#    window icon as in 1, which is not Wine's picture for a window without one.
# 3. A copy with a folder named like the satellite: Chinese caption.
# Every wait is bounded; the Wine processes started here are ended here.
set -u

exe=$1
wine_run=$2
helper=$3
satellite=$4

chinese_caption='Quorvane 1.0 版本'
english_caption='Quorvane 1.0'

say() { echo "e2e: $*"; }
fail() { echo "e2e: FAIL: $*" >&2; exit 1; }

[ -n "${DISPLAY:-}" ] || fail "no X display: run under scripts/with-display.sh"
for tool in xdotool xprop timeout; do
    command -v "$tool" >/dev/null || fail "$tool is not installed"
done
for file in "$exe" "$wine_run" "$helper" "$satellite"; do
    [ -f "$file" ] || fail "missing $file"
done

scratch=$(mktemp -d /tmp/quorvane-e2e.XXXXXX)
app_pid=""
plain_pid=""
cleanup() {
    for pid in $app_pid $plain_pid; do
        if kill -0 "$pid" 2>/dev/null; then
            kill "$pid" 2>/dev/null
            wait "$pid" 2>/dev/null
        fi
    done
    rm -rf "$scratch"
}
trap cleanup EXIT

# Chinese captions render, and the ANSI code page is 950, as for the users.
export LANG=zh_TW.UTF-8 LC_ALL=zh_TW.UTF-8
# No Wine process started here outlives this many seconds.
export QUORVANE_WINE_TIMEOUT=90

# The same file as Wine names it (drive Z: is the root).
win_path() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }

run_helper() { timeout 30 "$wine_run" "$helper" "$@" </dev/null 2>/dev/null | tr -d '\r'; }

# Waits up to 20 s for a visible window whose name contains $1; prints its id.
find_window() {
    local id
    for _ in $(seq 1 100); do
        id=$(timeout 5 xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1)
        if [ -n "$id" ]; then
            echo "$id"
            return 0
        fi
        sleep 0.2
    done
    return 1
}

# Waits up to 20 s for a process to end; then its exit code is in $exit_code.
await_exit() {
    for _ in $(seq 1 100); do
        kill -0 "$1" 2>/dev/null || break
        sleep 0.2
    done
    kill -0 "$1" 2>/dev/null && return 1
    wait "$1"
    exit_code=$?
    return 0
}

start_app() {
    "$wine_run" "$1" </dev/null >"$scratch/app.log" 2>&1 &
    app_pid=$!
    if ! window=$(find_window Quorvane); then
        kill -0 "$app_pid" 2>/dev/null && state="still running" || state="ended"
        fail "no Quorvane window within 20 s ($1, $state): $(head -c 2000 "$scratch/app.log")"
    fi
    # Let the dialog finish its initialisation before anything is sent to it.
    sleep 0.5
}

# Escape ends the program; its exit code must be 0.
stop_app() {
    timeout 10 xdotool windowactivate --sync "$window" >/dev/null 2>&1
    timeout 10 xdotool key Escape
    await_exit "$app_pid" || fail "still running 20 s after Escape"
    app_pid=""
    [ "$exit_code" -eq 0 ] || fail "exit code $exit_code after Escape, expected 0"
    say "Escape: exit code 0"
}

icon_of() { timeout 10 xprop -id "$1" _NET_WM_ICON; }

# Wine starts its services once, outside the timed steps below.
timeout 60 "$wine_run" cmd /c exit >/dev/null 2>&1 </dev/null

# ---- 1. The program as built -------------------------------------------
source_file="$scratch/source.txt"
printf 'keep alpha\nbeta\r\nalpha again\r\ngamma' >"$source_file"

start_app "$exe"
caption=$(timeout 10 xdotool getwindowname "$window")
[ "$caption" = "$chinese_caption" ] || fail "caption '$caption', expected '$chinese_caption'"
say "caption: $caption"
icon_exe=$(icon_of "$window")
case "$icon_exe" in
    *"_NET_WM_ICON(CARDINAL) = "*) ;;
    *) fail "no window icon: $icon_exe" ;;
esac

timeout 10 xdotool windowactivate --sync "$window" >/dev/null 2>&1 || fail "cannot activate the window"
timeout 20 xdotool type --delay 40 'alpha' || fail "xdotool type"
typed=$(run_helper get 10)
[ "$typed" = "alpha" ] || fail "search field holds '$typed' after typing 'alpha'"

run_helper set 11 "$(win_path "$source_file")" || fail "helper could not set the source path"
shown=$(run_helper get 11)
[ "$shown" = "$(win_path "$source_file")" ] || fail "source field holds '$shown'"
say "search text typed, source path set: $shown"

timeout 10 xdotool key Return
printf 'keep alpha\r\nalpha again\r\n' >"$scratch/expected.txt"
for _ in $(seq 1 100); do
    cmp -s "$source_file" "$scratch/expected.txt" && break
    sleep 0.2
done
cmp -s "$source_file" "$scratch/expected.txt" ||
    fail "after Enter the source holds: $(od -c "$source_file" | head -n 5)"
say "Enter: the source keeps only the lines with 'alpha'"
stop_app

# Wine's picture for a window that has no icon of its own: the helper shows
# one for 4 seconds, then closes it itself.
"$wine_run" "$helper" plain QZV-e2e-no-icon 4 </dev/null >/dev/null 2>&1 &
plain_pid=$!
plain_window=$(find_window QZV-e2e-no-icon) || fail "helper window did not appear"
sleep 0.5
icon_default=$(icon_of "$plain_window")
await_exit "$plain_pid" || fail "helper window still open"
plain_pid=""
case "$icon_default" in
    *"_NET_WM_ICON(CARDINAL) = "*) ;;
    *) fail "no default icon on the helper window: $icon_default" ;;
esac
[ "$icon_exe" != "$icon_default" ] || fail "the window icon is Wine's default one"
say "window icon is the program's own, not Wine's default"

# ---- 2. With the English satellite ---------------------------------------
mkdir "$scratch/satellite"
cp "$exe" "$scratch/satellite/Quorvane.exe"
cp "$satellite" "$scratch/satellite/Quorvane.exe.mui"
start_app "$scratch/satellite/Quorvane.exe"
caption=$(timeout 10 xdotool getwindowname "$window")
[ "$caption" = "$english_caption" ] || fail "with satellite: caption '$caption', expected '$english_caption'"
say "with satellite: caption: $caption"
[ "$(icon_of "$window")" = "$icon_exe" ] || fail "with satellite: the window icon changed"
say "with satellite: the same window icon"
stop_app

# ---- 3. A folder with the satellite's name ----------------------------------
mkdir -p "$scratch/folder/Quorvane.exe.mui"
cp "$exe" "$scratch/folder/Quorvane.exe"
start_app "$scratch/folder/Quorvane.exe"
caption=$(timeout 10 xdotool getwindowname "$window")
[ "$caption" = "$chinese_caption" ] || fail "with a folder named like the satellite: caption '$caption'"
say "with a folder named like the satellite: caption: $caption"
stop_app

say "all passed"
