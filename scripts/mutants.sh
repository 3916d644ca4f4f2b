#!/usr/bin/env bash
# Mutation check: applies each plausible one-line fault of scripts/mutants.txt
# to its file (the library in src/, the host tool in tools/), one at a time,
# rebuilds the native tests (a Release tree of its own), runs the suite and
# records whether a test failed (killed) or all passed (survived). A fault in
# src/ meets the whole suite but the tool's tests (ctest label "tool"); a
# fault in tools/ meets the tool's tests, which are the only ones that build
# the tool's sources (the tree builds the tool only when such a fault is
# selected). The file is always restored, on Ctrl-C too. Too slow for the
# test command: run it by hand before closing work that touches src/, tools/
# or the tests.
#
#   scripts/mutants.sh [--windows] [--only ID]...
#
#   --windows   also run the faults marked "windows:" (the Win32 platform
#               layer), whose killers are the Windows tests under Wine
#               (scripts/windows/test.sh); without it they are listed as
#               "not run"
#   --only ID   run only the named faults (repeatable)
#   --check     only check that every fault's text is found, once
#
#   TELVO_MUTANTS_LIST   the list (default scripts/mutants.txt)
#   TELVO_MUTANTS_BUILD  build tree (default build/mutants)
#   TELVO_JOBS           parallel jobs (default 2)
#   TELVO_MUTANTS_NO_BASELINE=1  skip the baselines (the unchanged sources
#                        were just shown to pass, e.g. when rerunning a few)
#
# A fault whose text is no longer in its file (the code moved or changed) is
# reported as "not applicable" and makes the run fail: fix its entry. The
# last line reads "mutants: K killed, S survived"; the exit status is 0 only
# when every fault that ran was killed and every fault applied.
#
# The list's format, one fault per paragraph:
#   id: short-name   what the fault does
#   file: src/...    the file to change (src/... or tools/...)
#   from: TEXT       the exact original text (must occur exactly once)
#   to: TEXT         its replacement
#   windows: yes     (optional) killed only by the Windows tests
#   drop: REASON     (optional) cannot change behaviour; listed, never run
# TEXT may use \n for a line break and \t for a tab.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
list=${TELVO_MUTANTS_LIST:-$root/scripts/mutants.txt}
build=${TELVO_MUTANTS_BUILD:-$root/build/mutants}
jobs=${TELVO_JOBS:-2}
windows=0
check=0
only=()
while (($#)); do
  case $1 in
    --windows) windows=1 ;;
    --only) only+=("$2"); shift ;;
    --check) check=1 ;;
    *) echo "usage: $0 [--windows] [--check] [--only ID]..." >&2; exit 2 ;;
  esac
  shift
done

# ---- restoring ---------------------------------------------------------------
# A file is saved before it is changed and written back after; restore
# writes back only a file that was saved (it existed), so it never creates
# one, and it leaves nothing behind.
backup=$(mktemp)
current=""
restore() {
  if [[ -n $current ]]; then
    cp "$backup" "$root/$current"
    current=""
  fi
}
# save FILE: 1 (nothing saved, nothing to restore) when FILE does not exist
# or cannot be saved.
save() {
  current=""
  [[ -f $root/$1 ]] || return 1
  cp "$root/$1" "$backup" || return 1
  current=$1
}
trap 'restore; rm -f "$backup"' EXIT
trap 'echo; echo "mutants: interrupted; $current restored"; restore; exit 130' INT TERM

# ---- the list ----------------------------------------------------------------
ids=() descs=() files=() froms=() tos=() wins=() drops=()
flush() {
  [[ -n ${id:-} ]] || return 0
  ids+=("$id"); descs+=("$desc"); files+=("$file"); froms+=("$from"); tos+=("$to")
  wins+=("$win"); drops+=("$drop")
  id=""
}
id="" desc="" file="" from="" to="" win="" drop=""
while IFS= read -r line || [[ -n $line ]]; do
  case $line in
    '#'*) continue ;;
    '') flush; desc="" file="" from="" to="" win="" drop="" ;;
    id:*) flush; desc="" file="" from="" to="" win="" drop=""
          rest=${line#id:}; rest=${rest# }; id=${rest%% *}; desc=${rest#"$id"}; desc=${desc# } ;;
    file:*) file=${line#file: } ;;
    from:*) from=${line#from: } ;;
    to:*) to=${line#to: }; [[ $line == "to:" ]] && to="" ;;
    windows:*) win=1 ;;
    drop:*) drop=${line#drop: } ;;
    *) echo "mutants.txt: cannot read line: $line" >&2; exit 2 ;;
  esac
