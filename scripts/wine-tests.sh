#!/usr/bin/env bash
# Runs the Windows test programs under Wine against COM ports that Wine maps
# to Linux pseudo-terminals with an echo peer on the far side.
#
#   scripts/wine-tests.sh [WIN32_BUILD_DIR]     (default: build/win32)
#
# The build dir is a win32-preset build (vave8.dll for 32-bit Windows), run
# under 32-bit Wine. Where this machine runs no 32-bit code (the i386 Wine
# loader fails with "Exec format error"), run this script under
# scripts/wine32-emul.sh, as the test command does, to emulate it; where that
# is not possible either, the same sources are built for 64-bit Windows inside
# the build dir and run under the 64-bit Wine, and the script says the shipped
# DLL was not run. That needs Debian's wine64 and g++-mingw-w64-x86-64-posix.
# The Wine prefix lives inside the build dir too.
# Every Wine run is under `timeout`; everything started here is stopped at the
# end. Exit status: 0 only when every program ran and every check passed.
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-build/win32}
case "$BUILD" in /*) ;; *) BUILD="$PWD/$BUILD" ;; esac
COM=COM5          # mapped to the peer's pseudo-terminal
SIM_COM=COM6      # mapped to the simulated PLC's pseudo-terminal
ABSENT=COM9       # never mapped: opens of it must fail
RUN_LIMIT=120     # seconds for one Windows program (each needs a few)

say() { printf 'wine-tests: %s\n' "$*"; }
die() { say "$*"; exit 2; }

[ -f "$BUILD/bin/vave8.dll" ] || die "no $BUILD/bin/vave8.dll: build the win32 preset first"
command -v python3 >/dev/null || die "python3 is needed for the pseudo-terminal peer"

# --- which Wine, which binaries -----------------------------------------------------
. "$ROOT/scripts/wine-env.sh"
wine_binaries wine-tests vave8 hostsvc wine_port_test wine_host_test wine_e2e_test vave8ctl
for exe in wine_port_test.exe wine_host_test.exe wine_e2e_test.exe vave8ctl.exe hostsvc.dll vave8.dll; do
    [ -f "$BIN/$exe" ] || die "missing $BIN/$exe"
done

WORK=$(mktemp -d)
PEER_PID=""
SIM_PID=""
cleanup() {
    if [ -n "$PEER_PID" ]; then kill "$PEER_PID" 2>/dev/null; wait "$PEER_PID" 2>/dev/null; fi
    if [ -n "$SIM_PID" ]; then kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null; fi
    WINEPREFIX="$WINEPREFIX" timeout 30 /usr/lib/wine/wineserver -k >/dev/null 2>&1
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- the prefix: created once, then reused --------------------------------------------
wine_prefix "$WORK"
timeout 60 /usr/lib/wine/wineserver -w >/dev/null 2>&1

# --- the Linux side: pseudo-terminal with an echo ------------------------------------
python3 "$ROOT/tests/wine/pty_peer.py" --count 1 --seconds $((RUN_LIMIT * 3)) >"$WORK/peer.out" 2>&1 &
PEER_PID=$!
for _ in $(seq 100); do
    grep -q '^READY' "$WORK/peer.out" 2>/dev/null && break
    sleep 0.1
done
grep -q '^READY' "$WORK/peer.out" || { cat "$WORK/peer.out"; die "the pseudo-terminal peer did not start"; }
PTY=$(awk '/^PTY/ {print $2; exit}' "$WORK/peer.out")
com_lower=$(printf '%s' "$COM" | tr 'A-Z' 'a-z')
absent_lower=$(printf '%s' "$ABSENT" | tr 'A-Z' 'a-z')
ln -sfn "$PTY" "$WINEPREFIX/dosdevices/$com_lower"
rm -f "$WINEPREFIX/dosdevices/$absent_lower"
say "$COM -> $PTY"

# --- the Windows programs ----------------------------------------------------------------
TOTAL_PASSED=0
TOTAL_FAILED=0
STATUS=0
run() {
    local exe=$1; shift
    say "running $exe $*"
    (cd "$BIN" && timeout "$RUN_LIMIT" "$WINE" "$exe" "$@") >"$WORK/$exe.out" 2>&1
    local rc=$?
    grep -vE '^[0-9a-f]{4}:(fixme|err):' "$WORK/$exe.out"
    local tally
    tally=$(grep -E '^wine: [0-9]+ passed, [0-9]+ failed' "$WORK/$exe.out" | tail -n 1)
    if [ -z "$tally" ]; then
        say "$exe ended without its tally (exit $rc; 124 is a timeout)"
        TOTAL_FAILED=$((TOTAL_FAILED + 1))
        STATUS=1
        return
    fi
    TOTAL_PASSED=$((TOTAL_PASSED + $(sed -E 's/^wine: ([0-9]+) passed.*/\1/' <<<"$tally")))
    TOTAL_FAILED=$((TOTAL_FAILED + $(sed -E 's/^wine: [0-9]+ passed, ([0-9]+) failed.*/\1/' <<<"$tally")))
    [ "$rc" -eq 0 ] || STATUS=1
}

