#!/usr/bin/env bash
# The slave comes up after the host has started relaying: the plug-in's first
# attempt is refused, its idle retry (every 2 s) finds the slave, and from then
# on every block is answered. Exits with the host's status.
#
# Usage: relay_slave_late.sh SLAVE HOST PLUGIN [host options]
set -uo pipefail
slave_exe=$1 host_exe=$2 plugin=$3
shift 3

slave=""
host=""
cleanup() {
  [ -n "$host" ] && kill "$host" 2>/dev/null && wait "$host" 2>/dev/null
  [ -n "$slave" ] && kill "$slave" 2>/dev/null && wait "$slave" 2>/dev/null
}
trap cleanup EXIT

# A port that nothing holds: the slave refuses to start on a port in use, so a
# slave that starts and is stopped again has proved the port free.
port=""
for attempt in 1 2 3 4 5 6 7 8; do
  candidate=$((20000 + (RANDOM % 20000)))
  "$slave_exe" --port "$candidate" --quiet &
  probe=$!
  sleep 0.2
  if kill -0 "$probe" 2>/dev/null; then
    kill "$probe" 2>/dev/null
    wait "$probe" 2>/dev/null
    port=$candidate
    break
  fi
  wait "$probe" 2>/dev/null
done
if [ -z "$port" ]; then
  echo "relay_slave_late: no free port for tovik-slave" >&2
  exit 1
fi

"$host_exe" "$plugin" --host 127.0.0.1 --port "$port" --no-progress "$@" &
host=$!
sleep 0.5
"$slave_exe" --port "$port" --quiet &
slave=$!

wait "$host"
status=$?
host=""
exit "$status"
