#!/usr/bin/env bash
# Runs the unit suite and the end-to-end suite under valgrind's memcheck: no
# invalid read or write, no use of uninitialised memory and no definite leak
# may be reported (each suite runs as one process, so the check covers every
# test in it, and the driver module that test_e2e loads with dlopen).
#
#   scripts/valgrind.sh [BUILD_DIR]     (default: build/native, built here
#                                        with the native preset when missing)
#
# VALGRIND_E2E_FILTER, a gtest filter, narrows the end-to-end suite when it
# grows too slow under valgrind (default: all of it).
set -uo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/native}
jobs=$(nproc 2>/dev/null || echo 2)
if [ "$build" = build/native ]; then
    cmake --preset native >/dev/null || exit 1
else
    cmake --preset native -B "$build" >/dev/null || exit 1
fi
cmake --build "$build" -j "$jobs" --target test_unit test_e2e vave8 || exit 1

failed=0
run() {  # name, program, gtest filter
    local name=$1 program=$2 filter=$3 log="$build/valgrind-$1.log" start=$SECONDS
    # A gtest death test or a child process is not followed: only the suite's
    # own process is checked.
    if valgrind --tool=memcheck --error-exitcode=1 --leak-check=full \
        --errors-for-leak-kinds=definite --show-leak-kinds=definite \
        --trace-children=no --num-callers=30 --log-file="$log" \
        "$program" --gtest_filter="$filter" --gtest_brief=1 >"$build/valgrind-$name.out" 2>&1; then
        echo "$name: clean ($((SECONDS - start)) s): $(grep -E 'ERROR SUMMARY' "$log" | sed 's/^==[0-9]*== //')"
    else
        failed=1
        echo "$name: FAILED ($((SECONDS - start)) s); valgrind log $log, output $build/valgrind-$name.out"
        grep -E 'ERROR SUMMARY|definitely lost|Invalid|uninitialised' "$log" | head -n 20
        tail -n 20 "$build/valgrind-$name.out"
    fi
}

run unit "$build/bin/test_unit" '*'
run e2e "$build/bin/test_e2e" "${VALGRIND_E2E_FILTER:-*}"
exit $failed
