#!/usr/bin/env bash
# The main job: builds the Linux driver and the host tool, then runs the tool
# against the built-in simulated PLC on a pseudo-terminal, all through NuvMain.
#   scripts/demo.sh [--trace]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh demo
cmake --preset native >/dev/null
cmake --build --preset native --target vave8 vave8ctl >/dev/null
exec build/native/bin/vave8ctl demo "$@"
