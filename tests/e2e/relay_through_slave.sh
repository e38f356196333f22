#!/usr/bin/env bash
# Relays through a plug-in and the reference slave on loopback, as the demo
# does: starts tovik-slave on a free port, runs tovik-host against it, stops the
# slave (it leaves when the plug-in closes; else by its process id) and exits
# with the host's status.
#
# Usage: relay_through_slave.sh SLAVE HOST PLUGIN [slave options] -- [host options]
set -uo pipefail
. "$(dirname "$0")/start-slave.sh"
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
start_slave relay_through_slave "$slave_exe" --exit-on-close "${slave_args[@]}" || exit 1

"$host_exe" "$plugin" --host 127.0.0.1 --port "$port" --no-progress "$@"
