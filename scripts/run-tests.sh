#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in the normal
# build and once under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
export QT_QPA_PLATFORM=offscreen

"$top/scripts/build.sh" "$top/build-tests" -DRUDIREZE_BUILD_BENCH=OFF
ctest --test-dir "$top/build-tests" --output-on-failure -j "$(nproc)"

if [[ "${RUDIREZE_SKIP_SANITIZE:-0}" != 1 ]]; then
    "$top/scripts/build.sh" "$top/build-sanitize" -DRUDIREZE_SANITIZE=ON -DRUDIREZE_BUILD_BENCH=OFF
    ctest --test-dir "$top/build-sanitize" --output-on-failure -j "$(nproc)"
fi
