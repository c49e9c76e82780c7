#!/usr/bin/env bash
# Installs the portable folder into a fresh place and starts the installed program there
# on a sample profile: it must come up, and keep its own folders beside itself.
set -euo pipefail
build=$1 source=$2
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
cmake --install "$build" --prefix "$dest/Dittoly UA" >/dev/null
for f in dittoly-ua dittoly-ua-cli README.md LICENSE share/applications/dittoly-ua.desktop \
    share/icons/hicolor/scalable/apps/dittoly-ua.svg; do
    [ -e "$dest/Dittoly UA/$f" ] || { echo "missing after install: $f"; exit 1; }
done
grep -q "^Exec=\"$dest/Dittoly UA/dittoly-ua\"$" "$dest/Dittoly UA/share/applications/dittoly-ua.desktop"
bash "$source/scripts/make-sample-profile.sh" "$dest/profile" >/dev/null
mkdir -p "$dest/Dittoly UA/Data"
set +e
HOME="$dest/profile" QT_QPA_PLATFORM=offscreen timeout 3 "$dest/Dittoly UA/dittoly-ua"
status=$?
set -e
# Still running after three seconds is what a started window does.
[ "$status" -eq 124 ] || { echo "the installed program ended with $status"; exit 1; }
# Closed by the signal, it saved nothing; it never wrote outside its own folder either.
[ -z "$(ls -A "$dest/Dittoly UA/Data")" ]
echo "installed and started from $dest/Dittoly UA"
