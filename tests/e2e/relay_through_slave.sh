#!/usr/bin/env bash
# Relays through a plug-in and the reference slave on loopback, as the demo
# does: starts tovik-slave on a free port, runs tovik-host against it, stops the
# slave (it leaves when the plug-in closes; else by its process id) and exits
# with the host's status.
#
# Usage: relay_through_slave.sh SLAVE HOST PLUGIN [slave options] -- [host options]
set -uo pipefail
slave_exe=$1 host_exe=$2 plugin=$3
shift 3
slave_args=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  slave_args+=("$1")
  shift
done
[ $# -gt 0 ] && shift

slave=""
cleanup() { [ -n "$slave" ] && kill "$slave" 2>/dev/null && wait "$slave" 2>/dev/null; }
trap cleanup EXIT

# A port that nothing else holds: the slave refuses to start on a port in use.
for attempt in 1 2 3 4 5 6 7 8; do
  port=$((20000 + (RANDOM % 20000)))
  "$slave_exe" --port "$port" --quiet --exit-on-close "${slave_args[@]}" &
  slave=$!
  sleep 0.2
  kill -0 "$slave" 2>/dev/null && break
  wait "$slave" 2>/dev/null
  slave=""
done
if [ -z "$slave" ]; then
  echo "relay_through_slave: tovik-slave did not start" >&2
  exit 1
fi

"$host_exe" "$plugin" --host 127.0.0.1 --port "$port" --no-progress "$@"
