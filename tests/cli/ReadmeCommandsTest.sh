#!/usr/bin/env bash
# Every dittoly-ua-cli command line that README.md and the zip's README.txt show, run as
# shown on a fresh copy of the sample profile: a reader who copies one gets the status the
# text gives it. The lines are read from the two files, so a line added later is run too.
#
# Which lines are command lines: example lines, indented as code (four blanks or more in
# README.md, its code blocks; two or more in README.txt, its examples' indent), without a
# backtick, that name the program as a word of its own. A line that holds "[" or "..." is
# a synopsis, a form to fill in (`backup [POLICY] APP... | --all`), and is not run. What
# stands before the program (cron's schedule, ExecStart=, schtasks' /TR "\"...\") is the
# scheduler's and is dropped; the rest is run as a shell reads it, with stdin closed (no
# terminal: a command that asks goes ahead only with --yes), in a folder of its own (for
# `> last-backup.json`).
#
# A line must give status 0 unless it says otherwise itself, in a comment at its end:
# `# status 2`. A line that restores `--from ID` needs the History entry ID: before it runs,
# every app is backed up and its backup copied into History as that entry.
#
# Usage: ReadmeCommandsTest.sh CLI SOURCE_FOLDER
set -euo pipefail
cli=$1 source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bash "$source/scripts/make-sample-profile.sh" "$work/sample" >/dev/null
cp "$cli" "$work/dittoly-ua-cli"

boundary='(^|[[:space:]"/\\])dittoly-ua-cli(\.exe)?'
inner="$boundary"'\\"(.*)"[[:space:]]*$' # inside a quoted value: up to its closing quote
plain="$boundary"'"?([[:space:]].*)?$'
failed=0
for readme in README.md:4 packaging/windows/README.txt:2; do
    file=${readme%:*} indent=${readme#*:} count=0
    while IFS= read -r line || [ -n "$line" ]; do
        line=${line%$'\r'}
        [[ $line =~ ^\ {$indent} && $line != *'`'* && $line != *'['* && $line != *...* ]] ||
            continue
        if [[ $line =~ $inner ]]; then
            args=${BASH_REMATCH[3]}
        elif [[ $line =~ $plain ]]; then
            args=${BASH_REMATCH[3]}
        else
            continue
        fi
        expected=0
        [[ $line =~ \#[[:space:]]*status[[:space:]]+([0-9]+) ]] && expected=${BASH_REMATCH[1]}
        count=$((count + 1))
        run="$work/run-$file-$count"
        mkdir -p "$run/program" "$run/here"
        cp -a "$work/sample" "$run/home"
        ln "$work/dittoly-ua-cli" "$run/program/dittoly-ua-cli"
        if [[ $args =~ --from[[:space:]]+([^[:space:]]+) ]]; then
            HOME="$run/home" "$run/program/dittoly-ua-cli" backup --all </dev/null >/dev/null ||
                echo "$file: the backup that '$line' restores from failed"
            for kept in "$run/program/Backup"/*/; do
                mkdir -p "$kept/History/${BASH_REMATCH[1]}"
                cp -a "$kept/Settings" "$kept/History/${BASH_REMATCH[1]}/"
            done
        fi
        status=0
        (cd "$run/here" && HOME="$run/home" sh -c "\"\$0\"$args" "$run/program/dittoly-ua-cli" \
            </dev/null >"$run/out" 2>"$run/err") || status=$?
        if [ "$status" -ne "$expected" ]; then
            echo "$file: '$line' gave status $status, not $expected:"
            cat "$run/err"
            failed=1
        fi
    done <"$source/$file"
    echo "$file: $count command lines run"
    [ "$count" -gt 0 ] || failed=1
done
exit "$failed"
