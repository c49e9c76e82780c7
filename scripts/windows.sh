#!/usr/bin/env bash
# Builds Dittoly UA for 64-bit Windows with MinGW-w64, lays out the portable folder
# build/windows/Dittoly UA/ (programs, the Qt and MinGW DLLs they need, the plugins, the
# users' README, the licence and the third-party notices), zips it and writes the zip's
# SHA-256 beside it. Then a smoke run: the packaged program under Wine and Xvfb on a sample
# profile in a fresh Wine prefix, real clicks on the search and two ticks, then three
# operations in one window (each question brought up by a click after the run before,
# answered by click or by key) with the disk checked after each, a screenshot saved, the
# window closed; and the command line on the same profile, piped and on a console.
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
    -DCMAKE_BUILD_TYPE=Release -DDITTOLY_TESTS=OFF -DDITTOLY_WERROR=ON >/dev/null
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
# For the people who unzip it: a README of their own, the licence, and the notices of the
# software of others it ships, taken from the Debian packages that software came from,
# with the full texts of the licences those name. CR LF line ends, as Windows editors expect.
windows_text() { sed 's/\r*$/\r/'; }
source_of() { dpkg-query -W -f='${source:Package} ${source:Version}' "$1"; }
notices="$DITTOLY_ROOT/packaging/windows/THIRD-PARTY-NOTICES.txt"
sed "s/@VERSION@/$version/g" "$DITTOLY_ROOT/packaging/windows/README.txt" |
    windows_text >"$folder/README.txt"
windows_text <"$DITTOLY_ROOT/LICENSE" >"$folder/LICENSE.txt"
{
    sed -e "s/@VERSION@/$version/" -e "s/@QT_SOURCE@/$(source_of libqt6core6)/" \
        -e "s/@GCC_SOURCE@/$(source_of gcc-mingw-w64-x86-64-posix-runtime)/" \
        -e "s/@MINGW_SOURCE@/$(source_of mingw-w64-x86-64-dev)/" "$notices"
    for pkg in libqt6core6 gcc-mingw-w64-x86-64-posix-runtime mingw-w64-x86-64-dev; do
        printf '\n\n==== The notices of %s, from /usr/share/doc/%s/copyright ====\n\n' \
            "$(source_of "$pkg")" "$pkg"
        cat "/usr/share/doc/$pkg/copyright"
    done
    for licence in GPL-3 LGPL-3 GPL-2 LGPL-2.1 Apache-2.0; do
        printf '\n\n==== %s, named above as /usr/share/common-licenses/%s ====\n\n' \
            "$licence" "$licence"
        cat "/usr/share/common-licenses/$licence"
    done
} | windows_text >"$folder/THIRD-PARTY-NOTICES.txt"
# No DLL goes out without its notice.
while read -r dll; do
    grep -qF "${dll//\//\\}" "$notices" || { echo "no notice names $dll" >&2; exit 1; }
done < <(cd "$folder" && find . -name '*.dll' | sed 's|^\./||')

zip="$out/Dittoly-UA-$version-win64.zip"
rm -f "$zip" "$zip.sha256"
(cd "$out" && zip -qr -9 "$zip" "Dittoly UA" && sha256sum "$(basename "$zip")" >"$zip.sha256")
zip -sf "$zip" | sed 's/^/  /'
echo "Zip: $zip ($(stat -c %s "$zip") bytes)"
echo "SHA-256: $(cut -d' ' -f1 "$zip.sha256") (in $zip.sha256, to publish beside the zip)"

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

