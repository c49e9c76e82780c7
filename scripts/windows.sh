#!/usr/bin/env bash
# Builds Dittoly UA for 64-bit Windows with MinGW-w64, lays out the portable folder
# build/windows/Dittoly UA/ (programs, the Qt and MinGW DLLs they need, the plugins,
# README and licence) and zips it. Then a smoke run: the packaged program under Wine and
# Xvfb on a sample profile in a fresh Wine prefix, real clicks on the search, two ticks
# and Backup, the question answered, the backup and the log checked on disk, a screenshot
# saved, the window closed.
#
# Qt for Windows: $DITTOLY_QT6_WIN64, else ../shared/qt6-win64 beside the repository (or
# beside its main working tree, from a git worktree), else build/qt6-win64, built there
# once from Debian's sources (about an hour).
set -euo pipefail
DITTOLY_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$DITTOLY_ROOT/scripts/common.sh"
ensure_packages "${DITTOLY_WINDOWS_PACKAGES[@]}"

out="$DITTOLY_ROOT/build/windows"
qt=${DITTOLY_QT6_WIN64:-}
main_tree=$(dirname "$(git -C "$DITTOLY_ROOT" rev-parse --path-format=absolute \
    --git-common-dir 2>/dev/null || echo "$DITTOLY_ROOT/.git")")
for candidate in "$DITTOLY_ROOT/../shared/qt6-win64" "$main_tree/../shared/qt6-win64"; do
    if [ -z "$qt" ] && [ -d "$candidate/lib/cmake/Qt6" ]; then
        qt=$(cd "$candidate" && pwd)
    fi
done
if [ -z "$qt" ]; then
    qt="$DITTOLY_ROOT/build/qt6-win64"
    [ -d "$qt/lib/cmake/Qt6" ] ||
        bash "$DITTOLY_ROOT/scripts/build-qt6-win64.sh" "$qt" "$DITTOLY_ROOT/build/qt6-win64-src"
fi
echo "== Build for Windows against Qt in $qt"
cmake -S "$DITTOLY_ROOT" -B "$out/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$DITTOLY_ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_PREFIX_PATH="$qt" -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_BUILD_TYPE=Release -DDITTOLY_TESTS=OFF >/dev/null
cmake --build "$out/build" -j "$(nproc)" --target dittoly dittoly_cli

echo "== Portable folder"
folder="$out/Dittoly UA"
rm -rf "$folder"
mkdir -p "$folder/platforms" "$folder/styles" "$folder/imageformats"
# The window program and, beside it, the command line: both keep Backup/ and Data/ here.
cp "$out/build/bin/dittoly-ua.exe" "$out/build/bin/dittoly-ua-cli.exe" "$folder/"
x86_64-w64-mingw32-strip "$folder"/*.exe
cp "$qt/plugins/platforms/qwindows.dll" "$folder/platforms/"
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$folder/styles/"
cp "$qt/plugins/imageformats/qico.dll" "$folder/imageformats/"
cp "$DITTOLY_ROOT/README.md" "$DITTOLY_ROOT/LICENSE" "$folder/"
# Every DLL the programs and plugins import that Qt's folder or the MinGW run-time has,
# and what those import in turn; the rest are the system's own.
runtime_dll() {
    local name=$1 found
    found=$(find "$qt/bin" -maxdepth 1 -iname "$name" | head -1)
    [ -n "$found" ] || found=$(find /usr/x86_64-w64-mingw32/lib \
        "$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")" \
        -maxdepth 1 -iname "$name" 2>/dev/null | head -1)
    echo "$found"
}
pending=("$folder"/*.exe "$folder"/*/*.dll)
while [ ${#pending[@]} -gt 0 ]; do
    file=${pending[0]}
    pending=("${pending[@]:1}")
    for name in $(x86_64-w64-mingw32-objdump -p "$file" | awk '/DLL Name:/ {print $3}'); do
        [ -e "$folder/$name" ] && continue
        dll=$(runtime_dll "$name")
        [ -n "$dll" ] || continue
        cp "$dll" "$folder/$name"
        pending+=("$folder/$name")
    done
done
version=$(sed -n 's/^project(DittolyUA VERSION \([0-9.]*\).*/\1/p' "$DITTOLY_ROOT/CMakeLists.txt")
zip="$out/Dittoly-UA-$version-win64.zip"
rm -f "$zip"
(cd "$out" && zip -qr -9 "$zip" "Dittoly UA")
ls -1 "$folder" | sed 's/^/  /'
echo "Zip: $zip ($(stat -c %s "$zip") bytes)"

# ---- Smoke run under Wine ------------------------------------------------------------
echo "== Smoke run under Wine and Xvfb"
smoke="$out/smoke"
rm -rf "$smoke"
mkdir -p "$smoke"
export WINEPREFIX="$smoke/prefix" WINEDEBUG=-all
xvfb_pid="" wm_pid="" app_pid=""
stop_all() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
    wineserver -k 2>/dev/null || true
    [ -n "$wm_pid" ] && kill "$wm_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    return 0
}
trap stop_all EXIT
fail() {
    import -window root "$smoke/failure.png" 2>/dev/null || true
    echo "smoke run FAILED: $*  (screen: $smoke/failure.png)" >&2
    exit 1
}
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$smoke/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 50); do [ -s "$smoke/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$smoke/display")"
openbox --sm-disable >/dev/null 2>&1 &
wm_pid=$!
# The fresh prefix, complete: wineboot goes on setting it up after it returns, so wait
# until Wine has ended; the first start then includes Wine's own start, as a user's does.
wineboot -i >/dev/null 2>&1
wineserver -w
user=$(ls "$WINEPREFIX/drive_c/users" | grep -v '^Public$' | head -1)
bash "$DITTOLY_ROOT/scripts/make-sample-profile.sh" "$WINEPREFIX/drive_c/users/$user" >/dev/null
packages="$WINEPREFIX/drive_c/users/$user/AppData/Local/Packages"
installed="$WINEPREFIX/drive_c/Dittoly UA"
cp -r "$folder" "$installed"

