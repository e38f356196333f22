# Shared by the stage scripts that count their own checks (test-wine.sh,
# test-hosts.sh); sourced, not run. Before sourcing, set STAGE (the word their
# lines start with), SLAVE (tovik-slave's path) and START=$SECONDS.
# shellcheck shell=bash

passed=0
failed=0
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

# finish: the failed checks, the time taken and the closing count line; exits.
finish() {
  echo
  for f in "${failures[@]+"${failures[@]}"}"; do say "failed: $f"; done
  say "stage took $(elapsed)"
  echo "$STAGE: $passed passed, $failed failed"
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
  for i in $(seq 1 50); do
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
# run's folder, which holds the prefix) is removed.
use_wine_prefix() {
  export WINEPREFIX=$1
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
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
