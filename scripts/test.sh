#!/usr/bin/env bash
# Sets everything up, builds from scratch and runs every test: the normal
# build, clang-tidy over the tree with that build's compile commands, the
# same suites built with the address and undefined-behaviour sanitizers, the
# platform-backed suites under valgrind's memcheck, and every fuzz target
# briefly over its corpus. Any failure, finding or sanitizer report fails the
# run.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
jobs=$(nproc)

# Each step is headed with the seconds since the start, so that a run's log
# shows what each step cost.
started=$SECONDS
step() { printf '\n=== [%ds] %s\n' "$((SECONDS - started))" "$*"; }

step "normal build and tests"
build=build/test
rm -rf "$build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" --output-on-failure -j "$jobs"

step "static analysis"
./scripts/lint.sh "$build"

step "sanitizer build and tests"
sanitized=build/test-sanitized
rm -rf "$sanitized"
cmake -S . -B "$sanitized" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORANE_SANITIZE=address,undefined -DQUORANE_BUILD_BENCH=OFF
cmake --build "$sanitized" -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir "$sanitized" --output-on-failure -j "$jobs"

step "memcheck of the platform-backed suites"
./scripts/memcheck.sh "$build"

step "fuzz targets, briefly"
./scripts/fuzz.sh 5

step "done"
