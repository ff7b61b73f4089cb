#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test, install and
# run its demo. Idempotent: when everything is present it changes nothing and
# does not touch the package index.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libboost-dev libboost-filesystem-dev libboost-system-dev libboost-locale-dev
  rapidjson-dev libicu-dev libglib2.0-dev libglib2.0-bin shared-mime-info
  libgtest-dev googletest libgmock-dev libbenchmark-dev
  zip unzip iproute2 util-linux procps clang libclang-rt-14-dev
  strace valgrind
  libcurl4-openssl-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
else
  as_root=(sudo)
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
