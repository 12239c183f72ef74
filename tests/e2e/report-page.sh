#!/usr/bin/env bash
# The desktops' page as a person sees it: the report scenario keeps its report.html
# (QVS_REPORT_PAGE), headless Chromium renders it into report.png beside it and
# gives its DOM, which must hold every row in its place, worst first, and the
# hostile values as text: no element of theirs, no script of theirs run.
#   report-page.sh <e2e_tests.exe> <output folder>
set -uo pipefail
tests_exe=$1
out_dir=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
chromium=$(command -v chromium || true)
[ -n "$chromium" ] || { echo "chromium is not installed (scripts/common.sh installs it)"; exit 1; }
rm -rf "$out_dir"
mkdir -p "$out_dir"
page="$out_dir/report.html"
QVS_REPORT_PAGE="Z:$(printf '%s' "$page" | tr / '\\')" "$here/../../scripts/wine-run" "$tests_exe" \
    --gtest_filter='Report.*' || { echo "the report scenario failed"; exit 1; }
[ -s "$page" ] || { echo "the scenario kept no page"; exit 1; }

# Root needs --no-sandbox; the network here is closed, and without the rest
# Chromium waits on look-ups that never answer.
browse() {
    local profile
    profile=$(mktemp -d)
    timeout 120 "$chromium" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --user-data-dir="$profile" --hide-scrollbars "$@" "file://$page" 2>/dev/null
    local status=$?
    rm -rf "$profile"
    return $status
}
browse --window-size=1500,560 --screenshot="$out_dir/report.png" >/dev/null ||
    { echo "chromium could not take the screenshot"; exit 1; }
[ -s "$out_dir/report.png" ] || { echo "no screenshot"; exit 1; }
dom=$(browse --dump-dom) || { echo "chromium could not load the page"; exit 1; }

fail=0
expect() { # expect DESCRIPTION COUNT PATTERN: the DOM holds PATTERN (fixed text) COUNT times
    local n
    n=$(printf '%s' "$dom" | grep -oF -- "$3" | wc -l)
    if [ "$n" -ne "$2" ]; then echo "FAILED: $1: $n times, not $2: $3"; fail=1; else echo "ok: $1"; fi
}
expect "two failed rows" 2 '<tr class="failed">'
expect "one row not heard from" 1 '<tr class="silent">'
expect "one row up to date" 1 '<tr class="uptodate">'
expect "the title the page was given, not the script's" 1 '<title>QVS desktops</title>'
expect "the hostile computer name as text" 1 '<td>&lt;b id="pwn"&gt;PC&lt;/b&gt;</td>'
expect "no element of the report's" 0 '<b id="pwn">'
expect "the hostile reason as text" 1 "<td>&lt;script&gt;document.title='pwned'&lt;/script&gt;"
expect "no script at all" 0 '<script'
expect "the file named with markup as text" 1 '<li>&amp;lt;i&amp;gt;.qvsreport: '
# Worst first: the rows' classes in the order of the table.
order=$(printf '%s' "$dom" | grep -oE '<tr class="[a-z]+">' | sed 's/<tr class="\([a-z]*\)">/\1/' | paste -sd' ')
if [ "$order" = "failed failed silent uptodate" ]; then echo "ok: worst first"; else
    echo "FAILED: rows in the order: $order"; fail=1; fi
[ "$fail" -eq 0 ] && echo "the page: $page, its screenshot: $out_dir/report.png"
exit $fail
