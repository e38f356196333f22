#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds the Linux plug-ins,
# tools and tests, runs them, cross-builds both Windows DLLs, checks what
# every plug-in exports, runs the Windows builds under Wine and the plug-ins in
# real hosts (Ardour, LMMS). Ends with one
# line "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}

passed=0
failed=0
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

# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer; the
# thread stress test under ThreadSanitizer; every fuzz target for a fixed
# number of inputs.
run_asan() {
  cmake --preset asan >/dev/null && cmake --build --preset asan -j "$JOBS" && ctest --preset asan -j "$JOBS"
}
run_tsan() { cmake --preset tsan >/dev/null && cmake --build --preset tsan -j "$JOBS" && ctest --preset tsan; }
stage "Unit and end-to-end tests under ASan and UBSan" run_asan
stage "Thread stress test under TSan" run_tsan
stage "Fuzz targets, 20000 inputs each" scripts/fuzz.sh --runs 20000

build_win64() { cmake --preset mingw64 >/dev/null && cmake --build --preset mingw64 -j "$JOBS"; }
build_win32() { cmake --preset mingw32 >/dev/null && cmake --build --preset mingw32 -j "$JOBS"; }
stage "Windows x86-64 build (Tovik.dll)" build_win64
stage "Windows i686 build (TovikI.dll)" build_win32
stage "Exports of the plug-ins" scripts/check-exports.sh build/plugins/Tovik.so build/plugins/TovikI.so \
  build-win64/plugins/Tovik.dll build-win32/plugins/TovikI.dll

# A stage script that counts its own checks ("PREFIX: N passed, N failed"):
# each check counts into the totals. Exit 77: skipped (outside CI only).
run_counted() {  # run_counted PREFIX NAME SCRIPT
  local prefix=$1 name=$2 script=$3 log rc line
  log=$(mktemp)
  "$script" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  line=$(grep -E "^$prefix: [0-9]+ passed, [0-9]+ failed$" "$log" | tail -1)
  rm -f "$log"
  if [ "$rc" -eq 77 ]; then
    echo "($name skipped: not installed)"
    return 0
  fi
  if [ -n "$line" ]; then
    passed=$((passed + $(echo "$line" | sed -E "s/^$prefix: ([0-9]+) passed.*/\1/")))
    failed=$((failed + $(echo "$line" | sed -E 's/.*, ([0-9]+) failed$/\1/')))
  fi
  if [ "$rc" -ne 0 ] && { [ -z "$line" ] || echo "$line" | grep -q ", 0 failed$"; }; then
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
echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