done <"$list"
flush

# apply FILE FROM TO: replaces the one occurrence; exit 3 when the text is
# missing, 4 when it occurs more than once.
apply() {
  [[ -f $1 ]] || return 3
  FROM=$2 TO=$3 perl -0777 -i -pe '
    BEGIN { for my $v (\$ENV{FROM}, \$ENV{TO}) { $$v =~ s/\\n/\n/g; $$v =~ s/\\t/\t/g; } }
    my $at = index($_, $ENV{FROM});
    if ($at < 0) { $ENV{STATUS} = 3; exit 3 }
    if (index($_, $ENV{FROM}, $at + 1) >= 0) { exit 4 }
    substr($_, $at, length $ENV{FROM}) = $ENV{TO};' "$1"
}

if ((check)); then
  bad=0
  for i in "${!ids[@]}"; do
    [[ -n ${drops[$i]} ]] && continue
    f=$root/${files[$i]}
    if ! save "${files[$i]}"; then
      echo "NOT APPLICABLE: ${ids[$i]} (${files[$i]} does not exist)"; bad=1; continue
    fi
    apply "$f" "${froms[$i]}" "${tos[$i]}" || { echo "NOT APPLICABLE: ${ids[$i]} (${files[$i]})"; bad=1; }
    restore
  done
  echo "mutants: ${#ids[@]} faults listed"
  exit $bad
fi

