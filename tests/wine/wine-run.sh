#!/usr/bin/env bash
# Runs one Windows program under Wine in a private prefix: the emulator that
# ctest puts in front of the cross-built test programs.
#   wine-run.sh DEFAULT_PREFIX PROGRAM.exe [ARGS...]
# TOVIK_WINEPREFIX, when set, names the prefix instead of DEFAULT_PREFIX
# (the Wine test stage prepares one prefix for the whole run). A missing prefix
# is created first, once, under a lock. The program runs at most
# TOVIK_WINE_TIMEOUT seconds (default 600). TOVIK_WINE, when set, is the Wine
# loader to use instead of "wine" (the Wine stage sets the 64-bit loader on a
# machine that cannot run 32-bit programs).
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: wine-run.sh DEFAULT_PREFIX PROGRAM [ARGS...]" >&2
  exit 2
fi
prefix=${TOVIK_WINEPREFIX:-$1}
shift
wine=${TOVIK_WINE:-wine}
command -v "$wine" >/dev/null || { echo "wine-run: $wine is not installed (scripts/install-wine.sh)" >&2; exit 127; }

export WINEPREFIX=$prefix
export WINEDEBUG=-all
# No downloads of Wine's .NET and HTML engines when the prefix is created.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

mkdir -p "$(dirname "$prefix")"
(
  flock -w 300 9 || { echo "wine-run: prefix $prefix is locked" >&2; exit 1; }
  if [ ! -f "$prefix/system.reg" ]; then
    # Wine's services outlive wineboot: they must not inherit the lock.
    timeout 240 "$wine" wineboot -i >/dev/null 2>&1 9>&- || { echo "wine-run: could not create $prefix" >&2; exit 1; }
    timeout 60 /usr/lib/wine/wineserver -w 9>&- || true
  fi
) 9>"$prefix.lock"

exec timeout -k 10 "${TOVIK_WINE_TIMEOUT:-600}" "$wine" "$@"
