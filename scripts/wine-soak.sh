#!/usr/bin/env bash
# Runs the fault soak (vave8soak.exe) under Wine: the Windows driver module
# reads and writes the simulated PLC (p8sim, a Linux program) through a COM
# port that Wine maps to the simulator's pseudo-terminal, with faults injected
# on the line. At the end the simulator's memory dump must equal the soak's
# shadow of it.
#
#   scripts/wine-soak.sh [WIN32_BUILD_DIR]      (default: build/win32)
#
#   SOAK_TRANSACTIONS  transfers (default 1500)
#   SOAK_FAULT_RATE    share of requests answered wrongly (default 0.1)
#   SOAK_SEED          seed of transfers, faults and starting memory (default 1)
#   SOAK_TICKS         the driver's read timeout in 10 ms ticks (default 4)
#   SOAK_LIMIT         seconds the soak may run (default 1800)
#
# The Wine is chosen as scripts/wine-tests.sh chooses it (32-bit, emulated
# when run under scripts/wine32-emul.sh, or else the same sources built for
# 64-bit Windows in WIN32_BUILD_DIR/win64 and
# run under the 64-bit Wine). p8sim is built natively in
# WIN32_BUILD_DIR/native-sim. The Wine prefix lives in the build dir and is
# shared with the Wine runner. Exit status 0 only when the soak passed and
# the memory matched.
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-build/win32}
case "$BUILD" in /*) ;; *) BUILD="$PWD/$BUILD" ;; esac
COM=COM8  # mapped to the simulator's pseudo-terminal; the Wine runner uses 5, 6 and 9
TRANSACTIONS=${SOAK_TRANSACTIONS:-1500}
RATE=${SOAK_FAULT_RATE:-0.1}
SEED=${SOAK_SEED:-1}
TICKS=${SOAK_TICKS:-4}
LIMIT=${SOAK_LIMIT:-1800}

say() { printf 'wine-soak: %s\n' "$*"; }
die() { say "$*"; exit 2; }

[ -f "$BUILD/CMakeCache.txt" ] || die "no build in $BUILD: configure the win32 preset first"

# --- which Wine, which binaries, the simulated PLC --------------------------------
. "$ROOT/scripts/wine-env.sh"
wine_binaries soak vave8 hostsvc vave8soak
for f in vave8soak.exe vave8.dll hostsvc.dll; do
    [ -f "$BIN/$f" ] || die "missing $BIN/$f"
done

native_sim || die "building p8sim failed"

WORK=$(mktemp -d)
SIM_PID=""
cleanup() {
    if [ -n "$SIM_PID" ]; then kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null; fi
    rm -f "$WINEPREFIX/dosdevices/$(printf '%s' "$COM" | tr 'A-Z' 'a-z')"
    WINEPREFIX="$WINEPREFIX" timeout 30 /usr/lib/wine/wineserver -k >/dev/null 2>&1
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wine_prefix "$WORK"

# Without a console Wine may write CR LF; each argument goes on its own line.
soak() {
    (cd "$WORK" && timeout "$LIMIT" "$WINE" "$BIN/vave8soak.exe" "$@")
}
COMMON=(--fault-rate "$RATE" --seed "$SEED" --timeout-ticks "$TICKS")

# --- the simulated PLC, started from the soak's own starting image ---------------
soak --prepare image.txt "${COMMON[@]}" >"$WORK/args.raw" 2>"$WORK/prepare.err" ||
    { cat "$WORK/prepare.err"; die "vave8soak.exe --prepare failed"; }
mapfile -t SIM_ARGS < <(tr -d '\r' <"$WORK/args.raw" | grep -v '^$')
[ "${#SIM_ARGS[@]}" -ge 2 ] && [ -s "$WORK/image.txt" ] || die "vave8soak.exe --prepare gave nothing"

(cd "$WORK" && exec "$SIM" "${SIM_ARGS[@]}" --dump dump.txt --stats --idle-exit "$LIMIT") \
    >"$WORK/sim.out" 2>"$WORK/sim.err" &
SIM_PID=$!
for _ in $(seq 100); do
    [ -s "$WORK/sim.out" ] && break
    sleep 0.1
done
SIM_PTY=$(head -n 1 "$WORK/sim.out")
[ -c "$SIM_PTY" ] || { cat "$WORK/sim.err"; die "p8sim did not report its pseudo-terminal"; }
ln -sfn "$SIM_PTY" "$WINEPREFIX/dosdevices/$(printf '%s' "$COM" | tr 'A-Z' 'a-z')"
say "$COM -> $SIM_PTY (p8sim ${SIM_ARGS[*]})"

# --- the soak ----------------------------------------------------------------------
say "vave8soak.exe --port $COM --transactions $TRANSACTIONS ${COMMON[*]}"
soak --port "$COM" --transactions "$TRANSACTIONS" "${COMMON[@]}" --parity 0 \
    --dump-shadow shadow.txt 2>&1 | tr -d '\r' | grep -vE '^[0-9a-f]{4}:(fixme|err):'
SOAK_RC=${PIPESTATUS[0]}

# --- the simulator's side: its counters and its memory ----------------------------
kill -TERM "$SIM_PID" 2>/dev/null
wait "$SIM_PID" 2>/dev/null
SIM_PID=""
cat "$WORK/sim.err"
STATUS=0
if [ "$SOAK_RC" -ne 0 ]; then
    say "vave8soak.exe failed (exit $SOAK_RC; 124 is a timeout)"
    STATUS=1
fi
if [ -f "$WORK/dump.txt" ] && [ -f "$WORK/shadow.txt" ]; then
    if tr -d '\r' <"$WORK/shadow.txt" | diff -q - "$WORK/dump.txt" >/dev/null; then
        say "the simulator's memory equals the soak's shadow"
    else
        tr -d '\r' <"$WORK/shadow.txt" | diff - "$WORK/dump.txt" | head -n 20
        say "the simulator's memory differs from the soak's shadow"
        STATUS=1
    fi
else
    say "no memory dump or no shadow to compare"
    STATUS=1
fi
say "$([ "$STATUS" -eq 0 ] && echo PASS || echo FAIL)"
exit "$STATUS"
