#!/usr/bin/env bash
# Checks the product's include graph: no subsystem folder includes the
# window's headers (app/), and no two files reach each other through
# includes (a header and its source count as one node).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
folders=(app cli common discovery firmware platform upload)
mapfile -t files < <(git ls-files "${folders[@]/%//*.cpp}" "${folders[@]/%//*.h}")
status=0

if grep -n '#include "app/' $(printf '%s\n' "${files[@]}" | grep -v '^app/'); then
    echo "a subsystem includes the window's headers (above)"
    status=1
fi

# One "from to" pair an include, for tsort, which names any loop it finds.
edges=$(for f in "${files[@]}"; do
    sed -n 's/^#include "\([a-z]*\/[^"]*\)\.h".*/\1/p' "$f" | while read -r to; do
        echo "${f%.*} $to"
    done
done | awk '$1 != $2')
if ! loops=$(tsort <<<"$edges" 2>&1 >/dev/null) || [[ -n "$loops" ]]; then
    echo "$loops"
    echo "include circle (above)"
    status=1
fi
[[ $status == 0 ]] && echo "includes: ${#files[@]} files, no circle, nothing below app/ includes it"
exit $status
