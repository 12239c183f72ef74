#!/usr/bin/env bash
# The policy scenarios (PolicyTest.cpp) in a Wine prefix of their own: the values
# they write below HKLM and HKCU would change what the programs of every other test
# read, and those run at the same time in the build's prefix. This prefix is made
# once (wineboot, 10-15 s), reaches the shares under the same names as the build's,
# and has a Wine server of its own for the run, ended with it. Wine's event-log
# channel is on: the warning events of the values that cannot be used are checked.
#   policy.sh <e2e_tests.exe> <prefix folder>
set -uo pipefail
tests_exe=$1
prefix=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/../../scripts/common.sh"
find_wine
shared=${WINEPREFIX:?run through scripts/test, which brings up the shared prefix}
export WINEPREFIX=$prefix QVS_POLICY_PREFIX=$prefix
# Only this prefix's server: WINEPREFIX names it.
trap '"$QVS_WINESERVER" -k >/dev/null 2>&1 || true' EXIT
if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$prefix"
    "$QVS_WINE" wineboot --init >/dev/null 2>&1 </dev/null || true
    "$QVS_WINESERVER" -w
fi
setsid "$QVS_WINESERVER" -p >/dev/null 2>&1 </dev/null &
# The prefix's own services start with the first process: with this one, so that
# none of them holds the runner's output.
"$QVS_WINE" cmd /c exit >/dev/null 2>&1 </dev/null
# \\COMPUTER\<top>, \\qvsserver\release...: the links scripts/common.sh made there.
mkdir -p "$prefix/dosdevices/unc"
cp -a "$shared/dosdevices/unc/." "$prefix/dosdevices/unc/"
grep -q '^"Managed"="N"' "$prefix/user.reg" 2>/dev/null ||
    "$QVS_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null

WINEDEBUG=-all,warn+eventlog "$QVS_WINE" "$tests_exe" --gtest_filter='Policy*' >"$prefix/run.log" 2>&1 </dev/null
status=$?
out=$(cat "$prefix/run.log")
printf '%s\n' "$out" | grep -av 'eventlog:'
[ "$status" -eq 0 ] || { echo "the policy scenarios failed"; exit 1; }
printf '%s\n' "$out" | grep -q 'Running 0 tests' && { echo "no policy scenario ran"; exit 1; }

# Each unusable value of the machine's policy: one warning event, from lib/Policy.
events=$(printf '%s\n' "$out" | sed -n 's/.*warn:eventlog:ReportEventW L"\(.*\)"\r\{0,1\}$/\1/p' | paste -sd'|')
fail=0
for why in 'SourceFolder in HKLM[^|]* it is not text \(REG_SZ\)' \
    'ReleaseFolderTimeoutSeconds in HKLM[^|]* 601 is not a number from 1 to 600' \
    'UpdatesDisabled in HKLM[^|]* it is not a number \(REG_DWORD\)'; do
    n=$(printf '%s\n' "$events" | grep -oE "The policy value $why\.\|Policy\|[0-9]+" | wc -l)
    if [ "$n" -ne 1 ]; then echo "FAILED: $n warning events, not 1: $why"; fail=1; fi
done
[ "$fail" -eq 0 ] && echo "event records: each unusable policy value once, from Policy"

# The event source's registration, as an administrator imports it.
source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\QVSCliUpdate'
"$QVS_WINE" reg import "Z:$(printf '%s' "$QVS_TOP/policy/QVSCliUpdate-EventLog.reg" | tr / '\\')" \
    >/dev/null 2>&1 </dev/null
values=$("$QVS_WINE" reg query "$source_key" 2>/dev/null </dev/null | tr -d '\r' | sed -n 's/^ \+//p' | sort)
expected=$(printf '%s\n' 'EventMessageFile    REG_EXPAND_SZ    %ProgramFiles%\Quovisa\Client\bin\QVSCliUpdate.exe' \
    'TypesSupported    REG_DWORD    0x7')
if [ "$values" = "$expected" ]; then echo "the event source's .reg file imports as written"; else
    echo "FAILED: the event source's .reg file gives:"; printf '%s\n' "$values"; fail=1; fi
"$QVS_WINE" reg delete "$source_key" /f >/dev/null 2>&1 </dev/null
exit $fail
