#!/usr/bin/env bash
# Checks the code's format, builds every target and runs every test: the
# native suite, the Windows suites under Wine, and the concurrency tests
# under ThreadSanitizer.
# Then the native suite under AddressSanitizer and UndefinedBehaviorSanitizer,
# and a short run of each fuzz target.
#
# Where the kernel runs 32-bit programs, the 32-bit DLL's suites run under
# 32-bit Wine and the 64-bit DLL's under 64-bit Wine. Where it does not (or
# with PELMORA_FORCE_WIN64=1), the 32-bit DLL is built and its tables
# checked, and every suite that runs a Windows DLL runs the 64-bit one.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/setup.sh

read -r wine_build wine_reason < <(scripts/wine-target.sh)
export PELMORA_WINE_BUILD=$wine_build PELMORA_WINE_REASON=$wine_reason
case $wine_build in
  win32) echo "test: Windows suites run the 32-bit DLL and the 64-bit DLL: $wine_reason" ;;
  win64) echo "test: Windows suites run the 64-bit DLL only: $wine_reason" ;;
  *) echo "test: no Windows suite runs: $wine_reason" ;;
esac

status=0
# The code's layout is clang-format's, by the root .clang-format: a file
# that drifted is named here, and fails the run after every test has run.
if ! git ls-files -z -- '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror; then
  echo "test: format check failed: clang-format -i the files named above"
  status=1
fi

jobs=$(nproc)
# thread-safety: clang checks the lock rules written into the code; a
# broken rule fails the build.
for preset in thread-safety win32 win64 native tsan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
# The native build under AddressSanitizer and UndefinedBehaviorSanitizer.
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"

if [[ $wine_build != none ]]; then
  # One Wine server for the whole run: one that exits between two quick
  # Wine processes can drop the next one's connection as it starts.
  export WINEPREFIX=$root/build/wineprefix
  scripts/wine-run.sh "$wine_build" wineserver -w
  scripts/wine-run.sh "$wine_build" wineserver -p
  # Wine's own services start with the first Wine process and stay with the
  # server; started here, they hold no test's output open.
  scripts/wine-run.sh "$wine_build" wineboot >/dev/null 2>&1 </dev/null
  trap 'scripts/wine-run.sh "$wine_build" wineserver -k 2>/dev/null || true' EXIT
fi

case $wine_build in
  win32)
    ctest --preset win32 || status=1
    ctest --preset win64 || status=1
    ;;
  win64)
    ctest --preset win32 -LE wine || status=1
    echo "test: skipped: the 32-bit DLL's suites under Wine, the stdcall stack check among them ($wine_reason)"
    ctest --preset win64 || status=1
    ;;
  *)
    ctest --preset win32 -LE wine || status=1
    ctest --preset win64 -LE wine || status=1
    ;;
esac
ctest --preset tsan || status=1
ctest --preset native -j "$jobs" || status=1
# Every native test again under AddressSanitizer, UndefinedBehaviorSanitizer
# and LeakSanitizer, the host soak of 200 services among them.
ctest --preset asan -j "$jobs" || status=1
# A short run of each fuzz target (scripts/fuzz.sh SECONDS for a long one).
scripts/fuzz.sh 15 || status=1
exit $status
