#!/usr/bin/env bash
# The operator's station in headless Chromium: `telvo serve` of the native
# build on the simulated controller, the page driven through playwright-core
# (pinned by tests/station/browser/package-lock.json) against Debian's
# /usr/bin/chromium, with Node's own test runner. Screenshots are kept in
# build/station-browser/.
#
#   TELVO_TOOL   the telvo binary (default build/native/bin/telvo, built here
#                when missing)
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
jobs=${TELVO_JOBS:-2}
tool=${TELVO_TOOL:-$root/build/native/bin/telvo}

if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "station: Node.js 20 or later (with npm) is needed; the machine's own is used, never Debian's nodejs" >&2
  exit 1
fi
major=$(node -p 'process.versions.node.split(".")[0]')
if ((major < 20)); then
  echo "station: Node.js $(node --version) is too old: playwright-core needs 20 or later" >&2
  exit 1
fi
if [[ ! -x /usr/bin/chromium ]]; then
  echo "station: /usr/bin/chromium is missing (scripts/install-deps.sh installs it)" >&2
  exit 1
fi
if [[ ! -x $tool ]]; then
  mkdir -p build
  cmake -S "$root" -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Release -DTELVO_WERROR=ON \
    >build/native.configure.log 2>&1 || { cat build/native.configure.log; exit 1; }
  cmake --build build/native -j "$jobs" --target telvo_tool || exit 1
fi

cd tests/station/browser || exit 1
npm ci --no-audit --no-fund --ignore-scripts --loglevel=error || exit 1
TELVO_TOOL=$tool TELVO_ARTIFACTS=$root/build/station-browser node --test