# ---- the faults ----------------------------------------------------------------
killed=0 survived=0 notrun=0 dropped=0 na=0 broken=0
rows=()
row() { rows+=("$(printf '%-24s %-10s %s' "$1" "$2" "$3")"); printf '%-24s %-10s %s\n' "$1" "$2" "$3"; }
selected() {
  ((${#only[@]} == 0)) && return 0
  local o
  for o in "${only[@]}"; do [[ $o == "$1" ]] && return 0; done
  return 1
}

# A fault in the host tool (tools/) is one the tool's tests must kill.
isTool() { [[ $1 == tools/* ]]; }

# ---- the tree and the baseline -----------------------------------------------
tools=OFF
for i in "${!ids[@]}"; do
  selected "${ids[$i]}" && [[ -z ${drops[$i]} ]] && isTool "${files[$i]}" && tools=ON
done
mkdir -p "$build"
echo "--- configuring $build (Release, tool $tools)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTELVO_BUILD_BENCH=OFF \
  -DTELVO_BUILD_TOOLS=$tools >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
# A library fault meets the whole suite but the tool's tests: the fuzz
# corpus replay and the soak drive the library too (the soak is the only
# long two-thread stream). The soak runs a tenth of its length here
# (TELVO_SOAK_SEGMENTS), which is enough to meet every purge and pause kind
# and keeps a run short on a loaded machine. The timeout turns a fault that
# hangs a test into a kill.
export TELVO_SOAK_SEGMENTS=${TELVO_SOAK_SEGMENTS:-100000}
suite() { ctest --test-dir "$build" -j "$jobs" --timeout 600 --stop-on-failure "$@" >"$build/ctest.log" 2>&1; }
# The suite a fault in FILE meets.
suiteFor() { if isTool "$1"; then suite -L tool; else suite -LE tool; fi; }
# Each baseline runs only when a fault of its kind will run: the native
# suite for the library's Linux faults, the tool's tests for the tool's
# faults, the Windows tests (with --windows) for the Win32 ones.
native=0 toolSuite=0 win=0
for i in "${!ids[@]}"; do
  selected "${ids[$i]}" && [[ -z ${drops[$i]} ]] || continue
  if [[ -n ${wins[$i]} ]]; then win=1; elif isTool "${files[$i]}"; then toolSuite=1; else native=1; fi
done
if [[ ${TELVO_MUTANTS_NO_BASELINE:-0} == 1 ]]; then
  native=0 toolSuite=0 win=0
  echo "--- baselines skipped (TELVO_MUTANTS_NO_BASELINE)"
fi
if ((native || toolSuite)); then
  cmake --build "$build" -j "$jobs" >"$build/build.log" 2>&1 || { tail -30 "$build/build.log"; exit 1; }
fi
if ((native)); then
  echo "--- baseline: the unchanged sources must pass the native suite"
  suite -LE tool || { tail -30 "$build/ctest.log"; echo "mutants: the unchanged suite fails"; exit 1; }
fi
if ((toolSuite)); then
  echo "--- baseline: the unchanged sources must pass the tool's tests"
  suite -L tool || { tail -30 "$build/ctest.log"; echo "mutants: the unchanged tool tests fail"; exit 1; }
fi
if ((windows && win)); then
  echo "--- baseline: the unchanged sources must pass the Windows tests"
  bash "$root/scripts/windows/test.sh" >"$build/windows-baseline.log" 2>&1 ||
    { tail -30 "$build/windows-baseline.log"; echo "mutants: the unchanged Windows tests fail"; exit 1; }
fi

for i in "${!ids[@]}"; do
  mid=${ids[$i]} f=${files[$i]}
  selected "$mid" || continue
  if [[ -n ${drops[$i]} ]]; then
    dropped=$((dropped + 1)); row "$mid" dropped "${drops[$i]}"; continue
  fi
  if ! save "$f"; then
    na=$((na + 1)); row "$mid" "N/A" "NOT APPLICABLE: $f does not exist"; continue
  fi
  apply "$root/$f" "${froms[$i]}" "${tos[$i]}"
  rc=$?
  if ((rc != 0)); then
    restore
    na=$((na + 1))
    if ((rc == 4)); then
      row "$mid" "N/A" "NOT APPLICABLE: text occurs more than once in $f"
    else
      row "$mid" "N/A" "NOT APPLICABLE: text not found in $f"
    fi
    continue
  fi
  if [[ -n ${wins[$i]} ]]; then
    if ((windows == 0)); then
      restore; notrun=$((notrun + 1)); row "$mid" "not run" "Windows fault: run with --windows"; continue
    fi
    if TELVO_WINDOWS_FAIL_FAST=1 bash "$root/scripts/windows/test.sh" >"$build/windows-$mid.log" 2>&1; then
      survived=$((survived + 1)); row "$mid" SURVIVED "${descs[$i]}"
    else
      killed=$((killed + 1))
      row "$mid" killed "$(sed -n 's/^=== windows: \(.*\) FAILED$/\1/p' "$build/windows-$mid.log" | head -1): $(grep -m1 -E '^FAIL|FAILED' "$build/windows-$mid.log" | cut -c1-80)"
    fi
    restore
    continue
  fi
  if ! cmake --build "$build" -j "$jobs" >"$build/build.log" 2>&1; then
    restore; broken=$((broken + 1)); row "$mid" "no build" "the fault does not compile: fix its entry"; continue
  fi
  if suiteFor "$f"; then
    survived=$((survived + 1)); row "$mid" SURVIVED "${descs[$i]}"
  else
    killed=$((killed + 1))
    first=$(sed -n 's/^ *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) .*\*\*\*.*/\1/p; s/^ *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) .*Failed.*/\1/p' \
      "$build/ctest.log" | head -1)
    row "$mid" killed "${first:-see $build/ctest.log}"
  fi
  restore
done
# The tree is left built from the restored sources.
cmake --build "$build" -j "$jobs" >"$build/build.log" 2>&1

echo
echo "=== mutation table"
printf '%-24s %-10s %s\n' fault result "killed by / note"
printf '%s\n' "${rows[@]}"
echo
((dropped)) && echo "dropped (cannot change behaviour): $dropped"
((notrun)) && echo "not run (Windows faults; --windows): $notrun"
((na)) && echo "NOT APPLICABLE: $na (their text is gone from the file: update scripts/mutants.txt)"
((broken)) && echo "DO NOT COMPILE: $broken (update scripts/mutants.txt)"
echo "mutants: $killed killed, $survived survived"
((survived == 0 && na == 0 && broken == 0))
