#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for building and testing both
# targets: the native toolchain and GoogleTest, the MinGW-w64 i686 cross
# compiler, Wine (32-bit), and a virtual display with a CJK font for the
# dialog test. Pass --native to install only what the Linux build needs.
set -euo pipefail

packages=(cmake g++ make googletest libgtest-dev libbenchmark-dev)
if [[ "${1:-}" != "--native" ]]; then
  packages+=(g++-mingw-w64-i686 wine wine32:i386 xvfb fonts-wqy-microhei imagemagick)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi

if [[ "${1:-}" != "--native" ]]; then
  export WINEDEBUG=-all
  # No .NET or HTML engine: nothing here needs them, and offering to
  # install them would stall a machine without a display.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  # A Wine prefix made once, up front, so that no test pays for it.
  [[ -f "${WINEPREFIX:-$HOME/.wine}/system.reg" ]] || wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
fi
