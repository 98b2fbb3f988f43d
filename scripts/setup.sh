#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for building and testing every
# target: the native toolchain and GoogleTest, the MinGW-w64 cross compilers
# for 32-bit and 64-bit Windows, 64-bit Wine (and 32-bit Wine where this
# kernel runs 32-bit programs), a virtual display with a CJK font for the
# dialog test, tshark for the Wireshark dissector's test, mosquitto and
# cpp-httplib for the gateway, chromium and playwright-core for its page's
# test. Pass --native to install only what the Linux build needs.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
native_only=false
[[ "${1:-}" == "--native" ]] && native_only=true

sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
updated=false

# Installs those of the given packages that are missing.
install() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  echo "setup: installing ${missing[*]}"
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
    $sudo dpkg --add-architecture i386
    updated=false
  fi
  $updated || $sudo apt-get update -q
  updated=true
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
}

install cmake g++ make clang googletest libgtest-dev libbenchmark-dev
# OpenSSL's libcrypto: the keyed hash and random source of signed commands
# in the Linux library.
install libssl-dev
# The gateway's MQTT client library, and the broker and clients that its
# tests and the README's walk-through run; openssl makes the certificates
# of the gateway's TLS test.
install libmosquitto-dev mosquitto mosquitto-clients openssl
# The HTTP server of the gateway's operator page.
install libcpp-httplib-dev
# The protobuf library and compiler of the gateway's Sparkplug B payloads.
install libprotobuf-dev protobuf-compiler
# A Sparkplug B decoder that nobody here wrote, for the gateway's Sparkplug
# test to read every payload with: the Eclipse Tahu JavaScript package,
# pinned, in the user's cache (where the test's build looks for it).
command -v node >/dev/null && command -v npm >/dev/null || install nodejs npm
npm_dir="${XDG_CACHE_HOME:-$HOME/.cache}/pelmora/npm"
[[ -f "$npm_dir/node_modules/sparkplug-payload/package.json" ]] ||
  npm install --prefix "$npm_dir" --no-audit --no-fund sparkplug-payload@1.0.3
$native_only && exit 0

# clang with libFuzzer and its sanitizer run-times, for the fuzz targets.
install clang libclang-rt-14-dev

install g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
  wine wine64 xvfb fonts-wqy-microhei imagemagick
# tshark runs the Wireshark dissector on capture files; it never captures
# here, so it gets no setuid helper.
echo "wireshark-common wireshark-common/install-setuid boolean false" |
  $sudo debconf-set-selections
install tshark
# 32-bit Wine is of no use on a kernel that runs no 32-bit programs.
if "$here/runs-32bit.sh"; then
  install wine32:i386
fi

# The operator page's test: Debian's chromium, driven through
# playwright-core (pinned, into the build's cache, never a browser of its
# own: it is given this chromium). 1.61 is the newest that still runs on
# Debian's own nodejs (18); later ones want 20.
install chromium nodejs
# A nodejs that is not Debian's may bring its own npm.
command -v npm >/dev/null || install npm
playwright=$here/../build/cache/playwright
if [[ ! -f $playwright/node_modules/playwright-core/package.json ]]; then
  mkdir -p "$playwright"
  npm install --prefix "$playwright" --no-save --no-audit --no-fund \
    playwright-core@1.61.0
fi

# The test prefix, made once, up front, so that no test pays for it.
read -r build _ < <("$here/wine-target.sh")
if [[ $build != none ]]; then
  prefix=${WINEPREFIX:-$here/../build/wineprefix}
  [[ -f $prefix/system.reg ]] ||
    "$here/wine-run.sh" "$build" wineboot -i >/dev/null 2>&1 </dev/null || true
  "$here/wine-run.sh" "$build" wineserver -w || true
fi
