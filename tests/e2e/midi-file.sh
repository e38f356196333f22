# Sourced by the end-to-end scripts. write_smf FILE TRACK: writes a Standard
# MIDI File of format 0, 480 ticks per quarter note, whose one track holds
# TRACK (printf escapes, e.g. '\x83\x60\x90\x3C\x64'; under 256 bytes).
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
