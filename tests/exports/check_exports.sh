#!/usr/bin/env bash
# The plug-in exports exactly its six entry points: on Windows under their
# plain names with ordinals 1 to 6, on Linux as the only dynamic symbols.
set -euo pipefail
library=$1

expected="1 InitService
2 UninitService
3 UpdateItem
4 SendEventEx
5 DoSettings
6 SetWriteCallback"

case "$library" in
  *.dll)
    # "[   4] DoSettings": the index in the export table, ordinal base 1.
    actual=$(i686-w64-mingw32-objdump -p "$library" |
      sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
      sed -n 's/^\s*\[\s*\([0-9]*\)\] \(.*\)$/\1 \2/p' |
      awk '{ print $1 + 1, $2 }' | sort -n)
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
  exit 1
fi
echo "exports of $library: the six entry points, nothing else"
