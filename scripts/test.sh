#!/usr/bin/env bash
# Builds both targets and runs every test: the native suite, the Windows
# suite under Wine, and the concurrency tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

jobs=$(nproc)
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$jobs"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"

# One Wine server for the whole run: one that exits between two quick Wine
# processes can drop the next one's connection as it starts.
wineserver -w
wineserver -p
# Wine's own services start with the first Wine process and stay with the
# server; started here, they hold no test's output open.
wineboot >/dev/null 2>&1 </dev/null
trap 'wineserver -k 2>/dev/null || true' EXIT

status=0
ctest --preset win32 || status=1
ctest --preset tsan || status=1
ctest --preset native -j "$jobs" || status=1
exit $status
