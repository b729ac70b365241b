#!/usr/bin/env bash
# Installs what the build, the tests and the benchmarks need on Debian 12,
# skipping the package manager when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libjpeg62-turbo-dev libpng-dev zlib1g-dev
  libcli11-dev libgtest-dev libgmock-dev
  qpdf poppler-utils libtiff-tools libjpeg-turbo-progs netpbm imagemagick
)
if [ "${VELMORA_WITH_GUI:-0}" = 1 ]; then
  packages+=(qt6-base-dev libgl-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
