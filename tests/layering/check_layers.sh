#!/usr/bin/env bash
# The library's layering, checked from its sources and its installed binary:
#
#   check_layers.sh includes SOURCE_DIR   no layer includes a higher one, and
#                                         the updater includes only the public
#                                         API and the internals made public to it
#   check_layers.sh public SOURCE_DIR     the public headers include nothing private
#   check_layers.sh exports SOURCE_DIR BUILD_DIR
#                                         the installed shared library exports
#                                         exactly the functions the public
#                                         headers declare
#
# Layers, lowest first: base (1), platform (2), the families and the file
# class (3), which implement the public API (its headers count with them).
# Export.h, the export macro, is below them all.
set -euo pipefail

mode=${1:?mode}
src=${2:?source directory}/src
include=${2}/include/quorane
updater=${2}/updater/src
failures=0
fail() {
  echo "layering: $*" >&2
  failures=$((failures + 1))
}

# The public headers, relative to include/quorane/: everything there, and
# nothing else, is public.
public_headers=(Utils.h QuoraneFile.h Export.h platform/CoreFoundationStrings.h)

# The layer an include text (as written) or a file relative to src/ belongs to.
# The public platform strings are implemented by the platform layer, and the
# rest of the public API by the families.
layer_of() {
  case "$1" in
    quorane/Export.h) echo 0 ;;
    base/*) echo 1 ;;
    platform/* | quorane/platform/*) echo 2 ;;
    *) echo 3 ;;
  esac
}

# The project includes of a file, one per line: "..." includes as written,
# <quorane/...> includes with their prefix.
includes_of() {
  sed -n -e 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' \
    -e 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*<\(quorane\/[^>]*\)>.*/\1/p' "$1"
}

is_public() {
  local name
  for name in "${public_headers[@]}"; do [ "$1" = "$name" ] && return 0; done
  return 1
}

case "$mode" in
  includes)
    while IFS= read -r file; do
      relative=${file#"$src"/}
      own=$(layer_of "$relative")
      while IFS= read -r included; do
        [ -n "$included" ] || continue
        if [ "$(layer_of "$included")" -gt "$own" ]; then
          fail "$relative (layer $own) includes $included (layer $(layer_of "$included"))"
        fi
      done < <(includes_of "$file")
    done < <(find "$src" -name '*.h' -o -name '*.cpp')
    # The updater: its own headers, the public API, and the internals made
    # public to it (see updater/CMakeLists.txt).
    while IFS= read -r file; do
      while IFS= read -r included; do
        [ -n "$included" ] || continue
        case "$included" in
          */*) ;;
          *) [ -f "$(dirname "$file")/$included" ] && continue ;;
        esac
        case "$included" in
          quorane/*) is_public "${included#quorane/}" && continue ;;
          platform/Processes.h | platform/TreeWalk.h | platform/Rename.h | platform/Flush.h | \
            base/FileDescriptor.h)
            continue ;;
        esac
        fail "${file#"$updater"/} includes $included, which is not public to the updater"
      done < <(includes_of "$file")
    done < <(find "$updater" -name '*.h' -o -name '*.cpp')
    ;;
  public)
    # Each public header includes only public headers, by their place beside
    # it; and include/quorane/ holds nothing but the public headers, so no
    # private header is ever reachable as <quorane/...>.
    for header in "${public_headers[@]}"; do
      [ -f "$include/$header" ] || { fail "public $header is missing from include/quorane"; continue; }
      while IFS= read -r included; do
        [ -n "$included" ] || continue
        resolved=$(realpath -m --relative-to="$include" "$(dirname "$include/$header")/$included")
        is_public "$resolved" || fail "public $header includes private $included"
      done < <(includes_of "$include/$header")
    done
    while IFS= read -r file; do
      is_public "${file#"$include"/}" || fail "include/quorane/${file#"$include"/} is not public"
    done < <(find "$include" -type f)
    ;;
  exports)
    build=${3:?build directory}
    prefix=$(mktemp -d "${TMPDIR:-/tmp}/quorane-layering.XXXXXX")
    trap 'rm -rf "$prefix"' EXIT
    cmake --install "$build" --prefix "$prefix" >/dev/null
    library=$(find "$prefix" -name 'libquorane-support.so.*.*' | head -n 1)
    [ -n "$library" ] || { echo "layering: no shared library installed" >&2; exit 1; }
    # Documented: each function marked QUORANE_API, and the file class.
    documented=$(
      { grep -ho 'QUORANE_API [^(;]*[(;]' "$include/Utils.h" "$include/platform/CoreFoundationStrings.h" |
          sed -E 's/[(;]$//' | awk '{ print $NF }' | sed 's/^\*//'
        echo CQuoraneFile; } | sort -u)
    # Exported: each defined dynamic symbol by name, without its parameters,
    # return type, ABI tag or class member.
    exported=$(nm -DC --defined-only "$library" | cut -d' ' -f3- |
      sed -E 's/\(.*//; s/\[abi:[^]]*\]//g; s/::.*//' | sort -u)
    while IFS= read -r name; do
      grep -qxF "$name" <<<"$documented" || fail "exports $name, which no public header declares"
    done <<<"$exported"
    while IFS= read -r name; do
      grep -qxF "$name" <<<"$exported" || fail "does not export $name, which a public header declares"
    done <<<"$documented"
    ;;
  *)
    echo "usage: $0 includes|public|exports SOURCE_DIR [BUILD_DIR]" >&2
    exit 2
    ;;
esac

if [ "$failures" -gt 0 ]; then
  echo "layering: $failures problem(s)" >&2
  exit 1
fi
echo "layering: $mode ok"
