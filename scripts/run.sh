#!/usr/bin/env bash
# Installs what is missing, builds and starts Dittoly UA.
# Without AppData/Local/Packages under the home folder it starts on a generated sample
# profile. Without a display it takes a scripted tour through the program under Xvfb,
# saving a screenshot of the window after every step, and exits.
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

# No display: take the scripted tour through the program under Xvfb instead. It starts on
# its own freshly generated sample profile and saves a screenshot after every step.
tour="$DITTOLY_ROOT/build/tour"
xvfb-run -a -s "-screen 0 1280x800x24" env QT_QPA_PLATFORM=xcb \
    "$DITTOLY_ROOT/build/run/bin/dittoly-tour" "$tour" | grep -v '^  ok '
echo "Screenshots of every step: $tour/screenshots"
