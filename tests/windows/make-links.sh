#!/usr/bin/env bash
# Set-up step of the Windows tests under Wine: folder links made on the Linux side, which
# Wine shows as reparse points. Only links to folders: Wine's DeleteFileW on a Unix link
# to a file deletes the file it leads to, so none may stand where a test deletes.
set -euo pipefail
root=${1:?usage: $0 FOLDER}
rm -rf "$root"
mkdir -p "$root/outside" "$root/Packages/Linked.App_l1nk/Settings" "$root/Packages/OnlyLink_x"
printf 'keep' >"$root/outside/keep.txt"
printf 'settings' >"$root/Packages/Linked.App_l1nk/Settings/settings.dat"
ln -s "$root/outside" "$root/Packages/Linked.App_l1nk/Settings/roaming"
ln -s "$root/outside" "$root/Packages/OnlyLink_x/LocalState"
