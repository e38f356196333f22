# Sourced by the end-to-end scripts that play MIDI files.
#
# write_smf FILE TRACK: writes a Standard MIDI File of format 0, 480 ticks per
# quarter note, whose one track holds TRACK (printf escapes, e.g.
# '\x83\x60\x90\x3C\x64'; under 256 bytes).
# shellcheck shell=bash
write_smf() {
  local file=$1 track=$2 length
  length=$(printf "$track" | wc -c)
  {
    printf 'MThd\x00\x00\x00\x06\x00\x00\x00\x01\x01\xE0'
    printf 'MTrk\x00\x00\x00'
    printf "\\x$(printf %02x "$length")"
    printf "$track"
  } >"$file"
}

# check_events SCRIPT REPORT STATUS EXPECTED: prints tovik-host's REPORT (a
# --show-events run that ended with STATUS) and returns 1, saying why as
# SCRIPT, when the run failed or its "event:" lines are not EXPECTED.
check_events() {
  local script=$1 report=$2 status=$3 expected=$4 got
  cat "$report"
  if [ "$status" -ne 0 ]; then
    echo "$script: tovik-host ended with status $status" >&2
    return 1
  fi
  got=$(grep '^event: ' "$report")
  if [ "$got" != "$expected" ]; then
    echo "$script: the events that came back differ; expected:" >&2
    echo "$expected" >&2
    return 1
  fi
}
