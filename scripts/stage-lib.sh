# Shared by the stage scripts that count their own checks (test-wine.sh,
# test-hosts.sh); sourced, not run. Before sourcing, set STAGE (the word their
# lines start with), SLAVE (tovik-slave's path) and START=$SECONDS.
# shellcheck shell=bash

passed=0
failed=0
skipped=0
failures=()
PIDS=()  # background processes to stop on exit (stop_processes)

say() { echo "$STAGE: $*"; }
elapsed() { echo "$((SECONDS - START)) s"; }

# check NAME COMMAND...: one counted check.
check() {
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "  ok    $name"
  else
    failed=$((failed + 1))
    failures+=("$name")
    echo "  FAIL  $name"
    return 1
  fi
}

# ia32_check: sets NO_IA32 to the reason why this machine cannot run 32-bit x86
# programs, or to nothing when it can. A 64-bit kernel built or booted without
# IA32 emulation refuses every i386 program ("Exec format error"): Wine's
# 32-bit loader, and with it every 32-bit Windows program, and LMMS for i386.
# The probe runs a tiny static i386 program (exit status 42) and is bounded.
# TOVIK_ASSUME_NO_IA32=1 makes the stage behave as on such a machine.
ia32_check() {
  NO_IA32=
  if [ "${TOVIK_ASSUME_NO_IA32:-}" = 1 ]; then
    NO_IA32="32-bit x86 programs cannot run on this machine (TOVIK_ASSUME_NO_IA32=1)"
    return 0
  fi
  NO_IA32=$(timeout 20 python3 - <<'PROBE' 2>&1
import errno, os, struct, subprocess, tempfile
base = 0x08048000
# mov eax, 1 (exit); mov ebx, 42; int 0x80
code = bytes([0xB8, 1, 0, 0, 0, 0xBB, 42, 0, 0, 0, 0xCD, 0x80])
size = 52 + 32 + len(code)
header = struct.pack("<4s5B7xHHIIIIIHHHHHH", b"\x7fELF", 1, 1, 1, 0, 0, 2, 3, 1, base + 84, 52, 0, 0,
                     52, 32, 1, 0, 0, 0)
segment = struct.pack("<8I", 1, 0, base, base, size, size, 5, 0x1000)
fd, path = tempfile.mkstemp(prefix="tovik-ia32-")
try:
    os.write(fd, header + segment + code)
    os.close(fd)
    os.chmod(path, 0o700)
    try:
        rc = subprocess.run([path], timeout=10).returncode
    except OSError as e:
        if e.errno == errno.ENOEXEC:
            print('32-bit x86 programs cannot run on this machine: an i386 program fails with "Exec format error"'
                  " (kernel without IA32 emulation)")
        # Any other error (a temporary folder mounted noexec): the probe cannot tell; assume they run.
    except subprocess.TimeoutExpired:
        print("32-bit x86 programs cannot run on this machine: an i386 program did not end within 10 s")
    else:
        if rc != 42:
            print("32-bit x86 programs cannot run on this machine: an i386 program ended with status %d, not 42" % rc)
finally:
    os.unlink(path)
PROBE
  )
  return 0
}

# check32 NAME COMMAND...: a check that runs a 32-bit x86 program (ia32_check
# first). On a machine that cannot run one, the check is not run and counts as
# skipped, with the reason on its line and in the closing lines (the machine,
# not the code, decides it; a failure here would hold back every change on such
# a machine). TOVIK_REQUIRE_IA32=1 counts it as failed instead, for a CI that
# must run the 32-bit build. Returns non-zero then, like a failed check.
check32() {
  if [ -z "${NO_IA32:-}" ]; then
    check "$@"
    return
  fi
  local name=$1
  if [ "${TOVIK_REQUIRE_IA32:-}" = 1 ]; then
    failed=$((failed + 1))
    failures+=("$name (not run: no 32-bit x86)")
    echo "  FAIL  $name: not run, $NO_IA32"
  else
    skipped=$((skipped + 1))
    skipped32=$((${skipped32:-0} + 1))
    echo "  skip  $name: $NO_IA32"
  fi
  return 1
}

