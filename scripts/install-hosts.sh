#!/usr/bin/env bash
# Installs from Debian's archive the real hosts of the host stage, with what
# they need to run headless:
#   - Ardour 7 (amd64), whose VST scanner, ardour7-lua and ardour7-export run
#     the Linux plug-ins;
#   - LMMS for i386 with its VST server: Debian's amd64 LMMS has no VST
#     support, the i386 one runs 32-bit Windows plug-ins through Wine (it
#     replaces an amd64 LMMS);
#   - Wine (scripts/install-wine.sh), a virtual X server and xvfb-run.
# Installs nothing when everything is there; exits non-zero with a message
# when something is missing and cannot be installed.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(ardour lmms:i386 lmms-vst-server:i386 xvfb xauth python3)

fail() { echo "install-hosts: error: $*" >&2; exit 1; }

installed() {  # installed PKG[:ARCH]
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

scripts/install-wine.sh || fail "Wine could not be installed (scripts/install-wine.sh)"

missing=()
for p in "${PACKAGES[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-hosts: installing ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || fail "missing packages (${missing[*]}) and not root (no sudo)"
    sudo=sudo
  fi
  command -v apt-get >/dev/null || fail "apt-get not found: install ${missing[*]} by hand"
  export DEBIAN_FRONTEND=noninteractive
  timeout 600 $sudo apt-get update -qq || fail "apt-get update failed"
  timeout 1500 $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
    fail "apt-get install ${missing[*]} failed"
fi

for p in "${PACKAGES[@]}"; do
  installed "$p" || fail "$p is not installed"
done
for f in /usr/lib/ardour7/ardour-vst-scanner /usr/bin/ardour7-lua /usr/bin/ardour7-export /usr/bin/lmms \
  /usr/lib/i386-linux-gnu/lmms/RemoteVstPlugin.exe.so /usr/lib/i386-linux-gnu/lmms/libvsteffect.so; do
  [ -e "$f" ] || fail "$f not found"
done
command -v xvfb-run >/dev/null || fail "xvfb-run not found"
echo "install-hosts: Ardour $(dpkg-query -W -f='${Version}' ardour), LMMS $(dpkg-query -W -f='${Version}' lmms:i386) (i386)"
