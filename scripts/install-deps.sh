#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test Tovik.
# Needs root (or sudo) only when something is missing.
set -euo pipefail

PACKAGES=(cmake ninja-build g++ clang pkg-config git
          libgtest-dev libgmock-dev googletest libbenchmark-dev libsndfile1-dev
          mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64
          liblilv-dev lv2-dev lilv-utils libtomlplusplus-dev
          lv2-examples mda-lv2 lsp-plugins-lv2 lsp-plugins-vst python3)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "error: missing packages (${missing[*]}) and not root" >&2; exit 1; }
  SUDO=sudo
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