# Waits up to 15 s for the question titled $1, which $2 should have brought up.
question() {
    box=$(visible_window "$1" 150)
    [ -n "$box" ] || fail "no question after $2"
    sleep 0.5
}
# Answers the question with Yes, by its key (y) or by a click on its button ($1: key or
# click), and waits for the run's log, removed first so that the new one shows the run's end.
answer_yes() {
    rm -f "$log"
    if [ "$1" = key ]; then
        xdotool key --clearmodifiers y
    else
        # The system's message box: Yes is the left one of the two buttons centred at its
        # bottom. Its size is read once it has settled (two readings alike), since the box
        # may still be laid out when it first shows.
        local shape="" settled=""
        for _ in $(seq 30); do
            shape=$(xdotool getwindowgeometry --shell "$box" | grep -E '^(WIDTH|HEIGHT)=')
            [ -n "$shape" ] && [ "$shape" = "$settled" ] && break
            settled=$shape
            sleep 0.2
        done
        eval "$shape"
        click "$box" $((WIDTH / 2 - 40)) $((HEIGHT - 23))
    fi
    for _ in $(seq 150); do [ -f "$log" ] && break; sleep 0.1; done
    [ -f "$log" ] || fail "no log after answering Yes ($1)"
    sleep 1
}
log="$installed/Backup/Dittoly UA.txt"

start_program
cold_wine=$took
eval "$(xdotool getwindowgeometry --shell "$window")"
width=$WIDTH
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
question Backup "the click on Backup"
import -window root "$smoke/question.png"
answer_yes click

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

