#!/usr/bin/env bash
# Installs from Debian's archive what the Wine test stage needs: 64-bit and
# 32-bit Wine (the i386 architecture is added for the latter), a virtual X
# server, xdotool to drive the dialog, ImageMagick for the screenshot, the X
# utilities and Python for the WAV checks. Installs nothing when everything is
# there; exits non-zero with a message when something is missing and cannot be
# installed.
set -euo pipefail

PACKAGES=(wine wine64 wine32:i386 xvfb xauth xdotool imagemagick x11-utils python3)

fail() { echo "install-wine: error: $*" >&2; exit 1; }

installed() {  # installed PKG[:ARCH]
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

install_missing() {  # install_missing PKG...
  echo "install-wine: installing $*"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || fail "missing packages ($*) and not root (no sudo)"
    sudo=sudo
  fi
  command -v apt-get >/dev/null || fail "apt-get not found: install $* by hand"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386 || fail "could not add the i386 architecture"
  fi
  export DEBIAN_FRONTEND=noninteractive
  timeout 600 $sudo apt-get update -qq || fail "apt-get update failed"
  timeout 1500 $sudo apt-get install -y -qq --no-install-recommends "$@" >/dev/null ||
    fail "apt-get install $* failed"
}

missing=()
for p in "${PACKAGES[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  install_missing "${missing[@]}"
fi

for p in "${PACKAGES[@]}"; do
  installed "$p" || fail "$p is not installed"
done
for cmd in wine Xvfb xdotool import xwininfo; do
  command -v "$cmd" >/dev/null || fail "$cmd not found"
done
# Debian's wrapper runs 32-bit programs with wine and 64-bit ones with wine64.
for loader in /usr/lib/wine/wine /usr/lib/wine/wine64 /usr/lib/wine/wineserver; do
  [ -x "$loader" ] || fail "$loader not found"
done
