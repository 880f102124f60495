#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Safe to run again: apt skips what is already there.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-qpa-plugins libgl-dev
  libgtest-dev
  ntfs-3g ntfs-3g-dev
  fuse3 libfuse3-dev
  sleuthkit
  libewf-dev libvhdi-dev libvmdk-dev libqcow-dev ewf-tools qemu-utils
  xvfb xauth imagemagick fonts-wqy-zenhei fonts-wqy-microhei fonts-wine zip
  clang-14 clang-format-14 libfuzzer-14-dev libclang-rt-14-dev
  g++-mingw-w64-x86-64 wine wine64
  locales tzdata python3
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
