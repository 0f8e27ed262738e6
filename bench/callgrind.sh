#!/usr/bin/env bash
# Instructions per 256-byte read, counted by callgrind: a figure that does not
# move with the machine's load.
#
#   bench/callgrind.sh [BIN_DIR] [--annotate]
#
# The driver: vave8ctl polls a 256-byte block ('2' x256) of the simulated PLC
# with no pause, under callgrind collecting only inside NuvMain, for two run
# lengths; the difference divided by the difference of the lengths is the
# cost of one read, without the ColdStart, the parsing and the close around
# them. libmodbus: vave8bench --yardstick-reads runs the benchmark's own
# yardstick (a libmodbus RTU client against a libmodbus server over a
# pseudo-terminal) collecting only inside modbus_read_registers, 125
# registers a read, with the same two lengths. The PLC's block holds every
# byte value once, as the benchmark's read area does, so the reply carries
# doubled bytes.
#
# --annotate also prints where the driver's instructions go (inclusive, per
# function, for the longer run). Needs valgrind (callgrind_annotate comes
# with it).
set -uo pipefail
cd "$(dirname "$0")/.."

bin=build/native/bin
annotate=0
for arg in "$@"; do
    case "$arg" in
        --annotate) annotate=1 ;;
        -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
        *) bin=$arg ;;
    esac
done
short=${CALLGRIND_SHORT:-20}
long=${CALLGRIND_LONG:-120}
ratio_limit=3

for program in vave8ctl vave8bench p8sim libvave8.so; do
    [ -e "$bin/$program" ] || { echo "callgrind.sh: $bin/$program missing (build the native preset)"; exit 1; }
done
command -v valgrind >/dev/null || { echo "callgrind.sh: valgrind not installed"; exit 1; }

work=$(mktemp -d /tmp/vave8-callgrind-XXXXXX)
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# Station 1, bytes 0..255: (i * 37 + 11) mod 256, 0xF1 and 0x59 among them.
{
    printf '1:0:'
    for ((i = 0; i < 256; i++)); do printf ' %02x' $(((i * 37 + 11) & 255)); done
    echo
} >"$work/image"

"$bin/p8sim" --stations 0-7 --load "$work/image" --idle-exit 600 >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do
    [ -s "$work/sim.out" ] && break
    sleep 0.05
done
pty=$(head -n1 "$work/sim.out")
case "$pty" in
    /dev/*) port=${pty#/dev/} ;;
    *) echo "callgrind.sh: the simulated PLC did not start: $(cat "$work/sim.err")"; exit 1 ;;
esac

# The Ir events callgrind collected in one run (every process of it).
collected() {
    awk '/^totals:/ { sum += $2 } END { print sum + 0 }' "$@"
}

driver_run() {
    local reads=$1
    valgrind --tool=callgrind --toggle-collect=NuvMain \
        --callgrind-out-file="$work/driver.$reads.%p" \
        "$bin/vave8ctl" poll 0120000 --count 256 --times "$reads" --interval 0 \
        --port "$port" >"$work/driver.$reads.log" 2>&1 ||
        { echo "callgrind.sh: vave8ctl failed:"; tail -5 "$work/driver.$reads.log"; exit 1; }
    collected "$work"/driver."$reads".*
}

yardstick_run() {
    local reads=$1
    valgrind --tool=callgrind --toggle-collect=modbus_read_registers \
        --callgrind-out-file="$work/modbus.$reads.%p" \
        "$bin/vave8bench" --yardstick-reads "$reads" >"$work/modbus.$reads.log" 2>&1 ||
        { echo "callgrind.sh: the libmodbus reads failed:"; tail -5 "$work/modbus.$reads.log"; exit 1; }
    collected "$work"/modbus."$reads".*
}

driver_short=$(driver_run "$short")
driver_long=$(driver_run "$long")
modbus_short=$(yardstick_run "$short")
modbus_long=$(yardstick_run "$long")

awk -v ds="$driver_short" -v dl="$driver_long" -v ms="$modbus_short" -v ml="$modbus_long" \
    -v s="$short" -v l="$long" -v limit="$ratio_limit" 'BEGIN {
    d = (dl - ds) / (l - s); m = (ml - ms) / (l - s)
    printf "Instructions per read (callgrind, %d and %d reads, the difference)\n", s, l
    printf "  %-44s %10.0f\n", "driver, NuvMain, 256-byte block read", d
    printf "  %-44s %10.0f\n", "libmodbus, modbus_read_registers, 125 regs", m
    printf "  %-44s %10.2f   (target <= %d: %s)\n", "ratio", d / m, limit,
        d / m <= limit ? "ok" : "MISSED"
}'

if [ "$annotate" -eq 1 ]; then
    echo
    echo "Where the driver's instructions go: own instructions per read of each function"
    echo "($long reads, ColdStart and parsing included; inlined parts counted with their function)"
    for file in "$work"/driver."$long".*; do
        callgrind_annotate --auto=no "$file" 2>/dev/null | awk -v reads="$long" '
            /^ *[0-9,]+ \([ 0-9.]+%\) / {
                n = $1; gsub(",", "", n)
                line = $0; sub(/^ *[0-9,]+ \([ 0-9.]+%\) +/, "", line)
                sub(/ \[[^]]*\]$/, "", line)
                if (line == "PROGRAM TOTALS") next
                name = substr(line, index(line, ":") + 1)
                cost[name] += n
            }
            END { for (name in cost) printf "%10.0f  %s\n", cost[name] / reads, name }' |
            sort -rn | head -14
    done
fi
