#!/bin/bash
# Runs a command with an X display. With QUORVANE_FORCE_XVFB=1, or when no
# display is set, starts a virtual one (Xvfb, 1280x800) with the openbox
# window manager, says so, and stops both when the command ends.
set -u
if [ -n "${DISPLAY:-}" ] && [ "${QUORVANE_FORCE_XVFB:-0}" != "1" ]; then
    exec "$@"
fi
num=$(( 90 + RANDOM % 800 ))
while [ -e "/tmp/.X${num}-lock" ]; do num=$(( num + 1 )); done
echo "with-display: no display set; starting a virtual one (Xvfb :${num})" >&2
Xvfb ":${num}" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=":${num}"
for _ in $(seq 1 50); do
    xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
done
openbox >/dev/null 2>&1 &
wm_pid=$!
sleep 0.5
"$@"
rc=$?
kill "$wm_pid" "$xvfb_pid" 2>/dev/null
wait "$wm_pid" "$xvfb_pid" 2>/dev/null
exit $rc
