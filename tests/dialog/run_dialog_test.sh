#!/usr/bin/env bash
# Runs dialog_driver against pelmora.dll under Wine on a virtual X display:
# once editing, pressing the update button and cancelling (the configuration
# must stay as it was), once pressing OK with a new address and port
# (Drivers/Pelmora.ini must get them). Keeps a screenshot of the open dialog
# as settings_dialog.png in the work dir.
#
#   run_dialog_test.sh DRIVER_EXE PELMORA_DLL WORK_DIR
#
# Exits 77 (skipped) when Xvfb, wine or ImageMagick's import is missing.
set -euo pipefail

driver=$1 dll=$2 work=$3

for tool in Xvfb wine wineserver import; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool not installed"
    exit 77
  fi
done

host=$work/host
shot=$work/settings_dialog.png
rm -rf "$host" "$shot"
mkdir -p "$host/Drivers"
cp "$driver" "$host/dialog_driver.exe"
cp "$dll" "$host/pelmora.dll"

# A prefix of the test's own, so that the font mapping stays out of the
# user's. The locale's ANSI code page is not the Chinese one: the dialog's
# texts must not depend on it.
export WINEPREFIX=$work/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=C.UTF-8

xvfb_pid=
cleanup() {
  wineserver -k 2>/dev/null || true
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
run_driver() {
  local report=$work/$1.txt
  rm -f "$host/dialog_driver.txt" "$report"
  (cd "$host" && wine explorer /desktop=pelmora,400x240 dialog_driver.exe "$@") || true
  if [[ ! -e $host/dialog_driver.txt ]]; then
    echo "no report from dialog_driver"
    return 1
  fi
  tr -d '\r' <"$host/dialog_driver.txt" >"$report"
  cat "$report"
  grep -qx PASS "$report"
}

setting() {
  tr -d '\r' <"$host/Drivers/Pelmora.ini" | sed -n "s/^$1=//p"
}

expect_setting() {
  local actual
  actual=$(setting "$1")
  if [[ $actual != "$2" ]]; then
    echo "FAIL: Pelmora.ini $1 is '$actual', expected '$2'"
    failed=1
  fi
}

failed=0
printf '[SERVERSET]\r\nMAC=00:00:00:00:00:00\r\nADDR=127.1.2.3\r\nPORT=7100\r\nCOUNT=5\r\n' \
  >"$host/Drivers/Pelmora.ini"

echo "== cancel"
run_driver cancel || failed=1
expect_setting ADDR 127.1.2.3
expect_setting PORT 7100

echo "== ok, with screenshot"
rm -f "$host/dialog-open" "$host/shot-taken"
run_driver ok 127.100.200.201 7200 --handshake &
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
wait "$driver_pid" || failed=1
expect_setting ADDR 127.100.200.201
expect_setting PORT 7200
[[ -s $shot ]] || { echo "FAIL: no screenshot"; failed=1; }

[[ $failed == 0 ]] && echo "settings dialog: PASS" || echo "settings dialog: FAILED"
exit "$failed"
