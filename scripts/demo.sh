#!/usr/bin/env bash
# The demo relay: builds everything, starts the reference slave on loopback,
# relays a test signal (or the file given with --in) through Tovik.so with the
# command-line host, stops the slave and prints the report. Exits non-zero
# when the relayed audio does not match the input within the precision's
# quantisation.
#
# Usage: scripts/demo.sh [--in FILE.wav] [--out FILE.wav] [--prec 1..4] [--async] [--gain DB]
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}
BUILD=${BUILD:-build}

IN=""; OUT="build/demo-out.wav"; PREC=4; MODE=--sync; GAIN=0
while [ $# -gt 0 ]; do
  case "$1" in
    --in) IN=$2; shift 2 ;;
    --out) OUT=$2; shift 2 ;;
    --prec) PREC=$2; shift 2 ;;
    --async) MODE=--async; shift ;;
    --gain) GAIN=$2; shift 2 ;;
    -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$JOBS" >/dev/null

# A free port on loopback.
PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' 2>/dev/null || echo 19284)
"$BUILD"/tools/slave/tovik-slave --port "$PORT" --gain "$GAIN" &
SLAVE=$!
trap 'kill "$SLAVE" 2>/dev/null || true' EXIT
sleep 0.3

args=("$BUILD"/plugins/Tovik.so --host 127.0.0.1 --port "$PORT" --prec "$PREC" "$MODE" --out "$OUT"
      --expect-gain "$GAIN")
[ -n "$IN" ] && args+=(--in "$IN")
set +e
"$BUILD"/tools/host/tovik-host "${args[@]}"
rc=$?
set -e
kill -INT "$SLAVE" 2>/dev/null || true
wait "$SLAVE" 2>/dev/null || true
trap - EXIT
exit $rc
