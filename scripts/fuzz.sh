#!/usr/bin/env bash
# Runs the libFuzzer harnesses (tests/fuzz): the frame receiver, the address
# parsers and whole transfers, with libFuzzer coverage on the driver's code.
#
#   scripts/fuzz.sh short          each harness for FUZZ_SECONDS (default 20) s;
#                                  what the test script runs
#   scripts/fuzz.sh long HOURS     each harness for HOURS hours, all three at
#                                  once (meant for an otherwise idle machine)
#   scripts/fuzz.sh runs [N]       each harness to N executions (default
#                                  10^8), FUZZ_JOBS (default 2) at a time;
#                                  the hardening run before a release
#
# `short` runs the `fuzz` preset's programs: ASan and UBSan on everything.
# `long` and `runs` run the `fuzz-scale` preset's, two to three times
# faster: UBSan and bounds checks on everything, but no ASan, so a read past
# a buffer, or a write past one that no guard band of the harnesses covers,
# goes unseen while they run. Afterwards every input the run kept (its
# scratch corpus) and every one it saved (a crash, a timeout, a slow input)
# is run again by the `fuzz` preset's programs, under ASan; a finding there
# fails the run and leaves its input in build/fuzz/artifacts/ too.
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
# Prints per harness the executions, the time they took (wall clock and CPU),
# the rate per CPU-second and the coverage reached.
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
build=build/fuzz  # the ASan programs, and every run's corpus, logs and findings
presets=(fuzz)
bin=build/fuzz/bin
if [ "$mode" != short ]; then
    presets+=(fuzz-scale)
    bin=build/fuzz-scale/bin
fi
for preset in "${presets[@]}"; do
    cmake --preset "$preset" >/dev/null || exit 1
    # Only the harnesses: the shared module does not link with clang's
    # static sanitizer runtimes, and nothing else is needed here.
    cmake --build --preset "$preset" -j "$(nproc 2>/dev/null || echo 2)" \
        --target "${harnesses[@]}" || exit 1
done

mkdir -p "$build/artifacts"
# Findings of this run are the artifacts newer than this mark.
mark="$build/run.mark"
touch "$mark"
# Leaves the harness's exit status, its wall-clock seconds and its CPU
# seconds beside its log.
run_one() {  # harness
    local h=$1 limit start TIMEFORMAT='%U %S'
    mkdir -p "$build/corpus/$h"
    if [ "$runs" -gt 0 ]; then limit=(-runs="$runs"); else limit=(-max_total_time="$seconds"); fi
    start=$SECONDS
    { time "$bin/$h" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$h-" \
        "$build/corpus/$h" "tests/fuzz/corpus/$h" >"$build/$h.log" 2>&1; } 2>"$build/$h.cpu"
    echo $? >"$build/$h.status"
    echo $((SECONDS - start)) >"$build/$h.seconds"
}

# Runs what a scale run kept and saved again under ASan; 0 when all passed.
replay_asan() {  # harness
    local h=$1 found=()
    mapfile -t found < <(find "$build/artifacts" -maxdepth 1 -type f -name "$h-*" \
        ! -name "$h-asan-*" -newer "$mark")
    {
        "$build/bin/$h" -runs=0 -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
            -artifact_prefix="$build/artifacts/$h-asan-" "$build/corpus/$h" &&
            if [ "${#found[@]}" -gt 0 ]; then
                "$build/bin/$h" -timeout=10 -rss_limit_mb=2048 \
                    -artifact_prefix="$build/artifacts/$h-asan-" "${found[@]}"
            fi
    } >"$build/$h.asan.log" 2>&1
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
    cpu=$(awk '{ printf "%.1f", $1 + $2 }' "$build/$h.cpu" 2>/dev/null)
    cpu=${cpu:-0}
    execs=$(awk '/stat::number_of_executed_units/ {print $NF}' "$log" | tail -n 1)
    execs=${execs:-$(grep -oE '^#[0-9]+' "$log" | tail -n 1 | tr -d '#')}
    execs=${execs:-0}
    total=$((total + execs))
    rate=$(awk -v n="$execs" -v c="$cpu" 'BEGIN { if (c > 0) printf "%.0f", n / c; else print "?" }')
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
    fi
    if [ "$status" -eq 0 ] || [ "$status" -eq 72 ]; then
        rm -rf "$build/merged/$h"
        mkdir -p "$build/merged/$h"
        "$bin/$h" -merge=1 -timeout=10 "$build/merged/$h" "tests/fuzz/corpus/$h" \
            "$build/corpus/$h" >"$build/$h.merge.log" 2>&1 ||
            { failed=1; echo "$h: merge failed; log $build/$h.merge.log"; }
        kept=$(find "$build/merged/$h" -type f | wc -l)
        echo "$h: $execs executions in $took s, $cpu CPU-s ($rate exec per CPU-s)$stopped, $cov, merged corpus $kept inputs"
    fi
    if [ "$mode" != short ]; then
        inputs=$(find "$build/corpus/$h" -type f | wc -l)
        if replay_asan "$h"; then
            echo "$h: its $inputs kept inputs and its findings replayed under ASan: all passed"
        else
            failed=1
            echo "$h: FAILED when its kept inputs and findings were replayed under ASan; log $build/$h.asan.log"
            grep -E 'ERROR|invariant broken|runtime error|Test unit written' "$build/$h.asan.log" | head -n 20
        fi
    fi
done
echo "fuzz: $total executions in all"
exit $failed
