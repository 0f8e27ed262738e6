# Sourced by the Wine scripts (wine-tests.sh, wine-soak.sh): chooses the Wine
# that runs on this machine and the Windows binaries for it, prepares the Wine
# prefix and builds the simulated PLC, a Linux program. The caller sets ROOT
# and BUILD (a win32-preset build dir) and defines say and die.
#
# Where the kernel has no 32-bit user mode, Wine's 32-bit loader fails with
# "Exec format error" unless scripts/wine32-emul.sh (which the test command
# runs the Wine scripts under) has handed 32-bit programs to qemu-user; it
# says what it did in VAVE8_WINE32_MODE. Where no 32-bit program can run, the
# same sources are built for 64-bit Windows in BUILD/win64
# (cmake/mingw-x86_64.cmake) and run under the 64-bit Wine.

BOOT_LIMIT=${BOOT_LIMIT:-300}   # seconds for the first start of a fresh prefix

# wine_binaries LOG TARGET...: builds the targets for the Wine that can run
# here; sets WINE and BIN and exports the Wine environment.
wine_binaries() {
    local log=$1
    shift
    local wine32=/usr/lib/wine/wine wine64=/usr/lib/wine/wine64 prefix_name
    local mode=${VAVE8_WINE32_MODE:-}
    if [ -z "$mode" ]; then
        mode="none: the i386 Wine loader does not start; scripts/wine32-emul.sh can emulate it"
        [ -x "$wine32" ] && timeout 60 "$wine32" --version >/dev/null 2>&1 && mode=$(wine32_how)
    fi
    if [ "${mode%%:*}" != none ]; then
        WINE=$wine32
        prefix_name=wineprefix-win32
        export WINEARCH=win32
        BIN="$BUILD/bin"
        cmake --build "$BUILD" --target "$@" >"$BUILD/$log-build.log" 2>&1 ||
            { tail -n 30 "$BUILD/$log-build.log"; die "building $* failed"; }
        case "$mode" in
            native) say "32-bit Wine, run directly by the kernel; binaries from $BIN" ;;
            qemu:*) say "32-bit Wine under qemu-user emulation (${mode#qemu: }); binaries from $BIN" ;;
            *) say "32-bit Wine through ${mode#*: }; binaries from $BIN" ;;
        esac
    else
        [ -x "$wine64" ] || die "32-bit Wine cannot run here and $wine64 is missing (apt-get install wine64)"
        command -v x86_64-w64-mingw32-g++-posix >/dev/null ||
            die "32-bit Wine cannot run here; the 64-bit build needs g++-mingw-w64-x86-64-posix"
        say "no 32-bit program runs here (${mode#none: }): 64-bit Wine and a 64-bit build in $BUILD/win64;"
        say "THE SHIPPED 32-bit vave8.dll WAS NOT RUN"
        if ! { cmake -S "$ROOT" -B "$BUILD/win64" -G Ninja \
                  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-x86_64.cmake" \
                  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVAVE8_TOOLS=ON >"$BUILD/$log-win64-configure.log" 2>&1 &&
               cmake --build "$BUILD/win64" --target "$@" >"$BUILD/$log-win64-build.log" 2>&1; }; then
            tail -n 30 "$BUILD/$log-win64-configure.log" "$BUILD/$log-win64-build.log" 2>/dev/null
            die "the 64-bit Windows build failed"
        fi
        WINE=$wine64
        prefix_name=wineprefix-win64
        export WINEARCH=win64
        BIN="$BUILD/win64/bin"
    fi
    export WINEPREFIX="$BUILD/$prefix_name"
    export WINEDEBUG=-all
    # No Mono or Gecko installers, no display: nothing may wait for a person.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY
}

# wine32_how: "native", or "binfmt: HANDLER" when a binfmt_misc handler
# takes i386 programs (it is tried before the kernel's own loader).
wine32_how() {
    local f
    for f in /proc/sys/fs/binfmt_misc/*; do
        [ -f "$f" ] && grep -qx enabled "$f" 2>/dev/null &&
            grep -q '^magic 7f454c4601010100000000000000000002000300' "$f" 2>/dev/null &&
            { echo "binfmt: the handler $(basename "$f") ($(sed -n 's/^interpreter //p' "$f"))"; return; }
    done
    echo native
}

# wine_prefix LOGDIR: creates the prefix on first use, then reuses it.
wine_prefix() {
    [ -f "$WINEPREFIX/system.reg" ] && return 0
    say "creating the Wine prefix $WINEPREFIX (first start takes a while)"
    mkdir -p "$WINEPREFIX"
    if ! timeout "$BOOT_LIMIT" "$WINE" wineboot -i >"$1/boot.log" 2>&1; then
        tail -n 20 "$1/boot.log"
        die "wineboot did not finish within ${BOOT_LIMIT}s"
    fi
}

# native_sim: builds p8sim for Linux in BUILD/native-sim; sets SIM. False
# when the build failed (its log is shown).
native_sim() {
    local dir="$BUILD/native-sim"
    if ! { cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVAVE8_TESTS=OFF \
              >"$BUILD/sim-configure.log" 2>&1 &&
           cmake --build "$dir" --target p8sim >"$BUILD/sim-build.log" 2>&1; }; then
        tail -n 30 "$BUILD/sim-configure.log" "$BUILD/sim-build.log" 2>/dev/null
        say "building p8sim failed"
        return 1
    fi
    SIM="$dir/bin/p8sim"
}
