#!/usr/bin/env bash
# Runs the desktop benchmarks and prints one summary table.
#
#   bench/gui/run_gui_benchmarks.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build-bench (a Release build, see README.md).
# RUNS (default 3) is how many times each variant runs; the table shows the
# medians. Each benchmark ends by itself within its own deadline; with RUNS=3
# the flood takes about 5 minutes and the many-clients benchmark about 45 s.
set -euo pipefail

build_dir=${1:-build-bench}
runs=${RUNS:-3}
bench_dir="$build_dir/bench/gui"

for target in bench_gui_flood bench_gui_many_clients; do
    if [[ ! -x "$bench_dir/$target" ]]; then
        echo "missing $bench_dir/$target; build it first:" >&2
        echo "  cmake -S . -B $build_dir -G Ninja -DCMAKE_BUILD_TYPE=Release && ninja -C $build_dir bench_gui_flood bench_gui_many_clients" >&2
        exit 2
    fi
done

load=$(cut -d' ' -f1 /proc/loadavg)
echo "load average before the run: $load (on $(nproc) cores; timings need an idle machine)"

summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
status=0

for target in bench_gui_flood bench_gui_many_clients; do
    echo
    echo "=== $target --runs=$runs"
    output=$(mktemp)
    # The benchmark's own report goes to stdout; Qt's messages on stderr are dropped.
    if ! "$bench_dir/$target" --runs="$runs" 2>/dev/null | tee "$output"; then
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
