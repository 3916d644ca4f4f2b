#!/usr/bin/env bash
# Checks one built telvo.dll and its import library:
#   - the file is a DLL of the expected width (PE32 i386 or PE32+ x86-64);
#   - its export table holds exactly the 26 names of src/api/telvo.def, which
#     are exactly the functions telvo.h declares, undecorated;
#   - it imports only system DLLs (kernel32, user32, setupapi, the C runtime),
#     and not WinUSB, which it loads at run time;
#   - the import library defines an import stub for every export.
#
#   scripts/windows/check-artifact.sh ARCH BUILD-TREE
# Prints one line per check and exits non-zero when any fails.
set -uo pipefail
source "$(dirname "$0")/common.sh"
arch=$1
tree=$2
dll=$tree/bin/telvo.dll
implib=$tree/lib/libtelvo.dll.a
objdump=$arch-w64-mingw32-objdump
nm=$arch-w64-mingw32-nm

passed=0
failed=0
result() {  # result OK|FAIL TEXT
  if [[ $1 == OK ]]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  echo "$1 [$arch] $2"
}
sorted() { tr ' ' '\n' | sed '/^$/d' | LC_ALL=C sort; }

if [[ ! -f $dll ]]; then
  result FAIL "no $dll"
  echo "$passed passed, $failed failed"
  exit 1
fi

kind=$(file -b "$dll")
case $arch in
  i686) [[ $kind == "PE32 executable (DLL)"*"Intel 80386"* ]] ;;
  x86_64) [[ $kind == "PE32+ executable (DLL)"*"x86-64"* ]] ;;
esac && result OK "file: $kind" || result FAIL "file: $kind"

# The names the product promises, from the module definition and the header.
def_names=$(awk '/^EXPORTS/ {on = 1; next} on && NF {print $1}' "$root/src/api/telvo.def" | sorted)
header_names=$(grep -o 'TELVO_CALL telvo_[A-Za-z]*' "$root/include/telvo/telvo.h" | awk '{print $2}' | sorted)
[[ $(wc -l <<<"$def_names") -eq 26 && $def_names == "$header_names" ]] &&
  result OK "telvo.def lists the 26 functions of telvo.h" ||
  result FAIL "telvo.def and telvo.h disagree: $(diff <(echo "$def_names") <(echo "$header_names") | tr '\n' ' ')"

dump=$($objdump -p "$dll")
exported=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && /^\t\[/ {print $NF; next} on {on = 0}' <<<"$dump" | sorted)
dll_name=$(awk '/^Name / {print $NF}' <<<"$dump")
if [[ $exported == "$def_names" ]]; then
  result OK "exports: exactly the 26 names, undecorated ($(wc -l <<<"$exported") entries, module $dll_name)"
else
  result FAIL "exports differ from telvo.def: $(diff <(echo "$def_names") <(echo "$exported") | grep '^[<>]' | tr '\n' ' ')"
fi
[[ $dll_name == telvo.dll ]] && result OK "export module name telvo.dll" || result FAIL "export module name '$dll_name'"

imports=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$dump" | sorted)
unexpected=$(grep -v -x -E 'kernel32\.dll|user32\.dll|setupapi\.dll|msvcrt\.dll|api-ms-win-crt-[a-z0-9-]+\.dll|ucrtbase\.dll' <<<"$imports")
if [[ -n $imports && -z $unexpected ]]; then
  result OK "imports: system DLLs only ($(echo $imports))"
else
  result FAIL "imports: unexpected $(echo $unexpected)"
fi

# Import stubs: __imp__name on i386 (cdecl names carry the underscore), __imp_name on x64.
prefix=__imp_
[[ $arch == i686 ]] && prefix=__imp__
stubs=$($nm "$implib" 2>/dev/null | awk -v p="$prefix" '$2 == "I" && index($3, p) == 1 {print substr($3, length(p) + 1)}' | sorted)
[[ $stubs == "$def_names" ]] && result OK "import library: a stub for each of the 26 exports" ||
  result FAIL "import library stubs differ: $(diff <(echo "$def_names") <(echo "$stubs") | grep '^[<>]' | tr '\n' ' ')"

echo "artifact [$arch]: $passed passed, $failed failed"
((failed == 0))
