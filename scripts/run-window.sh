#!/usr/bin/env bash
# Installs what is missing, builds, and opens the window.
#
#   bash scripts/run-window.sh          the window alone
#   bash scripts/run-window.sh --demo   the window and three virtual modules on
#                                       loopback, for trying it without hardware:
#                                       demo-uno (127.0.0.2, an UNO board),
#                                       demo-mega (127.0.0.3, a Mega 2560) and
#                                       demo-slow (127.0.0.4, a Mega 2560 behind a
#                                       115200-baud line with 20 ms of latency).
#                                       They stop when the window closes; their
#                                       flash is written to demo-flash-<address>.bin
#                                       in the build directory.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

demo=0
for argument in "$@"; do
    case "$argument" in
    --demo) demo=1 ;;
    -h | --help)
        awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"
        exit 0
        ;;
    *)
        echo "run-window.sh: unknown option $argument (try --help)" >&2
        exit 2
        ;;
    esac
done

"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" "$top/build" -DRUDIREZE_BUILD_TESTS=OFF -DRUDIREZE_BUILD_BENCH=OFF
cd "$top"
if [[ $demo -eq 0 ]]; then
    exec "$top/build/bin/rudireze"
fi

# The modules' own lifetime bounds them even if this script is killed.
demo_lifetime_seconds=86400
flash_files="$top/build/demo-flash-%a.bin"
"$top/build/bin/virtual-module" --quiet --exit-after "$demo_lifetime_seconds" \
    --board uno --name demo-uno --flash-out "$flash_files" \
    --and --board mega --name demo-mega --flash-out "$flash_files" \
    --and --board mega --name demo-slow --baud 115200 --latency-ms 20 --flash-out "$flash_files" &
modules=$!
trap 'kill -TERM "$modules" 2>/dev/null || true; wait "$modules" 2>/dev/null || true' EXIT
status=0
"$top/build/bin/rudireze" || status=$?
exit $status