# The same window goes on taking clicks after each run: Backup again, answered with the
# key, then Repair and Clear App Cache, answered with a click, then Backup once more,
# answered No.
click "$window" 70 148
question Backup "the click on Backup after a run"
answer_yes key
grep -q $'^Total Apps backed up: 2\r$' "$log" || fail "the second Backup gave: $(cat "$log")"
click "$window" 70 292
click "$window" $((width - 180)) 196
question "Clear App Cache" "the clicks on Repair and Clear App Cache after two runs"
answer_yes click
grep -q $'^Total Apps cleared: 2\r$' "$log" || fail "Clear App Cache gave: $(cat "$log")"
for cache in "$packages"/*/LocalCache; do
    pkg=$(basename "$(dirname "$cache")")
    expected=$([[ " ${ticked[*]} " = *" $pkg "* ]] || echo cache.bin thumbs)
    [ "$(ls "$cache" | xargs)" = "$(xargs <<<"$expected")" ] ||
        fail "after Clear App Cache, $pkg's LocalCache holds: $(ls "$cache")"
done
screenshot="$smoke/dittoly-ua-wine.png"
import -window root "$screenshot"
cp "$log" "$smoke/last-run.txt"
click "$window" 70 148
question Backup "the click on Backup after three runs"
xdotool key --clearmodifiers n
for _ in $(seq 50); do
    box=$(xdotool search --onlyvisible --name '^Backup$' 2>/dev/null) || true
    [ -z "$box" ] && break
    sleep 0.1
done
[ -z "$box" ] || fail "the question stayed after the answer No"
sleep 1
cmp -s "$log" "$smoke/last-run.txt" || fail "the answer No ran the Backup"
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
# Nothing changed since the backup above but one file of one app: that app is backed up
# again, the others are found unchanged.
changed=${ticked[1]}
echo "edited" >>"$(find "$packages/$changed/Settings" -type f | sort | head -n 1)"
cli_json backup --all
jq -e --arg changed "$changed" '.operation == "backup"
    and (.start | test("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$"))
    and .counts.ok == 1 and .counts.unchanged == 6
    and ([.apps[] | select(.result == "ok" and .files == 2 and .package == $changed
        and (.kept | length) == 1)] | length) == 1' \
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

# Without a terminal (stdin the null device) a command that asks refuses with status 2.
status=0
wine cmd /c "cd /d C:\Dittoly UA && dittoly-ua-cli.exe reset ${ticked[0]} < NUL" \
    >"$smoke/cli-nul.txt" 2>/dev/null || status=$?
[ "$status" -eq 2 ] && [ ! -s "$smoke/cli-nul.txt" ] && [ -d "$packages/${ticked[0]}/Settings" ] ||
    fail "reset with stdin NUL ended with $status: $(cat "$smoke/cli-nul.txt")"
# On a console the text goes out as the console's own UTF-16, so an accented name shows as
# itself (piped it stays UTF-8, as above). Wine draws a program's console on the terminal
# it starts on: script(1) gives it one and keeps what it shows. The question goes there on
# stderr, the answer comes from the console, and stdout keeps only status lines.
on_console() { # stdin: what is typed; $1: the command; prints the console's text
    LANG=C.UTF-8 SHELL=/bin/sh script -qec "$1" /dev/null |
        perl -pe 's/\e\[(\d*)C/" " x ($1 || 1)/ge; s/\e\[[0-9;?]*[A-Za-z]//g; s/\r//g'
}
shown=$(on_console "wine 'C:\Dittoly UA\dittoly-ua-cli.exe' list" </dev/null)
grep -qF 'Vendor Café Ünïcode' <<<"$shown" && grep -qF 'Vendor.Café.Ünïcode_9z8y7x6w5v4u3' \
    <<<"$shown" || fail "dittoly-ua-cli list on a console showed: $shown"
status=0
shown=$( (sleep 2; printf 'n\r') | on_console "wine 'C:\Dittoly UA\dittoly-ua-cli.exe' \
    reset 'Vendor Café Ünïcode' >'$smoke/cli-no.txt'") || status=$?
[ "$status" -eq 1 ] && [ ! -s "$smoke/cli-no.txt" ] && grep -qF 'Normal Reset' <<<"$shown" &&
    grep -qF 'Nothing was changed.' <<<"$shown" &&
    [ -d "$packages/Vendor.Café.Ünïcode_9z8y7x6w5v4u3/Settings" ] ||
    fail "reset answered No on a console ended with $status, showed: $shown"

# A portable program is often on another drive than the profile (a USB stick): the same
# folder on drive D:, whose backups and History live there. A Backup, a second one that
# keeps the first in History, then a Restore over changed Settings, which copies the live
# Settings into History across the two drives first.
drive_d="$smoke/drive-d"
mkdir -p "$drive_d"
ln -s "$drive_d" "$WINEPREFIX/dosdevices/d:"
cp -r "$folder" "$drive_d/Dittoly UA"
app=${ticked[1]}
on_d() { wine 'D:\Dittoly UA\dittoly-ua-cli.exe' "$@" 2>>"$smoke/cli-d.txt" | tr -d '\r'; }
kept="$drive_d/Dittoly UA/Backup/$app"
on_d backup "$app" >/dev/null && cp -r "$packages/$app/Settings" "$smoke/first" ||
    fail "the first Backup from drive D: failed: $(cat "$smoke/cli-d.txt")"
echo "second" >"$packages/$app/Settings/second.txt"
on_d backup "$app" >/dev/null || fail "the second Backup from drive D: failed"
echo "live" >"$packages/$app/Settings/live.txt"
cp -r "$packages/$app/Settings" "$smoke/live"
on_d restore --yes "$app" >/dev/null || fail "the Restore from drive D: failed"
entries=("$kept"/History/*)
[ ${#entries[@]} -eq 2 ] && [[ ${entries[1]} = *-before-restore ]] &&
    diff -r "$smoke/first" "${entries[0]}/Settings" >/dev/null &&
    diff -r "$smoke/live" "${entries[1]}/Settings" >/dev/null &&
    diff -r "$kept/Settings" "$packages/$app/Settings" >/dev/null ||
    fail "after Backup, Backup and Restore from drive D:, History holds: ${entries[*]##*/}"
grep -q $'before-restore\t' <(on_d backups "$app") || fail "backups shows no before-restore entry"

echo "Smoke run passed: search, two ticks, then in one window Backup (answered with a click),"
echo "Backup (answered with the key), Clear App Cache (answered with a click) and a fourth"
echo "question answered No, each brought up by a click after the run before; disk and log"
echo "checked after each. The command line lists the same apps and backs them all up with the"
echo "same lines and log, refuses to ask without a terminal (status 2) and shows an accented"
echo "name as itself on a console; its --json is parsed, its dry runs change nothing and its"
echo "history log holds both of its runs. From drive D:, Backup, Backup and Restore keep what"
echo "they replace in History across the two drives."
echo "Screenshot: $screenshot (the question: $smoke/question.png)"
echo "Start-up under Wine to the window shown: $warm_wine s with Wine running," \
    "$cold_wine s with Wine starting too"
echo "Zip: $zip ($(stat -c %s "$zip") bytes), SHA-256 $(cut -d' ' -f1 "$zip.sha256")"
