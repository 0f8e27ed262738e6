#!/usr/bin/env bash
# Runs a command with 32-bit programs made runnable on this machine, so that
# the Wine scripts can run the shipped 32-bit vave8.dll under 32-bit Wine.
#
#   scripts/wine32-emul.sh COMMAND [ARG...]
#
# Where the kernel runs 32-bit programs (or something already handles them),
# COMMAND runs as it is. Where it has no 32-bit user mode (or VAVE8_WINE32=qemu),
# i386 ELF programs are handed to qemu-user through binfmt_misc while COMMAND runs:
# every 32-bit process Wine starts runs emulated, everything 64-bit (the
# wineserver, the simulated PLC, the pseudo-terminals) stays native.
#   - qemu 8 or later is needed (7.2 ignores MAP_FIXED_NOREPLACE and every Wine
#     start takes about 50 s). bookworm-backports has qemu-user 10; its
#     statically linked qemu-i386 is taken out of the package with
#     `apt-get download` and `dpkg-deb`, with apt pointed at a private sources
#     list, lists and cache: the system's packages and apt state stay as they are.
#   - qemu-user leaves -1 in the trap number of a 32-bit signal context, which
#     Wine's fault handler reads; tests/wine/trapno_shim.c, preloaded into the
#     32-bit processes, puts in the number a kernel would.
# Everything downloaded or built goes to one cache folder, reused by later runs:
#   VAVE8_CACHE   (default /var/cache/vave8-wine32)
#   VAVE8_DEBIAN_MIRROR  where bookworm-backports is (default: the Debian
#                 archive the machine's own apt sources name)
#   VAVE8_WINE32  auto (default); qemu: emulate even where the kernel runs
#                 32-bit code; off: run no 32-bit program (the 64-bit build)
# COMMAND sees VAVE8_WINE32_MODE: "qemu: VERSION", "none: REASON", or none at all
# where 32-bit programs run without this script.
# The handler this script registers (and binfmt_misc, if it mounted it) is
# removed when it ends (a run killed outright leaves its handler to the next
# run, which removes it). Without root, binfmt_misc or a package
# source, COMMAND runs anyway, says why, and the Wine scripts fall back to the
# 64-bit build. Exit status: COMMAND's.
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
CACHE=${VAVE8_CACHE:-/var/cache/vave8-wine32}
BINFMT=/proc/sys/fs/binfmt_misc
HANDLER=vave8-i386-$$  # one per run: runs at the same time keep their own
WINE32=/usr/lib/wine/wine
SUITE=bookworm-backports
# The archive the system already uses for bookworm, from either sources format.
system_mirror() {
    { grep -hsE '^deb +[^[]*bookworm' /etc/apt/sources.list /etc/apt/sources.list.d/*.list |
          awk '{print $2}'
      awk '/^URIs:/ {u=$2} /^Suites:/ && / bookworm( |$)/ {print u} /^$/ {u=""}' \
          /etc/apt/sources.list.d/*.sources 2>/dev/null; } | grep -v security | head -n 1
}
MIRROR=${VAVE8_DEBIAN_MIRROR:-$(system_mirror)}
# The i386 ELF header (executables and shared objects), as qemu registers it.
MAGIC='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
MASK='\xff\xff\xff\xff\xff\xfe\xfe\xfc\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

SETUP_FAILURE=""
say() { SETUP_FAILURE=$*; printf 'wine32-emul: %s\n' "$*" >&2; }

[ $# -gt 0 ] || { say "usage: $0 COMMAND [ARG...]"; exit 64; }

runs_32bit() { timeout 60 "$WINE32" --version >/dev/null 2>&1; }

registered=0
mounted=0
cleanup() {
    if [ "$registered" -eq 1 ] && [ -e "$BINFMT/$HANDLER" ]; then
        echo -1 >"$BINFMT/$HANDLER" 2>/dev/null || say "could not remove the binfmt handler $HANDLER"
    fi
    # Unmounted only when it was this script's and nobody else's handler is left.
    if [ "$mounted" -eq 1 ] && [ -z "$(ls "$BINFMT" | grep -vxE 'register|status')" ]; then
        umount "$BINFMT" 2>/dev/null
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# qemu_binary: leaves a qemu-i386 of version 8 or later in the cache.
qemu_binary() {
    local qemu="$CACHE/qemu/qemu-i386" major
    if [ -x "$qemu" ]; then
        major=$("$qemu" --version 2>/dev/null | sed -nE '1s/.*version ([0-9]+)\..*/\1/p')
        [ "${major:-0}" -ge 8 ] && return 0
    fi
    [ -n "$MIRROR" ] || { say "no Debian archive for bookworm in the apt sources (set VAVE8_DEBIAN_MIRROR)"; return 1; }
    local apt="$CACHE/apt"
    rm -rf "$apt" "$CACHE/qemu"
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts" "$CACHE/qemu" || return 1
    echo "deb $MIRROR $SUITE main" >"$apt/sources.list"
    local opts=(-o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts="$apt/parts"
                -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" -o APT::Sandbox::User=root)
    say "fetching qemu-user from $SUITE into $CACHE (about 63 MB, once)"
    if ! timeout 300 apt-get -qq "${opts[@]}" update >"$apt/update.log" 2>&1; then
        tail -n 5 "$apt/update.log" >&2
        say "no package list from $MIRROR $SUITE"
        return 1
    fi
    if ! (cd "$apt" && timeout 600 apt-get -qq "${opts[@]}" download qemu-user) >"$apt/download.log" 2>&1; then
        tail -n 5 "$apt/download.log" >&2
        say "could not download qemu-user from $SUITE"
        return 1
    fi
    local deb
    deb=$(ls "$apt"/qemu-user_*.deb 2>/dev/null | head -n 1)
    [ -n "$deb" ] || { say "apt-get download left no qemu-user package"; return 1; }
    # Only the one program: the package holds one emulator per processor.
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$CACHE/qemu" --strip-components=3 ./usr/bin/qemu-i386 ||
        { say "qemu-i386 not found in $deb"; return 1; }
    rm -f "$deb"
    major=$("$qemu" --version 2>/dev/null | sed -nE '1s/.*version ([0-9]+)\..*/\1/p')
    [ "${major:-0}" -ge 8 ] || { say "$SUITE's qemu-i386 is older than 8 (${major:-unknown})"; return 1; }
}

# shim: builds the trap-number library for 32-bit processes and an empty one
# for 64-bit processes (LD_PRELOAD's $LIB picks one by the process's class, so
# 64-bit programs started from emulated ones load nothing and say nothing).
shim() {
    local src="$ROOT/tests/wine/trapno_shim.c" sum dir
    sum=$(sha1sum "$src" | cut -c1-12)
    dir="$CACHE/shim-$sum"
    if [ ! -f "$dir/lib/i386-linux-gnu/trapno.so" ] || [ ! -f "$dir/lib/x86_64-linux-gnu/trapno.so" ]; then
        rm -rf "$CACHE"/shim-*
        mkdir -p "$dir/lib/i386-linux-gnu" "$dir/lib/x86_64-linux-gnu" || return 1
        gcc -m32 -shared -nostdlib -ffreestanding -fPIC -O2 -fno-stack-protector -fvisibility=hidden \
            -Wall -Wextra -o "$dir/lib/i386-linux-gnu/trapno.so" "$src" >"$CACHE/shim.log" 2>&1 &&
        echo 'void vave8_no_shim(void) {}' |
            gcc -x c -shared -nostdlib -fPIC -o "$dir/lib/x86_64-linux-gnu/trapno.so" - >>"$CACHE/shim.log" 2>&1 ||
            { cat "$CACHE/shim.log" >&2; rm -rf "$dir"; say "building the trap-number shim failed"; return 1; }
    fi
    SHIM="$dir/\$LIB/trapno.so"
}

# register: the interpreter wrapper and the binfmt handler (flags: P keeps
# argv[0], F opens the wrapper now).
register() {
    local run="$CACHE/i386-run"
    cat >"$run.new" <<EOF || return 1
#!/bin/sh
# binfmt_misc hands over the program's path, its argv[0], then its arguments.
bin=\$1 argv0=\$2
shift 2
exec "$CACHE/qemu/qemu-i386" -E 'LD_PRELOAD=$SHIM' -0 "\$argv0" "\$bin" "\$@"
EOF
    chmod +x "$run.new" && mv -f "$run.new" "$run" || return 1
    printf ':%s:M::%s:%s:%s:PF' "$HANDLER" "$MAGIC" "$MASK" "$run" >"$BINFMT/register" ||
        { say "registering the binfmt handler failed"; return 1; }
    registered=1
}

setup() {
    [ "$(id -u)" -eq 0 ] || { say "not root: cannot register a binfmt handler"; return 1; }
    if [ ! -e "$BINFMT/register" ]; then
        { modprobe binfmt_misc 2>/dev/null; mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null; } &&
            [ -e "$BINFMT/register" ] || { say "no binfmt_misc on this kernel"; return 1; }
        mounted=1
    fi
    command -v gcc >/dev/null || { say "no gcc for the trap-number shim"; return 1; }
    mkdir -p "$CACHE" || { say "cannot create $CACHE"; return 1; }
    # Runs at the same time fill the cache one after the other.
    exec 9>"$CACHE/lock"
    flock -w 900 9 || { say "$CACHE stayed locked for 900 s"; return 1; }
    qemu_binary && shim && register
    local rc=$?
    exec 9>&-
    [ "$rc" -eq 0 ] || return 1
    if ! runs_32bit; then
        say "32-bit Wine does not start under $CACHE/qemu/qemu-i386"
        return 1
    fi
    say "32-bit programs run under $CACHE/qemu/qemu-i386 (binfmt handler $HANDLER)"
}

case "${VAVE8_WINE32:=auto}" in auto|qemu|off) ;; *) say "VAVE8_WINE32 is auto, qemu or off, not $VAVE8_WINE32"; exit 64 ;; esac
# Handlers of runs that were killed outright are removed; those of runs still
# going are left to them, and this run does not count on them.
others=0
for f in "$BINFMT"/vave8-i386-*; do
    [ -e "$f" ] || continue
    if kill -0 "${f##*-}" 2>/dev/null; then
        others=1
    else
        echo -1 >"$f" 2>/dev/null
    fi
done
if [ "$VAVE8_WINE32" = off ]; then
    export VAVE8_WINE32_MODE="none: VAVE8_WINE32=off"
elif [ "$VAVE8_WINE32" = auto ] && [ "$others" -eq 0 ] && runs_32bit; then
    unset VAVE8_WINE32_MODE  # the Wine scripts tell the kernel from a handler someone installed
elif setup; then
    export VAVE8_WINE32_MODE="qemu: $("$CACHE/qemu/qemu-i386" --version | head -n 1)"
else
    cleanup
    registered=0
    mounted=0
    export VAVE8_WINE32_MODE="none: $SETUP_FAILURE"
fi
"$@"
