#!/usr/bin/env bash
# Installs what the Windows build and its checks need on a Debian 12 machine,
# as root: the MinGW-w64 cross compilers (both widths), CMake and Ninja, file
# and binutils for the artifact checks, Wine (32- and 64-bit) to run the
# Windows test programs, LLVM's llvm-dlltool (the MSVC import library), clang
# and lld-link (the MSVC-ABI consumer that proves it), and Python (the
# version resource check). Running it again changes nothing.
#
# 32-bit Wine needs a kernel that runs 32-bit x86 programs. Where it cannot
# (some virtual machines have no 32-bit compatibility mode), 32-bit programs
# are run through QEMU's user-mode emulator, registered with binfmt_misc for
# i386 executables. That QEMU must be 8.1 or later: older versions ignore
# MAP_FIXED_NOREPLACE, and Wine's address-space reservation then takes minutes
# per process. Debian 12's own QEMU is 7.2, so qemu-user comes from Debian's
# bookworm-backports, fetched by apt with a private source list (the
# machine's apt sources stay as they are) and installed as a package. The
# backports suite is taken from the mirror the machine's apt configuration
# already uses for Debian (TELVO_DEBIAN_SOURCE overrides it).
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
  llvm lld clang python3
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

for tool in i686-w64-mingw32-g++ x86_64-w64-mingw32-g++ /usr/lib/wine/wine /usr/lib/wine/wine64 \
    llvm-dlltool lld-link clang python3; do
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

# The release's codename (bookworm on Debian 12).
codename() {
  local c=
  [[ -r /etc/os-release ]] && c=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  echo "${c:-bookworm}"
}

# debian_source CODENAME: the "[options] URI" of the Debian archive that the
# machine's own apt configuration uses for CODENAME, so that the extra suite
# comes from the same mirror (or proxy) as everything else. Reads the
# one-line sources (sources.list, sources.list.d/*.list) and the deb822 ones
# (sources.list.d/*.sources); the first enabled "deb" entry for CODENAME
# itself wins. Prints nothing when there is none.
debian_source() {
  local suite=$1 f
  local lists=() deb822=()
  [[ -f /etc/apt/sources.list ]] && lists+=(/etc/apt/sources.list)
  for f in /etc/apt/sources.list.d/*.list; do [[ -f $f ]] && lists+=("$f"); done
  for f in /etc/apt/sources.list.d/*.sources; do [[ -f $f ]] && deb822+=("$f"); done
  {
    ((${#lists[@]})) && awk -v suite="$suite" '
      { sub(/#.*/, "") }
      $1 != "deb" { next }
      {
        opts = ""; i = 2
        if ($2 ~ /^\[/) {                       # [key=value ...] up to the closing bracket
          while (i <= NF) { opts = opts (opts == "" ? "" : " ") $i; if ($i ~ /\]$/) { i++; break } i++ }
        }
        if ($(i + 1) == suite) print opts (opts == "" ? "" : " ") $i
      }' "${lists[@]}"
    ((${#deb822[@]})) && awk -v suite="$suite" '
      function flush(   n, u, s, k, opts) {
        if (types ~ /(^| )deb( |$)/ && tolower(enabled) != "no") {
          n = split(suites, s, " ")
          for (k = 1; k <= n; k++) if (s[k] == suite) {
            opts = signed == "" ? "" : "[signed-by=" signed "] "
            split(uris, u, " "); print opts u[1]; break
          }
        }
        types = uris = suites = enabled = signed = ""
      }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      {
        key = tolower($1); sub(/:$/, "", key); $1 = ""; sub(/^ +/, "")
        if (key == "types") types = $0
        else if (key == "uris") uris = $0
        else if (key == "suites") suites = $0
        else if (key == "enabled") enabled = $0
        else if (key == "signed-by") signed = $0
      }
      END { flush() }' "${deb822[@]}"
  } | grep -E '(^|\] )(https?|file)://' | head -1
}

install_qemu() {
  local tmp suite source
  suite="$(codename)-backports"
  source=${TELVO_DEBIAN_SOURCE:-$(debian_source "$(codename)")}
  if [[ -z $source ]]; then
    echo "install-deps.sh: no Debian $(codename) source in /etc/apt/sources.list{,.d/}; set" \
      "TELVO_DEBIAN_SOURCE to the mirror's address (e.g. the URI of your Debian archive)" >&2
    return 1
  fi
  tmp=$(mktemp -d)
  mkdir -p "$tmp/lists/partial" "$tmp/cache/archives/partial" "$tmp/sources.list.d"
  echo "deb $source $suite main" >"$tmp/sources.list"
  local apt_private=(-o "Dir::Etc::sourcelist=$tmp/sources.list" -o "Dir::Etc::sourceparts=$tmp/sources.list.d" \
    -o "Dir::State::Lists=$tmp/lists" -o "Dir::Cache=$tmp/cache" -o APT::Sandbox::User=root)
  echo "install-deps.sh: fetching qemu-user from $suite ($source)"
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
