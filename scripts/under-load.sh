#!/usr/bin/env bash
# Runs a command while busy loops load every core, to show that a test does
# not pass by timing luck. The loops run at normal priority, one more than
# the cores (so the command always competes for a core), and each ends after
# TELVO_LOAD_SECONDS (default 3600) even if this script is killed; they are
# stopped as soon as the command ends. Exits with the command's status.
#
#   scripts/under-load.sh ctest --test-dir build/native -R soak --repeat until-fail:50
#   TELVO_LOAD_LOOPS=3 scripts/under-load.sh build/native/bin/telvo_soak
set -uo pipefail

if (($# == 0)); then
  echo "usage: $0 COMMAND [ARGS...]" >&2
  exit 2
fi

loops=${TELVO_LOAD_LOOPS:-$(($(nproc) + 1))}
seconds=${TELVO_LOAD_SECONDS:-3600}
pids=()
cleanup() {
  ((${#pids[@]})) && kill "${pids[@]}" 2>/dev/null
  wait "${pids[@]}" 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT TERM

for ((i = 0; i < loops; i++)); do
  timeout "$seconds" bash -c 'while :; do :; done' &
  pids+=($!)
done
echo "under-load: ${loops} busy loops on $(nproc) cores (at most ${seconds} s)" >&2

"$@"
