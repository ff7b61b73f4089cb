#!/usr/bin/env bash
# Times the built quorane-update against the same machine doing its work by
# hand, in the same run: two archives holding one bundle of 5,000 files each,
# over an install with two old bundles of the same size.
#
#   updater: wall time of `quorane-update INSTALL a.zip b.zip`, minus its
#            fixed one-second settling pause after the first kill sequence;
#   by hand: `rm -rf` of the two old bundles, then `unzip -o` of both archives,
#            then `sync -f` of the install directory's filesystem, as the
#            updater flushes the new bundles before it removes the old ones.
#
# launchctl and killall are stand-ins that only print (first on PATH), and
# the run refuses to start while a process named quoranees or quoraneet
# exists, so that the updater never waits for one. The updater's own peak
# memory is its VmHWM, read from /proc/PID/status while it runs (rusage of a
# child would count unzip, its largest descendant).
#
# With --tmpfs the same comparison runs on a tmpfs with bundles of 50,000
# files (unless --files says otherwise). There the flush costs nothing, so
# what shows is the updater's own walks of the trees beside rm's and unzip's;
# by hand is then `rm -rf` of the old bundles and `unzip -o` of both archives,
# without `sync`. The tmpfs is mounted in a private mount namespace of the
# script's own (`unshare -m --propagation private`, which needs root); without
# one, /dev/shm is used when that is a tmpfs; failing both the run is skipped
# with a message and status 0.
#
#   scripts/bench_updater.sh [--repetitions N] [--files N] [--tmpfs] [--no-build]
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-bench"
repetitions=5
files=""
build_first=1
tmpfs=0
tmpfs_mounted=""  # set by the script itself, in the namespace it made
while [ $# -gt 0 ]; do
  case "$1" in
    --repetitions) repetitions="$2"; shift 2 ;;
    --files) files="$2"; shift 2 ;;
    --tmpfs) tmpfs=1; shift ;;
    --no-build) build_first=0; shift ;;
    --tmpfs-mounted-at) tmpfs=1; tmpfs_mounted="$2"; shift 2 ;;
    *) echo "usage: $0 [--repetitions N] [--files N] [--tmpfs] [--no-build]" >&2; exit 2 ;;
  esac
done
if [ -z "$files" ]; then
  if [ "$tmpfs" -eq 1 ]; then files=50000; else files=5000; fi
fi

for comm in /proc/[0-9]*/comm; do
  name="$(cat "$comm" 2>/dev/null || true)"
  if [ "$name" = quoranees ] || [ "$name" = quoraneet ]; then
    echo "bench_updater: a process named $name is running; the timing would include its wait" >&2
    exit 1
  fi
done

