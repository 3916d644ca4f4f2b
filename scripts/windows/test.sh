#!/usr/bin/env bash
# Builds telvo.dll for 32- and 64-bit Windows and runs every Windows check,
# for each width:
#   artifact   file type, the 26 undecorated exports, system-only imports,
#              the import library (scripts/windows/check-artifact.sh);
#   version    the VERSIONINFO resource of telvo.dll (and of telvo.exe) read
#              back (scripts/windows/version-resource.py) against the
#              version in CMakeLists.txt;
#   host       tests/windows/host_test.cpp: the DLL loaded by name, no controller;
#   platform   tests/windows/platform_test.cpp: the Win32 platform layer itself;
#   e2e        tests/windows/e2e_test.cpp: the DLL against the simulated controller;
#   golden     tests/golden/golden.cpp built for Windows: its output must hash
#              to tests/golden/golden.sha256, the value the native build gives;
#   serve      (32-bit) telvo.exe serve against the simulated controller:
#              the page's script type, a foreign Origin refused, a program
#              uploaded and run to its end point, statuses at 50 Hz;
#   tool       (32-bit) the host tool telvo.exe runs its demo against the
#              simulated controller and reaches the program's end point;
#   package    the zip (scripts/windows/package.sh);
#   msvc       a C program built for the MSVC ABI with clang and lld-link
#              against the zip's telvo.lib, without any C runtime
#              (scripts/windows/msvc-consumer.sh), runs against the zip's
#              telvo.dll and the simulated controller: open, configure, a
#              short move, a status record.
# The programs run under Wine in the prefix of scripts/windows/wine-prefix.sh.
# Installs what it needs when run as root. Exits non-zero on any failure; the
# last line reads "N passed, M failed" (one per check above and width).
# TELVO_WINDOWS_FAIL_FAST=1 stops at the first failed check.
set -uo pipefail
source "$(dirname "$0")/common.sh"

if [[ $(id -u) -eq 0 ]]; then
  bash "$root/scripts/windows/install-deps.sh" || exit 1
fi

passed=0
failed=0
failures=()
stage() {  # stage NAME COMMAND...
  local name=$1; shift
  echo "=== windows: $name"
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    failures+=("$name")
    echo "=== windows: $name FAILED"
    # The mutation check needs only the first failure.
    if [[ ${TELVO_WINDOWS_FAIL_FAST:-0} == 1 ]]; then
      echo "windows: stopped at the first failure (TELVO_WINDOWS_FAIL_FAST)"
      exit 1
    fi
  fi
}

prefix=$wbuild/wineprefix
export WINEPREFIX=$prefix WINEDEBUG=-all
cleanup() { WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true; }
trap cleanup EXIT

# run_wine ARCH DIR PROGRAM [ARGS...]: runs a test program in DIR, bounded
# in time so that a program that hangs (a message box nobody dismisses)
# fails instead of blocking.
run_wine() {
  local arch=$1 dir=$2; shift 2
  (cd "$dir" && timeout 600 "$(wine_loader "$arch")" "$@")
}

build_tests() {  # build_tests ARCH
  local arch=$1 dir=$wbuild/tests-$1
  cmake -S "$root/tests/windows" -B "$dir" -G Ninja \
    --toolchain "$root/cmake/toolchain-mingw-$arch.cmake" \
    -DTELVO_PRODUCT_BUILD="$wbuild/$arch" -DTELVO_WERROR=ON >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j "$jobs" || return 1
  # The programs run beside the product DLL they test.
  cp "$wbuild/$arch/bin/telvo.dll" "$dir/bin/"
  # The host test sees Wine's own WinUSB, so it runs where WinUsb.dll is not.
  mkdir -p "$dir/bare"
  cp "$wbuild/$arch/bin/telvo.dll" "$dir/bin/telvo_host_test.exe" "$dir/bare/"
}

host_test() {  # host_test ARCH
  # The controller's interface back to unlinked, whatever a test before left.
  bash "$root/scripts/windows/wine-prefix.sh" "$prefix" >/dev/null || return 1
  run_wine "$1" "$wbuild/tests-$1/bare" telvo_host_test.exe
}

sim_test() {  # sim_test ARCH PROGRAM
  WINEDLLOVERRIDES="winusb=native,builtin" run_wine "$1" "$wbuild/tests-$1/bin" "$2"
}

golden_test() {  # golden_test ARCH
  local arch=$1 out=$wbuild/tests-$1/golden.out expected actual
  # The C runtime writes text-mode line ends; the comparison is of the text.
  WINEDLLOVERRIDES="winusb=native,builtin" run_wine "$arch" "$wbuild/tests-$arch/bin" telvo_golden.exe |
    tr -d '\r' >"$out" || { echo "golden program failed"; return 1; }
  expected=$(tr -d ' \n' <"$root/tests/golden/golden.sha256")
  actual=$(sha256sum "$out" | cut -d' ' -f1)
  echo "golden [$arch]: $(wc -l <"$out") lines, sha256 $actual"
  [[ $actual == "$expected" ]] || { echo "golden [$arch]: expected $expected; output kept in $out"; return 1; }
}

# set_linked 0|1: lists the simulated controller's interface as absent or
# present, for programs that do not do it themselves.
set_linked() {
  local key='HKLM\System\CurrentControlSet\Control\DeviceClasses\{8F974853-102C-47CA-B6EC-613E800EAFAA}\##?#USB#VID_1234&PID_5678#SIM0001#{8F974853-102C-47CA-B6EC-613E800EAFAA}\#\Control'
  "$(wine_loader x86_64)" reg add "$key" /v Linked /t REG_DWORD /d "$1" /f >/dev/null 2>&1
}

