#!/usr/bin/env bash
# Builds the connection stall report (bench/ConnectStallReport.cpp) and runs
# it: how long a host's process calls take while the slave cannot be reached,
# for a host that sends no idle calls. A report, not a test: the figures are
# printed, the exit code only says whether every case could be set up.
#
#   scripts/connect-stall-report.sh [BUILD_DIR] [-- REPORT OPTIONS...]
#
# BUILD_DIR defaults to build-stall (configured with the benchmarks on).
# Report options: --calls N (10000), --max-seconds S (30), --no-pace,
# --period-us N (1000), and the cases to run (a b c c-down d e; default all).
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-2}

build=build-stall
if [[ $# -gt 0 && "$1" != "--" ]]; then
  build=$1
  shift
fi
[[ "${1:-}" == "--" ]] && shift

if [[ ! -f "$build/CMakeCache.txt" ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVIK_BUILD_BENCH=ON >/dev/null
fi
cmake --build "$build" -j "$JOBS" --target tovik_connect_stall_report >/dev/null

echo "source: $(git log -1 --format='%h %s' 2>/dev/null || echo unknown)"
echo "machine: $(uname -srm), $(nproc) cores"
exec "$build/bench/tovik_connect_stall_report" "$@"
