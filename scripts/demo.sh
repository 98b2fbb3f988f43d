#!/usr/bin/env bash
# The main job, end to end, on the embedded default server 127.0.0.1:7000:
# pelmora-recv listens there, pelmora-host loads the Linux plug-in and runs
# a synthetic host of a few hundred points for a few scan rounds with some
# values changing and some events, and at the end the receiver's mirror of
# the points is compared with the host's last values.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

points=${POINTS:-300}
rounds=${ROUNDS:-4}

scripts/setup.sh --native >/dev/null
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" --target pelmora pelmora-host pelmora-recv >/dev/null

work=$(mktemp -d /tmp/pelmora-demo.XXXXXX)
trap 'kill "$recv_pid" 2>/dev/null || true; rm -rf "$work"' EXIT
cp build/native/tools/pelmora-host build/native/src/libpelmora.so "$work"/
mkdir "$work/Drivers"   # the plug-in keeps Pelmora.ini and Pelmora.log here

echo "== receiver on 127.0.0.1:7000"
build/native/tools/recv/pelmora-recv --port 7000 --mirror "$work/mirror.txt" \
  > "$work/recv.txt" 2>&1 &
recv_pid=$!
sleep 0.3
if ! kill -0 "$recv_pid" 2>/dev/null; then
  cat "$work/recv.txt"
  echo "demo: the receiver could not listen on 127.0.0.1:7000" >&2
  exit 1
fi

echo "== host: $points points, $rounds scan rounds (no Pelmora.ini: the default server)"
(cd "$work" && ./pelmora-host "$work/libpelmora.so" \
    init callback scan "$points" "$rounds" 800 dump "$work/host.txt" sleep 2500 uninit)

kill -INT "$recv_pid"
wait "$recv_pid" || true

echo "== what arrived: the snapshot first ($(wc -l < "$work/recv.txt") lines in all, abridged)"
head -n 12 "$work/recv.txt"
echo "   ..."
echo "== the first item datagram of changed values"
grep -m1 -A5 '^item' "$work/recv.txt"
echo "   ..."
echo "== the events"
awk '/^[a-z]/ { show = /^event/ } show' "$work/recv.txt"
echo "== receiver summary"
sed -n '/^summary/,$p' "$work/recv.txt" | tail -n +2

echo "== plug-in log (Drivers/Pelmora.log, GBK shown as UTF-8)"
iconv -f GBK -t UTF-8 "$work/Drivers/Pelmora.log" | tr -d '\r'
echo "== Drivers/Pelmora.ini written on first start"
tr -d '\r' < "$work/Drivers/Pelmora.ini"

if cmp -s "$work/mirror.txt" "$work/host.txt"; then
  echo "== receiver's mirror equals the host's last values ($(wc -l < "$work/host.txt") points)"
else
  echo "== MISMATCH between the receiver's mirror and the host's last values:"
  diff "$work/mirror.txt" "$work/host.txt" | head -n 20
  exit 1
fi
