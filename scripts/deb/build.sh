#!/usr/bin/env bash
# Builds the Debian packages libtelvo1, libtelvo-dev and telvo with CPack
# from an already built native tree (cmake/package/deb.cmake says what goes
# where). No second build: the tree is only reconfigured, when needed, for
# the installation prefix /usr, which moves nothing that is compiled.
#
#   scripts/deb/build.sh [BUILD-TREE]        (default build/native)
#
# Result: BUILD-TREE/packages/*.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
tree=${1:-$root/build/native}
[[ -d $tree ]] && tree=$(cd "$tree" && pwd)
jobs=${TELVO_JOBS:-2}

[[ -f $tree/CMakeCache.txt ]] || { echo "deb/build.sh: $tree is not a configured build tree" >&2; exit 1; }

version=$(sed -n 's/^project(telvo VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
changelog=$(head -1 "$root/cmake/package/changelog")
if [[ $changelog != "telvo ($version) "* ]]; then
  echo "deb/build.sh: cmake/package/changelog starts with '$changelog'; add an entry for $version" >&2
  exit 1
fi

# The packages install to /usr, with the multiarch library directory.
if [[ $(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$tree/CMakeCache.txt") != /usr ]]; then
  cmake -S "$root" -B "$tree" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
fi
cmake --build "$tree" -j "$jobs"

out=$tree/packages
rm -rf "$out"
mkdir -p "$out"
# CPack's own warnings about the modules (no versioned SONAME, so no shlibs
# line: right for plugins) stay in the log.
(cd "$tree" && cpack -G DEB -B "$out") >"$out/cpack.log" 2>&1 || { cat "$out/cpack.log"; exit 1; }
rm -rf "$out/_CPack_Packages"
ls "$out"/*.deb
