#!/usr/bin/env bash
# Builds the fuzz targets (preset "fuzz": clang, libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each of them from its seed corpus.
#
#   scripts/fuzz.sh            each target for 60 seconds
#   scripts/fuzz.sh 600        each target for 600 seconds
#   scripts/fuzz.sh --runs N   each target for N inputs (what scripts/test.sh runs)
#
# New inputs go to build-fuzz/corpus/<target>; a crashing input is kept in
# build-fuzz/crashes/<target>/ and makes the script exit non-zero. Ends with
# one line per target (inputs run, crashes) and "fuzz: N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}

limit=(-max_total_time=60)
case "${1:-}" in
  "") ;;
  --runs)
    [[ "${2:-}" =~ ^[0-9]+$ ]] || { echo "usage: scripts/fuzz.sh [SECONDS | --runs N]" >&2; exit 2; }
    # A fixed number of inputs, and a time cap so that a slow machine still ends.
    limit=(-runs="$2" -max_total_time=300) ;;
  *)
    [[ "$1" =~ ^[0-9]+$ ]] || { echo "usage: scripts/fuzz.sh [SECONDS | --runs N]" >&2; exit 2; }
    limit=(-max_total_time="$1") ;;
esac

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is missing (scripts/install-deps.sh installs it)" >&2
  exit 1
fi
cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j "$JOBS" || { echo "fuzz: build failed" >&2; exit 1; }

TARGETS=(fuzz_wait fuzz_event_walk fuzz_set_chunk fuzz_string2parameter fuzz_user_store fuzz_slave_reader)
passed=0
failed=0
summary=()
for target in "${TARGETS[@]}"; do
  work=build-fuzz/corpus/$target
  crashes=build-fuzz/crashes/$target
  mkdir -p "$work" "$crashes"
  log=build-fuzz/$target.log
  echo "=== $target"
  # New inputs are written to the first folder; the seeds in the repository stay as they are.
  build-fuzz/fuzz/$target "$work" "fuzz/corpus/$target" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$crashes/" >"$log" 2>&1
  rc=$?
  runs=$(grep -E "^stat::number_of_executed_units:" "$log" | tail -1 | awk '{print $2}')
  found=$(find "$crashes" -type f | wc -l)
  if [ "$rc" -eq 0 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    tail -40 "$log"
  fi
  summary+=("$target: ${runs:-0} inputs, exit $rc, crash files kept: $found")
done
echo
printf '%s\n' "${summary[@]}"
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
