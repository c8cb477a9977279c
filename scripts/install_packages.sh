#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need,
# only those that are missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ make
  libgtest-dev libbenchmark-dev
  libnetcdf-dev netcdf-bin hdf5-tools libhdf5-dev libdeflate-dev python3-h5py
  libcli11-dev nlohmann-json3-dev libsqlite3-dev
  fitsverify libcfitsio-dev
  python3 python3-astropy python3-numpy
  time strace
  dpkg-dev file man-db systemd help2man lintian adduser
  debootstrap systemd-container
  parallel slurm-wlm munge openssh-server openssh-client
  libpng-dev python3-pil chromium ffmpeg
  clang libclang-rt-14-dev
  prometheus prometheus-node-exporter
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
