#!/bin/bash
# Takes docs/screenshot.png: the main window of build/windows/Quorvane.exe as
# it opens, title bar included, on a virtual display of its own (Xvfb with
# openbox). Builds nothing: build the windows preset first.
#
# Usage: scripts/screenshot.sh [output.png]   (default docs/screenshot.png)
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
exe=$root/build/windows/Quorvane.exe
wine_run=$root/build/windows/wine-run.sh
output=${1:-$root/docs/screenshot.png}

for file in "$exe" "$wine_run"; do
    [ -f "$file" ] || { echo "screenshot: missing $file: build the windows preset first" >&2; exit 1; }
done
for tool in xdotool xprop xwininfo import convert timeout; do
    command -v "$tool" >/dev/null || { echo "screenshot: $tool is not installed" >&2; exit 1; }
done

# Re-run this script on a virtual display made for it.
if [ "${QUORVANE_SCREENSHOT_INNER:-0}" != "1" ]; then
    QUORVANE_SCREENSHOT_INNER=1 QUORVANE_FORCE_XVFB=1 \
        exec "$root/scripts/with-display.sh" bash "$0" "$output"
fi

# The users' locale: the Chinese captions render with WenQuanYi Zen Hei.
export LANG=zh_TW.UTF-8 LC_ALL=zh_TW.UTF-8
export QUORVANE_WINE_TIMEOUT=60

shot=$(mktemp -d)
app_pid=""
cleanup() {
    if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then
        kill "$app_pid" 2>/dev/null
        wait "$app_pid" 2>/dev/null
    fi
    rm -rf "$shot"
}
trap cleanup EXIT

# Wine's desktop process keeps the display it started with: begin afresh.
WINEPREFIX=$root/build/windows/wineprefix wineserver -k >/dev/null 2>&1
timeout 60 "$wine_run" cmd /c exit >/dev/null 2>&1 </dev/null
# The dialog font resolves to PMingLiU under this locale; Wine otherwise draws
# it with an outline face hinted badly at 12 pixels. The bitmap face of
# WenQuanYi Zen Hei looks like the real thing. This changes only how this
# build's own Wine prefix draws text.
timeout 60 "$wine_run" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v PMingLiU \
    /t REG_SZ /d 'WenQuanYi Zen Hei Sharp' /f >/dev/null 2>&1 </dev/null

"$wine_run" "$exe" </dev/null >/dev/null 2>&1 &
app_pid=$!
window=""
for _ in $(seq 1 100); do
    window=$(timeout 5 xdotool search --onlyvisible --name Quorvane 2>/dev/null | head -n 1)
    [ -n "$window" ] && break
    sleep 0.2
done
[ -n "$window" ] || { echo "screenshot: no Quorvane window within 20 s" >&2; exit 1; }
timeout 10 xdotool windowactivate --sync "$window" >/dev/null 2>&1
# Let the dialog and the window manager finish painting.
sleep 1.5

# The client area's place on screen, widened by the frame openbox draws.
info=$(timeout 10 xwininfo -id "$window")
x=$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$info")
y=$(sed -n 's/.*Absolute upper-left Y: *//p' <<<"$info")
width=$(sed -n 's/.*Width: *//p' <<<"$info")
height=$(sed -n 's/.*Height: *//p' <<<"$info")
read -r left right top bottom < <(timeout 10 xprop -id "$window" _NET_FRAME_EXTENTS |
                                   sed -n 's/.*= *//p' | tr -d ',')
left=${left:-0} right=${right:-0} top=${top:-0} bottom=${bottom:-0}
crop="$((width + left + right))x$((height + top + bottom))+$((x - left))+$((y - top))"

timeout 20 import -window root "$shot/screen.png" || { echo "screenshot: import failed" >&2; exit 1; }
mkdir -p "$(dirname "$output")"
convert "$shot/screen.png" -crop "$crop" +repage "$output" ||
    { echo "screenshot: crop failed" >&2; exit 1; }

timeout 10 xdotool key Escape
for _ in $(seq 1 100); do
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.2
done
wait "$app_pid" 2>/dev/null
app_pid=""
echo "screenshot: $output ($crop)"
