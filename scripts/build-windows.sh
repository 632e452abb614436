#!/usr/bin/env bash
# Cross-builds the 64-bit Windows programs from Debian: Qt for Windows (built
# once per machine and cached, see build-windows-qt.sh), then rudireze.exe,
# rudireze-cli.exe, the stand-ins and the tests that need no simulator into
# build-windows/, then the portable zip and the installer into
# build-windows/package/. scripts/run-windows-tests.sh runs them under Wine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/install-deps.sh" "$top/scripts/packages-windows.txt"

qt=$("$top/scripts/build-windows-qt.sh" | tail -n1)
build=$top/build-windows
cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64.cmake" \
    -DRUDIREZE_WINDOWS_QT="$qt" -DCMAKE_BUILD_TYPE=Release -DRUDIREZE_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
"$top/packaging/windows/make-packages.sh" "$build" "$qt"
