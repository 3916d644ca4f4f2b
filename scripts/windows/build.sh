#!/usr/bin/env bash
# Cross-builds the product for Windows with MinGW-w64: telvo.dll and its
# import library libtelvo.dll.a, for 32-bit (the product, PE32 i386) and
# 64-bit Windows, plus the static library the Windows tests link, and for
# 32-bit the host tool telvo.exe beside the DLL (built apart with the posix
# thread model, which its operator's station needs).
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
  cmake -S "$root" -B "$dir" -G Ninja \
    --toolchain "$root/cmake/toolchain-mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DTELVO_WERROR="${TELVO_WERROR:-OFF}" \
    -DTELVO_BUILD_SIM=OFF -DTELVO_BUILD_TESTS=OFF -DTELVO_BUILD_BENCH=OFF -DTELVO_BUILD_TOOLS=OFF \
    >"$log" 2>&1 || { cat "$log"; exit 1; }
  cmake --build "$dir" -j "$jobs" --target telvo telvo_static
  echo "build.sh: $dir/bin/telvo.dll"
  if [[ $arch == i686 ]]; then
    # The host tool, with the operator's station, needs the posix thread
    # model (std::mutex): a tree of its own, linked statically. Its telvo.dll
    # only serves the link; the tool runs beside the product DLL above (the
    # two meet only at the C interface of telvo.h).
    tool=$wbuild/$arch-tool
    cmake -S "$root" -B "$tool" -G Ninja \
      --toolchain "$root/cmake/toolchain-mingw-$arch-posix.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DTELVO_WERROR="${TELVO_WERROR:-OFF}" \
      -DTELVO_BUILD_SIM=OFF -DTELVO_BUILD_TESTS=OFF -DTELVO_BUILD_BENCH=OFF -DTELVO_BUILD_TOOLS=ON \
      >"$wbuild/$arch-tool.configure.log" 2>&1 || { cat "$wbuild/$arch-tool.configure.log"; exit 1; }
    cmake --build "$tool" -j "$jobs" --target telvo_tool
    cp "$tool/bin/telvo.exe" "$dir/bin/telvo.exe"
    echo "build.sh: $dir/bin/telvo.exe"
  fi
done
