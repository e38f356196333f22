#!/usr/bin/env bash
# A Standard MIDI File played into the instrument through the reference slave,
# which sends every event back: the host must get each note at the block and
# deltaFrames the file's tempo map puts it (48 kHz, blocks of 512).
#
# Usage: relay_midi_echo.sh SLAVE HOST PLUGIN WORKDIR
set -uo pipefail
. "$(dirname "$0")/start-slave.sh"
. "$(dirname "$0")/midi-file.sh"
slave_exe=$1 host_exe=$2 plugin=$3 work=$4
mkdir -p "$work"
mid="$work/notes.mid"
out=$(mktemp)
slave=""
cleanup() {
  [ -n "$slave" ] && kill "$slave" 2>/dev/null && wait "$slave" 2>/dev/null
  rm -f "$out"
}
trap cleanup EXIT

# Format 0, 480 ticks per quarter note. At 120 BPM: note on C4 at beat 1
# (0.5 s), its note off at 1.0 s; then 240 BPM: note on E4 480 ticks later
# (1.25 s) and, by running status, its note on of velocity 0 at 1.375 s.
track='\x00\xFF\x51\x03\x07\xA1\x20'
track+='\x83\x60\x90\x3C\x64'
track+='\x83\x60\x80\x3C\x40'
track+='\x00\xFF\x51\x03\x03\xD0\x90'
track+='\x83\x60\x90\x40\x50'
track+='\x81\x70\x40\x00'
track+='\x00\xFF\x2F\x00'
write_smf "$mid" "$track"

start_slave relay_midi_echo "$slave_exe" --echo-events || exit 1

"$host_exe" "$plugin" --host 127.0.0.1 --port "$port" --no-progress --sync --prec 4 --block 512 --rate 48000 \
  --midi "$mid" --show-events >"$out"
check_events relay_midi_echo "$out" $? 'event: block 46 delta 448 midi 90 3c 64
event: block 93 delta 384 midi 80 3c 40
event: block 117 delta 96 midi 90 40 50
event: block 128 delta 464 midi 90 40 00' || exit 1
grep -q '^midi: 4 of 4 events sent$' "$out" || { echo "relay_midi_echo: not every event was sent" >&2; exit 1; }
grep -q '^result: 223 blocks, 0 unanswered, pass$' "$out" || { echo "relay_midi_echo: the song's length is not 2.375 s" >&2; exit 1; }
echo "relay_midi_echo: every note came back at its block and frame"
