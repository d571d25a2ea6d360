#!/usr/bin/env bash
# Shows that the layer check catches what it must: run on a small tree of its
# own, it passes a downward include and fails on an upward one, on another
# folder's internal/ header, and on a folder the map does not name.
set -euo pipefail
check="$(cd "$(dirname "$0")" && pwd)/check_layers.sh"
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
failures=0

expect() {  # expect pass|fail <what> [text the report must hold]
  local want=$1 what=$2 needle=${3:-}
  local out rc=0
  out=$(bash "$check" "$tree" 2>&1) || rc=$?
  if [ "$want" = pass ] && [ $rc -ne 0 ]; then
    echo "FAIL: $what: the check refused a sound tree:"; echo "$out"; failures=$((failures + 1))
  elif [ "$want" = fail ] && [ $rc -eq 0 ]; then
    echo "FAIL: $what: the check passed"; failures=$((failures + 1))
  elif [ -n "$needle" ] && ! grep -qF -- "$needle" <<<"$out"; then
    echo "FAIL: $what: no \"$needle\" in:"; echo "$out"; failures=$((failures + 1))
  else
    echo "ok: $what"
  fi
}

mkdir -p "$tree/low/internal" "$tree/high"
cat >"$tree/ARCHITECTURE.md" <<'MAP'
```layers
low:
high: low
```
MAP
echo '#pragma once' >"$tree/low/a.h"
echo '#pragma once' >"$tree/low/internal/detail.h"
printf '#include "low/a.h"\n#include "low/internal/detail.h"\n' >"$tree/low/a.cpp"
printf '#include "high/b.h"\n#include <vector>\n#include "low/a.h"\n' >"$tree/high/b.cpp"
echo '#pragma once' >"$tree/high/b.h"
expect pass "downward and own includes"

printf '#pragma once\n#include "high/b.h"\n' >"$tree/low/a.h"
expect fail "an upward include" 'low/a.h:2: includes "high/b.h": low may not use high'
echo '#pragma once' >"$tree/low/a.h"

echo '#include "low/internal/detail.h"' >>"$tree/high/b.cpp"
expect fail "another folder's internal header" 'internal to low'
printf '#include "high/b.h"\n' >"$tree/high/b.cpp"

mkdir -p "$tree/stray"
echo '#pragma once' >"$tree/stray/c.h"
expect fail "a folder the map does not name" 'stray/c.h: in no folder of the layer map'

echo "$(( 4 - failures )) passed, $failures failed"
[ $failures -eq 0 ]
