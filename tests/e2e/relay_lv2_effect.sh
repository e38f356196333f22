#!/usr/bin/env bash
# A file relayed through the effect and a slave running eg-amp at -6 dB must
# equal, sample for sample, what lv2apply makes of it with the same control
# (each channel alone: a mono plug-in runs once per channel). Float wire
# (precision 4), so nothing but the plug-in changes the samples.
#
# Usage: relay_lv2_effect.sh SLAVE HOST PLUGIN WORKDIR CHANNELS
set -uo pipefail
here=$(dirname "$0")
. "$here/start-slave.sh"
slave_exe=$1 host_exe=$2 plugin=$3 work=$4 channels=$5
amp=http://lv2plug.in/plugins/eg-amp
check="python3 $here/plugin_audio.py"
if ! command -v lv2apply >/dev/null; then
  echo "relay_lv2_effect: SKIPPED: lv2apply (lilv-utils) is not installed"
  exit 77
fi
if ! lv2info "$amp" >/dev/null 2>&1; then
  echo "relay_lv2_effect: SKIPPED: eg-amp (lv2-examples) is not installed"
  exit 77
fi
rm -rf "$work" && mkdir -p "$work"
slave=""
cleanup() { [ -n "$slave" ] && kill "$slave" 2>/dev/null && wait "$slave" 2>/dev/null; }
trap cleanup EXIT

# Half a second and 300 frames: the last block is shorter than the others.
$check signal "$work/in.wav" "$channels" 24300 48000 || exit 1
$check split "$work/in.wav" "$work/in" || exit 1
refs=""
for c in $(seq 1 "$channels"); do
  lv2apply -i "$work/in-$c.wav" -o "$work/ref-$c.wav" -c gain -6 "$amp" || {
    echo "relay_lv2_effect: lv2apply failed on channel $c" >&2
    exit 1
  }
  refs+="${refs:+,}$work/ref-$c.wav"
done

start_slave relay_lv2_effect "$slave_exe" --exit-on-close --plugin "$amp" --set gain=-6 || exit 1
"$host_exe" "$plugin" --host 127.0.0.1 --port "$port" --no-progress --sync --prec 4 --block 512 \
  --in "$work/in.wav" --out "$work/out.wav" || {
  echo "relay_lv2_effect: the relay failed" >&2
  exit 1
}
# lv2apply and the slave run the same plug-in code on the same floats: any
# difference beyond float rounding is a fault of the relay or the hosting.
$check same "$work/out.wav" "$refs" 1e-7
