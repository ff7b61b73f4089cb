#!/usr/bin/env bash
# Builds the release packages: one .deb per install component, named as
# Debian names a library and its programs (libquorane-support1: the shared
# library; quorane-update: the updater and its manual page;
# libquorane-support-dev: headers, CMake package, pkg-config file;
# quorane-doc: the API reference scripts/docs.sh builds) and one .tar.gz of
# them all, installed under /usr. Checks the shared library's symbols against
# its package's symbols file (cmake/debian/symbols), then lists what each
# package holds and runs lintian over the .deb files, when it is installed.
#
#   scripts/package.sh [--static] [BUILD_DIR]
#
# --static packages a static library in the development package instead of
# the shared one, and makes no library package. BUILD_DIR defaults to
# build/package; the packages land in BUILD_DIR/packages. Exits non-zero when
# the build fails, when lintian reports an error or a warning other than
# initial-upload-closes-no-bugs, or when the library lost a symbol or gained
# one the symbols file does not list.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

shared=ON
if [ "${1:-}" = --static ]; then
  shared=OFF
  shift
fi
build=${1:-build/package}
mkdir -p "$build"
build=$(cd "$build" && pwd)
out=$build/packages

# Debian's hardening flags (fortified functions, stack protector, read-only
# relocations bound at load), as its own packages are built with.
flags=()
if command -v dpkg-buildflags >/dev/null; then
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  flags=(-DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
    -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)")
fi
# Programs and shared libraries stripped as Debian's own tools strip them
# (dh_strip): of their symbols, and of the compilers' identification
# (.comment) too.
strip_tool=$build/strip-as-debian
printf '%s\n' '#!/bin/sh' 'exec strip --remove-section=.comment --remove-section=.note "$@"' \
  >"$strip_tool"
chmod +x "$strip_tool"
scripts/docs.sh "$build/docs" >/dev/null
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_SHARED_LIBS="$shared" -DQUORANE_BUILD_TESTS=OFF -DQUORANE_BUILD_BENCH=OFF \
  -DQUORANE_DOCS_HTML="$build/docs/html" -DCMAKE_STRIP="$strip_tool" "${flags[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
# CMake's install strips no static library: this one is stripped here, of
# its debug information and the same sections, as dh_strip strips one.
if [ "$shared" = OFF ]; then
  strip --strip-debug --remove-section=.comment --remove-section=.note \
    --enable-deterministic-archives "$build/libquorane-support.a"
fi
rm -rf "$out"
(cd "$build" && cpack -B "$PWD/packages" >/dev/null)
rm -rf "$out/_CPack_Packages"

# The shared library exports exactly the symbols the symbols file lists
# (level 4: any symbol lost or gained fails). Checked as of the package's own
# version (with its Debian revision), so that a symbol of this very release
# counts as released. A release that adds functions lists them with
# abi/check_abi.sh --update.
if [ "$shared" = ON ]; then
  runtime_deb=$(ls "$out"/libquorane-support1_*.deb)
  symbols_work=$build/symbols
  rm -rf "$symbols_work"
  mkdir -p "$symbols_work"
  dpkg-deb -x "$runtime_deb" "$symbols_work/root"
  library=$(find "$symbols_work/root" -name 'libquorane-support.so.*.*' -type f)
  version=$(dpkg-deb -f "$runtime_deb" Version)
  (cd "$symbols_work" && dpkg-gensymbols -c4 -v"$version" -plibquorane-support1 -e"$library" \
    -I"$source_dir/cmake/debian/symbols" -O"$symbols_work/symbols") || {
    echo "package: the library's symbols differ from cmake/debian/symbols (diff above)" >&2
    exit 1
  }
  echo "=== symbols: the library's match cmake/debian/symbols"
fi

for deb in "$out"/*.deb; do
  echo "=== $(basename "$deb")"
  dpkg-deb -f "$deb" Package Version Architecture Depends
  dpkg-deb -c "$deb" | awk '{ print $1, $6, $7, $8 }'
done
for archive in "$out"/*.tar.gz; do
  echo "=== $(basename "$archive")"
  tar -tzvf "$archive" | awk '{ print $1, $6, $7, $8 }'
done

if command -v lintian >/dev/null; then
  echo "=== lintian"
  # Errors and warnings fail the run; the rest is listed. The one warning
  # taken is that the first release's changelog closes no bug report: there
  # is none in Debian's tracker for a package it has never had.
  status=0
  report=$(lintian --tag-display-limit 0 --display-info "$out"/*.deb) || status=$?
  echo "$report"
  [ "$status" -eq 0 ] || { echo "lintian: errors (exit $status)" >&2; exit 1; }
  warnings=$(grep '^W: ' <<<"$report" | grep -v ' initial-upload-closes-no-bugs ' || true)
  [ -z "$warnings" ] || { echo "lintian: warnings" >&2; exit 1; }
  echo "lintian: no errors, and no warnings but initial-upload-closes-no-bugs"
else
  echo "lintian is not installed (scripts/setup.sh installs it); the packages were not checked"
fi
