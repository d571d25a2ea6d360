#!/usr/bin/env bash
# Checks every quoted #include of the tree against the layer map of
# ARCHITECTURE.md (its ```layers block: "folder: folders it may use"). A file
# belongs to the longest folder of the map that holds it; it may include its
# own folder's headers and those of the folders its line names, and never
# another folder's internal/ headers. Prints each offending include and exits
# 1; a file in no folder of the map is an offence too.
#
# Usage: scripts/check_layers.sh [root]     (default: the repository)
set -euo pipefail
root=${1:-"$(dirname "$0")/.."}
cd "$root"
[ -f ARCHITECTURE.md ] || { echo "check_layers: no ARCHITECTURE.md in $PWD" >&2; exit 2; }

files=$(find . \( -path ./build -o -path ./.git \) -prune -o -type f \
  \( -name '*.h' -o -name '*.cpp' \) -print | sed 's|^\./||' | LC_ALL=C sort)

awk '
  # The map: lines between ```layers and the closing fence.
  FNR == NR {
    if ($0 ~ /^```layers/) { inmap = 1; next }
    if (inmap && $0 ~ /^```/) { inmap = 0; next }
    if (!inmap || $0 ~ /^[ \t]*(#|$)/) next
    split($0, kv, ":")
    unit = kv[1]; gsub(/[ \t]/, "", unit)
    units[unit] = 1
    n = split(kv[2], uses, /[ \t,]+/)
    for (i = 1; i <= n; i++) if (uses[i] != "") allowed[unit, uses[i]] = 1
    next
  }
  # The file list.
  { check($0) }

  function unit_of(path,    best, u) {
    best = ""
    for (u in units) {
      if (index(path, u "/") == 1 && length(u) > length(best)) best = u
    }
    return best
  }
  function check(file,    own, line, nr, inc, target, rest) {
    own = unit_of(file)
    if (own == "") {
      printf "%s: in no folder of the layer map\n", file
      bad = 1
      return
    }
    nr = 0
    while ((getline line < file) > 0) {
      nr++
      if (line !~ /^[ \t]*#[ \t]*include[ \t]*"/) continue
      inc = line
      sub(/^[ \t]*#[ \t]*include[ \t]*"/, "", inc)
      sub(/".*$/, "", inc)
      target = unit_of(inc)
      if (target == "") {
        printf "%s:%d: includes \"%s\", in no folder of the layer map\n", file, nr, inc
        bad = 1
      } else if (target != own) {
        rest = substr(inc, length(target) + 2)
        if (!((own, target) in allowed)) {
          printf "%s:%d: includes \"%s\": %s may not use %s\n", file, nr, inc, own, target
          bad = 1
        } else if (rest ~ /^internal\//) {
          printf "%s:%d: includes \"%s\": internal to %s\n", file, nr, inc, target
          bad = 1
        }
      }
    }
    close(file)
  }
  END { exit bad }
' ARCHITECTURE.md - <<<"$files"