# Prints the id of the visible window titled exactly $1 once it shows, waiting up to $2
# tenths of a second; prints nothing when none showed.
visible_window() {
    local id="" _
    for _ in $(seq "$2"); do
        id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1) || true
        [ -n "$id" ] && break
        sleep 0.1
    done
    echo "$id"
}
# Starts the program and waits for its window; `took` holds the seconds that took.
start_program() {
    local t0
    t0=$(date +%s.%N)
    wine 'C:\Dittoly UA\dittoly-ua.exe' >>"$smoke/wine.log" 2>&1 &
    app_pid=$!
    window=$(visible_window 'Dittoly UA' 600)
    [ -n "$window" ] || fail "no window within a minute"
    took=$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
}
# A left click at client coordinates of window $1.
click() {
    xdotool mousemove --window "$1" --sync "$2" "$3" click 1
    sleep 0.5
}
close_program() {
    xdotool windowactivate --sync "$window" key --clearmodifiers alt+F4
    for _ in $(seq 100); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
    ! kill -0 "$app_pid" 2>/dev/null || fail "the window did not close"
    app_pid=""
}

start_program
cold_wine=$took
eval "$(xdotool getwindowgeometry --shell "$window")"
# Client coordinates from the window's layout (15 twips to the pixel): the search link in
# the panel at a third of the width and height, the app list's tick boxes in a column at
# x 232 from y 64 down, the Backup link in the left menu.
click "$window" $((WIDTH / 3 + 200)) $((HEIGHT / 3 + 44))
sleep 1
# The rows are as high as the fonts at hand make them, so the boxes are found on the
# screen: down that column each box shows as a dark top edge, then a dark bottom edge.
import -window "$window" "$smoke/list.png"
mapfile -t edges < <(convert "$smoke/list.png" -crop 1x200+232+64 -depth 8 txt:- |
    awk -F'[,:() ]+' 'NR > 1 { dark = $3 + $4 + $5 < 600; if (dark && !was) print $2; was = dark }')
