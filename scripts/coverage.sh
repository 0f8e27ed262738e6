#!/usr/bin/env bash
# Line and branch coverage of the driver: builds the `coverage` preset (the
# driver's objects instrumented, -O0), runs its whole test suite, the fuzz
# corpus replay included, and reports driver/, link/, address/ and
# port/posix/ with gcovr: a text summary per file (lines, then branches)
# here, the detailed HTML report in build/coverage/coverage.html.
#
#   scripts/coverage.sh
#
# Branches the compiler adds for exceptions, and those it proves
# unreachable, are left out of the count; the driver throws nothing.
# Fails when a test fails, when the driver's own code (driver/, link/,
# address/) falls below COVERAGE_MIN_LINES (default 100) percent of lines or
# COVERAGE_MIN_BRANCHES (default 95) percent of branches, or when the POSIX
# port backend (port/posix/) falls below PORT_MIN_LINES (default 95) or
# PORT_MIN_BRANCHES (default 90).
set -uo pipefail
cd "$(dirname "$0")/.."

build=build/coverage
jobs=2
cmake --preset coverage >/dev/null || exit 1
cmake --build --preset coverage -j "$jobs" || exit 1

# Counts of earlier runs would add up with this one.
find "$build" -name '*.gcda' -delete
ctest --preset coverage -j "$jobs" --timeout 600
tests=$?

core=(--filter 'driver/' --filter 'link/' --filter 'address/')
common=(-r . --object-directory "$build" --exclude-throw-branches --exclude-unreachable-branches)
echo
echo "=== coverage of driver/, link/, address/ and port/posix/"
gcovr "${common[@]}" "${core[@]}" --filter 'port/posix/' --txt - \
    --html-details "$build/coverage.html" --html-title "vave8 driver" || exit 1
gcovr "${common[@]}" "${core[@]}" --filter 'port/posix/' --branches --txt - | sed -n '/^File/,$p'
echo
echo "=== driver/, link/ and address/ (at least ${COVERAGE_MIN_LINES:-100}% of lines," \
    "${COVERAGE_MIN_BRANCHES:-95}% of branches)"
gcovr "${common[@]}" "${core[@]}" --txt "$build/coverage-core.txt" --print-summary \
    --fail-under-line "${COVERAGE_MIN_LINES:-100}" \
    --fail-under-branch "${COVERAGE_MIN_BRANCHES:-95}"
cov=$?
echo
echo "=== port/posix/ (at least ${PORT_MIN_LINES:-95}% of lines, ${PORT_MIN_BRANCHES:-90}% of branches)"
gcovr "${common[@]}" --filter 'port/posix/' --txt "$build/coverage-port.txt" --print-summary \
    --fail-under-line "${PORT_MIN_LINES:-95}" \
    --fail-under-branch "${PORT_MIN_BRANCHES:-90}"
port=$?
echo "HTML report: $build/coverage.html"
[ "$tests" -eq 0 ] && [ "$cov" -eq 0 ] && [ "$port" -eq 0 ]
