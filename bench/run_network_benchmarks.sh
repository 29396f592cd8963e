#!/usr/bin/env bash
# Builds the network benchmarks (Release, in build-bench/) and runs all four
# one after another (the accept rate once more with its clients on ::1),
# then prints a summary table. Arguments are passed to
# every benchmark, e.g. --log=discard or --runs=5.
# Run it on an otherwise idle machine: the figures are only as good as that.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BRINDLEWICK_BENCH_BUILD_DIR:-build-bench}
benchmarks=(bench_receive_throughput bench_accept_rate bench_idle_memory bench_send_file)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$build" -j2 "${benchmarks[@]}"

results=$(mktemp)
trap 'rm -f "$results"' EXIT

status=0
for benchmark in "${benchmarks[@]}"; do
    echo
    # Each benchmark has its own overall deadline; this one only backs it up.
    if ! timeout 900 "$build/bench/$benchmark" "$@" | tee -a "$results"; then
        echo "$benchmark failed" >&2
        status=1
    fi
done
echo
if ! timeout 900 "$build/bench/bench_accept_rate" --family=ipv6 "$@" | tee -a "$results"; then
    echo "bench_accept_rate --family=ipv6 failed" >&2
    status=1
fi

echo
echo "Summary (medians; baselines measured in the same run on this machine)"
awk '
    BEGIN { printf "%-30s %-18s %-30s %-7s %-8s %s\n", "benchmark", "Brindlewick", "baseline", "ratio", "goal", "status" }
    $1 == "RESULT" {
        for (i = 3; i <= 6; ++i) { split($i, kv, "="); value[kv[1]] = substr($i, length(kv[1]) + 2) }
        printf "%-30s %-18s %-30s %-7s %-8s %s\n", $2, value["ours"], value["baseline"], value["ratio"], value["goal"], $7
    }' "$results"
exit $status
