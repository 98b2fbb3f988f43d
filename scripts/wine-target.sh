#!/usr/bin/env bash
# Says on one line which Windows build of the plug-in this machine's Wine
# runs, and why: "win32 REASON" where the kernel runs 32-bit programs and
# 32-bit Wine is installed, "win64 REASON" where only 64-bit Wine can start,
# "none REASON" where no Wine can. PELMORA_FORCE_WIN64=1 takes the 64-bit
# path as if the kernel ran no 32-bit code, so both paths can be tried on
# any machine.
set -uo pipefail
here=$(dirname "$0")
wine32=/usr/lib/wine/wine
wine64=/usr/lib/wine/wine64

if [[ -n ${PELMORA_FORCE_WIN64:-} ]]; then
  why="PELMORA_FORCE_WIN64 is set"
else
  "$here/runs-32bit.sh"
  case $? in
    0)
      if [[ -x $wine32 ]]; then
        echo "win32 this kernel runs 32-bit programs"
        exit 0
      fi
      why="32-bit Wine is not installed"
      # scripts/setup.sh notes why it could not install it.
      note=$here/../build/wine32-not-installed
      [[ -s $note ]] && why="32-bit Wine could not be installed: $(head -n1 "$note")"
      ;;
    1) why="this kernel runs no 32-bit programs" ;;
    *) why="no assembler to tell whether this kernel runs 32-bit programs" ;;
  esac
fi
if [[ -x $wine64 ]]; then
  echo "win64 $why"
else
  echo "none $why, and 64-bit Wine is not installed (scripts/setup.sh installs it)"
fi
