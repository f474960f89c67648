#!/bin/sh
# Builds the installation benchmarks with the "bench" preset and runs them.
#   bench/install/run.sh [bench|crash|power] [options]
#     bench [--runs N] [--size-mib N] [--small-files N] [--other-build EXE]
#                                          end-to-end updates against shell tools
#     crash [--runs N] [--payload-mib N]   SIGKILL at many moments, then check the target
#     power [options]                      power loss: crash states of recorded installs and recoveries
#                                          under both persistence models (tests/crash, --full)
set -eu
cd "$(dirname "$0")/../.."
which="${1:-bench}"
[ $# -gt 0 ] && shift
cmake --preset bench > /dev/null
case "$which" in
  bench) cmake --build build/bench --target kelvoma_install_bench -j2
         exec build/bench/bench/install/kelvoma_install_bench "$@" ;;
  crash) cmake --build build/bench --target kelvoma_install_crash -j2
         exec build/bench/bench/install/kelvoma_install_crash "$@" ;;
  power) cmake --build build/bench --target kelvoma_crash_explorer -j2
         exec build/bench/tests/crash/kelvoma_crash_explorer --full "$@" ;;
  *) echo "usage: $0 [bench|crash|power] [options]" >&2; exit 2 ;;
esac
