#!/usr/bin/env bash
# Holds the shared library to the ABI of the latest release of its major
# version: abi/<SONAME>.xml, written by abidw from a build with debug info.
#
#   abi/check_abi.sh LIBRARY              compare LIBRARY with its baseline
#   abi/check_abi.sh --update LIBRARY     write the baseline and the Debian
#                                         symbols file from LIBRARY
#
# LIBRARY is a libquorane-support.so.* built with debug info (RelWithDebInfo
# or Debug). Only the public headers' types count (--headers-dir). Added
# functions pass; a removed function, a changed signature or a changed type
# that a public function takes or returns fails, as does a library whose
# SONAME has no baseline. abidiff's status is a bit field (1 error, 2 usage,
# 4 ABI change, 8 incompatible change); added symbols are left out of the
# comparison, so any bit set fails. Exits 77 when abidiff is not installed.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)

update=no
if [ "${1:-}" = --update ]; then
  update=yes
  shift
fi
library=${1:?usage: check_abi.sh [--update] LIBRARY}
[ -f "$library" ] || { echo "abi: no library at $library" >&2; exit 1; }
library=$(cd "$(dirname "$library")" && pwd)/$(basename "$library")
headers=$source_dir/include/quorane

soname=$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ -n "$soname" ] || { echo "abi: $library has no SONAME" >&2; exit 1; }
baseline=$source_dir/abi/$soname.xml

# Compares the library with the baseline; prints what changed and why it
# fails.
compare() {
  local status=0
  abidiff --no-added-syms --fail-no-debug-info --headers-dir2 "$headers" --drop-private-types \
    "$baseline" "$library" || status=$?
  [ "$status" -eq 0 ] && return 0
  local reasons=()
  [ $((status & 1)) -ne 0 ] && reasons+=("abidiff failed")
  [ $((status & 2)) -ne 0 ] && reasons+=("abidiff was called wrongly")
  [ $((status & 8)) -ne 0 ] && reasons+=("functions or variables were removed")
  [ $((status & 4)) -ne 0 ] && [ $((status & 8)) -eq 0 ] && reasons+=("the ABI changed")
  local IFS=';'
  echo "abi: $soname breaks its baseline (abidiff status $status: ${reasons[*]})" >&2
  return 1
}

if [ "$update" = yes ]; then
  command -v abidw >/dev/null || { echo "abi: abidw is not installed (scripts/setup.sh installs abigail-tools)" >&2; exit 1; }
  # Only additions are taken in: a break needs a new major version, whose
  # SONAME has no baseline yet.
  if [ -f "$baseline" ] && ! compare; then
    echo "abi: not updating $baseline over a break; see the ABI policy in CHANGELOG.md" >&2
    exit 1
  fi
  readelf -S "$library" | grep -q '\.debug_info' ||
    { echo "abi: $library has no debug info; build it RelWithDebInfo" >&2; exit 1; }
  # Locations as file names only: they tell abidiff which types the public
  # headers define, without naming the machine's directories.
  abidw --headers-dir "$headers" --drop-private-types --no-corpus-path --no-comp-dir-path \
    --short-locs --type-id-style hash --out-file "$baseline" "$library"
  version=$(sed -n 's/^project(Quorane VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
  symbols=$source_dir/cmake/debian/symbols
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  # Symbols already listed keep the version that brought them; new ones get
  # this one.
  inputs=()
  [ -f "$symbols" ] && inputs=(-I"$symbols")
  (cd "$work" && dpkg-gensymbols -q -v"$version" -plibquorane-support1 -e"$library" \
    "${inputs[@]}" -O"$work/symbols")
  { head -n 1 "$work/symbols"; echo "* Build-Depends-Package: libquorane-support-dev"
    tail -n +2 "$work/symbols" | grep -v '^\*'; } >"$symbols"
  echo "abi: wrote $baseline and $symbols"
  exit 0
fi

command -v abidiff >/dev/null || { echo "abi: abidiff is not installed (scripts/setup.sh installs abigail-tools)"; exit 77; }
[ -f "$baseline" ] || {
  echo "abi: no baseline for $soname in abi/. A new major version starts its own:" \
    "see the README's section for contributors." >&2
  exit 1
}
compare || exit 1
echo "abi: $soname keeps the ABI of abi/$soname.xml"
