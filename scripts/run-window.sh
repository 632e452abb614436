#!/usr/bin/env bash
# Installs what is missing, builds, and opens the window.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" "$top/build" -DRUDIREZE_BUILD_TESTS=OFF -DRUDIREZE_BUILD_BENCH=OFF
cd "$top"
exec "$top/build/bin/rudireze"
