#!/usr/bin/env bash
# Installs what is needed, then builds and runs every test three times: a plain
# build, under ThreadSanitizer, and under AddressSanitizer with UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

export QT_QPA_PLATFORM=offscreen
# Tests keep their settings in a scratch folder, never in the user's.
export XDG_CONFIG_HOME
XDG_CONFIG_HOME=$(mktemp -d)
export XDG_RUNTIME_DIR
XDG_RUNTIME_DIR=$(mktemp -d)
trap 'rm -rf "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"' EXIT

run_suite() {
    local dir=$1 sanitize=${2:-}
    echo "=== tests: ${sanitize:-plain} build ==="
    scripts/build.sh "$dir" "$sanitize"
    ctest --test-dir "$dir" --output-on-failure --timeout 300 -j2
}

run_suite build
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 history_size=7 suppressions=$PWD/tests/tsan.supp" \
    run_suite build-tsan thread
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" \
    run_suite build-asan address
