#!/usr/bin/env bash
# The OVMF bench on its own: installs what is missing, builds, and boots every
# scenario of e2e/run.py, printing what each driver did.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
python3 "$root/e2e/run.py" --build-dir "${BUILD_DIR:-$root/build}" --report "$@"
