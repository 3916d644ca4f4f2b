#!/usr/bin/env bash
# Cross-builds the product for Windows with MinGW-w64: telvo.dll and its
# import library libtelvo.dll.a, for 32-bit (the product, PE32 i386) and
# 64-bit Windows, plus the static library the Windows tests link, and for
# 32-bit the host tool telvo.exe beside the DLL.
#
#   scripts/windows/build.sh [i686|x86_64|all]     (default: all)
#
# Results: build/windows/<arch>/bin/telvo.dll and
# build/windows/<arch>/lib/libtelvo.dll.a (the tree moves with
# TELVO_WINDOWS_BUILD).
set -euo pipefail
source "$(dirname "$0")/common.sh"

case ${1:-all} in
  all) selected=("${arches[@]}") ;;
  i686|x86_64) selected=("$1") ;;
  *) echo "usage: $0 [i686|x86_64|all]" >&2; exit 2 ;;
esac

mkdir -p "$wbuild"
for arch in "${selected[@]}"; do
  dir=$wbuild/$arch
  log=$wbuild/$arch.configure.log
  tools=OFF
  targets=(telvo telvo_static)
  if [[ $arch == i686 ]]; then
    tools=ON
    targets+=(telvo_tool)
  fi
  cmake -S "$root" -B "$dir" -G Ninja \
    --toolchain "$root/cmake/toolchain-mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DTELVO_WERROR="${TELVO_WERROR:-OFF}" \
    -DTELVO_BUILD_SIM=OFF -DTELVO_BUILD_TESTS=OFF -DTELVO_BUILD_BENCH=OFF -DTELVO_BUILD_TOOLS=$tools \
    >"$log" 2>&1 || { cat "$log"; exit 1; }
  cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
  echo "build.sh: $dir/bin/telvo.dll"
done
