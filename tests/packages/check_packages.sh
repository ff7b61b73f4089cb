#!/usr/bin/env bash
# Builds the packages with scripts/package.sh, installs the .deb files into a
# throwaway root, checks what each installs, depends on and runs when
# installed, and builds and
# runs outside programs against that root: the project of tests/consumer
# (shared kind; the static one is built by Consumers.static), a C++ program
# and a C program (tests/packages/c_consumer.c, linked by the C compiler)
# with pkg-config's flags.
#
#   check_packages.sh SOURCE_DIR WORK_DIR [shared|static]
#
# static packages a static library (scripts/package.sh --static).
set -euo pipefail

source_dir=${1:?source directory}
work=${2:?work directory}
kind=${3:-shared}
case $kind in
  shared) package_options=() ;;
  static) package_options=(--static) ;;
  *) echo "packages: unknown kind $kind" >&2; exit 2 ;;
esac
rm -rf "$work"
mkdir -p "$work"
build=$work/build
packages=$build/packages
root=$work/root
failures=0
fail() {
  echo "packages: $*" >&2
  failures=$((failures + 1))
}

"$source_dir/scripts/package.sh" "${package_options[@]}" "$build" >"$work/package.log" 2>&1 || {
  cat "$work/package.log"
  echo "packages: scripts/package.sh failed" >&2
  exit 1
}

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
arch=$(dpkg --print-architecture)
# Only a shared library has a package of its own.
library=$packages/libquorane-support1_1.0.0-1_${arch}.deb
updater=$packages/quorane-update_1.0.0-1_${arch}.deb
development=$packages/libquorane-support-dev_1.0.0-1_${arch}.deb
documentation=$packages/quorane-doc_1.0.0-1_all.deb
archive=$packages/quorane-1.0.0-Linux.tar.gz
debs=("$updater" "$development" "$documentation")
[ "$kind" = shared ] && debs+=("$library")
for file in "${debs[@]}" "$archive"; do
  [ -f "$file" ] || { ls "$packages" >&2; echo "packages: missing $file" >&2; exit 1; }
done
[ "$(find "$packages" -name '*.deb' | wc -l)" -eq "${#debs[@]}" ] ||
  fail "packages made besides ${debs[*]##*/}: $(ls "$packages")"

# The files (not directories) a package installs, one per line, sorted.
files_of() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./||' | sort; }

if [ "$kind" = shared ]; then
  expected_library="usr/lib/$multiarch/libquorane-support.so.1
usr/lib/$multiarch/libquorane-support.so.1.0.0
usr/share/doc/libquorane-support1/changelog.Debian.gz
usr/share/doc/libquorane-support1/copyright"
  development_library=usr/lib/$multiarch/libquorane-support.so
else
  expected_library=
  development_library=usr/lib/$multiarch/libquorane-support.a
fi
expected_updater="usr/bin/quorane-update
usr/share/doc/quorane-update/changelog.Debian.gz
usr/share/doc/quorane-update/copyright
usr/share/man/man1/quorane-update.1.gz"
expected_development="usr/include/quorane/Export.h
usr/include/quorane/QuoraneFile.h
usr/include/quorane/Utils.h
usr/include/quorane/Version.h
usr/include/quorane/platform/CoreFoundationStrings.h
usr/lib/$multiarch/cmake/QuoraneSupport/QuoraneDependencies.cmake
usr/lib/$multiarch/cmake/QuoraneSupport/QuoraneSupportConfig.cmake
usr/lib/$multiarch/cmake/QuoraneSupport/QuoraneSupportConfigVersion.cmake
usr/lib/$multiarch/cmake/QuoraneSupport/QuoraneSupportTargets-release.cmake
usr/lib/$multiarch/cmake/QuoraneSupport/QuoraneSupportTargets.cmake
$development_library
usr/lib/$multiarch/pkgconfig/quorane-support.pc
usr/share/doc/libquorane-support-dev/changelog.Debian.gz
usr/share/doc/libquorane-support-dev/copyright"
if [ "$kind" = shared ]; then
  [ "$(files_of "$library")" = "$expected_library" ] ||
    fail "library package holds:"$'\n'"$(files_of "$library")"
fi
[ "$(files_of "$updater")" = "$expected_updater" ] ||
  fail "updater package holds:"$'\n'"$(files_of "$updater")"
[ "$(files_of "$development")" = "$expected_development" ] ||
  fail "development package holds:"$'\n'"$(files_of "$development")"

# The API reference: HTML under the package's documentation directory, a
# page for each header the development package installs, registered with
# doc-base; for any architecture.
doc_dir=usr/share/doc/quorane-doc
documentation_files=$(files_of "$documentation")
stray=$(grep -vE "^($doc_dir/(copyright|changelog\.Debian\.gz|html/.+)|usr/share/doc-base/quorane-doc)\$" \
  <<<"$documentation_files" || true)
