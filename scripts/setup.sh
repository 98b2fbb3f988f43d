#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for building and testing every
# target: the native toolchain and GoogleTest, the MinGW-w64 cross compilers
# for 32-bit and 64-bit Windows, 64-bit Wine (and 32-bit Wine where this
# kernel runs 32-bit programs and it can be installed; without it the
# Windows suites run the 64-bit DLL), a virtual display with a CJK font for the
# dialog test, tshark for the Wireshark dissector's test, mosquitto,
# cpp-httplib and libsystemd for the gateway, what makes and checks its
# Debian package and service, chromium and playwright-core for its page's
# test. Pass --native to install only what the Linux build needs.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
native_only=false
[[ "${1:-}" == "--native" ]] && native_only=true

sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
updated=false
# Why 32-bit Wine is missing, for scripts/wine-target.sh to say; absent
# when it is installed or was never wanted.
wine32_note=$here/../build/wine32-not-installed

# Reads the package indexes, a few times if a mirror answers badly (one in
# sync answers a wrong size for hours). An index that still fails is named
# and left out: the packages of the others can still be installed, and one
# that cannot be is named by install().
refresh() {
  local attempt output
  for attempt in 1 2 3; do
    if output=$($sudo apt-get update -q 2>&1); then
      updated=true
      return 0
    fi
    ((attempt == 3)) || sleep 15
  done
  updated=true
  local failed
  failed=$(sed -nE 's/^[EW]: Failed to fetch ([^ ]+) +(.*)$/\1 (\2)/p' <<<"$output")
  if [[ -n $failed ]]; then
    while IFS= read -r line; do
      echo "setup: warning: package index not read, going on without it: $line"
    done <<<"$failed"
  else
    echo "setup: warning: apt-get update failed, going on with the indexes there are: $(grep -m1 '^E:' <<<"$output" || tail -n1 <<<"$output")"
  fi
}

# The given packages that are not installed yet.
missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

# Installs the missing ones of the given packages, or stops the script with
# the names of those that cannot be installed.
install() {
  local todo
  mapfile -t todo < <(missing "$@")
  ((${#todo[@]})) || return 0
  echo "setup: installing ${todo[*]}"
  $updated || refresh
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${todo[@]}" && return 0
  # One at a time, to name the ones at fault.
  local p failed=()
  for p in "${todo[@]}"; do
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "$p" >/dev/null 2>&1 ||
      failed+=("$p")
  done
  ((${#failed[@]})) || return 0
  echo "setup: cannot install ${failed[*]}; stopping" >&2
  exit 1
}

# 32-bit Wine runs the 32-bit DLL's suites; without it they run on the
# 64-bit DLL, so a failure here is said and passed over. The i386
# architecture it needs is taken away again if this run added it and nothing
# of i386 came in with it: left behind with a broken index, it would make
# every later apt-get update fail.
install_wine32() {
  [[ -z $(missing wine32:i386) ]] && { rm -f "$wine32_note"; return 0; }
  echo "setup: installing wine32:i386"
  local added=false output
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
    added=true
    refresh
  fi
  if output=$(DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q wine32:i386 2>&1); then
    rm -f "$wine32_note"
    return 0
  fi
  local why
  why=$(grep -m1 '^E:' <<<"$output" | sed -E 's/^E: *//')
  why=${why:-apt-get install failed}
  local arch=""
  if $added; then
    if dpkg-query -W -f='${Architecture}\n' 2>/dev/null | grep -qx i386; then
      arch="; the i386 architecture stays: i386 packages are installed"
    elif $sudo dpkg --remove-architecture i386; then
      arch="; the i386 architecture it added is removed again"
    else
      arch="; the i386 architecture could not be removed again"
    fi
  fi
  mkdir -p "$(dirname "$wine32_note")"
  echo "$why" >"$wine32_note"
  echo "setup: 32-bit Wine not installed ($why)$arch; the Windows suites run the 64-bit DLL"
}

install cmake g++ make clang clang-format googletest libgtest-dev libbenchmark-dev
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
# sd_notify, by which the gateway tells systemd it is ready and alive.
install libsystemd-dev
# The gateway's Debian package: dpkg-shlibdeps reads its dependencies from
# what its programs link. The test of its metrics reads them with a parser
# nobody here wrote, Debian's (under /usr/bin/python3).
install dpkg-dev python3-prometheus-client
# systemd-analyze checks the gateway's unit. The package only brings the
# tools where systemd is not there already: it does not become the init
# (systemd-sysv would), so a machine or container keeps the init it has.
command -v systemd-analyze >/dev/null || install systemd
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
  install_wine32
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
