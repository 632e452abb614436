#!/bin/sh
# Runs a cross-built Windows program under Wine for ctest. A QtTest program
# writes its log to a file that is printed afterwards: a Windows console
# program's own output to a pipe does not reach ctest under Wine.
# wine-run.sh WINE PROGRAM [ARGUMENTS...]
wine=$1
program=$2
shift 2
case $(basename "$program") in
tst_*)
    log=$(mktemp /tmp/rudireze-test-log.XXXXXX)
    "$wine" "$program" "$@" -o "$log,txt"
    status=$?
    cat "$log"
    rm -f "$log"
    exit $status
    ;;
esac
exec "$wine" "$program" "$@"
