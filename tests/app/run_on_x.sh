#!/bin/sh
# run_on_x.sh composited|plain PROGRAM [ARGS...]
# Runs a test program on an X server of its own (Xvfb), with a compositing
# manager (xcompmgr) or without one. Tests that run side by side then never
# take each other's windows into their screenshots. VIDMEND_SCREENS_MODE
# tells the program which desktop it was given.
set -u
mode=$1
shift
dir=$(mktemp -d)
xvfb=""
manager=""
cleanup() {
    [ -n "$manager" ] && kill "$manager" 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
# The server picks a free display itself and writes its number when ready.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$dir/display" 2>"$dir/xvfb.log" &
xvfb=$!
tries=0
while [ ! -s "$dir/display" ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 1200 ] || ! kill -0 "$xvfb" 2>/dev/null; then
        echo "run_on_x: Xvfb did not start" >&2
        cat "$dir/xvfb.log" >&2
        exit 1
    fi
    sleep 0.1
done
DISPLAY=":$(head -n 1 "$dir/display")"
export DISPLAY
if [ "$mode" = composited ]; then
    xcompmgr >"$dir/xcompmgr.log" 2>&1 &
    manager=$!
fi
VIDMEND_SCREENS_MODE=$mode
export VIDMEND_SCREENS_MODE
"$@"
status=$?
exit $status
