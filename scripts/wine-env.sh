# Sourced by the Wine scripts (wine-tests.sh, wine-soak.sh): chooses the Wine
# that runs on this machine and the Windows binaries for it, prepares the Wine
# prefix and builds the simulated PLC, a Linux program. The caller sets ROOT
# and BUILD (a win32-preset build dir) and defines say and die.
#
# Where the kernel has no 32-bit user mode, Wine's 32-bit loader fails with
# "Exec format error": the same sources are then built for 64-bit Windows in
# BUILD/win64 (cmake/mingw-x86_64.cmake) and run under the 64-bit Wine.

BOOT_LIMIT=${BOOT_LIMIT:-300}   # seconds for the first start of a fresh prefix

# wine_binaries LOG TARGET...: builds the targets for the Wine that can run
# here; sets WINE and BIN and exports the Wine environment.
wine_binaries() {
    local log=$1
    shift
    local wine32=/usr/lib/wine/wine wine64=/usr/lib/wine/wine64 prefix_name
    if [ -x "$wine32" ] && "$wine32" --version >/dev/null 2>&1; then
        WINE=$wine32
        prefix_name=wineprefix-win32
        export WINEARCH=win32
        BIN="$BUILD/bin"
        cmake --build "$BUILD" --target "$@" >"$BUILD/$log-build.log" 2>&1 ||
            { tail -n 30 "$BUILD/$log-build.log"; die "building $* failed"; }
        say "32-bit Wine, binaries from $BIN"
    else
        [ -x "$wine64" ] || die "32-bit Wine cannot run here and $wine64 is missing (apt-get install wine64)"
        command -v x86_64-w64-mingw32-g++-posix >/dev/null ||
            die "32-bit Wine cannot run here; the 64-bit build needs g++-mingw-w64-x86-64-posix"
        say "this machine runs no 32-bit code (the i386 Wine loader does not start);"
        say "building the same sources for 64-bit Windows in $BUILD/win64 and using the 64-bit Wine"
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
