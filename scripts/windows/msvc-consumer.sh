#!/usr/bin/env bash
# Builds tests/windows/msvc/consumer.c the way an MSVC user would link
# telvo, with the MSVC-compatible tools Debian has: clang for the MSVC ABI
# (-ffreestanding: no MSVC headers or runtime), lld-link with /nodefaultlib
# and its own entry point, against the packed telvo.lib. The import
# libraries of kernel32 (stdcall: ExitProcess@4 ..., llvm-dlltool -k on x86)
# and of the simulator's control API in the tests' WinUsb.dll are made here
# the same way as telvo.lib.
#
#   scripts/windows/msvc-consumer.sh ARCH PACKED-DIR OUT-DIR
# PACKED-DIR: the zip's x86/ or x64/ folder (telvo.lib); result OUT-DIR/consumer.exe.
set -euo pipefail
source "$(dirname "$0")/common.sh"
arch=$1 packed=$2 out=$3
src=$root/tests/windows/msvc

case $arch in
  i686) target=i686-pc-windows-msvc machine=i386 link_machine=x86 kill_at=(-k) flags=(-msse2 -mfpmath=sse) ;;
  x86_64) target=x86_64-pc-windows-msvc machine=i386:x86-64 link_machine=x64 kill_at=() flags=() ;;
  *) echo "usage: $0 i686|x86_64 PACKED-DIR OUT-DIR" >&2; exit 2 ;;
esac
rm -rf "$out"
mkdir -p "$out"

# x64 has no stdcall decoration: the names without @n.
if [[ $arch == i686 ]]; then
  cp "$src/kernel32.def" "$out/kernel32.def"
else
  sed 's/@[0-9]*$//' "$src/kernel32.def" >"$out/kernel32.def"
fi
llvm-dlltool -m "$machine" "${kill_at[@]}" -d "$out/kernel32.def" -l "$out/kernel32.lib"
llvm-dlltool -m "$machine" -d "$src/winusb-sim.def" -l "$out/winusb-sim.lib"

clang --target="$target" -ffreestanding -fno-stack-protector -mno-stack-arg-probe "${flags[@]}" \
  -O1 -Wall -Wextra -Werror -I"$root/include" -c "$src/consumer.c" -o "$out/consumer.obj"
lld-link /nologo /nodefaultlib /entry:consumer_main /subsystem:console /machine:"$link_machine" \
  /out:"$out/consumer.exe" "$out/consumer.obj" "$packed/telvo.lib" "$out/kernel32.lib" "$out/winusb-sim.lib"

# It imports telvo's functions by their undecorated names from telvo.dll.
imports=$(llvm-readobj --coff-imports "$out/consumer.exe")
awk '/Name: telvo.dll/ {on = 1; next} /Name:/ {on = 0} on && /Symbol: telvo_Open / {found = 1} END {exit !found}' \
  <<<"$imports" || { echo "msvc-consumer.sh: consumer.exe does not import telvo_Open from telvo.dll" >&2; exit 1; }
echo "msvc-consumer.sh: $out/consumer.exe ($(file -b "$out/consumer.exe" | cut -d, -f1))"
