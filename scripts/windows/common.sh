# Shared settings of the Windows scripts (sourced, not run).
#
# TELVO_WINDOWS_BUILD: where the Windows trees go (default build/windows);
# TELVO_JOBS: parallel compile jobs (default 2);
# TELVO_WERROR: ON to treat warnings as errors (the test command sets it).
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
wbuild=${TELVO_WINDOWS_BUILD:-$root/build/windows}
jobs=${TELVO_JOBS:-2}
arches=(i686 x86_64)

# The Wine loader for each width: 32-bit programs need the i386 loader.
wine_loader() {
  case $1 in
    i686) echo /usr/lib/wine/wine ;;
    x86_64) echo /usr/lib/wine/wine64 ;;
  esac
}
