#!/usr/bin/env bash
# Configures and builds one flavour into its own directory.
# Usage: scripts/build.sh DIR [thread|address]
set -euo pipefail
dir=$1
sanitize=${2:-}
build_type=RelWithDebInfo
[ -n "$sanitize" ] && build_type=Debug
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" -DBRINDLEWICK_SANITIZE="$sanitize" >/dev/null
cmake --build "$dir"
