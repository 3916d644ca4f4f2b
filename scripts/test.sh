#!/usr/bin/env bash
# Builds telvo and runs every test: the native suite (with the C# and Python
# bindings' tests), the suite again under AddressSanitizer +
# UndefinedBehaviorSanitizer and under ThreadSanitizer, the fuzzers and
# linters, the Windows artifact under Wine, and last the Debian packages
# installed, used and removed. Installs what it needs first. Exits non-zero when anything fails; the last line counts the
# test programs that passed and failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${TELVO_JOBS:-2}

bash scripts/install-deps.sh || exit 1

passed=0
failed=0
failures=()

# run STAGE COMMAND...: one stage, counted once.
run() {
  local stage=$1; shift
  echo "=== ${stage}"
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    failures+=("$stage")
    echo "=== ${stage}: FAILED"
  fi
}

# build DIR CMAKE-ARGS...: configure and build one tree.
build() {
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j "$jobs"
}

# suite DIR [CTEST-ARGS...]: run a tree's tests.
suite() {
  local dir=$1; shift
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 600 "$@"
}

mkdir -p build

# demo: the README's first command, in a fresh clone of HEAD, as a new user
# runs it (uncommitted changes are not in it: commit first).
demo() {
  local tmp rc
  tmp=$(mktemp -d)
  git clone -q "$root" "$tmp/telvo" &&
    (cd "$tmp/telvo" && TELVO_JOBS=$jobs bash scripts/demo.sh >"$tmp/demo.log" 2>&1)
  rc=$?
  tail -20 "$tmp/demo.log" 2>/dev/null
  rm -rf "$tmp"
  return $rc
}

# Release: the build type most users pick, and the one GCC warns most in.
# Prefix /usr: the Debian packages are made from this tree at the end.
run "native build" build build/native -DCMAKE_BUILD_TYPE=Release -DTELVO_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr
run "native tests" suite build/native
run "demo (fresh clone)" demo

run "asan+ubsan build" build build/asan -DCMAKE_BUILD_TYPE=Debug -DTELVO_SANITIZE=address,undefined \
  -DTELVO_BUILD_BENCH=OFF -DTELVO_WERROR=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run "asan+ubsan tests" suite build/asan

# The station (telvo serve) runs on one thread: its tests run natively and
# under ASan; here it would only add the web server's compile.
run "tsan build" build build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVO_SANITIZE=thread \
  -DTELVO_BUILD_BENCH=OFF -DTELVO_BUILD_SERVE=OFF -DTELVO_WERROR=ON
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run "tsan tests" suite build/tsan

for extra in scripts/checks/*.sh; do
  [[ -f $extra ]] || continue
  run "$(basename "$extra" .sh)" bash "$extra"
done

if [[ -f scripts/windows/test.sh ]]; then
  run "windows" bash scripts/windows/test.sh
fi

# Last: installs the Debian packages made from build/native on this machine
# and removes them again; nothing may run after it that could load them.
run "debian packages" bash scripts/deb/test.sh build/native

echo
if ((failed)); then
  echo "failed stages: ${failures[*]}"
fi
echo "stages: ${passed} passed, ${failed} failed"
((failed == 0))
