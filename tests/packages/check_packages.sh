#!/usr/bin/env bash
# Builds the packages with scripts/package.sh, installs the .deb files into a
# throwaway root, checks what each installs and depends on, and builds and
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
runtime=$packages/quorane_1.0.0-1_${arch}.deb
development=$packages/quorane-dev_1.0.0-1_${arch}.deb
documentation=$packages/quorane-doc_1.0.0-1_all.deb
archive=$packages/quorane-1.0.0-Linux.tar.gz
for file in "$runtime" "$development" "$documentation" "$archive"; do
  [ -f "$file" ] || { ls "$packages" >&2; echo "packages: missing $file" >&2; exit 1; }
done

# The files (not directories) a package installs, one per line, sorted.
files_of() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./||' | sort; }

if [ "$kind" = shared ]; then
  runtime_library="usr/lib/$multiarch/libquorane-support.so.1
usr/lib/$multiarch/libquorane-support.so.1.0.0
"
  development_library=usr/lib/$multiarch/libquorane-support.so
else
  runtime_library=
  development_library=usr/lib/$multiarch/libquorane-support.a
fi
expected_runtime="usr/bin/quorane-update
${runtime_library}usr/share/doc/quorane/changelog.Debian.gz
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
$development_library
usr/lib/$multiarch/pkgconfig/quorane-support.pc
usr/share/doc/quorane-dev/changelog.Debian.gz
usr/share/doc/quorane-dev/copyright"
[ "$(files_of "$runtime")" = "$expected_runtime" ] ||
  fail "runtime package holds:"$'\n'"$(files_of "$runtime")"
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
[ "$archive_files" = "$(printf '%s\n%s\n%s\n' "$expected_runtime" "$expected_development" \
    "$documentation_files" | sort)" ] ||
  fail "the tarball holds:"$'\n'"$archive_files"

# Dependencies: the runtime package on the libraries its binaries load (read
# off them: a static build's updater holds what it uses of the library and
# loads none of Boost, ICU or GLib) and on unzip; the development package on
# the headers its own headers include, and on the runtime one of the same
# version for a shared library, or on what a static library links (ICU, GIO)
# instead.
depends_of() { dpkg-deb -f "$1" Depends; }
# The package names a Depends field lists, one per line.
names_in() { sed 's/[,|]/\n/g' | sed 's/(.*)//; s/:any//; s/ //g' | grep -v '^$' || true; }
runtime_depends=(unzip libstdc++6 libc6)
[ "$kind" = shared ] && runtime_depends+=(libboost-filesystem1.74.0 libicu libglib2.0-0)
for wanted in "${runtime_depends[@]}"; do
  depends_of "$runtime" | grep -q "$wanted" || fail "runtime does not depend on $wanted"
done
if [ "$kind" = shared ]; then
  development_depends=("quorane (= 1.0.0-1)" libboost-filesystem-dev rapidjson-dev)
else
  development_depends=(libboost-filesystem-dev rapidjson-dev libicu-dev libglib2.0-dev)
  depends_of "$development" | names_in | grep -qx quorane &&
    fail "the static development package depends on the runtime package: $(depends_of "$development")"
fi
for wanted in "${development_depends[@]}"; do
  depends_of "$development" | grep -qF "$wanted" || fail "development does not depend on $wanted"
done
# The library links only what its compiled code calls: none of Boost.Locale,
# Boost.System (header-only) or their threads, chrono and atomic, nor ICU's
# i18n library.
if [ "$kind" = shared ]; then
  needed=$(dpkg-deb --fsys-tarfile "$runtime" |
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
if depends_of "$runtime" | grep -qE 'libboost-(locale|system|thread|chrono|atomic)'; then
  fail "runtime depends on unused Boost libraries: $(depends_of "$runtime")"
fi
# A shared library's package declares what it provides: shlibs, and the
# symbols file (cmake/debian/symbols, which scripts/package.sh checked the
# library against). A static build's runtime package holds no library.
control_of() { dpkg-deb --ctrl-tarfile "$runtime" | tar -xO "./$1" 2>/dev/null; }
if [ "$kind" = shared ]; then
  control_of shlibs | grep -qx "libquorane-support 1 quorane (>= 1.0.0-1)" ||
    fail "the runtime package declares no shlibs for libquorane-support.so.1"
  control_of symbols | cmp -s - "$source_dir/cmake/debian/symbols" ||
    fail "the runtime package does not hold cmake/debian/symbols as its symbols file"
else
  for file in shlibs symbols triggers; do
    control_of $file >/dev/null && fail "the static build's runtime package has a $file file"
  done
fi

# Installed into a throwaway root, the packages serve an outside project.
dpkg-deb -x "$runtime" "$root"
dpkg-deb -x "$development" "$root"
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
