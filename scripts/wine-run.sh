#!/usr/bin/env bash
# Runs a Windows program under the Wine of one build of the plug-in:
#
#   wine-run.sh win32|win64 PROGRAM [ARGS...]
#   wine-run.sh win32|win64 wineserver [ARGS...]    that Wine's server
#
# 64-bit Wine is run through its own loader and server, named in WINELOADER
# and WINESERVER: the `wine` wrapper picks the 32-bit loader whenever that
# one is installed. Unless WINEPREFIX says otherwise, every run shares the
# prefix build/wineprefix, made 64-bit wherever 64-bit Wine exists so that
# both builds run in it.
set -euo pipefail
build=$1
shift
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build/wineprefix}
# Wine makes the prefix itself, but not the folders above it.
mkdir -p "$(dirname "$WINEPREFIX")"
export WINEDEBUG=${WINEDEBUG:--all}
# No .NET or HTML engine: nothing here needs them, and offering to install
# them would stall a machine without a display.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
[[ -x /usr/lib/wine/wine64 ]] && export WINEARCH=win64
case $build in
  win32)
    loader=wine
    server=wineserver
    ;;
  win64)
    export WINELOADER=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver64
    loader=$WINELOADER
    server=$WINESERVER
    ;;
  *)
    echo "wine-run.sh: no such build '$build' (win32 or win64)" >&2
    exit 2
    ;;
esac
if [[ ${1:-} == wineserver ]]; then
  shift
  exec "$server" "$@"
fi
exec "$loader" "$@"
