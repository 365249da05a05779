#!/usr/bin/env bash
# The main job (README, "The typical road"): installs what is missing, then
# tools/road.py --build with the options given.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" >&2
exec python3 "$root/tools/road.py" --build "$@"
