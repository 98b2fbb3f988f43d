#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset) and runs each for SECONDS
# (default 25) from its seed corpus in fuzz/corpus/TARGET. The inputs a run
# adds go to build/fuzz/found/TARGET, where the next run starts from them,
# never into the tree; an input that fails a target is left in
# build/fuzz/crashes/ and fails the run.
#
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-25}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

mkdir -p build/fuzz/crashes
status=0
for seeds in fuzz/corpus/*/; do
  target=$(basename "$seeds")
  found=build/fuzz/found/$target
  log=build/fuzz/$target.log
  mkdir -p "$found"
  if build/fuzz/fuzz/"$target" -max_total_time="$seconds" \
    -artifact_prefix=build/fuzz/crashes/"$target"- "$found" "$seeds" >"$log" 2>&1; then
    echo "fuzz: $target: $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$log"), no failure"
  else
    echo "fuzz: $target failed ($log):"
    tail -n 40 "$log"
    status=1
  fi
done
exit $status
