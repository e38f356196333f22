#!/usr/bin/env bash
# The plug-ins in real hosts from Debian's archive, headless:
#   Ardour 7 (Linux, Tovik.so / TovikI.so)
#     - its VST scanner reports name, vendor, category, channel counts and
#       "can process replacing" of both builds (and writes the cache that
#       Ardour reads: Ardour never scans by itself, so every run scans anew);
#       a slave running during the scans is left running;
#     - ardour7-lua builds a session on the dummy backend's "Sine Wave" device:
#       a track with Tovik.so relays through a tovik-slave running the LV2
#       plug-in eg-amp at -6 dB, and the track's meter after its fader reads
#       6 dB below its input;
#     - the saved session keeps the plug-in's chunk; ardour7-export renders it
#       offline and ardour7-lua loads and plays it again, both with the
#       environment pointing at a second slave (-12 dB): the level shows that
#       the restored chunk, not the environment, chose the slave;
#   LMMS for i386 (Wine, TovikI.dll)
#     - `lmms render` of a TripleOscillator tone with TovikI.dll in the track's
#       effect chain, relayed through tovik-slave --gain -6: the render is the
#       plain tone's render 6 dB down, every frame of it.
# Every host run is bounded in time. On a machine that cannot run 32-bit x86
# programs (a kernel without IA32 emulation, or TOVIK_ASSUME_NO_IA32=1) the
# Ardour checks run and each LMMS check is reported, with the reason, as skipped
# (as failed with TOVIK_REQUIRE_IA32=1). Ends with one line
# "hosts: N passed, N failed"; exits non-zero when a check failed or a host is
# missing (outside CI a host that cannot be installed is reported as skipped,
# exit 77). Logs and rendered files go to build/tests/artifacts/hosts.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-2}
[ "$JOBS" -gt 2 ] && JOBS=2
START=$SECONDS

SO_EFFECT=$ROOT/build/plugins/Tovik.so
SO_INSTRUMENT=$ROOT/build/plugins/TovikI.so
DLL32=$ROOT/build-win32/plugins/TovikI.dll
SLAVE=$ROOT/build/tools/slave/tovik-slave
LEVELS=$ROOT/tests/hosts/levels.py
ARTIFACTS=$ROOT/build/tests/artifacts/hosts
SCANNER=/usr/lib/ardour7/ardour-vst-scanner
GAIN=-6      # the slave the plug-ins are pointed at
DECOY=-12    # the slave only the environment names
TOL=0.05     # dB

STAGE=hosts
# shellcheck source=scripts/stage-lib.sh
. scripts/stage-lib.sh

# --- The hosts ------------------------------------------------------------------------------

require_installed 2400 "Ardour, LMMS or Wine" scripts/install-hosts.sh
ia32_check
[ -z "$NO_IA32" ] || say "$NO_IA32: LMMS (i386) is not run"

# --- Processes and files of this run --------------------------------------------------------

WORK=$(mktemp -d /tmp/tovik-hosts.XXXXXX)
export HOME=$WORK/home  # Ardour's and LMMS's settings, the scanner's cache, our per-user store
mkdir -p "$HOME"
export TOVIK_HOST=127.0.0.1
# LMMS's VST server outlives an LMMS stopped by its time bound: the clean-up
# on exit stops every Wine process of the prefix.
use_wine_prefix "$WORK/wine"

rm -rf "$ARTIFACTS"
mkdir -p "$ARTIFACTS"

# blocks_relayed LOG: the number of blocks the slave processed on its connections so far.
blocks_relayed() {
  sed -nE 's/.*connection [0-9]+ from .*, ([0-9]+) blocks,.*/\1/p' "$1" | awk '{s += $1} END {print s + 0}'
}

# --- Builds -----------------------------------------------------------------------------------

if [ ! -f "$SO_EFFECT" ] || [ ! -f "$SO_INSTRUMENT" ] || [ ! -x "$SLAVE" ]; then
  say "building the Linux plug-ins and tovik-slave ($(elapsed))"
  check "Linux build: Tovik.so, TovikI.so, tovik-slave" bash -c "cmake --preset default >/dev/null &&
    cmake --build --preset default -j $JOBS --target Tovik TovikI tovik-slave >$ARTIFACTS/build-linux.log 2>&1"
