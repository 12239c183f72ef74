#!/usr/bin/env bash
# Checks real event records: runs the drive-root start-up test with Wine's
# event-log channel on, which prints every insertion string of ReportEventW on
# the error output, and looks for code 15000 where it was raised and caught.
set -uo pipefail
tests_exe=$1
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# What the tests print goes through a file: a program they start would hold a pipe
# open for as long as it runs.
capture=$(mktemp)
trap 'rm -f "$capture"' EXIT
run_tests() { # run_tests FILTER: out and status of the test program with the channel on
    WINEDEBUG=-all,err+eventlog,warn+eventlog "$here/../../scripts/wine-run" "$tests_exe" \
        --gtest_filter="$1" >"$capture" 2>&1 </dev/null
    status=$?
    out=$(cat "$capture")
}
run_tests 'ProgramInDriveRoot.*'
printf '%s\n' "$out"
[ "$status" -eq 0 ] || { echo "the start-up test failed"; exit 1; }
events=$(printf '%s\n' "$out" | sed -n 's/.*ReportEventW L"\(.*\)"\r\{0,1\}$/\1/p')
expected=$(printf '15000\nMiscellaneous\n[0-9]+\n15000\nQVSCliUpdateDlg\n[0-9]+')
if ! printf '%s\n' "$events" | paste -sd'|' | grep -Eqx "$(printf '%s' "$expected" | paste -sd'|' | sed 's/|/\\|/g')"; then
    echo "unexpected event records:"; printf '%s\n' "$events"
    exit 1
fi
echo "event records: code 15000 raised in Miscellaneous and caught in QVSCliUpdateDlg"

# A broken ReleaseKey: the warning event of the refused run gives its reason and
# names the dialog's source file.
run_tests 'SignedRelease.ABrokenReleaseKey*'
printf '%s\n' "$out" | grep -a 'ReportEventW'
[ "$status" -eq 0 ] || { printf '%s\n' "$out"; echo "the signed-release test failed"; exit 1; }
events=$(printf '%s\n' "$out" | sed -n 's/.*warn:eventlog:ReportEventW L"\(.*\)"\r\{0,1\}$/\1/p' | paste -sd'|')
if ! printf '%s\n' "$events" |
    grep -Eq '(^|\|)The ReleaseKey in QVS\.ini is not a release key \(it must be ecdsa-p256: and 128 lower-case hex digits, as QVSMakeList --new-key prints it\): nothing was installed from [^|]*\|QVSCliUpdateDlg\|[0-9]+(\||$)'; then
    echo "no warning event for the broken ReleaseKey:"; printf '%s\n' "$events"
    exit 1
fi
echo "event records: the broken ReleaseKey's warning, from QVSCliUpdateDlg"
