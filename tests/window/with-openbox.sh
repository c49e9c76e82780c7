#!/bin/sh
# Runs a command on the current X display with openbox framing and activating its windows,
# as a desktop does; openbox ends with the command.
openbox --sm-disable &
wm=$!
tries=0
until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"; do
    tries=$((tries + 1))
    if [ "$tries" -gt 200 ]; then
        echo "openbox did not start" >&2
        kill "$wm"
        exit 1
    fi
    sleep 0.05
done
"$@"
rc=$?
kill "$wm"
wait "$wm" 2>/dev/null
exit "$rc"
