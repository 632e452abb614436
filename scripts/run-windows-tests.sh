#!/usr/bin/env bash
# Runs what build-windows.sh built under Wine, in a fresh prefix of its own:
# the Windows test programs (the unit and window tests, the locator through
# Wine's own cmd), one upload end to end (rudireze-cli.exe against a Linux
# virtual module with a simulated UNO running its real bootloader, with
# --verify, flash compared), and the installer (silent install, the installed
# program run, silent uninstall, nothing left behind).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build-windows
package=$build/package
"$top/scripts/install-deps.sh"
"$top/scripts/install-deps.sh" "$top/scripts/packages-windows.txt"
[[ -x $build/bin/rudireze-cli.exe ]] || { echo "Run scripts/build-windows.sh first" >&2; exit 2; }

wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo "$(dirname "$wine")/wineserver")
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/rudireze-wine.XXXXXX)
export WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d" WINEDEBUG=-all WINEARCH=win64
work=$(mktemp -d /tmp/rudireze-wintest.XXXXXX)
module_pid=
display_pid=
cleanup() {
    [[ -n $module_pid ]] && kill "$module_pid" 2>/dev/null || true
    timeout 30 "$wineserver" -k 2>/dev/null || true
    [[ -n $display_pid ]] && kill "$display_pid" 2>/dev/null || true
    rm -rf "$WINEPREFIX" "$work"
}
trap cleanup EXIT
step() { printf '\n== %s\n' "$*"; }

# Wine hands no QT_* variable to Windows programs, so they run on Qt's own
# windows platform, which wants a display for Wine from the start: a virtual
# one, ended with the tests.
step "A virtual display"
exec {display_fd}<> <(:)
Xvfb -displayfd "$display_fd" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
display_pid=$!
read -r -t 30 -u "$display_fd" display_number
exec {display_fd}>&-
export DISPLAY=:$display_number
echo "DISPLAY=$DISPLAY"

step "A fresh Wine prefix"
timeout 120 "$wine" wineboot --init
timeout 60 "$wineserver" -w
# The design's temporary folder, where the Arduino IDE leaves its builds.
user_temp=$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/Temp
mkdir -p "$user_temp"

step "Test programs under Wine"
# ctest runs each through Wine (cmake/wine-run.sh, the tool chain's emulator).
# Left out: the tests whose modules announce themselves from inside Wine.
# Wine sends a Windows program's datagrams from 127.0.0.1 whatever address
# its socket is bound to (Windows keeps the bound 127.0.0.x), and the window
# drops announcements from its host's own first address, 127.0.0.1, so no
# row would ever appear. A Linux module's announcements reach the Windows
# programs as they should (the upload below takes that road).
wine_limited='tst_discovery|tst_renaming|tst_announcements|tst_virtualmodule|tst_uploadroad|tst_uploadfaults|tst_cli$'
timeout 1800 ctest --test-dir "$build" --output-on-failure -j "$(nproc)" -L 'unit|road' \
    -E "$wine_limited"

step "An upload end to end: rudireze-cli.exe against a Linux virtual module"
linux=$top/build-tests
cmake -S "$top" -B "$linux" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRUDIREZE_BUILD_BENCH=OFF >/dev/null
cmake --build "$linux" -j "$(nproc)" --target virtual-module
sketch=$linux/simboard-firmware/sketches/full-uno.hex
objcopy -I ihex -O binary "$sketch" "$work/image.bin"
"$linux/bin/virtual-module" --board uno-sim --address 127.0.0.2 --announce-ms 0 \
    --uart lossy --bridge bytes --flash-out "$work/flash.bin" --exit-after 120 \
    >"$work/module.out" 2>&1 &
module_pid=$!
for _ in $(seq 100); do
    grep -q '^ready' "$work/module.out" && break
    sleep 0.1
done
line=$(grep '^module 1 ' "$work/module.out")
data_port=$(sed -n 's/.* data-port=\([0-9]*\).*/\1/p' <<<"$line")
at_port=$(sed -n 's/.* at-port=\([0-9]*\).*/\1/p' <<<"$line")
cp "$sketch" "$work/sketch.hex"
(cd "$work" && timeout 300 "$wine" "$build/bin/rudireze-cli.exe" upload sketch.hex --board UNO \
    "127.0.0.2:$data_port:$at_port" --verify)
kill -TERM "$module_pid"
wait "$module_pid" || true
module_pid=
grep -q '^exit lost-bytes=0' "$work/module.out"
size=$(stat -c %s "$work/image.bin")
cmp -n "$size" "$work/image.bin" "$work/flash.bin"
echo "flash equals the image ($size bytes), no byte lost"

step "The installer: silent install, the installed program, silent uninstall"
setup=$(ls "$package"/rudireze-*-setup.exe)
timeout 120 "$wine" "$setup" /S
timeout 60 "$wineserver" -w
installed=$WINEPREFIX/drive_c/Program\ Files/Rudireze
menu=$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/Rudireze
[[ -f $installed/rudireze-cli.exe && -f $installed/rudireze.exe && -f $installed/uninstall.exe ]]
[[ -f $menu/Rudireze.lnk ]]
timeout 60 "$wine" "$installed/rudireze-cli.exe" --help | grep -q 'GPL-3.0-or-later'
timeout 120 "$wine" "$installed/uninstall.exe" /S
timeout 60 "$wineserver" -w
# The uninstaller copies itself away and returns at once; give it its time.
for _ in $(seq 100); do
    [[ ! -e $installed && ! -e $menu ]] && break
    sleep 0.2
done
[[ ! -e $installed && ! -e $menu ]] || { echo "the uninstaller left files behind" >&2; exit 1; }
if timeout 30 "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Rudireze' \
    >/dev/null 2>&1; then
    echo "the uninstaller left its registry key behind" >&2
    exit 1
fi
echo "installed, ran and uninstalled without a trace"
