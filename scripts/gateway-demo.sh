#!/usr/bin/env bash
# Two stations into an MQTT broker: a mosquitto broker on loopback (or the
# one already listening on BROKER_PORT), pelmora-gateway on UDP 7000, and two
# hosts, each with the Linux plug-in and a MAC of its own: one runs the
# synthetic scan, the other replays recorded rounds from a CSV. What the
# broker publishes is shown as it arrives, then the retained tree it holds.
set -euo pipefail
cd "$(dirname "$0")/.."
broker_port=${BROKER_PORT:-1883}

scripts/setup.sh --native >/dev/null
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" \
  --target pelmora pelmora-host pelmora-gateway >/dev/null
bin=$(pwd)/build/native

work=$(mktemp -d /tmp/pelmora-gateway-demo.XXXXXX)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

if mosquitto_sub -p "$broker_port" -t '$SYS/#' -C 1 -W 1 >/dev/null 2>&1; then
  echo "== the broker already listening on 127.0.0.1:$broker_port"
else
  echo "== mosquitto on 127.0.0.1:$broker_port"
  printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$broker_port" > "$work/mosquitto.conf"
  mosquitto -c "$work/mosquitto.conf" > "$work/mosquitto.log" 2>&1 &
  pids+=($!)
  sleep 0.5
fi

echo "== pelmora-gateway on UDP 127.0.0.1:7000"
"$bin/tools/gateway/pelmora-gateway" --port 7000 --broker-port "$broker_port" \
  --silence 5 --stats 2 > "$work/gateway.txt" 2>&1 &
pids+=($!)
mosquitto_sub -p "$broker_port" -t 'pelmora/#' -v > "$work/published.txt" &
pids+=($!)
sleep 0.5

station() {  # station DIR MAC: a host directory sending to the gateway
  mkdir -p "$1/Drivers"
  cp "$bin/tools/pelmora-host" "$bin/src/libpelmora.so" "$1"/
  printf '[SERVERSET]\r\nMAC=%s\r\nADDR=127.0.0.1\r\nPORT=7000\r\n' "$2" > "$1/Drivers/Pelmora.ini"
}
station "$work/a" 02:00:00:00:00:0A
station "$work/b" 02:00:00:00:00:0B
# Station B's recorded rounds: a GBK name (温度, temperature), a name with a
# slash, which MQTT would read as a level, and a value with a bar.
printf '%s\n' '# point,round 1,round 2,round 3' \
  "$(printf '\xce\xc2\xb6\xc8'),21.5,21.7,22.0" \
  'pump/1,on,on,off' '"valve, main",open,"open|50%",closed' > "$work/b/rounds.csv"

echo "== station A: 20 points, 4 scan rounds; station B: replays rounds.csv"
(cd "$work/a" && ./pelmora-host ./libpelmora.so init scan 20 4 500 sleep 2000 uninit >/dev/null) &
host_a=$!
(cd "$work/b" && ./pelmora-host ./libpelmora.so init replay rounds.csv 700 sleep 2000 uninit >/dev/null 2>&1) &
host_b=$!
wait "$host_a" "$host_b"
sleep 1

echo "== published (first 25 messages)"
head -n 25 "$work/published.txt"
echo "   ... $(wc -l < "$work/published.txt") in all"
echo "== the retained tree the broker holds now"
mosquitto_sub -p "$broker_port" -t 'pelmora/+/points/#' -t 'pelmora/+/status' -v \
  --retained-only -W 1 2>/dev/null | sort || true
echo "== gateway"
cat "$work/gateway.txt"
