#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need (only those missing),
# then configures and builds everything into build/.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake ninja-build pkg-config binutils
          qt6-base-dev libgl-dev unixodbc unixodbc-dev tdsodbc freetds-bin
          libzip-dev zlib1g-dev libsqlite3-dev libgtest-dev
          zip unzip 7zip fonts-liberation)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