[ -z "$stray" ] || fail "the documentation package holds more than the reference: $stray"
for wanted in "$doc_dir/html/index.html" "$doc_dir/copyright" "$doc_dir/changelog.Debian.gz" \
    usr/share/doc-base/quorane-doc; do
  grep -qx "$wanted" <<<"$documentation_files" || fail "the documentation package lacks $wanted"
done
while read -r header; do
  page=$doc_dir/html/$(basename "$header" .h)_8h.html
  grep -qx "$page" <<<"$documentation_files" || fail "no reference page for $header ($page)"
done < <(grep '^usr/include/quorane/.*\.h$' <<<"$expected_development")
[ "$(dpkg-deb -f "$documentation" Architecture)" = all ] ||
  fail "the documentation package is for $(dpkg-deb -f "$documentation" Architecture), not all"

# The tarball holds every component, under its top directory and no prefix.
archive_files=$(tar -tzvf "$archive" | awk '$1 !~ /^d/ { print $6 }' |
  sed 's|^quorane-1.0.0-Linux/|usr/|' | sort)
# shellcheck disable=SC2086 # no line for a library that is not there
[ "$archive_files" = "$(printf '%s\n' $expected_library "$expected_updater" \
    "$expected_development" "$documentation_files" | sort)" ] ||
  fail "the tarball holds:"$'\n'"$archive_files"

# Dependencies: the library's and the updater's packages on the libraries
# their binaries load (read off them: the updater holds what it uses of the
# library, so loads it not, nor Boost, ICU or GLib unless it calls them), the
# updater on unzip too; the development package on the headers its own
# headers include, and on the library's package of the same version for a
# shared library, or on what a static library links (ICU, GIO) instead.
depends_of() { dpkg-deb -f "$1" Depends; }
# The package names a Depends field lists, one per line.
names_in() { sed 's/[,|]/\n/g' | sed 's/(.*)//; s/:any//; s/ //g' | grep -v '^$' || true; }
# PACKAGE WHAT WANTED...: fails for each WANTED that PACKAGE's Depends lacks.
depends_on() {
  local package=$1 what=$2 wanted
  shift 2
  for wanted in "$@"; do
    depends_of "$package" | grep -qF "$wanted" || fail "$what does not depend on $wanted"
  done
}
depends_on "$updater" "the updater" unzip libstdc++6 libc6
depends_of "$updater" | names_in | grep -qx libquorane-support1 &&
  fail "the updater depends on the library's package, whose code it holds: $(depends_of "$updater")"
if [ "$kind" = shared ]; then
  depends_on "$library" "the library" libstdc++6 libc6 libboost-filesystem1.74.0 libicu libglib2.0-0
  depends_on "$development" "development" "libquorane-support1 (= 1.0.0-1)" libboost-filesystem-dev \
    rapidjson-dev
else
  depends_on "$development" "development" libboost-filesystem-dev rapidjson-dev libicu-dev \
    libglib2.0-dev
  depends_of "$development" | names_in | grep -qx libquorane-support1 &&
    fail "the static development package depends on the library's package: $(depends_of "$development")"
