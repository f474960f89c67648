#!/bin/sh
# Builds the fetch benchmark with the "bench" preset and runs it.
#   bench/fetch/run.sh [--runs N] [--check-runs N]
set -eu
cd "$(dirname "$0")/../.."
cmake --preset bench > /dev/null
cmake --build build/bench --target kelvoma_fetch_bench -j2
exec build/bench/bench/fetch/kelvoma_fetch_bench "$@"
