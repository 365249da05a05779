#!/usr/bin/env bash
# The main job: installs what is missing, builds what it needs, makes the flash
# image with both drivers inside and boots the typical road on it under QEMU,
# then reports what happened. Options go to tools/road.py (--help lists them).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
# A bad option stops here, before anything is built or booted.
python3 "$root/tools/road.py" --check "$@"
started=$(date +%s)
# What the road needs: the drivers' and the stand-in's FFS files and the boot
# application.
if ! log=$("$root/scripts/build.sh" UsbConnectorPolicyDxeFfs SaSetupResetDxeFfs BenchBoardDxeFfs BenchApp 2>&1); then
  printf '%s\n' "$log" | tail -n 30
  echo "build: failed" >&2
  exit 1
fi
echo "build: $build ($(( $(date +%s) - started )) s)"
BUILD_DIR=$build exec python3 "$root/tools/road.py" "$@"
