#!/usr/bin/env bash
# Runs one CTest test so that nothing it starts outlives it, and nothing it starts
# holds CTest's output.
#   guard.sh SECONDS COMMAND [ARG...]
#
# Under Wine every program a test starts inherits the Unix files of the process
# that started it, whatever its Windows handles say, and a program killed while it
# starts another can leave that one half-made, waiting for ever: a stand-in client
# stuck so kept CTest's output pipe open and hung the whole test command. So:
# - the test writes into a file of its own, never into CTest's pipe, and the file
#   is printed once the test has ended;
# - every process the test starts carries a mark in its environment, which Wine
#   hands on to every program started below it; when the test ends, or after
#   SECONDS, every process with the mark is ended, and the guard says which.
# Wine's own services (started on demand by whichever program needed them first)
# serve every test of the prefix and are never ended here.
set -u
seconds=$1
shift
mark="QVS_TEST_GUARD=$$-$(date +%s%N)"
out=$(mktemp "${TMPDIR:-/tmp}/qvs-test-out.XXXXXX")

marked() { # the pids and commands of the processes that carry the mark, but Wine's services
    local env pid cmd
    for env in $(grep -lsxzF "$mark" /proc/[0-9]*/environ); do
        pid=${env#/proc/}
        pid=${pid%/environ}
        cmd=$({ tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null)
        case "$cmd" in
            *wineserver* | *services.exe* | *winedevice.exe* | *plugplay.exe* | *svchost.exe* | \
                *rpcss.exe* | *explorer.exe* | "") continue ;;
        esac
        printf '%s\t%s\n' "$pid" "$cmd"
    done
}

deadline=$((SECONDS + seconds))
lost=""
for try in 1 2 3; do
    began=$SECONDS
    env "$mark" "$@" >"$out" 2>&1 </dev/null &
    test_pid=$!
    while kill -0 "$test_pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do
        sleep 0.2
    done
    late=0
    if kill -0 "$test_pid" 2>/dev/null; then
        late=1
        kill -9 "$test_pid" 2>/dev/null
    fi
    wait "$test_pid"
    status=$?
    # Wine now and then loses a program while it starts, when several start at
    # once: it ends at once, having printed nothing (a test program prints its
    # filter first). No test ran; the program is started again, and the guard
    # says so below.
    if [ "$status" -eq 0 ] || [ "$late" = 1 ] || [ -s "$out" ] || [ $((SECONDS - began)) -gt 5 ]; then
        break
    fi
    lost="$lost $status"
done

# What the test left running is ended; a process half-made by Wine may need a
# moment to go once it is killed.
left=$(marked)
if [ -n "$left" ]; then
    printf '%s\n' "$left" | cut -f1 | xargs -r kill -9 2>/dev/null
    for _ in $(seq 50); do
        [ -z "$(marked)" ] && break
        sleep 0.1
    done
fi
cat "$out"
rm -f "$out"
if [ -n "$lost" ]; then
    echo "guard: the test program ended at once with nothing printed (exit code$lost), as Wine"
    echo "guard: now and then makes a program it is starting end; it was started again"
fi
if [ -n "$left" ]; then
    echo "guard: ended what the test left running:"
    printf '%s\n' "$left" | sed 's/^/guard:   /'
fi
if [ "$late" = 1 ]; then
    echo "guard: the test did not end within $seconds s and was ended"
    exit 1
fi
exit "$status"