[ ${#edges[@]} -ge 4 ] || fail "no tick boxes in the app list after the search"
click "$window" 232 $((64 + (edges[0] + edges[1]) / 2))
click "$window" 232 $((64 + (edges[2] + edges[3]) / 2))
click "$window" 70 148
box=$(visible_window Backup 100)
[ -n "$box" ] || fail "no question after the click on Backup"
sleep 0.5
import -window root "$smoke/question.png"
# The system's message box: Yes is the left one of the two buttons centred at its bottom.
eval "$(xdotool getwindowgeometry --shell "$box")"
click "$box" $((WIDTH / 2 - 40)) $((HEIGHT - 23))
log="$installed/Backup/Dittoly UA.txt"
for _ in $(seq 100); do [ -f "$log" ] && break; sleep 0.1; done
[ -f "$log" ] || fail "no log after answering Yes"
sleep 1
screenshot="$smoke/dittoly-ua-wine.png"
import -window root "$screenshot"

# The disk: exactly the two ticked apps backed up, byte for byte, nothing of the swap left
# behind, and the log in the ANSI code page with CR LF line ends.
ticked=(Contoso.Notes.App_0a1b2c3d4e5f6 Fabrikam.Maps_2k9v0f4m8e1tq)
[ "$(ls "$installed/Backup" | sort)" = "$(printf '%s\n' "${ticked[@]}" "Dittoly UA.txt" | sort)" ] ||
    fail "Backup holds: $(ls "$installed/Backup" | tr '\n' ' ')"
for pkg in "${ticked[@]}"; do
    diff -r "$packages/$pkg/Settings" "$installed/Backup/$pkg/Settings" >/dev/null ||
        fail "the backup of $pkg differs from its Settings"
done
text=$(iconv -f CP1252 -t UTF-8 "$log")
[ "$(grep -c $'\r$' "$log")" -eq 6 ] && [ "$(wc -l <"$log")" -eq 6 ] ||
    fail "the log is not six lines ending in CR LF"
grep -q '^====================== Dittoly UA - Backup process - .* =========================.$' \
    <<<"$text" || fail "no header line in the log"
for pkg in "${ticked[@]}"; do
    grep -qF "| Backup [from] C:\\users\\$user\\AppData\\Local\\Packages\\$pkg\\Settings\\ [to] C:\\Dittoly UA\\Backup\\$pkg\\  <OK>" \
        <<<"$text" || fail "no <OK> line for $pkg in the log"
done
grep -q $'^Total Apps backed up: 2\r$' <<<"$text" || fail "wrong count in the log"
close_program
[ ! -e "$installed/Data" ] || fail "a Data folder appeared without being asked for"

# Once more while Wine is still running from the first start: the program's own start-up.
start_program
warm_wine=$took
close_program

# The command line beside it sees the same apps.
listed=$(wine 'C:\Dittoly UA\dittoly-ua-cli.exe' list 2>/dev/null | tr -d '\r')
[ "$(wc -l <<<"$listed")" -eq 7 ] && grep -q $'^Contoso Notes App\tContoso.Notes.App_0a1b2c3d4e5f6$' \
    <<<"$listed" || fail "dittoly-ua-cli list gave: $listed"
# ... and backs all of them up with the window's lines on Windows paths, and the same log.
status=0
wine 'C:\Dittoly UA\dittoly-ua-cli.exe' backup --all >"$smoke/cli-backup.txt" 2>/dev/null || status=$?
printed=$(tr -d '\r' <"$smoke/cli-backup.txt")
[ "$status" -eq 0 ] || fail "dittoly-ua-cli backup --all ended with $status: $printed"
while read -r pkg; do
    grep -qF "| Backup [from] C:\\users\\$user\\AppData\\Local\\Packages\\$pkg\\Settings\\ [to] C:\\Dittoly UA\\Backup\\$pkg\\  <OK>" \
        <<<"$printed" || fail "dittoly-ua-cli printed no <OK> line for $pkg: $printed"
done < <(cut -f2 <<<"$listed")
grep -q $'^Total Apps backed up: 7$' <<<"$printed" &&
    grep -qF 'Log saved to C:\Dittoly UA\Backup\ <OK>' <<<"$printed" ||
    fail "dittoly-ua-cli backup --all gave: $printed"
[ "$(iconv -f CP1252 -t UTF-8 "$log" | tr -d '\r')" = "$(head -n -1 <<<"$printed")" ] ||
    fail "the command line's log is not the lines it printed"
# Its --json, read by a real parser: the run in ISO 8601 UTC and each app's result and size.
cli_json() {
    local status=0
    wine 'C:\Dittoly UA\dittoly-ua-cli.exe' "$@" --json >"$smoke/cli.json" 2>/dev/null || status=$?
    [ "$status" -eq 0 ] || fail "dittoly-ua-cli $* --json ended with $status"
}
cli_json backup --all
jq -e '.operation == "backup" and (.start | test("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$"))
    and .counts.ok == 7 and ([.apps[] | select(.result == "ok" and .files == 2)] | length) == 7' \
    "$smoke/cli.json" >/dev/null || fail "dittoly-ua-cli backup --all --json gave: $(cat "$smoke/cli.json")"
# A dry run changes nothing on disk and writes no log; both runs above are in the history.
disk() { find "$installed/Backup" "$packages" -printf '%P %s %T@\n' | sort; }
before=$(disk)
cli_json hard-reset --all --dry-run
jq -e '.["dry-run"] and .counts.ok == 7 and ([.apps[] | select(.files > 2)] | length) == 7' \
    "$smoke/cli.json" >/dev/null || fail "dittoly-ua-cli hard-reset --all --dry-run gave: $(cat "$smoke/cli.json")"
cli_json restore -n --all
[ "$(disk)" = "$before" ] || fail "a dry run changed the disk"
[ "$(grep -c '^=* Dittoly UA - Backup process - ' "$installed/Backup/Dittoly UA history.txt")" -eq 2 ] ||
    fail "the history log does not hold the two command-line runs"

echo "Smoke run passed: search, two ticks, Backup, the question answered; backup and log checked;"
echo "the command line lists the same apps and backs them all up with the same lines and log;"
echo "its --json parsed, its dry runs changing nothing, its history log holding both runs."
echo "Screenshot: $screenshot (the question: $smoke/question.png)"
echo "Start-up under Wine to the window shown: $warm_wine s with Wine running," \
    "$cold_wine s with Wine starting too"
echo "Zip: $zip ($(stat -c %s "$zip") bytes)"
