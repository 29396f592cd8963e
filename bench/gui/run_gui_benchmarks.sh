#!/usr/bin/env bash
# Runs the desktop benchmarks and prints one summary table.
#
#   bench/gui/run_gui_benchmarks.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build-bench (a Release build, see README.md).
# RUNS (default 3) is how many times each variant runs; the table shows the
# medians. CLIENT_SECONDS (default 20) is how long the 8 clients of
# bench_gui_stream flood. Each benchmark ends by itself within its own
# deadline; with RUNS=3 the flood takes about 5 minutes, its long-line variant
# about a minute, the many-clients benchmark (both views) about 45 s and bench_gui_stream
# about 3 minutes, bench_gui_rules about a minute.
set -euo pipefail

build_dir=${1:-build-bench}
runs=${RUNS:-3}
client_seconds=${CLIENT_SECONDS:-20}
bench_dir="$build_dir/bench/gui"
targets=(bench_gui_flood bench_gui_many_clients bench_gui_stream bench_gui_rules)

for target in "${targets[@]}"; do
    if [[ ! -x "$bench_dir/$target" ]]; then
        echo "missing $bench_dir/$target; build it first:" >&2
        echo "  cmake -S . -B $build_dir -G Ninja -DCMAKE_BUILD_TYPE=Release && ninja -C $build_dir gui_benchmarks" >&2
        exit 2
    fi
done

load=$(cut -d' ' -f1 /proc/loadavg)
echo "load average before the run: $load (on $(nproc) cores; timings need an idle machine)"

summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
status=0

# Each entry: the program and its options.
runs_to_do=(
    "bench_gui_flood"
    "bench_gui_flood --long-lines"
    "bench_gui_many_clients"
    "bench_gui_stream --client-seconds=$client_seconds"
    "bench_gui_rules"
)
for entry in "${runs_to_do[@]}"; do
    read -r -a command <<<"$entry"
    echo
    echo "=== $entry --runs=$runs"
    output=$(mktemp)
    # The benchmark's own report goes to stdout; Qt's messages on stderr are dropped.
    if ! "$bench_dir/${command[0]}" "${command[@]:1}" --runs="$runs" 2>/dev/null | tee "$output"; then
        status=1
    fi
    grep '^SUMMARY' "$output" | cut -f2- >>"$summary" || true
    rm -f "$output"
done

echo
echo "=== Summary (medians of $runs run(s); baseline measured in the same run)"
{
    printf 'benchmark\tmetric\tvalue\tbaseline\tratio\tgoal\tverdict\n'
    cat "$summary"
} | column -t -s $'\t'
exit $status
