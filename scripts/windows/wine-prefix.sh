#!/usr/bin/env bash
# Prepares the Wine prefix the Windows tests run in (created once, then
# brought up to date on every call):
#   - a 64-bit prefix (it runs 32- and 64-bit programs), made without the
#     Mono and Gecko installers, which would wait for a download;
#   - the entries of tests/windows/sim-device.reg: the null display driver, so
#     that windows exist without an X server and a message box waits for the
#     test to dismiss it, and the simulated controller's device interface,
#     unlinked (absent) until a test links it;
#   - the device path's DOS device: the symbolic link that makes CreateFileA
#     open "\\?\usb#vid_1234&pid_5678#sim0001#{...}".
#
#   scripts/windows/wine-prefix.sh PREFIX-DIR
set -euo pipefail
source "$(dirname "$0")/common.sh"
prefix=$(mkdir -p "$1" && cd "$1" && pwd)
export WINEPREFIX=$prefix WINEDEBUG=-all
wine64=$(wine_loader x86_64)

if [[ ! -f $prefix/system.reg ]]; then
  echo "wine-prefix.sh: creating $prefix"
  WINEDLLOVERRIDES="mscoree,mshtml=" "$wine64" wineboot --init >/dev/null 2>&1
  wineserver -w
fi

reg=$root/tests/windows/sim-device.reg
"$wine64" regedit /S "Z:${reg//\//\\}"

device_link='usb#vid_1234&pid_5678#sim0001#{8f974853-102c-47ca-b6ec-613e800eafaa}'
touch "$prefix/drive_c/telvo-sim-device"
ln -sfn ../drive_c/telvo-sim-device "$prefix/dosdevices/$device_link"
echo "wine-prefix.sh: $prefix ready"
