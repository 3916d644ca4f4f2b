#!/usr/bin/env bash
# Builds telvo and its host tool, then runs the demo against the simulated
# controller: configure, home, run a part program, probe, disconnect, close;
# prints the summary and writes demo.svg. Installs what it needs first.
#   scripts/demo.sh --serve [OPTIONS]: the operator's station instead
#   (telvo serve on the simulated built-in machine, http://127.0.0.1:8080/).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
mkdir -p build
# The station's web server costs a minute of compiling: built only for --serve.
serve=OFF
[[ ${1:-} == --serve ]] && serve=ON
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTELVO_BUILD_TESTS=OFF \
  -DTELVO_BUILD_BENCH=OFF -DTELVO_BUILD_SERVE=$serve >build/release.configure.log 2>&1 ||
  { cat build/release.configure.log; exit 1; }
cmake --build build/release -j "${TELVO_JOBS:-2}" --target telvo_tool >/dev/null
if [[ ${1:-} == --serve ]]; then
  shift
  exec build/release/bin/telvo serve "$@"
fi
exec build/release/bin/telvo demo --plot demo.svg "$@"
