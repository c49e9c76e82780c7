#!/usr/bin/env bash
# Builds a sample user profile with realistic app package folders, for trying the
# program on a machine that has no AppData/Local/Packages of its own.
# Usage: scripts/make-sample-profile.sh PROFILE_FOLDER
set -euo pipefail
profile=${1:?usage: $0 PROFILE_FOLDER}
root="$profile/AppData/Local/Packages"
mkdir -p "$root"

package() { # name: a package folder as the system lays one out
    local pkg="$root/$1"
    mkdir -p "$pkg/Settings" "$pkg/LocalState/db" "$pkg/LocalCache/thumbs" "$pkg/TempState" "$pkg/AC"
    printf 'version=3\r\ntheme=dark\r\n' >"$pkg/Settings/settings.dat"
    printf '{"window":{"w":800,"h":600}}' >"$pkg/Settings/roaming.lock"
    printf 'local state of %s\n' "$1" >"$pkg/LocalState/db/state.sqlite"
    head -c 4096 /dev/zero >"$pkg/LocalCache/cache.bin"
    printf 'png' >"$pkg/LocalCache/thumbs/0001.png"
    printf 'temp' >"$pkg/TempState/session.tmp"
}

package Microsoft.WindowsCalculator_8wekyb3d8bbwe
package Microsoft.WindowsAlarms_8wekyb3d8bbwe
package Microsoft.ZuneMusic_8wekyb3d8bbwe
package Contoso.Notes.App_0a1b2c3d4e5f6
package Fabrikam.Maps_2k9v0f4m8e1tq
package Vendor.Café.Ünïcode_9z8y7x6w5v4u3
package Northwind.Photos.Beta_7a6b5c4d3e2f1

# Only hidden files: the search does not list it.
hidden="$root/Hidden.Only_1h2i3d4d5e6n7"
mkdir -p "$hidden/LocalState"
printf 'x' >"$hidden/.settings"
printf 'x' >"$hidden/LocalState/.state"
echo "$root"
