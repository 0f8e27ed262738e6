#!/usr/bin/env bash
# Runs the libFuzzer harnesses (tests/fuzz): the frame receiver, the address
# parsers and whole transfers, built with the `fuzz` preset (clang, ASan and
# UBSan on everything, libFuzzer coverage on the driver's code).
#
#   scripts/fuzz.sh short          each harness for FUZZ_SECONDS (default 20) s;
#                                  what the test script runs
#   scripts/fuzz.sh long HOURS     each harness for HOURS hours, all three at
#                                  once (meant for an otherwise idle machine)
#   scripts/fuzz.sh runs [N]       each harness to N executions (default
#                                  10^8), FUZZ_JOBS (default 2) at a time;
#                                  the hardening run before a release
#
# Each harness starts from the committed corpus (tests/fuzz/corpus/<harness>)
# and from its scratch corpus under build/fuzz/corpus/<harness>, where the
# new inputs it finds go; the committed corpus is only read. After the run the
# two are merged into build/fuzz/merged/<harness>, a minimal set that keeps
# all coverage: inputs worth keeping can be copied from there into the
# committed corpus by hand. A crash, an invariant the harness checks, a leak
# or a slow input leaves its input in build/fuzz/artifacts/ and fails the run.
# A harness stopped with SIGINT (kill -INT on its process) reports how far it
# got and keeps its corpus, and the run counts as failed.
# Prints per harness the executions, the time they took, the rate and the
# coverage reached.
set -uo pipefail
cd "$(dirname "$0")/.."

usage="usage: $0 short | long HOURS | runs [N]"
mode=${1:-short}
runs=0
seconds=0
case "$mode" in
    short) seconds=${FUZZ_SECONDS:-20} ;;
    long)
        hours=${2:-}
        [[ "$hours" =~ ^[0-9]+([.][0-9]+)?$ ]] || { echo "$usage" >&2; exit 64; }
        seconds=$(awk -v h="$hours" 'BEGIN { printf "%d", h * 3600 }')
        ;;
    runs)
        runs=${2:-100000000}
        [[ "$runs" =~ ^[1-9][0-9]*$ ]] || { echo "$usage" >&2; exit 64; }
        ;;
    *) echo "$usage" >&2; exit 64 ;;
esac
jobs=${FUZZ_JOBS:-2}
[[ "$jobs" =~ ^[1-9][0-9]*$ ]] || { echo "FUZZ_JOBS must be a positive number" >&2; exit 64; }

harnesses=(fuzz_frame fuzz_address fuzz_transfer)
build=build/fuzz
cmake --preset fuzz >/dev/null || exit 1
# Only the harnesses: the shared module does not link with clang's static
# sanitizer runtimes, and nothing else is needed here.
cmake --build --preset fuzz -j "$(nproc 2>/dev/null || echo 2)" --target "${harnesses[@]}" || exit 1

mkdir -p "$build/artifacts"
# Leaves the harness's exit status and its wall-clock seconds beside its log.
run_one() {  # harness
    local h=$1 limit start
    mkdir -p "$build/corpus/$h"
    if [ "$runs" -gt 0 ]; then limit=(-runs="$runs"); else limit=(-max_total_time="$seconds"); fi
    start=$SECONDS
    "$build/bin/$h" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$h-" \
        "$build/corpus/$h" "tests/fuzz/corpus/$h" >"$build/$h.log" 2>&1
    echo $? >"$build/$h.status"
    echo $((SECONDS - start)) >"$build/$h.seconds"
}

case "$mode" in
    short) for h in "${harnesses[@]}"; do run_one "$h"; done ;;
    long)
        for h in "${harnesses[@]}"; do run_one "$h" & done
        wait
        ;;
    runs)
        for h in "${harnesses[@]}"; do
            while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
            run_one "$h" &
        done
        wait
        ;;
esac

failed=0
total=0
for h in "${harnesses[@]}"; do
    log="$build/$h.log"
    status=$(cat "$build/$h.status" 2>/dev/null || echo 1)
    took=$(cat "$build/$h.seconds" 2>/dev/null || echo 0)
    execs=$(awk '/stat::number_of_executed_units/ {print $NF}' "$log" | tail -n 1)
    execs=${execs:-$(grep -oE '^#[0-9]+' "$log" | tail -n 1 | tr -d '#')}
    execs=${execs:-0}
    total=$((total + execs))
    rate=$(awk '/stat::average_exec_per_sec/ {print $NF}' "$log" | tail -n 1)
    cov=$(grep -E '^#[0-9]+.*(DONE|cov:)' "$log" | tail -n 1 | grep -oE 'cov: [0-9]+ ft: [0-9]+' || true)
    stopped=
    if [ "$status" -eq 72 ]; then
        # libFuzzer's code for a run stopped by SIGINT: nothing found, but
        # the run is short of its goal; the corpus is still worth merging.
        failed=1
        stopped=", STOPPED EARLY"
    elif [ "$status" -ne 0 ]; then
        failed=1
        echo "$h: FAILED after $execs executions (exit $status); log $log"
        grep -E 'ERROR|invariant broken|runtime error|Test unit written' "$log" | head -n 20
        continue
    fi
    rm -rf "$build/merged/$h"
    mkdir -p "$build/merged/$h"
    "$build/bin/$h" -merge=1 -timeout=10 "$build/merged/$h" "tests/fuzz/corpus/$h" \
        "$build/corpus/$h" >"$build/$h.merge.log" 2>&1 ||
        { failed=1; echo "$h: merge failed; log $build/$h.merge.log"; }
    kept=$(find "$build/merged/$h" -type f | wc -l)
    echo "$h: $execs executions in $took s (${rate:-?} exec/s)$stopped, $cov, merged corpus $kept inputs"
done
echo "fuzz: $total executions in all"
exit $failed
