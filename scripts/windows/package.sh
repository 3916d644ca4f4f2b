#!/usr/bin/env bash
# Packs the Windows release: one zip archive with telvo.dll for 32-bit (the
# product) and 64-bit Windows, each with its import library, the public
# header, the module definition (from which an MSVC import library can be
# made) and the README.
#
#   scripts/windows/package.sh            builds first (scripts/windows/build.sh)
#
# Result: build/windows/package/telvo-<version>-windows.zip
#   telvo-<version>-windows/README.md
#   telvo-<version>-windows/include/telvo/telvo.h
#   telvo-<version>-windows/x86/telvo.dll, libtelvo.dll.a, telvo.def, telvo.exe
#   telvo-<version>-windows/x64/telvo.dll, libtelvo.dll.a, telvo.def
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
