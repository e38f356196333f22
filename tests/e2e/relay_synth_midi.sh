#!/usr/bin/env bash
# The instrument as a synthesizer from the command line: a Standard MIDI File
# played into TovikI, relayed to a slave running mda-lv2's EPiano. The output
# must be silent before the note-on, start at its frame, sound during the
# note, be silent again after the release, and the note's fundamental must be
# within 5 cents of A4's 440 Hz.
#
# Usage: relay_synth_midi.sh SLAVE HOST PLUGIN WORKDIR
set -uo pipefail
here=$(dirname "$0")
. "$here/start-slave.sh"
. "$here/midi-file.sh"
slave_exe=$1 host_exe=$2 plugin=$3 work=$4
piano=http://drobilla.net/plugins/mda/EPiano
if ! lv2info "$piano" >/dev/null 2>&1; then
  echo "relay_synth_midi: SKIPPED: the mda EPiano (mda-lv2) is not installed"
  exit 77
fi
rm -rf "$work" && mkdir -p "$work"
mid="$work/a4.mid"
slave=""
cleanup() { [ -n "$slave" ] && kill "$slave" 2>/dev/null && wait "$slave" 2>/dev/null; }
trap cleanup EXIT

# Format 0, 480 ticks per quarter note at the default 120 BPM: A4 (note 69) on
# at beat 1 (0.5 s, frame 24000), off at 1.0 s (frame 48000), the end of the
# track at 3.0 s; the host plays the song and one second more (4 s).
track='\x83\x60\x90\x45\x64'
track+='\x83\x60\x80\x45\x40'
track+='\x8F\x00\xFF\x2F\x00'
write_smf "$mid" "$track"

start_slave relay_synth_midi "$slave_exe" --exit-on-close --plugin "$piano" || exit 1
"$host_exe" "$plugin" --host 127.0.0.1 --port "$port" --no-progress --sync --prec 4 --block 512 --rate 48000 \
  --channels 2 --midi "$mid" --out "$work/out.wav" || {
  echo "relay_synth_midi: the relay failed" >&2
  exit 1
}
python3 "$here/plugin_audio.py" note "$work/out.wav" 48000 24000 48000 440 5