version_test() {  # version_test ARCH: the version resources read back
  local arch=$1 version rc=0
  version=$(project_version) || return 1
  python3 "$root/scripts/windows/version-resource.py" "$wbuild/$arch/bin/telvo.dll" "$version" dll || rc=1
  # The host tool is built for 32-bit Windows.
  if [[ $arch == i686 ]]; then
    python3 "$root/scripts/windows/version-resource.py" "$wbuild/$arch/bin/telvo.exe" "$version" exe || rc=1
  fi
  return $rc
}

tool_test() {  # tool_test ARCH: telvo.exe demo beside telvo.dll and the simulator
  local arch=$1 dir=$wbuild/tests-$1/bin out=$wbuild/tests-$1/tool-demo.out rc
  cp "$wbuild/$arch/bin/telvo.exe" "$dir/" || return 1
  set_linked 1 || return 1
  WINEDLLOVERRIDES="winusb=native,builtin" run_wine "$arch" "$dir" telvo.exe demo --speed 0 \
    --plot tool-demo.svg >"$out" 2>&1
  rc=$?
  set_linked 0
  tr -d '\r' <"$out" | sed -n '/Summary/,$p'
  ((rc == 0)) &&
    tr -d '\r' <"$out" | grep -Eq 'end point reached +yes' &&
    tr -d '\r' <"$out" | grep -Eq 'protocol errors +0$'
}

serve_test() {  # serve_test ARCH: telvo.exe serve under Wine, driven over loopback
  local arch=$1 dir=$wbuild/tests-$1/bin out=$wbuild/tests-$1/serve.out rc pid
  local key='HKLM\System\CurrentControlSet\Control\DeviceClasses\{8F974853-102C-47CA-B6EC-613E800EAFAA}\##?#USB#VID_1234&PID_5678#SIM0001#{8F974853-102C-47CA-B6EC-613E800EAFAA}\#\Control'
  local reg www
  reg=$(wine_loader x86_64)
  command -v node >/dev/null || { echo "serve [$arch]: needs node (the machine's own)"; return 1; }
  cp "$wbuild/$arch/bin/telvo.exe" "$dir/" || return 1
  "$reg" reg add "$key" /v Linked /t REG_DWORD /d 1 /f >/dev/null 2>&1 || return 1
  www="Z:${root//\//\\}\\tools\\serve\\www"
  (cd "$dir" && WINEDLLOVERRIDES="winusb=native,builtin" exec timeout 300 "$(wine_loader "$arch")" \
    telvo.exe serve --listen 127.0.0.1:0 --www "$www") >"$out" 2>&1 &
  pid=$!
  node --experimental-websocket --no-warnings "$root/tests/station/browser/wine-check.mjs" "$out"
  rc=$?
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  "$reg" reg add "$key" /v Linked /t REG_DWORD /d 0 /f >/dev/null 2>&1
  return $rc
}

# msvc_test ARCH: the MSVC-ABI consumer, linked with the zip's telvo.lib,
# runs beside the zip's telvo.dll and the simulator's WinUsb.dll.
msvc_test() {
  local arch=$1 dir=$wbuild/msvc-$1 version folder rc
  version=$(project_version) || return 1
  case $arch in i686) folder=x86 ;; x86_64) folder=x64 ;; esac
  rm -rf "$dir" && mkdir -p "$dir/zip" || return 1
  (cd "$dir/zip" && cmake -E tar xf "$wbuild/package/telvo-$version-windows.zip") || return 1
  local packed=$dir/zip/telvo-$version-windows/$folder
  bash "$root/scripts/windows/msvc-consumer.sh" "$arch" "$packed" "$dir/bin" || return 1
  cp "$packed/telvo.dll" "$wbuild/tests-$arch/bin/WinUsb.dll" "$dir/bin/" || return 1
  set_linked 1 || return 1
  WINEDLLOVERRIDES="winusb=native,builtin" run_wine "$arch" "$dir/bin" consumer.exe | tr -d '\r'
  rc=${PIPESTATUS[0]}
  set_linked 0
  echo "consumer.exe [$arch]: exit status $rc"
  ((rc == 0))
}

project_version() {
  local v
  v=$(sed -n 's/^project(telvo VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
  [[ -n $v ]] && echo "$v"
}

mkdir -p "$wbuild"
stage "build" env TELVO_WERROR=ON bash "$root/scripts/windows/build.sh" all
for arch in "${arches[@]}"; do
  stage "artifact $arch" bash "$root/scripts/windows/check-artifact.sh" "$arch" "$wbuild/$arch"
  stage "version $arch" version_test "$arch"
done
stage "wine prefix" bash "$root/scripts/windows/wine-prefix.sh" "$prefix"
for arch in "${arches[@]}"; do
  if ! build_tests "$arch"; then
    failed=$((failed + 1))
    failures+=("test build $arch")
    continue
  fi
  stage "host $arch" host_test "$arch"
  stage "platform $arch" sim_test "$arch" telvo_platform_test.exe
  stage "e2e $arch" sim_test "$arch" telvo_e2e_test.exe
  stage "golden $arch" golden_test "$arch"
  if [[ $arch == i686 ]]; then
    stage "tool $arch" tool_test "$arch"
    stage "serve $arch" serve_test "$arch"
  fi
done

# With the same warning setting as the build above: another would
# reconfigure both trees and rebuild them in full, here and in the next run.
stage "package" env TELVO_WERROR=ON bash "$root/scripts/windows/package.sh"
for arch in "${arches[@]}"; do
  stage "msvc $arch" msvc_test "$arch"
done

echo
((failed)) && echo "windows: failed: ${failures[*]}"
echo "$passed passed, $failed failed"
((failed == 0))
