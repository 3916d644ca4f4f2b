#!/usr/bin/env bash
# Fuzzes every target for a bounded time with libFuzzer (clang, AddressSanitizer
# and UndefinedBehaviorSanitizer), starting from the checked-in corpus and the
# kept regression inputs. Fails when a target finds a crash, a hang, a
# sanitizer report or a violated property; the input that did it is left in
# the build tree and must be added to tests/fuzz/regressions/<target>/ once
# the defect is fixed. Prints the executions each target ran.
#
#   TELVO_FUZZ_SECONDS  seconds per target (default 20)
#   TELVO_FUZZ_BUILD    build tree (default build/fuzz)
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build=${TELVO_FUZZ_BUILD:-build/fuzz}
seconds=${TELVO_FUZZ_SECONDS:-20}
jobs=${TELVO_JOBS:-2}
targets=(status_frames config_records probe_moves segment_targets api_sequence)

mkdir -p "$build"
if ! cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTELVO_FUZZ=ON \
    -DTELVO_BUILD_BENCH=OFF -DTELVO_BUILD_TOOLS=OFF -DTELVO_WERROR=ON >"$build/configure.log" 2>&1; then
  cat "$build/configure.log"
  exit 1
fi
programs=()
for t in "${targets[@]}"; do programs+=("telvo_fuzz_$t"); done
cmake --build "$build" -j "$jobs" --target "${programs[@]}" || exit 1

# The fuzz targets drive the simulated controller.
export TELVO_BACKEND=libtelvo_sim.so
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:symbolize=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

status=0
summary="$build/summary.txt"
printf '%-16s %12s %8s %s\n' target executions seconds result >"$summary"
for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  rm -rf "$work" "$artifacts"
  mkdir -p "$work" "$artifacts"
  inputs=("$root/tests/fuzz/corpus/$t")
  [[ -d $root/tests/fuzz/regressions/$t ]] && inputs+=("$root/tests/fuzz/regressions/$t")
  log="$build/$t.log"
  echo "--- fuzzing $t for ${seconds}s"
  "$build/bin/telvo_fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=4096 -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "${inputs[@]}" >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if ((rc == 0)); then
    result=clean
  else
    result=FAILED
    status=1
    tail -60 "$log"
    echo "fuzz: $t failed; inputs kept in $artifacts:"
    ls -l "$artifacts"
    echo "fuzz: fix the defect, then add the input to tests/fuzz/regressions/$t/"
  fi
  printf '%-16s %12s %8s %s\n' "$t" "${runs:-?}" "$seconds" "$result" | tee -a "$summary"
done
cat "$summary"
exit $status