# tool WHAT EXIT PATTERN ARGS...: one run of vave8ctl.exe, which must end
# with EXIT and print PATTERN (a fixed text; empty: anything).
tool() {
    local what=$1 want=$2 pattern=$3
    shift 3
    (cd "$BIN" && timeout "$RUN_LIMIT" "$WINE" vave8ctl.exe "$@") 2>&1 | tr -d '\r' >"$WORK/tool.out"
    local rc=${PIPESTATUS[0]}
    if [ "$rc" -eq "$want" ] && { [ -z "$pattern" ] || grep -qF -- "$pattern" "$WORK/tool.out"; }; then
        TOTAL_PASSED=$((TOTAL_PASSED + 1))
        say "vave8ctl.exe $*: $what, ok"
    else
        TOTAL_FAILED=$((TOTAL_FAILED + 1))
        STATUS=1
        say "vave8ctl.exe $*: $what FAILED (exit $rc, wanted $want and '$pattern')"
        grep -vE '^[0-9a-f]{4}:(fixme|err):' "$WORK/tool.out" | tail -n 20
    fi
}

run wine_port_test.exe "$COM" "$ABSENT"
run wine_host_test.exe "$COM" "$ABSENT"

# --- end to end against the simulated PLC ------------------------------------------------
# p8sim is a Linux program: built natively inside the build dir. Station 7
# answers every request with an ERROR block of code 0x0A.
if [ -f "$ROOT/sim/CMakeLists.txt" ]; then
    if native_sim; then
        "$SIM" --parity N --fault '*:error=0x0A@7' --idle-exit $RUN_LIMIT \
            >"$WORK/sim.out" 2>"$WORK/sim.err" &
        SIM_PID=$!
        for _ in $(seq 100); do
            [ -s "$WORK/sim.out" ] && break
            sleep 0.1
        done
        SIM_PTY=$(head -n 1 "$WORK/sim.out")
        if [ -c "$SIM_PTY" ]; then
            ln -sfn "$SIM_PTY" "$WINEPREFIX/dosdevices/$(printf '%s' "$SIM_COM" | tr 'A-Z' 'a-z')"
            say "$SIM_COM -> $SIM_PTY (p8sim)"
            run wine_e2e_test.exe "$SIM_COM" 300
            # The host tool, as an engineer runs it on Windows.
            tool "driver description" 0 'Philips P8 PLC' info
            tool "address refused" 1 "Illegal character 2 in '0330000'" parse 0330000
            tool "write a word" 0 '' --port "$SIM_COM" --parity none write 0340100 4242
            tool "read it back" 0 '4242' --port "$SIM_COM" --parity none read 0340100
            tool "read a block" 0 'item' --port "$SIM_COM" --parity none read 0340100 --count 4
            tool "ERROR block, logged" 2 'Recieved ERROR block 0x0a retry 1' \
                --port "$SIM_COM" --parity none --verbose read 0740100
        else
            cat "$WORK/sim.err"
            say "p8sim did not report its pseudo-terminal"
            TOTAL_FAILED=$((TOTAL_FAILED + 1))
        fi
    else
        TOTAL_FAILED=$((TOTAL_FAILED + 1))
    fi
else
    say "no simulated PLC (sim/) in this tree: end-to-end runs skipped"
fi

[ "$TOTAL_FAILED" -eq 0 ] || STATUS=1
echo "wine: $TOTAL_PASSED passed, $TOTAL_FAILED failed"
exit "$STATUS"
