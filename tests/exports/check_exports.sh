#!/usr/bin/env bash
# The plug-in exports exactly its six entry points: on Windows under their
# plain names with ordinals 1 to 6 and importing from system DLLs only, on
# Linux as the only dynamic symbols. Reads the file; runs nothing of it.
#
#   check_exports.sh LIBRARY [OBJDUMP]    OBJDUMP: the PE build's objdump
set -euo pipefail
library=$1
objdump=${2:-objdump}

expected="1 InitService
2 UninitService
3 UpdateItem
4 SendEventEx
5 DoSettings
6 SetWriteCallback"

# What Windows itself provides: nothing of the compiler's run-time may be
# left for the host to ship.
system_dlls="BCRYPT.DLL COMCTL32.DLL IPHLPAPI.DLL KERNEL32.DLL MSVCRT.DLL USER32.DLL WS2_32.DLL"

failed=0
case "$library" in
  *.dll)
    # "[   4] DoSettings": the index in the export table, ordinal base 1.
    actual=$("$objdump" -p "$library" |
      sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
      sed -n 's/^\s*\[\s*\([0-9]*\)\] \(.*\)$/\1 \2/p' |
      awk '{ print $1 + 1, $2 }' | sort -n)
    for dll in $("$objdump" -p "$library" | sed -n 's/^\s*DLL Name: //p'); do
      upper=$(tr '[:lower:]' '[:upper:]' <<<"$dll")
      if [[ " $system_dlls " != *" $upper "* ]]; then
        echo "$library imports from $dll, which is not a system DLL"
        failed=1
      fi
    done
    ;;
  *)
    names=$(nm -D --defined-only "$library" | awk '{ print $3 }')
    actual=$(for n in $names; do
      echo "$expected" | awk -v n="$n" '$2 == n { print; found = 1 } END { if (!found) print "? " n }'
    done | sort -n)
    ;;
esac

if [[ "$actual" != "$expected" ]]; then
  echo "exports of $library:"
  echo "$actual"
  echo "expected:"
  echo "$expected"
  failed=1
fi
((failed == 0)) || exit 1
echo "exports of $library: the six entry points, nothing else"
