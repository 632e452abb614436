#!/usr/bin/env bash
# Installs what is missing, builds with optimisation, and runs every benchmark
# (the executables named bench_* under bench/). Each prints its figures as
# ratios against a peer or a limit measured in the same run. Every benchmark
# is bounded: bench_realboards runs about a quarter of an hour in all.
#   run-bench.sh                 every benchmark
#   run-bench.sh bridges|latency one part of bench_realboards alone (a few
#                                minutes): the bridge modes, or the network
#                                delays against avrdude
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
export QT_QPA_PLATFORM=offscreen
cmake -S "$top" -B "$top/build-bench" -DCMAKE_BUILD_TYPE=Release -DRUDIREZE_BUILD_TESTS=OFF >/dev/null
cmake --build "$top/build-bench" -j "$(nproc)"
workdir=$(mktemp -d)
trap 'rm -rf "$workdir"' EXIT
status=0
if [[ "${1:-}" == bridges || "${1:-}" == latency ]]; then
    echo "== bench_realboards --part $1"
    (cd "$workdir" && timeout 900 "$top/build-bench/bin/bench_realboards" --part "$1") || status=1
    exit $status
fi
for bench in "$top"/build-bench/bin/bench_*; do
    [[ -x "$bench" ]] || continue
    echo "== $(basename "$bench")"
    (cd "$workdir" && timeout 1800 "$bench" "$@") || status=1
done
exit $status
