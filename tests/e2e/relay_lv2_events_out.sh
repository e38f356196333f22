#!/usr/bin/env bash
# Events a hosted plug-in sends come back through the relay: a MIDI file
# played through TovikI into a slave running eg-fifths (lv2-examples), which
# sends every note on and off it gets together with the same note a fifth
# higher, at the same frame. The host must receive all four, in that order,
# at the blocks and deltaFrames of the file's notes.
#
# Usage: relay_lv2_events_out.sh SLAVE HOST PLUGIN WORKDIR
set -uo pipefail
here=$(dirname "$0")
. "$here/start-slave.sh"
. "$here/midi-file.sh"
slave_exe=$1 host_exe=$2 plugin=$3 work=$4
fifths=http://lv2plug.in/plugins/eg-fifths
if ! lv2info "$fifths" >/dev/null 2>&1; then
  echo "relay_lv2_events_out: SKIPPED: eg-fifths (lv2-examples) is not installed"
  exit 77
fi
rm -rf "$work" && mkdir -p "$work"
mid="$work/c4.mid"
slave=""
cleanup() { [ -n "$slave" ] && kill "$slave" 2>/dev/null && wait "$slave" 2>/dev/null; }
trap cleanup EXIT

# At the default 120 BPM: C4 on at 0.5 s (frame 24000: block 46, delta 448),
# off at 1.0 s (frame 48000: block 93, delta 384).
write_smf "$mid" '\x83\x60\x90\x3C\x64\x83\x60\x80\x3C\x40\x00\xFF\x2F\x00'

start_slave relay_lv2_events_out "$slave_exe" --exit-on-close --plugin "$fifths" || exit 1
"$host_exe" "$plugin" --host 127.0.0.1 --port "$port" --no-progress --sync --prec 4 --block 512 --rate 48000 \
  --channels 2 --midi "$mid" --show-events >"$work/report.txt"
check_events relay_lv2_events_out "$work/report.txt" $? 'event: block 46 delta 448 midi 90 3c 64
event: block 46 delta 448 midi 90 43 64
event: block 93 delta 384 midi 80 3c 40
event: block 93 delta 384 midi 80 43 40' || exit 1
echo "relay_lv2_events_out: both notes and their fifths came back in order at their frames"
