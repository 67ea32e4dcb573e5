#!/usr/bin/env bash
# Installs the Debian 12 packages voxview needs to build, test and run.
# Idempotent: does nothing (and prints nothing) when everything is present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev libgl-dev libegl-dev
  libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev
  xvfb xauth x11-utils libgl1-mesa-dri mesa-utils
  glslang-tools teem-apps
  libgdcm-dev
  clang libclang-rt-14-dev clang-format
  libbz2-dev libtiff-dev libnifti2-dev
  libblosc-dev libzstd-dev python3-zarr python3-numcodecs python3-dask
  libcurl4-openssl-dev nginx-light python3
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
echo "Installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
