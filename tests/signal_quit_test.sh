#!/usr/bin/env bash
# Starts the real program headless and ends it with a signal: it must end as
# Quit ends it, with exit code 0, the shutdown lines in their order and its
# settings written.
# Usage: signal_quit_test.sh PROGRAM SIGNAL...
set -uo pipefail
program=$1
shift

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export QT_QPA_PLATFORM=offscreen
export XDG_CONFIG_HOME=$scratch/config
export XDG_RUNTIME_DIR=$scratch/runtime
mkdir -p "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

expected_order=(
    "Quitting on signal"
    "closing all sessions..."
    "sessions closed."
    "shutting down core..."
    "Shutting down Server finished."
    "shutting down core finished."
    "saving settings..."
    "settings saved..."
)

# Waits up to $2 seconds for a line starting with $1 in $3.
wait_for_line() {
    local deadline=$((SECONDS + $2))
    while ((SECONDS < deadline)); do
        grep -q "^$1" "$3" && return 0
        sleep 0.05
    done
    return 1
}

failures=0
fail() {
    echo "FAIL ($signal): $*"
    failures=$((failures + 1))
}

for signal in "$@"; do
    output=$scratch/$signal.out
    rm -rf "$XDG_CONFIG_HOME"
    "$program" >"$output" 2>"$scratch/$signal.err" &
    pid=$!
    if ! wait_for_line "Finish registering signals." 60 "$output"; then
        fail "the program did not start"
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        continue
    fi
    kill -s "$signal" "$pid"
    # Bounded: a program that does not end is killed and fails the test.
    deadline=$((SECONDS + 60))
    while kill -0 "$pid" 2>/dev/null && ((SECONDS < deadline)); do
        sleep 0.05
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid"
    status=$?
    [ "$status" -eq 0 ] || fail "exit code $status"

    previous=0
    for line in "${expected_order[@]}"; do
        number=$(grep -n -m1 "^$line" "$output" | cut -d: -f1)
        if [ -z "$number" ] || [ "$number" -le "$previous" ]; then
            fail "\"$line\" missing or out of order"
            break
        fi
        previous=$number
    done
    conf=$XDG_CONFIG_HOME/Brindlewick/Brindlewick.conf
    grep -q "^listenPort=" "$conf" 2>/dev/null || fail "settings not written to $conf"
    if ((failures > 0)); then
        echo "--- output"; cat "$output"; echo "--- errors"; cat "$scratch/$signal.err"
    fi
done

echo "$# signals tried, $failures failures"
((failures == 0))
