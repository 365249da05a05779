#!/usr/bin/env bash
# Figures, not tests: the flash each driver image takes beside Debian's OVMF
# drivers, the guest time each adds to a boot under QEMU's -icount, and the
# host cost of one device-arrival notification.
set -euo pipefail
if (($#)); then
  echo "benchmark.sh: takes no arguments, got $1" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/build.sh" >&2
python3 "$root/tools/driver_sizes.py" "$build/UsbConnectorPolicyDxe.efi" "$build/SaSetupResetDxe.efi"
python3 "$root/tools/boot_cost.py" --build-dir "$build"
"$build/tests/host/DeviceArrivalBenchmark"
