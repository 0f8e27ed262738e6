#!/usr/bin/env bash
# Installs the pinned OPC UA client into the build tree, once per lock file.
set -euo pipefail
src=$1 dest=$2
mkdir -p "$dest"
if [ -f "$dest/node_modules/.installed" ] && cmp -s "$src/package-lock.json" "$dest/node_modules/.installed"; then
    exit 0
fi
cp "$src/package.json" "$src/package-lock.json" "$dest/"
cd "$dest"
npm ci --no-audit --no-fund --loglevel=error
cp package-lock.json node_modules/.installed
