#!/usr/bin/env bash
# Builds the packages and tries them as a user meets them, in scratch folders
# that leave the machine as it was:
#   - the Debian package unpacked with dpkg-deb -x: its vave8ctl (--version,
#     info, a write and a read back) against its own p8sim over a pty, its man
#     pages, its dependencies; the tarball holds the same files;
#   - the Windows ZIP unpacked: its files, the README with Windows line ends,
#     and vave8ctl.exe info under Wine (32-bit Wine only: the ZIP is 32-bit).
#
#   scripts/packages.sh [NATIVE_BUILD_DIR [WIN32_BUILD_DIR]]
# Exit status 0 only when every package was built and every check passed.
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
NATIVE=${1:-$ROOT/build/native}
WIN32_BUILD=${2:-$ROOT/build/win32}
RUN_LIMIT=120  # seconds for one program run
case "$NATIVE" in /*) ;; *) NATIVE="$PWD/$NATIVE" ;; esac
case "$WIN32_BUILD" in /*) ;; *) WIN32_BUILD="$PWD/$WIN32_BUILD" ;; esac

say() { printf 'packages: %s\n' "$*"; }
die() { say "$*"; exit 2; }

version=$(sed -n 's/^project(vave8 VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")
[ -n "$version" ] || die "no version in CMakeLists.txt"

WORK=$(mktemp -d)
SIM_PID=""
cleanup() {
    [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

# --- Linux: build and pack -------------------------------------------------------------
(cd "$ROOT" && cmake --preset native) >"$WORK/native-configure.log" 2>&1 ||
    { tail -n 30 "$WORK/native-configure.log"; die "configuring $NATIVE failed"; }
cmake --build "$NATIVE" -j2 --target installables >"$WORK/native-build.log" 2>&1 ||
    { tail -n 30 "$WORK/native-build.log"; die "building the installables failed"; }
rm -f "$NATIVE"/vave8_*.deb "$NATIVE"/vave8-*.tar.gz
(cd "$NATIVE" && cpack -G "DEB;TGZ") >"$WORK/cpack-native.log" 2>&1 ||
    { tail -n 30 "$WORK/cpack-native.log"; die "cpack DEB/TGZ failed"; }
deb=$(ls "$NATIVE"/vave8_"$version"_*.deb 2>/dev/null | head -n 1)
tgz=$(ls "$NATIVE"/vave8-"$version"-Linux.tar.gz 2>/dev/null | head -n 1)
[ -f "$deb" ] || die "no vave8_${version}_*.deb in $NATIVE"
[ -f "$tgz" ] || die "no vave8-$version-Linux.tar.gz in $NATIVE"
say "built $(basename "$deb") and $(basename "$tgz")"

# --- the Debian package, unpacked ---------------------------------------------------
root="$WORK/deb"
dpkg-deb -x "$deb" "$root" || die "dpkg-deb -x failed"
for f in usr/bin/vave8ctl usr/bin/p8sim usr/lib/vave8/libvave8.so usr/lib/vave8/libhostsvc.so \
         usr/share/doc/vave8/README.md usr/share/doc/vave8/sim/README.md \
         usr/share/doc/vave8/bench/README.md usr/share/doc/vave8/copyright \
         usr/share/doc/vave8/changelog.gz \
         usr/share/man/man1/vave8ctl.1.gz usr/share/man/man1/p8sim.1.gz; do
    [ -f "$root/$f" ] || die "the package lacks /$f"
done
# The README's links to other READMEs lead to files the package holds.
for link in $(grep -o '](\(sim\|bench\)/README.md)' "$root/usr/share/doc/vave8/README.md" | tr -d '()]'); do
    [ -f "$root/usr/share/doc/vave8/$link" ] || die "the installed README links to $link, which is not installed"
done
zcat "$root/usr/share/man/man1/vave8ctl.1.gz" | grep -q -- '--frame-gap' ||
    die "man vave8ctl lacks the monitor's options"
# What Debian's own checker finds: no error or warning (overrides are the package's).
if command -v lintian >/dev/null; then
    findings=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep '^[EW]: ')
    [ -z "$findings" ] || { echo "$findings"; die "lintian finds errors or warnings"; }
    say "lintian: no errors or warnings"
else
    die "lintian is missing (scripts/setup.sh installs it)"
fi
depends=$(dpkg-deb -f "$deb" Depends)
say "Depends: $depends"
case "$depends" in *libc6*) ;; *) die "no libc6 among the dependencies" ;; esac
if [ -f "$root/usr/bin/vave8gw" ]; then
    [ -f "$root/usr/share/man/man1/vave8gw.1.gz" ] || die "the package lacks the gateway's man page"
    case "$depends" in *libmodbus*) ;; *) die "the gateway is in but libmodbus is not a dependency" ;; esac
fi

ctl="$root/usr/bin/vave8ctl"
out=$(timeout "$RUN_LIMIT" "$ctl" --version) || die "vave8ctl --version failed"
[ "$out" = "vave8ctl $version" ] || die "vave8ctl --version says '$out', not 'vave8ctl $version'"
out=$(timeout "$RUN_LIMIT" "$root/usr/bin/p8sim" --version) || die "p8sim --version failed"
[ "$out" = "p8sim $version" ] || die "p8sim --version says '$out'"

out=$(timeout "$RUN_LIMIT" "$ctl" info 2>&1) || { echo "$out"; die "installed vave8ctl info failed"; }
echo "$out" | head -n 3
echo "$out" | grep -q "Driver module  $root/usr/bin/../lib/vave8/libvave8.so" ||
    die "vave8ctl info did not load the installed module"

"$root/usr/bin/p8sim" --idle-exit 30 >"$WORK/sim.out" 2>"$WORK/sim.err" &
SIM_PID=$!
for _ in $(seq 50); do [ -s "$WORK/sim.out" ] && break; sleep 0.1; done
pty=$(head -n 1 "$WORK/sim.out")
[ -n "$pty" ] || die "the installed p8sim printed no pty"
port=${pty#/dev/}
timeout "$RUN_LIMIT" "$ctl" write 0340100 0x1234 --port "$port" >"$WORK/write.out" 2>&1 ||
    { cat "$WORK/write.out"; die "installed vave8ctl write failed"; }
timeout "$RUN_LIMIT" "$ctl" read 0340100 --port "$port" >"$WORK/read.out" 2>&1 ||
    { cat "$WORK/read.out"; die "installed vave8ctl read failed"; }
grep -q '4660 (0x1234)' "$WORK/read.out" || { cat "$WORK/read.out"; die "the read did not return the written value"; }
say "installed vave8ctl wrote and read back 0x1234 on $pty"
kill "$SIM_PID" 2>/dev/null
wait "$SIM_PID" 2>/dev/null
SIM_PID=""

# The tarball carries the same files under one top folder.
diff <(cd "$root/usr" && find . -type f | sort) \
     <(tar -tzf "$tgz" | sed -n 's|^[^/]*/|./|p' | grep -v '/$' | sort) ||
    die "the tarball and the Debian package hold different files"

