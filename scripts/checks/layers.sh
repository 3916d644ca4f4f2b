#!/usr/bin/env bash
# The host tool's libraries are layers (tools/README.md): a file of tools/
# may include only its own layer and those below it. Fails on an include
# that points up or sideways (gcode/ and plan/ know nothing of each other).
set -uo pipefail
cd "$(dirname "$0")/../.."

declare -A allowed=(
  [core]="core"
  [gcode]="core gcode"
  [plan]="core plan"
  [files]="core gcode plan files"
  [engine]="core gcode plan files engine"
  [serve]="core gcode plan files engine serve"
  [cli]="core gcode plan files engine serve cli"
)
status=0
checked=0
while IFS= read -r file; do
  layer=${file#tools/}
  layer=${layer%%/*}
  if [[ -z ${allowed[$layer]+x} ]]; then
    echo "layers: $file is in no layer (tools/$layer/)"
    status=1
    continue
  fi
  while IFS=: read -r line target; do
    to=${target%%/*}
    [[ -z ${allowed[$to]+x} ]] && continue  # not a tool layer (telvo_wire.h, ...)
    if [[ " ${allowed[$layer]} " != *" $to "* ]]; then
      echo "layers: $file:$line includes $target: $layer/ may use only ${allowed[$layer]}"
      status=1
    fi
    checked=$((checked + 1))
  done < <(grep -n '^#include "' "$file" | sed 's/^\([0-9]*\):#include "\([^"]*\)".*/\1:\2/')
done < <(git ls-files 'tools/*.h' 'tools/*.cpp')
((checked > 0)) || { echo "layers: no includes found"; exit 1; }
((status == 0)) && echo "layers: $checked includes, none points up"
exit $status
