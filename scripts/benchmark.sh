#!/usr/bin/env bash
# Figures, not tests: the size of each driver image and the cost of one
# device-arrival notification.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
for image in UsbConnectorPolicyDxe SaSetupResetDxe; do
  printf '%-24s %6d bytes\n' "$image.efi" "$(stat -c %s "$build/$image.efi")"
done
"$build/tests/DeviceArrivalBenchmark"
