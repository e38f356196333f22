# Sourced by the end-to-end scripts. start_slave SCRIPT PROGRAM ARGS...:
# starts tovik-slave (PROGRAM) on a free port (it refuses a port in use, so up
# to eight ports are tried) and sets $port and $slave (its process id); on
# failure says so as SCRIPT and returns 1.
# shellcheck shell=bash
start_slave() {
  local script=$1 exe=$2 attempt
  shift 2
  for attempt in 1 2 3 4 5 6 7 8; do
    port=$((20000 + (RANDOM % 20000)))
    "$exe" --port "$port" --quiet "$@" &
    slave=$!
    sleep 0.2
    kill -0 "$slave" 2>/dev/null && return 0
    wait "$slave" 2>/dev/null
    slave=""
  done
  echo "$script: tovik-slave did not start" >&2
  return 1
}
