#!/usr/bin/env bash
# Installs what is missing, builds and starts Dittoly UA.
# Without AppData/Local/Packages under the home folder it starts on a generated sample
# profile. Without a display it runs under Xvfb, saves a screenshot and exits.
set -euo pipefail
DITTOLY_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$DITTOLY_ROOT/scripts/common.sh"

ensure_packages
build_tree "$DITTOLY_ROOT/build/run" -DCMAKE_BUILD_TYPE=Release -DDITTOLY_TESTS=OFF >/dev/null
program="$DITTOLY_ROOT/build/run/bin/dittoly-ua"

profile="$HOME"
if [ ! -d "$HOME/AppData/Local/Packages" ]; then
    profile="$DITTOLY_ROOT/build/sample-profile"
    rm -rf "$profile"
    "$DITTOLY_ROOT/scripts/make-sample-profile.sh" "$profile" >/dev/null
    echo "No AppData/Local/Packages in $HOME: starting on the sample profile $profile"
fi

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    HOME="$profile" exec "$program"
fi

shot="$DITTOLY_ROOT/build/screenshots/dittoly-ua.png"
mkdir -p "$(dirname "$shot")"
export DITTOLY_PROGRAM="$program" DITTOLY_PROFILE="$profile" DITTOLY_SHOT="$shot"
xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
    HOME="$DITTOLY_PROFILE" QT_QPA_PLATFORM=xcb "$DITTOLY_PROGRAM" & pid=$!
    for _ in $(seq 50); do
        xwininfo -name "Dittoly UA" >/dev/null 2>&1 && break
        sleep 0.2
    done
    sleep 1
    import -window "Dittoly UA" "$DITTOLY_SHOT"
    kill "$pid"; wait "$pid" 2>/dev/null || true
'
echo "Screenshot of the window: $shot"
