#!/usr/bin/env bash
# Runs dialog_driver against pelmora.dll under Wine on a virtual X display.
# The driver itself points the link at its UDP receivers on 127.0.0.1 and
# checks what they get, Drivers/Pelmora.ini and Drivers/Pelmora.log through
# an update-and-cancel and two OKs. Keeps a screenshot of the open dialog
# as settings_dialog.png in the work dir.
#
#   run_dialog_test.sh BUILD DRIVER_EXE PELMORA_DLL WORK_DIR
#
# BUILD is win32 or win64, the Wine to run under. Exits 77 (skipped) when
# Xvfb, that Wine or ImageMagick's import is missing.
set -euo pipefail

build=$1 driver=$2 dll=$3 work=$4
wine_run=$(cd "$(dirname "$0")/../../scripts" && pwd)/wine-run.sh
wine() { "$wine_run" "$build" "$@"; }

loader=/usr/lib/wine/wine
[[ $build == win64 ]] && loader=/usr/lib/wine/wine64
for tool in Xvfb "$loader" import; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool not installed"
    exit 77
  fi
done

host=$work/host
shot=$work/settings_dialog.png
report=$work/dialog_driver.txt
rm -rf "$host" "$shot" "$report"
mkdir -p "$host/Drivers"
cp "$driver" "$host/dialog_driver.exe"
cp "$dll" "$host/pelmora.dll"

# A prefix of the test's own, so that the font mapping stays out of the
# user's. The locale's ANSI code page is not the Chinese one: the dialog's
# texts must not depend on it.
export WINEPREFIX=$work/wineprefix
export LC_ALL=C.UTF-8

# The prefix's server stays up for the whole test: one that exits between
# two Wine processes can drop the next one's connection as it starts.
# A prefix left by a 32-bit-only Wine cannot take 64-bit programs.
if [[ -x /usr/lib/wine/wine64 && -f $WINEPREFIX/system.reg ]] &&
  ! grep -q '^#arch=win64' "$WINEPREFIX/system.reg"; then
  rm -rf "$WINEPREFIX"
fi
mkdir -p "$WINEPREFIX"
wine wineserver -w
wine wineserver -p

xvfb_pid=
cleanup() {
  wine wineserver -k 2>/dev/null || true
  if [[ -n $xvfb_pid ]]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

# Xvfb picks a free display and writes its number to fd 3.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do
  [[ -s $work/display ]] && break
  sleep 0.1
done
[[ -s $work/display ]] || { echo "Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
export DISPLAY=:$(head -n1 "$work/display")

wine "$host/dialog_driver.exe" fonts

# Without a window manager only a Wine desktop draws the caption bar.
printf '[SERVERSET]\r\nMAC=00:00:00:00:00:00\r\nCOUNT=5\r\n' >"$host/Drivers/Pelmora.ini"
(cd "$host" && wine explorer /desktop=pelmora,400x240 dialog_driver.exe --handshake) &
driver_pid=$!
for _ in $(seq 600); do
  [[ -e $host/dialog-open ]] && break
  kill -0 "$driver_pid" 2>/dev/null || break
  sleep 0.1
done
if [[ -e $host/dialog-open ]]; then
  import -window root -crop 400x240+0+0 +repage "$shot"
fi
touch "$host/shot-taken"
wait "$driver_pid" || true

failed=0
if [[ -e $host/dialog_driver.txt ]]; then
  tr -d '\r' <"$host/dialog_driver.txt" >"$report"
  cat "$report"
  grep -qx PASS "$report" || failed=1
else
  echo "FAIL: no report from dialog_driver"
  failed=1
fi
[[ -s $shot ]] || { echo "FAIL: no screenshot"; failed=1; }

[[ $failed == 0 ]] && echo "settings dialog: PASS" || echo "settings dialog: FAILED"
exit "$failed"
