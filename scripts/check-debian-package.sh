#!/usr/bin/env bash
# check-debian-package.sh [BUILD_DIR]: makes the Debian package from a build
# (default build-tests, which the test command leaves) and lets lintian judge
# it: any error fails.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-tests}
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" "$build" -DRUDIREZE_BUILD_BENCH=OFF
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/package/rudireze_*_amd64.deb)
lintian --fail-on error --tag-display-limit 0 "$deb" 2>&1 | grep -v 'root privileges' || true
lintian --fail-on error "$deb" >/dev/null 2>&1
echo "$(basename "$deb"): lintian found no error"
