#!/usr/bin/env bash
# Builds both drivers and runs every test: the native suite, the export
# checks, the Windows build under Wine, the sanitizer build, the unit and
# end-to-end suites under valgrind, the fuzzers for a short while, a short
# soak, the coverage report, and the packages.
#   scripts/test.sh            everything
#   scripts/test.sh native     one stage (native exports win32 asan valgrind fuzz coverage packages)
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh || exit 1

jobs=$(nproc 2>/dev/null || echo 2)
passed=0
failed=0
failures=()

stage() {
    local name=$1
    shift
    echo
    echo "=== $name"
    local start=$SECONDS
    if "$@"; then
        passed=$((passed + 1))
        echo "=== $name: ok ($((SECONDS - start)) s)"
    else
        failed=$((failed + 1))
        failures+=("$name")
        echo "=== $name: FAILED ($((SECONDS - start)) s)"
    fi
}

build() {  # preset
    cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j "$jobs"
}

native() {
    build native && ctest --preset native -j "$jobs" --timeout 300
}

# The Linux module exports NuvMain and nothing else; the DLL exports it
# undecorated and imports err by name from the host service library.
exports() {
    local so=build/native/bin/libvave8.so dll=build/win32/bin/vave8.dll
    local defined
    defined=$(nm -D --defined-only "$so" | awk '{print $3}' | sort -u)
    echo "libvave8.so exports: $defined"
    [ "$defined" = "NuvMain" ] || { echo "unexpected exports"; return 1; }
    nm -D "$so" | grep -q ' U err@HOSTSVC_1.0$' || { echo "err is not bound to the service library"; return 1; }
    local table
    table=$(i686-w64-mingw32-objdump -p "$dll")
    echo "$table" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p'
    echo "$table" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -qE '\] NuvMain$' || return 1
    echo "$table" | grep -A4 'DLL Name: hostsvc.dll' | grep -qE '\berr$' || { echo "err not imported from hostsvc.dll"; return 1; }
    local dlls
    dlls=$(echo "$table" | awk '/DLL Name:/ {print $3}' | sort -u | tr '\n' ' ')
    echo "vave8.dll imports from: $dlls"
    for d in $dlls; do
        case "$d" in KERNEL32.dll|msvcrt.dll|hostsvc.dll) ;; *) echo "unexpected DLL $d"; return 1 ;; esac
    done
}

# The Wine suites and a short fault soak (the long one is in the README) on
# the 32-bit binaries, under qemu-user where the kernel runs no 32-bit code.
win32() {
    build win32 || return 1
    bash scripts/wine32-emul.sh bash -c \
        'bash scripts/wine-tests.sh build/win32 && SOAK_TRANSACTIONS=500 bash scripts/wine-soak.sh build/win32' ||
        return 1
    # Where the kernel ran them itself, the Wine tests run once more under
    # qemu-user, the way a machine without 32-bit user mode runs them, so that
    # path is proven here too. Without root or a package source it is skipped.
    [ "${VAVE8_WINE32:-auto}" = auto ] || return 0
    timeout 60 /usr/lib/wine/wine --version >/dev/null 2>&1 || return 0
    echo "--- the Wine tests again under qemu-user emulation"
    VAVE8_WINE32=qemu bash scripts/wine32-emul.sh bash -c '
        case "${VAVE8_WINE32_MODE:-}" in
            qemu:*) exec bash scripts/wine-tests.sh build/win32 ;;
            *) echo "emulated run skipped: ${VAVE8_WINE32_MODE:-no emulation}"; exit 0 ;;
        esac'
}

asan() {
    build asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --preset asan -j "$jobs" --timeout 600
}

# The native build's unit and end-to-end suites under memcheck.
valgrind() {
    [ -f scripts/valgrind.sh ] || return 0
    bash scripts/valgrind.sh build/native
}

fuzz() {
    [ -f scripts/fuzz.sh ] || return 0
    bash scripts/fuzz.sh short
}

coverage() {
    [ -f scripts/coverage.sh ] || return 0
    bash scripts/coverage.sh
}

# The Debian package, the tarball and the Windows ZIP, built and tried from
# scratch folders.
packages() {
    bash scripts/packages.sh build/native build/win32
}

all=(native win32 exports asan valgrind fuzz coverage packages)
selected=("$@")
[ ${#selected[@]} -eq 0 ] && selected=("${all[@]}")
for s in "${selected[@]}"; do
    case "$s" in
        native|win32|exports|asan|valgrind|fuzz|coverage|packages) stage "$s" "$s" ;;
        *) echo "unknown stage: $s (stages: ${all[*]})"; exit 64 ;;
    esac
done

echo
[ ${#failures[@]} -gt 0 ] && echo "failed stages: ${failures[*]}"
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
