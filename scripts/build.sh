#!/usr/bin/env bash
# Configures and builds one flavour into its own directory.
# Usage: scripts/build.sh DIR [thread|address]
set -euo pipefail
dir=$1
sanitize=${2:-}
build_type=RelWithDebInfo
benchmarks=ON
if [ -n "$sanitize" ]; then
    build_type=Debug
    benchmarks=OFF
fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" -DBRINDLEWICK_SANITIZE="$sanitize" \
    -DBRINDLEWICK_BUILD_BENCHMARKS="$benchmarks" >/dev/null
cmake --build "$dir"
