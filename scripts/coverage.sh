#!/usr/bin/env bash
# Builds the library, the updater and the suites with gcc's coverage
# instrumentation (benchmarks and fuzz targets left out), runs every ctest
# suite, then prints the line and branch coverage of src/ and updater/,
# each on its own and together, and writes an HTML report with the source
# of every file annotated:
#
#   scripts/coverage.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build/coverage; the report is BUILD_DIR/html/index.html.
# Counts from an earlier run are cleared first. A failing suite is reported
# but does not stop the report; the script then exits non-zero. The checks
# that build the project again elsewhere are not run.
# Branch figures count only the branches written in the project's code, not
# those the compiler adds for exception unwinding.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

build=${1:-build/coverage}
jobs=$(nproc)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DQUORANE_BUILD_BENCH=OFF \
  -DQUORANE_BUILD_FUZZ=OFF -DQUORANE_BUILD_TESTS=ON -DQUORANE_SANITIZE= \
  "-DCMAKE_CXX_FLAGS=--coverage -O0 -DQUORANE_COVERAGE" "-DCMAKE_EXE_LINKER_FLAGS=--coverage" \
  "-DCMAKE_SHARED_LINKER_FLAGS=--coverage" >/dev/null
cmake --build "$build" -j "$jobs"

find "$build" -name '*.gcda' -delete
# Some checks run as an unprivileged user, in a child that gives up root:
# its counts are written only into count files it may update, so each one is
# made beforehand, empty (which the runtime takes for a file with no counts
# yet) and writable by all.
find "$build" -name '*.gcno' -exec sh -c '
  for notes; do count=${notes%.gcno}.gcda; : >"$count"; chmod a+rw "$count"; done' sh {} +
# The checks that build the project again elsewhere (consumers, packages,
# RapidJSON in its own prefix) run none of this build's code; they are left
# out, as they take longer than everything else together.
status=0
ctest --test-dir "$build" --output-on-failure -j "$jobs" \
  -E '^(Consumers|Packages|Dependencies)\.' || status=$?
# Those of code that never ran are still empty, which gcov would refuse.
find "$build" -name '*.gcda' -empty -delete

# gcov reads the counts once, into a tracefile; the figures and the HTML come
# from it. Only the project's own sources count: not the suites, the headers
# of dependencies, or CMake's compiler probes. The counts are searched for in
# this build only: without a search path gcovr would take those of every
# other build under the tree too.
tracefile=$build/coverage.json
gcovr --root "$root" --object-directory "$build" \
  --exclude-directories "$build/CMakeFiles/[0-9]" \
  --exclude-unreachable-branches --exclude-throw-branches \
  --filter "$root/src/" --filter "$root/updater/" \
  --json "$tracefile" "$build" >/dev/null
summary() {
  local name=$1
  shift
  printf '%-18s' "$name"
  # The report itself goes to a file of the build's, never to /dev/null:
  # gcovr tries an output path by creating and then deleting it, which as
  # root would delete /dev/null itself.
  gcovr --root "$root" --add-tracefile "$tracefile" "$@" --print-summary \
    --output "$build/summary-report.txt" |
    grep -E '^(lines|branches):' | tr '\n' ' '
  echo
}
echo
summary "src/" --filter "$root/src/"
summary "updater/" --filter "$root/updater/"
summary "src/ and updater/" --filter "$root/src/" --filter "$root/updater/"

mkdir -p "$build/html"
gcovr --root "$root" --add-tracefile "$tracefile" \
  --html-details "$build/html/index.html" --html-title "Quorane coverage"
# Per file, with the numbers of the lines not run / the branches not taken.
gcovr --root "$root" --add-tracefile "$tracefile" --txt "$build/coverage-lines.txt"
gcovr --root "$root" --add-tracefile "$tracefile" --branches --txt "$build/coverage-branches.txt"
echo
echo "per file: $build/coverage-lines.txt, $build/coverage-branches.txt"
echo "HTML report: $build/html/index.html"
exit "$status"
