#!/usr/bin/env bash
# run-fuzz.sh [SECONDS]: builds the libFuzzer targets of fuzz/ with clang in
# build-fuzz/ and runs each for SECONDS (default 30) from its committed seeds.
# A crash, a leak or an input that takes longer than 10 s fails the run; the
# input at fault is left as build-fuzz/NAME-crash-* (or -leak-, -timeout-).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
build="$top/build-fuzz"
cmake -S "$top/fuzz" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j "$(nproc)"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for fuzzer in "$build"/bin/*_fuzzer; do
    name=$(basename "$fuzzer" _fuzzer)
    # New inputs go to a scratch folder; the committed seeds stay as they are.
    scratch=$(mktemp -d)
    echo "== $name: ${seconds} s"
    status=0
    "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build/$name-" \
        "$scratch" "$top/fuzz/corpus/$name" 2>"$build/$name.log" || status=$?
    rm -rf "$scratch"
    grep -E '^(stat::number_of_executed_units|Done)' "$build/$name.log" || true
    if [[ $status -ne 0 ]]; then
        tail -n 40 "$build/$name.log"
        echo "$name failed (exit $status)" >&2
        exit 1
    fi
done
