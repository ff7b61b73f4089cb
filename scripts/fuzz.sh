#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang and the address and
# undefined-behaviour sanitizers, then runs each for a fixed time over its seed
# corpus and prints, per target, the executions, coverage and findings.
#
#   scripts/fuzz.sh [seconds-per-target [target...]]
#
# The default is 600 seconds per target; CI runs a few seconds each. Inputs
# the fuzzer adds go to build/fuzz/corpus-work/<target>, never into the
# repository; crashing inputs are written to build/fuzz/findings/<target>/,
# next to the target's full log. fuzz/<family>.dict, where there is one, gives
# the fuzzer the tokens it would hardly build byte by byte.
# Exits non-zero when any target finds a crash, leak, timeout or broken
# property, or cannot run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
shift || true
build=build/fuzz
work=$build/corpus-work
findings=$build/findings

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for source in fuzz/*_fuzz.cpp; do
    name=$(basename "$source" .cpp)
    targets+=("$name")
  done
fi

CC=clang CXX=clang++ cmake -S . -B "$build" -DQUORANE_BUILD_FUZZ=ON \
  -DQUORANE_BUILD_TESTS=OFF -DQUORANE_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/quorane_}" >/dev/null

# Any report but the commented dependency ones in fuzz/ubsan.supp stops a run.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$PWD/fuzz/ubsan.supp"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"

# CPU seconds used so far by this shell's finished children (user + system),
# left in cpu_now: the fuzzers share the machine, so their CPU time can fall
# short of the wall time they are given. `times` must run in this shell (not
# in a pipe or a substitution) to see the children.
times_file=$findings/.times
cpu_now=0
children_cpu() {
  times >"$times_file"
  cpu_now=$(tail -n 1 "$times_file" | awk '{
    total = 0
    for (i = 1; i <= 2; i++) { split($i, part, "m"); total += part[1] * 60 + part[2] }
    printf "%d", total }')
}

mkdir -p "$findings"
failed=0
printf '%-20s %8s %8s %12s %8s %8s %s\n' target wall-s cpu-s executions cov ft findings
for target in "${targets[@]}"; do
  mkdir -p "$work/$target" "$findings/$target"
  rm -f "$findings/$target"/*
  log=$findings/$target.log
  status=0
  # A target's dictionary is fuzz/<name>.dict, else that of its family
  # (json_wide_fuzz shares fuzz/json.dict).
  options=()
  dict=fuzz/${target%_fuzz}.dict
  [ -f "$dict" ] || dict=fuzz/${target%%_*}.dict
  [ -f "$dict" ] && options+=(-dict="$dict")
  children_cpu
  cpu_before=$cpu_now
  "$build/fuzz/quorane_$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=30 \
    -rss_limit_mb=2560 -artifact_prefix="$findings/$target/" "${options[@]}" \
    "$work/$target" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?

  children_cpu
  cpu=$((cpu_now - cpu_before))
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  coverage=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1 || true)
  cov=$(echo "$coverage" | awk '{print $2}')
  ft=$(echo "$coverage" | awk '{print $4}')
  found=$(find "$findings/$target" -type f | wc -l)
  verdict="none"
  if [ "$status" -ne 0 ] || [ "$found" -ne 0 ]; then
    failed=1
    verdict="$found (exit $status; see $log)"
  fi
  printf '%-20s %8s %8s %12s %8s %8s %s\n' "$target" "$seconds" "$cpu" "${executions:-?}" \
    "${cov:-?}" "${ft:-?}" "$verdict"
  if [ "$status" -ne 0 ]; then
    { grep -E 'ERROR|runtime error|property broken|SUMMARY' "$log" || true; } | head -n 5 |
      sed 's/^/    /' || true
    # The input itself, so that a log from another machine is enough to
    # reproduce the finding: base64 -d it into a file and pass that file to
    # the target.
    for input in "$findings/$target"/*; do
      [ -f "$input" ] || continue
      if [ "$(stat -c %s "$input")" -le 4096 ]; then
        echo "    input $(basename "$input") (base64): $(base64 -w 0 "$input")"
      fi
    done
  fi
done
exit "$failed"
