#!/usr/bin/env bash
# Only the platform layer's Linux implementations call what Linux alone has.
# Reads the undefined symbols of each object file given (the library's
# layers, the updater's core and its binary) and fails on any Linux-only call
# made outside src/platform/*_linux.cpp, *_gio.cpp and *_icu.cpp; and reads
# the sources of those objects for the Linux-only flags and paths that leave
# no symbol behind. Elsewhere the code is to build on macOS unchanged.
#
#   check_platform_calls.sh SOURCE_DIR OBJECT...
#
# QUORANE_PLANTED_OBJECTS, a list of object files separated by spaces, adds
# them to the check as if they were the project's own: a call planted in one
# must fail it.
set -euo pipefail

source_dir=${1:?source directory}
shift
# shellcheck disable=SC2206 # a list of paths separated by spaces
objects=("$@" ${QUORANE_PLANTED_OBJECTS:-})
[ "${#objects[@]}" -gt 0 ] || { echo "calls: no object files given" >&2; exit 2; }
failures=0
fail() {
  echo "calls: $*" >&2
  failures=$((failures + 1))
}

# Calls Linux has and macOS lacks, as C names (bash patterns).
linux_only_calls=(
  syncfs renameat2 statx openat2 syscall getdents64 pipe2 dup3 accept4
  'epoll_*' 'inotify_*' 'fanotify_*' prctl signalfd eventfd 'timerfd_*' memfd_create
  sendfile splice tee vmsplice fallocate copy_file_range sync_file_range readahead
  sched_getaffinity sched_setaffinity get_nprocs get_nprocs_conf sysinfo
  getauxval close_range 'pidfd_*' gettid unshare setns mount umount umount2
  '__libc_*' getrandom
)
# Calls macOS has from a given version on: allowed, and noted.
declare -A since_macos=(
  [posix_spawn_file_actions_addfchdir_np]=10.15
  [posix_spawn_file_actions_addchdir_np]=10.15
)
# Linux-only calls that a dependency's inline code picks on Linux and that
# become another call on macOS: allowed, and noted with the dependency.
declare -A picked_by_dependency=(
  [getrandom]="Boost.Uuid's random generator (getentropy on macOS)"
  [__libc_single_threaded]="libstdc++'s shared pointers, which read it to skip atomic counts (libc++ on macOS has none)"
)
# Linux-only names the preprocessor leaves no symbol of (flags and
# requests), and Linux's own file systems, read from the sources with their
# comments left out.
linux_only_names='SOCK_CLOEXEC|SOCK_NONBLOCK|O_PATH|O_TMPFILE|O_NOATIME|O_DIRECT|RENAME_EXCHANGE|RENAME_NOREPLACE|RENAME_WHITEOUT|AT_EMPTY_PATH|RESOLVE_[A-Z_]+|SIOCGIFHWADDR'
linux_only_paths='"/(proc|sys)/'
declare -A names_since_macos=(
  [POSIX_SPAWN_SETSID]=10.15
)

is_linux_only() {
  local pattern
  for pattern in "${linux_only_calls[@]}"; do
    # shellcheck disable=SC2053 # the entry is a pattern
    [[ $1 == $pattern ]] && return 0
  done
  return 1
}

# The source an object was compiled from: CMake names an object after its
# source's path below the target's directory (CMakeFiles/T.dir/src/x.cpp.o),
# which is the source directory or updater/.
source_of() {
  local relative=${1##*.dir/}
  relative=${relative%.o}
  local base
  for base in "$source_dir" "$source_dir/updater"; do
    [ -f "$base/$relative" ] && { echo "$base/$relative"; return; }
  done
}

declare -A noted=()
note() {
  [ -n "${noted[$1]:-}" ] && return
  noted[$1]=1
  echo "calls: note: $1"
}

checked=0
for object in "${objects[@]}"; do
  [ -f "$object" ] || { fail "no object file $object"; continue; }
  name=$(basename "$object" .o)
  case "$object" in
    */src/platform/*_linux.cpp.o | */src/platform/*_gio.cpp.o | */src/platform/*_icu.cpp.o)
      continue ;;
  esac
  checked=$((checked + 1))
  while read -r symbol _; do
    [[ $symbol == _Z* ]] && continue  # C++ names: the project's own, or a library's
    if [ -n "${since_macos[$symbol]:-}" ]; then
      note "$symbol needs macOS ${since_macos[$symbol]} or later ($name)"
    elif [ -n "${picked_by_dependency[$symbol]:-}" ]; then
      note "$symbol comes from ${picked_by_dependency[$symbol]} ($name)"
    elif is_linux_only "$symbol"; then
      fail "$name calls $symbol, which only Linux has: move the call behind a seam in src/platform"
    fi
  done < <(nm -P -u "$object")
  source=$(source_of "$object")
  [ -n "$source" ] || continue
  code=$(sed 's|//.*||' "$source")
  while read -r used; do
    [ -n "$used" ] || continue
    if [ -n "${names_since_macos[$used]:-}" ]; then
      note "$used needs macOS ${names_since_macos[$used]} or later ($name)"
    else
      fail "$name uses $used, which only Linux has: move it behind a seam in src/platform"
    fi
  done < <({
    grep -owE "$linux_only_names|$(IFS='|'; echo "${!names_since_macos[*]}")" <<<"$code" || true
    grep -oE "$linux_only_paths" <<<"$code" | tr -d '"' || true
  } | sort -u)
done
[ "$checked" -gt 0 ] || fail "no object outside the platform layer's implementations was given"

if [ "$failures" -gt 0 ]; then
  echo "calls: $failures problem(s)" >&2
  exit 1
fi
echo "calls: $checked objects call nothing only Linux has outside the platform layer"
