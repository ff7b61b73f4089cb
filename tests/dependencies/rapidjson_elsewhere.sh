#!/usr/bin/env bash
# Builds the library, and an outside project that includes its headers,
# against a RapidJSON installed in a prefix of its own, with the system's copy
# hidden, once for each form a RapidJSON package takes: Debian's, which names
# its include directory in a variable, and newer upstream releases', which
# export a target.
#
#   rapidjson_elsewhere.sh SOURCE_DIR WORK_DIR
#
# Hiding the system's copy needs a private mount namespace; where one cannot
# be made, the script exits 77 (skipped).
set -euo pipefail

source_dir=${1:?source directory}
work=${2:?work directory}
system_headers=/usr/include/rapidjson
system_package=$(dirname "$(find /usr/share/cmake /usr/lib/cmake /usr/lib/*/cmake \
  -name RapidJSONConfig.cmake -print -quit 2>/dev/null)")

if [ "${QUORANE_IN_PRIVATE_MOUNTS:-}" != 1 ]; then
  if ! unshare -m true 2>/dev/null; then
    echo "skipped: no private mount namespace can be made here (needs root or user namespaces)"
    exit 77
  fi
  rm -rf "$work"
  mkdir -p "$work/prefix/include"
  cp -r "$system_headers" "$work/prefix/include/"
  QUORANE_IN_PRIVATE_MOUNTS=1 exec unshare -m --propagation private "$0" "$@"
fi

# From here on, only this process and its children see the system's RapidJSON
# hidden.
mount -t tmpfs none "$system_headers"
mount -t tmpfs none "$system_package"
if [ -e "$system_headers/document.h" ] || [ -e "$system_package/RapidJSONConfig.cmake" ]; then
  echo "the system's RapidJSON is still visible" >&2
  exit 1
fi

prefix=$work/prefix
package=$prefix/share/cmake/RapidJSON
mkdir -p "$package"
for form in variable target; do
  case "$form" in
    variable)
      echo "set(RAPIDJSON_INCLUDE_DIRS \"$prefix/include\")" >"$package/RapidJSONConfig.cmake" ;;
    target)
      cat >"$package/RapidJSONConfig.cmake" <<CONFIG
add_library(RapidJSON INTERFACE IMPORTED)
set_target_properties(RapidJSON PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "$prefix/include")
CONFIG
      ;;
  esac
  build=$work/build-$form
  echo "=== RapidJSON in $prefix, package naming its headers by a $form"
  cmake -S "$source_dir/tests/consumer" -B "$build" -DQUORANE_FROM=subdirectory \
    -DQUORANE_SOURCE="$source_dir" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$build" -j 2 >"$build.log" 2>&1 || { cat "$build.log"; exit 1; }
  "$build/json_test"
done
