#!/usr/bin/env bash
# Installs what the Windows build and its checks need on a Debian 12 machine,
# as root: the MinGW-w64 cross compilers (both widths), CMake and Ninja, file
# and binutils for the artifact checks, and Wine (32- and 64-bit) to run the
# Windows test programs. Running it again changes nothing.
#
# 32-bit Wine needs a kernel that runs 32-bit x86 programs. Where it cannot
# (some virtual machines have no 32-bit compatibility mode), 32-bit programs
# are run through QEMU's user-mode emulator, registered with binfmt_misc for
# i386 executables. That QEMU must be 8.1 or later: older versions ignore
# MAP_FIXED_NOREPLACE, and Wine's address-space reservation then takes minutes
# per process. Debian 12's own QEMU is 7.2, so qemu-user comes from Debian's
# bookworm-backports, fetched by apt with a private source list (the
# machine's apt sources stay as they are) and installed as a package.
set -euo pipefail

if [[ $(id -u) -ne 0 ]]; then
  echo "install-deps.sh: run as root" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive

packages=(
  cmake ninja-build file binutils
  g++-mingw-w64-i686 g++-mingw-w64-x86-64
  wine wine64 wine32:i386
)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# wine32 lives in the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  apt-get update -q
fi

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "install-deps.sh: installing ${missing[*]}"
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

for tool in i686-w64-mingw32-g++ x86_64-w64-mingw32-g++ /usr/lib/wine/wine /usr/lib/wine/wine64; do
  command -v "$tool" >/dev/null || { echo "install-deps.sh: $tool missing" >&2; exit 1; }
done

# ---- running 32-bit programs --------------------------------------------------

binfmt=/proc/sys/fs/binfmt_misc
entry=$binfmt/qemu-i386
qemu=/usr/bin/qemu-i386
qemu_min=1:8.1

qemu_recent() {
  local v
  v=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null) || return 1
  [[ -x $qemu ]] && dpkg --compare-versions "$v" ge "$qemu_min"
}

install_qemu() {
  local tmp
  tmp=$(mktemp -d)
  mkdir -p "$tmp/lists/partial" "$tmp/cache/archives/partial" "$tmp/sources.list.d"
  echo "deb http://deb.debian.org/debian bookworm-backports main" >"$tmp/sources.list"
  local apt_private=(-o "Dir::Etc::sourcelist=$tmp/sources.list" -o "Dir::Etc::sourceparts=$tmp/sources.list.d" \
    -o "Dir::State::Lists=$tmp/lists" -o "Dir::Cache=$tmp/cache" -o APT::Sandbox::User=root)
  echo "install-deps.sh: fetching qemu-user from bookworm-backports"
  apt-get "${apt_private[@]}" update -q
  (cd "$tmp" && apt-get "${apt_private[@]}" download qemu-user)
  # Replaces Debian 12's qemu-user-static if present (that version is too old).
  apt-get install -y -q --no-install-recommends "$tmp"/qemu-user_*.deb
  rm -rf "$tmp"
}

register_binfmt() {
  [[ -f $binfmt/register ]] || mount -t binfmt_misc binfmt_misc "$binfmt"
  if [[ -f $entry ]]; then
    grep -qx "interpreter $qemu" "$entry" && return 0
    echo -1 >"$entry"  # an older emulator was registered: replace it
  fi
  # ELF, 32-bit, little-endian, executable or shared object, machine i386;
  # F: the kernel opens the emulator now, so it works in any mount namespace.
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
    >"$binfmt/register"
  echo "install-deps.sh: 32-bit programs run through $qemu (binfmt_misc)"
}

# The kernel runs 32-bit programs itself when no emulator is registered and
# the 32-bit loader starts; otherwise the emulator must be a recent one.
if [[ -f $entry ]] || ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  qemu_recent || install_qemu
  register_binfmt
fi
/usr/lib/wine/wine --version >/dev/null 2>&1 || { echo "install-deps.sh: 32-bit Wine does not start" >&2; exit 1; }

echo "install-deps.sh: Windows build dependencies present"
