#!/usr/bin/env bash
# Installs what building and testing need on a Debian machine: the native
# toolchain, GoogleTest and toml++ (the line server's configuration), the
# mingw-w64 cross compiler for vave8.dll, Wine (32-bit) to run it, clang's
# fuzzing and sanitizer runtimes, gcovr, valgrind, socat, libmodbus (the
# benchmark's yardstick and the Modbus TCP gateway), the Modbus clients the
# gateway's tests drive (mbpoll, pymodbus), help2man, dpkg-dev, file and
# lintian for the packages (man pages, the .deb's dependencies, Debian's own
# checks), the MQTT front-end's libraries (libmosquitto, protobuf-c, SQLite)
# and its test side: the mosquitto broker, openssl for its certificate, and
# node with the npm packages pinned in tests/mqtt/package-lock.json; open62541
# 1.4 for the line server's OPC UA side (from Debian 13 on Debian 12: see
# trixie_source).
# Run as root it installs what is missing; otherwise it prints the command.
#   scripts/setup.sh          everything the tests need
#   scripts/setup.sh demo     only what the demo needs (native build)
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev googletest libtomlplusplus-dev)
if [ "${1:-all}" != demo ]; then
    packages+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64-posix wine64 clang libclang-rt-14-dev gcovr valgrind socat
               python3 libmodbus-dev wine wine32:i386 procps help2man dpkg-dev file
               mbpoll python3-pymodbus python3-serial-asyncio
               libmosquitto-dev libprotobuf-c-dev protobuf-c-compiler libsqlite3-dev
               mosquitto openssl libssl-dev libopen62541-1.4-dev)
    # A node from elsewhere (with its own npm) is used as it is.
    command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
    packages+=(lintian)  # the packages stage checks the .deb with it
fi

# The npm packages of the MQTT tests, into tests/mqtt/node_modules (not in
# git), exactly as the lock file pins them.
npm_packages() {
    [ "${1:-all}" != demo ] || return 0
    local dir
    dir="$(cd "$(dirname "$0")/.." && pwd)/tests/mqtt"
    [ -f "$dir/node_modules/sparkplug-payload/package.json" ] && [ -f "$dir/node_modules/mqtt/package.json" ] && return 0
    command -v npm >/dev/null 2>&1 || return 0
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error >/dev/null) ||
        { echo "npm ci in tests/mqtt failed" >&2; return 1; }
}

# Debian 12 has no open62541 1.4; Debian 13's packages install on it. Its
# suite is added from the archive this machine's own sources name, pinned low
# so that nothing but the packages asked for by name comes from it.
trixie_source() {
    local codename
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [ "$codename" = bookworm ] || return 0
    local list=/etc/apt/sources.list.d/vave8-trixie.sources pin=/etc/apt/preferences.d/vave8-trixie
    [ -f "$list" ] && [ -f "$pin" ] && return 0
    local mirror
    mirror=$({ cat /etc/apt/sources.list /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list 2>/dev/null || true; } |
        awk '/^URIs:/ {u=$2} /^Suites:.*bookworm( |$)/ && u {print u; exit}
             /^deb .* bookworm / {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}')
    [ -n "$mirror" ] || mirror=http://deb.debian.org/debian
    printf 'Types: deb\nURIs: %s\nSuites: trixie\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        "$mirror" >"$list"
    printf 'Package: *\nPin: release n=trixie\nPin-Priority: 100\n' >"$pin"
}

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
need_i386=0
if [ "${1:-all}" != demo ] && ! dpkg --print-foreign-architectures | grep -qx i386; then need_i386=1; fi

if [ ${#missing[@]} -eq 0 ]; then
    npm_packages "${1:-all}"
    exit
fi

cmd="dpkg --add-architecture i386 && apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Run as root:  $cmd" >&2
    echo "(open62541 1.4 on Debian 12: run this script as root; it adds Debian 13's suite pinned low)" >&2
    exit 1
fi

echo "Installing: ${missing[*]}"
if [ $need_i386 -eq 1 ]; then dpkg --add-architecture i386; fi
case " ${missing[*]} " in *" libopen62541-1.4-dev "*) trixie_source ;; esac
apt=(apt-get -o DPkg::Lock::Timeout=600)
"${apt[@]}" update -qq
DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
npm_packages "${1:-all}"
