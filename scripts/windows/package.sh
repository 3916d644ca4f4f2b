#!/usr/bin/env bash
# Packs the Windows release: one zip archive with telvo.dll for 32-bit (the
# product) and 64-bit Windows, each with its import libraries (telvo.lib for
# MSVC and other COFF linkers, made by llvm-dlltool from the module
# definition; libtelvo.dll.a for MinGW), the module definition, the public
# header and the README.
#
#   scripts/windows/package.sh            builds first (scripts/windows/build.sh)
#
# Result: build/windows/package/telvo-<version>-windows.zip
#   telvo-<version>-windows/README.md
#   telvo-<version>-windows/include/telvo/telvo.h
#   telvo-<version>-windows/x86/telvo.dll, telvo.lib, libtelvo.dll.a, telvo.def, telvo.exe
#   telvo-<version>-windows/x64/telvo.dll, telvo.lib, libtelvo.dll.a, telvo.def
# The DLLs are packed without debug information (the code is unchanged).
set -euo pipefail
source "$(dirname "$0")/common.sh"

bash "$root/scripts/windows/build.sh" all

version=$(sed -n 's/^project(telvo VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[[ -n $version ]] || { echo "package.sh: no version in CMakeLists.txt" >&2; exit 1; }
name=telvo-$version-windows
out=$wbuild/package
stage=$out/$name
rm -rf "$stage" "$out/$name.zip"
mkdir -p "$stage/include/telvo"

cp "$root/README.md" "$stage/"
cp "$root/include/telvo/telvo.h" "$stage/include/telvo/"
for arch in "${arches[@]}"; do
  case $arch in i686) dir=x86 ;; x86_64) dir=x64 ;; esac
  mkdir -p "$stage/$dir"
  cp "$wbuild/$arch/bin/telvo.dll" "$wbuild/$arch/lib/libtelvo.dll.a" "$root/src/api/telvo.def" "$stage/$dir/"
  "$arch-w64-mingw32-strip" --strip-debug "$stage/$dir/telvo.dll"
  # The MSVC import library: cdecl names, so on x86 each symbol is _name and
  # imports the undecorated export (llvm-dlltool's name type "noprefix").
  case $arch in i686) machine=i386 imp=__imp__ ;; x86_64) machine=i386:x86-64 imp=__imp_ ;; esac
  llvm-dlltool -m "$machine" -d "$root/src/api/telvo.def" -l "$stage/$dir/telvo.lib"
  stubs=$(llvm-nm "$stage/$dir/telvo.lib" 2>/dev/null | awk -v p="$imp" 'index($3, p) == 1 {print substr($3, length(p) + 1)}' | LC_ALL=C sort)
  def_names=$(awk '/^EXPORTS/ {on = 1; next} on && NF {print $1}' "$root/src/api/telvo.def" | LC_ALL=C sort)
  [[ $stubs == "$def_names" ]] || { echo "package.sh: telvo.lib ($arch) lacks import stubs" >&2; exit 1; }
  # What is packed is still the product: same exports, same imports.
  mkdir -p "$out/check-$arch/bin" "$out/check-$arch/lib"
  cp "$stage/$dir/telvo.dll" "$out/check-$arch/bin/"
  cp "$stage/$dir/libtelvo.dll.a" "$out/check-$arch/lib/"
  bash "$root/scripts/windows/check-artifact.sh" "$arch" "$out/check-$arch" >/dev/null ||
    { echo "package.sh: packed $arch DLL fails its checks" >&2; exit 1; }
  rm -rf "$out/check-$arch"
  # The host tool, where it was built (32-bit), beside the DLL it drives.
  if [[ -f $wbuild/$arch/bin/telvo.exe ]]; then
    cp "$wbuild/$arch/bin/telvo.exe" "$stage/$dir/"
    "$arch-w64-mingw32-strip" --strip-debug "$stage/$dir/telvo.exe"
    # telvo serve's page, where the tool looks for it (beside ../share).
    mkdir -p "$stage/share/telvo"
    cp -r "$root/tools/serve/www" "$stage/share/telvo/"
  fi
done

(cd "$out" && cmake -E tar cf "$name.zip" --format=zip "$name")
echo "package.sh: $out/$name.zip"
(cd "$out" && cmake -E tar tf "$name.zip")