fi
# The library links only what its compiled code calls: none of Boost.Locale,
# Boost.System (header-only) or their threads, chrono and atomic, nor ICU's
# i18n library.
if [ "$kind" = shared ]; then
  needed=$(dpkg-deb --fsys-tarfile "$library" |
    tar -xO "./usr/lib/$multiarch/libquorane-support.so.1.0.0" >"$work/library.so" &&
    readelf -d "$work/library.so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  unused=$(grep -E 'boost_(locale|system|thread|chrono|atomic)|icui18n' <<<"$needed" || true)
  [ -z "$unused" ] || fail "the library links what it does not use: $unused"
  grep -q '^libicuuc' <<<"$needed" || fail "the library does not link ICU: $needed"
fi
declared=$(dpkg-deb --fsys-tarfile "$development" |
  tar -xO "./usr/lib/$multiarch/cmake/QuoraneSupport/QuoraneSupportTargets.cmake" \
    "./usr/lib/$multiarch/pkgconfig/quorane-support.pc")
if grep -E 'Boost::(locale|system)|ICU::i18n|boost_(locale|system)|icu-i18n' <<<"$declared"; then
  fail "the CMake package or the pkg-config file declares unused libraries"
fi
for deb in "${debs[@]}"; do
  if depends_of "$deb" | grep -qE 'libboost-(locale|system|thread|chrono|atomic)'; then
    fail "${deb##*/} depends on unused Boost libraries: $(depends_of "$deb")"
  fi
done
# The library's package declares what it provides: shlibs, and the symbols
# file (cmake/debian/symbols, which scripts/package.sh checked the library
# against); and it has the linker's cache renewed by a trigger. No package
# has a maintainer script: none calls ldconfig, and there is nothing else
# to run.
control_of() { dpkg-deb --ctrl-tarfile "$1" | tar -xO "./$2" 2>/dev/null; }
if [ "$kind" = shared ]; then
  control_of "$library" shlibs | grep -qx "libquorane-support 1 libquorane-support1 (>= 1.0.0-1)" ||
    fail "the library's package declares no shlibs for libquorane-support.so.1"
  control_of "$library" symbols | cmp -s - "$source_dir/cmake/debian/symbols" ||
    fail "the library's package does not hold cmake/debian/symbols as its symbols file"
  control_of "$library" triggers | grep -qx 'activate-noawait ldconfig' ||
    fail "the library's package has no ldconfig trigger"
fi
for deb in "${debs[@]}"; do
  for file in preinst postinst prerm postrm; do
    control_of "$deb" $file >/dev/null && fail "${deb##*/} has a $file"
  done
  [ "$deb" = "$library" ] && continue
  for file in shlibs symbols triggers; do
    control_of "$deb" $file >/dev/null && fail "${deb##*/} has a $file file"
  done
done

# Installed into a throwaway root, the packages serve an outside project.
for deb in "${debs[@]}"; do
  dpkg-deb -x "$deb" "$root"
done
if [ "$kind" = shared ]; then
  consumer=$work/consumer
  cmake -S "$source_dir/tests/consumer" -B "$consumer" -DQUORANE_FROM=package \
    -DCMAKE_PREFIX_PATH="$root/usr" >"$work/consumer.log" 2>&1 &&
    cmake --build "$consumer" -j 2 >>"$work/consumer.log" 2>&1 || {
    cat "$work/consumer.log"
    fail "the outside project does not build against the packages"
  }
  if [ -x "$consumer/consumer" ]; then
    grep -q "$root/usr/lib/$multiarch/libquorane-support" "$consumer/CMakeCache.txt" \
      "$consumer/CMakeFiles/consumer.dir/link.txt" ||
      fail "the outside project did not link the packaged library"
    LD_LIBRARY_PATH=$root/usr/lib/$multiarch "$consumer/consumer" || fail "consumer failed"
    LD_LIBRARY_PATH=$root/usr/lib/$multiarch "$consumer/json_test" || fail "json_test failed"
  fi
fi
# pkg-config needs no more than the development package and what it depends
# on: its search path here holds only their .pc files. A shared library's
# file needs the packages the development package names; a static one's
# (--static) reaches through ICU's and GIO's files into what those packages
# depend on in turn, as installing the development package would bring in.
pc_depends=$work/pc-depends
mkdir -p "$pc_depends"
pending=$(depends_of "$development" | names_in)
visited=
while [ -n "$pending" ]; do
  package=${pending%%$'\n'*}
  [ "$package" = "$pending" ] && pending= || pending=${pending#*$'\n'}
  grep -qx "$package" <<<"$visited" && continue
  visited+="$package"$'\n'
  { dpkg -L "$package" 2>/dev/null || true; } | { grep '\.pc$' || true; } | xargs -r cp -t "$pc_depends"
  if [ "$kind" = static ]; then
    more=$(dpkg-query -W -f='${Depends}' "$package" 2>/dev/null | names_in)
    [ -n "$more" ] && pending+=${pending:+$'\n'}$more
  fi
done
pc_options=(--cflags --libs)
[ "$kind" = static ] && pc_options+=(--static)
if pc_flags=$(PKG_CONFIG_LIBDIR=$root/usr/lib/$multiarch/pkgconfig:$pc_depends \
    pkg-config "${pc_options[@]}" quorane-support 2>&1); then
  # shellcheck disable=SC2086 # the flags are words
  c++ -std=c++17 -I"$source_dir/tests/consumer/include" "$source_dir/tests/consumer/outside_main.cpp" \
    $pc_flags -o "$work/consumer-pc" || fail "the outside program does not build with pkg-config's flags"
  LD_LIBRARY_PATH=$root/usr/lib/$multiarch "$work/consumer-pc" || fail "consumer-pc failed"
  # The C compiler's driver adds no C++ runtime: a static library's file must
  # name it.
  # shellcheck disable=SC2086 # the flags are words
  cc -std=c99 "$source_dir/tests/packages/c_consumer.c" $pc_flags -o "$work/c-consumer" ||
    fail "the C program does not link with pkg-config's flags ($pc_flags)"
  if [ -x "$work/c-consumer" ]; then
    LD_LIBRARY_PATH=$root/usr/lib/$multiarch "$work/c-consumer" || fail "c-consumer failed"
  fi
else
  fail "pkg-config, with only the development package's dependencies: $pc_flags"
fi

# Every library the packaged updater loads is found.
LD_LIBRARY_PATH=$root/usr/lib/$multiarch ldd "$root/usr/bin/quorane-update" | grep -q 'not found' &&
  fail "the packaged updater lacks a library"

grep -q '^lintian: no errors' "$work/package.log" || fail "lintian did not check the packages"

if [ "$failures" -gt 0 ]; then
  echo "packages: $failures problem(s)" >&2
  exit 1
fi
sed -n '/=== lintian/,$p' "$work/package.log"
echo "packages: ok"
