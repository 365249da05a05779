#!/usr/bin/env bash
# Every test: the host tests, the image, flash and road checks, and the OVMF
# scenarios. Arguments go to ctest (-j 1 -L ovmf, -R Road); without any, two
# tests run at a time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
(($#)) || set -- -j 2
ctest --test-dir "${BUILD_DIR:-$root/build}" --output-on-failure "$@"
