#!/usr/bin/env bash
# Checks that every C and C++ file git tracks is laid out as .clang-format
# says. With --fix, formats them in place instead.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c')
if [[ "${1:-}" == --fix ]]; then
    clang-format -i "${files[@]}"
    exit 0
fi
if ! clang-format --dry-run --Werror "${files[@]}" 2>/tmp/rudireze-format.$$; then
    grep -E '^[^ ].*: (error|warning):' /tmp/rudireze-format.$$ | cut -d: -f1 | sort -u \
        | sed 's/^/not formatted: /'
    rm -f /tmp/rudireze-format.$$
    echo "Run: bash scripts/check-format.sh --fix"
    exit 1
fi
rm -f /tmp/rudireze-format.$$
echo "format: ${#files[@]} files as .clang-format says"
