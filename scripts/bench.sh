#!/usr/bin/env bash
# The main job: installs what is missing, builds both driver images and boots
# them on OVMF, printing what each driver did.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
python3 "$root/e2e/run.py" --build-dir "${BUILD_DIR:-$root/build}" --report "$@"
