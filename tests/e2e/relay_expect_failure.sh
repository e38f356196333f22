#!/usr/bin/env bash
# A relay through the reference slave that must fail: the host must end with
# status 1 and its standard error must match a pattern. With --kill-after S
# the slave is killed S seconds into the run; with --hold-connection a
# connection to the slave is opened (and held, silent) before the host starts.
#
# Usage: relay_expect_failure.sh SLAVE HOST PLUGIN PATTERN [--kill-after S] [--hold-connection]
#        [slave options] -- [host options]
set -uo pipefail
. "$(dirname "$0")/start-slave.sh"
slave_exe=$1 host_exe=$2 plugin=$3 pattern=$4
shift 4
kill_after=""
if [ "${1:-}" = "--kill-after" ]; then
  kill_after=$2
  shift 2
fi
hold=""
if [ "${1:-}" = "--hold-connection" ]; then
  hold=1
  shift
fi
slave_args=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  slave_args+=("$1")
  shift
done
[ $# -gt 0 ] && shift

slave=""
err=$(mktemp)
cleanup() {
  [ -n "$slave" ] && kill "$slave" 2>/dev/null && wait "$slave" 2>/dev/null
  rm -f "$err"
}
trap cleanup EXIT

start_slave relay_expect_failure "$slave_exe" "${slave_args[@]}" || exit 1

if [ -n "$hold" ]; then
  exec 3<>"/dev/tcp/127.0.0.1/$port"
  sleep 0.2
fi

"$host_exe" "$plugin" --host 127.0.0.1 --port "$port" --no-progress "$@" 2>"$err" &
host=$!
if [ -n "$kill_after" ]; then
  sleep "$kill_after"
  kill -KILL "$slave" 2>/dev/null
  wait "$slave" 2>/dev/null
  slave=""
fi
wait "$host"
status=$?
cat "$err" >&2
if [ "$status" -ne 1 ]; then
  echo "relay_expect_failure: tovik-host ended with status $status, not 1" >&2
  exit 1
fi
if ! grep -Eq -- "$pattern" "$err"; then
  echo "relay_expect_failure: no line of standard error matches: $pattern" >&2
  exit 1
fi
echo "relay_expect_failure: failed as it must"
