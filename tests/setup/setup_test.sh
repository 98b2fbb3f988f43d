#!/usr/bin/env bash
# scripts/setup.sh against stand-ins for apt-get, dpkg and their kin, first
# on PATH, with a package database of their own: what it prints, how it
# exits and what it leaves installed when indexes or packages fail. The
# kernel's answer and Wine's are stand-ins too, beside a copy of the script.
set -uo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

bin=$work/bin
mkdir -p "$bin"
# The database: one installed package a line, foreign architectures, and a
# line a call of every stand-in.
cat >"$bin/apt-get" <<'STANDIN'
#!/usr/bin/env bash
echo "apt-get $*" >>"$FAKE/calls"
if [[ $1 == update ]]; then
  n=$(($(cat "$FAKE/updates" 2>/dev/null || echo 0) + 1))
  echo "$n" >"$FAKE/updates"
  if ((n <= ${FAKE_UPDATE_FAILURES:-0})) ||
     { [[ -n ${FAKE_BROKEN_I386:-} ]] && grep -qx i386 "$FAKE/arches"; }; then
    echo "Hit:1 http://deb.example/debian bookworm InRelease"
    echo "E: Failed to fetch http://deb.example/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 10.0.0.1 80]"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100
  fi
  exit 0
fi
shift
for p in "$@"; do
  [[ $p == -* ]] && continue
  if [[ " ${FAKE_UNINSTALLABLE:-} " == *" $p "* ]] ||
     { [[ $p == *:i386 ]] && ! grep -qx i386 "$FAKE/arches"; }; then
    [[ -n ${FAKE_PARTIAL_I386:-} && $p == *:i386 ]] && echo libc6:i386 >>"$FAKE/installed"
    echo "E: Unable to correct problems, you have held broken packages." >&2
    exit 100
  fi
done
for p in "$@"; do [[ $p == -* ]] || echo "$p" >>"$FAKE/installed"; done
STANDIN
cat >"$bin/dpkg-query" <<'STANDIN'
#!/usr/bin/env bash
# -W -f='${Status}' PACKAGE, or -W -f='${Architecture}\n' for every package.
if [[ $# -eq 3 ]]; then
  grep -qx "$3" "$FAKE/installed" 2>/dev/null && printf 'install ok installed'
  exit 0
fi
sed -nE 's/^[^:]*:(.*)$/\1/p; /:/!s/.*/amd64/p' "$FAKE/installed"
STANDIN
cat >"$bin/dpkg" <<'STANDIN'
#!/usr/bin/env bash
echo "dpkg $*" >>"$FAKE/calls"
case $1 in
  --print-foreign-architectures) cat "$FAKE/arches" ;;
  --add-architecture) echo "$2" >>"$FAKE/arches" ;;
  --remove-architecture)
    if grep -q ":$2\$" "$FAKE/installed"; then
      echo "dpkg: error: cannot remove architecture '$2' currently in use by the database" >&2
      exit 2
    fi
    grep -vx "$2" "$FAKE/arches" >"$FAKE/arches.new"
    mv "$FAKE/arches.new" "$FAKE/arches" ;;
