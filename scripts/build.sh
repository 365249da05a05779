#!/usr/bin/env bash
# Configures and builds both driver images, the bench images and the host
# tests into build/ (or $BUILD_DIR); given target names, only those.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" ${1:+--target "$@"}
