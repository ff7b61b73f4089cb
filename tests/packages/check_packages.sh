#!/usr/bin/env bash
# Builds the packages with scripts/package.sh, installs the .deb files into a
# throwaway root, checks what each installs and depends on, and builds and
# runs the outside project of tests/consumer against that root.
#
#   check_packages.sh SOURCE_DIR WORK_DIR
set -euo pipefail

source_dir=${1:?source directory}
work=${2:?work directory}
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

"$source_dir/scripts/package.sh" "$build" >"$work/package.log" 2>&1 || {
  cat "$work/package.log"
  echo "packages: scripts/package.sh failed" >&2
  exit 1
}

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
arch=$(dpkg --print-architecture)
runtime=$packages/quorane_1.0.0-1_${arch}.deb
development=$packages/quorane-dev_1.0.0-1_${arch}.deb
archive=$packages/quorane-1.0.0-Linux.tar.gz
for file in "$runtime" "$development" "$archive"; do
  [ -f "$file" ] || { ls "$packages" >&2; echo "packages: missing $file" >&2; exit 1; }
done

# The files (not directories) a package installs, one per line, sorted.
files_of() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./||' | sort; }

expected_runtime="usr/bin/quorane-update
usr/lib/$multiarch/libquorane-support.so.1
usr/lib/$multiarch/libquorane-support.so.1.0.0
usr/share/doc/quorane/changelog.Debian.gz
usr/share/doc/quorane/copyright
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
usr/lib/$multiarch/libquorane-support.so
usr/lib/$multiarch/pkgconfig/quorane-support.pc
usr/share/doc/quorane-dev/changelog.Debian.gz
usr/share/doc/quorane-dev/copyright"
[ "$(files_of "$runtime")" = "$expected_runtime" ] ||
  fail "runtime package holds:"$'\n'"$(files_of "$runtime")"
[ "$(files_of "$development")" = "$expected_development" ] ||
  fail "development package holds:"$'\n'"$(files_of "$development")"

# The tarball holds both components, under its top directory and no prefix.
archive_files=$(tar -tzvf "$archive" | awk '$1 !~ /^d/ { print $6 }' |
  sed 's|^quorane-1.0.0-Linux/|usr/|' | sort)
[ "$archive_files" = "$(printf '%s\n%s\n' "$expected_runtime" "$expected_development" | sort)" ] ||
  fail "the tarball holds:"$'\n'"$archive_files"

# Dependencies: the runtime package on the libraries its binaries load (read
# off them) and on unzip; the development package on the runtime one of the
# same version and on the headers its own headers include.
depends_of() { dpkg-deb -f "$1" Depends; }
for wanted in unzip libboost-filesystem1.74.0 libicu libglib2.0-0 libstdc++6 libc6; do
  depends_of "$runtime" | grep -q "$wanted" || fail "runtime does not depend on $wanted"
done
for wanted in "quorane (= 1.0.0-1)" libboost-filesystem-dev rapidjson-dev; do
  depends_of "$development" | grep -qF "$wanted" || fail "development does not depend on $wanted"
done
# The library links only what its compiled code calls: none of Boost.Locale,
# Boost.System (header-only) or their threads, chrono and atomic, nor ICU's
# i18n library.
needed=$(dpkg-deb --fsys-tarfile "$runtime" |
  tar -xO "./usr/lib/$multiarch/libquorane-support.so.1.0.0" >"$work/library.so" &&
  readelf -d "$work/library.so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
unused=$(grep -E 'boost_(locale|system|thread|chrono|atomic)|icui18n' <<<"$needed" || true)
[ -z "$unused" ] || fail "the library links what it does not use: $unused"
grep -q '^libicuuc' <<<"$needed" || fail "the library does not link ICU: $needed"
declared=$(dpkg-deb --fsys-tarfile "$development" |
  tar -xO "./usr/lib/$multiarch/cmake/QuoraneSupport/QuoraneSupportTargets.cmake" \
    "./usr/lib/$multiarch/pkgconfig/quorane-support.pc")
if grep -E 'Boost::(locale|system)|ICU::i18n|boost_(locale|system)|icu-i18n' <<<"$declared"; then
  fail "the CMake package or the pkg-config file declares unused libraries"
fi
if depends_of "$runtime" | grep -qE 'libboost-(locale|system|thread|chrono|atomic)'; then
  fail "runtime depends on unused Boost libraries: $(depends_of "$runtime")"
fi
dpkg-deb --ctrl-tarfile "$runtime" | tar -xO ./shlibs | grep -qx "libquorane-support 1 quorane (>= 1.0.0-1)" ||
  fail "the runtime package declares no shlibs for libquorane-support.so.1"

# Installed into a throwaway root, the packages serve an outside project.
dpkg-deb -x "$runtime" "$root"
dpkg-deb -x "$development" "$root"
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
# pkg-config needs no more than the development package and what it depends
# on: its search path here holds only their .pc files.
pc_depends=$work/pc-depends
mkdir -p "$pc_depends"
for package in $(depends_of "$development" | tr ',' '\n' | sed 's/(.*)//; s/ //g'); do
  { dpkg -L "$package" 2>/dev/null || true; } | { grep '\.pc$' || true; } | xargs -r cp -t "$pc_depends"
done
if pc_flags=$(PKG_CONFIG_LIBDIR=$root/usr/lib/$multiarch/pkgconfig:$pc_depends \
    pkg-config --cflags --libs quorane-support 2>&1); then
  # shellcheck disable=SC2086 # the flags are words
  c++ -std=c++17 -I"$source_dir/tests/consumer/include" "$source_dir/tests/consumer/outside_main.cpp" \
    $pc_flags -o "$work/consumer-pc" || fail "the outside program does not build with pkg-config's flags"
  LD_LIBRARY_PATH=$root/usr/lib/$multiarch "$work/consumer-pc" || fail "consumer-pc failed"
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
