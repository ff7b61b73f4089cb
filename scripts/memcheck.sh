#!/usr/bin/env bash
# Runs the test suites of the families that rest on the platform layer (ICU,
# GIO, /proc, ioctl, spawned processes) under valgrind's memcheck, and fails
# on any memory error or definite leak.
#
#   scripts/memcheck.sh BUILD_DIR
#
# BUILD_DIR is a normal (not sanitizer) build with the tests built.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:?usage: scripts/memcheck.sh BUILD_DIR}
suites=(
  tests/quorane_strings_test                        # platform strings over ICU
  tests/quorane_file_types_test                     # MIME types over GIO
  tests/quorane_launch_test                         # desktop entries and launching over GIO
  tests/quorane_network_test                        # interface records over ioctl and getifaddrs
  tests/quorane_host_test                           # /proc/cpuinfo
  tests/quorane_file_test                           # descriptors of the file class
  tests/quorane_json_test                           # vector NUL scans of wide strings (the depth
                                                    # suite, a million levels, is left to ASan)
  tests/updater/quorane_updater_agent_control_test  # the process list and spawned commands
)

logs="$build/memcheck"
mkdir -p "$logs"
failed=()
for suite in "${suites[@]}"; do
  name=$(basename "$suite")
  log="$logs/$name.log"
  echo "memcheck: $name"
  if ! valgrind -q --leak-check=full --errors-for-leak-kinds=definite \
      --show-leak-kinds=definite --error-exitcode=99 \
      --suppressions=tests/valgrind.supp --log-file="$log" \
      "$build/$suite" --gtest_brief=1 > "$logs/$name.out" 2>&1; then
    failed+=("$name")
    cat "$log" "$logs/$name.out"
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "memcheck: errors or definite leaks in: ${failed[*]}" >&2
  exit 1
fi
echo "memcheck: ${#suites[@]} suites clean"
