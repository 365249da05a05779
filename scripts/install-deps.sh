#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the emulated board
# need, when any is missing.
set -euo pipefail

packages=(clang libclang-rt-14-dev lld llvm cmake make libgtest-dev libbenchmark-dev qemu-system-x86 ovmf mtools uefitool-cli python3)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
