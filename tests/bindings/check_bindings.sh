#!/usr/bin/env bash
# What a test of the bindings on Linux cannot see:
#   - every DllImport in bindings/csharp says CallingConvention.Cdecl (on
#     32-bit Windows the default is StdCall, which would unbalance the stack
#     after each call to telvo.dll; on Linux both are the same);
#   - Telvo.cs imports exactly the 26 functions of src/api/telvo.def;
#   - the Python binding loads with CDLL only (never WinDLL/windll, which
#     are stdcall), and declares exactly the 26 functions.
# Exits non-zero, naming each offence.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
bad=0
expected=$(awk '/^EXPORTS/ {on = 1; next} on && NF {print $1}' "$root/src/api/telvo.def" | LC_ALL=C sort)
[[ $(wc -l <<<"$expected") -eq 26 ]] || { echo "telvo.def does not list 26 exports"; exit 1; }

imports=0
while IFS=: read -r file line text; do
  imports=$((imports + 1))
  if [[ $text != *"CallingConvention = CallingConvention.Cdecl"* ]]; then
    echo "$file:$line: DllImport without CallingConvention = CallingConvention.Cdecl: $text"
    bad=1
  fi
done < <(grep -n 'DllImport' "$root"/bindings/csharp/*.cs | grep -v '^\S*:[0-9]*:\s*//')

# The function each attribute of Telvo.cs imports: the extern on the next line.
csharp=$(grep -A1 '\[DllImport(' "$root/bindings/csharp/Telvo.cs" | grep -o 'extern [^(]*(' |
  sed 's/.* \(telvo_[A-Za-z]*\)(/\1/')
csharp=$(LC_ALL=C sort <<<"$csharp")
if [[ $csharp != "$expected" ]]; then
  echo "Telvo.cs imports differ from telvo.def:"
  diff <(echo "$expected") <(echo "$csharp") | grep '^[<>]'
  bad=1
fi

python=$root/bindings/python/telvo/__init__.py
if grep -nE 'WinDLL\(|windll\.|OleDLL\(|oledll\.|WINFUNCTYPE\(|LibraryLoader\(' "$python"; then
  echo "$python: stdcall loading (the exports are cdecl)"
  bad=1
fi
declared=$(grep -oE '^    "telvo_[A-Za-z]+":' "$python" | tr -d ' ":' | LC_ALL=C sort)
if [[ $declared != "$expected" ]]; then
  echo "the Python binding's prototypes differ from telvo.def:"
  diff <(echo "$expected") <(echo "$declared") | grep '^[<>]'
  bad=1
fi

echo "bindings: $imports DllImport attributes, 26 exports in C# and Python:" \
  "$([[ $bad == 0 ]] && echo ok || echo FAILED)"
exit $bad
