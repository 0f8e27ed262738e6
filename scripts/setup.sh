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
# node with the npm packages pinned in tests/mqtt/package-lock.json.
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
               mosquitto openssl)
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
    exit 1
fi

echo "Installing: ${missing[*]}"
if [ $need_i386 -eq 1 ]; then dpkg --add-architecture i386; fi
# Other installs may hold the dpkg lock for a while: wait for it.
apt-get -o DPkg::Lock::Timeout=600 update -qq
DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
npm_packages "${1:-all}"
