#!/usr/bin/env bash
# The Debian packages as a user gets them, on this machine, as root:
#   1. builds them from the native tree (scripts/deb/build.sh: CPack, no
#      second build) and runs lintian on them (errors and warnings fail;
#      cmake/package/lintian-notes.md lists what remains and why);
#   2. installs them with apt, and checks where the files went;
#   3. builds the consumer program (tests/install/consumer) against the
#      installed packages, once with pkg-config and once with
#      find_package(telvo), and runs each on the simulated controller;
#   4. runs `telvo info` on the simulated controller, both ways of choosing it;
#   5. runs both bindings' tests against the installed library, which they
#      load by its name libtelvo.so.1;
#   6. removes the packages again - from a trap, so also when a step failed
#      or the script was interrupted - and checks that no file of theirs is
#      left and that the loader no longer knows libtelvo.so.1, so that no
#      other stage can load an installed copy.
# Runs last in scripts/test.sh. Exits non-zero on any failure.
#
#   scripts/deb/test.sh [BUILD-TREE]        (default build/native)
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
tree=${1:-$root/build/native}
[[ -d $tree ]] && tree=$(cd "$tree" && pwd)
packages=(libtelvo1 libtelvo-dev telvo)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
libdir=/usr/lib/$multiarch

if [[ $(id -u) -ne 0 ]]; then
  echo "deb/test.sh: installs packages: run as root" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive

step() { echo "--- deb: $*"; }
fail() { echo "deb: FAILED: $*" >&2; exit 1; }

installed_any() {
  local p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' && return 0
  done
  return 1
}

remove_packages() {
  installed_any || return 0
  dpkg --purge "${packages[@]}" >/dev/null
}

