#!/usr/bin/env bash
# Builds the benchmark binary (Release, in build-bench/) and prints, for each
# case, our time and the anchor's time measured in the same run, the ratio
# ours/anchor, the goal and whether it is met; a case that also has a floor
# (the least any implementation has to do) gets a second row, ours beside the
# floor. Then, for each case, how the time grows from the small input to the
# input ten times larger, ours beside the anchor's. Times are medians of
# several repetitions; compare ratios, not times, between machines.
#
#   scripts/bench.sh [--repetitions N] [--filter REGEX] [--no-build]
#
# Raw results (CSV) are kept in build-bench/bench-results.csv.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-bench"
repetitions=7
filter='/(ours|anchor|floor)/'
build_first=1
while [ $# -gt 0 ]; do
  case "$1" in
    --repetitions) repetitions="$2"; shift 2 ;;
    --filter) filter="$2"; shift 2 ;;
    --no-build) build_first=0; shift ;;
    *) echo "usage: $0 [--repetitions N] [--filter REGEX] [--no-build]" >&2; exit 2 ;;
  esac
done

if [ "$build_first" -eq 1 ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j2 --target quorane_bench >/dev/null
fi

# glibc adapts its malloc thresholds to what a process has freed so far, so a
# case's time would depend on the cases run before it, and cases working on
# more memory than glibc keeps would pay the kernel for fresh pages on every
# call. Every case runs with freed memory kept, as in a long-running process;
# the last lines show the Split growth under the default settings too.
kept_memory=glibc.malloc.trim_threshold=4294967296:glibc.malloc.mmap_threshold=4294967296

# The repetitions of all cases run in a random interleaved order, so that a
# slow spell of this shared machine falls on ours and the anchor alike rather
# than on whichever happened to be running.
results="$build/bench-results.csv"
GLIBC_TUNABLES=$kept_memory "$build/bench/quorane_bench" --benchmark_filter="$filter" \
  --benchmark_enable_random_interleaving=true \
  --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
  --benchmark_format=csv >"$results" 2>/dev/null

# Goals: the largest ratio ours/anchor allowed, per case; ours/floor for the
# cases that have a floor; and the largest growth of the time for ten times
# the input, for every case.
awk -F, '
BEGIN {
  goal["URLEncode"] = 1.0; goal["URLDecode"] = 1.0; goal["PostDataEncode"] = 1.2
  goal["Split"] = 1.0; goal["NfdToNfc"] = 1.5; goal["JsonValueToString"] = 1.2
  goal["CopyJsonValue"] = 1.1; goal["GetFileCount"] = 1.0; goal["GetFileSignature"] = 1.3
  floorGoal["GetFileCount"] = 1.3
  # Growth goal: 1.2 times the growth of the input (12x for ten times the input).
  growthGoal = 1.2
  # The order of the table; cases not named here follow, as they come.
  ncases = split("URLEncode URLDecode PostDataEncode Split NfdToNfc JsonValueToString " \
                 "CopyJsonValue GetFileCount GetFileSignature SwapBundles", caseOrder, " ")
  # Scale factor between two nanosecond-based units.
  scale["ns"] = 1; scale["us"] = 1e3; scale["ms"] = 1e6; scale["s"] = 1e9
}
# name,iterations,real_time,cpu_time,time_unit,...: keep the medians only.
$1 ~ /_median"?$/ {
  name = $1; gsub(/"/, "", name); sub(/_median$/, "", name); sub(/\/real_time$/, "", name)
  n = split(name, part, "/")
  size = (n >= 3) ? part[3] : "-"
  key = part[1] SUBSEP size
  time = $3 * scale[$5]
  if (part[2] == "ours") ours[key] = time
  else if (part[2] == "anchor") anchor[key] = time
  else if (part[2] == "floor") floorTime[key] = time
  if (!(key in seen)) { seen[key] = 1; sizesOf[part[1]] = sizesOf[part[1]] " " size }
  if (!(part[1] in known)) { known[part[1]] = 1; if (!inOrder(part[1])) caseOrder[++ncases] = part[1] }
}
function inOrder(name,   i) {
  for (i = 1; i <= ncases; ++i) if (caseOrder[i] == name) return 1
  return 0
}
function shown(ns) {
  if (ns >= 1e6) return sprintf("%.2f ms", ns / 1e6)
  if (ns >= 1e3) return sprintf("%.1f us", ns / 1e3)
  return sprintf("%.0f ns", ns)
}
function row(label, size, mine, theirs, limit,   ratio, g, met) {
  ratio = mine / theirs
  g = (limit != "") ? sprintf("%.1f", limit) : "-"
  met = (limit != "") ? (ratio <= limit ? "yes" : "NO") : "-"
  printf "%-18s %9s %12s %12s %7.2f %6s %5s\n", label, size, shown(mine), shown(theirs), ratio, g, met
}
END {
  printf "%-18s %9s %12s %12s %7s %6s %5s\n", "case", "size", "ours", "anchor", "ratio", "goal", "met?"
  # Each case in the order above, its sizes from small to large (the
  # interleaved repetitions report them in no fixed order).
  count = 0
  for (c = 1; c <= ncases; ++c) {
    n = split(sizesOf[caseOrder[c]], sizes, " ")
    for (a = 1; a <= n; ++a) for (b = a + 1; b <= n; ++b)
      if (sizes[b] + 0 < sizes[a] + 0) { t = sizes[a]; sizes[a] = sizes[b]; sizes[b] = t }
    smallest[caseOrder[c]] = sizes[1]; largest[caseOrder[c]] = sizes[n]
    for (a = 1; a <= n; ++a) order[++count] = caseOrder[c] SUBSEP sizes[a]
  }
  for (i = 1; i <= count; ++i) {
    key = order[i]; split(key, k, SUBSEP)
    if (!(key in ours) || !(key in anchor)) continue
    row(k[1], k[2], ours[key], anchor[key], (k[1] in goal) ? goal[k[1]] : "")
    if (key in floorTime)
      row(k[1] " floor", k[2], ours[key], floorTime[key], (k[1] in floorGoal) ? floorGoal[k[1]] : "")
  }

  # Growth: the time at the large size over the time at the small one.
  printf "\n%-18s %9s %12s %12s %7s %6s %5s\n", "growth", "input", "ours", "anchor", "floor", "goal", "met?"
  for (c = 1; c <= ncases; ++c) {
    name = caseOrder[c]; small = name SUBSEP smallest[name]; large = name SUBSEP largest[name]
    if (small == large || !(small in ours) || !(large in ours) || !(small in anchor) || !(large in anchor))
      continue
    growth = ours[large] / ours[small]
    factor = largest[name] / smallest[name]
    floorGrowth = (small in floorTime && large in floorTime) ? \
      sprintf("%.1fx", floorTime[large] / floorTime[small]) : "-"
    printf "%-18s %9s %12s %12s %7s %6s %5s\n", name, sprintf("%.0fx", factor),
      sprintf("%.1fx", growth), sprintf("%.1fx", anchor[large] / anchor[small]), floorGrowth,
      sprintf("%.0fx", growthGoal * factor), growth <= growthGoal * factor ? "yes" : "NO"
  }
}' "$results"

# The Split growth again under glibc's default malloc settings, where the
# large Split works on more fresh memory than glibc keeps between calls, so
# that every call there pays the kernel for new pages, ours and the anchor's
# alike.
if grep -q '^"Split/' "$results" 2>/dev/null; then
  default="$build/bench-split-default.csv"
  "$build/bench/quorane_bench" --benchmark_filter='^Split/' \
    --benchmark_enable_random_interleaving=true \
    --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
    --benchmark_format=csv >"$default" 2>/dev/null
  awk -F, '
  $1 ~ /_median"?$/ {
    name = $1; gsub(/"/, "", name); split(name, part, "/")
    t[part[2], part[3] + 0] = $3; sizes[part[3] + 0] = 1
  }
  END {
    small = ""; large = ""
    for (s in sizes) { if (small == "" || s + 0 < small + 0) small = s; if (large == "" || s + 0 > large + 0) large = s }
    if (small == "" || small == large) exit
    printf "Split growth under default malloc settings: ours %.1fx, the anchor %.1fx; ratio ours/anchor %.2f small, %.2f large\n",
      t["ours", large] / t["ours", small], t["anchor", large] / t["anchor", small],
      t["ours", small] / t["anchor", small], t["ours", large] / t["anchor", large]
  }' "$default"
fi
