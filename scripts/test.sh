#!/usr/bin/env bash
# Every test: the host tests, the image, flash and road checks, and the OVMF
# scenarios.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
ctest --test-dir "${BUILD_DIR:-$root/build}" --output-on-failure -j 2
