#!/usr/bin/env bash
# Builds the API reference: Doxygen over the public headers (include/quorane/
# and the generated quorane/Version.h), configured by docs/Doxyfile. Any
# warning fails the run, a public declaration without its comment included.
#
#   scripts/docs.sh [OUT_DIR]
#
# The HTML lands in OUT_DIR/html (OUT_DIR defaults to build/docs); the
# warnings, if any, are printed and kept in OUT_DIR/warnings.log.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

command -v doxygen >/dev/null || { echo "docs: doxygen is not installed (scripts/setup.sh installs it)" >&2; exit 1; }
out=${1:-build/docs}
mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -rf "$out/html" "$out/include"

# <quorane/Version.h> as the build generates it from the project's version.
version=$(sed -n 's/^project(Quorane VERSION \([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "docs: no project version in CMakeLists.txt" >&2; exit 1; }
IFS=. read -r major minor patch <<<"$version"
mkdir -p "$out/include/quorane"
sed -e "s/@PROJECT_VERSION_MAJOR@/$major/" -e "s/@PROJECT_VERSION_MINOR@/$minor/" \
  -e "s/@PROJECT_VERSION_PATCH@/$patch/" -e "s/@PROJECT_VERSION@/$version/" \
  cmake/Version.h.in >"$out/include/quorane/Version.h"

status=0
QUORANE_SOURCE_DIR=$source_dir QUORANE_VERSION_DIR=$out/include QUORANE_DOCS_DIR=$out \
  QUORANE_VERSION=$version doxygen docs/Doxyfile 2>"$out/warnings.log" || status=$?
if [ -s "$out/warnings.log" ] || [ "$status" -ne 0 ]; then
  cat "$out/warnings.log" >&2
  echo "docs: doxygen failed (exit $status); every warning counts" >&2
  exit 1
fi
echo "docs: $out/html/index.html"
