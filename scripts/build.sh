#!/usr/bin/env bash
# Configures and builds everything into build/ (or $BUILD_DIR): both driver
# images, their FFS files and flash image, the emulated board, the board
# description and the tests; given target names, only those.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
for argument in "$@"; do
  case $argument in
    -h | --help)
      echo "usage: scripts/build.sh [TARGET...]
Configures CMake into build/ (or \$BUILD_DIR) and builds everything: the driver
images, their FFS files and OVMF_CODE_4M-drivers.fd, which ship, then the emulated
board and its flash images, board.json and the tests. Given target names (such as
UsbConnectorPolicyDxe or RoadFlashImage), builds only those. A folder configured
with -DBOARD=test keeps building for the test board."
      exit 0;;
    -*)
      echo "build.sh: unknown option $argument (it takes target names; scripts/build.sh --help)" >&2
      exit 2;;
  esac
done
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" ${1:+--target "$@"}
