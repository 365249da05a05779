#!/usr/bin/env bash
# The main job: installs what is missing, builds what the road needs (the
# board description, the flash image with the board's stand-in and both
# drivers, the boot application) and boots the typical road on the emulated
# board, then reports what happened. Options go to tools/road.py (--help lists
# them); progress goes to stderr, the report or --json document to stdout.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" >&2
exec python3 "$root/tools/road.py" --build "$@"