# Every file and link of the packages is gone; of their folders, only those
# that another installed package also owns may stay.
leftovers() {
  local deb entry path found=0
  for deb in "${debs[@]}"; do
    while read -r entry; do
      path=${entry#.}
      [[ -z $path || $path == / ]] && continue
      if [[ -d $path && ! -L $path ]]; then
        dpkg-query -S "$path" >/dev/null 2>&1 && continue
        echo "left after removal: folder $path" >&2
        found=1
      elif [[ -e $path || -L $path ]]; then
        echo "left after removal: $path" >&2
        found=1
      fi
    done < <(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|/$||')
  done
  if ldconfig -p | grep -q 'libtelvo\.so'; then
    echo "the loader's cache still lists libtelvo.so" >&2
    found=1
  fi
  return $found
}

work=
finish() {
  local rc=$?
  step "removing the packages"
  remove_packages || { echo "deb: dpkg --purge failed" >&2; rc=1; }
  if ((${#debs[@]})); then
    if leftovers; then
      echo "deb: nothing of the packages is left"
    else
      rc=1
    fi
  fi
  [[ -n $work ]] && rm -rf "$work"
  ((rc == 0)) && echo "deb: passed" || echo "deb: FAILED"
  exit "$rc"
}
debs=()
trap finish EXIT
trap 'exit 130' INT TERM

# A copy left by an interrupted run goes first (before dpkg-shlibdeps could
# see it).
remove_packages || fail "removing an earlier installation"

step "building the packages"
bash "$root/scripts/deb/build.sh" "$tree" || fail "building the packages"
debs=("$tree"/packages/*.deb)
((${#debs[@]} == 3)) || fail "expected 3 packages, got: ${debs[*]}"
for deb in "${debs[@]}"; do
  echo "$(basename "$deb"): $(stat -c %s "$deb") bytes"
  dpkg-deb -f "$deb" Depends | sed 's/^/  Depends: /'
done

step "lintian"
# Informational tags are shown too (--display-info); errors and warnings fail.
lintian --display-info --fail-on error,warning "${debs[@]}" 2> >(grep -v 'running with root privileges' >&2) ||
  fail "lintian reported errors or warnings"

step "installing"
apt-get install -y -qq --no-install-recommends "${debs[@]}" >/dev/null || fail "apt-get install"
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" | grep -q 'ok installed' || fail "$p is not installed"
done
for f in "$libdir/libtelvo.so.1" "$libdir/libtelvo.so" "$libdir/telvo/libtelvo_usb.so" \
         "$libdir/telvo/libtelvo_sim.so" /usr/include/telvo/telvo.h "$libdir/pkgconfig/telvo.pc" \
         "$libdir/cmake/telvo/telvoConfig.cmake" /usr/bin/telvo /usr/share/telvo/udev/70-telvo.rules; do
  [[ -e $f ]] || fail "not installed: $f"
done
dpkg -S "$libdir/libtelvo.so" | grep -q '^libtelvo-dev:' || fail "libtelvo.so is not in libtelvo-dev"
# (With merged /usr the cache may name /lib/<triplet>: the same file.)
cached=$(ldconfig -p | sed -n 's/^\tlibtelvo\.so\.1 .*=> //p')
[[ -n $cached && $cached -ef $libdir/libtelvo.so.1 ]] || fail "the loader does not know libtelvo.so.1 ($cached)"

work=$(mktemp -d)
consumer=$root/tests/install/consumer
# run_consumer NAME PROGRAM: links the installed library; runs alone and on the simulator.
run_consumer() {
  local name=$1 program=$2 out linked
  linked=$(ldd "$program" | sed -n 's/^\tlibtelvo\.so\.1 => \([^ ]*\) .*/\1/p')
  [[ -n $linked && $linked -ef $libdir/libtelvo.so.1 ]] || fail "$name: linked to '$linked', not $libdir/libtelvo.so.1"
  out=$("$program") || fail "$name: $out"
  out=$(TELVO_BACKEND=libtelvo_sim.so "$program" sim) || fail "$name on the simulator: $out"
  echo "$name: $out"
  grep -q '200 segments executed, axis 0 at 100 steps' <<<"$out" || fail "$name printed: $out"
}

step "consumer through pkg-config"
# shellcheck disable=SC2046
cc -std=c11 -Wall -Werror -o "$work/consumer-pc" "$consumer/main.c" $(pkg-config --cflags --libs telvo) -ldl ||
  fail "compiling with pkg-config"
run_consumer pkg-config "$work/consumer-pc"

step "consumer through find_package(telvo)"
cmake -S "$consumer" -B "$work/consumer-cmake" -G Ninja -DTELVO_FIND=cmake >"$work/cmake.log" 2>&1 &&
  cmake --build "$work/consumer-cmake" >>"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "CMake consumer"; }
grep -q "$libdir/libtelvo.so" "$work/consumer-cmake/build.ninja" || fail "find_package(telvo) did not give $libdir/libtelvo.so"
run_consumer find_package "$work/consumer-cmake/consumer"

step "telvo info"
for how in "env TELVO_BACKEND=libtelvo_sim.so telvo info" "telvo info --controller sim"; do
  out=$(cd "$work" && $how 2>&1) || fail "$how: $out"
  echo "$how:"
  sed 's/^/  /' <<<"$out"
  grep -Eq '^firmware +01\.23' <<<"$out" || fail "$how did not reach the simulated controller"
done

step "the bindings on the installed library"
# The layout table from the installed header; both bindings load the library
# by name (libtelvo.so.1), as on a machine with only libtelvo1.
cc -std=c11 -Wall -Werror -o "$work/layout_table" "$root/tests/bindings/layout_table.c" &&
  "$work/layout_table" "$work/layout.txt" || fail "the layout table of the installed telvo.h"
TELVO_LAYOUT=$work/layout.txt TELVO_EXPECTED_LIBRARY=$libdir/libtelvo.so.1 \
  python3 "$root/bindings/python/test_telvo.py" 2>&1 || fail "Python binding"
mcs -nologo -warnaserror+ -langversion:7 -out:"$work/TelvoTest.exe" \
  "$root/bindings/csharp/Telvo.cs" "$root/bindings/csharp/TelvoTest.cs" || fail "building the C# test"
cp "$root/bindings/csharp/app.config" "$work/TelvoTest.exe.config"
(cd "$work" && TELVO_BACKEND=libtelvo_sim.so mono TelvoTest.exe layout.txt sim) || fail "C# binding"
