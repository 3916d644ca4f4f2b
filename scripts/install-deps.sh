#!/usr/bin/env bash
# Installs what building and testing telvo natively needs on Debian 12, as
# root. Idempotent: packages already present are not fetched again, and the
# package lists are refreshed only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git file binutils
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev libfmt-dev libtomlplusplus-dev
  clang clang-tidy cppcheck libclang-rt-14-dev llvm
  libusb-1.0-0-dev umockdev libumockdev-dev
  # The operator's station (telvo serve): Beast/Asio header-only from Boost
  # 1.81 (not the default libboost-dev, 1.74) and JSON; headless Chromium
  # and a font for its browser tests, which playwright-core (npm) drives.
  # Node.js is the machine's own (20 or later): never Debian's nodejs/npm.
  libboost1.81-dev nlohmann-json3-dev chromium fonts-dejavu-core
  # the bindings' tests, and the Debian packages
  mono-mcs mono-runtime
  dpkg-dev lintian
  # the conformance test: its script, and the libraries LinuxCNC's rs274
  # needs from the system (the test fetches rs274 itself, never installs it)
  python3 libpython3.11 libedit2 libtirpc3
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "install-deps: missing packages (${missing[*]}); run as root" >&2
    exit 1
  fi
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
