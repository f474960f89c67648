#!/bin/sh
# Builds the installation benchmarks with the "bench" preset and runs them.
#   bench/install/run.sh [bench|crash] [options]
#     bench [--runs N] [--size-mib N] [--small-files N] [--other-build EXE]
#                                          end-to-end updates against shell tools
#     crash [--runs N] [--payload-mib N]   SIGKILL at many moments, then check the target
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
  *) echo "usage: $0 [bench|crash] [options]" >&2; exit 2 ;;
esac