fi
if [ ! -f "$DLL32" ]; then
  say "building TovikI.dll ($(elapsed))"
  check "i686 build: TovikI.dll" bash -c "cmake --preset mingw32 >/dev/null &&
    cmake --build --preset mingw32 -j $JOBS >$ARTIFACTS/build-win32.log 2>&1"
fi
require_built "$SO_EFFECT" "$SO_INSTRUMENT" "$DLL32" "$SLAVE"

# --- Ardour: the VST scanner ------------------------------------------------------------------

# scan PLUGIN LOG ATTRIBUTE...: scans one plug-in (writing Ardour's cache) and
# checks the scanner's report for every attribute, e.g. name="Tovik".
scan() {
  local plugin=$1 log=$2 attr
  shift 2
  LD_LIBRARY_PATH=/usr/lib/ardour7 timeout -k 5 60 "$SCANNER" -f -v "$plugin" >"$log" 2>&1
  local rc=$?
  sed 's/^/    /' "$log"
  [ $rc -eq 0 ] || { say "the scanner exited with $rc"; return 1; }
  for attr in "$@"; do
    grep -q "<VST2Info .*$attr" "$log" || { say "the scanner did not report $attr"; return 1; }
  done
}
say "Ardour's VST scanner ($(elapsed))"
# A slave is running while the plug-ins are scanned, and the scanned
# instances' dialog connects to it: the scan must leave it running.
start_slave PORT_S "$ARTIFACTS/scan-slave.log" --exit-on-close || finish
SCAN_SLAVE=${PIDS[-1]}
export TOVIK_PORT=$PORT_S
check "Ardour scanner: Tovik.so is the effect Tovik by Kestrane, 2 in, 2 out, process replacing" \
  scan "$SO_EFFECT" "$ARTIFACTS/scan-Tovik.log" 'id="1416590955"' 'name="Tovik"' 'creator="Kestrane"' \
  'category="Unknown"' 'n_inputs="2"' 'n_outputs="2"' 'is_instrument="0"' 'can_process_replace="1"'
check "Ardour scanner: TovikI.so is the instrument Tovik VSTi by Kestrane, 2 in, 2 out, process replacing" \
  scan "$SO_INSTRUMENT" "$ARTIFACTS/scan-TovikI.log" 'id="1416590921"' 'name="Tovik VSTi"' \
  'creator="Kestrane"' 'category="Instrument"' 'n_inputs="2"' 'n_outputs="2"' 'is_instrument="1"' \
  'can_process_replace="1"'
unset TOVIK_PORT
slave_still_runs() {
  sed -n 's/^tovik-slave: connection/    connection/p' "$ARTIFACTS/scan-slave.log"
  kill -0 "$SCAN_SLAVE" 2>/dev/null || { say "the scan told the slave to terminate"; return 1; }
}
check "Ardour scanner: the scans leave a running slave running (no msgClose)" slave_still_runs

# --- Ardour: a headless session ---------------------------------------------------------------

SESSION=$WORK/ardour-session
export SESSION_DIR=$SESSION SESSION_NAME=relay
export LXVST_PATH=$ROOT/build/plugins
# The slave runs a real LV2 plug-in (eg-amp, mono: one instance per channel).
start_slave PORT_A "$ARTIFACTS/ardour-slave.log" --plugin http://lv2plug.in/plugins/eg-amp --set "gain=$GAIN" ||
  finish
start_slave PORT_B "$ARTIFACTS/ardour-decoy.log" --gain "$DECOY" || finish

# lua LOG SCRIPT: one bounded ardour7-lua run; its output without Ardour's chatter.
lua() {
  timeout -k 5 120 ardour7-lua "$2" >"$1" 2>&1
  local rc=$?
  grep -E "^(meter|regions|saved|plugin|ardour: )" "$1" | sed 's/^/    /'
  [ $rc -eq 0 ] || say "ardour7-lua exited with $rc (log: $1)"
  return $rc
}

# near A B WANT: A - B is WANT within the tolerance.
near() { python3 -c "import sys; sys.exit(0 if abs(($1) - ($2) - ($3)) <= $TOL else 1)"; }