# finish: the failed checks, the time taken and the closing count line; exits.
finish() {
  echo
  for f in "${failures[@]+"${failures[@]}"}"; do say "failed: $f"; done
  if [ "${skipped32:-0}" -gt 0 ]; then
    say "NOT RUN: $skipped32 checks of the 32-bit build: $NO_IA32 (TOVIK_REQUIRE_IA32=1 fails them)"
  fi
  say "stage took $(elapsed)"
  if [ "$skipped" -gt 0 ]; then
    echo "$STAGE: $passed passed, $failed failed, $skipped skipped"
  else
    echo "$STAGE: $passed passed, $failed failed"
  fi
  [ "$failed" -eq 0 ] && exit 0
  exit 1
}

stop_processes() {
  local pid
  for pid in "${PIDS[@]+"${PIDS[@]}"}"; do kill "$pid" 2>/dev/null; done
  sleep 0.3
  for pid in "${PIDS[@]+"${PIDS[@]}"}"; do kill -9 "$pid" 2>/dev/null; done
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_slave VAR LOG ARGS...: starts tovik-slave in the background on a free
# loopback port, waits until it listens and stores the port in VAR.
start_slave() {
  local var=$1 log=$2 port i
  shift 2
  port=$(free_port)
  "$SLAVE" --port "$port" --bind 127.0.0.1 "$@" >"$log" 2>&1 &
  PIDS+=($!)
  # A slave that hosts plug-ins reads every installed LV2 bundle first.
  for i in $(seq 1 300); do
    if grep -q "listening" "$log"; then
      printf -v "$var" '%s' "$port"
      return 0
    fi
    sleep 0.1
  done
  say "tovik-slave did not start: $(cat "$log")"
  return 1
}

# require_installed SECONDS WHAT INSTALLER: runs the installer, bounded. When
# it fails, in CI the stage fails with one counted check; elsewhere the stage
# is reported as skipped and ends with exit 77.
require_installed() {
  local limit=$1 what=$2 installer=$3
  timeout "$limit" "$installer" && return 0
  if [ "${CI:-}" = true ]; then
    say "error: $what missing and could not be installed ($installer)"
    failed=$((failed + 1))
    failures+=("$what installed")
    finish
  fi
  say "skipped: $what not installed ($installer installs it as root)"
  exit 77
}

# use_wine_prefix DIR: the run's own Wine prefix, quiet, without Mono and
# Gecko, with no display until the stage starts one. On exit the background
# processes and every Wine process of the prefix are stopped and $WORK (the
# run's folder, which holds the prefix) is removed. $WINE is the Wine to run
# programs with (ia32_check first): Debian's "wine" starts every program, a
# 64-bit one too, through the 32-bit loader when that is installed, so on a
# machine that cannot run 32-bit programs the 64-bit loader runs them and
# makes a 64-bit prefix. wine-run.sh (ctest's Wine runs) takes it as TOVIK_WINE.
use_wine_prefix() {
  export WINEPREFIX=$1
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  WINE=wine
  if [ -n "${NO_IA32:-}" ]; then
    WINE=$(command -v wine64 || echo /usr/lib/wine/wine64)
    export WINEARCH=win64 WINELOADER=$WINE
  fi
  export TOVIK_WINE=$WINE
  # Debian keeps wineserver out of PATH.
  WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)
  unset DISPLAY
  trap stage_cleanup EXIT
  trap 'exit 130' INT TERM
}
stage_cleanup() {
  stop_processes
  if [ -d "$WINEPREFIX" ]; then timeout 20 "$WINESERVER" -k 2>/dev/null; fi
  rm -rf "$WORK"
}

# require_built FILE...: ends the stage with a failed check when a file the
# stage needs was not built.
require_built() {
  local f
  for f in "$@"; do
    if [ ! -f "$f" ]; then
      say "error: $f was not built; nothing more to check"
      failed=$((failed + 1))
      failures+=("$f built")
      finish
    fi
  done
}