esac
STANDIN
cat >"$bin/npm" <<'STANDIN'
#!/usr/bin/env bash
prefix=$3 package=${*: -1}
mkdir -p "$prefix/node_modules/${package%@*}"
echo '{}' >"$prefix/node_modules/${package%@*}/package.json"
STANDIN
cat >"$bin/sleep" <<'STANDIN'
#!/usr/bin/env bash
echo "sleep $*" >>"$FAKE/calls"
STANDIN
printf '#!/bin/sh\nexec "$@"\n' >"$bin/sudo"
printf '#!/bin/sh\n' >"$bin/node"
printf '#!/bin/sh\ncat >/dev/null\n' >"$bin/debconf-set-selections"
chmod +x "$bin"/*

failures=0
fail() {
  echo "FAIL [$case]: $*"
  echo "--- what setup printed:"
  cat "$FAKE/out"
  failures=$((failures + 1))
}

# run_setup NAME RUNS_32BIT [ARCHES...]: a fresh database and checkout copy,
# then setup with the FAKE_* settings the caller exported.
run_setup() {
  case=$1
  export FAKE=$work/$case
  mkdir -p "$FAKE/checkout/scripts"
  cp "$source_dir/scripts/setup.sh" "$FAKE/checkout/scripts/"
  printf '#!/bin/sh\nexit %s\n' "$2" >"$FAKE/checkout/scripts/runs-32bit.sh"
  printf '#!/bin/sh\necho none stand-in\n' >"$FAKE/checkout/scripts/wine-target.sh"
  chmod +x "$FAKE/checkout/scripts/"*.sh
  shift 2
  printf '%s\n' "$@" | grep . >"$FAKE/arches"
  : >"$FAKE/installed"
  PATH=$bin:$PATH XDG_CACHE_HOME=$FAKE/cache "$FAKE/checkout/scripts/setup.sh" >"$FAKE/out" 2>&1
  status=$?
}
printed() { grep -qF -- "$1" "$FAKE/out"; }
installed() { grep -qx -- "$1" "$FAKE/installed"; }
arch_kept() { grep -qx i386 "$FAKE/arches"; }
note() { cat "$FAKE/checkout/build/wine32-not-installed" 2>/dev/null; }

unset FAKE_UPDATE_FAILURES FAKE_BROKEN_I386 FAKE_UNINSTALLABLE FAKE_PARTIAL_I386
run_setup healthy 0
((status == 0)) || fail "exit $status"
installed wine32:i386 && installed chromium || fail "not everything installed"
arch_kept || fail "i386 architecture removed"
printed warning && fail "a warning on a healthy machine"
[[ -z $(note) ]] || fail "a note that 32-bit Wine is missing"

# A mirror that answers badly twice, then well: two pauses, no warning.
FAKE_UPDATE_FAILURES=2 run_setup flaky_mirror 1
((status == 0)) || fail "exit $status"
[[ $(grep -c '^sleep' "$FAKE/calls") == 2 ]] || fail "not two pauses between tries"
printed warning && fail "a warning though the third try read the index"

# The i386 index of a suite keeps failing: named, passed over, wine32
# optional, the architecture taken back, everything else installed.
FAKE_BROKEN_I386=1 FAKE_UNINSTALLABLE=wine32:i386 run_setup broken_i386_index 0
((status == 0)) || fail "exit $status"
printed "warning: package index not read, going on without it: http://deb.example/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz (File has unexpected size" ||
  fail "the failing index not named"
[[ $(grep -c '32-bit Wine not installed' "$FAKE/out") == 1 ]] || fail "not one line on 32-bit Wine"
printed "held broken packages" || fail "the reason not given"
arch_kept && fail "the i386 architecture it added was left behind"
installed chromium && installed tshark || fail "packages after wine32 not installed"
[[ $(note) == *"held broken packages"* ]] || fail "no note for the test command: '$(note)'"

# The same, but the failed install left an i386 package behind: the
# architecture stays, and setup says why.
FAKE_BROKEN_I386=1 FAKE_UNINSTALLABLE=wine32:i386 FAKE_PARTIAL_I386=1 run_setup partial_i386 0
((status == 0)) || fail "exit $status"
arch_kept || fail "the architecture removed under an installed i386 package"
printed "i386 packages are installed" || fail "not said why the architecture stays"

# An i386 architecture that was there before is not this run's to remove.
FAKE_UNINSTALLABLE=wine32:i386 run_setup i386_already_there 0 i386
((status == 0)) || fail "exit $status"
arch_kept || fail "an architecture added before was removed"
grep -q 'dpkg --add-architecture' "$FAKE/calls" && fail "added an architecture already there"

# An ordinary package that cannot be installed stops setup with its name.
unset FAKE_BROKEN_I386 FAKE_PARTIAL_I386
FAKE_UNINSTALLABLE=libcpp-httplib-dev run_setup missing_package 1
((status != 0)) || fail "exit 0 without libcpp-httplib-dev"
printed "cannot install libcpp-httplib-dev" || fail "the package not named"
installed chromium && fail "went on after a package it needs failed"

((failures == 0)) && echo "setup decisions: all cases pass"
exit $((failures != 0))
