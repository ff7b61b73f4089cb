#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test, install,
# package and run its demo. Idempotent: when everything is present it changes nothing and
# does not touch the package index.
set -euo pipefail

packages=(
  # the library: Boost.Filesystem (and header-only Boost), RapidJSON, ICU, GIO
  build-essential cmake pkg-config
  libboost-dev libboost-filesystem-dev rapidjson-dev libicu-dev libglib2.0-dev
  # the updater and the platform layer at run time
  unzip libglib2.0-bin shared-mime-info
  # tests: GoogleTest, Boost.Locale as the reference converter, archives,
  # namespaces and mounts, process tools, FetchContent from a git repository
  libgtest-dev googletest libgmock-dev libboost-locale-dev
  zip iproute2 util-linux mount procps strace git
  # memcheck and the fuzz targets
  valgrind clang libclang-rt-14-dev
  # static analysis (scripts/lint.sh) and the coverage report (scripts/coverage.sh)
  clang-tidy python3 gcovr
  # benchmarks, with libcurl as an anchor
  libbenchmark-dev libcurl4-openssl-dev
  # packages: dpkg-shlibdeps and dpkg-buildflags, file for CPack, lintian
  dpkg-dev file lintian
  # symbols and sections of the objects and binaries: nm for the check of
  # Linux-only calls, readelf and strip for the packages
  binutils
  # the ABI check against abi/ and the API reference
  abigail-tools doxygen
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