meters_show_the_gain() {  # the track's input and post-fader meters differ by the slave's gain
  local log=$1 in_l in_r out_l out_r
  read -r in_l in_r < <(sed -nE 's/^meter input (\S+) (\S+)$/\1 \2/p' "$log")
  read -r out_l out_r < <(sed -nE 's/^meter post-fader (\S+) (\S+)$/\1 \2/p' "$log")
  [ -n "${in_l:-}" ] && [ -n "${out_l:-}" ] || { say "no meter readings"; return 1; }
  say "meter at the input $in_l / $in_r dBFS, after the fader $out_l / $out_r dBFS"
  python3 -c "import sys; sys.exit(0 if $in_l > -40 and $in_r > -40 else 1)" || { say "no input signal"; return 1; }
  near "$out_l" "$in_l" "$GAIN" && near "$out_r" "$in_r" "$GAIN"
}

make_session() {
  TOVIK_PORT=$PORT_A lua "$ARTIFACTS/ardour-make.log" tests/hosts/ardour/make_session.lua &&
    grep -q "^saved" "$ARTIFACTS/ardour-make.log" && grep -q "^regions 1" "$ARTIFACTS/ardour-make.log" &&
    meters_show_the_gain "$ARTIFACTS/ardour-make.log"
}
say "Ardour session, Tovik.so relaying to the slave on port $PORT_A ($(elapsed))"
if check "Ardour: Tovik.so on a track relays; the meter reads $GAIN dB after the plug-in" make_session; then
  chunk_names_the_slave() {
    python3 "$LEVELS" chunk "$SESSION/relay.ardour" >"$ARTIFACTS/ardour-chunk.txt" || return 1
    sed 's/^/    /' "$ARTIFACTS/ardour-chunk.txt"
    grep -qx "Host=127.0.0.1" "$ARTIFACTS/ardour-chunk.txt" && grep -qx "Port=$PORT_A" "$ARTIFACTS/ardour-chunk.txt"
  }
  check "Ardour: the saved session holds the plug-in's chunk with Host and Port" chunk_names_the_slave

  TAKES=$(find "$SESSION/interchange" -name 'Take1_relay-1%L.wav' | head -1)
  TAKES="$TAKES,${TAKES%\%L.wav}%R.wav"
  export_session() {
    local before
    before=$(blocks_relayed "$ARTIFACTS/ardour-slave.log")
    TOVIK_PORT=$PORT_B timeout -k 5 180 ardour7-export -b float -o "$ARTIFACTS/ardour-export.wav" "$SESSION" relay \
      >"$ARTIFACTS/ardour-export.log" 2>&1 || { say "ardour7-export failed (log: ardour-export.log)"; return 1; }
    sleep 0.5
    say "the slave relayed $(($(blocks_relayed "$ARTIFACTS/ardour-slave.log") - before)) blocks of the export"
    python3 "$LEVELS" ratio "$ARTIFACTS/ardour-export.wav" "$TAKES" "$GAIN" "$TOL" | sed 's/^/    /'
    [ "${PIPESTATUS[0]}" -eq 0 ]
  }
  say "ardour7-export with TOVIK_PORT=$PORT_B, a slave at $DECOY dB ($(elapsed))"
  check "Ardour: ardour7-export renders the recorded take $GAIN dB down (the restored chunk chose the slave)" \
    export_session

  play_session() {
    local want out_l out_r
    TOVIK_PORT=$PORT_B lua "$ARTIFACTS/ardour-play.log" tests/hosts/ardour/play_session.lua || return 1
    want=$(python3 "$LEVELS" show "${TAKES%%,*}" | sed -nE 's/.* peak (\S+) dBFS.*/\1/p')
    read -r out_l out_r < <(sed -nE 's/^meter post-fader (\S+) (\S+)$/\1 \2/p' "$ARTIFACTS/ardour-play.log")
    [ -n "${out_l:-}" ] || { say "no meter reading"; return 1; }
    say "the take peaks at $want dBFS; the reloaded track's meter reads $out_l / $out_r dBFS"
    near "$out_l" "$want" "$GAIN" && near "$out_r" "$want" "$GAIN"
  }
  check "Ardour: the session loaded again relays; its meter reads $GAIN dB below the take" play_session
  if [ "$(blocks_relayed "$ARTIFACTS/ardour-decoy.log")" -ne 0 ]; then
    check "Ardour: no block reached the slave named only by the environment" false
  fi
fi

