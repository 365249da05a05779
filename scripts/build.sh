#!/usr/bin/env bash
# Configures and builds everything into build/ (or $BUILD_DIR): both driver
# images, their FFS files and flash image, the emulated board, the board
# description and the tests; given target names, only those.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" ${1:+--target "$@"}