# --- Windows: the ZIP ---------------------------------------------------------------
(cd "$ROOT" && cmake --preset win32) >"$WORK/win32-configure.log" 2>&1 ||
    { tail -n 30 "$WORK/win32-configure.log"; die "configuring $WIN32_BUILD failed"; }
cmake --build "$WIN32_BUILD" -j2 --target installables >"$WORK/win32-build.log" 2>&1 ||
    { tail -n 30 "$WORK/win32-build.log"; die "building the Windows installables failed"; }
rm -f "$WIN32_BUILD"/vave8-*.zip
(cd "$WIN32_BUILD" && cpack -G ZIP) >"$WORK/cpack-win32.log" 2>&1 ||
    { tail -n 30 "$WORK/cpack-win32.log"; die "cpack ZIP failed"; }
zip="$WIN32_BUILD/vave8-$version-win32.zip"
[ -f "$zip" ] || die "no $(basename "$zip")"
mkdir -p "$WORK/zip"
(cd "$WORK/zip" && cmake -E tar xf "$zip") || die "unpacking $(basename "$zip") failed"
dir="$WORK/zip/vave8-$version-win32"
for f in vave8.dll hostsvc.dll vave8ctl.exe README.txt; do
    [ -f "$dir/$f" ] || die "the ZIP lacks $f"
done
[ "$(ls "$dir" | wc -l)" -eq 4 ] || die "the ZIP holds more than its four files: $(ls "$dir" | tr '\n' ' ')"
lf=$(tr -cd '\n' <"$dir/README.txt" | wc -c)
crlf=$(grep -c $'\r$' "$dir/README.txt")
[ "$lf" -gt 0 ] && [ "$lf" -eq "$crlf" ] || die "README.txt does not end every line with CR LF"
say "built $(basename "$zip"): vave8.dll, hostsvc.dll, vave8ctl.exe, README.txt"

# Under Wine, only where the 32-bit Wine runs: the ZIP's programs are 32-bit.
(
    BUILD=$WIN32_BUILD
    . "$ROOT/scripts/wine-env.sh"
    wine_binaries packages hostsvc
    if [ "$WINEARCH" != win32 ]; then
        say "SKIPPED: the 32-bit Wine cannot start on this machine, so the 32-bit ZIP's"
        say "vave8ctl.exe info could not be run here (its files and README were checked)"
        exit 0
    fi
    export WINEPREFIX="$WIN32_BUILD/wineprefix-packages"
    wine_prefix "$WORK"
    out=$(cd "$dir" && timeout "$RUN_LIMIT" "$WINE" vave8ctl.exe info 2>&1) ||
        { echo "$out"; die "vave8ctl.exe info failed under Wine"; }
    echo "$out" | head -n 3
    echo "$out" | grep -q 'GetNuvInfo: 0 (ok)' || die "vave8ctl.exe info did not describe the driver"
    say "the ZIP's vave8ctl.exe info ran under Wine from the unpacked folder"
) || exit 2

say "all package checks passed"