# --- LMMS (i386) through Wine -----------------------------------------------------------------

LMMS_CHECKS=("Wine prefix with TovikI's ConfigDlg 0" "LMMS: the plain tone renders"
  "LMMS: the tone through TovikI.dll renders $GAIN dB down"
  "LMMS: every frame of the render was relayed, the first blocks included")
if [ -n "$NO_IA32" ]; then
  for name in "${LMMS_CHECKS[@]}"; do check32 "$name" false; done
  finish
fi

LMMS_DIR=$WORK/lmms
mkdir -p "$LMMS_DIR"
cp "$DLL32" "$LMMS_DIR/TovikI.dll"
say "Wine prefix for LMMS's VST server ($(elapsed))"
prepare_prefix() {
  mkdir -p "$WINEPREFIX" &&
    timeout 300 "$WINE" wineboot -i >"$ARTIFACTS/wineboot.log" 2>&1 9>&- &&
    # The dialog must never wait for an answer inside a render.
    timeout 60 "$WINE" reg add 'HKCU\Software\Kestrane\TovikI' /v ConfigDlg /t REG_DWORD /d 0 /f >/dev/null 2>&1 &&
    # Wine's desktop process, started here without a display, would leave the
    # VST server that LMMS starts under Xvfb waiting for it for ever: stop it.
    timeout 30 "$WINESERVER" -k 2>/dev/null
  timeout 30 "$WINESERVER" -w 2>/dev/null
  [ -f "$WINEPREFIX/user.reg" ] && grep -q 'Kestrane\\\\TovikI' "$WINEPREFIX/user.reg"
}
check "${LMMS_CHECKS[0]}" prepare_prefix || finish
start_slave PORT_L "$ARTIFACTS/lmms-slave.log" --gain "$GAIN" || finish

# render NAME: renders $LMMS_DIR/NAME.mmp to the artifacts as 32-bit float WAV, bounded.
render() {
  local name=$1
  (cd "$LMMS_DIR" && timeout -k 5 180 xvfb-run -a -s "-screen 0 1024x768x24" \
    lmms --allowroot render "$name.mmp" -a -f wav -o "$ARTIFACTS/lmms-$name.wav") >"$ARTIFACTS/lmms-$name.log" 2>&1
  local rc=$?
  timeout 30 "$WINESERVER" -k 2>/dev/null
  [ $rc -eq 0 ] && [ -s "$ARTIFACTS/lmms-$name.wav" ] && return 0
  say "lmms render of $name.mmp failed with $rc (log: lmms-$name.log)"
  tail -5 "$ARTIFACTS/lmms-$name.log" | sed 's/^/    /'
  return 1
}
python3 tests/hosts/lmms/make_project.py "$LMMS_DIR/tone.mmp" &&
  python3 tests/hosts/lmms/make_project.py "$LMMS_DIR/relay.mmp" "$LMMS_DIR/TovikI.dll" 127.0.0.1 "$PORT_L"
say "LMMS renders, TovikI.dll relaying to the slave on port $PORT_L ($(elapsed))"
if check "${LMMS_CHECKS[1]}" render tone; then
  python3 "$LEVELS" show "$ARTIFACTS/lmms-tone.wav" | sed 's/^/    /'
  relay_render() {
    render relay || return 1
    sleep 0.5
    sed -n 's/^tovik-slave: connection/    connection/p' "$ARTIFACTS/lmms-slave.log"
    [ "$(blocks_relayed "$ARTIFACTS/lmms-slave.log")" -gt 0 ] || { say "no block reached the slave"; return 1; }
    python3 "$LEVELS" ratio "$ARTIFACTS/lmms-relay.wav" "$ARTIFACTS/lmms-tone.wav" "$GAIN" "$TOL" | sed 's/^/    /'
    [ "${PIPESTATUS[0]}" -eq 0 ]
  }
  if check "${LMMS_CHECKS[2]}" relay_render; then
    every_frame() {
      python3 "$LEVELS" every "$ARTIFACTS/lmms-relay.wav" "$ARTIFACTS/lmms-tone.wav" "$GAIN" 1e-4 | sed 's/^/    /'
      [ "${PIPESTATUS[0]}" -eq 0 ]
    }
    check "${LMMS_CHECKS[3]}" every_frame
  fi
fi

finish
