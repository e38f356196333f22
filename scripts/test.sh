#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds the Linux plug-ins,
# tools and tests, runs them, cross-builds both Windows DLLs, checks what
# every plug-in exports, builds plainly as a packager would (no preset, warnings
# not errors), runs the Windows builds under Wine and the plug-ins in real hosts
# (Ardour, LMMS). Ends with one line "N passed, N failed" (", N skipped" when a
# check could not run outside CI).
set -uo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}

passed=0
failed=0
skipped=0
stage() {  # stage NAME COMMAND...: runs one stage and counts it
  local name=$1; shift
  echo "=== $name"
  if "$@"; then passed=$((passed + 1)); else echo "*** stage failed: $name"; failed=$((failed + 1)); fi
}

scripts/install-deps.sh || { echo "error: could not install the build dependencies" >&2; exit 1; }

build_linux() { cmake --preset default >/dev/null && cmake --build --preset default -j "$JOBS"; }
stage "Linux build" build_linux

run_ctest() {
  local log
  log=$(mktemp)
  ctest --preset default -j "$JOBS" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  # Count the individual tests into the totals.
  local line
  line=$(grep -E "tests passed, [0-9]+ tests failed out of" "$log" | tail -1)
  if [ -n "$line" ]; then
    local total bad
    total=$(echo "$line" | sed -E 's/.* out of ([0-9]+).*/\1/')
    bad=$(echo "$line" | sed -E 's/.*, ([0-9]+) tests failed.*/\1/')
    passed=$((passed + total - bad))
    failed=$((failed + bad))
  else
    failed=$((failed + 1))
  fi
  rm -f "$log"
  return "$rc"
}
echo "=== Unit and end-to-end tests"
run_ctest || true

# What hosting a plug-in costs in tovik-slave: an LSP equaliser for 1, 8 and 32
# paced connections against a raw ping-pong of the same bytes. A report, not a
# timing check: the stage fails only when the benchmark cannot run.
stage "Hosting benchmark (report)" build/bench/tovik_bench_slave_hosting --blocks 150

# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer; the
# thread stress test under ThreadSanitizer; every fuzz target for a fixed
# number of inputs.
run_asan() {
  cmake --preset asan >/dev/null && cmake --build --preset asan -j "$JOBS" && ctest --preset asan -j "$JOBS"
}
run_tsan() { cmake --preset tsan >/dev/null && cmake --build --preset tsan -j "$JOBS" && ctest --preset tsan; }
stage "Unit and end-to-end tests under ASan and UBSan" run_asan
stage "Thread stress test and the LV2 worker under TSan" run_tsan
stage "Fuzz targets, 20000 inputs each" scripts/fuzz.sh --runs 20000

build_win64() { cmake --preset mingw64 >/dev/null && cmake --build --preset mingw64 -j "$JOBS"; }
build_win32() { cmake --preset mingw32 >/dev/null && cmake --build --preset mingw32 -j "$JOBS"; }
stage "Windows x86-64 build (Tovik.dll)" build_win64
stage "Windows i686 build (TovikI.dll)" build_win32
stage "Exports of the plug-ins" scripts/check-exports.sh build/plugins/Tovik.so build/plugins/TovikI.so \
  build-win64/plugins/Tovik.dll build-win32/plugins/TovikI.dll

# What a packager runs: no preset, the project's default options (warnings do
# not stop the build), Release flags (-O3, which shows warnings the presets'
# -O2 does not).
build_plain_release() {
  rm -rf build-release &&
    cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release >/dev/null &&
    cmake --build build-release -j "$JOBS"
}
stage "Plain Release builds" build_plain_release

# A stage script that counts its own checks ("PREFIX: N passed, N failed", with
# ", N skipped" when checks could not run): each check counts into the totals.
# Exit 77: skipped (outside CI only).
run_counted() {  # run_counted PREFIX NAME SCRIPT
  local prefix=$1 name=$2 script=$3 log rc line
  log=$(mktemp)
  "$script" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  line=$(grep -E "^$prefix: [0-9]+ passed, [0-9]+ failed(, [0-9]+ skipped)?$" "$log" | tail -1)
  rm -f "$log"
  if [ "$rc" -eq 77 ]; then
    echo "($name skipped: not installed)"
    return 0
  fi
  if [ -n "$line" ]; then
    passed=$((passed + $(echo "$line" | sed -E "s/^$prefix: ([0-9]+) passed.*/\1/")))
    failed=$((failed + $(echo "$line" | sed -E 's/.*, ([0-9]+) failed.*/\1/')))
    skipped=$((skipped + $(echo "$line" | sed -nE 's/.*, ([0-9]+) skipped$/\1/p' | grep . || echo 0)))
  fi
  if [ "$rc" -ne 0 ] && { [ -z "$line" ] || echo "$line" | grep -qE ", 0 failed(, [0-9]+ skipped)?$"; }; then
    echo "*** stage failed: $name (exit $rc)"
    failed=$((failed + 1))
  fi
}
echo "=== Windows builds under Wine"
run_counted wine "Windows builds under Wine" scripts/test-wine.sh

# The plug-ins in real hosts: Ardour 7 (Linux) and LMMS (i386, through Wine).
echo "=== Real hosts: Ardour and LMMS"
run_counted hosts "Real hosts" scripts/test-hosts.sh

echo
if [ "$skipped" -gt 0 ]; then
  echo "tests: $passed passed, $failed failed, $skipped skipped"
else
  echo "tests: $passed passed, $failed failed"
fi
[ "$failed" -eq 0 ]
