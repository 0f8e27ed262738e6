#!/usr/bin/env bash
# Runs the libFuzzer harnesses (tests/fuzz): the frame receiver, the address
# parsers and whole transfers, built with the `fuzz` preset (clang, ASan and
# UBSan on everything, libFuzzer coverage on the driver's code).
#
#   scripts/fuzz.sh short          each harness for FUZZ_SECONDS (default 20) s;
#                                  what the test script runs
#   scripts/fuzz.sh long HOURS     each harness for HOURS hours, all three at
#                                  once (meant for an otherwise idle machine)
#
# Each harness starts from the committed corpus (tests/fuzz/corpus/<harness>)
# and from its scratch corpus under build/fuzz/corpus/<harness>, where the
# new inputs it finds go; the committed corpus is only read. After the run the
# two are merged into build/fuzz/merged/<harness>, a minimal set that keeps
# all coverage: inputs worth keeping can be copied from there into the
# committed corpus by hand. A crash, an invariant the harness checks, a leak
# or a slow input leaves its input in build/fuzz/artifacts/ and fails the run.
# Prints the executions run per harness.
set -uo pipefail
cd "$(dirname "$0")/.."

mode=${1:-short}
case "$mode" in
    short) seconds=${FUZZ_SECONDS:-20} ;;
    long)
        hours=${2:-}
        [[ "$hours" =~ ^[0-9]+([.][0-9]+)?$ ]] || { echo "usage: $0 long HOURS" >&2; exit 64; }
        seconds=$(awk -v h="$hours" 'BEGIN { printf "%d", h * 3600 }')
        ;;
    *) echo "usage: $0 short | long HOURS" >&2; exit 64 ;;
esac

harnesses=(fuzz_frame fuzz_address fuzz_transfer)
build=build/fuzz
cmake --preset fuzz >/dev/null || exit 1
# Only the harnesses: the shared module does not link with clang's static
# sanitizer runtimes, and nothing else is needed here.
cmake --build --preset fuzz -j "$(nproc 2>/dev/null || echo 2)" --target "${harnesses[@]}" || exit 1

mkdir -p "$build/artifacts"
run_one() {  # harness
    local h=$1
    mkdir -p "$build/corpus/$h"
    "$build/bin/$h" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$h-" \
        "$build/corpus/$h" "tests/fuzz/corpus/$h" >"$build/$h.log" 2>&1
}

declare -A status
if [ "$mode" = long ]; then
    declare -A pids
    for h in "${harnesses[@]}"; do
        run_one "$h" &
        pids[$h]=$!
    done
    for h in "${harnesses[@]}"; do
        wait "${pids[$h]}"
        status[$h]=$?
    done
else
    for h in "${harnesses[@]}"; do
        run_one "$h"
        status[$h]=$?
    done
fi

failed=0
total=0
for h in "${harnesses[@]}"; do
    log="$build/$h.log"
    execs=$(awk '/stat::number_of_executed_units/ {print $NF}' "$log" | tail -n 1)
    execs=${execs:-0}
    total=$((total + execs))
    cov=$(grep -E '^#[0-9]+.*(DONE|cov:)' "$log" | tail -n 1 | grep -oE 'cov: [0-9]+ ft: [0-9]+' || true)
    if [ "${status[$h]}" -ne 0 ]; then
        failed=1
        echo "$h: FAILED after $execs executions (exit ${status[$h]}); log $log"
        grep -E 'ERROR|invariant broken|runtime error|Test unit written' "$log" | head -n 20
        continue
    fi
    rm -rf "$build/merged/$h"
    mkdir -p "$build/merged/$h"
    "$build/bin/$h" -merge=1 -timeout=10 "$build/merged/$h" "tests/fuzz/corpus/$h" \
        "$build/corpus/$h" >"$build/$h.merge.log" 2>&1 ||
        { failed=1; echo "$h: merge failed; log $build/$h.merge.log"; }
    kept=$(find "$build/merged/$h" -type f | wc -l)
    echo "$h: $execs executions in ${seconds} s, $cov, merged corpus $kept inputs"
done
echo "fuzz: $total executions in all"
exit $failed
