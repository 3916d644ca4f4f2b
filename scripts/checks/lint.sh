#!/usr/bin/env bash
# Static checks of the library, the USB backend module, the simulated
# controller and the host tool: clang-tidy with the repository's .clang-tidy
# (warnings as errors) over every file of src/, backend/, sim/ and tools/ that
# the POSIX build compiles, using the compile database of a clang
# configuration; and cppcheck over all of src/, backend/, sim/ and tools/ (the
# Win32 layers included); and clang-format: src/, sim/ and tools/ stay in
# the house style of .clang-format; and the host tool's layers
# (scripts/checks/layers.sh). Fails on any finding.
#
#   TELVO_LINT_BUILD  tree for the compile database (default build/lint)
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build=${TELVO_LINT_BUILD:-build/lint}
jobs=${TELVO_JOBS:-2}

mkdir -p "$build"
if ! cmake -S "$root" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DTELVO_BUILD_TESTS=OFF -DTELVO_BUILD_BENCH=OFF -DTELVO_BUILD_TOOLS=ON -DTELVO_BUILD_SIM=ON -DTELVO_WERROR=ON \
    >"$build/configure.log" 2>&1; then
  cat "$build/configure.log"
  exit 1
fi

status=0
# The sources the build compiles (CMake writes absolute paths).
mapfile -t sources < <(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$build/compile_commands.json" |
  grep -E "^$root/(src|backend|sim|tools)/" | sort -u)
for dir in src backend sim tools; do
  if ! printf '%s\n' "${sources[@]}" | grep -q "^$root/$dir/"; then
    echo "lint: no sources of $dir/ in the compile database" >&2
    exit 1
  fi
done
echo "--- clang-tidy: ${#sources[@]} files"
if ! printf '%s\n' "${sources[@]}" |
    xargs -P "$jobs" -n 1 clang-tidy -p "$build" --quiet 2> >(grep -v "warnings generated" >&2); then
  echo "lint: clang-tidy found problems"
  status=1
fi

# cppcheck. Suppressed, each for a reason:
#   missingIncludeSystem: system headers are not given to cppcheck.
#   legacyUninitvar in usb_posix.cpp: the overlapped record is built by
#     placement new in static storage; cppcheck 2.10 reads it as uninitialised.
echo "--- cppcheck"
if ! cppcheck --enable=warning,performance,portability --std=c++20 --error-exitcode=1 --quiet \
    -I include -I src -I backend/usb -I sim -I protocol -I tools \
    --suppress=missingIncludeSystem \
    --suppress=legacyUninitvar:src/platform/posix/usb_posix.cpp \
    src/ backend/ sim/ protocol/ tools/; then
  echo "lint: cppcheck found problems"
  status=1
fi
echo "--- clang-format"
if ! git ls-files 'src/*' 'sim/*' 'protocol/*' 'tools/*' | grep -E '\.(c|cpp|h)$' |
    xargs clang-format --dry-run -Werror; then
  echo "lint: files differ from the house style (clang-format -i FILE)"
  status=1
fi
echo "--- layers"
if ! bash scripts/checks/layers.sh; then
  status=1
fi
((status == 0)) && echo "lint: clean"
exit $status