if [ "$build_first" -eq 1 ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j2 --target quorane-update >/dev/null
fi
updater="$build/updater/quorane-update"

is_tmpfs() { [ "$(stat -f -c %T "$1" 2>/dev/null || true)" = tmpfs ]; }

# The tmpfs run: first try a tmpfs of our own, mounted in a private mount
# namespace that ends with the run, so that nothing outside sees it; then
# /dev/shm; otherwise say why and skip.
work_parent="${TMPDIR:-/tmp}"
if [ "$tmpfs" -eq 1 ] && [ -z "$tmpfs_mounted" ]; then
  if [ "$(id -u)" -eq 0 ] && unshare -m --propagation private true 2>/dev/null; then
    mount_point="$(mktemp -d "${TMPDIR:-/tmp}/quorane-bench-tmpfs.XXXXXX")"
    status=0
    # shellcheck disable=SC2016
    unshare -m --propagation private sh -c \
      'mount -t tmpfs -o size=8g,mode=0700 quorane-bench "$1" && shift && exec "$@"' sh \
      "$mount_point" "$0" --tmpfs-mounted-at "$mount_point" --no-build \
      --repetitions "$repetitions" --files "$files" || status=$?
    rmdir "$mount_point" 2>/dev/null || true
    exit "$status"
  elif is_tmpfs /dev/shm && [ -w /dev/shm ]; then
    work_parent=/dev/shm
  else
    echo "bench_updater: tmpfs run skipped: no private mount namespace (needs root and unshare) and /dev/shm is not a writable tmpfs" >&2
    exit 0
  fi
fi
if [ -n "$tmpfs_mounted" ]; then work_parent="$tmpfs_mounted"; fi

work="$(mktemp -d "$work_parent/quorane-bench-updater.XXXXXX")"
trap 'rm -rf "$work"' EXIT
if [ "$tmpfs" -eq 1 ] && ! is_tmpfs "$work"; then
  echo "bench_updater: tmpfs run skipped: $work is not on a tmpfs" >&2
  exit 0
fi

# Stand-ins that only say what they were asked.
mkdir -p "$work/bin"
for tool in launchctl killall; do
  printf '#!/bin/sh\necho "%s $*"\n' "$tool" >"$work/bin/$tool"
  chmod +x "$work/bin/$tool"
done
export PATH="$work/bin:$PATH"

# Bundles of $files files of 512 bytes, 100 to a directory; shell builtins
# only, so that making them takes seconds rather than minutes.
chunk=""
for ((i = 0; i < 8; ++i)); do chunk+="The quick brown fox $i jumps over the lazy dog; 0123456789 abcdef."; done
chunk="${chunk:0:511}"
make_bundle() {
  local dir="$1/Contents/Resources" i
  for ((i = 0; i < files; ++i)); do
    if ((i % 100 == 0)); then mkdir -p "$dir/group$((i / 100))"; fi
    printf '%s%d\n' "${chunk:0:$((511 - ${#i}))}" "$i" >"$dir/group$((i / 100))/file$i"
  done
  mkdir -p "$1/Contents/MacOS"
  echo "binary" >"$1/Contents/MacOS/$(basename "$1" .app)"
}
echo "bench_updater: making two bundles of $files files and their archives" >&2
for bundle in quoranees.app quoraneet.app; do
  make_bundle "$work/old/$bundle"
  make_bundle "$work/new/$bundle"
  (cd "$work/new" && zip -qr "$work/$bundle.zip" "$bundle")
  rm -rf "$work/new/$bundle"  # only its archive is needed from here on
done

# An install directory as the updater finds it: old bundles, new archives.
prepare() {
  rm -rf "$work/install"
  mkdir -p "$work/install"
  cp -a "$work/old/." "$work/install/"
  cp "$work/quoranees.app.zip" "$work/quoraneet.app.zip" "$work/install/"
  sync
}

now() { date +%s%N; }

run_updater() {
  local start end
  start=$(now)
  "$updater" "$work/install" quoranees.app.zip quoraneet.app.zip >/dev/null 2>&1
  end=$(now)
  # The one-second pause after the first kill sequence is not work.
  echo $(((end - start) - 1000000000))
  if [ ! -d "$work/install/quoranees.app" ] || [ ! -d "$work/install/quoraneet.app" ] ||
    [ -e "$work/install/quoranees.app.zip" ]; then
    echo "bench_updater: the updater did not replace the bundles" >&2
    exit 1
  fi
}

run_by_hand() {
  local start end
  start=$(now)
  rm -rf "$work/install/quoranees.app" "$work/install/quoraneet.app"
  unzip -o "$work/install/quoraneet.app.zip" -d "$work/install" >/dev/null
  unzip -o "$work/install/quoranees.app.zip" -d "$work/install" >/dev/null
  # On a tmpfs there is nothing to flush.
  if [ "$tmpfs" -eq 0 ]; then sync -f "$work/install"; fi
  end=$(now)
  echo $((end - start))
}

# The updater's peak resident memory in KiB: its VmHWM, read until it ends.
# VmHWM only grows, so the last value read is the peak up to that moment.
peak_memory() {
  local pid peak=0 key value rest
  "$updater" "$work/install" quoranees.app.zip quoraneet.app.zip >/dev/null 2>&1 &
  pid=$!
  while [ -r "/proc/$pid/status" ]; do
    while read -r key value rest; do
      if [ "$key" = VmHWM: ] && [ "$value" -gt "$peak" ]; then peak=$value; fi
    done 2>/dev/null <"/proc/$pid/status" || true
    sleep 0.01
  done
  wait "$pid"
  echo "$peak"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

updater_times=()
hand_times=()
for ((rep = 1; rep <= repetitions; ++rep)); do
  # Alternate who goes first, so that neither always meets a warmer cache.
  if ((rep % 2)); then
    prepare; updater_times+=("$(run_updater)")
    prepare; hand_times+=("$(run_by_hand)")
  else
    prepare; hand_times+=("$(run_by_hand)")
    prepare; updater_times+=("$(run_updater)")
  fi
  echo "bench_updater: repetition $rep: updater ${updater_times[-1]} ns, by hand ${hand_times[-1]} ns" >&2
done

peaks=()
for ((rep = 1; rep <= 3; ++rep)); do
  prepare
  peaks+=("$(peak_memory)")
done

updater_median=$(printf '%s\n' "${updater_times[@]}" | median)
hand_median=$(printf '%s\n' "${hand_times[@]}" | median)
peak=$(printf '%s\n' "${peaks[@]}" | sort -n | tail -1)
where=""
if [ "$tmpfs" -eq 1 ]; then where=" on tmpfs"; fi
awk -v u="$updater_median" -v h="$hand_median" -v p="$peak" -v n="$repetitions" -v f="$files" -v w="$where" 'BEGIN {
  ratio = u / h
  printf "%-36s %12s %12s %7s %6s %5s\n", "case", "updater", "by hand", "ratio", "goal", "met?"
  printf "%-36s %9.0f ms %9.0f ms %7.2f %6s %5s\n", "swap of 2 x " f " files" w, u / 1e6, h / 1e6, ratio, "1.05", ratio <= 1.05 ? "yes" : "NO"
  printf "%-36s %9.1f MiB %12s %7s %6s %5s\n", "updater peak memory", p / 1024, "-", "-", "<8", p < 8192 ? "yes" : "NO"
  printf "(medians of %d repetitions; updater time without its one-second pause)\n", n
}'
